#include <filterutilities/privateprefixrename.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/printschemaxmldocument.h>
#include <filterutilities/schematext.h>

using SchemaText::BorrowedText;
using SchemaText::IntegerVariant;
using SchemaText::Join;
using SchemaText::ScopedVariant;
using SchemaText::View;

namespace {

constexpr std::u16string_view kPk = u"pk";

bool IsXmlSpace(WCHAR unit) noexcept {
    return unit == u' ' || unit == u'\t' || unit == u'\n' || unit == u'\r';
}

std::u16string_view Trimmed(std::u16string_view text) noexcept {
    while (!text.empty() && IsXmlSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsXmlSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Whether text can stand in an XPath name test as a prefix. Declared prefixes always can; a
// prefix read from a value may be anything.
bool IsPlainPrefix(std::u16string_view text) noexcept {
    if (text.empty()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const WCHAR unit = text[i];
        const bool letter = (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
                            unit == u'_' || unit >= 0x80;
        const bool other = (unit >= u'0' && unit <= u'9') || unit == u'-' || unit == u'.';
        if (!(letter || (i > 0 && other))) {
            return false;
        }
    }
    return true;
}

CComPtr<IXMLDOMNodeList> SelectAll(IXMLDOMNode* context, BSTR query) {
    CComPtr<IXMLDOMNodeList> list;
    FU_THROW_IF_FAILED(context->selectNodes(query, &list));
    if (!list) {
        FU_THROW_HR(E_FAIL);
    }
    return list;
}

bool Selects(IXMLDOMNode* context, BSTR query) {
    CComPtr<IXMLDOMNode> node;
    FU_THROW_IF_FAILED(context->selectSingleNode(query, &node));
    return node != nullptr;
}

} // namespace

PrivatePrefixRename::PrivatePrefixRename(IXMLDOMDocument2* document, IXMLDOMNode* root,
                                         std::u16string_view oldPrefix)
    : m_document(document) {
    if (!document || !root) {
        FU_THROW_HR(E_POINTER);
    }
    if (oldPrefix.size() < 2 || oldPrefix.back() != u':') {
        FU_THROW_HR(E_INVALIDARG);
    }
    FU_THROW_IF_FAILED(root->QueryInterface(&m_root));
    m_oldPrefix = Join({oldPrefix.substr(0, oldPrefix.size() - 1)});
    PlanDeclarations();
    PlanNames();
    PlanValues();
    if (!m_keepOldDeclaration) {
        m_keepOldDeclaration = OtherValuesUseOldPrefix();
    }
}

void PrivatePrefixRename::PlanDeclarations() {
    FU_THROW_IF_FAILED(m_root->get_attributes(&m_rootAttributes));
    if (!m_rootAttributes) {
        FU_THROW_HR(E_FAIL);
    }
    m_oldDeclarationName = Join({u"xmlns:", View(m_oldPrefix)});
    m_newDeclarationName = Join({u"xmlns:", kPk});
    FU_THROW_IF_FAILED(m_rootAttributes->getNamedItem(m_oldDeclarationName, &m_oldDeclaration));

    CComPtr<IXMLDOMNode> pk;
    FU_THROW_IF_FAILED(m_rootAttributes->getNamedItem(m_newDeclarationName, &pk));
    if (pk) {
        // A root that binds pk to another namespace keeps it: renaming would move the private
        // names into that namespace.
        ScopedVariant uri;
        FU_THROW_IF_FAILED(pk->get_nodeValue(&uri));
        if (uri.vt != VT_BSTR || View(uri.bstrVal) != PrintSchema::UserKeywordsNamespaceUri) {
            FU_THROW_HR(E_FAIL);
        }
        return; // bound already
    }
    m_newDeclaration = MakeAttribute(View(m_newDeclarationName),
                                     std::u16string_view(PrintSchema::UserKeywordsNamespaceUri));
}

void PrivatePrefixRename::PlanNames() {
    const std::u16string_view old = View(m_oldPrefix);
    const std::u16string_view uri = PrintSchema::UserKeywordsNamespaceUri;
    // Names in the driver's namespace where they stand, below no element that binds pk
    // to another namespace.
    CComPtr<IXMLDOMNodeList> named = SelectAll(
        m_root, Join({u"descendant-or-self::*[starts-with(@name,'", old, u":')][namespace::", old,
                      u"='", uri, u"'][not(namespace::pk!='", uri, u"')]"}));
    LONG count = 0;
    FU_THROW_IF_FAILED(named->get_length(&count));
    m_names.reserve(static_cast<size_t>(count));
    const CComBSTR nameAttribute(u"name");
    for (LONG index = 0; index < count; ++index) {
        CComPtr<IXMLDOMNode> node;
        FU_THROW_IF_FAILED(named->get_item(index, &node));
        NameSwap swap;
        FU_THROW_IF_FAILED(node->QueryInterface(&swap.element));
        FU_THROW_IF_FAILED(swap.element->getAttributeNode(nameAttribute, &swap.oldName));
        if (!swap.oldName) {
            FU_THROW_HR(E_FAIL);
        }
        ScopedVariant value;
        FU_THROW_IF_FAILED(swap.oldName->get_nodeValue(&value));
        if (value.vt != VT_BSTR) {
            FU_THROW_HR(E_FAIL);
        }
        swap.newName = MakeAttribute(u"name", View(Renamed(View(value.bstrVal))));
        m_names.push_back(std::move(swap));
    }
}

void PrivatePrefixRename::PlanValues() {
    const std::u16string_view old = View(m_oldPrefix);
    const std::u16string_view uri = PrintSchema::UserKeywordsNamespaceUri;
    const CComBSTR textQuery = Join({u"text()[starts-with(normalize-space(.),'", old, u":')]"});
    // The cheap test first: the namespace axis costs a walk up the tree per element.
    CComPtr<IXMLDOMNodeList> holders =
        SelectAll(m_root, Join({u"descendant-or-self::*[", View(textQuery), u"][namespace::", old,
                                u"='", uri, u"']"}));
    LONG count = 0;
    FU_THROW_IF_FAILED(holders->get_length(&count));
    for (LONG index = 0; index < count; ++index) {
        CComPtr<IXMLDOMNode> holder;
        FU_THROW_IF_FAILED(holders->get_item(index, &holder));
        switch (TypeOf(holder)) {
        case ValueType::Other:
            continue; // a string or a number that happens to read "old:...": data, not a name
        case ValueType::Untyped:
            m_keepOldDeclaration = true; // may be a QName: it keeps its declaration
            continue;
        case ValueType::QName:
            break;
        }
        if (PkRebound(holder)) {
            m_keepOldDeclaration = true;
            continue;
        }
        CComPtr<IXMLDOMNodeList> texts = SelectAll(holder, textQuery);
        LONG textCount = 0;
        FU_THROW_IF_FAILED(texts->get_length(&textCount));
        for (LONG textIndex = 0; textIndex < textCount; ++textIndex) {
            ValueSwap swap;
            swap.parent = holder;
            FU_THROW_IF_FAILED(texts->get_item(textIndex, &swap.oldText));
            ScopedVariant value;
            FU_THROW_IF_FAILED(swap.oldText->get_nodeValue(&value));
            if (value.vt != VT_BSTR) {
                FU_THROW_HR(E_FAIL);
            }
            CComPtr<IXMLDOMText> text;
            FU_THROW_IF_FAILED(m_document->createTextNode(Renamed(View(value.bstrVal)), &text));
            if (!text) {
                FU_THROW_HR(E_FAIL);
            }
            swap.newText = text;
            m_values.push_back(std::move(swap));
        }
    }
}

bool PrivatePrefixRename::OtherValuesUseOldPrefix() {
    const std::u16string_view old = View(m_oldPrefix);
    const std::u16string_view uri = PrintSchema::UserKeywordsNamespaceUri;
    // Another attribute reading "old:...", or a name the rename leaves because pk means
    // another namespace where it stands.
    return Selects(m_root,
                   Join({u"descendant-or-self::*[@*[name()!='name' and "
                         u"starts-with(normalize-space(.),'",
                         old, u":')] or (starts-with(@name,'", old, u":') and namespace::pk!='",
                         uri, u"')][namespace::", old, u"='", uri, u"']"}));
}

PrivatePrefixRename::ValueType PrivatePrefixRename::TypeOf(IXMLDOMNode* element) {
    CComPtr<IXMLDOMNode> type;
    FU_THROW_IF_FAILED(
        element->selectSingleNode(Join({u"@*[local-name()='type' and namespace-uri()='",
                                        PrintSchema::XmlSchemaInstanceNamespaceUri, u"']"}),
                                  &type));
    if (!type) {
        return ValueType::Untyped;
    }
    ScopedVariant value;
    FU_THROW_IF_FAILED(type->get_nodeValue(&value));
    const std::u16string_view qualified = Trimmed(value.vt == VT_BSTR ? View(value.bstrVal) : u"");
    const size_t colon = qualified.find(u':');
    const std::u16string_view prefix =
        colon == std::u16string_view::npos ? std::u16string_view() : qualified.substr(0, colon);
    const std::u16string_view local =
        colon == std::u16string_view::npos ? qualified : qualified.substr(colon + 1);
    if (local != u"QName") {
        return ValueType::Other;
    }
    if (!prefix.empty() && !IsPlainPrefix(prefix)) {
        return ValueType::Other;
    }
    // The type's prefix must name the XML Schema namespace where the value stands.
    const std::u16string_view schema = PrintSchema::XmlSchemaNamespaceUri;
    const CComBSTR query = prefix.empty()
                               ? Join({u"self::*[namespace::*[name()='']='", schema, u"']"})
                               : Join({u"self::*[namespace::", prefix, u"='", schema, u"']"});
    return Selects(element, query) ? ValueType::QName : ValueType::Other;
}

bool PrivatePrefixRename::PkRebound(IXMLDOMNode* element) {
    return Selects(
        element, Join({u"self::*[namespace::pk!='", PrintSchema::UserKeywordsNamespaceUri, u"']"}));
}

CComPtr<IXMLDOMAttribute> PrivatePrefixRename::MakeAttribute(std::u16string_view qualifiedName,
                                                             std::u16string_view value) {
    const CComBSTR name = Join({qualifiedName});
    const CComBSTR noNamespace(u"");
    CComPtr<IXMLDOMNode> node;
    FU_THROW_IF_FAILED(
        m_document->createNode(IntegerVariant(NODE_ATTRIBUTE), name, noNamespace, &node));
    if (!node) {
        FU_THROW_HR(E_FAIL);
    }
    CComPtr<IXMLDOMAttribute> attribute;
    FU_THROW_IF_FAILED(node->QueryInterface(&attribute));
    const CComBSTR text = Join({value});
    FU_THROW_IF_FAILED(attribute->put_value(BorrowedText(text)));
    return attribute;
}

CComBSTR PrivatePrefixRename::Renamed(std::u16string_view text) const {
    size_t start = 0;
    while (start < text.size() && IsXmlSpace(text[start])) {
        ++start;
    }
    const size_t rest = start + ::SysStringLen(m_oldPrefix) + 1; // past "old:"
    return Join({text.substr(0, start), kPk, u":", text.substr(rest)});
}

void PrivatePrefixRename::Apply() {
    if (m_applied) {
        return;
    }
    // The declaration goes in first: should the root refuse it, nothing has changed yet.
    HRESULT hr = S_OK;
    if (m_newDeclaration) {
        CComPtr<IXMLDOMAttribute> replaced;
        FU_THROW_IF_FAILED(m_root->setAttributeNode(m_newDeclaration, &replaced));
    }
    size_t names = 0;
    for (; names < m_names.size(); ++names) {
        CComPtr<IXMLDOMAttribute> replaced;
        NameSwap& swap = m_names[names];
        if (FAILED(hr = swap.element->setAttributeNode(swap.newName, &replaced))) {
            break;
        }
    }
    size_t values = 0;
    for (; SUCCEEDED(hr) && values < m_values.size(); ++values) {
        CComPtr<IXMLDOMNode> replaced;
        ValueSwap& swap = m_values[values];
        if (FAILED(hr = swap.parent->replaceChild(swap.newText, swap.oldText, &replaced))) {
            break;
        }
    }
    if (SUCCEEDED(hr) && !m_keepOldDeclaration && m_oldDeclaration) {
        CComPtr<IXMLDOMNode> removed;
        hr = m_rootAttributes->removeNamedItem(m_oldDeclarationName, &removed);
    }
    if (FAILED(hr)) {
        Undo(names, values, m_newDeclaration != nullptr);
        FU_THROW_HR(hr);
    }
    m_applied = true;
}

void PrivatePrefixRename::Undo(size_t names, size_t values, bool declared) noexcept {
    // The nodes swapped out are held by the plan, so putting them back needs no memory.
    while (values > 0) {
        ValueSwap& swap = m_values[--values];
        CComPtr<IXMLDOMNode> replaced;
        swap.parent->replaceChild(swap.oldText, swap.newText, &replaced);
    }
    while (names > 0) {
        NameSwap& swap = m_names[--names];
        CComPtr<IXMLDOMAttribute> replaced;
        swap.element->setAttributeNode(swap.oldName, &replaced);
    }
    if (declared) {
        CComPtr<IXMLDOMNode> removed;
        m_rootAttributes->removeNamedItem(m_newDeclarationName, &removed);
    }
}
