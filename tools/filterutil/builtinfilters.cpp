#include "builtinfilters.h"

#include "jsonwriter.h"
#include "text.h"
#include "ticketedits.h"
#include "toolerror.h"
#include "typedsettings.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/printticketeditor.h>
#include <filterutilities/xpsfilterbase.h>

#include <kldutil/keldanexception.h>

#include <atlbase.h>
#include <oleauto.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

namespace filterutil {
namespace {

class CopyFilter final : public XpsFilterBase {
public:
    CopyFilter() { m_printTicketManager.m_mergeEnabled = true; }
};

class ReportFilter final : public XpsFilterBase {
public:
    ReportFilter(std::shared_ptr<std::ostream> out, bool merge) : m_out(std::move(out)) {
        m_printTicketManager.m_mergeEnabled = merge;
    }

protected:
    HRESULT OnFixedPage(IFixedPage* page) override {
        if (!page) {
            return E_POINTER;
        }
        HRESULT hr = m_printTicketManager.InitializeWithPrintTicket(page);
        XpsFilterPrintTicket* view = nullptr;
        if (SUCCEEDED(hr)) {
            hr = m_printTicketManager.GetTicket(kPTPageScope, &view);
        }
        if (FAILED(hr)) {
            return hr;
        }
        CComBSTR uri;
        hr = page->GetUri(&uri);
        if (FAILED(hr)) {
            return hr;
        }
        std::ostringstream line;
        {
            JsonWriter writer(line, true);
            writer.BeginObject();
            writer.Key("document").Number(int64_t{m_documentCount});
            writer.Key("page").Number(int64_t{m_pageCount});
            writer.Key("uri").String(ToUtf8(std::u16string(uri.m_str ? uri.m_str : u"")));
            for (const Answer& answer : AskAll(*view)) {
                writer.Key(answer.name);
                WriteAnswerJson(writer, answer);
            }
            writer.EndObject();
        }
        *m_out << line.str();
        if (!*m_out) {
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        }
        return XpsFilterBase::OnFixedPage(page);
    }

    HRESULT OnFinalize() override {
        m_out->flush();
        return *m_out ? XpsFilterBase::OnFinalize() : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }

private:
    std::shared_ptr<std::ostream> m_out;
};

// Rewrites the tickets of one scope with the settings given for it. Each distinct ticket
// part is rewritten once (the editor's map hands the rewritten one to every later part that
// shared it); the parts without a ticket share one new ticket, made for the first of them:
// its content (the settings alone) is the same for every one of them, so one part does.
class TicketFilter final : public XpsFilterBase {
public:
    explicit TicketFilter(std::shared_ptr<const std::vector<TicketSetting>> settings)
        : m_settings(std::move(settings)) {
        m_printTicketManager.m_mergeEnabled = true;
    }

protected:
    HRESULT OnFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        if (!sequence) {
            return E_POINTER;
        }
        const HRESULT hr = Rewrite(kPTJobScope, sequence, 0);
        return FAILED(hr) ? hr : XpsFilterBase::OnFixedDocumentSequence(sequence);
    }

    HRESULT OnFixedDocument(IFixedDocument* document) override {
        if (!document) {
            return E_POINTER;
        }
        const HRESULT hr = Rewrite(kPTDocumentScope, document, m_documentCount);
        return FAILED(hr) ? hr : XpsFilterBase::OnFixedDocument(document);
    }

    HRESULT OnFixedPage(IFixedPage* page) override {
        if (!page) {
            return E_POINTER;
        }
        const HRESULT hr = Rewrite(kPTPageScope, page, m_pageCount);
        return FAILED(hr) ? hr : XpsFilterBase::OnFixedPage(page);
    }

private:
    bool Wanted(EPrintTicketScope scope) const {
        for (const TicketSetting& setting : *m_settings) {
            if (setting.scope == scope) {
                return true;
            }
        }
        return false;
    }

    // A page sent on as it came sends its ticket too: no rewritten ticket of a document still
    // to come may take that name. (Sequences and documents are shown to the manager, which
    // notes theirs.)
    void NoteTicketPassedOn(IFixedPage* page) {
        CComPtr<IPartPrintTicket> ticket;
        CComBSTR uri;
        if (page->GetPrintTicket(&ticket) == S_OK && ticket && SUCCEEDED(ticket->GetUri(&uri))) {
            m_printTicketManager.GetPrintTicketPartNames().Use(
                std::u16string_view(uri.m_str ? uri.m_str : u"", uri.Length()));
        }
    }
    void NoteTicketPassedOn(IUnknown*) {}

