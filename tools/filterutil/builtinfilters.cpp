#include "builtinfilters.h"

#include "jsonwriter.h"
#include "text.h"
#include "typedsettings.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/xpsfilterbase.h>

#include <atlbase.h>
#include <oleauto.h>

#include <functional>
#include <new>
#include <sstream>
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

} // namespace filterutil
