// The package writer: parts written as they are sent, unchanged parts copied as stored,
// shared resources written once, the flavour kept, and no output unless the job closes.
#include "xpstest.h"

#include <platformtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <utility>

using namespace xpstest;

namespace {

ATL::CComPtr<IXpsDocumentConsumer> Create(const std::string& path) {
    ATL::CComPtr<IXpsDocumentConsumer> writer;
    EXPECT_EQ(S_OK, XpsCreatePackageWriter(path.c_str(), &writer)) << path;
    return writer;
}

// Copies in to out part by part; edit may change each page before it is sent.
void Copy(const std::string& in, const std::string& out,
          const std::function<void(IXpsDocumentConsumer*, IFixedPage*)>& edit = nullptr,
          const XpsPackageLimits* limits = nullptr) {
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(in, limits);
    ATL::CComPtr<IXpsDocumentConsumer> writer = Create(out);
    ASSERT_TRUE(reader && writer);
    while (true) {
        ATL::CComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
        if (!part) {
            break;
        }
        ATL::CComPtr<IFixedPage> page;
        if (edit && SUCCEEDED(part->QueryInterface(&page))) {
            edit(writer, page);
        }
        ASSERT_EQ(S_OK, XpsSendPart(writer, part));
    }
    ASSERT_EQ(S_OK, writer->CloseSender());
}

std::map<std::string, StoredEntry> ByName(const std::vector<StoredEntry>& entries) {
    std::map<std::string, StoredEntry> byName;
    for (const StoredEntry& entry : entries) {
        EXPECT_TRUE(byName.emplace(entry.name, entry).second) << entry.name << " written twice";
    }
    return byName;
}

TEST(XpsWriter, CopiesUnchangedPartsAsStoredAndSharedResourcesOnce) {
    for (const char* arguments : {"--documents 2 --pages 3 --lines 3 --page-tickets every",
                                  "--pages 2 --lines 3 --pieces 3 --store"}) {
        for (const ReadAhead& readAhead : kReadAheads) {
            SCOPED_TRACE(std::string(arguments) + ", read-ahead " + readAhead.name);
            TempDir dir;
            MakeJob(dir.Path("in.xps"), arguments);
            const XpsPackageLimits limits = WithReadAhead(readAhead);
            Copy(dir.Path("in.xps"), dir.Path("out.xps"), nullptr, &limits);
            const auto in = ByName(ListZip(dir.Path("in.xps")));
            const auto out = ByName(ListZip(dir.Path("out.xps")));
            for (const auto& [name, entry] : in) {
                if (name == "[Content_Types].xml") {
                    continue; // the writer's own
                }
                auto copied = out.find(name);
                ASSERT_NE(out.end(), copied) << name;
                // The same stored bytes: never inflated and deflated again.
                EXPECT_EQ(entry.method, copied->second.method) << name;
                EXPECT_EQ(entry.storedSize, copied->second.storedSize) << name;
                EXPECT_EQ(entry.crc, copied->second.crc) << name;
            }
            EXPECT_EQ(in.size(), out.size());
            EXPECT_EQ(1, std::count_if(out.begin(), out.end(), [](const auto& e) {
                          return e.first.find("Font0.ttf") != std::string::npos;
                      }));
            EXPECT_EQ(std::vector<std::string>({"in.xps", "out.xps"}), dir.Names());
        }
    }
}

TEST(XpsWriter, KeepsTheFlavourItWasGiven) {
    for (const bool openXps : {false, true}) {
        SCOPED_TRACE(openXps);
        TempDir dir;
        WriteZip(dir.Path("in.xps"), SmallJob(openXps));
        Copy(dir.Path("in.xps"), dir.Path("out.xps"));
        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("out.xps"));
        XpsFlavour flavour;
        ASSERT_EQ(S_OK, XpsGetReaderFlavour(reader, &flavour));
        EXPECT_EQ(openXps ? XpsFlavour_OpenXps : XpsFlavour_MicrosoftXps, flavour);
        const std::string markup = ZipContent(dir.Path("out.xps"), "Doc/1.fdoc");
        const std::string other = openXps ? "schemas.microsoft.com/xps" : "schemas.openxps.org";
        EXPECT_EQ(std::string::npos, markup.find(other)) << markup;
        EXPECT_EQ(std::string::npos, ZipContent(dir.Path("out.xps"), "_rels/.rels").find(other));
        // The page sizes of the document's references travel too.
        EXPECT_NE(std::string::npos,
                  markup.find("<PageContent Source=\"Pages/1.fpage\" Width=\"96\" Height=\"96\"/>"))
            << markup;
        const Walk walk = WalkReader(reader, /*readStreams=*/true);
        EXPECT_EQ(S_OK, walk.result) << walk.message;
        EXPECT_EQ(5u, walk.parts.size());
    }
}

