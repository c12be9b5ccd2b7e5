// The attributes of one element as the DOM shows them: ordinary attributes in document order,
// then the namespace declarations the element holds. Shared by elements and attribute maps.
#pragma once

#include "domnode.h"

#include <string>

namespace platform::msxml {

// One entry: an ordinary attribute or a declaration (exactly one is set when found).
struct AttributeEntry {
    xmlAttrPtr attribute = nullptr;
    xmlNsPtr declaration = nullptr;
    explicit operator bool() const { return attribute || declaration; }
};

namespace attributes {

// Matches the qualified name (nodeName): "p:name", "name", "xmlns:p" or "xmlns".
AttributeEntry Find(xmlNodePtr element, std::u16string_view qname);
LONG Count(xmlNodePtr element);
AttributeEntry At(xmlNodePtr element, LONG index);
// The entry after `entry` in map order (the first when entry is empty).
AttributeEntry Next(xmlNodePtr element, AttributeEntry entry);

// The node object of an entry (one reference).
HRESULT Wrap(DomDocument& doc, xmlNodePtr element, AttributeEntry entry, IXMLDOMNode** node);
// Takes the entry off the element; when removed is given it receives the entry's node object.
HRESULT Remove(DomDocument& doc, xmlNodePtr element, AttributeEntry entry, IXMLDOMNode** removed);
// Attaches a free attribute or declaration node; one of the same name is replaced and handed
// back through replaced (null when none).
HRESULT SetNode(DomDocument& doc, xmlNodePtr element, IXMLDOMNode* attribute,
                IXMLDOMNode** replaced);
// setAttribute: the value of the attribute or declaration with that name, made when absent.
HRESULT SetValue(DomDocument& doc, xmlNodePtr element, std::u16string_view qname,
                 const std::string& value);

// Whether element can also bind prefix (null: the default namespace) to href: false when the
// element, its namespace or one of its attributes binds it otherwise. `ignore...` are left out
// of the check (an entry about to be replaced).
bool CanBind(xmlNodePtr element, const xmlChar* prefix, const xmlChar* href,
             xmlAttrPtr ignoreAttribute, xmlNsPtr ignoreDeclaration);

// The value of an attribute (the text of its children) as UTF-8.
std::string Value(xmlAttrPtr attribute);

} // namespace attributes
} // namespace platform::msxml
