// The package reader: the order of parts, tickets and resources as filters see them, the page
// interface, and bytes read only when a stream is read.
#include "xpstest.h"

#include "comtest.h"

#include <platformtest.h>

#include <algorithm>

using namespace xpstest;

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kBadData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// The first page of a reader, after the parts before it.
ATL::CComPtr<IFixedPage> FirstPage(IXpsDocumentProvider* reader) {
    while (true) {
        ATL::CComPtr<IUnknown> part;
        if (FAILED(reader->GetXpsPart(&part)) || !part) {
            ADD_FAILURE() << "no page";
            return {};
        }
        ATL::CComPtr<IFixedPage> page;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            return page;
        }
    }
}

EXpsCompressionOptions CompressionOf(IPartBase* part) {
    EXpsCompressionOptions compression = Compression_Fast;
    EXPECT_EQ(S_OK, part->GetPartCompression(&compression));
    return compression;
}

std::string TicketUri(IFixedPage* page) {
    ATL::CComPtr<IPartPrintTicket> ticket;
    const HRESULT hr = page->GetPrintTicket(&ticket);
    if (hr == kNotFound) {
        EXPECT_EQ(nullptr, ticket.p);
        return "none";
    }
    ATL::CComBSTR uri;
    EXPECT_EQ(S_OK, ticket->GetUri(&uri));
    return Narrow(uri);
}

struct JobCase {
    const char* arguments;
    XpsFlavour flavour;
    std::vector<std::string> pageTickets; // per page, in reader order
};

class ReaderJobs : public ::testing::TestWithParam<JobCase> {};

TEST_P(ReaderJobs, HandsOutTheDocumentTheSequenceThenEachDocumentWithItsPages) {
    const JobCase& job = GetParam();
    TempDir dir;
    MakeJob(dir.Path("job.xps"), job.arguments);
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
    XpsFlavour flavour;
    ASSERT_EQ(S_OK, XpsGetReaderFlavour(reader, &flavour));
    EXPECT_EQ(job.flavour, flavour);

    std::vector<std::string> kinds;
    std::vector<std::string> tickets;
    std::string firstPage;
    while (true) {
        ATL::CComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
        if (!part) {
            break;
        }
        ATL::CComPtr<IFixedPage> page;
        ATL::CComPtr<IFixedDocument> document;
        ATL::CComPtr<IFixedDocumentSequence> sequence;
        ATL::CComPtr<IXpsDocument> xps;
        if (SUCCEEDED(part->QueryInterface(&page))) {
            ATL::CComBSTR uri;
            ASSERT_EQ(S_OK, page->GetUri(&uri));
            kinds.push_back("page " + Narrow(uri));
            tickets.push_back(TicketUri(page));
            ATL::CComPtr<IUnknown> font;
            EXPECT_EQ(S_OK, page->GetPagePart(u"/Resources/Fonts/Font0.ttf", &font));
            if (firstPage.empty()) {
                firstPage = ReadPart(page);
            }
        } else if (SUCCEEDED(part->QueryInterface(&document))) {
            ATL::CComPtr<IPartPrintTicket> ticket;
            EXPECT_EQ(S_OK, document->GetPrintTicket(&ticket));
            kinds.push_back("document");
        } else if (SUCCEEDED(part->QueryInterface(&sequence))) {
            ATL::CComPtr<IPartPrintTicket> ticket;
            EXPECT_EQ(S_OK, sequence->GetPrintTicket(&ticket));
            kinds.push_back("sequence");
        } else if (SUCCEEDED(part->QueryInterface(&xps))) {
            kinds.push_back("xps");
        }
    }
    std::vector<std::string> expected{"xps", "sequence"};
    const bool twoDocuments = std::string(job.arguments).find("--documents 2") != std::string::npos;
    for (int d = 1; d <= (twoDocuments ? 2 : 1); ++d) {
        expected.push_back("document");
        for (int p = 1; p <= 2; ++p) {
            expected.push_back("page /Documents/" + std::to_string(d) + "/Pages/" +
                               std::to_string(p) + ".fpage");
        }
    }
    EXPECT_EQ(expected, kinds);
    EXPECT_EQ(job.pageTickets, tickets);
    // Markup is the same whether stored, deflated or in pieces.
    EXPECT_NE(std::string::npos, firstPage.find("(document 1, page 1, line 2)"));
    EXPECT_EQ("</FixedPage>", firstPage.substr(firstPage.size() - 12));
}

