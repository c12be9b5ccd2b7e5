// filterutil xps list and xps copy: XPS jobs read part by part through the platform's package
// reader, and copied through its writer.
#include "commands.h"
#include "jsonwriter.h"
#include "text.h"
#include "toolerror.h"

#include <atlbase.h>
#include <xpspackage.h>

#include <cstdio>
#include <iostream>
#include <optional>

namespace filterutil {
namespace {

std::string Narrow(BSTR text) {
    std::string out;
    if (!text) {
        return out;
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length > 1) {
        out.resize(static_cast<size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
        out.pop_back();
    }
    return out;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The one line an object of the package layer keeps about its last failure.
std::string StatusText(IUnknown* object, HRESULT hr) {
    ATL::CComPtr<IXpsPackageStatus> status;
    ATL::CComBSTR text;
    if (object && SUCCEEDED(object->QueryInterface(&status)) &&
        SUCCEEDED(status->GetLastErrorText(&text))) {
        const std::string line = Narrow(text);
        if (!line.empty()) {
            return line + " (" + Hex(hr) + ")";
        }
    }
    return "failed with " + Hex(hr);
}

std::string OpenErrorText(HRESULT hr) {
    ATL::CComBSTR text;
    XpsGetLastOpenErrorText(&text);
    const std::string line = Narrow(text);
    return (line.empty() ? std::string("cannot be opened") : line) + " (" + Hex(hr) + ")";
}

ATL::CComPtr<IXpsDocumentProvider> OpenReader(const std::string& path) {
    ATL::CComPtr<IXpsDocumentProvider> reader;
    const HRESULT hr = XpsOpenPackageReader(path.c_str(), nullptr, &reader);
    if (FAILED(hr)) {
        throw ToolError(OpenErrorText(hr));
    }
    return reader;
}

// What xps list shows of one part.
struct PartFacts {
    std::string kind;
    std::string uri;
    std::string contentType;
    ULONGLONG stored = 0;
    ULONGLONG full = 0;
    std::string ticket;
    std::vector<PartFacts> resources;
};

void ReadInfo(IUnknown* part, PartFacts& facts) {
    ATL::CComPtr<IXpsPartInfo> info;
    if (SUCCEEDED(part->QueryInterface(&info))) {
        ATL::CComBSTR contentType;
        if (SUCCEEDED(info->GetContentType(&contentType))) {
            facts.contentType = Narrow(contentType);
        }
        info->GetSizes(&facts.stored, &facts.full);
    }
    ATL::CComPtr<IPartBase> base;
    if (SUCCEEDED(part->QueryInterface(&base))) {
        ATL::CComBSTR uri;
        if (SUCCEEDED(base->GetUri(&uri))) {
            facts.uri = Narrow(uri);
        }
    }
}

template <class Interface>
void ReadTicket(Interface* object, PartFacts& facts) {
    ATL::CComPtr<IPartPrintTicket> ticket;
    if (SUCCEEDED(object->GetPrintTicket(&ticket)) && ticket) {
        ATL::CComBSTR uri;
        if (SUCCEEDED(ticket->GetUri(&uri))) {
            facts.ticket = Narrow(uri);
        }
    }
}

template <class Interface>
void ReadStructure(Interface* object, const char* kind, PartFacts& facts) {
    facts.kind = kind;
    ReadInfo(object, facts);
    ATL::CComBSTR uri;
    if (SUCCEEDED(object->GetUri(&uri))) {
        facts.uri = Narrow(uri);
    }
    ReadTicket(object, facts);
}

const char* ResourceKind(IUnknown* part) {
    ATL::CComPtr<IUnknown> probe;
    if (SUCCEEDED(part->QueryInterface(IID_IPartFont, reinterpret_cast<void**>(&probe)))) {
        return "font";
    }
    if (SUCCEEDED(part->QueryInterface(IID_IPartImage, reinterpret_cast<void**>(&probe)))) {
        return "image";
    }
    if (SUCCEEDED(
            part->QueryInterface(IID_IPartResourceDictionary, reinterpret_cast<void**>(&probe)))) {
        return "resource-dictionary";
    }
    return "resource";
}

PartFacts Describe(IUnknown* part) {
    PartFacts facts;
    ATL::CComPtr<IXpsDocument> document;
    ATL::CComPtr<IFixedDocumentSequence> sequence;
    ATL::CComPtr<IFixedDocument> fixedDocument;
    ATL::CComPtr<IFixedPage> page;
    if (SUCCEEDED(part->QueryInterface(&document))) {
        facts.kind = "xps-document";
        facts.uri = "/";
        ATL::CComPtr<IPartThumbnail> thumbnail;
        if (SUCCEEDED(document->GetThumbnail(&thumbnail)) && thumbnail) {
            PartFacts resource;
            resource.kind = "thumbnail";
            ReadInfo(thumbnail, resource);
            facts.resources.push_back(std::move(resource));
        }
    } else if (SUCCEEDED(part->QueryInterface(&sequence))) {
        ReadStructure(sequence.p, "sequence", facts);
    } else if (SUCCEEDED(part->QueryInterface(&fixedDocument))) {
        ReadStructure(fixedDocument.p, "document", facts);
    } else if (SUCCEEDED(part->QueryInterface(&page))) {
        facts.kind = "page";
        ReadInfo(page, facts);
        ReadTicket(page.p, facts);
        ATL::CComPtr<IXpsPartIterator> iterator;
        if (SUCCEEDED(page->GetXpsPartIterator(&iterator))) {
            for (; !iterator->IsDone(); iterator->Next()) {
                ATL::CComBSTR uri;
                ATL::CComPtr<IUnknown> resourcePart;
                if (FAILED(iterator->Current(&uri, &resourcePart))) {
                    break;
                }
                PartFacts resource;
                resource.kind = ResourceKind(resourcePart);
                ReadInfo(resourcePart, resource);
                facts.resources.push_back(std::move(resource));
            }
        }
    } else {
        facts.kind = "unknown";
    }
    return facts;
}

void PrintText(const PartFacts& facts, const std::string& indent) {
    // Part names come from the package: escaped, they cannot act on the terminal.
    std::cout << indent << facts.kind << ' ' << Printable(facts.uri);
    if (!facts.contentType.empty()) {
        std::cout << ' ' << Printable(facts.contentType) << " stored " << facts.stored << " full "
                  << facts.full;
    }
    if (!facts.ticket.empty()) {
        std::cout << " ticket " << Printable(facts.ticket);
    }
    std::cout << '\n';
    for (const PartFacts& resource : facts.resources) {
        PrintText(resource, indent + "  ");
    }
}

void PrintJson(JsonWriter& json, const PartFacts& facts) {
    json.BeginObject();
    json.Key("kind").String(facts.kind);
    json.Key("uri").String(facts.uri);
    if (!facts.contentType.empty()) {
        json.Key("contentType").String(facts.contentType);
        json.Key("storedSize").Number(static_cast<int64_t>(facts.stored));
        json.Key("fullSize").Number(static_cast<int64_t>(facts.full));
    }
    if (facts.kind != "xps-document" && facts.kind != "thumbnail" &&
        facts.kind.find("resource") == std::string::npos && facts.kind != "font" &&
        facts.kind != "image") {
        json.Key("printTicket");
        facts.ticket.empty() ? json.Null() : json.String(facts.ticket);
    }
    if (facts.kind == "page" || facts.kind == "xps-document") {
        json.Key("resources").BeginArray();
        for (const PartFacts& resource : facts.resources) {
            PrintJson(json, resource);
        }
        json.EndArray();
    }
    json.EndObject();
}

} // namespace

int XpsList(const Arguments& arguments) {
    bool asJson = false;
    std::string path;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            asJson = true;
        } else if (path.empty() && !argument.empty() && argument[0] != '-') {
            path = argument;
        } else {
            throw ToolError("usage: filterutil xps list [--json] JOB.xps");
        }
    }
    if (path.empty()) {
        throw ToolError("usage: filterutil xps list [--json] JOB.xps");
    }
    ATL::CComPtr<IXpsDocumentProvider> reader = OpenReader(path);
    XpsFlavour flavour = XpsFlavour_MicrosoftXps;
    XpsGetReaderFlavour(reader, &flavour);
    const char* flavourName = flavour == XpsFlavour_OpenXps ? "OpenXPS" : "Microsoft XPS";