TEST(XpsWriter, WritesNewPartsChangedMarkupAndCompressionChoices) {
    TempDir dir;
    WriteZip(dir.Path("in.xps"), SmallJob());
    const std::string ticketText =
        "<psf:PrintTicket xmlns:psf=\"http://schemas.microsoft.com/"
        "windows/2003/08/printing/printschemaframework\" version=\"1\"/>";
    int pages = 0;
    Copy(dir.Path("in.xps"), dir.Path("out.xps"),
         [&](IXpsDocumentConsumer* writer, IFixedPage* page) {
             if (++pages == 1) {
                 // New markup, stored uncompressed.
                 ATL::CComPtr<IPrintWriteStream> stream;
                 ASSERT_EQ(S_OK, page->GetWriteStream(&stream));
                 const std::string markup =
                     "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/06\" Width=\"96\" "
                     "Height=\"96\"/>";
                 ULONG written = 0;
                 ASSERT_EQ(S_OK, stream->WriteBytes(markup.data(),
                                                    static_cast<ULONG>(markup.size()), &written));
                 stream->Close();
                 ASSERT_EQ(S_OK, page->SetPartCompression(Compression_NotCompressed));
                 return;
             }
             // A new ticket for the second page, made by the writer.
             ATL::CComPtr<IPartPrintTicket> ticket;
             ATL::CComPtr<IPrintWriteStream> stream;
             EXPECT_EQ(E_INVALIDARG,
                       writer->GetNewEmptyPart(u"../bad", IID_IPartPrintTicket,
                                               reinterpret_cast<void**>(&ticket), &stream));
             ASSERT_EQ(S_OK, writer->GetNewEmptyPart(u"/Tickets/Page2.xml", IID_IPartPrintTicket,
                                                     reinterpret_cast<void**>(&ticket), &stream));
             ULONG written = 0;
             ASSERT_EQ(S_OK, stream->WriteBytes(ticketText.data(),
                                                static_cast<ULONG>(ticketText.size()), &written));
             stream->Close();
             ASSERT_EQ(S_OK, page->SetPrintTicket(ticket));
             ASSERT_EQ(S_OK, page->DeleteResource(u"/Images/dot.png"));
         });

    const auto out = ByName(ListZip(dir.Path("out.xps")));
    EXPECT_EQ(0, out.at("Doc/Pages/1.fpage").method);
    EXPECT_EQ(ticketText, ZipContent(dir.Path("out.xps"), "Tickets/Page2.xml"));
    const std::string rels = ZipContent(dir.Path("out.xps"), "Doc/Pages/_rels/2.fpage.rels");
    EXPECT_NE(std::string::npos, rels.find("/Tickets/Page2.xml"));
    EXPECT_EQ(std::string::npos, rels.find("dot.png"));
    const std::string types = ZipContent(dir.Path("out.xps"), "[Content_Types].xml");
    EXPECT_NE(std::string::npos, types.find("application/vnd.ms-printing.printticket+xml"));
    const Walk walk = WalkReader(Open(dir.Path("out.xps")), /*readStreams=*/true);
    EXPECT_EQ(S_OK, walk.result) << walk.message;
}

TEST(XpsWriter, LeavesNoFileWhenTheJobFailsOrIsAbandoned) {
    TempDir dir;
    WriteZip(dir.Path("in.xps"), SmallJob());
    WriteFile(dir.Path("kept.xps"), "the old job");
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        for (const char* target : {"new.xps", "kept.xps"}) {
            ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("in.xps"));
            ATL::CComPtr<IXpsDocumentConsumer> writer = Create(dir.Path(target));
            for (int i = 0; i < 4; ++i) { // the document, the sequence, a document, a page
                ATL::CComPtr<IUnknown> part;
                ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
                ASSERT_EQ(S_OK, XpsSendPart(writer, part));
            }
            if (fail) {
                // A page before its document is refused and kills the job.
                ATL::CComPtr<IXpsDocumentConsumer> other = Create(dir.Path("other.xps"));
                ATL::CComPtr<IUnknown> page;
                ASSERT_EQ(S_OK, reader->GetXpsPart(&page));
                ATL::CComPtr<IFixedPage> asPage;
                ASSERT_EQ(S_OK, page->QueryInterface(&asPage));
                EXPECT_EQ(E_UNEXPECTED, other->SendFixedPage(asPage));
                EXPECT_EQ(E_UNEXPECTED, other->CloseSender());
                // The same page twice breaks the package.
                ASSERT_EQ(S_OK, writer->SendFixedPage(asPage));
                EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), writer->SendFixedPage(asPage));
                EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), writer->CloseSender());
            }
        }
        EXPECT_EQ(std::vector<std::string>({"in.xps", "kept.xps"}), dir.Names());
        EXPECT_EQ("the old job", ReadFile(dir.Path("kept.xps")));
    }
}

TEST(XpsWriter, WritesThroughLinksAndRefusesWhatIsNoFile) {
    TempDir dir;
    WriteZip(dir.Path("in.xps"), SmallJob());
    std::filesystem::create_directory(dir.Path("real"));
    WriteFile(dir.Path("real/job.xps"), "old");
    std::filesystem::create_symlink("real/job.xps", dir.Path("link.xps"));
    Copy(dir.Path("in.xps"), dir.Path("link.xps"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.xps")));
    EXPECT_EQ(5u, WalkReader(Open(dir.Path("real/job.xps"))).parts.size());
    EXPECT_EQ(std::vector<std::string>({"job.xps"}), [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path("real"))) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }());

    ASSERT_EQ(0, mkfifo(dir.Path("fifo").c_str(), 0600));
    for (const std::string& target :
         {dir.Path("fifo"), std::string("/dev/zero"), dir.Path("real"), dir.Path("none/job.xps")}) {
        SCOPED_TRACE(target);
        ATL::CComPtr<IXpsDocumentConsumer> writer;
        EXPECT_TRUE(FAILED(XpsCreatePackageWriter(target.c_str(), &writer)));
        EXPECT_EQ(nullptr, writer.p);
        ATL::CComBSTR text;
        ASSERT_EQ(S_OK, XpsGetLastOpenErrorText(&text));
        EXPECT_NE(std::string::npos, Narrow(text).find(target)) << Narrow(text);
    }
}

TEST(XpsWriter, ReadsAndWritesTheSameFile) {
    TempDir dir;
    MakeJob(dir.Path("job.xps"), "--pages 3 --lines 2");
    const Walk before = WalkReader(Open(dir.Path("job.xps")), true);
    Copy(dir.Path("job.xps"), dir.Path("job.xps"));
    const Walk after = WalkReader(Open(dir.Path("job.xps")), true);
    EXPECT_EQ(S_OK, after.result) << after.message;
    EXPECT_EQ(before.parts, after.parts);
    EXPECT_EQ(std::vector<std::string>{"job.xps"}, dir.Names());
}

} // namespace