INSTANTIATE_TEST_SUITE_P(
    MakeXps, ReaderJobs,
    ::testing::Values(JobCase{"--pages 2 --lines 2",
                              XpsFlavour_MicrosoftXps,
                              {"/Documents/1/Metadata/Page1_PT.xml", "none"}},
                      JobCase{"--pages 2 --lines 2 --openxps --page-tickets every",
                              XpsFlavour_OpenXps,
                              {"/Documents/1/Metadata/Page1_PT.xml",
                               "/Documents/1/Metadata/Page2_PT.xml"}},
                      JobCase{"--pages 2 --lines 2 --pieces 3 --store --page-tickets none",
                              XpsFlavour_MicrosoftXps,
                              {"none", "none"}},
                      JobCase{"--pages 2 --lines 2 --documents 2 --pieces 2",
                              XpsFlavour_MicrosoftXps,
                              {"/Documents/1/Metadata/Page1_PT.xml", "none",
                               "/Documents/2/Metadata/Page1_PT.xml", "none"}}));

TEST(XpsReader, ReadsZip64Records) {
    TempDir dir;
    WriteZip(dir.Path("job.xps"), SmallJob(), /*zip64=*/true);
    const Walk walk = WalkReader(Open(dir.Path("job.xps")), /*readStreams=*/true);
    EXPECT_EQ(S_OK, walk.result) << walk.message;
    EXPECT_EQ((std::vector<std::string>{"xps", "sequence /Job.fdseq", "document /Doc/1.fdoc",
                                        "page /Doc/Pages/1.fpage", "page /Doc/Pages/2.fpage"}),
              walk.parts);
}

// The same job as Python's zipfile writes it in the ways ZIP writers differ: ZIP64 end records
// and ZIP64 fields, data descriptors behind each entry, an archive comment (one holding what
// looks like an end record), stored entries, extra fields too long to be read with the local
// header.
TEST(XpsReader, ReadsWhatOtherZipWritersWrite) {
    const struct {
        const char* name;
        const char* options; // keyword arguments of the rewrite below
    } variants[] = {
        {"ZIP64 end record and fields", "zip64=True"},
        {"data descriptors", "stream=True"},
        {"data descriptors and ZIP64", "stream=True, zip64=True"},
        {"comment", "comment=b'printed by a test'"},
        {"comment holding an end record", "comment=b'PK\\x05\\x06' + bytes(18) + b'tail'"},
        {"stored entries", "method=zipfile.ZIP_STORED"},
        {"long extra fields", "extra=b'\\xfe\\xca\\x00\\x01' + bytes(256)"},
    };
    TempDir dir;
    WriteZip(dir.Path("job.xps"), SmallJob());
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.name);
        const std::string out = dir.Path("variant.xps");
        const std::string script =
            "import io, sys, zipfile\n"
            "def rewrite(zip64=False, stream=False, comment=b'', method=zipfile.ZIP_DEFLATED,\n"
            "            extra=b''):\n"
            "    source = zipfile.ZipFile(sys.argv[1])\n"
            "    if zip64:\n"
            "        zipfile.ZIP_FILECOUNT_LIMIT = 1\n"
            "    data = io.BytesIO()\n"
            "    class Unseekable(io.RawIOBase):\n"
            "        def writable(self): return True\n"
            "        def write(self, b): return data.write(b)\n"
            "    with zipfile.ZipFile(Unseekable() if stream else data, 'w') as z:\n"
            "        for info in source.infolist():\n"
            "            entry = zipfile.ZipInfo(info.filename, (1980, 1, 1, 0, 0, 0))\n"
            "            entry.compress_type = method\n"
            "            entry.extra = extra\n"
            "            with z.open(entry, 'w', force_zip64=zip64) as f:\n"
            "                f.write(source.read(info))\n"
            "        z.comment = comment\n"
            "    open(sys.argv[2], 'wb').write(data.getvalue())\n"
            "rewrite(" +
            std::string(variant.options) + ")\n";
        WriteFile(dir.Path("rewrite.py"), script);
        ASSERT_EQ(0, xpstest::Run("python3 '" + dir.Path("rewrite.py") + "' '" +
                                  dir.Path("job.xps") + "' '" + out + "'"));
        const Walk walk = WalkReader(Open(out), /*readStreams=*/true);
        EXPECT_EQ(S_OK, walk.result) << walk.message;
        EXPECT_EQ(5u, walk.parts.size());
    }
}