    // Parts are printed as they come, so that what precedes damage is shown.
    std::optional<JsonWriter> json;
    if (asJson) {
        json.emplace(std::cout);
        json->BeginObject();
        json->Key("flavour").String(flavourName);
        json->Key("parts").BeginArray();
    } else {
        std::cout << "flavour " << flavourName << '\n';
    }
    while (true) {
        ATL::CComPtr<IUnknown> part;
        const HRESULT hr = reader->GetXpsPart(&part);
        if (FAILED(hr)) {
            if (json) {
                json->EndArray();
                json->EndObject();
                json.reset();
                std::cout << '\n';
            }
            std::cout.flush();
            throw ToolError(path + ": " + StatusText(reader, hr));
        }
        if (!part) {
            break;
        }
        const PartFacts facts = Describe(part);
        if (json) {
            PrintJson(*json, facts);
        } else {
            PrintText(facts, "");
        }
    }
    if (json) {
        json->EndArray();
        json->EndObject();
        json.reset();
        std::cout << '\n';
    }
    return kExitOk;
}

int XpsCopy(const Arguments& arguments) {
    if (arguments.size() != 2) {
        throw ToolError("usage: filterutil xps copy IN.xps OUT.xps");
    }
    ATL::CComPtr<IXpsDocumentProvider> reader = OpenReader(arguments[0]);
    ATL::CComPtr<IXpsDocumentConsumer> writer;
    HRESULT hr = XpsCreatePackageWriter(arguments[1].c_str(), &writer);
    if (FAILED(hr)) {
        throw ToolError(OpenErrorText(hr));
    }
    while (true) {
        ATL::CComPtr<IUnknown> part;
        hr = reader->GetXpsPart(&part);
        if (FAILED(hr)) {
            throw ToolError(arguments[0] + ": " + StatusText(reader, hr));
        }
        if (!part) {
            break;
        }
        hr = XpsSendPart(writer, part);
        if (FAILED(hr)) {
            throw ToolError(StatusText(writer, hr), kExitFailure); // names the output itself
        }
    }
    hr = writer->CloseSender();
    if (FAILED(hr)) {
        throw ToolError(StatusText(writer, hr), kExitFailure); // names the output itself
    }
    return kExitOk;
}

} // namespace filterutil
