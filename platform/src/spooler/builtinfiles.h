// The built-in printer's files (platform/printers/), compiled into the library.
#pragma once

#include <cstddef>

namespace platform::spooler {

struct EmbeddedFile {
    const char* name;
    const unsigned char* bytes;
    size_t size;
};

extern const EmbeddedFile kBuiltinPrinterFiles[];
extern const size_t kBuiltinPrinterFileCount;

} // namespace platform::spooler
