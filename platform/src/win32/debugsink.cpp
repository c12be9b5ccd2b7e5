// The debugger stand-in: OutputDebugString writes to a sink that is silent unless the user
// sets FILTERUTILITIES_DEBUG (then standard error), or a test captures it.
#include "windows.h"

#include "platformtest.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>

namespace {

struct Sink {
    std::mutex lock;
    int captures = 0;
    std::string captured;
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

void Write(const char* text, size_t length) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.captures > 0) {
        sink.captured.append(text, length);
        return;
    }
    static const bool enabled = std::getenv("FILTERUTILITIES_DEBUG") != nullptr;
    if (enabled) {
        std::fwrite(text, 1, length, stderr);
        std::fflush(stderr);
    }
}

} // namespace

extern "C" {

// Debug output is best effort: a message that finds no memory (to be converted, or captured)
// is dropped, never thrown at the caller.
void WINAPI OutputDebugStringA(LPCSTR text) {
    if (text) {
        try {
            Write(text, std::strlen(text));
        } catch (const std::bad_alloc&) {
        }
    }
}

void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (!text) {
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    try {
        std::string narrow(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
        Write(narrow.data(), static_cast<size_t>(size - 1));
    } catch (const std::bad_alloc&) {
    }
}

BOOL WINAPI IsDebuggerPresent() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0 ? TRUE : FALSE;
        }
    }
    return FALSE;
}

void WINAPI DebugBreak() {
    if (IsDebuggerPresent()) {
        std::raise(SIGTRAP);
    }
}

} // extern "C"

namespace platformtest {

DebugSinkCapture::DebugSinkCapture() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.captures++ == 0) {
        sink.captured.clear();
    }
}

DebugSinkCapture::~DebugSinkCapture() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    --sink.captures;
}

std::string DebugSinkCapture::Text() const {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    return sink.captured;
}

void DebugSinkCapture::Clear() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    sink.captured.clear();
}

} // namespace platformtest