namespace {

TEST(XpsWriter, CarriesRelationshipsTheInterfacesDoNotShow) {
    // Core properties of the package, a hyperlink of the sequence, the document structure of
    // the document and a story fragment of each page: none has an interface, all must survive.
    auto entries = SmallJob();
    const std::string pkg = "http://schemas.openxmlformats.org/package/2006/relationships";
    const std::string xps = "http://schemas.microsoft.com/xps/2005/06/";
    auto rels = [&](const std::string& body) {
        return "<Relationships xmlns=\"" + pkg + "\">" + body + "</Relationships>";
    };
    auto rel = [](const std::string& type, const std::string& target, const char* mode = "") {
        return "<Relationship Id=\"C\" Type=\"" + type + "\" Target=\"" + target + "\"" + mode +
               "/>";
    };
    SetEntry(entries, "_rels/.rels",
             rels(rel(xps + "fixedrepresentation", "/Job.fdseq") +
                  rel(pkg + "/metadata/core-properties", "/docProps/core.xml"))
                 .c_str());
    SetEntry(entries, "_rels/Job.fdseq.rels",
             rels(rel(xps + "printticket", "/Tickets/Job.xml") +
                  rel(xps + "link", "https://example.org/", " TargetMode=\"External\""))
                 .c_str());
    SetEntry(entries, "Doc/_rels/1.fdoc.rels",
             rels(rel(xps + "printticket", "/Tickets/Doc.xml") +
                  rel(xps + "documentstructure", "Structure/Doc.struct"))
                 .c_str());
    for (const char* page : {"1", "2"}) {
        SetEntry(entries, std::string("Doc/Pages/_rels/") + page + ".fpage.rels",
                 rels(rel(xps + "required-resource", "/Images/dot.png") +
                      rel(xps + "storyfragments",
                          "/Doc/Structure/Fragments/" + std::string(page) + ".frag"))
                     .c_str());
        SetEntry(entries, std::string("Doc/Structure/Fragments/") + page + ".frag",
                 "<StoryFragments/>");
    }
    SetEntry(entries, "docProps/core.xml", "<coreProperties>job</coreProperties>");
    SetEntry(entries, "Doc/Structure/Doc.struct", "<DocumentStructure/>");
    entries[0].bytes.insert(
        entries[0].bytes.size() - 8,
        "<Default Extension=\"frag\" ContentType=\"application/"
        "vnd.ms-package.xps-storyfragments+xml\"/><Default Extension=\"struct\" "
        "ContentType=\"application/vnd.ms-package.xps-documentstructure+xml\"/>"
        "<Override PartName=\"/docProps/core.xml\" ContentType=\"application/"
        "vnd.openxmlformats-package.core-properties+xml\"/>");
    TempDir dir;
    WriteZip(dir.Path("in.xps"), entries);
    int pages = 0;
    Copy(dir.Path("in.xps"), dir.Path("out.xps"), [&](IXpsDocumentConsumer*, IFixedPage* page) {
        if (++pages == 2) {
            ASSERT_EQ(S_OK, page->SetPrintTicket(nullptr)); // these relationships are made anew
        }
    });

    const std::string out = dir.Path("out.xps");
    EXPECT_EQ("<coreProperties>job</coreProperties>", ZipContent(out, "docProps/core.xml"));
    EXPECT_EQ("<DocumentStructure/>", ZipContent(out, "Doc/Structure/Doc.struct"));
    EXPECT_EQ("<StoryFragments/>", ZipContent(out, "Doc/Structure/Fragments/2.frag"));
    EXPECT_NE(std::string::npos, ZipContent(out, "_rels/.rels").find("/docProps/core.xml"));
    EXPECT_NE(std::string::npos, ZipContent(out, "_rels/Job.fdseq.rels")
                                     .find("Target=\"https://example.org/\" "
                                           "TargetMode=\"External\""));
    // As stored, relative to the document; made anew, absolute.
    EXPECT_NE(std::string::npos,
              ZipContent(out, "Doc/_rels/1.fdoc.rels").find("Structure/Doc.struct\""));
    for (const char* page : {"1", "2"}) {
        EXPECT_NE(std::string::npos,
                  ZipContent(out, std::string("Doc/Pages/_rels/") + page + ".fpage.rels")
                      .find(std::string("/Doc/Structure/Fragments/") + page + ".frag"));
    }
    EXPECT_NE(std::string::npos, ZipContent(out, "[Content_Types].xml")
                                     .find("application/vnd.ms-package.xps-storyfragments+xml"));
    const Walk walk = WalkReader(Open(out), /*readStreams=*/true);
    EXPECT_EQ(S_OK, walk.result) << walk.message;
}

} // namespace

