// The spooler stand-in's printer descriptions, for the tools that list printers (filterutil
// printers) and the pipeline host. The library reaches printers only through winspool.h.
#pragma once

#include "windows.h"

#include <memory>
#include <string>
#include <vector>

namespace platformprinters {

// One of the driver's forms, as the driver reports it through DeviceCapabilitiesW.
struct Form {
    uint16_t number = 0;     // 256 marks the custom size
    int32_t width = 0;       // tenths of a millimetre
    int32_t height = 0;      // tenths of a millimetre
    int32_t paperSizeId = 0; // a value id of the driver's data model
    int32_t kind = 0;        // the driver's form kind (25001, 25008, ...)
    std::u16string name;
};

// Printable-area margins of the portrait page, in micrometres.
struct Margins {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// A printer: immutable once read, shared by everyone who holds it.
struct PrinterDescription {
    std::u16string name;
    std::u16string driverName;
    std::string source;          // the description file, or "built-in"
    std::string capabilities;    // the PrintCapabilities document, as read
    std::string defaultTicket;   // the default PrintTicket, as read
    std::string driverDirectory; // a path
    Margins margins;
    std::vector<Form> forms;
};
using Printer = std::shared_ptr<const PrinterDescription>;

// One description on the search path: the printer, or why it could not be read.
struct Listing {
    std::string source;
    Printer printer;     // null when problem is set
    std::string problem; // empty when the description was read
};

inline constexpr char16_t kBuiltinPrinterName[] = u"FilterUtilities XPS Printer";

// The driver's private DeviceCapabilitiesW numbers (wingdi.h) and the size of a form record.
inline constexpr WORD kFormsCapability = 65525;
inline constexpr WORD kMarginsCapability = 65518;
inline constexpr size_t kFormRecordSize = 152;

// The folders searched for *.printer files, in order: those of FILTERUTILITIES_PRINTERS
// (separated by ':'), the user's configuration folder, the system folder.
PLATFORM_EXPORT std::vector<std::string> SearchFolders();

// Every description in search order, the built-in printer last. A description whose name an
// earlier one already has is listed with a problem.
PLATFORM_EXPORT std::vector<Listing> ListPrinters();

// The printer of that name (ASCII case ignored), or null.
PLATFORM_EXPORT Printer FindPrinter(const std::u16string& name);

// The printer an open printer handle names, or null.
PLATFORM_EXPORT Printer PrinterOfHandle(HANDLE printer);

} // namespace platformprinters
