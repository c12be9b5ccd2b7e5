#include <kldutil/printer.h>

#include <winspool.h>

#include <string>
#include <utility>

Printer Printer::CreateHandle(const WCHAR* printerName) {
    // OpenPrinterW takes a writable name; the caller's text stays untouched.
    std::u16string name(printerName ? printerName : u"");
    HANDLE handle = nullptr;
    if (!OpenPrinterW(name.data(), &handle, nullptr)) {
        return Printer();
    }
    return Printer(handle);
}

Printer::~Printer() {
    Close();
}

Printer::Printer(Printer&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

Printer& Printer::operator=(Printer&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

void Printer::Close() noexcept {
    if (m_handle) {
        ClosePrinter(std::exchange(m_handle, nullptr));
    }
}