namespace {

// A part made by the writer, its content text, with the stream it was written through.
struct NewPart {
    ATL::CComPtr<IUnknown> part;
    ATL::CComPtr<IPrintWriteStream> stream;
};

NewPart MakeNewPart(IXpsDocumentConsumer* writer, const char16_t* uri, REFIID iid,
                    const std::string& text) {
    NewPart made;
    EXPECT_EQ(S_OK, writer->GetNewEmptyPart(uri, iid, reinterpret_cast<void**>(&made.part),
                                            &made.stream));
    ULONG written = 0;
    EXPECT_EQ(S_OK,
              made.stream->WriteBytes(text.data(), static_cast<ULONG>(text.size()), &written));
    return made;
}

template <class Interface>
ATL::CComPtr<Interface> As(IUnknown* part) {
    ATL::CComPtr<Interface> typed;
    EXPECT_EQ(S_OK, part->QueryInterface(&typed));
    return typed;
}

constexpr HRESULT kNameTaken = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
const std::string kPng("\x89PNG\r\n\x1a\n not really a picture", 29);

// What a page edit may keep from one page to the next.
struct Kept {
    NewPart made;
    ATL::CComPtr<IUnknown> resource;
};

struct SharedNameCase {
    const char* name;
    // Changes page 1 or 2 of SmallJob before it is sent.
    std::function<void(IXpsDocumentConsumer*, IFixedPage*, int page, Kept&)> edit;
    HRESULT expected;
    const char* entry;   // when the job is written: an entry to read back
    std::string content; // and its content
};

const SharedNameCase kSharedNames[] = {
    {"the reader's objects for one entry, named by two pages",
     [](IXpsDocumentConsumer*, IFixedPage*, int, Kept&) {}, S_OK, "Images/dot.png", kPng},
    {"one part object sent with two pages",
     [](IXpsDocumentConsumer*, IFixedPage* page, int number, Kept& kept) {
         if (number == 1) {
             ASSERT_EQ(S_OK, page->GetPagePart(u"/Images/dot.png", &kept.resource));
         } else {
             ASSERT_EQ(S_OK, page->SetPagePart(kept.resource));
         }
     },
     S_OK, "Images/dot.png", kPng},
    {"the reader's part sent recompressed with one page",
     [](IXpsDocumentConsumer*, IFixedPage* page, int number, Kept&) {
         ATL::CComPtr<IUnknown> dot;
         ASSERT_EQ(S_OK, page->GetPagePart(u"/Images/dot.png", &dot));
         ASSERT_EQ(S_OK, As<IPartBase>(dot)->SetPartCompression(
                             number == 2 ? Compression_Fast : Compression_NotCompressed));
     },
     S_OK, "Images/dot.png", kPng},
    {"a new part shared by two pages",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept& kept) {
         if (number == 1) {
             kept.made = MakeNewPart(writer, u"/Tickets/New.xml", IID_IPartPrintTicket, "<new/>");
             kept.made.stream->Close();
         }
         ASSERT_EQ(S_OK, page->SetPrintTicket(As<IPartPrintTicket>(kept.made.part)));
     },
     S_OK, "Tickets/New.xml", "<new/>"},
    {"a ticket rewritten under its own name before it was written",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept&) {
         if (number == 1) {
             NewPart made =
                 MakeNewPart(writer, u"/Tickets/Page1.xml", IID_IPartPrintTicket, "<edited/>");
             ASSERT_EQ(S_OK, page->SetPrintTicket(As<IPartPrintTicket>(made.part)));
         }
     },
     S_OK, "Tickets/Page1.xml", "<edited/>"},
    {"a ticket rewritten under the name the job's ticket still uses",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept&) {
         if (number == 2) {
             NewPart made =
                 MakeNewPart(writer, u"/Tickets/Job.xml", IID_IPartPrintTicket, "<edited/>");
             ASSERT_EQ(S_OK, page->SetPrintTicket(As<IPartPrintTicket>(made.part)));
         }
     },
     kNameTaken, nullptr, ""},
    {"new content under a resource's name in other case",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept&) {
         if (number == 2) {
             NewPart made = MakeNewPart(writer, u"/IMAGES/Dot.png", IID_IPartImage, "other");
             ASSERT_EQ(S_OK, page->DeleteResource(u"/Images/dot.png"));
             ASSERT_EQ(S_OK, page->SetPagePart(made.part));
         }
     },
     kNameTaken, nullptr, ""},
    {"a resource under the name of a page",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept&) {
         if (number == 2) {
             NewPart made = MakeNewPart(writer, u"/Doc/Pages/1.fpage", IID_IPartBase, "x");
             ASSERT_EQ(S_OK, page->SetPagePart(made.part));
         }
     },
     kNameTaken, nullptr, ""},
    {"a new part written to again after it was sent",
     [](IXpsDocumentConsumer* writer, IFixedPage* page, int number, Kept& kept) {
         if (number == 1) {
             kept.made = MakeNewPart(writer, u"/Tickets/New.xml", IID_IPartPrintTicket, "<a/>");
         } else {
             ULONG written = 0;
             ASSERT_EQ(S_OK, kept.made.stream->WriteBytes("<b/>", 4, &written));
         }
         ASSERT_EQ(S_OK, page->SetPrintTicket(As<IPartPrintTicket>(kept.made.part)));
     },
     kNameTaken, nullptr, ""},
};

void PrintTo(const SharedNameCase& test, std::ostream* out) {
    *out << test.name;
}

class SharedNames : public ::testing::TestWithParam<SharedNameCase> {};

TEST_P(SharedNames, AreOnePartWrittenOnceOrARefusedJob) {
    const SharedNameCase& test = GetParam();
    TempDir dir;
    WriteZip(dir.Path("in.xps"), SmallJob());
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("in.xps"));
    ATL::CComPtr<IXpsDocumentConsumer> writer = Create(dir.Path("out.xps"));
    ASSERT_TRUE(reader && writer);
    Kept kept;
    int pages = 0;
    HRESULT hr = S_OK;
    while (SUCCEEDED(hr)) {
        ATL::CComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
        if (!part) {
            hr = writer->CloseSender();
            break;
        }
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            test.edit(writer, page, ++pages, kept);
        }
        hr = XpsSendPart(writer, part);
    }
    EXPECT_EQ(test.expected, hr);
    if (FAILED(test.expected)) {
        ATL::CComBSTR text;
        ASSERT_EQ(S_OK, As<IXpsPackageStatus>(writer)->GetLastErrorText(&text));
        EXPECT_NE(std::string::npos, Narrow(text).find("was written already")) << Narrow(text);
        EXPECT_EQ(test.expected, writer->CloseSender()); // the job stays failed
        EXPECT_EQ(std::vector<std::string>{"in.xps"}, dir.Names());
        return;
    }
    const std::string out = dir.Path("out.xps");
    EXPECT_EQ(test.content, ZipContent(out, test.entry));
    ByName(ListZip(out)); // fails on a name written twice
    const Walk walk = WalkReader(Open(out), /*readStreams=*/true);
    EXPECT_EQ(S_OK, walk.result) << walk.message;
}