TEST(XpsReader, ReadsRelationshipsStoredInPieces) {
    TempDir dir;
    auto entries = SmallJob();
    const std::string rels = [&] {
        for (const Entry& entry : entries) {
            if (entry.name == "Doc/Pages/_rels/1.fpage.rels") {
                return entry.bytes;
            }
        }
        return std::string();
    }();
    ASSERT_FALSE(rels.empty());
    SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels", nullptr);
    SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels/[0].piece", rels.substr(0, 100).c_str());
    SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels/[1].piece", rels.substr(100, 50).c_str());
    SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels/[2].last.piece", rels.substr(150).c_str());
    WriteZip(dir.Path("job.xps"), entries);

    ATL::CComPtr<IFixedPage> page = FirstPage(Open(dir.Path("job.xps")));
    ASSERT_TRUE(page);
    EXPECT_EQ("/Tickets/Page1.xml", TicketUri(page));
    ATL::CComPtr<IUnknown> image;
    EXPECT_EQ(S_OK, page->GetPagePart(u"/Images/dot.png", &image));
}

TEST(XpsReader, ReadsLargeRelationshipsPartsAsTheyStream) {
    // Past the size read whole, a relationships part is parsed as it is inflated.
    TempDir dir;
    auto entries = SmallJob();
    const std::string rels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
        std::string(200000, ' ') +
        "<Relationship Id=\"R4\" Type=\"http://schemas.microsoft.com/xps/2005/06/printticket\" "
        "Target=\"/Tickets/Page1.xml\"/></Relationships>";
    SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels", rels.c_str());
    WriteZip(dir.Path("job.xps"), entries);

    ATL::CComPtr<IFixedPage> page = FirstPage(Open(dir.Path("job.xps")));
    ASSERT_TRUE(page);
    EXPECT_EQ("/Tickets/Page1.xml", TicketUri(page));
}

TEST(XpsReader, ReadsLongDocumentMarkupAsItStreams) {
    // References far apart in a long document are all found; elements inside a reference are
    // not references, even when they bear its name.
    TempDir dir;
    auto entries = SmallJob();
    const std::string document =
        "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
        "Source=\"Pages/1.fpage\"><PageContent.LinkTargets><LinkTarget Name=\"a\"/>"
        "<PageContent Source=\"Pages/9.fpage\"/></PageContent.LinkTargets></PageContent><!-- " +
        std::string(50000, 'x') + " -->" + std::string(50000, ' ') +
        "<PageContent Source=\"Pages/2.fpage\"/></FixedDocument>";
    SetEntry(entries, "Doc/1.fdoc", document.c_str());
    WriteZip(dir.Path("job.xps"), entries);

    const Walk walk = WalkReader(Open(dir.Path("job.xps")));
    EXPECT_EQ(S_OK, walk.result) << walk.message;
    EXPECT_EQ((std::vector<std::string>{"xps", "sequence /Job.fdseq", "document /Doc/1.fdoc",
                                        "page /Doc/Pages/1.fpage", "page /Doc/Pages/2.fpage"}),
              walk.parts);
}

