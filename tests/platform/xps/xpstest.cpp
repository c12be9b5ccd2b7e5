#include "xpstest.h"

#include <minizip/zip.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace xpstest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "xpstest.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MakeJob(const std::string& path, const std::string& arguments) {
    const std::string command = "python3 '" XPSTEST_MAKE_XPS "' '" + path + "' " + arguments;
    ASSERT_EQ(0, Run(command)) << command;
}

void WriteZip(const std::string& path, const std::vector<Entry>& entries, bool zip64) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(nullptr, zip);
    for (const Entry& entry : entries) {
        zip_fileinfo info{};
        ASSERT_EQ(ZIP_OK, zipOpenNewFileInZip4_64(
                              zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              entry.deflate ? Z_DEFLATED : 0, entry.deflate ? 6 : 0, 0, -MAX_WBITS,
                              8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0, zip64 ? 1 : 0));
        ASSERT_EQ(ZIP_OK, zipWriteInFileInZip(zip, entry.bytes.data(),
                                              static_cast<unsigned>(entry.bytes.size())));
        ASSERT_EQ(ZIP_OK, zipCloseFileInZip(zip));
    }
    ASSERT_EQ(ZIP_OK, zipClose(zip, nullptr));
}

std::string Rels(const std::string& body) {
    return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
           "relationships\">" +
           body + "</Relationships>";
}

std::string Rel(const std::string& type, const std::string& target) {
    return "<Relationship Id=\"X\" Type=\"http://schemas.microsoft.com/xps/2005/06/" + type +
           "\" Target=\"" + target + "\"/>";
}

std::vector<Entry> SmallJob(bool openXps) {
    const std::string ns = openXps ? "http://schemas.openxps.org/oxps/v1.0"
                                   : "http://schemas.microsoft.com/xps/2005/06";
    const std::string rel = openXps ? "http://schemas.openxps.org/oxps/v1.0/"
                                    : "http://schemas.microsoft.com/xps/2005/06/";
    auto rels = [](const std::string& body) {
        return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
               "relationships\">" +
               body + "</Relationships>";
    };
    auto relationship = [&](const std::string& id, const std::string& type,
                            const std::string& target) {
        return "<Relationship Id=\"" + id + "\" Type=\"" + rel + type + "\" Target=\"" + target +
               "\"/>";
    };
    const std::string ticket =
        "<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
        "printschemaframework\" version=\"1\"/>";
    auto page = [&](const std::string& colour) {
        return "<FixedPage xmlns=\"" + ns +
               "\" Width=\"96\" Height=\"96\" xml:lang=\"en\"><Path Data=\"M 0,0 L 48,0 48,48 Z\" "
               "Fill=\"" +
               colour + "\"/></FixedPage>";
    };
    return {
        {"[Content_Types].xml",
         "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" "
         "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"fdseq\" "
         "ContentType=\"application/vnd.ms-package.xps-fixeddocumentsequence+xml\"/>"
         "<Default Extension=\"fdoc\" "
         "ContentType=\"application/vnd.ms-package.xps-fixeddocument+xml\"/>"
         "<Default Extension=\"fpage\" "
         "ContentType=\"application/vnd.ms-package.xps-fixedpage+xml\"/>"
         "<Default Extension=\"png\" ContentType=\"image/png\"/>"
         "<Override PartName=\"/Tickets/Job.xml\" "
         "ContentType=\"application/vnd.ms-printing.printticket+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/vnd.ms-printing.printticket+xml\"/>"
         "</Types>"},
        {"_rels/.rels", rels(relationship("R0", "fixedrepresentation", "/Job.fdseq"))},
        {"Job.fdseq", "<FixedDocumentSequence xmlns=\"" + ns +
                          "\"><DocumentReference Source=\"Doc/1.fdoc\"/></FixedDocumentSequence>"},
        {"_rels/Job.fdseq.rels", rels(relationship("R1", "printticket", "/Tickets/Job.xml"))},
        {"Tickets/Job.xml", ticket},
        {"Doc/1.fdoc",
         "<FixedDocument xmlns=\"" + ns +
             "\"><PageContent Source=\"Pages/1.fpage\" Width=\"96\" "
             "Height=\"96\"/><PageContent Source=\"Pages/2.fpage\"/></FixedDocument>"},
        {"Doc/_rels/1.fdoc.rels", rels(relationship("R2", "printticket", "../Tickets/Doc.xml"))},
        {"Tickets/Doc.xml", ticket},
        {"Doc/Pages/1.fpage", page("#FF0000FF")},
        {"Doc/Pages/_rels/1.fpage.rels",
         rels(relationship("R3", "required-resource", "/Images/dot.png") +
              relationship("R4", "printticket", "/Tickets/Page1.xml"))},
        {"Tickets/Page1.xml", ticket},
        {"Doc/Pages/2.fpage", page("#FF00FF00")},
        {"Doc/Pages/_rels/2.fpage.rels",
         rels(relationship("R5", "required-resource", "../../Images/dot.png"))},
        {"Images/dot.png", std::string("\x89PNG\r\n\x1a\n not really a picture", 29), false},
    };
}

void SetEntry(std::vector<Entry>& entries, const std::string& name, const char* bytes) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const Entry& e) { return e.name == name; });
    if (!bytes) {
        if (it != entries.end()) {
            entries.erase(it);
        }
        return;
    }
    if (it == entries.end()) {
        entries.push_back({name, bytes});
    } else {
        it->bytes = bytes;
    }
}