INSTANTIATE_TEST_SUITE_P(Table, SharedNames, ::testing::ValuesIn(kSharedNames),
                         NamedByField<SharedNameCase>);

} // namespace

namespace {

// Part names are found by 64-bit keys that anyone can make collide; with every key the same,
// the names alone must keep parts apart: pages in pieces, shared fonts, tickets on every page.
TEST(XpsWriter, CopiesAJobAlikeWhenAllPartNameKeysCollide) {
    TempDir dir;
    MakeJob(dir.Path("in.xps"),
            "--documents 2 --pages 3 --lines 2 --page-tickets every --pieces 3");
    const Walk in = WalkReader(Open(dir.Path("in.xps")), /*readStreams=*/true);
    ASSERT_NO_FATAL_FAILURE(Copy(dir.Path("in.xps"), dir.Path("whole.xps")));
    {
        platformtest::PartNameKeyBits keys(0);
        ASSERT_NO_FATAL_FAILURE(Copy(dir.Path("in.xps"), dir.Path("collided.xps")));
        const Walk out = WalkReader(Open(dir.Path("collided.xps")), /*readStreams=*/true);
        EXPECT_EQ(S_OK, out.result) << out.message;
        EXPECT_EQ(in.parts, out.parts);
    }
    const auto whole = ByName(ListZip(dir.Path("whole.xps")));
    const auto collided = ByName(ListZip(dir.Path("collided.xps")));
    ASSERT_EQ(whole.size(), collided.size());
    for (const auto& [name, entry] : whole) {
        auto same = collided.find(name);
        ASSERT_NE(collided.end(), same) << name;
        EXPECT_EQ(entry.crc, same->second.crc) << name;
        EXPECT_EQ(entry.fullSize, same->second.fullSize) << name;
    }
}

} // namespace

