// Printers: named descriptions found on a search path, and the handles that open them.
//
// Ownership: a description is read whole (its two Print Schema documents included) into an
// immutable PrinterDescription, shared by every holder: printer handles, PrintTicket
// providers, listings, and the catalog's cache of descriptions read, which keeps each one
// while its file and its documents' files stay as they were read (same file, size, change
// and modification times), so an edited description is seen by the next OpenPrinterW. A
// handle table (handletable.h) holds each open printer handle from
// OpenPrinterW to ClosePrinter.
#pragma once

#include "filereader.h"
#include "platformexport.h"
#include "platformprinters.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform::spooler {

using platformprinters::Printer;

// Reads a description and its documents. folder resolves relative paths; for the built-in
// printer it is empty and the files come from inside the library. The document files read are
// added to documents when given, each with its stamp from before it was read. Throws
// DescriptionError.
PLATFORM_EXPORT Printer ReadDescription(std::string_view text, const std::string& source,
                                        const std::string& folder,
                                        StampedFiles* documents = nullptr);

struct PLATFORM_EXPORT DescriptionError {
    std::string message;
};

// The printer driver directory of the machine: the folder the platform library was loaded
// from, where a driver's files sit side by side.
const std::string& MachineDriverDirectory();

// Whether two printer names are the same (ASCII case ignored).
bool SameName(std::u16string_view a, std::u16string_view b);

// The handle table.
HANDLE OpenPrinterHandle(Printer printer); // null when memory runs out
Printer FindPrinterHandle(HANDLE handle);
bool ClosePrinterHandle(HANDLE handle);

} // namespace platform::spooler
