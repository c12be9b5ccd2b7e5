// PrivatePrefixRename: moves the driver's private keywords namespace of a Print Schema document
// from the prefix the document declares it with to "pk", all or nothing.
//
// Internal to the library (not exported). A Print Schema name is a QName held as text, so its
// prefix means what the declarations in scope at its own element say. The rename therefore
// touches only names whose prefix resolves to the driver's namespace where they stand:
// - every `name` attribute value "old:X" becomes "pk:X";
// - every element value typed xsd:QName ("old:X" as text) becomes "pk:X";
// - the root gains xmlns:pk and loses the old declaration, unless some other value in its
//   scope still reads "old:..." (an untyped value, another attribute, or a name below an
//   element that binds pk to another namespace): then the old declaration stays, so that
//   every such value keeps meaning what it meant.
// A name whose prefix a descendant binds to another namespace keeps its prefix and meaning.
// Element and attribute names keep their prefixes; the DOM declares them where needed.
//
// Two steps. Construction looks everything up and makes every node the rename needs; it raises
// on failure and changes nothing. Apply() then swaps the prepared nodes in, by calls that need
// no memory of their own; should one fail after all, the swaps made are undone and the failure
// is raised, so the caller's document is either renamed or as it was.
#pragma once

#include <atlbase.h>
#include <msxml6.h>
#include <oleauto.h>

#include <string_view>
#include <vector>

class PrivatePrefixRename {
public:
    // Plans the rename of oldPrefix (held with its colon) in the document whose root element
    // is root. Raises E_FAIL when the root binds "pk" to another namespace.
    PrivatePrefixRename(IXMLDOMDocument2* document, IXMLDOMNode* root,
                        std::u16string_view oldPrefix);
    PrivatePrefixRename(const PrivatePrefixRename&) = delete;
    PrivatePrefixRename& operator=(const PrivatePrefixRename&) = delete;

    // Makes the planned changes (once); raises, with the document as it was, on a failure.
    void Apply();

    // What the plan holds, for tests and the debugger.
    size_t RenamedNames() const noexcept { return m_names.size(); }
    size_t RenamedValues() const noexcept { return m_values.size(); }
    bool KeepsOldDeclaration() const noexcept { return m_keepOldDeclaration; }

private:
    struct NameSwap {
        CComPtr<IXMLDOMElement> element;
        CComPtr<IXMLDOMAttribute> oldName;
        CComPtr<IXMLDOMAttribute> newName;
    };
    struct ValueSwap {
        CComPtr<IXMLDOMNode> parent;
        CComPtr<IXMLDOMNode> oldText;
        CComPtr<IXMLDOMNode> newText;
    };
    enum class ValueType { Untyped, QName, Other };

    void PlanDeclarations();
    void PlanNames();
    void PlanValues();
    // Whether an element (or its attributes) holds a value reading "old:..." that the rename
    // leaves as it is.
    bool OtherValuesUseOldPrefix();
    ValueType TypeOf(IXMLDOMNode* element);
    // Whether "pk" at element would not mean the driver's namespace (a descendant of the root
    // binds it to another).
    bool PkRebound(IXMLDOMNode* element);
    CComPtr<IXMLDOMAttribute> MakeAttribute(std::u16string_view qualifiedName,
                                            std::u16string_view value);
    // The text with its leading "old:" (after any white space) made "pk:".
    CComBSTR Renamed(std::u16string_view text) const;
    void Undo(size_t names, size_t values, bool declared) noexcept;

    CComPtr<IXMLDOMDocument2> m_document;
    CComPtr<IXMLDOMElement> m_root;
    CComPtr<IXMLDOMNamedNodeMap> m_rootAttributes;
    CComBSTR m_oldPrefix;          // without its colon
    CComBSTR m_oldDeclarationName; // "xmlns:old"
    CComBSTR m_newDeclarationName; // "xmlns:pk"
    CComPtr<IXMLDOMNode> m_oldDeclaration;
    CComPtr<IXMLDOMAttribute> m_newDeclaration; // null when the root binds pk already
    bool m_keepOldDeclaration = false;
    std::vector<NameSwap> m_names;
    std::vector<ValueSwap> m_values;
    bool m_applied = false;
};