namespace {

// The smallest bytes that state a font's embedding permission: an sfnt header, one table
// record, and an OS/2 table that ends after its fsType.
std::string FontStating(uint16_t fsType) {
    std::string font("\x00\x01\x00\x00\x00\x01\x00\x10\x00\x00\x00\x00", 12);
    font += std::string("OS/2\x00\x00\x00\x00\x00\x00\x00\x1C\x00\x00\x00\x0A", 16);
    font += std::string(8, '\0');
    font += static_cast<char>(fsType >> 8);
    font += static_cast<char>(fsType & 0xFF);
    return font;
}

// The package format's font obfuscation: the first 32 bytes XORed with the GUID of the name,
// its bytes taken backwards.
std::string Obfuscated(std::string font, const std::string& guidDigits) {
    unsigned char key[16];
    for (size_t i = 0; i < 16; ++i) {
        key[i] = static_cast<unsigned char>(std::stoi(guidDigits.substr(2 * i, 2), nullptr, 16));
    }
    for (size_t i = 0; i < 32 && i < font.size(); ++i) {
        font[i] = static_cast<char>(font[i] ^ key[15 - i % 16]);
    }
    return font;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::string Naming(const char* type, const std::string& font) {
    return std::string("/xps/2005/06/") + type + "\" Target=\"" + font + "\"";
}

// The restriction a filter reads of the font uri on the first page of a job.
HRESULT RestrictionOnFirstPage(IXpsDocumentProvider* reader, const char16_t* uri,
                               EXpsFontRestriction* restriction) {
    while (true) {
        ATL::CComPtr<IUnknown> part;
        if (FAILED(reader->GetXpsPart(&part)) || !part) {
            return E_UNEXPECTED;
        }
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            ATL::CComPtr<IUnknown> resource;
            ATL::CComPtr<IPartFont2> font;
            if (FAILED(page->GetPagePart(uri, &resource)) ||
                FAILED(resource->QueryInterface(&font))) {
                return E_NOINTERFACE;
            }
            return font->GetFontRestriction(restriction);
        }
    }
}

constexpr char kObfuscatedKey[] = "6E8C1C4A9D2B4F3E8A712C5B9E0D3F64";

// Restricted fonts (print and preview embedding) as the package format names them: by a
// restricted-font relationship from the fixed document, beside the required-resource
// relationship of each page that uses them. A font the package read is restricted when the
// package named it so (from its document, or, tolerated, from a page); a font a filter writes
// says it in its bytes. IPartFont2 reads the restriction back.
TEST(XpsWriter, NamesRestrictedFontsFromTheirDocument) {
    const char* pageRels = "Doc/Pages/_rels/1.fpage.rels";
    struct Case {
        const char* name;
        uint16_t fsType;
        const char* documentNames; // the input document's relationship to /Fonts/f.ttf, or null
        const char* pageNames;     // the input first page's relationship to /Fonts/f.ttf, or null
        bool newObfuscatedFont;    // the filter adds a font of fsType to the first page instead
        EXpsFontRestriction restriction;
        size_t namedFromDocument; // in the output
    };
    const Case cases[] = {
        {"named by its document", 0, "restricted-font", "required-resource", false,
         Xps_Restricted_Font_PreviewPrint, 1},
        {"named by a page", 0, nullptr, "restricted-font", false, Xps_Restricted_Font_PreviewPrint,
         1},
        // What the package read said stands: a font it did not name restricted stays unnamed.
        {"print and preview in its bytes alone", 4, nullptr, "required-resource", false,
         Xps_Restricted_Font_PreviewPrint, 0},
        {"a new font for print and preview", 4, nullptr, nullptr, true,
         Xps_Restricted_Font_PreviewPrint, 1},
        {"a new font for bitmaps only", 0x0204, nullptr, nullptr, true,
         Xps_Restricted_Font_NoEmbedding, 0},
        {"a new editable font", 0x000C, nullptr, nullptr, true, Xps_Restricted_Font_Editable, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<Entry> entries = SmallJob();
        const std::string font = c.newObfuscatedFont
                                     ? "/Fonts/6E8C1C4A-9D2B-4F3E-8A71-2C5B9E0D3F64.odttf"
                                     : "/Fonts/f.ttf";
        const std::u16string uri(font.begin(), font.end());
        auto relationship = [](const std::string& type, const std::string& target) {
            return "<Relationship Id=\"F1\" Type=\"http://schemas.microsoft.com/xps/2005/06/" +
                   type + "\" Target=\"" + target + "\"/>";
        };
        auto add = [&](const std::string& name, const std::string& relationships) {
            for (Entry& entry : entries) {
                if (entry.name == name) {
                    entry.bytes.insert(entry.bytes.find("</Relationships>"), relationships);
                }
            }
        };
        if (!c.newObfuscatedFont) {
            for (Entry& entry : entries) {
                if (entry.name == "[Content_Types].xml") {
                    entry.bytes.insert(entry.bytes.find("</Types>"),
                                       "<Default Extension=\"ttf\" "
                                       "ContentType=\"application/vnd.ms-opentype\"/>");
                }
            }
            entries.push_back({"Fonts/f.ttf", FontStating(c.fsType)});
            if (c.documentNames) {
                add("Doc/_rels/1.fdoc.rels", relationship(c.documentNames, font));
            }
            add(pageRels, relationship(c.pageNames, font));
        }
        WriteZip(dir.Path("in.xps"), entries);

        bool first = true;
        ASSERT_NO_FATAL_FAILURE(Copy(
            dir.Path("in.xps"), dir.Path("out.xps"),
            [&](IXpsDocumentConsumer* writer, IFixedPage* page) {
                if (!std::exchange(first, false)) {
                    return;
                }
                if (c.newObfuscatedFont) {
                    NewPart made = MakeNewPart(writer, uri.c_str(), IID_IPartFont,
                                               Obfuscated(FontStating(c.fsType), kObfuscatedKey));
                    ATL::CComPtr<IPartFont> madeFont = As<IPartFont>(made.part);
                    ASSERT_EQ(S_OK, madeFont->SetFontContent(
                                        u"application/vnd.ms-package.obfuscated-opentype"));
                    ASSERT_EQ(S_OK, madeFont->SetFontOptions(Font_Obfuscate));
                    ASSERT_EQ(S_OK, page->SetPagePart(made.part));
                } else if (!c.documentNames) {
                    // The page's relationships are written anew rather than copied as stored.
                    ASSERT_EQ(S_OK, page->DeleteResource(u"/Images/dot.png"));
                }
                ATL::CComPtr<IUnknown> resource;
                ASSERT_EQ(S_OK, page->GetPagePart(uri.c_str(), &resource));
                EXpsFontRestriction restriction = Xps_Restricted_Font_Installable;
                EXPECT_EQ(S_OK, As<IPartFont2>(resource)->GetFontRestriction(&restriction));
                EXPECT_EQ(c.restriction, restriction);
                EXPECT_EQ(E_POINTER, As<IPartFont2>(resource)->GetFontRestriction(nullptr));
            }));
        EXPECT_FALSE(first) << "no page came";

        const std::string documentRels = ZipContent(dir.Path("out.xps"), "Doc/_rels/1.fdoc.rels");
        EXPECT_EQ(c.namedFromDocument, Count(documentRels, Naming("restricted-font", font)))
            << documentRels;
        // The page names it as a required resource, never as a restricted font.
        const std::string firstPage = ZipContent(dir.Path("out.xps"), pageRels);
        EXPECT_EQ(1u, Count(firstPage, Naming("required-resource", font))) << firstPage;
        EXPECT_EQ(0u, Count(firstPage, Naming("restricted-font", font))) << firstPage;

        // Read again, the font says the same.
        EXpsFontRestriction again = Xps_Restricted_Font_Installable;
        EXPECT_EQ(S_OK, RestrictionOnFirstPage(Open(dir.Path("out.xps")), uri.c_str(), &again));
        EXPECT_EQ(c.restriction, again);
    }
}

TEST(XpsWriter, AFontPartOfNoFontBytesStatesNoRestriction) {
    TempDir dir;
    ATL::CComPtr<IXpsDocumentConsumer> writer = Create(dir.Path("out.xps"));
    ASSERT_TRUE(writer);
    struct Case {
        const char* name;
        std::string bytes;
        bool obfuscated;
    };
    const Case cases[] = {
        {"nothing", "", false},
        {"text", "not a font at all", false},
        {"cut short in fsType", FontStating(4).substr(0, 37), false},
        {"the OS/2 table past the end",
         FontStating(4).replace(20, 4, std::string("\x00\x01\x00\x00", 4)), false},
        {"obfuscated, under a name that carries no GUID to take the key from",
         Obfuscated(FontStating(4), kObfuscatedKey), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewPart made = MakeNewPart(writer, c.obfuscated ? u"/Fonts/f.odttf" : u"/Fonts/f.ttf",
                                   IID_IPartFont2, c.bytes);
        ATL::CComPtr<IPartFont2> font = As<IPartFont2>(made.part);
        ASSERT_EQ(S_OK, font->SetFontOptions(c.obfuscated ? Font_Obfuscate : Font_Normal));
        EXpsFontRestriction restriction = Xps_Restricted_Font_PreviewPrint;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), font->GetFontRestriction(&restriction));
        EXPECT_EQ(Xps_Restricted_Font_Installable, restriction);
    }
}

} // namespace

