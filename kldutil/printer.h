// An open printer of the spooler: owns the handle and closes it.
#pragma once

#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API Printer {
public:
    // Opens the printer of that name as the user the calling thread acts for. A printer that
    // cannot be opened (no such name, a null or empty name) gives an object without a handle,
    // with the reason in GetLastError; callers treat that as "no printer", not as a failure.
    static Printer CreateHandle(const WCHAR* printerName);

    Printer() noexcept = default;
    ~Printer();
    Printer(Printer&& other) noexcept;
    Printer& operator=(Printer&& other) noexcept;
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    HANDLE GetHandle() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

private:
    explicit Printer(HANDLE handle) noexcept : m_handle(handle) {}
    void Close() noexcept;

    HANDLE m_handle = nullptr;
};