    std::unique_ptr<PrintTicketEditor> Editor(IFixedDocumentSequence* sequence, UINT) {
        return std::make_unique<PrintTicketEditor>(m_xpsWriter, sequence, m_printTicketManager);
    }
    std::unique_ptr<PrintTicketEditor> Editor(IFixedDocument* document, UINT number) {
        return std::make_unique<PrintTicketEditor>(m_xpsWriter, document, number,
                                                   m_printTicketManager);
    }
    std::unique_ptr<PrintTicketEditor> Editor(IFixedPage* page, UINT number) {
        return std::make_unique<PrintTicketEditor>(m_xpsWriter, page, number, m_printTicketManager);
    }

    template <class Part>
    HRESULT Rewrite(EPrintTicketScope scope, Part* part, UINT number) {
        if (!Wanted(scope)) {
            return Guarded([&]() -> HRESULT {
                NoteTicketPassedOn(part);
                return S_OK;
            });
        }
        return Guarded([&]() -> HRESULT {
            const std::unique_ptr<PrintTicketEditor> editor = Editor(part, number);
            PrintTicketXmlDocument* ticket = nullptr;
            if (editor->DoesPartHaveExistingPrintTicket()) {
                HRESULT hr = editor->TryToGetPointerToPrintTicketXmlDocument(&ticket);
                if (hr == S_FALSE) {
                    return editor->TryToSynchAndCommitThisPrintTicketWithMatchFromMap();
                }
                if (FAILED(hr)) {
                    return hr;
                }
                Apply(*ticket, scope);
                return editor->CommitChanges();
            }
            CComPtr<IPartPrintTicket>& shared = m_newTickets[scope];
            if (shared) {
                return part->SetPrintTicket(shared);
            }
            HRESULT hr = editor->GetPointerToNewEmptyPrintTicketXmlDocument(&ticket);
            if (FAILED(hr)) {
                return hr;
            }
            Apply(*ticket, scope);
            hr = editor->CommitChanges();
            if (FAILED(hr)) {
                return hr;
            }
            return part->GetPrintTicket(&shared);
        });
    }

    void Apply(PrintTicketXmlDocument& ticket, EPrintTicketScope scope) const {
        const CComBSTR privatePrefix(u"pk:");
        const CComBSTR keywordsPrefix = ticket.GetKeywordsNsPrefix();
        for (const TicketSetting& setting : *m_settings) {
            if (setting.scope != scope) {
                continue;
            }
            if (setting.privateName || (!setting.parameter && setting.privateOption)) {
                ticket.DeclareUserKeywordsNamespace(); // raises when pk means another namespace
            }
            if (!setting.privateName && keywordsPrefix.Length() == 0) {
                // The ticket does not declare the Print Schema keywords: no name can be made.
                throw ToolError("the ticket does not declare the Print Schema keywords namespace");
            }
            const CComBSTR& prefix = setting.privateName ? privatePrefix : keywordsPrefix;
            CComBSTR name(static_cast<int>(setting.name.size()), setting.name.c_str());
            if (setting.parameter) {
                CComBSTR text(static_cast<int>(setting.text.size()), setting.text.c_str());
                SetParameterInit(ticket, prefix, name, setting.integer, text);
            } else {
                CComBSTR option(static_cast<int>(setting.option.size()), setting.option.c_str());
                SelectFeatureOption(ticket, prefix, !setting.privateName, name,
                                    !setting.privateOption, option);
            }
        }
    }

