// Print Schema names in libxml2 trees: the namespaces, qualified names resolved to namespace
// URI + local name, and elements moved from one document into another with every prefix they
// use, in element names, attribute names and QName values alike, bound in the target.
#pragma once

#include <libxml/tree.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::printticket {

inline constexpr char kFrameworkUri[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
inline constexpr char kKeywordsUri[] =
    "http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords";
inline constexpr char kSchemaInstanceUri[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr char kSchemaUri[] = "http://www.w3.org/2001/XMLSchema";

// A name as the schema compares it: namespace URI and local name, never the prefix.
struct QName {
    std::string uri;
    std::string local;
    bool operator==(const QName&) const = default;
};

// The same without copies, where a name stands in a document: the URI is its namespace
// declaration's and the local name lies in the name's own text. Valid while both are.
struct QNameView {
    std::string_view uri;
    std::string_view local;
    QNameView() = default;
    QNameView(std::string_view uriPart, std::string_view localPart)
        : uri(uriPart), local(localPart) {}
    QNameView(const QName& name) : uri(name.uri), local(name.local) {} // implicit: a view
    bool operator==(const QNameView&) const = default;
    QName Copy() const { return QName{std::string(uri), std::string(local)}; }
};

// Hash and equality for containers keyed by QName or QNameView, looked up by either.
struct QNameHash {
    using is_transparent = void;
    size_t operator()(QNameView name) const noexcept {
        return std::hash<std::string_view>()(name.local) * 31 +
               std::hash<std::string_view>()(name.uri);
    }
};
struct QNameEqual {
    using is_transparent = void;
    bool operator()(QNameView a, QNameView b) const noexcept { return a == b; }
};

// A thrown description of a name that does not resolve.
struct NameError {
    std::string message;
};

// Resolves "prefix:local" (or "local", in the default namespace) where node stands. False
// when the text is not a qualified name or its prefix is not declared. The view's local name
// lies in text.
bool ResolveQName(const xmlNode* node, std::string_view text, QNameView& out);
bool ResolveQName(const xmlNode* node, std::string_view text, QName& out);

// Whether the element is the framework element of that local name.
bool IsFrameworkElement(const xmlNode* node, const char* local);

// The text of an attribute: its text node itself when it has just one (as parsed), else a
// copy made in storage.
std::string_view AttributeValue(const xmlAttr* attribute, std::string& storage);

// The element's "name" attribute resolved; false when it has none or it does not resolve.
// The view's local name lies in the attribute or in storage.
bool ElementName(const xmlNode* element, QNameView& out, std::string& storage);
bool ElementName(const xmlNode* element, QName& out);
// The same, with why it failed ("has no name", "uses the undeclared prefix ...").
bool ElementName(const xmlNode* element, QName& out, std::string& problem);

// Text of a node's children, trimmed of XML white space.
std::string TrimmedText(const xmlNode* node);

// The first child element of a framework kind (Value, Property, ...) whose name is
// (uri, local), or null.
const xmlNode* FindNamedChild(const xmlNode* parent, const char* kind, QNameView name);

// The text of <kind name=(uri,local)><psf:Value>text</psf:Value></kind> under parent.
bool NamedValueText(const xmlNode* parent, const char* kind, QNameView name, std::string& out);

// Removes the namespace declarations of the root element that nothing in the document uses,
// in names or in QName values, except those of the prefixes listed in keep.
void DropUnusedDeclarations(xmlNode* root, const std::vector<std::string>& keep);

// The prefixes the root element declares.
std::vector<std::string> DeclaredPrefixes(const xmlNode* root);

// Copies elements into the target document, declaring on the target's root element the
// namespaces they need: a URI the root already declares keeps the root's prefix; another gets
// the prefix it had where it came from when that is free at the root, else a new nsNNNN.
// Throws NameError for a QName value whose prefix is not declared where it stands, and
// std::bad_alloc when memory runs out.
class NodeImporter {
public:
    explicit NodeImporter(xmlNode* targetRoot) : root_(targetRoot) {}

    // A deep copy of element, not yet linked into the target tree.
    xmlNode* Import(const xmlNode* element);
    // "prefix:local" for the name as the target root binds it (declaring it when needed).
    std::string QualifiedText(QNameView name, const char* preferredPrefix);

private:
    xmlNs* Bind(std::string_view uri, const xmlChar* preferredPrefix);
    std::string ImportQNameText(const xmlNode* context, std::string_view text);
    void CopyChildren(const xmlNode* from, xmlNode* to, bool valueIsQName);

    xmlNode* root_;
};

} // namespace platform::printticket
