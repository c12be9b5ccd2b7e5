// PrintSchemaXmlDocument: the base of every Print Schema document (print ticket, print
// capabilities) over an MSXML DOM document.
//
// Contract.
// - The object shares the DOM document it is given (one reference) and never copies it; copies
//   of the object share the same DOM. A document and its DOM are used by one thread at a time.
// - Construction finds the root element (the first framework element of the given local name),
//   learns the prefixes that the root element binds to the five namespaces of the system, and
//   prepares the DOM for XPath: from then on queries name framework elements with the
//   document's own framework prefix. Construction also renames the prefix of the driver's
//   private keywords namespace to "pk" (the root's declaration, and every name and QName value
//   whose prefix means that namespace where it stands). Everything that can fail is done
//   before the tree changes, so a construction that fails leaves the caller's DOM as it was.
//   The DOM properties set here stay on the DOM after the object is gone.
// - Every prefix is held with its trailing colon ("psk:"), so a name is prefix + local name. A
//   namespace the root does not declare leaves its prefix null (empty); the user keywords
//   prefix is always "pk:" or "ns0000:" after construction. "ns0000:" is only a placeholder
//   (in tickets the PrintTicket provider writes it is the framework's prefix): an operation
//   that names something in the driver's namespace first declares that namespace on the root
//   as "pk", and the user keywords prefix is "pk:" from then on.
// - Editing operations change the caller's DOM completely or not at all: what can fail is done
//   before the tree is touched.
// - An object built without a DOM document is empty: HasDomDocument() is false and every query
//   or edit raises E_PENDING.
// - Failures are raised as KeldanComException carrying the HRESULT; a failed string
//   allocation raises ATL::CAtlException(E_OUTOFMEMORY), which those handlers let pass.
//   Reading operations named Query... return 0x80070490 (not found) instead of raising;
//   look-ups named ...IfExists and the protected primitives return S_FALSE for "nothing".
// - Nodes and strings handed out through out-parameters carry one reference / are new BSTRs
//   owned by the caller. Elements made by the Create... operations are not attached to the
//   document.
// - String arguments typed BSTR must be BSTRs (their length is SysStringLen); null is empty.
#pragma once

#include <filterutilities/filterutilitiesexport.h>
#include <filterutilities/printticketquerybuilder.h>

#include <kldutil/cxstring.h>

#include <atlbase.h>
#include <msxml6.h>
#include <oleauto.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace PrintSchema {

// The namespaces in which Print Schema names live, as other parts of the system report them.
// Every int is a value of the type, as with the Windows compiler, so that a namespace the
// documents do not know reaches the check that refuses it.
enum MsPrintTicketNamespacesEnum : int {
    FrameworkNs = 0,
    KeywordsNs = 1,
    UserKeywordsNs = 2,
};

// The namespaces the documents work with, compared character for character with the root
// element's declarations.
inline constexpr WCHAR FrameworkNamespaceUri[] =
    u"http://schemas.microsoft.com/windows/2003/08/printing/printschemaframework";
inline constexpr WCHAR KeywordsNamespaceUri[] =
    u"http://schemas.microsoft.com/windows/2003/08/printing/printschemakeywords";
// The driver's own keywords namespace (features, options and parameters of the driver).
inline constexpr WCHAR UserKeywordsNamespaceUri[] =
    u"http://schemas.keldan.com/enterprise/print/driver/native/printSchemaPrivateKeywords/2006/11";
inline constexpr WCHAR XmlSchemaInstanceNamespaceUri[] =
    u"http://www.w3.org/2001/XMLSchema-instance";
inline constexpr WCHAR XmlSchemaNamespaceUri[] = u"http://www.w3.org/2001/XMLSchema";

// HRESULT_FROM_WIN32(ERROR_NOT_FOUND): what the public reading operations return for an
// absent feature, option or value.
inline constexpr HRESULT E_ELEMENT_NOT_FOUND = static_cast<HRESULT>(0x80070490);

} // namespace PrintSchema

