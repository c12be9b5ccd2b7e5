// fuzz-links: platform
//
// PTMergeAndValidatePrintTicket on arbitrary tickets, against the built-in printer. The input
// is a scope digit ('0' page, '1' document, '2' job), the base ticket, then, after a form
// feed, the delta (no form feed: no delta). Bad tickets must be refused with a message; a
// merged ticket must validate again without a conflict and come out byte for byte the same.
#include "fuzzstreams.h"

#include <atlbase.h>
#include <objbase.h>
#include <prntvpt.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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
    const bool refused = hr == E_PRINTTICKET_FORMAT || hr == E_DELTA_PRINTTICKET_FORMAT;
    if (!refused && hr != S_PT_NO_CONFLICT && hr != S_PT_CONFLICT_RESOLVED) {
        std::abort();
    }
    if (refused != (message != nullptr && SysStringLen(message) > 0)) {
        std::abort(); // a refusal says why; a success says nothing
    }
    SysFreeString(message);
    result = refused ? std::string() : ContentOf(resultStream);
    return hr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HPTPROVIDER provider = [] {
        HPTPROVIDER opened = nullptr;
        if (PTOpenProvider(u"FilterUtilities XPS Printer", 1, &opened) != S_OK) {
            std::abort();
        }
        return opened;
    }();
    if (size == 0) {
        return 0;
    }
    const auto scope = static_cast<EPrintTicketScope>(data[0] % 3);
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = input.find('\f');
    const std::string_view base = input.substr(0, split);
    const std::string_view delta =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    std::string merged;
    const HRESULT hr =
        Merge(provider, base, split == std::string_view::npos ? nullptr : &delta, scope, merged);
    if (FAILED(hr)) {
        return 0;
    }
    std::string again;
    if (Merge(provider, merged, nullptr, scope, again) != S_PT_NO_CONFLICT || again != merged) {
        std::abort();
    }
    return 0;
}
