// Hostile and damaged packages: each gets an HRESULT and a one-line message, never a crash,
// a hang or a file written anywhere; the parts before the damage still flow.
#include "xpstest.h"

#include <platformtest.h>

#include <functional>
#include <optional>

using namespace xpstest;

namespace {

constexpr HRESULT kBadData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr HRESULT kMissing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kTooLarge = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
constexpr size_t kAtOpen = static_cast<size_t>(-1);

// Rewrites a 32-bit field of the central directory record of entry name.
void PatchCentral(std::string& zip, const std::string& name, size_t offset, uint32_t value) {
    for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) {
        if (at >= 46 && zip.compare(at - 46, 4, "PK\x01\x02") == 0) {
            for (int i = 0; i < 4; ++i) {
                zip[at - 46 + offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
            }
            return;
        }
    }
    ADD_FAILURE() << "no central record for " << name;
}

// A 32-bit field of the central directory record of entry name.
uint32_t CentralField(const std::string& zip, const std::string& name, size_t offset) {
    for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) {
        if (at >= 46 && zip.compare(at - 46, 4, "PK\x01\x02") == 0) {
            uint32_t value = 0;
            for (int i = 3; i >= 0; --i) {
                value = (value << 8) | static_cast<unsigned char>(zip[at - 46 + offset + i]);
            }
            return value;
        }
    }
    ADD_FAILURE() << "no central record for " << name;
    return 0;
}

// Rewrites the first byte of entry name's stored bytes.
void PatchFirstStoredByte(std::string& zip, const std::string& name, char value) {
    for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) {
        if (at >= 30 && zip.compare(at - 30, 4, "PK\x03\x04") == 0) {
            const size_t extra = static_cast<unsigned char>(zip[at - 2]) |
                                 (static_cast<unsigned char>(zip[at - 1]) << 8);
            zip[at + name.size() + extra] = value;
            return;
        }
    }
    ADD_FAILURE() << "no local header for " << name;
}