class FILTERUTILITIES_API PrintSchemaXmlDocument {
public:
    // rootElementName: local name of the root element ("PrintTicket", "PrintCapabilities").
    // document may be null (an empty object). Raises KeldanComException on failure: S_FALSE
    // (1) when there is no framework root element of that name, E_FAIL when the root does not
    // declare the framework namespace with a prefix or declares a watched namespace as the
    // default namespace.
    PrintSchemaXmlDocument(const WCHAR* rootElementName, IXMLDOMDocument2* document);
    PrintSchemaXmlDocument(const PrintSchemaXmlDocument& other);
    PrintSchemaXmlDocument& operator=(const PrintSchemaXmlDocument& other);
    virtual ~PrintSchemaXmlDocument();

    bool HasDomDocument() const noexcept { return m_domDocument.p != nullptr; }
    // Whether the DOM document says that neither its tree nor its selection namespaces have
    // changed since this object learnt them (at the end of its construction): such an object
    // may stand in for a new one over the same DOM. False when the DOM keeps no change count
    // (its getProperty("ChangeCount") fails) and for an empty object.
    bool IsCurrent() const;
    // The DOM document's count of changes (getProperty("ChangeCount")); nothing when the DOM
    // keeps none or cannot be asked. Never raises.
    static std::optional<ULONGLONG> ChangeCountOf(IXMLDOMDocument2* document) noexcept;
    // The DOM document and the root element themselves; no reference is added.
    IXMLDOMDocument2* GetDomDocPtr() const noexcept { return m_domDocument.p; }
    IXMLDOMNode* GetRootNode() const noexcept { return m_rootNode.p; }

    // The document serialised as UTF-16 text; E_FAIL without a document.
    HRESULT get_xml(BSTR* xml) const;

    // New copies of the prefixes (with their colons); null when the root does not declare the
    // namespace.
    CComBSTR GetFrameworkNsPrefix() const { return m_frameworkPrefix; }
    CComBSTR GetKeywordsNsPrefix() const { return m_keywordsPrefix; }
    CComBSTR GetUserKeywordsNsPrefix() const { return m_userKeywordsPrefix; }
    // The prefix of a namespace of the enumeration; another value raises E_INVALIDARG.
    CComBSTR GetNsPrefix(PrintSchema::MsPrintTicketNamespacesEnum ns) const;

    // Makes the document's XML declaration read version 1.0, encoding UTF-8. S_FALSE without
    // a document; E_FAIL when the document has no XML declaration to replace.
    HRESULT SetProcessingInstructionsEncodingUtf8();

    // Writes nothing; kept for the drivers that call it. Always S_OK.
    HRESULT DebugDumpXmlToFileInTempDirectory(CXString fileNamePrefix, CXString name);

    // Makes the root declare the driver's private keywords namespace, as "pk", unless the user
    // keywords prefix is bound to it already: S_OK when the declaration was added, S_FALSE
    // when there was nothing to do. Raises E_FAIL, changing nothing, when the root binds "pk"
    // to another namespace. Callers that build private names themselves (with
    // GetUserKeywordsNsPrefix) call it first.
    HRESULT DeclareUserKeywordsNamespace();

    // --- Node queries ---

    // The first Feature in document order whose name is prefix + name (a null or empty prefix
    // is left out): S_OK with the node, S_FALSE with null.
    HRESULT GetFeatureNodeIfExists(BSTR prefix, BSTR name, IXMLDOMNode** node);
    // As GetFeatureNodeIfExists; an absent feature raises E_FAIL.
    void GetFeatureNode(BSTR prefix, BSTR name, IXMLDOMNode** node);
    // S_OK when the expression selects a node, else 0x80070490.
    HRESULT QueryNode(BSTR query);
    // The value of the element that the expression selects: the text of its Value child, or,
    // when it holds a ParameterRef, the text of the ParameterInit of exactly that name.
    // 0x80070490 when there is none. The text form gives null for an empty value; the
    // number forms then give 0. The integer form reads as _wtoi does ("12abc" is 12, "abc"
    // 0), the real form reads a decimal number with '.' whatever the locale.
    HRESULT QueryNodeValue(BSTR query, BSTR* value);
    HRESULT QueryNodeValue(BSTR query, int* value);
    HRESULT QueryNodeValue(BSTR query, float* value);

