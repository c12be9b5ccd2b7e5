// Test doubles of what the pipeline hands a filter: the property bag, the manager control and
// the inter-filter communicator, with a read stream and stream factory for the user's default
// ticket (over the read stream of pipelinetestdoubles.h). Each answers what its test arranged,
// records what it was asked, and fails the test on a call nobody arranged. The manager control may
// be called from several threads.
#pragma once

#include "pipelinetestdoubles.h"

#include <filterutilities/cunknown.h>

#include <atlbase.h>
#include <filterpipeline.h>
#include <oleauto.h>
#include <platformprinters.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace filtertest {

using pipelinetest::Make;

class ManagerControl : public CUnknown<IPrintPipelineManagerControl> {
public:
    ManagerControl() : CUnknown(IID_IPrintPipelineManagerControl) {}

    HRESULT STDMETHODCALLTYPE RequestShutdown(HRESULT reason, IImgErrorInfo* info) override {
        EXPECT_EQ(nullptr, info);
        std::lock_guard<std::mutex> guard(m_lock);
        m_shutdowns.push_back(reason);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FilterFinished() override {
        ++m_finished;
        return S_OK;
    }

    std::vector<HRESULT> Shutdowns() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_shutdowns;
    }
    int Finished() const { return m_finished.load(); }

private:
    mutable std::mutex m_lock;
    std::vector<HRESULT> m_shutdowns;
    std::atomic<int> m_finished{0};
};

// Answers the properties it was given (a value or a failure) and counts every question; a
// question about a property it was not given fails the test.
class PropertyBag : public CUnknown<IPrintPipelinePropertyBag> {
public:
    PropertyBag() : CUnknown(IID_IPrintPipelinePropertyBag) {}
    ~PropertyBag() override {
        for (auto& [name, property] : m_properties) {
            VariantClear(&property.value);
        }
    }

    // Keeps a copy of value (a reference on an object, a copy of a string).
    void Set(const std::u16string& name, const VARIANT& value) {
        Property& property = m_properties[name];
        VariantClear(&property.value);
        ASSERT_EQ(S_OK, VariantCopy(&property.value, &value));
        property.failure = S_OK;
    }
    void Fail(const std::u16string& name, HRESULT failure) {
        Property& property = m_properties[name];
        VariantClear(&property.value);
        property.failure = failure;
    }
    int Asked(const std::u16string& name) const {
        auto found = m_asked.find(name);
        return found == m_asked.end() ? 0 : found->second;
    }

    HRESULT STDMETHODCALLTYPE GetProperty(const WCHAR* name, VARIANT* value) override {
        ++m_asked[name];
        auto found = m_properties.find(name);
        if (found == m_properties.end()) {
            ADD_FAILURE() << "property not arranged: "
                          << std::string(name, name + std::char_traits<char16_t>::length(name));
            return E_INVALIDARG;
        }
        if (FAILED(found->second.failure)) {
            return found->second.failure;
        }
        return VariantCopy(value, &found->second.value);
    }
    HRESULT STDMETHODCALLTYPE AddProperty(const WCHAR*, const VARIANT*) override {
        ADD_FAILURE() << "a filter never adds properties";
        return E_UNEXPECTED;
    }
    BOOL STDMETHODCALLTYPE DeleteProperty(const WCHAR*) override {
        ADD_FAILURE() << "a filter never deletes properties";
        return FALSE;
    }

private:
    struct Property {
        Property() { VariantInit(&value); }
        VARIANT value;
        HRESULT failure = S_OK;
    };
    std::map<std::u16string, Property> m_properties;
    std::map<std::u16string, int> m_asked;
};

// The "PerUserPrintTicket" object: a new stream over the ticket's bytes for every GetStream,
// or the failure it was given.
class TicketStreamFactory : public CUnknown<IPrintReadStreamFactory> {
public:
    explicit TicketStreamFactory(std::string ticket, HRESULT failure = S_OK)
        : CUnknown(IID_IPrintReadStreamFactory), m_ticket(std::move(ticket)), m_failure(failure) {}

    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) override {
        if (!stream) {
            return E_POINTER;
        }
        *stream = nullptr;
        if (FAILED(m_failure)) {
            return m_failure;
        }
        *stream = new pipelinetest::MemoryReadStream(m_ticket);
        return S_OK;
    }

private:
    std::string m_ticket;
    HRESULT m_failure;
};

// Hands out the reader and writer it was given (as the objects themselves, the way the
// pipeline hands them out), or the failures it was told.
class Communicator : public CUnknown<IInterFilterCommunicator> {
public:
    Communicator() : CUnknown(IID_IInterFilterCommunicator) {}

    HRESULT STDMETHODCALLTYPE RequestReader(void** reader) override {
        return Hand(m_reader, m_readerFailure, reader);
    }
    HRESULT STDMETHODCALLTYPE RequestWriter(void** writer) override {
        return Hand(m_writer, m_writerFailure, writer);
    }

    CComPtr<IUnknown> m_reader;
    CComPtr<IUnknown> m_writer;
    HRESULT m_readerFailure = S_OK;
    HRESULT m_writerFailure = S_OK;

private:
    static HRESULT Hand(IUnknown* object, HRESULT failure, void** out) {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (FAILED(failure)) {
            return failure;
        }
        if (object) {
            object->AddRef();
        }
        *out = object;
        return S_OK;
    }
};

// VARIANTs that lend a property value to PropertyBag::Set, which keeps a copy of its own.
inline VARIANT TextProperty(BSTR text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text;
    return value;
}
inline VARIANT ObjectProperty(IUnknown* object) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UNKNOWN;
    value.punkVal = object;
    return value;
}
inline VARIANT HandleProperty(void* handle) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BYREF;
    value.byref = handle;
    return value;
}
inline VARIANT JobIdProperty(ULONG id) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = id;
    return value;
}

// The default ticket of the platform's built-in printer.
inline std::string BuiltinDefaultTicket() {
    platformprinters::Printer printer =
        platformprinters::FindPrinter(platformprinters::kBuiltinPrinterName);
    EXPECT_TRUE(printer);
    return printer ? printer->defaultTicket : std::string();
}

// A property bag as the pipeline fills it for the built-in printer: the user's default ticket,
// the printer's name, a printer handle, a job id and the given user token.
inline CComPtr<PropertyBag> PipelineProperties(HANDLE userToken) {
    CComPtr<PropertyBag> bag = Make<PropertyBag>();
    CComPtr<TicketStreamFactory> factory = Make<TicketStreamFactory>(BuiltinDefaultTicket());
    bag->Set(u"PerUserPrintTicket", ObjectProperty(factory));
    CComBSTR name(platformprinters::kBuiltinPrinterName);
    bag->Set(u"PrinterName", TextProperty(name));
    bag->Set(u"UserSecurityToken", HandleProperty(userToken));
    bag->Set(u"PrinterHandle", HandleProperty(reinterpret_cast<void*>(0x1234)));
    bag->Set(u"PrintJobId", JobIdProperty(42));
    return bag;
}

} // namespace filtertest
