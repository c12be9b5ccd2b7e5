#include <filterutilities/printschemaxmldocument.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/privateprefixrename.h>
#include <filterutilities/schematext.h>

#include <kldutil/number.h>

#include <cmath>
#include <memory>
#include <unordered_set>

using SchemaText::BorrowedText;
using SchemaText::Equal;
using SchemaText::IntegerVariant;
using SchemaText::IsEmpty;
using SchemaText::Join;
using SchemaText::ScopedVariant;
using SchemaText::View;

namespace {

constexpr std::u16string_view kPrivatePrefix = u"pk:";
constexpr std::u16string_view kUndeclaredPrivatePrefix = u"ns0000:";
constexpr std::u16string_view kDeclarationPrefix = u"xmlns:";

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction, copying, namespaces

PrintSchemaXmlDocument::PrintSchemaXmlDocument(const WCHAR* rootElementName,
                                               IXMLDOMDocument2* document)
    : m_domDocument(document), m_rootElementName(rootElementName),
      m_frameworkUri(PrintSchema::FrameworkNamespaceUri) {
    if (!m_domDocument) {
        return; // an empty object
    }
    const CComBSTR language(u"SelectionLanguage");
    const CComBSTR xpath(u"XPath");
    FU_THROW_IF_FAILED(m_domDocument->setProperty(language, BorrowedText(xpath)));
    FindRootNode();

    const bool privateDeclared = LearnPrefixes();
    if (!privateDeclared) {
        m_userKeywordsPrefix = kUndeclaredPrivatePrefix.data();
    }

    // Queries name framework elements with the document's own prefix from here on.
    const std::u16string_view framework = View(m_frameworkPrefix);
    const size_t colon = framework.find(u':');
    if (colon == std::u16string_view::npos || framework.size() == 1) {
        FU_THROW_HR(E_FAIL); // no framework declaration with a prefix on the root
    }
    SetSelectionNamespaces(framework.substr(0, colon));

    // The only change to the caller's tree comes last, once nothing else can fail, and is
    // made whole or not at all.
    if (privateDeclared) {
        FU_THROW_IF_FAILED(FixPrivateNameSpacePrefix());
    }
    m_learntAt = ChangeCountOf(m_domDocument);
}

// A DOM that cannot say (no such property, or no memory to ask) has no count, and wrappers of
// it are made again.
std::optional<ULONGLONG>
PrintSchemaXmlDocument::ChangeCountOf(IXMLDOMDocument2* document) noexcept {
    if (!document) {
        return std::nullopt;
    }
    try {
        // Asked of every ticket for every page, so the name is made once (a first try that
        // runs out of memory throws, and the next call tries again).
        static const CComBSTR kName(u"ChangeCount");
        ScopedVariant count;
        if (FAILED(document->getProperty(kName, &count)) || count.vt != VT_UI8) {
            return std::nullopt;
        }
        return count.ullVal;
    } catch (...) {
        return std::nullopt;
    }
}

bool PrintSchemaXmlDocument::IsCurrent() const {
    return m_domDocument && m_learntAt && ChangeCountOf(m_domDocument) == m_learntAt;
}

void PrintSchemaXmlDocument::SetSelectionNamespaces(std::u16string_view prefixWithoutColon) {
    const CComBSTR name(u"SelectionNamespaces");
    const CComBSTR declaration =
        Join({u"xmlns:", prefixWithoutColon, u"='", PrintSchema::FrameworkNamespaceUri, u"'"});
    FU_THROW_IF_FAILED(m_domDocument->setProperty(name, BorrowedText(declaration)));
}

void PrintSchemaXmlDocument::FindRootNode() {
    // The first framework element of that name in document order. The document element,
    // when it matches, is that element, and is found without a query.
    CComPtr<IXMLDOMElement> documentElement;
    FU_THROW_IF_FAILED(m_domDocument->get_documentElement(&documentElement));
    if (documentElement) {
        CComBSTR uri;
        CComBSTR localName;
        FU_THROW_IF_FAILED(documentElement->get_namespaceURI(&uri));
        FU_THROW_IF_FAILED(documentElement->get_baseName(&localName));
        if (View(uri) == PrintSchema::FrameworkNamespaceUri &&
            View(localName) == View(m_rootElementName)) {
            m_rootNode = documentElement;
            return;
        }
    }
    SetSelectionNamespaces(u"psf");
    if (GetNode(Join({u"//psf:", View(m_rootElementName)}), &m_rootNode) != S_OK) {
        FU_THROW_HR(S_FALSE); // not a document of this kind
    }
}

bool PrintSchemaXmlDocument::LearnPrefixes() {
    // In the order the namespaces were always asked for; which failure is raised does not
    // depend on it, as every one is E_FAIL.
    struct Wanted {
        std::u16string_view uri;
        CComBSTR* prefix;
        bool decided;
    } wanted[] = {
        {PrintSchema::UserKeywordsNamespaceUri, std::addressof(m_userKeywordsPrefix), false},
        {PrintSchema::FrameworkNamespaceUri, std::addressof(m_frameworkPrefix), false},
        {PrintSchema::KeywordsNamespaceUri, std::addressof(m_keywordsPrefix), false},
        {PrintSchema::XmlSchemaInstanceNamespaceUri, std::addressof(m_xsiPrefix), false},
        {PrintSchema::XmlSchemaNamespaceUri, std::addressof(m_xsdPrefix), false},
    };
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    FU_THROW_IF_FAILED(m_rootNode->get_attributes(&attributes));
    if (!attributes) {
        return false;
    }
    FU_THROW_IF_FAILED(attributes->reset());
    for (;;) {
        CComPtr<IXMLDOMNode> attribute;
        FU_THROW_IF_FAILED(attributes->nextNode(&attribute));
        if (!attribute) {
            break;
        }
        ScopedVariant value;
        FU_THROW_IF_FAILED(attribute->get_nodeValue(&value));
        if (value.vt != VT_BSTR) {
            continue;
        }
        for (Wanted& namespaceWanted : wanted) {
            if (namespaceWanted.decided || View(value.bstrVal) != namespaceWanted.uri) {
                continue;
            }
            // The first attribute with that value decides: it must declare a prefix.
            namespaceWanted.decided = true;
            CComBSTR name;
            FU_THROW_IF_FAILED(attribute->get_nodeName(&name));
            const std::u16string_view qualified = View(name);
            if (!qualified.starts_with(kDeclarationPrefix) ||
                qualified.size() == kDeclarationPrefix.size()) {
                FU_THROW_HR(E_FAIL);
            }
            *namespaceWanted.prefix = Join({qualified.substr(kDeclarationPrefix.size()), u":"});
            break;
        }
    }
    return wanted[0].decided;
}

PrintSchemaXmlDocument::PrintSchemaXmlDocument(const PrintSchemaXmlDocument& other) = default;

PrintSchemaXmlDocument&
PrintSchemaXmlDocument::operator=(const PrintSchemaXmlDocument& other) = default;

PrintSchemaXmlDocument::~PrintSchemaXmlDocument() = default;

HRESULT PrintSchemaXmlDocument::get_xml(BSTR* xml) const {
    if (!xml) {
        return E_POINTER;
    }
    if (!m_domDocument) {
        return E_FAIL;
    }
    return m_domDocument->get_xml(xml);
}

std::u16string_view
PrintSchemaXmlDocument::PrefixOf(PrintSchema::MsPrintTicketNamespacesEnum ns) const {
    switch (ns) {
    case PrintSchema::FrameworkNs:
        return View(m_frameworkPrefix);
    case PrintSchema::KeywordsNs:
        return View(m_keywordsPrefix);
    case PrintSchema::UserKeywordsNs:
        return View(m_userKeywordsPrefix);
    }
    FU_THROW_HR(E_INVALIDARG);
}

CComBSTR PrintSchemaXmlDocument::GetNsPrefix(PrintSchema::MsPrintTicketNamespacesEnum ns) const {
    switch (ns) {
    case PrintSchema::FrameworkNs:
        return m_frameworkPrefix;
    case PrintSchema::KeywordsNs:
        return m_keywordsPrefix;
    case PrintSchema::UserKeywordsNs:
        return m_userKeywordsPrefix;
    }
    FU_THROW_HR(E_INVALIDARG);
}

HRESULT PrintSchemaXmlDocument::GetPrefixFromURI(BSTR uri, BSTR* prefix) {
    if (!prefix) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(uri)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (!m_rootNode) {
        FU_THROW_HR(E_PENDING); // an empty object has no root element to ask
    }
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    FU_THROW_IF_FAILED(m_rootNode->get_attributes(&attributes));
    if (!attributes) {
        return S_FALSE;
    }
    FU_THROW_IF_FAILED(attributes->reset());
    for (;;) {
        CComPtr<IXMLDOMNode> attribute;
        FU_THROW_IF_FAILED(attributes->nextNode(&attribute));
        if (!attribute) {
            return S_FALSE;
        }
        ScopedVariant value;
        FU_THROW_IF_FAILED(attribute->get_nodeValue(&value));
        if (value.vt != VT_BSTR || !Equal(value.bstrVal, uri)) {
            continue;
        }
        // The first attribute with that value decides: it must declare a prefix.
        CComBSTR name;
        FU_THROW_IF_FAILED(attribute->get_nodeName(&name));
        const std::u16string_view qualified = View(name);
        if (!qualified.starts_with(kDeclarationPrefix) ||
            qualified.size() == kDeclarationPrefix.size()) {
            FU_THROW_HR(E_FAIL);
        }
        CComBSTR found = Join({qualified.substr(kDeclarationPrefix.size()), u":"});
        ::SysFreeString(*prefix);
        *prefix = found.Detach();
        return S_OK;
    }
}

HRESULT PrintSchemaXmlDocument::FixPrivateNameSpacePrefix() {
    if (View(m_userKeywordsPrefix) == kPrivatePrefix) {
        return S_OK;
    }
    return CatchComException([&] {
        RequireDocument();
        if (!m_rootNode) {
            FU_THROW_HR(E_PENDING);
        }
        PrivatePrefixRename rename(m_domDocument, m_rootNode, View(m_userKeywordsPrefix));
        CComBSTR renamed(
            kPrivatePrefix.data()); // made first: once the tree changes, nothing may fail
        rename.Apply();
        m_userKeywordsPrefix.Attach(renamed.Detach());
        return S_OK;
    });
}

HRESULT PrintSchemaXmlDocument::DeclareUserKeywordsNamespace() {
    PrefixBinding binding = BindUserKeywordsPrefixUntilKept();
    const bool declared = binding.m_document != nullptr;
    binding.Keep();
    return declared ? S_OK : S_FALSE;
}

bool PrintSchemaXmlDocument::UserKeywordsPrefixIsBound() const {
    RequireDocument();
    const std::u16string_view prefix = View(m_userKeywordsPrefix);
    if (prefix.size() < 2 || prefix.back() != u':') {
        return false;
    }
    CComPtr<IXMLDOMElement> root;
    FU_THROW_IF_FAILED(m_rootNode->QueryInterface(&root));
    ScopedVariant uri;
    const HRESULT hr =
        root->getAttribute(Join({kDeclarationPrefix, prefix.substr(0, prefix.size() - 1)}), &uri);
    FU_THROW_IF_FAILED(hr);
    return hr == S_OK && uri.vt == VT_BSTR &&
           View(uri.bstrVal) == PrintSchema::UserKeywordsNamespaceUri;
}

PrintSchemaXmlDocument::PrefixBinding PrintSchemaXmlDocument::BindUserKeywordsPrefixUntilKept() {
    RequireDocument();
    if (UserKeywordsPrefixIsBound()) {
        return PrefixBinding();
    }
    // Everything the binding and its undo need is made before the root changes, so neither
    // the change nor taking it back needs memory.
    PrefixBinding binding;
    binding.m_previousPrefix = m_userKeywordsPrefix;
    binding.m_declaration = Join({kDeclarationPrefix, u"pk"});
    CComBSTR boundPrefix(kPrivatePrefix.data());
    const CComBSTR uri(PrintSchema::UserKeywordsNamespaceUri);
    FU_THROW_IF_FAILED(m_rootNode->QueryInterface(&binding.m_root));

    ScopedVariant existing;
    const HRESULT hr = binding.m_root->getAttribute(binding.m_declaration, &existing);
    FU_THROW_IF_FAILED(hr);
    if (hr == S_OK) {
        if (existing.vt != VT_BSTR || !Equal(existing.bstrVal, uri)) {
            FU_THROW_HR(E_FAIL); // "pk" names another namespace here
        }
        // Declared already (by another object on the same DOM): only the prefix is new here.
        m_userKeywordsPrefix.Attach(boundPrefix.Detach());
        return PrefixBinding();
    }
    FU_THROW_IF_FAILED(binding.m_root->setAttribute(binding.m_declaration, BorrowedText(uri)));
    m_userKeywordsPrefix.Attach(boundPrefix.Detach());
    binding.m_document = this;
    return binding;
}

PrintSchemaXmlDocument::PrefixBinding
PrintSchemaXmlDocument::BindForNamesIn(PrintSchema::MsPrintTicketNamespacesEnum ns) {
    return ns == PrintSchema::UserKeywordsNs ? BindUserKeywordsPrefixUntilKept() : PrefixBinding();
}

PrintSchemaXmlDocument::PrefixBinding::~PrefixBinding() {
    if (m_document) {
        m_root->removeAttribute(m_declaration);
        m_document->m_userKeywordsPrefix.Attach(m_previousPrefix.Detach());
    }
}

HRESULT PrintSchemaXmlDocument::SetProcessingInstructionsEncodingUtf8() {
    if (!m_domDocument) {
        return S_FALSE;
    }
    CComPtr<IXMLDOMProcessingInstruction> declaration;
    HRESULT hr = m_domDocument->createProcessingInstruction(
        CComBSTR(u"xml"), CComBSTR(u" version='1.0' encoding='UTF-8'"), &declaration);
    if (FAILED(hr)) {
        return hr;
    }
    CComPtr<IXMLDOMNode> first;
    if (FAILED(hr = m_domDocument->get_firstChild(&first))) {
        return hr;
    }
    // Only the XML declaration itself is replaced; another first child (a comment, the root
    // element) is document content.
    DOMNodeType type = NODE_INVALID;
    if (!first || FAILED(hr = first->get_nodeType(&type))) {
        return first ? hr : E_FAIL;
    }
    if (type != NODE_PROCESSING_INSTRUCTION) {
        return E_FAIL;
    }
    CComBSTR target;
    if (FAILED(hr = first->get_nodeName(&target))) {
        return hr; // running out of memory is not "no declaration"
    }
    if (View(target) != u"xml") {
        return E_FAIL;
    }
    CComPtr<IXMLDOMNode> replaced;
    return m_domDocument->replaceChild(declaration, first, &replaced);
}

HRESULT PrintSchemaXmlDocument::DebugDumpXmlToFileInTempDirectory(CXString, CXString) {
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Node queries

void PrintSchemaXmlDocument::RequireDocument() const {
    if (!m_domDocument) {
        FU_THROW_HR(E_PENDING);
    }
}

PrintTicketQueryBuilder PrintSchemaXmlDocument::MakeQueryBuilder() const {
    return PrintTicketQueryBuilder(m_frameworkPrefix);
}

HRESULT PrintSchemaXmlDocument::GetNode(BSTR query, IXMLDOMNode** node) {
    if (!node) {
        FU_THROW_HR(E_POINTER);
    }
    RequireDocument();
    *node = nullptr;
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    return SelectSingle(m_domDocument, query, node);
}

HRESULT PrintSchemaXmlDocument::SelectSingle(IXMLDOMNode* context, BSTR query, IXMLDOMNode** node) {
    const HRESULT hr = context->selectSingleNode(query, node);
    FU_THROW_IF_FAILED(hr);
    return *node ? S_OK : S_FALSE;
}

CComPtr<IXMLDOMNodeList> PrintSchemaXmlDocument::SelectAll(IXMLDOMNode* context, BSTR query) {
    CComPtr<IXMLDOMNodeList> list;
    FU_THROW_IF_FAILED(context->selectNodes(query, &list));
    if (!list) {
        FU_THROW_HR(E_FAIL);
    }
    return list;
}

HRESULT PrintSchemaXmlDocument::GetNodes(BSTR name, IXMLDOMNodeList** list) {
    if (!list) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(name)) {
        FU_THROW_HR(E_FAIL);
    }
    *list = nullptr;
    RequireDocument();
    *list = SelectAll(m_domDocument, Join({u"//", View(m_frameworkPrefix), View(name)})).Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::GetFeatureNodeIfExists(BSTR prefix, BSTR name, IXMLDOMNode** node) {
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddFeature(prefix, name);
    return GetNode(builder.QueryText(), node);
}

void PrintSchemaXmlDocument::GetFeatureNode(BSTR prefix, BSTR name, IXMLDOMNode** node) {
    if (GetFeatureNodeIfExists(prefix, name, node) != S_OK) {
        FU_THROW_HR(E_FAIL);
    }
}

HRESULT PrintSchemaXmlDocument::QueryNode(BSTR query) {
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMNode> node;
    return GetNode(query, &node) == S_OK ? S_OK : PrintSchema::E_ELEMENT_NOT_FOUND;
}

HRESULT PrintSchemaXmlDocument::QueryNodeValue(BSTR query, BSTR* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    *value = nullptr;
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    return GetNodeValue(query, value) == S_OK ? S_OK : PrintSchema::E_ELEMENT_NOT_FOUND;
}

HRESULT PrintSchemaXmlDocument::QueryNodeValue(BSTR query, int* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComBSTR text;
    const HRESULT hr = QueryNodeValue(query, &text);
    if (hr == S_OK) {
        *value = Number::ParseInt(text.m_str);
    }
    return hr;
}

HRESULT PrintSchemaXmlDocument::QueryNodeValue(BSTR query, float* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComBSTR text;
    const HRESULT hr = QueryNodeValue(query, &text);
    if (hr == S_OK) {
        *value = Number(View(text), false).GetFloatValue();
    }
    return hr;
}

CComBSTR PrintSchemaXmlDocument::GetTypedValueText(IXMLDOMNode* node) {
    ScopedVariant typed;
    FU_THROW_IF_FAILED(node->get_nodeTypedValue(&typed));
    CComBSTR text;
    if (typed.vt == VT_BSTR) {
        text.Attach(typed.bstrVal);
        typed.vt = VT_EMPTY;
    } else {
        // Print Schema documents carry no DOM data types; read such a node as plain text.
        FU_THROW_IF_FAILED(node->get_text(&text));
    }
    if (text.m_str && text.Length() == 0) {
        text.Empty();
    }
    return text;
}

HRESULT PrintSchemaXmlDocument::GetNodeValue(BSTR query, BSTR* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    ::SysFreeString(*value);
    *value = nullptr;
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMNode> node;
    if (GetNode(query, &node) != S_OK) {
        return S_FALSE;
    }
    const std::u16string_view framework = View(m_frameworkPrefix);
    CComBSTR text;
    CComPtr<IXMLDOMNode> valueNode;
    // A selection that fails counts as no Value child, unless it failed for want of memory:
    // a value that is there must not read as absent.
    const HRESULT selected = node->selectSingleNode(Join({framework, u"Value"}), &valueNode);
    if (selected == E_OUTOFMEMORY) {
        FU_THROW_HR(selected);
    }
    if (SUCCEEDED(selected) && valueNode) {
        text = GetTypedValueText(valueNode);
    } else {
        CComPtr<IXMLDOMNode> reference;
        if (SelectSingle(node, Join({framework, u"ParameterRef"}), &reference) != S_OK) {
            return S_FALSE;
        }
        const CComBSTR nameAttribute(u"name");
        CComBSTR referenced;
        if (GetAttributeValue(reference, nameAttribute, &referenced) != S_OK) {
            return S_FALSE;
        }
        CComPtr<IXMLDOMNodeList> initialisers;
        GetNodes(CComBSTR(u"ParameterInit"), &initialisers);
        FU_THROW_IF_FAILED(initialisers->reset());
        bool found = false;
        for (;;) {
            CComPtr<IXMLDOMNode> initialiser;
            FU_THROW_IF_FAILED(initialisers->nextNode(&initialiser));
            if (!initialiser) {
                break;
            }
            CComBSTR name;
            if (GetAttributeValue(initialiser, nameAttribute, &name) == S_OK &&
                Equal(name, referenced)) {
                text = GetTypedValueText(initialiser);
                found = true;
                break;
            }
        }
        if (!found) {
            return S_FALSE;
        }
    }
    *value = text.Length() ? text.Detach() : nullptr;
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::GetAttributeValue(const IXMLDOMNode* node, BSTR name, BSTR* text) {
    if (!node || !text) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    // COM methods are not const; reading the attributes does not change the node.
    IXMLDOMNode* const readable = const_cast<IXMLDOMNode*>(node);
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    const HRESULT hr = readable->get_attributes(&attributes);
    FU_THROW_IF_FAILED(hr);
    if (!attributes) {
        return S_FALSE;
    }
    CComPtr<IXMLDOMNode> attribute;
    FU_THROW_IF_FAILED(attributes->getNamedItem(name, &attribute));
    if (!attribute) {
        return S_FALSE;
    }
    FU_THROW_IF_FAILED(attribute->get_text(text));
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Element construction

HRESULT PrintSchemaXmlDocument::CreateXMLElement(BSTR qualifiedName, BSTR namespaceUri,
                                                 IXMLDOMElement** element) {
    if (!qualifiedName || !namespaceUri) {
        FU_THROW_HR(E_INVALIDARG);
    }
    RequireDocument();
    CComPtr<IXMLDOMNode> node;
    FU_THROW_IF_FAILED(m_domDocument->createNode(IntegerVariant(NODE_ELEMENT), qualifiedName,
                                                 namespaceUri, &node));
    if (!node) {
        FU_THROW_HR(E_FAIL);
    }
    if (element) {
        FU_THROW_IF_FAILED(node->QueryInterface(element));
    }
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::AppendXMLAttribute(IXMLDOMElement* element, BSTR qualifiedName,
                                                   BSTR namespaceUri, BSTR value) {
    if (!element || !qualifiedName || !value) {
        FU_THROW_HR(E_INVALIDARG);
    }
    RequireDocument();
    CComPtr<IXMLDOMNode> node;
    FU_THROW_IF_FAILED(m_domDocument->createNode(IntegerVariant(NODE_ATTRIBUTE), qualifiedName,
                                                 namespaceUri, &node));
    CComPtr<IXMLDOMAttribute> attribute;
    if (!node) {
        FU_THROW_HR(E_FAIL);
    }
    FU_THROW_IF_FAILED(node->QueryInterface(&attribute));
    FU_THROW_IF_FAILED(attribute->put_value(BorrowedText(value)));
    CComPtr<IXMLDOMAttribute> replaced;
    FU_THROW_IF_FAILED(element->setAttributeNode(attribute, &replaced));
    return S_OK;
}

CComPtr<IXMLDOMElement>
PrintSchemaXmlDocument::MakeFrameworkElement(std::u16string_view localName) {
    CComPtr<IXMLDOMElement> element;
    CreateXMLElement(Join({View(m_frameworkPrefix), localName}), m_frameworkUri, &element);
    if (!element) {
        FU_THROW_HR(E_FAIL);
    }
    return element;
}

void PrintSchemaXmlDocument::SetNameAttribute(IXMLDOMElement* element, std::u16string_view prefix,
                                              std::u16string_view name) {
    AppendXMLAttribute(element, CComBSTR(u"name"), nullptr, Join({prefix, name}));
}

void PrintSchemaXmlDocument::SetPlainAttribute(IXMLDOMElement* element,
                                               std::u16string_view qualifiedName,
                                               std::u16string_view value) {
    AppendXMLAttribute(element, Join({qualifiedName}), nullptr, Join({value}));
}

std::u16string_view PrintSchemaXmlDocument::SchemaPrefix() const noexcept {
    return m_xsdPrefix.Length() ? View(m_xsdPrefix) : std::u16string_view(u"xsd:");
}

CComPtr<IXMLDOMElement> PrintSchemaXmlDocument::MakeValue(std::u16string_view type,
                                                          std::u16string_view value) {
    CComPtr<IXMLDOMElement> element = MakeFrameworkElement(u"Value");
    if (!type.empty()) {
        // A type attribute needs a prefix for its namespace, and a type QName needs the XML
        // Schema namespace in scope: the Value declares what the root does not.
        std::u16string_view instancePrefix = View(m_xsiPrefix);
        if (instancePrefix.empty()) {
            instancePrefix = u"xsi:";
        }
        const std::u16string_view schemaPrefix = SchemaPrefix();
        if (m_xsdPrefix.Length() == 0) {
            AppendXMLAttribute(element, CComBSTR(u"xmlns:xsd"), CComBSTR(u""),
                               CComBSTR(PrintSchema::XmlSchemaNamespaceUri));
        }
        AppendXMLAttribute(element, Join({instancePrefix, u"type"}),
                           CComBSTR(PrintSchema::XmlSchemaInstanceNamespaceUri),
                           Join({schemaPrefix, type}));
    }
    if (!value.empty()) {
        FU_THROW_IF_FAILED(element->put_text(Join({value})));
    }
    return element;
}

CComPtr<IXMLDOMElement> PrintSchemaXmlDocument::MakeProperty(std::u16string_view prefix,
                                                             std::u16string_view name) {
    CComPtr<IXMLDOMElement> property = MakeFrameworkElement(u"Property");
    SetNameAttribute(property, prefix, name);
    return property;
}

CComPtr<IXMLDOMElement> PrintSchemaXmlDocument::MakeTypedProperty(std::u16string_view prefix,
                                                                  std::u16string_view name,
                                                                  std::u16string_view type,
                                                                  std::u16string_view value) {
    CComPtr<IXMLDOMElement> property = MakeProperty(prefix, name);
    AppendNode(property, MakeValue(type, value));
    return property;
}

CComPtr<IXMLDOMElement> PrintSchemaXmlDocument::MakeScoredProperty(std::u16string_view name) {
    CComPtr<IXMLDOMElement> scored = MakeFrameworkElement(u"ScoredProperty");
    SetNameAttribute(scored, View(m_keywordsPrefix), name);
    return scored;
}

CComPtr<IXMLDOMElement> PrintSchemaXmlDocument::MakeTypedScoredProperty(std::u16string_view name,
                                                                        std::u16string_view type,
                                                                        std::u16string_view value) {
    CComPtr<IXMLDOMElement> scored = MakeScoredProperty(name);
    AppendNode(scored, MakeValue(type, value));
    return scored;
}

void PrintSchemaXmlDocument::AppendNode(IXMLDOMNode* parent, IXMLDOMNode* child) {
    CComPtr<IXMLDOMNode> appended;
    FU_THROW_IF_FAILED(parent->appendChild(child, &appended));
}

HRESULT PrintSchemaXmlDocument::CreateProperty(PrintSchema::MsPrintTicketNamespacesEnum ns,
                                               BSTR name, IXMLDOMElement** property) {
    if (!property) {
        FU_THROW_HR(E_POINTER);
    }
    *property = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrefixOf(ns); // an unknown namespace is refused before anything changes
    PrefixBinding binding = BindForNamesIn(ns);
    *property = MakeProperty(PrefixOf(ns), View(name)).Detach();
    binding.Keep();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateProperty(PrintSchema::MsPrintTicketNamespacesEnum ns,
                                               BSTR name, BSTR type, BSTR value,
                                               IXMLDOMElement** property) {
    if (!property) {
        FU_THROW_HR(E_POINTER);
    }
    *property = nullptr;
    if (IsEmpty(name) || IsEmpty(type)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrefixOf(ns);
    PrefixBinding binding = BindForNamesIn(ns);
    *property = MakeTypedProperty(PrefixOf(ns), View(name), View(type), View(value)).Detach();
    binding.Keep();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateScoredProperty(BSTR name, IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *scoredProperty = MakeScoredProperty(View(name)).Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateScoredProperty(BSTR name, BSTR type, BSTR value,
                                                     IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name) || IsEmpty(type) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *scoredProperty = MakeTypedScoredProperty(View(name), View(type), View(value)).Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateScoredProperty(BSTR name, IXMLDOMNode* child,
                                                     IXMLDOMElement** scoredProperty) {
    if (!child || !scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMElement> scored = MakeScoredProperty(View(name));
    AppendNode(scored, child);
    *scoredProperty = scored.Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateStringScoredProperty(BSTR name, BSTR value,
                                                           IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *scoredProperty = MakeTypedScoredProperty(View(name), u"string", View(value)).Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateIntegerScoredProperty(BSTR name, int value,
                                                            IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *scoredProperty =
        MakeTypedScoredProperty(View(name), u"integer", SchemaText::NumberText::Integer(value))
            .Detach();
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::CreateRealScoredProperty(BSTR name, float value,
                                                         IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    if (IsEmpty(name) || !std::isfinite(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *scoredProperty =
        MakeTypedScoredProperty(View(name), u"decimal",
                                SchemaText::NumberText::Fixed2(static_cast<double>(value)))
            .Detach();
    return S_OK;
}

void PrintSchemaXmlDocument::CreateParameterRef(BSTR prefix, BSTR name,
                                                IXMLDOMElement** reference) {
    if (IsEmpty(name) || IsEmpty(prefix)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (!reference) {
        FU_THROW_HR(E_POINTER);
    }
    *reference = nullptr;
    CComPtr<IXMLDOMElement> element = MakeFrameworkElement(u"ParameterRef");
    SetNameAttribute(element, View(prefix), View(name));
    *reference = element.Detach();
}

void PrintSchemaXmlDocument::CreateParameterRefScoredProperty(BSTR scoredPrefix, BSTR scoredName,
                                                              BSTR referencePrefix,
                                                              BSTR referenceName,
                                                              IXMLDOMElement** scoredProperty) {
    if (!scoredProperty) {
        FU_THROW_HR(E_POINTER);
    }
    *scoredProperty = nullptr;
    CComPtr<IXMLDOMElement> scored = MakeFrameworkElement(u"ScoredProperty");
    SetNameAttribute(scored, View(scoredPrefix), View(scoredName));
    CComPtr<IXMLDOMElement> reference;
    CreateParameterRef(referencePrefix, referenceName, &reference);
    AppendNode(scored, reference);
    *scoredProperty = scored.Detach();
}

// ---------------------------------------------------------------------------------------------
// Appends

void PrintSchemaXmlDocument::AppendChildToRootNode(IXMLDOMElement* child) {
    if (!child) {
        FU_THROW_HR(E_POINTER);
    }
    RequireDocument();
    AppendNode(m_rootNode, child);
}

void PrintSchemaXmlDocument::AppendChild(IXMLDOMElement* parent, IXMLDOMElement* child) {
    if (!parent || !child) {
        FU_THROW_HR(E_POINTER);
    }
    AppendNode(parent, child);
}

void PrintSchemaXmlDocument::AppendChildIntegerProperty(IXMLDOMElement* parent,
                                                        PrintSchema::MsPrintTicketNamespacesEnum ns,
                                                        BSTR name, int value) {
    if (!parent) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrefixOf(ns);
    PrefixBinding binding = BindForNamesIn(ns);
    AppendNode(parent, MakeTypedProperty(PrefixOf(ns), View(name), u"integer",
                                         SchemaText::NumberText::Integer(value)));
    binding.Keep();
}

void PrintSchemaXmlDocument::AppendChildStringProperty(IXMLDOMElement* parent,
                                                       PrintSchema::MsPrintTicketNamespacesEnum ns,
                                                       BSTR name, BSTR value) {
    if (!parent) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrefixOf(ns);
    PrefixBinding binding = BindForNamesIn(ns);
    AppendNode(parent, MakeTypedProperty(PrefixOf(ns), View(name), u"string", View(value)));
    binding.Keep();
}

void PrintSchemaXmlDocument::AppendChildIntegerScoredProperty(IXMLDOMElement* parent, BSTR name,
                                                              int value) {
    if (!parent) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMElement> scored;
    CreateIntegerScoredProperty(name, value, &scored);
    AppendNode(parent, scored);
}

void PrintSchemaXmlDocument::AppendChildQNameScoredProperty(IXMLDOMElement* parent, BSTR name,
                                                            BSTR value) {
    if (!parent) {
        FU_THROW_HR(E_INVALIDARG);
    }
    if (IsEmpty(name) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    const CComBSTR keyword = Join({View(m_keywordsPrefix), View(value)});
    AppendNode(parent, MakeTypedScoredProperty(View(name), u"QName", View(keyword)));
}

void PrintSchemaXmlDocument::AppendChildParameterRefScoredProperty(IXMLDOMElement* parent,
                                                                   BSTR scoredPrefix,
                                                                   BSTR scoredName,
                                                                   BSTR referencePrefix,
                                                                   BSTR referenceName) {
    if (!parent) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMElement> scored;
    CreateParameterRefScoredProperty(scoredPrefix, scoredName, referencePrefix, referenceName,
                                     &scored);
    AppendNode(parent, scored);
}

// ---------------------------------------------------------------------------------------------
// Removal

HRESULT PrintSchemaXmlDocument::DeleteNode(IXMLDOMNode* node) {
    if (!node) {
        FU_THROW_HR(E_POINTER);
    }
    CComPtr<IXMLDOMNode> parent;
    FU_THROW_IF_FAILED(node->get_parentNode(&parent));
    if (!parent) {
        return S_FALSE;
    }
    CComPtr<IXMLDOMNode> removed;
    FU_THROW_IF_FAILED(parent->removeChild(node, &removed));
    if (!removed) {
        FU_THROW_HR(E_FAIL);
    }
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::DeleteFeatureNodeIfExists(BSTR prefix, BSTR name) {
    CComPtr<IXMLDOMNode> feature;
    if (GetFeatureNodeIfExists(prefix, name, &feature) != S_OK) {
        return S_FALSE;
    }
    return DeleteNode(feature);
}

HRESULT PrintSchemaXmlDocument::DeleteFeatureNodeIfADuplicateExists(BSTR prefix, BSTR name) {
    RequireDocument();
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddFeature(prefix, name);
    CComPtr<IXMLDOMNodeList> features = SelectAll(m_domDocument, builder.QueryText());
    LONG count = 0;
    FU_THROW_IF_FAILED(features->get_length(&count));
    if (count >= 2) {
        CComPtr<IXMLDOMNode> first;
        FU_THROW_IF_FAILED(features->get_item(0, &first));
        if (first) {
            DeleteNode(first);
        }
    }
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::DeletePropertyNodesIfExist(BSTR prefix, BSTR name) {
    if (IsEmpty(name)) {
        FU_THROW_HR(E_FAIL);
    }
    RequireDocument();
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddProperty(prefix, name);
    CComPtr<IXMLDOMNodeList> properties = SelectAll(m_domDocument, builder.QueryText());
    RemoveAll(properties);
    return S_OK;
}

HRESULT PrintSchemaXmlDocument::DeletePrivateFeatures(BSTR uri) {
    if (IsEmpty(uri)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    RequireDocument();
    CComBSTR prefix;
    if (GetPrefixFromURI(uri, &prefix) != S_OK || prefix.Length() == 0) {
        return S_FALSE; // no feature can be named in an undeclared namespace
    }
    // A root may bind the namespace with more than one prefix (the driver's namespace keeps
    // its old prefix beside pk where a value still needs it): a name with any of them goes.
    const std::vector<CComBSTR> prefixes = PrefixesBoundTo(uri);
    CComPtr<IXMLDOMNodeList> features =
        SelectAll(m_domDocument, Join({u"//", View(m_frameworkPrefix), u"Feature"}));
    FU_THROW_IF_FAILED(features->reset());
    // Every feature to go is found first, then all go together.
    const CComBSTR nameAttribute(u"name");
    std::vector<CComPtr<IXMLDOMNode>> doomed;
    for (;;) {
        CComPtr<IXMLDOMNode> feature;
        FU_THROW_IF_FAILED(features->nextNode(&feature));
        if (!feature) {
            break;
        }
        CComBSTR name;
        if (GetAttributeValue(feature, nameAttribute, &name) != S_OK) {
            continue;
        }
        for (const CComBSTR& bound : prefixes) {
            if (View(name).starts_with(View(bound))) {
                doomed.push_back(std::move(feature));
                break;
            }
        }
    }
    RemoveAll(doomed);
    return S_FALSE;
}

std::vector<CComBSTR> PrintSchemaXmlDocument::PrefixesBoundTo(BSTR uri) {
    std::vector<CComBSTR> prefixes;
    CComPtr<IXMLDOMNamedNodeMap> attributes;
    FU_THROW_IF_FAILED(m_rootNode->get_attributes(&attributes));
    if (!attributes) {
        return prefixes;
    }
    FU_THROW_IF_FAILED(attributes->reset());
    for (;;) {
        CComPtr<IXMLDOMNode> attribute;
        FU_THROW_IF_FAILED(attributes->nextNode(&attribute));
        if (!attribute) {
            return prefixes;
        }
        CComBSTR name;
        FU_THROW_IF_FAILED(attribute->get_nodeName(&name));
        const std::u16string_view qualified = View(name);
        if (!qualified.starts_with(kDeclarationPrefix) ||
            qualified.size() == kDeclarationPrefix.size()) {
            continue;
        }
        ScopedVariant value;
        FU_THROW_IF_FAILED(attribute->get_nodeValue(&value));
        if (value.vt == VT_BSTR && Equal(value.bstrVal, uri)) {
            prefixes.push_back(Join({qualified.substr(kDeclarationPrefix.size()), u":"}));
        }
    }
}

HRESULT PrintSchemaXmlDocument::RemoveAll(IXMLDOMNodeList* nodes) {
    if (!nodes) {
        FU_THROW_HR(E_POINTER);
    }
    LONG count = 0;
    FU_THROW_IF_FAILED(nodes->get_length(&count));
    std::vector<CComPtr<IXMLDOMNode>> gathered;
    gathered.reserve(static_cast<size_t>(count > 0 ? count : 0));
    for (LONG index = 0; index < count; ++index) {
        CComPtr<IXMLDOMNode> node;
        FU_THROW_IF_FAILED(nodes->get_item(index, &node));
        if (node) {
            gathered.push_back(std::move(node));
        }
    }
    return RemoveAll(gathered);
}

HRESULT PrintSchemaXmlDocument::RemoveAll(const std::vector<CComPtr<IXMLDOMNode>>& nodes) {
    // Each node with its parent and its next sibling (to put it back before), looked up before
    // anything moves. A node inside another one that goes leaves with it and is not taken out
    // of its parent on its own, so the removed subtrees stay as they were.
    struct Removal {
        CComPtr<IXMLDOMNode> node;
        CComPtr<IXMLDOMNode> parent;
        CComPtr<IXMLDOMNode> next;
    };
    std::vector<Removal> removals;
    removals.reserve(nodes.size());
    std::unordered_set<IXMLDOMNode*> going; // one XML node has one object: identity compares
    for (const CComPtr<IXMLDOMNode>& node : nodes) {
        Removal removal{node, nullptr, nullptr};
        FU_THROW_IF_FAILED(node->get_parentNode(&removal.parent));
        if (!removal.parent || going.count(node.p)) {
            continue;
        }
        bool inside = false;
        for (CComPtr<IXMLDOMNode> ancestor = removal.parent; ancestor && !inside;) {
            inside = going.count(ancestor.p) != 0;
            CComPtr<IXMLDOMNode> up;
            FU_THROW_IF_FAILED(ancestor->get_parentNode(&up));
            ancestor = std::move(up);
        }
        if (inside) {
            continue;
        }
        FU_THROW_IF_FAILED(node->get_nextSibling(&removal.next));
        going.insert(node.p);
        removals.push_back(std::move(removal));
    }
    if (removals.empty()) {
        return S_FALSE;
    }
    size_t removed = 0;
    HRESULT hr = S_OK;
    for (; removed < removals.size(); ++removed) {
        CComPtr<IXMLDOMNode> out;
        if (FAILED(hr = removals[removed].parent->removeChild(removals[removed].node, &out))) {
            break;
        }
    }
    if (FAILED(hr)) {
        // Put back what went, last first, each before the sibling it had.
        while (removed > 0) {
            const Removal& removal = removals[--removed];
            VARIANT before;
            ::VariantInit(&before);
            if (removal.next) {
                before.vt = VT_UNKNOWN;
                before.punkVal = removal.next;
            }
            CComPtr<IXMLDOMNode> inserted;
            removal.parent->insertBefore(removal.node, before, &inserted);
        }
        FU_THROW_HR(hr);
    }
    return S_OK;
}