    // --- Element construction ---

    // An unattached F:Property named GetNsPrefix(ns) + name, without children. A name in the
    // private namespace (UserKeywordsNs) declares that namespace on the root first.
    HRESULT CreateProperty(PrintSchema::MsPrintTicketNamespacesEnum ns, BSTR name,
                           IXMLDOMElement** property);
    // F:ParameterRef named prefix + name; both must be non-empty.
    void CreateParameterRef(BSTR prefix, BSTR name, IXMLDOMElement** reference);
    // F:ScoredProperty named scoredPrefix + scoredName holding F:ParameterRef named
    // referencePrefix + referenceName.
    void CreateParameterRefScoredProperty(BSTR scoredPrefix, BSTR scoredName, BSTR referencePrefix,
                                          BSTR referenceName, IXMLDOMElement** scoredProperty);

    // --- Appends (each raises on failure) ---

    void AppendChildToRootNode(IXMLDOMElement* child);
    void AppendChild(IXMLDOMElement* parent, IXMLDOMElement* child);
    // A Property named GetNsPrefix(ns) + name holding an integer / string Value (UserKeywordsNs
    // declares the private namespace first, as CreateProperty does).
    void AppendChildIntegerProperty(IXMLDOMElement* parent,
                                    PrintSchema::MsPrintTicketNamespacesEnum ns, BSTR name,
                                    int value);
    void AppendChildStringProperty(IXMLDOMElement* parent,
                                   PrintSchema::MsPrintTicketNamespacesEnum ns, BSTR name,
                                   BSTR value);
    // A ScoredProperty named K + name holding an integer Value.
    void AppendChildIntegerScoredProperty(IXMLDOMElement* parent, BSTR name, int value);
    // A ScoredProperty named K + name holding the QName Value K + value.
    void AppendChildQNameScoredProperty(IXMLDOMElement* parent, BSTR name, BSTR value);
    void AppendChildParameterRefScoredProperty(IXMLDOMElement* parent, BSTR scoredPrefix,
                                               BSTR scoredName, BSTR referencePrefix,
                                               BSTR referenceName);

    // --- Removal ---

    // S_OK removed; S_FALSE when the node has no parent.
    HRESULT DeleteNode(IXMLDOMNode* node);
    // Deletes the first Feature named prefix + name: S_OK, or S_FALSE when there is none.
    HRESULT DeleteFeatureNodeIfExists(BSTR prefix, BSTR name);
    // When two or more Features are named prefix + name, deletes the first. S_OK.
    HRESULT DeleteFeatureNodeIfADuplicateExists(BSTR prefix, BSTR name);
    // Deletes every Property named prefix + name, at any depth: all of them or, on a failure,
    // none. S_OK.
    HRESULT DeletePropertyNodesIfExist(BSTR prefix, BSTR name);
    // Deletes every Feature whose name has a prefix the root binds to uri (all or none).
    // S_FALSE after the walk; a namespace the root does not declare deletes nothing.
    HRESULT DeletePrivateFeatures(BSTR uri);

protected:
    // Renames the private keywords prefix to "pk:" (root declaration, name and QName values
    // that mean the private namespace where they stand), all or nothing.
    HRESULT FixPrivateNameSpacePrefix();

    // The first match of an XPath expression, evaluated from the document node: S_OK with the
    // node, S_FALSE with null. Raises E_PENDING without a document.
    HRESULT GetNode(BSTR query, IXMLDOMNode** node);
    // Every element //F:name of the document (a possibly empty list); S_OK.
    HRESULT GetNodes(BSTR name, IXMLDOMNodeList** list);
    // As QueryNodeValue (text form), with S_FALSE for "nothing".
    HRESULT GetNodeValue(BSTR query, BSTR* value);
    // The text of the node's attribute name: S_OK, or S_FALSE (leaving *text as it was).
    HRESULT GetAttributeValue(const IXMLDOMNode* node, BSTR name, BSTR* text);