ATL::CComPtr<IXpsDocumentProvider> Open(const std::string& path, const XpsPackageLimits* limits) {
    ATL::CComPtr<IXpsDocumentProvider> reader;
    EXPECT_EQ(S_OK, XpsOpenPackageReader(path.c_str(), limits, &reader)) << path;
    return reader;
}

XpsPackageLimits WithReadAhead(const ReadAhead& readAhead, const XpsPackageLimits* base) {
    XpsPackageLimits limits;
    XpsDefaultPackageLimits(&limits);
    if (base) {
        limits = *base;
    }
    limits.readAheadPages = readAhead.pages;
    limits.readAheadFloor = 0;
    return limits;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string Narrow(BSTR text) {
    std::string out;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) {
        out += static_cast<char>(text[i] < 0x80 ? text[i] : '?');
    }
    return out;
}

std::string TestName(const char* name) {
    std::string out;
    for (const char* c = name; *c; ++c) {
        out += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return out;
}

namespace {

std::string UriOf(IUnknown* part) {
    ATL::CComBSTR uri;
    ATL::CComPtr<IPartBase> base;
    ATL::CComPtr<IFixedDocument> document;
    ATL::CComPtr<IFixedDocumentSequence> sequence;
    if (SUCCEEDED(part->QueryInterface(&base))) {
        base->GetUri(&uri);
    } else if (SUCCEEDED(part->QueryInterface(&document))) {
        document->GetUri(&uri);
    } else if (SUCCEEDED(part->QueryInterface(&sequence))) {
        sequence->GetUri(&uri);
    }
    return Narrow(uri);
}

} // namespace

std::string ReadPart(IPartBase* part, HRESULT* failure, std::string* message) {
    if (failure) {
        *failure = S_OK;
    }
    ATL::CComPtr<IPrintReadStream> stream;
    HRESULT hr = part->GetStream(&stream);
    std::string bytes;
    char buffer[4096];
    while (SUCCEEDED(hr)) {
        ULONG read = 0;
        BOOL end = FALSE;
        hr = stream->ReadBytes(buffer, sizeof buffer, &read, &end);
        bytes.append(buffer, read);
        if (end || read == 0) {
            break;
        }
    }
    if (FAILED(hr) && stream && message) {
        ATL::CComPtr<IXpsPackageStatus> status;
        ATL::CComBSTR text;
        if (SUCCEEDED(stream->QueryInterface(&status)) &&
            SUCCEEDED(status->GetLastErrorText(&text))) {
            *message = Narrow(text);
        }
    }
    if (failure) {
        *failure = hr;
    } else {
        EXPECT_EQ(S_OK, hr);
    }
    return bytes;
}

Walk WalkReader(IXpsDocumentProvider* reader, bool readStreams) {
    Walk walk;
    while (true) {
        ATL::CComPtr<IUnknown> part;
        walk.result = reader->GetXpsPart(&part);
        if (FAILED(walk.result)) {
            ATL::CComPtr<IXpsPackageStatus> status;
            ATL::CComBSTR text;
            if (SUCCEEDED(reader->QueryInterface(&status)) &&
                SUCCEEDED(status->GetLastErrorText(&text))) {
                walk.message = Narrow(text);
            }
            return walk;
        }
        if (!part) {
            return walk;
        }
        ATL::CComPtr<IUnknown> probe;
        std::string kind = "unknown";
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(IID_IXpsDocument, reinterpret_cast<void**>(&probe)))) {
            kind = "xps";
        } else if (probe.Release(),
                   SUCCEEDED(part->QueryInterface(IID_IFixedDocumentSequence,
                                                  reinterpret_cast<void**>(&probe)))) {
            kind = "sequence";
        } else if (probe.Release(), SUCCEEDED(part->QueryInterface(
                                        IID_IFixedDocument, reinterpret_cast<void**>(&probe)))) {
            kind = "document";
        } else if (SUCCEEDED(part->QueryInterface(&page))) {
            kind = "page";
        }
        std::string line = kind + (kind == "xps" ? std::string() : " " + UriOf(part));
        if (page && readStreams) {
            HRESULT failure = S_OK;
            ReadPart(page, &failure, &walk.message);
            if (FAILED(failure)) {
                walk.result = failure;
                walk.parts.push_back(line + " (unreadable)");
                return walk;
            }
        }
        walk.parts.push_back(line);
    }
}

std::vector<StoredEntry> ListZip(const std::string& path) {
    std::vector<StoredEntry> entries;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!archive) {
        ADD_FAILURE() << path << " does not open as a ZIP file";
        return entries;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        entries.push_back({stat.name, static_cast<uint16_t>(stat.comp_method), stat.comp_size,
                           stat.size, stat.crc});
    }
    zip_discard(archive);
    return entries;
}

std::string ZipContent(const std::string& path, const std::string& name) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!archive) {
        ADD_FAILURE() << path << " does not open as a ZIP file";
        return {};
    }
    std::string bytes;
    if (zip_file_t* file = zip_fopen(archive, name.c_str(), 0)) {
        char buffer[4096];
        zip_int64_t got;
        while ((got = zip_fread(file, buffer, sizeof buffer)) > 0) {
            bytes.append(buffer, static_cast<size_t>(got));
        }
        zip_fclose(file);
    } else {
        ADD_FAILURE() << name << " is not in " << path;
    }
    zip_discard(archive);
    return bytes;
}

} // namespace xpstest