namespace {

// The structure's markup and relationships parts pass as the package stored them while they
// say exactly what the writer would write; any change makes them anew, naming what was sent.
const char* const kStructureParts[] = {
    "_rels/.rels",
    "Job.fdseq",
    "_rels/Job.fdseq.rels",
    "Doc/1.fdoc",
    "Doc/_rels/1.fdoc.rels",
    "Doc/Pages/_rels/1.fpage.rels",
    "Doc/Pages/_rels/2.fpage.rels",
};

// What a case keeps while the parts pass.
struct Held {
    ATL::CComPtr<IUnknown> part;
    NewPart made;
};

struct StructureCase {
    const char* name;
    // Changes SmallJob's entries before it is read; null keeps them.
    std::function<void(std::vector<Entry>&)> job;
    // Sends the part the reader gave at index (0 the XPS document, 1 the sequence, 2 the
    // document, 3 and 4 the pages) as the case will: changed, held back, dropped or with others.
    std::function<void(IXpsDocumentConsumer*, IUnknown* part, int index, Held&)> send;
    std::vector<std::string> anew; // the structure parts written anew; the others as stored
    // The pages the copy names, in order.
    std::vector<std::string> pages = {"page /Doc/Pages/1.fpage", "page /Doc/Pages/2.fpage"};
};

void Send(IXpsDocumentConsumer* writer, IUnknown* part) {
    ASSERT_EQ(S_OK, XpsSendPart(writer, part));
}

const std::string kPageMarkup =
    "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/06\" Width=\"96\" Height=\"96\"/>";

const StructureCase kStructureCases[] = {
    {"nothing changed", nullptr, nullptr, {}},
    {"the last page dropped",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held&) {
         if (index != 4) {
             Send(writer, part);
         }
     },
     {"Doc/1.fdoc"},
     {"page /Doc/Pages/1.fpage"}},
    {"a new page after the last",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held&) {
         Send(writer, part);
         if (index == 4) {
             NewPart page = MakeNewPart(writer, u"/Doc/Pages/3.fpage", IID_IFixedPage, kPageMarkup);
             page.stream->Close();
             Send(writer, page.part);
         }
     },
     {"Doc/1.fdoc"},
     {"page /Doc/Pages/1.fpage", "page /Doc/Pages/2.fpage", "page /Doc/Pages/3.fpage"}},
    {"the pages sent in the other order",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held& held) {
         if (index == 3) {
             held.part = part;
             return;
         }
         Send(writer, part);
         if (index == 4) {
             Send(writer, held.part);
         }
     },
     {"Doc/1.fdoc"},
     {"page /Doc/Pages/2.fpage", "page /Doc/Pages/1.fpage"}},
    {"the document's markup holds an element of another kind",
     [](std::vector<Entry>& entries) {
         SetEntry(entries, "Doc/1.fdoc",
                  "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\">"
                  "<PageContent Source=\"Pages/1.fpage\" Width=\"96\" Height=\"96\"/>"
                  "<DocumentOutline/><PageContent Source=\"Pages/2.fpage\"/></FixedDocument>");
     },
     nullptr,
     {"Doc/1.fdoc"}},
    {"the document's markup in the other flavour's namespace",
     [](std::vector<Entry>& entries) {
         SetEntry(entries, "Doc/1.fdoc",
                  "<FixedDocument xmlns=\"http://schemas.openxps.org/oxps/v1.0\">"
                  "<PageContent Source=\"Pages/1.fpage\"/><PageContent Source=\"Pages/2.fpage\"/>"
                  "</FixedDocument>");
     },
     nullptr,
     {"Doc/1.fdoc"}},
    {"the document's ticket set",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held&) {
         if (index == 2) {
             ATL::CComPtr<IPartPrintTicket> ticket;
             ASSERT_EQ(S_OK, As<IFixedDocument>(part)->GetPrintTicket(&ticket));
             ASSERT_EQ(S_OK, As<IFixedDocument>(part)->SetPrintTicket(ticket));
         }
         Send(writer, part);
     },
     {"Doc/_rels/1.fdoc.rels"}},
    {"the sequence's ticket taken away",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held&) {
         if (index == 1) {
             ASSERT_EQ(S_OK, As<IFixedDocumentSequence>(part)->SetPrintTicket(nullptr));
         }
         Send(writer, part);
     },
     {"_rels/Job.fdseq.rels"}},
    {"a thumbnail given to the job",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held& held) {
         if (index == 0) {
             held.made = MakeNewPart(writer, u"/Thumbnail.png", IID_IPartThumbnail, kPng);
             held.made.stream->Close();
             ASSERT_EQ(S_OK,
                       As<IXpsDocument>(part)->SetThumbnail(As<IPartThumbnail>(held.made.part)));
         }
         Send(writer, part);
     },
     {"_rels/.rels"}},
    {"a font to print and preview only given to the first page",
     nullptr,
     [](IXpsDocumentConsumer* writer, IUnknown* part, int index, Held& held) {
         if (index == 3) {
             // The font's bytes allow print and preview only (fsType 4).
             held.made =
                 MakeNewPart(writer, u"/Fonts/Font.ttf", IID_IPartFont2, FontStating(0x0004));
             held.made.stream->Close();
             ASSERT_EQ(S_OK, As<IFixedPage>(part)->SetPagePart(held.made.part));
         }
         Send(writer, part);
     },
     {"Doc/_rels/1.fdoc.rels", "Doc/Pages/_rels/1.fpage.rels"}},
    {"the job read from a package that does not say all its relationships",
     [](std::vector<Entry>& entries) {
         // A second thumbnail and an external one: the reader keeps one.
         SetEntry(entries, "_rels/.rels",
                  "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                  "relationships\"><Relationship Id=\"R0\" Type=\"http://schemas.microsoft.com/"
                  "xps/2005/06/fixedrepresentation\" Target=\"/Job.fdseq\"/><Relationship "
                  "Id=\"R1\" Type=\"http://schemas.openxmlformats.org/package/2006/relationships/"
                  "metadata/thumbnail\" Target=\"/Images/dot.png\"/><Relationship Id=\"R2\" "
                  "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
                  "thumbnail\" Target=\"http://example.org/t.png\" TargetMode=\"External\"/>"
                  "</Relationships>");
     },
     nullptr,
     {"_rels/.rels"}},
};