TEST(XpsReader, ResolvesEachPagesResourcesFromItsOwnFolder) {
    // Two pages in different folders name the same relative targets, more of them than the
    // reader keeps found: each page gets the parts of its own folder, with their own bytes,
    // each once, however often and in whatever case its relationships name it.
    TempDir dir;
    auto entries = SmallJob();
    auto page2 = std::find_if(entries.begin(), entries.end(),
                              [](const Entry& e) { return e.name == "Doc/Pages/2.fpage"; });
    ASSERT_NE(entries.end(), page2);
    page2->name = "Doc/Other/2.fpage";
    SetEntry(entries, "Doc/Pages/_rels/2.fpage.rels", nullptr);
    SetEntry(entries, "Doc/1.fdoc",
             "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><PageContent "
             "Source=\"Pages/1.fpage\"/><PageContent Source=\"Other/2.fpage\"/></FixedDocument>");
    for (const std::string folder : {"Pages", "Other"}) {
        std::string rels =
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        for (int i = 0; i < 40; ++i) {
            const std::string name = "r" + std::to_string(i) + ".png";
            rels += "<Relationship Id=\"R" + std::to_string(i) +
                    "\" Type=\"http://schemas.microsoft.com/xps/2005/06/required-resource\" "
                    "Target=\"" +
                    name + "\"/>";
            SetEntry(entries, "Doc/" + folder + "/" + name, (folder + name).c_str());
        }
        for (const char* again : {"r3.png", "R39.PNG"}) {
            rels += "<Relationship Id=\"A" + std::string(again) +
                    "\" Type=\"http://schemas.microsoft.com/xps/2005/06/required-resource\" "
                    "Target=\"" +
                    again + "\"/>";
        }
        const std::string page = folder == "Pages" ? "1" : "2";
        SetEntry(entries, "Doc/" + folder + "/_rels/" + page + ".fpage.rels",
                 (rels + "</Relationships>").c_str());
    }
    WriteZip(dir.Path("job.xps"), entries);

    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
    for (const std::string folder : {"Pages", "Other"}) {
        SCOPED_TRACE(folder);
        ATL::CComPtr<IFixedPage> page = FirstPage(reader);
        ASSERT_TRUE(page);
        ATL::CComPtr<IXpsPartIterator> resources;
        ASSERT_EQ(S_OK, page->GetXpsPartIterator(&resources));
        std::vector<std::string> seen;
        for (; !resources->IsDone(); resources->Next()) {
            ATL::CComBSTR uri;
            ATL::CComPtr<IUnknown> part;
            ASSERT_EQ(S_OK, resources->Current(&uri, &part));
            ATL::CComPtr<IPartBase> base;
            ASSERT_EQ(S_OK, part->QueryInterface(&base));
            const std::string name = Narrow(uri);
            EXPECT_EQ(folder + name.substr(name.rfind('/') + 1), ReadPart(base)) << name;
            seen.push_back(name);
        }
        ASSERT_EQ(40u, seen.size());
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ("/Doc/" + folder + "/r" + std::to_string(i) + ".png", seen[i]);
        }
    }
}

TEST(XpsReader, ReadsRelationshipsPartsOfEverySizeReadWhole) {
    // Parts up to 64 KiB are inflated whole and parsed from memory: none may come out short,
    // doubled or read past its end, whatever its size.
    for (const size_t count : {1, 12, 120, 550}) {
        SCOPED_TRACE(count);
        TempDir dir;
        auto entries = SmallJob();
        std::string rels =
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        for (size_t i = 0; i < count; ++i) {
            rels += "<Relationship Id=\"L" + std::to_string(i) +
                    "\" Type=\"http://example.com/link\" TargetMode=\"External\" "
                    "Target=\"http://example.com/" +
                    std::to_string(i) + "\"/>";
        }
        rels += "<Relationship Id=\"T\" Type=\"http://schemas.microsoft.com/xps/2005/06/"
                "printticket\" Target=\"/Tickets/Page1.xml\"/></Relationships>";
        ASSERT_LT(rels.size(), 64u * 1024);
        SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels", rels.c_str());
        WriteZip(dir.Path("job.xps"), entries);

        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
        ATL::CComPtr<IFixedPage> page = FirstPage(reader);
        ASSERT_TRUE(page);
        EXPECT_EQ("/Tickets/Page1.xml", TicketUri(page));
        const Walk rest = WalkReader(reader);
        EXPECT_EQ(S_OK, rest.result) << rest.message;
        EXPECT_EQ(std::vector<std::string>{"page /Doc/Pages/2.fpage"}, rest.parts);
    }
}

