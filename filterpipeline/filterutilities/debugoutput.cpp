#include <filterutilities/debugoutput.h>

#include <objbase.h>

#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr DWORD kDbgPrintLimit = 32768;
constexpr DWORD kCountLimit = 0x7FFFFFFF;

struct TaskMemFree {
    void operator()(char* block) const noexcept { CoTaskMemFree(block); }
};

} // namespace

int RealDebugMessage(DWORD count, const char* format, va_list args) {
    if (!format || count == 0 || count >= kCountLimit) {
        return 0;
    }
    // Measure first, so that a short text does not cost a buffer of the full count.
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0) {
        return 0;
    }
    const bool fits = static_cast<DWORD>(needed) <= count;
    const size_t length = fits ? static_cast<size_t>(needed) : count;
    std::unique_ptr<char, TaskMemFree> buffer(static_cast<char*>(CoTaskMemAlloc(length + 1)));
    if (!buffer) {
        throw std::bad_alloc();
    }
    va_list print;
    va_copy(print, args);
    std::vsnprintf(buffer.get(), length + 1, format, print);
    va_end(print);
    buffer.get()[length] = '\0';
    OutputDebugStringA(buffer.get());
    return fits ? 1 : 0;
}

int DbgPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        const int result = RealDebugMessage(kDbgPrintLimit, format, args);
        va_end(args);
        return result;
    } catch (...) {
        va_end(args);
        throw;
    }
}