// Rewrites a 32-bit field of the end of central directory record.
void PatchEnd(std::string& zip, size_t offset, uint32_t value) {
    const size_t end = zip.rfind("PK\x05\x06");
    ASSERT_NE(std::string::npos, end);
    for (int i = 0; i < 4; ++i) {
        zip[end + offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string Page(size_t padding) {
    return "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/06\" Width=\"96\" "
           "Height=\"96\">" +
           std::string(padding, ' ') + "</FixedPage>";
}

void Set(std::vector<Entry>& entries, const std::string& name, const std::string& bytes) {
    SetEntry(entries, name, bytes.c_str());
}

struct HostileCase {
    const char* name;
    std::function<void(std::vector<Entry>&)> edit;
    std::function<void(std::string&)> damage; // of the written ZIP bytes
    HRESULT expected;
    const char* message;   // a piece of the one-line message
    size_t partsBefore;    // parts handed out before the failure, or kAtOpen
    bool inStream = false; // the damage shows when the last part's stream is read
    std::optional<XpsPackageLimits> limits = std::nullopt;
};

void PrintTo(const HostileCase& test, std::ostream* out) {
    *out << test.name;
}

XpsPackageLimits Limits(ULONGLONG part, ULONGLONG job, ULONG ratio, ULONGLONG floor) {
    return {part, job, ratio, floor, 0, 0};
}

const HostileCase kCases[] = {
    // Entry names that are not OPC part names, and duplicates.
    {"dot-dot entry", [](auto& e) { Set(e, "Doc/../../evil.txt", "x"); }, nullptr, kBadData,
     "is not a part name", kAtOpen},
    {"absolute entry", [](auto& e) { Set(e, "/etc/evil", "x"); }, nullptr, kBadData,
     "is not a part name", kAtOpen},
    {"backslash entry", [](auto& e) { Set(e, "Doc\\Pages\\3.fpage", "x"); }, nullptr, kBadData,
     "backslash", kAtOpen},
    {"percent-encoded dots", [](auto& e) { Set(e, "Doc/%2e%2e/x.png", "x"); }, nullptr, kBadData,
     "percent-encodes", kAtOpen},
    {"percent-encoded slash", [](auto& e) { Set(e, "Doc%2F..%2Fx.png", "x"); }, nullptr, kBadData,
     "behind percent-encoding", kAtOpen},
    {"case-insensitive duplicate", [](auto& e) { Set(e, "doc/PAGES/1.fpage", Page(0)); }, nullptr,
     kBadData, "twice", kAtOpen},
    // References that leave the package or name nothing.
    {"resource outside the package",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels",
             Rels(Rel("required-resource", "../../../../x.png")));
     },
     nullptr, kBadData, "points outside the package", 4},
    {"resource on another host",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels",
             Rels(Rel("required-resource", "http://host/x.png")));
     },
     nullptr, kBadData, "points outside the package", 4},
    {"resource behind percent-encoded dots",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels",
             Rels(Rel("required-resource", "%2e%2e/%2E%2E/Images/dot.png")));
     },
     nullptr, kBadData, "percent-encodes", 4},
    {"PageContent outside the package",
     [](auto& e) {
         Set(e, "Doc/1.fdoc",
             "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
             "Source=\"Pages/1.fpage\"/><PageContent Source=\"../../Doc/Pages/2.fpage\"/>"
             "</FixedDocument>");
     },
     nullptr, kBadData, "points outside the package", 4},
    {"resource that is a page",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels", Rels(Rel("required-resource", "1.fpage")));
     },
     nullptr, kBadData, "is a page", 4},
    {"missing DocumentReference",
     [](auto& e) {
         Set(e, "Job.fdseq",
             "<FixedDocumentSequence xmlns=\"http://schemas.microsoft.com/xps/2005/06\">"
             "<DocumentReference Source=\"Doc/1.fdoc\"/><DocumentReference "
             "Source=\"Doc/2.fdoc\"/></FixedDocumentSequence>");
     },
     nullptr, kMissing, "/Doc/2.fdoc", 5},
    {"repeated DocumentReference",
     [](auto& e) {
         Set(e, "Job.fdseq",
             "<FixedDocumentSequence xmlns=\"http://schemas.microsoft.com/xps/2005/06\">"
             "<DocumentReference Source=\"Doc/1.fdoc\"/><DocumentReference "
             "Source=\"/doc/1.FDOC\"/></FixedDocumentSequence>");
     },
     nullptr, kBadData, "referenced twice", 5},
    {"DocumentReference to the sequence itself",
     [](auto& e) {
         Set(e, "Job.fdseq",
             "<FixedDocumentSequence xmlns=\"http://schemas.microsoft.com/xps/2005/06\">"
             "<DocumentReference Source=\"Job.fdseq\"/></FixedDocumentSequence>");
     },
     nullptr, kBadData, "is not a FixedDocument", 2},
    {"missing PageContent",
     [](auto& e) {
         Set(e, "Doc/1.fdoc",
             "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
             "Source=\"Pages/1.fpage\"/><PageContent Source=\"Pages/9.fpage\"/></FixedDocument>");
     },
     nullptr, kMissing, "/Doc/Pages/9.fpage", 4},
    {"repeated PageContent",
     [](auto& e) {
         Set(e, "Doc/1.fdoc",
             "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
             "Source=\"Pages/1.fpage\"/><PageContent Source=\"Pages/1.fpage\"/></FixedDocument>");
     },
     nullptr, kBadData, "referenced twice", 4},
    {"ticket relationship to a missing part",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/1.fpage.rels", Rels(Rel("printticket", "/Tickets/None.xml")));
     },
     nullptr, kMissing, "/Tickets/None.xml", 3},
    {"two tickets on one page",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels",
             Rels(Rel("printticket", "/Tickets/Job.xml") + Rel("printticket", "/Tickets/Doc.xml")));
     },
     nullptr, kBadData, "more than one print ticket", 4},
    // Interleaved pieces.
    {"missing last piece",
     [](auto& e) {
         SetEntry(e, "Doc/Pages/2.fpage", nullptr);
         Set(e, "Doc/Pages/2.fpage/[0].piece", Page(0).substr(0, 20));
         Set(e, "Doc/Pages/2.fpage/[1].piece", Page(0).substr(20));
     },
     nullptr, kBadData, "misses its last piece", 4},
    {"gap in the pieces",
     [](auto& e) {
         SetEntry(e, "Doc/Pages/2.fpage", nullptr);
         Set(e, "Doc/Pages/2.fpage/[0].piece", Page(0).substr(0, 20));
         Set(e, "Doc/Pages/2.fpage/[2].last.piece", Page(0).substr(20));
     },
     nullptr, kBadData, "misses piece 1", 4},
    // Damaged ZIP structure.
    {"truncated central directory", nullptr, [](std::string& zip) { zip.resize(zip.size() - 30); },
     kBadData, "not a readable ZIP", kAtOpen},
    {"not a ZIP file at all", nullptr, [](std::string& zip) { zip = "%PDF-1.4 hello"; }, kBadData,
     "not a readable ZIP", kAtOpen},
    {"central directory past the end of the file", nullptr,
     [](std::string& zip) { PatchEnd(zip, 16, 0x7FFFFFF0); }, kBadData, "lies outside the file",
     kAtOpen},
    {"more entries than the central directory holds", nullptr,
     [](std::string& zip) { PatchEnd(zip, 8, 0xFFF0FFF0); }, kBadData, "cut short", kAtOpen},
    {"several disks", nullptr, [](std::string& zip) { PatchEnd(zip, 4, 1); }, kBadData,
     "spans several disks", kAtOpen},
    {"ZIP64 locator pointing nowhere", nullptr,
     [](std::string& zip) {
         const std::string locator("PK\x06\x07\0\0\0\0\xF0\xFF\xFF\x7F\0\0\0\0\x01\0\0\0", 20);
         zip.insert(zip.rfind("PK\x05\x06"), locator);
     },
     kBadData, "ZIP64 end of central directory record is missing", kAtOpen},
    {"local header offset past the entries", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Images/dot.png", 42, 0x7FFFFFF0); }, kBadData,
     "lies outside the file's entries", kAtOpen},
    {"local header naming another entry", nullptr,
     [](std::string& zip) { zip[zip.find("Doc/Pages/1.fpage") + 16] = 'X'; }, kBadData,
     "local header names another entry", 4, true},
    {"stored size running into the central directory", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 20, 0x10000000); }, kBadData,
     "runs past the entries of the file", 4, true},
    {"encrypted entry", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/2.fpage", 8, 1 | (8 << 16)); }, kBadData,
     "encrypted entries are not allowed", 4},
    {"unknown compression method", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 8, 12 << 16); }, kBadData,
     "compression method 12 is not supported", 4, true},
    {"declared size smaller than the content", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 24, 10); }, kBadData,
     "longer than the package declares", 4, true},
    {"declared size larger than the content", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 24, 5000); }, kBadData,
     "shorter than the package declares", 4, true},
    {"wrong CRC", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 16, 0x12345678); }, kBadData,
     "CRC", 4, true},
    // The same damage in a page too large to be inflated whole, read through zlib's stream.
    {"large page with a wrong CRC", [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(300000)); },
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 16, 0x12345678); }, kBadData,
     "CRC", 4, true},
    {"large page longer than declared", [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(300000)); },
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 24, 299000); }, kBadData,
     "longer than the package declares", 4, true},
    {"large page shorter than declared", [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(300000)); },
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 24, 400000); }, kBadData,
     "shorter than the package declares", 4, true},
    {"large page whose compressed data is cut short",
     [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(300000)); },
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/1.fpage", 20, 100); }, kBadData,
     "compressed data ends early", 4, true},
    {"large page whose compressed data is damaged",
     [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(300000)); },
     [](std::string& zip) { PatchFirstStoredByte(zip, "Doc/Pages/1.fpage", 0x07); }, kBadData,
     "compressed data is damaged", 4, true},
    // The same damage in a page's relationships part, which the reader reads whole.
    {"relationships with a wrong CRC", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 16, 0x12345678); },
     kBadData, "CRC", 4},
    {"relationships longer than declared", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 24, 10); }, kBadData,
     "longer than the package declares", 4},
    {"relationships shorter than declared", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 24, 5000); },
     kBadData, "shorter than the package declares", 4},
    {"relationships whose compressed data is cut short", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 20, 10); }, kBadData,
     "compressed data ends early", 4},
    {"relationships a byte longer than declared", nullptr,
     [](std::string& zip) {
         const std::string name = "Doc/Pages/_rels/2.fpage.rels";
         PatchCentral(zip, name, 24, CentralField(zip, name, 24) - 1);
     },
     kBadData, "longer than the package declares", 4},
    // A first block of the reserved type 3.
    {"relationships whose compressed data is damaged", nullptr,
     [](std::string& zip) { PatchFirstStoredByte(zip, "Doc/Pages/_rels/2.fpage.rels", 0x07); },
     kBadData, "compressed data is damaged", 4},
    {"relationships stored past the entries", nullptr,
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 20, 0x10000000); },
     kBadData, "runs past the entries of the file", 4},
    {"large relationships with a wrong CRC",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels",
             Rels(std::string(200000, ' ') + Rel("required-resource", "/Images/dot.png")));
     },
     [](std::string& zip) { PatchCentral(zip, "Doc/Pages/_rels/2.fpage.rels", 16, 0x12345678); },
     kBadData, "CRC", 4},
    {"large relationships not XML",
     [](auto& e) {
         Set(e, "Doc/Pages/_rels/2.fpage.rels", Rels(std::string(200000, ' ') + "<Relationship"));
     },
     nullptr, kBadData, "not well-formed XML", 4},
    {"relationships whose local header names another entry", nullptr,
     [](std::string& zip) { zip[zip.find("Doc/Pages/_rels/2.fpage.rels") + 20] = 'X'; }, kBadData,
     "local header names another entry", 4},
    // Decompression bombs, bounded by ratio, by part and by job.
    {"ratio bomb", [](auto& e) { Set(e, "Doc/Pages/1.fpage", Page(4 << 20)); }, nullptr, kTooLarge,
     "decompression bomb", 4, true, Limits(1ull << 30, 1ull << 34, 100, 1 << 16)},
    {"part over the size bound", [](auto& e) { Set(e, "Doc/Pages/2.fpage", Page(1 << 20)); },
     nullptr, kTooLarge, "more than a part may hold", 5, true,
     Limits(1 << 19, 1ull << 34, 2000, 1ull << 30)},
    {"job over the size bound", nullptr, nullptr, kTooLarge, "the job inflates to more", 2, false,
     Limits(1 << 20, 1500, 1000, 1 << 20)},
    // Markup that is not XML, or not what it must be.
    {"sequence not XML", [](auto& e) { Set(e, "Job.fdseq", "<FixedDocumentSequence"); }, nullptr,
     kBadData, "not well-formed XML", 1},
    {"document not XML", [](auto& e) { Set(e, "Doc/1.fdoc", "\x01\x02 binary"); }, nullptr,
     kBadData, "not well-formed XML", 2},
    {"document cut off after its first page",
     [](auto& e) {
         Set(e, "Doc/1.fdoc",
             "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
             "Source=\"Pages/1.fpage\"/><PageContent Source=\"Pages/2");
     },
     nullptr, kBadData, "not well-formed XML", 4},
    {"page relationships not XML",
     [](auto& e) { Set(e, "Doc/Pages/_rels/2.fpage.rels", Rels(Rel("link", "x")).substr(0, 150)); },
     nullptr, kBadData, "not well-formed XML", 4},
    {"content types not XML", [](auto& e) { Set(e, "[Content_Types].xml", "{}"); }, nullptr,
     kBadData, "not well-formed XML", kAtOpen},
    {"document type declaration",
     [](auto& e) {
         Set(e, "Job.fdseq",
             "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><FixedDocumentSequence "
             "xmlns=\"http://schemas.microsoft.com/xps/2005/06\">&e;</FixedDocumentSequence>");
     },
     nullptr, kBadData, "document type declaration", 1},
    {"no content types", [](auto& e) { SetEntry(e, "[Content_Types].xml", nullptr); }, nullptr,
     kBadData, "no [Content_Types].xml", kAtOpen},
    {"no start part", [](auto& e) { Set(e, "_rels/.rels", Rels("")); }, nullptr, kBadData,
     "not an XPS document", kAtOpen},
};