TEST(XpsReader, FindsPartsAndTheirContentTypesWhateverTheFormOfTheirNames) {
    // Part names, Override part names and Default extensions compare without regard to ASCII
    // case, and a reference is found whether it names the part as it stands or through "."
    // and ".." segments.
    const std::string types =
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"FDSEQ\" "
        "ContentType=\"application/vnd.ms-package.xps-fixeddocumentsequence+xml\"/>"
        "<Default Extension=\"fdoc\" "
        "ContentType=\"application/vnd.ms-package.xps-fixeddocument+xml\"/>"
        "<Default Extension=\"fPage\" "
        "ContentType=\"application/vnd.ms-package.xps-fixedpage+xml\"/>"
        "<Default Extension=\"PNG\" ContentType=\"image/png\"/>"
        "<Default Extension=\"XML\" ContentType=\"application/x-ticket-by-extension\"/>"
        "<Override PartName=\"/tickets/PAGE1.xml\" "
        "ContentType=\"application/x-ticket-by-name\"/></Types>";
    struct Case {
        const char* target;      // of page 1's ticket relationship
        const char* uri;         // of the ticket the reader finds
        const char* contentType; // of that ticket
    };
    const Case cases[] = {
        {"/Tickets/Page1.xml", "/Tickets/Page1.xml", "application/x-ticket-by-name"},
        {"/TICKETS/page1.XML", "/TICKETS/page1.XML", "application/x-ticket-by-name"},
        {"../../Tickets/./Page1.xml", "/Tickets/Page1.xml", "application/x-ticket-by-name"},
        {"./../../tickets/../Tickets/DOC.xml", "/Tickets/DOC.xml",
         "application/x-ticket-by-extension"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.target);
        TempDir dir;
        auto entries = SmallJob();
        SetEntry(entries, "[Content_Types].xml", types.c_str());
        const std::string rels =
            "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
            "relationships\"><Relationship Id=\"T\" Type=\"http://schemas.microsoft.com/xps/"
            "2005/06/printticket\" Target=\"" +
            std::string(test.target) + "\"/></Relationships>";
        SetEntry(entries, "Doc/Pages/_rels/1.fpage.rels", rels.c_str());
        WriteZip(dir.Path("job.xps"), entries);

        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
        ATL::CComPtr<IFixedPage> page = FirstPage(reader);
        ASSERT_TRUE(page);
        ATL::CComPtr<IPartPrintTicket> ticket;
        ASSERT_EQ(S_OK, page->GetPrintTicket(&ticket));
        ATL::CComBSTR uri;
        ASSERT_EQ(S_OK, ticket->GetUri(&uri));
        EXPECT_EQ(test.uri, Narrow(uri));
        ATL::CComPtr<IXpsPartInfo> info;
        ASSERT_EQ(S_OK, ticket->QueryInterface(&info));
        ATL::CComBSTR contentType;
        ASSERT_EQ(S_OK, info->GetContentType(&contentType));
        EXPECT_EQ(test.contentType, Narrow(contentType));
    }
}

TEST(XpsReader, ReadsBytesOnlyWhenAStreamIsRead) {
    // Page 2's stored bytes are damaged: the walk hands it out, reading it fails.
    TempDir dir;
    auto entries = SmallJob();
    WriteZip(dir.Path("job.xps"), entries);
    std::string bytes = ReadFile(dir.Path("job.xps"));
    const std::string marker = "Doc/Pages/2.fpage";
    const size_t local = bytes.find(marker); // the local header comes first
    ASSERT_NE(std::string::npos, local);
    bytes[local + marker.size() + 3] ^= 0x55;
    WriteFile(dir.Path("job.xps"), bytes);

    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
    const Walk walk = WalkReader(reader);
    EXPECT_EQ(S_OK, walk.result);
    EXPECT_EQ(5u, walk.parts.size());
    ATL::CComPtr<IXpsDocumentProvider> again = Open(dir.Path("job.xps"));
    const Walk reading = WalkReader(again, /*readStreams=*/true);
    EXPECT_EQ(kBadData, reading.result);
    EXPECT_EQ("page /Doc/Pages/2.fpage (unreadable)", reading.parts.back());
}

