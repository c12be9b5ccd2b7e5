// Stores a string parameter of a job's client job data on a printer, as the driver's user
// interface does for the filters to read: built against the installed package alone.
//
//   setclientjobdata PRINTER JOB PARAMETER TEXT
//
// Exit status 0 when stored; 2 for bad arguments; 1 when the spooler refused.
#include <kldutil/clientjobdatareaderwriter.h>
#include <kldutil/printer.h>

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Widen(const char* text, std::u16string& wide) {
    const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (count <= 0) {
        return false;
    }
    wide.resize(static_cast<size_t>(count));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), count);
    wide.pop_back(); // the terminating zero
    return true;
}

// A whole number from 0 to limit; false otherwise.
bool Number(const char* text, unsigned long limit, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value <= limit;
}

} // namespace

int main(int argc, char** argv) {
    std::u16string printer;
    std::u16string text;
    unsigned long job = 0;
    unsigned long parameter = 0;
    if (argc != 5 || !Widen(argv[1], printer) || !Number(argv[2], 0xFFFFFFFFul, job) ||
        !Number(argv[3], 0x7FFFFFFFul, parameter) || !Widen(argv[4], text)) {
        std::fprintf(stderr, "usage: setclientjobdata PRINTER JOB PARAMETER TEXT (UTF-8)\n");
        return 2;
    }
    const Printer opened = Printer::CreateHandle(printer.c_str());
    if (!opened) {
        std::fprintf(stderr, "setclientjobdata: cannot open printer %s (error %u)\n", argv[1],
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    const ClientJobDataReaderWriter data(opened.GetHandle(), static_cast<DWORD>(job));
    if (!data.SetStringInParameterList(static_cast<int>(parameter), text.c_str())) {
        std::fprintf(stderr, "setclientjobdata: the spooler refused the text (error %u)\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    return 0;
}
