#include <filterutilities/pagemediasizeptpchelper.h>

#include <filterutilities/errorconvention.h>

#include <kldcore/pagesizedictionary.h>

#include <kldutil/dimension.h>
#include <kldutil/setthreadtokenwrapper.h>

#include <atlbase.h>
#include <wingdi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <span>
#include <utility>

namespace {

// Room left for forms the driver may add between the count and the list.
constexpr size_t kSpareRecords = 10;

// The initialisers of the custom-size parameters a PageMediaSize may refer to, in the order
// they are removed.
constexpr const WCHAR* kSizeParameters[] = {
    u"PageMediaSizePSWidth",        u"PageMediaSizePSHeight",      u"PageMediaSizePSWidthOffset",
    u"PageMediaSizePSHeightOffset", u"PageMediaSizePSOrientation", u"PageMediaSizeMediaSizeWidth",
    u"PageMediaSizeMediaSizeHeight"};

// A form's size in micrometres, refused (E_INVALIDARG) when it is negative or does not fit an
// int: the initialisers write it unsigned, so a negative size would read as a huge one.
int Micrometres(int32_t tenths) {
    const int64_t micrometres = int64_t{tenths} * 100;
    if (micrometres < 0 || micrometres > INT_MAX) {
        FU_THROW_HR(E_INVALIDARG);
    }
    return static_cast<int>(micrometres);
}

struct ScoredReference {
    const WCHAR* property;
    const WCHAR* parameter;
};
constexpr ScoredReference kCustomReferences[] = {
    {u"MediaSizeWidth", u"PageMediaSizeMediaSizeWidth"},
    {u"MediaSizeHeight", u"PageMediaSizeMediaSizeHeight"}};
constexpr ScoredReference kPostScriptReferences[] = {
    {u"PSWidth", u"PageMediaSizePSWidth"},
    {u"PSHeight", u"PageMediaSizePSHeight"},
    {u"PSWidthOffset", u"PageMediaSizePSWidthOffset"},
    {u"PSHeightOffset", u"PageMediaSizePSHeightOffset"},
    {u"PSOrientation", u"PageMediaSizePSOrientation"}};

bool IsKind(const _tag_FormsInfoRec& form, int32_t kind) {
    return form.formKind == kind;
}

} // namespace

PageMediaSizePtPcHelper::~PageMediaSizePtPcHelper() = default;

std::vector<_tag_FormsInfoRec>
PageMediaSizePtPcHelper::GetPaperInfoForAnXpsFilter(CXString& printer) {
    std::vector<_tag_FormsInfoRec> forms;
    if (!SetThreadTokenWrapper::IsThisThreadImpersonating()) {
        return forms;
    }
    const int count = DeviceCapabilitiesW(printer, nullptr, kFormsCapability, nullptr, nullptr);
    if (count < 0) {
        return forms;
    }
    forms.resize(static_cast<size_t>(count) + kSpareRecords, _tag_FormsInfoRec{});
    const int written = DeviceCapabilitiesW(printer, nullptr, kFormsCapability,
                                            reinterpret_cast<LPWSTR>(forms.data()), nullptr);
    if (written < 0) {
        forms.clear();
        return forms;
    }
    // A driver that claims more records than there was room for is not believed past the room.
    forms.resize(std::min(static_cast<size_t>(written), forms.size()));
    return forms;
}

std::vector<_tag_FormsInfoRec>
PageMediaSizePtPcHelper::GetFilteredPaperInfoForAnXpsFilter(CXString& printer, void* userToken) {
    std::vector<_tag_FormsInfoRec> forms;
    {
        const SetThreadTokenWrapper asUser(userToken);
        forms = GetPaperInfoForAnXpsFilter(printer);
    }
    return FilterPaperSizeListForPrintTicket(std::move(forms));
}

std::vector<_tag_FormsInfoRec>
PageMediaSizePtPcHelper::FilterPaperSizeListForPrintTicket(std::vector<_tag_FormsInfoRec> list) {
    std::vector<_tag_FormsInfoRec> kept;
    // The sizes of the forms kept so far, so that each later form is checked at once.
    std::set<std::pair<int32_t, int32_t>> sizes;
    for (const _tag_FormsInfoRec& form : list) {
        if (IsKind(form, DriverForm) || IsKind(form, CustomSizeRecord)) {
            kept.push_back(form);
            sizes.emplace(form.width, form.height);
        }
    }
    for (const int32_t kind : {SystemForm, UserForm, DriverCustomSize}) {
        for (const _tag_FormsInfoRec& form : list) {
            if (IsKind(form, kind) && sizes.emplace(form.width, form.height).second) {
                kept.push_back(form);
            }
        }
    }
    return kept;
}