void PrintTo(const StructureCase& test, std::ostream* out) {
    *out << test.name;
}

class StructureParts : public ::testing::TestWithParam<StructureCase> {};

TEST_P(StructureParts, PassAsStoredOnlyWhileTheySayWhatWasSent) {
    const StructureCase& test = GetParam();
    TempDir dir;
    std::vector<Entry> entries = SmallJob();
    if (test.job) {
        test.job(entries);
    }
    WriteZip(dir.Path("in.xps"), entries);
    for (const ReadAhead& readAhead : kReadAheads) {
        SCOPED_TRACE(std::string("read-ahead ") + readAhead.name);
        const XpsPackageLimits limits = WithReadAhead(readAhead);
        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("in.xps"), &limits);
        ATL::CComPtr<IXpsDocumentConsumer> writer = Create(dir.Path("out.xps"));
        ASSERT_TRUE(reader && writer);
        Held held;
        for (int index = 0;; ++index) {
            ATL::CComPtr<IUnknown> part;
            ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
            if (!part) {
                break;
            }
            if (test.send) {
                ASSERT_NO_FATAL_FAILURE(test.send(writer, part, index, held));
            } else {
                ASSERT_NO_FATAL_FAILURE(Send(writer, part));
            }
        }
        ASSERT_EQ(S_OK, writer->CloseSender());

        const std::string out = dir.Path("out.xps");
        const auto written = ByName(ListZip(out));
        for (const char* name : kStructureParts) {
            SCOPED_TRACE(name);
            if (!written.count(name)) {
                continue; // a part of a page not sent
            }
            const std::string bytes = ZipContent(out, name);
            const bool anew =
                std::find(test.anew.begin(), test.anew.end(), name) != test.anew.end();
            const auto source =
                std::find_if(entries.begin(), entries.end(),
                             [&](const Entry& entry) { return entry.name == name; });
            ASSERT_NE(entries.end(), source);
            if (anew) {
                EXPECT_EQ(0u, bytes.find("<?xml")) << bytes; // the writer's own
            } else {
                EXPECT_EQ(source->bytes, bytes);
            }
        }
        const Walk walk = WalkReader(Open(out), /*readStreams=*/true);
        EXPECT_EQ(S_OK, walk.result) << walk.message;
        std::vector<std::string> pages;
        std::copy_if(walk.parts.begin(), walk.parts.end(), std::back_inserter(pages),
                     [](const std::string& part) { return part.rfind("page ", 0) == 0; });
        EXPECT_EQ(test.pages, pages);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StructureParts, ::testing::ValuesIn(kStructureCases),
                         NamedByField<StructureCase>);

} // namespace

namespace {

// Parts read from an OpenXPS package, sent after the XPS document of a Microsoft XPS one: the
// writer keeps the flavour it was given, so no part may pass in the other's names.
TEST(XpsWriter, WritesPartsOfTheOtherFlavourAnewInItsOwn) {
    TempDir dir;
    WriteZip(dir.Path("microsoft.xps"), SmallJob(false));
    WriteZip(dir.Path("open.xps"), SmallJob(true));
    ATL::CComPtr<IXpsDocumentProvider> microsoft = Open(dir.Path("microsoft.xps"));
    ATL::CComPtr<IXpsDocumentProvider> open = Open(dir.Path("open.xps"));
    ATL::CComPtr<IXpsDocumentConsumer> writer = Create(dir.Path("out.xps"));
    ASSERT_TRUE(microsoft && open && writer);
    ATL::CComPtr<IUnknown> document, skipped;
    ASSERT_EQ(S_OK, microsoft->GetXpsPart(&document));
    ASSERT_EQ(S_OK, open->GetXpsPart(&skipped));
    ASSERT_EQ(S_OK, XpsSendPart(writer, document));
    while (true) {
        ATL::CComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, open->GetXpsPart(&part));
        if (!part) {
            break;
        }
        ASSERT_EQ(S_OK, XpsSendPart(writer, part));
    }
    ASSERT_EQ(S_OK, writer->CloseSender());
    const std::string out = dir.Path("out.xps");
    for (const char* name : kStructureParts) {
        EXPECT_EQ(std::string::npos, ZipContent(out, name).find("openxps")) << name;
    }
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(out);
    XpsFlavour flavour;
    ASSERT_EQ(S_OK, XpsGetReaderFlavour(reader, &flavour));
    EXPECT_EQ(XpsFlavour_MicrosoftXps, flavour);
    const Walk walk = WalkReader(reader, /*readStreams=*/true);
    EXPECT_EQ(S_OK, walk.result) << walk.message;
    EXPECT_EQ(5u, walk.parts.size());
}

} // namespace