    // The two primitives that make nodes: an element in the namespace uri, and an attribute
    // (namespace uri, may be null) with a value attached to an element.
    HRESULT CreateXMLElement(BSTR qualifiedName, BSTR namespaceUri, IXMLDOMElement** element);
    HRESULT AppendXMLAttribute(IXMLDOMElement* element, BSTR qualifiedName, BSTR namespaceUri,
                               BSTR value);

    // Typed property: a Property holding one F:Value of type S + type with the text value
    // (which may be empty).
    HRESULT CreateProperty(PrintSchema::MsPrintTicketNamespacesEnum ns, BSTR name, BSTR type,
                           BSTR value, IXMLDOMElement** property);
    // F:ScoredProperty named K + name (K is used whatever the name's namespace).
    HRESULT CreateScoredProperty(BSTR name, IXMLDOMElement** scoredProperty);
    // ... holding one F:Value of type S + type with the text value (none may be empty).
    HRESULT CreateScoredProperty(BSTR name, BSTR type, BSTR value, IXMLDOMElement** scoredProperty);
    // ... holding the given node.
    HRESULT CreateScoredProperty(BSTR name, IXMLDOMNode* child, IXMLDOMElement** scoredProperty);
    HRESULT CreateStringScoredProperty(BSTR name, BSTR value, IXMLDOMElement** scoredProperty);
    HRESULT CreateIntegerScoredProperty(BSTR name, int value, IXMLDOMElement** scoredProperty);
    // The value is written with two decimals ("%.2f": 8.5 is 8.50); an infinite or NaN value
    // raises E_INVALIDARG, as a Print Schema decimal cannot hold it.
    HRESULT CreateRealScoredProperty(BSTR name, float value, IXMLDOMElement** scoredProperty);

    // --- Building blocks for the derived documents, on text views ---

    // Raises E_PENDING without a document.
    void RequireDocument() const;
    // The prefix of a namespace of the enumeration, as held (E_INVALIDARG for another value).
    std::u16string_view PrefixOf(PrintSchema::MsPrintTicketNamespacesEnum ns) const;
    // An unattached element F + localName in the framework namespace.
    CComPtr<IXMLDOMElement> MakeFrameworkElement(std::u16string_view localName);
    // Sets the attribute name = prefix + name (no namespace) on element.
    void SetNameAttribute(IXMLDOMElement* element, std::u16string_view prefix,
                          std::u16string_view name);
    // Sets an attribute without namespace.
    void SetPlainAttribute(IXMLDOMElement* element, std::u16string_view qualifiedName,
                           std::u16string_view value);
    // The schema prefix for type names (S): the document's own, or "xsd:" where the root does
    // not declare the XML Schema namespace (MakeValue then declares it on the Value).
    std::u16string_view SchemaPrefix() const noexcept;
    // An unattached F:Value holding the text value; typed (type attribute I + "type" = S +
    // type) unless type is empty. Where the root does not declare the XML Schema instance or
    // the XML Schema namespace, the Value declares them itself with the prefixes xsi and xsd,
    // so the type always names the XML Schema type.
    CComPtr<IXMLDOMElement> MakeValue(std::u16string_view type, std::u16string_view value);
    // F:Property named prefix + name; with a type, holding MakeValue(type, value).
    CComPtr<IXMLDOMElement> MakeProperty(std::u16string_view prefix, std::u16string_view name);
    CComPtr<IXMLDOMElement> MakeTypedProperty(std::u16string_view prefix, std::u16string_view name,
                                              std::u16string_view type, std::u16string_view value);
    // F:ScoredProperty named K + name; with a type, holding MakeValue(type, value).
    CComPtr<IXMLDOMElement> MakeScoredProperty(std::u16string_view name);
    CComPtr<IXMLDOMElement> MakeTypedScoredProperty(std::u16string_view name,
                                                    std::u16string_view type,
                                                    std::u16string_view value);
    // Appends child to parent (appendChild); raises on failure.
    static void AppendNode(IXMLDOMNode* parent, IXMLDOMNode* child);
    // Removes every node of the list (in document order) from its parent: the parents are
    // looked up first, then the nodes go by calls that need no memory, so a failure removes
    // none. A node inside another one of the list leaves with it. S_OK, or S_FALSE when the
    // list holds no node that has a parent.
    static HRESULT RemoveAll(IXMLDOMNodeList* nodes);
    // The same for nodes gathered by the caller.
    static HRESULT RemoveAll(const std::vector<CComPtr<IXMLDOMNode>>& nodes);