TEST(XpsReader, PageResourcesTicketsAndMarkupCanBeChanged) {
    TempDir dir;
    WriteZip(dir.Path("job.xps"), SmallJob());
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
    ATL::CComPtr<IFixedPage> page = FirstPage(reader);
    ASSERT_TRUE(page);

    // Resources are found by absolute or relative URI, in any ASCII case.
    ATL::CComPtr<IUnknown> image;
    ASSERT_EQ(S_OK, page->GetPagePart(u"/Images/dot.png", &image));
    ATL::CComPtr<IPartImage> asImage;
    ASSERT_EQ(S_OK, image->QueryInterface(&asImage));
    ATL::CComBSTR contentType;
    EXPECT_EQ(S_OK, asImage->GetImageProperties(&contentType));
    EXPECT_EQ("image/png", Narrow(contentType));
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n not really a picture", 29), ReadPart(asImage));
    // Compression is kept per part: the image was stored, the page deflated.
    EXPECT_EQ(Compression_NotCompressed, CompressionOf(asImage));
    EXPECT_EQ(Compression_Normal, CompressionOf(page));
    EXPECT_EQ(S_OK, asImage->SetPartCompression(Compression_Small));
    EXPECT_EQ(Compression_Small, CompressionOf(asImage));
    EXPECT_EQ(E_INVALIDARG, asImage->SetPartCompression(static_cast<EXpsCompressionOptions>(9)));
    EXPECT_EQ(Compression_Normal, CompressionOf(page));
    ATL::CComPtr<IUnknown> same;
    EXPECT_EQ(S_OK, page->GetPagePart(u"../../IMAGES/Dot.png", &same));
    ATL::CComPtr<IUnknown> missing;
    EXPECT_EQ(kNotFound, page->GetPagePart(u"/Images/none.png", &missing));

    // The iterator sees the resources; DeleteResource and SetPagePart change them.
    auto count = [&] {
        ATL::CComPtr<IXpsPartIterator> iterator;
        EXPECT_EQ(S_OK, page->GetXpsPartIterator(&iterator));
        int n = 0;
        for (; !iterator->IsDone(); iterator->Next()) {
            ATL::CComBSTR uri;
            ATL::CComPtr<IUnknown> part;
            EXPECT_EQ(S_OK, iterator->Current(&uri, &part));
            EXPECT_EQ("/Images/dot.png", Narrow(uri));
            ++n;
        }
        return n;
    };
    EXPECT_EQ(1, count());
    EXPECT_EQ(S_OK, page->DeleteResource(u"/Images/dot.png"));
    EXPECT_EQ(kNotFound, page->DeleteResource(u"/Images/dot.png"));
    EXPECT_EQ(0, count());
    EXPECT_EQ(S_OK, page->SetPagePart(image));
    EXPECT_EQ(S_OK, page->SetPagePart(image)); // replaces, never doubles
    EXPECT_EQ(1, count());

    // The ticket: there, removed, and given back.
    EXPECT_EQ("/Tickets/Page1.xml", TicketUri(page));
    ATL::CComPtr<IPartPrintTicket> ticket;
    ASSERT_EQ(S_OK, page->GetPrintTicket(&ticket));
    EXPECT_NE(std::string::npos, ReadPart(ticket).find("PrintTicket"));
    EXPECT_EQ(S_OK, page->SetPrintTicket(nullptr));
    EXPECT_EQ("none", TicketUri(page));
    EXPECT_EQ(S_OK, page->SetPrintTicket(ticket));
    EXPECT_EQ("/Tickets/Page1.xml", TicketUri(page));

    // A write stream replaces the markup.
    ATL::CComPtr<IPrintWriteStream> stream;
    ASSERT_EQ(S_OK, page->GetWriteStream(&stream));
    const std::string markup = "<FixedPage/>";
    ULONG written = 0;
    EXPECT_EQ(S_OK, stream->WriteBytes(markup.data(), static_cast<ULONG>(markup.size()), &written));
    EXPECT_EQ(markup.size(), written);
    stream->Close();
    EXPECT_EQ(E_UNEXPECTED, stream->WriteBytes("x", 1, &written));
    EXPECT_EQ(markup, ReadPart(page));
}

