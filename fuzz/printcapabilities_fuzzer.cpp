// fuzz-links: platform PkgConfig::LIBXML2
// fuzz-internals: platform/src
// fuzz-dict: xml.dict
//
// A printer's PrintCapabilities document from its description, hostile, indexed when a
// PrintTicket provider opens for the printer, and print tickets merged and validated against
// it. The input is a scope digit ('0' page, '1' document, '2' job), the capabilities document,
// a form feed, the base ticket, then, after another form feed, the delta (none: no delta).
// Capabilities that do not parse are refused; a merge either refuses with a message or
// merges, and a merged ticket must validate again without a conflict and come out byte for
// byte the same. Nothing may crash or leak.
#include "fuzzcheck.h"
#include "fuzzstreams.h"
#include "printticket/providers.h"

#include <atlbase.h>
#include <objbase.h>
#include <platformprinters.h>
#include <prntvpt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace {

using fuzzstreams::ContentOf;
using fuzzstreams::StreamOf;

HRESULT Merge(HPTPROVIDER provider, std::string_view base, const std::string_view* delta,
              EPrintTicketScope scope, std::string& result) {
    CComPtr<IStream> baseStream = StreamOf(base);
    CComPtr<IStream> deltaStream = delta ? StreamOf(*delta) : nullptr;
    CComPtr<IStream> resultStream = StreamOf("");
    BSTR message = nullptr;
    const HRESULT hr = PTMergeAndValidatePrintTicket(provider, baseStream, deltaStream, scope,
                                                     resultStream, &message);
    // Capabilities whose names resolve only in part are refused once validation needs what
    // they cannot name (an option to fall back on, say).
    const bool refused = hr == E_PRINTTICKET_FORMAT || hr == E_DELTA_PRINTTICKET_FORMAT ||
                         hr == E_PRINTCAPABILITIES_FORMAT;
    if (!refused && hr != S_PT_NO_CONFLICT && hr != S_PT_CONFLICT_RESOLVED) {
        std::fprintf(stderr, "merge: 0x%08X\n", static_cast<unsigned>(hr));
    }
    FUZZ_REQUIRE(refused || hr == S_PT_NO_CONFLICT || hr == S_PT_CONFLICT_RESOLVED);
    FUZZ_REQUIRE(refused == (message != nullptr && SysStringLen(message) > 0));
    SysFreeString(message);
    result = refused ? std::string() : ContentOf(resultStream);
    return hr;
}

// A provider for a printer whose capabilities are the bytes given, as PTOpenProvider opens one
// for a description read from a file; null when the capabilities are refused.
HPTPROVIDER OpenProvider(std::string_view capabilities) {
    auto description = std::make_shared<platformprinters::PrinterDescription>();
    description->name = u"Fuzzed Printer";
    description->driverName = u"Fuzzed Driver";
    description->source = "fuzz";
    description->capabilities = capabilities;
    auto provider = std::make_unique<platform::printticket::Provider>();
    provider->owner = std::this_thread::get_id();
    provider->printer = std::move(description);
    HRESULT status = S_OK;
    provider->capabilities = platform::printticket::CapabilitiesOf(provider->printer, &status);
    if (!provider->capabilities) {
        FUZZ_REQUIRE(status == E_PRINTCAPABILITIES_FORMAT);
        return nullptr;
    }
    const HPTPROVIDER handle = platform::printticket::AddProvider(std::move(provider));
    FUZZ_REQUIRE(handle != nullptr);
    return handle;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto scope = static_cast<EPrintTicketScope>(data[0] % 3);
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t capabilitiesEnd = rest.find('\f');
    if (capabilitiesEnd == std::string_view::npos) {
        return 0;
    }
    const std::string_view capabilities = rest.substr(0, capabilitiesEnd);
    rest.remove_prefix(capabilitiesEnd + 1);
    const size_t split = rest.find('\f');
    const std::string_view base = rest.substr(0, split);
    const std::string_view delta =
        split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);

    const HPTPROVIDER provider = OpenProvider(capabilities);
    if (!provider) {
        return 0;
    }
    std::string merged;
    const HRESULT hr =
        Merge(provider, base, split == std::string_view::npos ? nullptr : &delta, scope, merged);
    if (SUCCEEDED(hr)) {
        std::string again;
        FUZZ_REQUIRE(Merge(provider, merged, nullptr, scope, again) == S_PT_NO_CONFLICT);
        FUZZ_REQUIRE(again == merged);
    }
    FUZZ_REQUIRE(PTCloseProvider(provider) == S_OK);
    return 0;
}
