#include <filterutilities/printticketxmldocument.h>

#include <filterutilities/errorconvention.h>
#include <filterutilities/schematext.h>

#include <kldutil/kdevmodeblock.h>
#include <kldutil/keldanutilities.h>
#include <kldutil/number.h>

#include <cstddef>
#include <cstdint>

#include <unordered_set>
#include <utility>
#include <vector>

using SchemaText::IsEmpty;
using SchemaText::Join;
using SchemaText::ScopedVariant;
using SchemaText::View;

PrintTicketXmlDocument::PrintTicketXmlDocument(IXMLDOMDocument2* document)
    : PrintSchemaXmlDocument(CComBSTR(u"PrintTicket"), document) {}

PrintTicketXmlDocument::~PrintTicketXmlDocument() = default;

void PrintTicketXmlDocument::DebugDumpXmlToFileInTempDirectory(CXString name) {
    PrintSchemaXmlDocument::DebugDumpXmlToFileInTempDirectory(CXString(u"PrintTicket_"),
                                                              std::move(name));
}

// ---------------------------------------------------------------------------------------------
// Reading

HRESULT PrintTicketXmlDocument::QueryNodeOption(BSTR query, BSTR* name) {
    if (!name) {
        FU_THROW_HR(E_POINTER);
    }
    *name = nullptr;
    if (IsEmpty(query)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMNode> node;
    if (GetNode(query, &node) != S_OK || GetAttributeValue(node, CComBSTR(u"name"), name) != S_OK) {
        return PrintSchema::E_ELEMENT_NOT_FOUND;
    }
    return StripKeywordNamespace(name);
}

HRESULT PrintTicketXmlDocument::FeaturePresent(BSTR feature, IXMLDOMNode** node) {
    if (IsEmpty(feature)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddFeature(m_keywordsPrefix, feature);
    CComPtr<IXMLDOMNode> local;
    const HRESULT hr = GetNode(builder.QueryText(), node ? node : &local);
    return hr == S_OK ? S_OK : PrintSchema::E_ELEMENT_NOT_FOUND;
}

PrintTicketQueryBuilder PrintTicketXmlDocument::OptionQuery(BSTR feature, BSTR subFeature) const {
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddFeature(m_keywordsPrefix, feature);
    if (subFeature) {
        builder.AddFeature(m_keywordsPrefix, subFeature);
    }
    builder.AddOption(m_keywordsPrefix);
    return builder;
}

HRESULT PrintTicketXmlDocument::GetFeatureOption(BSTR feature, BSTR* option, BSTR* prefix) {
    if (!option) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(feature)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    const PrintTicketQueryBuilder builder = OptionQuery(feature, nullptr);
    CComPtr<IXMLDOMNode> node;
    if (GetNode(builder.QueryText(), &node) != S_OK) {
        return PrintSchema::E_ELEMENT_NOT_FOUND;
    }
    // An Option carries its name in the attribute; the OptionName scored property's Value
    // carries it as text.
    CComBSTR fullName;
    if (GetAttributeValue(node, CComBSTR(u"name"), &fullName) != S_OK) {
        fullName = GetTypedValueText(node);
    }
    const std::u16string_view full = View(fullName);
    const size_t colon = full.find(u':');
    if (colon == std::u16string_view::npos) {
        FU_THROW_HR(E_FAIL);
    }
    CComBSTR local = Join({full.substr(colon + 1)});
    CComBSTR namePrefix;
    if (prefix) {
        namePrefix = Join({full.substr(0, colon + 1)});
    }
    *option = local.Detach();
    if (prefix) {
        *prefix = namePrefix.Detach();
    }
    return S_OK;
}

HRESULT PrintTicketXmlDocument::GetSubFeatureOption(BSTR feature, BSTR subFeature, BSTR* option) {
    if (!option) {
        FU_THROW_HR(E_POINTER);
    }
    *option = nullptr;
    if (IsEmpty(subFeature) || IsEmpty(feature)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    const PrintTicketQueryBuilder builder = OptionQuery(feature, subFeature);
    CComPtr<IXMLDOMNode> node;
    if (GetNode(builder.QueryText(), &node) != S_OK ||
        GetAttributeValue(node, CComBSTR(u"name"), option) != S_OK) {
        return PrintSchema::E_ELEMENT_NOT_FOUND;
    }
    return StripKeywordNamespace(option);
}

HRESULT PrintTicketXmlDocument::GetScoredPropertyValue(BSTR feature, BSTR property, BSTR* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    *value = nullptr;
    if (IsEmpty(property) || IsEmpty(feature)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddFeature(m_keywordsPrefix, feature);
    builder.AddScoredProperty(m_keywordsPrefix, property);
    return GetNodeValue(builder.QueryText(), value) == S_OK ? S_OK
                                                            : PrintSchema::E_ELEMENT_NOT_FOUND;
}

HRESULT PrintTicketXmlDocument::GetScoredPropertyValue(BSTR feature, BSTR property, int* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(feature) || IsEmpty(property)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComBSTR text;
    const HRESULT hr = GetScoredPropertyValue(feature, property, &text);
    if (hr == S_OK) {
        *value = Number::ParseInt(text.m_str);
    }
    return hr;
}

HRESULT PrintTicketXmlDocument::GetScoredPropertyValue(BSTR feature, BSTR property, float* value) {
    if (!value) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(feature) || IsEmpty(property)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComBSTR text;
    const HRESULT hr = GetScoredPropertyValue(feature, property, &text);
    if (hr == S_OK) {
        *value = Number(View(text), false).GetFloatValue();
    }
    return hr;
}

HRESULT PrintTicketXmlDocument::StripKeywordNamespace(BSTR* name) {
    if (!name) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(*name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    // A ticket that does not declare the keywords namespace has no keyword names to strip.
    const std::u16string_view keywords = View(m_keywordsPrefix);
    const std::u16string_view text = View(*name);
    const size_t at = keywords.empty() ? std::u16string_view::npos : text.find(keywords);
    if (at == std::u16string_view::npos) {
        return S_OK;
    }
    CComBSTR stripped = Join({text.substr(0, at), text.substr(at + keywords.size())});
    ::SysFreeString(*name);
    *name = stripped.Detach();
    return S_OK;
}

HRESULT PrintTicketXmlDocument::GetParameterInitNodeIfExists(BSTR prefix, BSTR name,
                                                             IXMLDOMNode** node) {
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddParameterInit(prefix, name);
    return GetNode(builder.QueryText(), node);
}

HRESULT PrintTicketXmlDocument::GetParameterInitValueNodeIfExists(BSTR prefix, BSTR name,
                                                                  IXMLDOMNode** node) {
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddParameterInit(prefix, name);
    builder.AddValue();
    return GetNode(builder.QueryText(), node);
}

// ---------------------------------------------------------------------------------------------
// Editing

HRESULT PrintTicketXmlDocument::CreateFeatureOptionPair(bool keyword, BSTR feature,
                                                        IXMLDOMElement** featureElement,
                                                        IXMLDOMElement** optionElement) {
    if (!featureElement || !optionElement) {
        FU_THROW_HR(E_POINTER);
    }
    *featureElement = nullptr;
    *optionElement = nullptr;
    if (IsEmpty(feature)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrefixBinding binding =
        BindForNamesIn(keyword ? PrintSchema::KeywordsNs : PrintSchema::UserKeywordsNs);
    CComPtr<IXMLDOMElement> featureNode = MakeFrameworkElement(u"Feature");
    CComPtr<IXMLDOMElement> optionNode = MakeFrameworkElement(u"Option");
    SetNameAttribute(featureNode, View(keyword ? m_keywordsPrefix : m_userKeywordsPrefix),
                     View(feature));
    AppendNode(featureNode, optionNode);
    *featureElement = featureNode.Detach();
    *optionElement = optionNode.Detach();
    binding.Keep();
    return S_OK;
}

HRESULT PrintTicketXmlDocument::CreateFeatureOptionPair(bool featureKeyword, BSTR feature,
                                                        bool optionKeyword, BSTR option,
                                                        IXMLDOMElement** featureElement,
                                                        IXMLDOMElement** optionElement) {
    if (!featureElement || !optionElement) {
        FU_THROW_HR(E_POINTER);
    }
    *featureElement = nullptr;
    *optionElement = nullptr;
    if (IsEmpty(feature) || IsEmpty(option)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    // One binding for both names, so that a failure after the feature is made takes it back.
    PrefixBinding binding = BindForNamesIn(
        featureKeyword && optionKeyword ? PrintSchema::KeywordsNs : PrintSchema::UserKeywordsNs);
    CComPtr<IXMLDOMElement> featureNode;
    CComPtr<IXMLDOMElement> optionNode;
    CreateFeatureOptionPair(featureKeyword, feature, &featureNode, &optionNode);
    SetNameAttribute(optionNode, View(optionKeyword ? m_keywordsPrefix : m_userKeywordsPrefix),
                     View(option));
    *featureElement = featureNode.Detach();
    *optionElement = optionNode.Detach();
    binding.Keep();
    return S_OK;
}

CComPtr<IXMLDOMElement> PrintTicketXmlDocument::MakeParameterInit(std::u16string_view prefix,
                                                                  std::u16string_view name,
                                                                  std::u16string_view type,
                                                                  std::u16string_view value) {
    CComPtr<IXMLDOMElement> initialiser = MakeFrameworkElement(u"ParameterInit");
    SetNameAttribute(initialiser, prefix, name);
    AppendNode(initialiser, MakeValue(type, value));
    return initialiser;
}

HRESULT PrintTicketXmlDocument::MakeParamRefInitPair(BSTR name, std::u16string_view type,
                                                     std::u16string_view value,
                                                     IXMLDOMElement** reference,
                                                     IXMLDOMElement** initialiser) {
    const std::u16string_view keywords = View(m_keywordsPrefix);
    CComPtr<IXMLDOMElement> referenceNode = MakeFrameworkElement(u"ParameterRef");
    SetNameAttribute(referenceNode, keywords, View(name));
    CComPtr<IXMLDOMElement> initialiserNode = MakeParameterInit(keywords, View(name), type, value);
    *reference = referenceNode.Detach();
    *initialiser = initialiserNode.Detach();
    return S_OK;
}

HRESULT PrintTicketXmlDocument::CreateParamRefInitPair(BSTR name, BSTR type, BSTR value,
                                                       IXMLDOMElement** reference,
                                                       IXMLDOMElement** initialiser) {
    if (!reference || !initialiser) {
        FU_THROW_HR(E_POINTER);
    }
    *reference = nullptr;
    *initialiser = nullptr;
    if (IsEmpty(name) || IsEmpty(type) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    return MakeParamRefInitPair(name, View(type), View(value), reference, initialiser);
}

HRESULT PrintTicketXmlDocument::CreateParamRefInitPair(BSTR name, int value,
                                                       IXMLDOMElement** reference,
                                                       IXMLDOMElement** initialiser) {
    if (!reference || !initialiser) {
        FU_THROW_HR(E_POINTER);
    }
    *reference = nullptr;
    *initialiser = nullptr;
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    return MakeParamRefInitPair(name, u"integer", SchemaText::NumberText::Integer(value), reference,
                                initialiser);
}

HRESULT PrintTicketXmlDocument::AppendToElement(BSTR name, IXMLDOMNode* child) {
    if (!child) {
        FU_THROW_HR(E_POINTER);
    }
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    CComPtr<IXMLDOMNode> target;
    if (GetNode(Join({View(m_frameworkPrefix), View(name)}), &target) != S_OK) {
        // Nothing to append to: a silent success would lose the child.
        FU_THROW_HR(PrintSchema::E_ELEMENT_NOT_FOUND);
    }
    CComPtr<IXMLDOMNode> appended;
    const HRESULT hr = target->appendChild(child, &appended);
    FU_THROW_IF_FAILED(hr);
    return hr;
}

void PrintTicketXmlDocument::CreateStringParameterInit(BSTR prefix, BSTR name, BSTR value,
                                                       IXMLDOMElement** initialiser) {
    if (!initialiser) {
        FU_THROW_HR(E_POINTER);
    }
    *initialiser = nullptr;
    if (IsEmpty(prefix) || IsEmpty(name) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *initialiser = MakeParameterInit(View(prefix), View(name), u"string", View(value)).Detach();
}

void PrintTicketXmlDocument::CreateIntegerParameterInit(BSTR prefix, BSTR name, int value,
                                                        IXMLDOMElement** initialiser) {
    if (!initialiser) {
        FU_THROW_HR(E_POINTER);
    }
    *initialiser = nullptr;
    if (IsEmpty(prefix) || IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    // Signed, as the int it is and as xsd:integer reads it: the unsigned form would turn -5
    // into 4294967291, which every reader of the ticket takes for another number.
    *initialiser = MakeParameterInit(View(prefix), View(name), u"integer",
                                     SchemaText::NumberText::Integer(value))
                       .Detach();
}

void PrintTicketXmlDocument::CreateUntypedParameterInitFromString(BSTR prefix, BSTR name,
                                                                  BSTR value,
                                                                  IXMLDOMElement** initialiser) {
    if (!initialiser) {
        FU_THROW_HR(E_POINTER);
    }
    *initialiser = nullptr;
    if (IsEmpty(prefix) || IsEmpty(name) || IsEmpty(value)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    *initialiser = MakeParameterInit(View(prefix), View(name), {}, View(value)).Detach();
}

void PrintTicketXmlDocument::AppendStringParameterInit(BSTR prefix, BSTR name, BSTR value) {
    CComPtr<IXMLDOMElement> initialiser;
    CreateStringParameterInit(prefix, name, value, &initialiser);
    AppendNode(m_rootNode, initialiser);
}

void PrintTicketXmlDocument::AppendIntegerParameterInit(BSTR prefix, BSTR name, int value) {
    CComPtr<IXMLDOMElement> initialiser;
    CreateIntegerParameterInit(prefix, name, value, &initialiser);
    AppendNode(m_rootNode, initialiser);
}

HRESULT PrintTicketXmlDocument::DeleteParameterInitNodeIfExists(BSTR prefix, BSTR name) {
    CComPtr<IXMLDOMNode> initialiser;
    if (GetParameterInitNodeIfExists(prefix, name, &initialiser) != S_OK) {
        return S_FALSE;
    }
    return DeleteNode(initialiser);
}

HRESULT PrintTicketXmlDocument::DeleteProperty(BSTR name) {
    if (IsEmpty(name)) {
        FU_THROW_HR(E_INVALIDARG);
    }
    PrintTicketQueryBuilder builder = MakeQueryBuilder();
    builder.AddProperty(m_frameworkPrefix, name);
    CComPtr<IXMLDOMNode> property;
    if (GetNode(builder.QueryText(), &property) != S_OK) {
        return S_FALSE;
    }
    return DeleteNode(property);
}

HRESULT PrintTicketXmlDocument::DeleteNodeList(IXMLDOMNodeList* list) {
    if (!list) {
        FU_THROW_HR(E_POINTER);
    }
    const HRESULT hr = RemoveAll(list);
    return hr == S_FALSE ? S_OK : hr;
}

HRESULT PrintTicketXmlDocument::DeleteParamInitOrphans(IXMLDOMNodeList* references,
                                                       IXMLDOMNodeList* initialisers) {
    if (!references || !initialisers) {
        FU_THROW_HR(E_POINTER);
    }
    LONG referenceCount = 0;
    FU_THROW_IF_FAILED(references->get_length(&referenceCount));
    if (referenceCount == 0) {
        return DeleteNodeList(initialisers);
    }
    LONG initialiserCount = 0;
    FU_THROW_IF_FAILED(initialisers->get_length(&initialiserCount));
    if (initialiserCount < 1) {
        return S_OK;
    }
    // The referenced names, read once rather than once per initialiser.
    const CComBSTR nameAttribute(u"name");
    std::vector<CComBSTR> referenced;
    referenced.reserve(static_cast<size_t>(referenceCount));
    FU_THROW_IF_FAILED(references->reset());
    for (LONG i = 0; i < referenceCount; ++i) {
        CComPtr<IXMLDOMNode> reference;
        FU_THROW_IF_FAILED(references->get_item(i, &reference));
        CComBSTR name;
        if (reference && GetAttributeValue(reference, nameAttribute, &name) == S_OK) {
            referenced.push_back(std::move(name));
        }
    }
    // Names compared exactly, letter case included, as VarBstrCmp without flags does.
    std::unordered_set<std::u16string_view> referencedNames;
    referencedNames.reserve(referenced.size());
    for (const CComBSTR& reference : referenced) {
        referencedNames.insert(View(reference));
    }
    // The orphans are found first, then all go together.
    std::vector<CComPtr<IXMLDOMNode>> orphans;
    for (LONG i = 0; i < initialiserCount; ++i) {
        CComPtr<IXMLDOMNode> initialiser;
        FU_THROW_IF_FAILED(initialisers->get_item(i, &initialiser));
        CComBSTR name;
        if (!initialiser || GetAttributeValue(initialiser, nameAttribute, &name) != S_OK) {
            continue; // a nameless initialiser stays
        }
        if (!referencedNames.contains(View(name))) {
            orphans.push_back(std::move(initialiser));
        }
    }
    const HRESULT hr = RemoveAll(orphans);
    return hr == S_FALSE ? S_OK : hr;
}

HRESULT PrintTicketXmlDocument::DeleteOrphanedParameterInits() {
    RequireDocument();
    const std::u16string_view framework = View(m_frameworkPrefix);
    CComPtr<IXMLDOMNodeList> references =
        SelectAll(m_domDocument, Join({u"//", framework, u"ParameterRef"}));
    CComPtr<IXMLDOMNodeList> initialisers =
        SelectAll(m_domDocument, Join({u"//", framework, u"ParameterInit"}));
    const HRESULT hr = DeleteParamInitOrphans(references, initialisers);
    return FAILED(hr) ? hr : S_OK;
}

// ---------------------------------------------------------------------------------------------
// Driver payloads: the page devmode snapshot and the Kjtf job ticket

namespace {

constexpr WCHAR kPageDevmodeSnapshot[] = u"PageDevmodeSnapshot";
constexpr WCHAR kKjtfJobTicket[] = u"JobKeldanKjtfJobTicket";
constexpr HRESULT kSnapshotNotBase64 = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Whether the bytes are a devmode of this driver: its private data holds the driver's block
// with the expected size, signature, version and checksummed size. The block is located
// within the bytes whatever the devmode's size fields claim.
bool IsDriverDevmode(ByteBuffer& devmode) {
    const tagOEMDEV* block =
        KDevmodeBlock::Find(reinterpret_cast<DEVMODEW*>(devmode.getLpbyte()), devmode.getDword());
    return block && KDevmodeBlock::IsCurrentLayout(*block);
}

// Characters that XML 1.0 cannot carry in a document, not even as character references.
bool IsXmlCharacter(WCHAR unit) noexcept {
    if (unit < 0x20) {
        return unit == u'\t' || unit == u'\n' || unit == u'\r';
    }
    return unit != 0xFFFE && unit != 0xFFFF;
}

} // namespace

HRESULT
PrintTicketXmlDocument::AddOrReplacePageDevmodeSnapshotInPrintTicket(const DEVMODEW* devmode) {
    if (!devmode) {
        return E_POINTER;
    }
    if (devmode->dmSize < KDevmode::kPublicSizeFieldsEnd) {
        return E_INVALIDARG;
    }
    return CatchComException([&]() -> HRESULT {
        const int size = int{devmode->dmSize} + int{devmode->dmDriverExtra};
        const int required =
            KeldanUtilities::Base64EncodeGetRequiredLength(size, KeldanUtilities::Base64FlagNoCrLf);
        CComBSTR text;
        text.Attach(::SysAllocStringLen(nullptr, static_cast<UINT>(required)));
        if (!text) {
            ATL::AtlThrow(E_OUTOFMEMORY);
        }
        int written = required;
        if (!KeldanUtilities::Base64Encode(reinterpret_cast<const BYTE*>(devmode), size, text.m_str,
                                           &written, KeldanUtilities::Base64FlagNoCrLf)) {
            return E_FAIL;
        }
        if (written < required) {
            CComBSTR exact(written, text.m_str);
            text.Attach(exact.Detach());
        }
        // Only now, with the text made, may the root gain the driver's declaration; it is
        // taken back if the snapshot cannot be written after all.
        PrefixBinding binding = BindUserKeywordsPrefixUntilKept();

        // Whatever can fail runs before the ticket changes: the earlier snapshots (a reader
        // takes the first in document order, so none may stay) and their parents are looked
        // up and the new snapshot is made. Then the new one goes in and the old ones go, by
        // calls that need no memory, so a failure leaves the old snapshot, never none.
        PrintTicketQueryBuilder builder = MakeQueryBuilder();
        builder.AddParameterInit(View(m_userKeywordsPrefix), kPageDevmodeSnapshot);
        CComPtr<IXMLDOMNodeList> found = SelectAll(m_domDocument, builder.QueryText());
        LONG count = 0;
        FU_THROW_IF_FAILED(found->get_length(&count));
        std::vector<std::pair<CComPtr<IXMLDOMNode>, CComPtr<IXMLDOMNode>>> earlier;
        earlier.reserve(static_cast<size_t>(count));
        for (LONG index = 0; index < count; ++index) {
            CComPtr<IXMLDOMNode> node;
            CComPtr<IXMLDOMNode> parent;
            FU_THROW_IF_FAILED(found->get_item(index, &node));
            if (node) {
                FU_THROW_IF_FAILED(node->get_parentNode(&parent));
            }
            if (parent) {
                earlier.emplace_back(std::move(parent), std::move(node));
            }
        }
        CComPtr<IXMLDOMElement> snapshot;
        CreateStringParameterInit(m_userKeywordsPrefix, CComBSTR(kPageDevmodeSnapshot), text,
                                  &snapshot);

        AppendNode(m_rootNode, snapshot);
        binding.Keep();
        for (auto& [parent, node] : earlier) {
            CComPtr<IXMLDOMNode> removed;
            FU_THROW_IF_FAILED(parent->removeChild(node, &removed));
        }
        return S_OK;
    });
}

void PrintTicketXmlDocument::GetPageDevmodeSnapshotFromPrintTicket(ByteBuffer& devmode) {
    devmode.clear();
    RequireDocument();
    if (!UserKeywordsPrefixIsBound()) {
        return;
    }
    CComPtr<IXMLDOMNode> value;
    if (GetParameterInitValueNodeIfExists(m_userKeywordsPrefix, CComBSTR(kPageDevmodeSnapshot),
                                          &value) != S_OK) {
        return;
    }
    CComBSTR text;
    FU_THROW_IF_FAILED(value->get_text(&text));
    const UINT length = text.Length();
    if (length == 0) {
        return;
    }
    if (length > static_cast<UINT>(INT32_MAX)) {
        FU_THROW_HR(kSnapshotNotBase64);
    }
    int decoded = KeldanUtilities::Base64DecodeGetRequiredLength(static_cast<int>(length));
    ByteBuffer bytes(static_cast<DWORD>(decoded), 0);
    if (!KeldanUtilities::Base64Decode(text.m_str, static_cast<int>(length), bytes.getLpbyte(),
                                       &decoded)) {
        FU_THROW_HR(kSnapshotNotBase64);
    }
    bytes.resize(static_cast<DWORD>(decoded));
    devmode = std::move(bytes);
}

HRESULT PrintTicketXmlDocument::GetDevmodeFromPrintTicket(ByteBuffer& devmode) {
    const HRESULT hr = CatchComException([&] {
        GetPageDevmodeSnapshotFromPrintTicket(devmode);
        return S_OK;
    });
    if (hr != S_OK) {
        devmode.clear();
        return hr;
    }
    if (devmode.isEmpty()) {
        return S_FALSE;
    }
    if (!IsDriverDevmode(devmode)) {
        devmode.clear();
        return E_FAIL;
    }
    return S_OK;
}

void PrintTicketXmlDocument::CreateKeldanKjtfParameterInit(const ByteBuffer& payload) {
    const CXString text = payload.getAsStringValueFromAnsiBuffer();
    for (const WCHAR unit : text.View()) {
        if (!IsXmlCharacter(unit)) {
            FU_THROW_HR(E_INVALIDARG);
        }
    }
    PrefixBinding binding = BindUserKeywordsPrefixUntilKept();
    const CComBSTR value = Join({u"<![CDATA[\n", text.View(), u"\n]]>"});
    CComPtr<IXMLDOMElement> jobTicket;
    CreateStringParameterInit(m_userKeywordsPrefix, CComBSTR(kKjtfJobTicket), value, &jobTicket);
    CComPtr<IXMLDOMNode> first;
    FU_THROW_IF_FAILED(m_rootNode->get_firstChild(&first));
    VARIANT before;
    ::VariantInit(&before);
    if (first) {
        before.vt = VT_UNKNOWN;
        before.punkVal = first;
    }
    CComPtr<IXMLDOMNode> inserted;
    FU_THROW_IF_FAILED(m_rootNode->insertBefore(jobTicket, before, &inserted));
    binding.Keep();
}