HRESULT PageMediaSizePtPcHelper::FindFormInfoRect(std::vector<_tag_FormsInfoRec> list, int width,
                                                  int height, DataModelIds::tagValueEnum paperSize,
                                                  _tag_FormsInfoRec* out) {
    return CatchComException([&]() -> HRESULT {
        if (!out) {
            FU_THROW_HR(E_POINTER);
        }
        // Micrometres to tenths of a millimetre, cut towards zero. Forms are compared at their
        // full width: a size beyond 16 bits of tenths matches no form rather than a small one.
        const int32_t w = width / 100;
        const int32_t h = height / 100;
        const _tag_FormsInfoRec* fallback = nullptr;
        for (const _tag_FormsInfoRec& form : list) {
            if (form.width != w || form.height != h || IsKind(form, CustomSizeRecord)) {
                continue;
            }
            if (paperSize == kAnyPaperSize || form.paperSizeValueId == paperSize) {
                *out = form;
                return S_OK;
            }
            if (!fallback) {
                fallback = &form;
            }
        }
        if (fallback) {
            *out = *fallback;
            return S_OK;
        }
        for (const _tag_FormsInfoRec& form : list) {
            if (IsKind(form, CustomSizeRecord)) {
                *out = form;
                out->width = w;
                out->height = h;
                break;
            }
        }
        return S_FALSE;
    });
}

HRESULT
PageMediaSizePtPcHelper::DeletePageMediaSizeAndItsParameterInitsIfExist(
    PrintTicketXmlDocument& ticket) {
    return CatchComException([&]() -> HRESULT {
        CComBSTR keywords = ticket.GetKeywordsNsPrefix();
        CComBSTR feature(u"PageMediaSize");
        ticket.DeleteFeatureNodeIfExists(keywords, feature);
        for (const WCHAR* parameter : kSizeParameters) {
            CComBSTR name(parameter);
            ticket.DeleteParameterInitNodeIfExists(keywords, name);
        }
        return S_OK;
    });
}

void PageMediaSizePtPcHelper::GetMsPageMediaSizeOptionName(
    bool custom, bool postScript, PageSizeDictionary& dictionary, const _tag_FormsInfoRec& form,
    CXString* name, PrintSchema::MsPrintTicketNamespacesEnum* ns) {
    if (!name || !ns) {
        FU_THROW_HR(E_POINTER);
    }
    *ns = PrintSchema::KeywordsNs;
    CXString own;
    auto ownNs = PrintSchema::KeywordsNs;
    if (NameWithoutDictionary(custom, postScript, form, own, ownNs)) {
        *name = std::move(own);
        *ns = ownNs;
        return;
    }
    const std::vector<const PageSizeDictionaryEntry*> entries =
        dictionary.GetPageSizeEntryRefs(Dimension(form.width, Dimension::TenthMillimetre),
                                        Dimension(form.height, Dimension::TenthMillimetre));
    for (const PageSizeDictionaryEntry* entry : entries) {
        if (entry->GetValueId().GetValueEnum() == form.paperSizeValueId) {
            *name = entry->GetMsPageMediaSizeOptionName();
            *ns = entry->IsPredefinedMsOptionName() ? PrintSchema::KeywordsNs
                                                    : PrintSchema::UserKeywordsNs;
            return;
        }
    }
}

void PageMediaSizePtPcHelper::GetMsPageMediaSizeOptionName(
    bool custom, bool postScript, const _tag_FormsInfoRec& form, CXString* name,
    PrintSchema::MsPrintTicketNamespacesEnum* ns) {
    PageSizeDictionary dictionary(nullptr);
    GetMsPageMediaSizeOptionName(custom, postScript, dictionary, form, name, ns);
}