    // What the library and the edits raise, as the hook's HRESULT.
    template <class Body>
    static HRESULT Guarded(Body&& body) {
        try {
            return body();
        } catch (const KeldanComException& exception) {
            const HRESULT hr = exception.GetHresult();
            return FAILED(hr) ? hr : E_FAIL;
        } catch (const ATL::CAtlException& exception) {
            return exception.m_hr;
        } catch (const ToolError&) {
            return E_FAIL;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    std::shared_ptr<const std::vector<TicketSetting>> m_settings;
    std::map<EPrintTicketScope, CComPtr<IPartPrintTicket>> m_newTickets;
};

// Makes one filter of the given kind per CreateInstance.
class FilterFactory final : public CUnknown<IClassFactory> {
public:
    explicit FilterFactory(std::function<XpsFilterBase*()> make)
        : CUnknown(IID_IClassFactory), m_make(std::move(make)) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        XpsFilterBase* filter = nullptr;
        try {
            filter = m_make();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = filter->QueryInterface(riid, object);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    std::function<XpsFilterBase*()> m_make;
};

HRESULT MakeFactory(std::function<XpsFilterBase*()> make, IClassFactory** factory) {
    if (!factory) {
        return E_POINTER;
    }
    *factory = nullptr;
    try {
        *factory = new FilterFactory(std::move(make));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

} // namespace

namespace {

// Messages are escaped where they are shown. "pk:NAME" names the driver's private namespace,
// "psk:NAME" and a bare NAME the Print Schema keywords; the rest must be an XML name without a
// colon.
std::pair<bool, std::u16string> ParseSettingName(const std::string& text, const std::string& what) {
    const auto wide = FromUtf8Strict(text);
    if (!wide) {
        throw ToolError("run: the " + what + " \"" + text + "\" of ticket is not UTF-8");
    }
    std::u16string_view name = *wide;
    bool privateName = false;
    if (name.starts_with(u"pk:")) {
        privateName = true;
        name.remove_prefix(3);
    } else if (name.starts_with(u"psk:")) {
        name.remove_prefix(4);
    }
    if (!IsNcName(name)) {
        throw ToolError("run: the " + what + " \"" + text +
                        "\" of ticket is not a Print Schema name (NAME, psk:NAME or pk:NAME)");
    }
    return {privateName, std::u16string(name)};
}

EPrintTicketScope ParseScope(const std::string& scope, const std::string& option) {
    if (scope == "job") {
        return kPTJobScope;
    }
    if (scope == "document") {
        return kPTDocumentScope;
    }
    if (scope == "page") {
        return kPTPageScope;
    }
    throw ToolError("run: the ticket option \"" + option +
                    "\" does not end in @job, @document or @page");
}

std::optional<int> ParseInteger(const std::string& text) {
    if (text.empty() || text.find_first_not_of("+-0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

} // namespace

std::vector<TicketSetting>
ParseTicketSettings(const std::vector<std::pair<std::string, std::string>>& options) {
    if (options.empty()) {
        throw ToolError("run: the filter ticket needs settings, as "
                        "ticket:FEATURE=OPTION@SCOPE or ticket:param:NAME=VALUE@SCOPE");
    }
    std::vector<TicketSetting> settings;
    std::set<std::tuple<bool, bool, std::u16string, EPrintTicketScope>> seen;
    for (const auto& [key, value] : options) {
        const std::string option = key + "=" + value;
        const size_t at = value.rfind('@');
        if (at == std::string::npos) {
            throw ToolError("run: the ticket option \"" + option +
                            "\" names no scope (@job, @document or @page)");
        }
        TicketSetting setting;
        setting.scope = ParseScope(value.substr(at + 1), option);
        const std::string target = value.substr(0, at);
        if (target.empty()) {
            throw ToolError("run: the ticket option \"" + option + "\" has no value");
        }
        std::string name = key;
        setting.parameter = key.starts_with("param:");
        if (setting.parameter) {
            name = key.substr(6);
            std::tie(setting.privateName, setting.name) = ParseSettingName(name, "parameter");
            setting.integer = ParseInteger(target);
            if (!setting.integer) {
                const auto text = FromUtf8Strict(target);
                if (!text) {
                    throw ToolError("run: the value of the ticket option \"" + option +
                                    "\" is not UTF-8");
                }
                if (const auto character = CharacterXmlCannotCarry(*text)) {
                    throw ToolError("run: the value of the ticket option \"" + option +
                                    "\" holds " + *character + ", a character XML cannot carry");
                }
                setting.text = *text;
            }
        } else {
            std::tie(setting.privateName, setting.name) = ParseSettingName(name, "feature");
            std::tie(setting.privateOption, setting.option) = ParseSettingName(target, "option");
        }
        if (!seen.emplace(setting.parameter, setting.privateName, setting.name, setting.scope)
                 .second) {
            throw ToolError("run: the ticket option \"" + option +
                            "\" sets what another option sets at that scope");
        }
        settings.push_back(std::move(setting));
    }
    return settings;
}

HRESULT MakeCopyFilterFactory(IClassFactory** factory) {
    return MakeFactory([] { return new CopyFilter; }, factory);
}

HRESULT MakeReportFilterFactory(std::shared_ptr<std::ostream> out, bool merge,
                                IClassFactory** factory) {
    if (!out) {
        return E_POINTER;
    }
    return MakeFactory([out, merge] { return new ReportFilter(out, merge); }, factory);
}

HRESULT MakeTicketFilterFactory(std::vector<TicketSetting> settings, IClassFactory** factory) {
    auto shared = std::make_shared<const std::vector<TicketSetting>>(std::move(settings));
    return MakeFactory([shared] { return new TicketFilter(shared); }, factory);
}

} // namespace filterutil