TEST(XpsReader, StreamsSeekForwardAndBack) {
    TempDir dir;
    WriteZip(dir.Path("job.xps"), SmallJob());
    ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
    ATL::CComPtr<IFixedPage> page = FirstPage(reader);
    const std::string whole = ReadPart(page);
    ATL::CComPtr<IPrintReadStream> stream;
    ASSERT_EQ(S_OK, page->GetStream(&stream));
    struct Step {
        LONGLONG offset;
        DWORD origin;
        ULONGLONG position;
    };
    const Step steps[] = {{10, STREAM_SEEK_SET, 10},
                          {5, STREAM_SEEK_CUR, 15},
                          {-4, STREAM_SEEK_END, whole.size() - 4},
                          {2, STREAM_SEEK_SET, 2}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.position);
        ULONGLONG position = 0;
        ASSERT_EQ(S_OK, stream->Seek(step.offset, step.origin, &position));
        EXPECT_EQ(step.position, position);
        char bytes[4] = {};
        ULONG read = 0;
        BOOL end = FALSE;
        ASSERT_EQ(S_OK, stream->ReadBytes(bytes, 4, &read, &end));
        EXPECT_EQ(whole.substr(step.position, 4), std::string(bytes, read));
        ASSERT_EQ(S_OK, stream->Seek(-static_cast<LONGLONG>(read), STREAM_SEEK_CUR, &position));
    }
    ULONGLONG position = 0;
    EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(-1, STREAM_SEEK_SET, &position));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(0, 7, &position));
}

TEST(XpsReader, PartsOutliveTheReaderAndCountTheirReferences) {
    TempDir dir;
    WriteZip(dir.Path("job.xps"), SmallJob());
    ATL::CComPtr<IFixedPage> page;
    {
        ATL::CComPtr<IXpsDocumentProvider> reader = Open(dir.Path("job.xps"));
        page = FirstPage(reader);
        EXPECT_REF(reader.p, 1);
    }
    EXPECT_REF(page.p, 1);
    EXPECT_NE(std::string::npos, ReadPart(page).find("FixedPage"));
    ATL::CComPtr<IPartBase> base;
    ASSERT_EQ(S_OK, page->QueryInterface(&base));
    EXPECT_REF(page.p, 2);
    ATL::CComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, page->QueryInterface(&unknown));
    ATL::CComPtr<IUnknown> unknownAgain;
    ASSERT_EQ(S_OK, base->QueryInterface(&unknownAgain));
    EXPECT_EQ(unknown.p, unknownAgain.p); // one identity
    ATL::CComPtr<IFixedDocument> notADocument;
    EXPECT_EQ(E_NOINTERFACE, page->QueryInterface(&notADocument));
}

} // namespace

namespace {

// Every platform allocation of a copy made to fail in turn: each run ends in E_OUTOFMEMORY or
// succeeds, leaks nothing (the sanitizer checks) and leaves no output behind.
TEST(XpsPackagesOutOfMemory, EveryAllocationOfACopyFailsCleanly) {
    TempDir dir;
    WriteZip(dir.Path("in.xps"), SmallJob());
    bool completed = false;
    int failures = 0;
    for (unsigned long n = 1; !completed && n < 2000; ++n) {
        SCOPED_TRACE(n);
        HRESULT hr = S_OK;
        {
            platformtest::AllocationFailure failure(n);
            ATL::CComPtr<IXpsDocumentProvider> reader;
            ATL::CComPtr<IXpsDocumentConsumer> writer;
            hr = XpsOpenPackageReader(dir.Path("in.xps").c_str(), nullptr, &reader);
            if (SUCCEEDED(hr)) {
                hr = XpsCreatePackageWriter(dir.Path("out.xps").c_str(), &writer);
            }
            while (SUCCEEDED(hr)) {
                ATL::CComPtr<IUnknown> part;
                hr = reader->GetXpsPart(&part);
                if (FAILED(hr)) {
                    break;
                }
                if (!part) {
                    hr = writer->CloseSender();
                    completed = SUCCEEDED(hr);
                    break;
                }
                ATL::CComPtr<IFixedPage> page;
                if (SUCCEEDED(part->QueryInterface(&page))) {
                    ReadPart(page, &hr);
                }
                if (SUCCEEDED(hr)) {
                    hr = XpsSendPart(writer, part);
                }
            }
        }
        if (!completed) {
            ++failures;
            EXPECT_EQ(E_OUTOFMEMORY, hr);
            EXPECT_EQ(std::vector<std::string>{"in.xps"}, dir.Names());
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 10); // the sweep reached the objects of every stage
    EXPECT_EQ(5u, WalkReader(Open(dir.Path("out.xps")), true).parts.size());
}

} // namespace
