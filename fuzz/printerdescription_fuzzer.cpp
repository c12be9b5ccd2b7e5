// fuzz-links: platform
// fuzz-internals: platform/src
//
// A printer description as the spooler finds one on its search path ("key = value" lines:
// name, driver, the Print Schema documents, margins, forms), read with its documents taken from
// inside the library. Whatever the text, the printer is read or refused with a message; a
// printer read has a name fit for a printer and both of its documents. Nothing may crash, hang
// or leak.
#include "fuzzcheck.h"

#include "spooler/printers.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platformprinters::Printer printer;
    try {
        printer = platform::spooler::ReadDescription(text, "fuzz.printer", std::string());
    } catch (const platform::spooler::DescriptionError& error) {
        FUZZ_REQUIRE(!error.message.empty());
        return 0;
    }
    FUZZ_REQUIRE(printer && !printer->name.empty() && !printer->driverName.empty());
    FUZZ_REQUIRE(!printer->capabilities.empty() && !printer->defaultTicket.empty());
    FUZZ_REQUIRE(printer->forms.size() <= size);
    return 0;
}
