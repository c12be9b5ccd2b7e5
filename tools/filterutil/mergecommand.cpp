// filterutil ticket merge: a delta ticket merged onto a base ticket by the PrintTicket API for
// one scope, and validated against a printer's capabilities, as the print ticket manager of a
// filter merges them. Says on standard error whether the printer's capabilities changed the
// result.
//
//   ticket merge BASE DELTA --scope job|document|page [--printer P] [-o OUT]
#include "commands.h"

#include "outputfile.h"
#include "text.h"
#include "toolerror.h"
#include "xmlfile.h"

#include <handleapi.h>
#include <objbase.h>
#include <prntvpt.h>
#include <processthreadsapi.h>
#include <winspool.h>

#include <iostream>
#include <optional>

namespace filterutil {
namespace {

struct MergeArguments {
    std::string base;
    std::string delta;
    EPrintTicketScope scope = kPTJobScope;
    std::u16string printer;
    std::optional<std::string> output;
};

EPrintTicketScope ParseScope(const std::string& text) {
    if (text == "job") {
        return kPTJobScope;
    }
    if (text == "document") {
        return kPTDocumentScope;
    }
    if (text == "page") {
        return kPTPageScope;
    }
    throw ToolError("ticket merge: --scope is job, document or page, not \"" + text + "\"");
}

MergeArguments ParseArguments(const Arguments& arguments) {
    MergeArguments parsed;
    std::vector<std::string> positional;
    bool scoped = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) {
                throw ToolError("ticket merge: " + argument + " needs a value");
            }
            return arguments[++i];
        };
        if (argument == "--scope") {
            parsed.scope = ParseScope(value());
            scoped = true;
        } else if (argument == "--printer") {
            parsed.printer = FromUtf8(value());
        } else if (argument == "-o" || argument == "--output") {
            parsed.output = value();
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw ToolError("ticket merge: unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) {
        throw ToolError("ticket merge: give BASE and DELTA");
    }
    if (!scoped) {
        throw ToolError("ticket merge: --scope job|document|page is required");
    }
    if (positional[0] == "-" && positional[1] == "-") {
        throw ToolError("ticket merge: only one ticket can be read from standard input");
    }
    parsed.base = positional[0];
    parsed.delta = positional[1];
    if (parsed.printer.empty()) {
        WCHAR name[256];
        DWORD size = 256;
        if (!GetDefaultPrinterW(name, &size)) {
            throw ToolError("ticket merge: there is no default printer; name one with --printer");
        }
        parsed.printer.assign(name, size - 1);
    }
    return parsed;
}

// The calling thread acts as the user running the tool while the PrintTicket API runs, as a
// filter impersonates the user who printed; the impersonation ends with the scope.
class RunAsCurrentUser {
public:
    RunAsCurrentUser() {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE | TOKEN_QUERY, &token_) ||
            !SetThreadToken(nullptr, token_)) {
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            if (token_) {
                CloseHandle(token_);
            }
            throw ToolError("cannot act as the current user (" + HexCode(hr) + ")", kExitFailure);
        }
    }
    ~RunAsCurrentUser() {
        SetThreadToken(nullptr, nullptr);
        CloseHandle(token_);
    }
    RunAsCurrentUser(const RunAsCurrentUser&) = delete;
    RunAsCurrentUser& operator=(const RunAsCurrentUser&) = delete;

private:
    HANDLE token_ = nullptr;
};

class Provider {
public:
    explicit Provider(const std::u16string& printer) {
        const HRESULT hr = PTOpenProvider(printer.c_str(), 1, &handle_);
        if (hr == HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)) {
            throw ToolError("ticket merge: no printer is named \"" + ToUtf8(printer) +
                            "\" (see filterutil printers)");
        }
        if (FAILED(hr)) {
            throw ToolError("ticket merge: cannot open the printer \"" + ToUtf8(printer) + "\" (" +
                                HexCode(hr) + ")",
                            kExitFailure);
        }
    }
    ~Provider() { PTCloseProvider(handle_); }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    HPTPROVIDER get() const { return handle_; }

private:
    HPTPROVIDER handle_ = nullptr;
};

CComPtr<IStream> DocumentStream(IXMLDOMDocument2* document) {
    CComPtr<IStream> stream;
    if (FAILED(document->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        throw ToolError("cannot read the document back", kExitFailure);
    }
    return stream;
}

CComPtr<IXMLDOMDocument2> LoadResult(IStream* result) {
    LARGE_INTEGER start{};
    result->Seek(start, STREAM_SEEK_SET, nullptr);
    CComPtr<IXMLDOMDocument2> document;
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = result; // borrowed for the call
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (FAILED(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument2, reinterpret_cast<void**>(&document))) ||
        FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE) {
        throw ToolError("the merged ticket cannot be read back", kExitFailure);
    }
    return document;
}

} // namespace

int TicketMerge(const Arguments& arguments) {
    const MergeArguments parsed = ParseArguments(arguments);
    const CComPtr<IXMLDOMDocument2> base = LoadXmlFile(parsed.base);
    const CComPtr<IXMLDOMDocument2> delta = LoadXmlFile(parsed.delta);
    CComPtr<IStream> result;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &result))) {
        throw ToolError("out of memory", kExitFailure);
    }

    HRESULT hr = S_OK;
    CComBSTR message;
    {
        RunAsCurrentUser user;
        Provider provider(parsed.printer);
        hr = PTMergeAndValidatePrintTicket(provider.get(), DocumentStream(base),
                                           DocumentStream(delta), parsed.scope, result, &message);
    }
    const std::string why =
        message.Length() ? ToUtf8(std::u16string_view(message.m_str, message.Length())) : "";
    if (hr == E_PRINTTICKET_FORMAT || hr == E_DELTA_PRINTTICKET_FORMAT) {
        throw ToolError((hr == E_PRINTTICKET_FORMAT ? parsed.base : parsed.delta) + ": " + why);
    }
    if (FAILED(hr)) {
        throw ToolError("ticket merge: the merge failed (" + HexCode(hr) +
                            (why.empty() ? "" : ": ") + why + ")",
                        kExitFailure);
    }

    const CComPtr<IXMLDOMDocument2> merged = LoadResult(result);
    std::string bytes = SerialiseDocument(merged);
    if (parsed.output) {
        WriteOutputFile(*parsed.output, bytes);
    } else {
        if (!bytes.empty() && bytes.back() != '\n') {
            bytes += '\n';
        }
        WriteStandardOutput(bytes);
    }
    std::cerr << (hr == S_PT_CONFLICT_RESOLVED
                      ? "filterutil: conflicts resolved: settings the printer does not support "
                        "were dropped or replaced\n"
                      : "filterutil: no conflicts\n");
    return kExitOk;
}

} // namespace filterutil