class HostilePackages : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostilePackages, FailWithAClearErrorAfterThePartsBeforeTheDamage) {
    const HostileCase& test = GetParam();
    TempDir dir;
    std::vector<Entry> entries = SmallJob();
    if (test.edit) {
        test.edit(entries);
    }
    const std::string path = dir.Path("job.xps");
    WriteZip(path, entries);
    if (test.damage) {
        std::string bytes = ReadFile(path);
        test.damage(bytes);
        WriteFile(path, bytes);
    }

    // With whole part name keys, and with all of them colliding, when the names alone must tell
    // duplicates and loops from distinct parts; each with page relationships read ahead and not.
    for (const unsigned keyBits : {64u, 0u}) {
        for (const ReadAhead& readAhead : kReadAheads) {
            SCOPED_TRACE(std::to_string(keyBits) + " key bits, read-ahead " + readAhead.name);
            platformtest::PartNameKeyBits keys(keyBits);
            const XpsPackageLimits limits =
                WithReadAhead(readAhead, test.limits ? &*test.limits : nullptr);
            ATL::CComPtr<IXpsDocumentProvider> reader;
            const HRESULT opened = XpsOpenPackageReader(path.c_str(), &limits, &reader);
            std::string message;
            if (test.partsBefore == kAtOpen) {
                EXPECT_EQ(test.expected, opened);
                EXPECT_EQ(nullptr, reader.p);
                ATL::CComBSTR text;
                ASSERT_EQ(S_OK, XpsGetLastOpenErrorText(&text));
                message = Narrow(text);
            } else {
                ASSERT_EQ(S_OK, opened);
                const Walk walk = WalkReader(reader, /*readStreams=*/true);
                EXPECT_EQ(test.expected, walk.result);
                EXPECT_EQ(test.partsBefore, walk.parts.size())
                    << ::testing::PrintToString(walk.parts);
                message = walk.message;
                ATL::CComPtr<IUnknown> after;
                if (test.inStream) {
                    EXPECT_NE(std::string::npos, walk.parts.back().find("(unreadable)"));
                } else {
                    // The walk stays stopped at the damage.
                    EXPECT_EQ(test.expected, reader->GetXpsPart(&after));
                }
            }
            EXPECT_NE(std::string::npos, message.find(test.message)) << message;
            EXPECT_EQ(std::string::npos, message.find('\n')) << message;
        }
    }
    EXPECT_EQ(std::vector<std::string>{"job.xps"}, dir.Names()); // nothing written beside it
}

INSTANTIATE_TEST_SUITE_P(Table, HostilePackages, ::testing::ValuesIn(kCases),
                         NamedByField<HostileCase>);

} // namespace