    // --- The driver's private keywords namespace ---

    // Whether the root binds the user keywords prefix to the driver's namespace.
    bool UserKeywordsPrefixIsBound() const;

    // A declaration of the driver's namespace that an edit added to the root, taken back
    // (with the prefix the document held before) when the binding goes without Keep(): an
    // edit that fails leaves the root as it was.
    class PrefixBinding {
    public:
        PrefixBinding() = default;
        PrefixBinding(PrefixBinding&& other) noexcept
            : m_document(std::exchange(other.m_document, nullptr)), m_root(std::move(other.m_root)),
              m_declaration(std::move(other.m_declaration)),
              m_previousPrefix(std::move(other.m_previousPrefix)) {}
        PrefixBinding& operator=(PrefixBinding&&) = delete;
        ~PrefixBinding();
        void Keep() noexcept { m_document = nullptr; }

    private:
        friend class PrintSchemaXmlDocument;
        PrintSchemaXmlDocument* m_document = nullptr; // null: nothing to take back
        CComPtr<IXMLDOMElement> m_root;
        CComBSTR m_declaration;
        CComBSTR m_previousPrefix;
    };
    // Declares the driver's namespace on the root as "pk" unless the user keywords prefix is
    // bound to it already (then the binding has nothing to take back); raises E_FAIL when "pk"
    // is bound to another namespace.
    PrefixBinding BindUserKeywordsPrefixUntilKept();
    // BindUserKeywordsPrefixUntilKept for a name in ns = UserKeywordsNs, an empty binding for
    // the other namespaces.
    PrefixBinding BindForNamesIn(PrintSchema::MsPrintTicketNamespacesEnum ns);
    // Runs a query held in a BSTR on a context node: the first match (S_OK, or S_FALSE and
    // null), or every match (a possibly empty list). Failures are raised.
    static HRESULT SelectSingle(IXMLDOMNode* context, BSTR query, IXMLDOMNode** node);
    static CComPtr<IXMLDOMNodeList> SelectAll(IXMLDOMNode* context, BSTR query);
    // The DOM's typed value of a node, as text (null when empty).
    static CComBSTR GetTypedValueText(IXMLDOMNode* node);
    // A query builder holding the framework prefix.
    PrintTicketQueryBuilder MakeQueryBuilder() const;

    CComPtr<IXMLDOMDocument2> m_domDocument;
    CComBSTR m_rootElementName;
    CComBSTR m_xsdPrefix;
    CComBSTR m_xsiPrefix;
    CComBSTR m_frameworkPrefix;
    CComBSTR m_keywordsPrefix;
    CComBSTR m_userKeywordsPrefix;
    CComPtr<IXMLDOMNode> m_rootNode;

private:
    // The prefix (with its colon) that the root element declares for uri: S_OK, or S_FALSE
    // leaving *prefix unchanged. E_FAIL when the matching attribute is not an xmlns:
    // declaration (a default namespace, or an ordinary attribute of that value).
    HRESULT GetPrefixFromURI(BSTR uri, BSTR* prefix);
    // Every prefix (with its colon) the root element declares for uri, in attribute order.
    std::vector<CComBSTR> PrefixesBoundTo(BSTR uri);
    // Learns in one walk over the root's attributes the prefixes of the five namespaces, as
    // GetPrefixFromURI gives each; true when the driver's private namespace is declared.
    bool LearnPrefixes();
    void SetSelectionNamespaces(std::u16string_view prefixWithoutColon);
    void FindRootNode();

    // The framework namespace name as a BSTR, made once: every element made is in it.
    CComBSTR m_frameworkUri;
    // The DOM's change count when construction ended; none when it keeps none.
    std::optional<ULONGLONG> m_learntAt;

    friend class PrintTicketEditor; // commits part tickets; resolves prefixes of its own
};