HRESULT PageMediaSizePtPcHelper::AddOrReplacePageMediaSize(PrintTicketXmlDocument& ticket,
                                                           bool postScript,
                                                           PageSizeDictionary& dictionary,
                                                           _tag_FormsInfoRec& form) {
    return CatchComException([&]() -> HRESULT {
        const bool custom = form.formNumber == kCustomFormNumber;
        CXString name;
        auto ns = PrintSchema::KeywordsNs;
        GetMsPageMediaSizeOptionName(custom, postScript, dictionary, form, &name, &ns);
        WritePageMediaSize(ticket, custom, postScript, name, ns, form);
        return S_OK;
    });
}

HRESULT PageMediaSizePtPcHelper::AddOrReplacePageMediaSize(PrintTicketXmlDocument& ticket,
                                                           bool postScript,
                                                           _tag_FormsInfoRec& form) {
    PageSizeDictionary dictionary(nullptr);
    return AddOrReplacePageMediaSize(ticket, postScript, dictionary, form);
}

bool PageMediaSizePtPcHelper::NameWithoutDictionary(bool custom, bool postScript,
                                                    const _tag_FormsInfoRec& form, CXString& name,
                                                    PrintSchema::MsPrintTicketNamespacesEnum& ns) {
    ns = PrintSchema::KeywordsNs;
    if (custom) {
        name = postScript ? u"PSCustomMediaSize" : u"CustomMediaSize";
        return true;
    }
    switch (form.formKind) {
    case DriverForm:
    case HiddenForm:
    case SystemForm:
        return false;
    case UserForm:
    case DriverCustomSize:
        name.Format(u"%s%u_%ux%u", form.formKind == UserForm ? u"UserForm_" : u"DriverCustomSize_",
                    static_cast<uint32_t>(form.formNumber), static_cast<uint32_t>(form.width),
                    static_cast<uint32_t>(form.height));
        ns = PrintSchema::UserKeywordsNs;
        return true;
    default:
        FU_THROW_HR(E_FAIL);
    }
}

void PageMediaSizePtPcHelper::WritePageMediaSize(PrintTicketXmlDocument& ticket, bool custom,
                                                 bool postScript, const CXString& name,
                                                 PrintSchema::MsPrintTicketNamespacesEnum ns,
                                                 const _tag_FormsInfoRec& form) {
    // Everything that can be refused is refused before the ticket changes.
    if (name.IsEmpty()) {
        FU_THROW_HR(E_INVALIDARG);
    }
    const int width = Micrometres(form.width);
    const int height = Micrometres(form.height);
    CComBSTR keywords = ticket.GetKeywordsNsPrefix();
    CComBSTR featureName(u"PageMediaSize");
    CComBSTR optionName(name.GetString());
    CComPtr<IXMLDOMElement> feature;
    CComPtr<IXMLDOMElement> option;
    FU_THROW_IF_FAILED(ticket.CreateFeatureOptionPair(
        true, featureName, ns == PrintSchema::KeywordsNs, optionName, &feature, &option));
    if (custom) {
        for (const ScoredReference& reference :
             postScript ? std::span<const ScoredReference>(kPostScriptReferences)
                        : std::span<const ScoredReference>(kCustomReferences)) {
            CComBSTR property(reference.property);
            CComBSTR parameter(reference.parameter);
            ticket.AppendChildParameterRefScoredProperty(option, keywords, property, keywords,
                                                         parameter);
        }
    } else {
        CComBSTR widthName(u"MediaSizeWidth");
        CComBSTR heightName(u"MediaSizeHeight");
        ticket.AppendChildIntegerScoredProperty(option, widthName, width);
        ticket.AppendChildIntegerScoredProperty(option, heightName, height);
    }
    FU_THROW_IF_FAILED(DeletePageMediaSizeAndItsParameterInitsIfExist(ticket));
    ticket.AppendChildToRootNode(feature);
    if (!custom) {
        return;
    }
    const auto initialise = [&](const WCHAR* parameter, int value) {
        CComBSTR parameterName(parameter);
        ticket.AppendIntegerParameterInit(keywords, parameterName, value);
    };
    if (postScript) {
        initialise(u"PageMediaSizePSWidth", width);
        initialise(u"PageMediaSizePSHeight", height);
        initialise(u"PageMediaSizePSWidthOffset", 0);
        initialise(u"PageMediaSizePSHeightOffset", 0);
        initialise(u"PageMediaSizePSOrientation", 1);
    } else {
        initialise(u"PageMediaSizeMediaSizeWidth", width);
        initialise(u"PageMediaSizeMediaSizeHeight", height);
    }
}
