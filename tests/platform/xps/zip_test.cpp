// The ZIP layer under the package reader and writer: what the writer writes reads back the
// same through the platform's reader and through libzip (stored, deflated at every level in
// one call or streamed past the gathering limit, copied raw, ZIP64 sizes and ZIP64 end
// records), and the reader refuses what no writer of ZIP files would write.
#include "xpstest.h"

#include "xps/inputfile.h"
#include "xps/ziparchive.h"
#include "xps/zipwriter.h"

#include "allocationsweep.h"

#include <functional>
#include <random>

using namespace xpstest;
using platform::xps::InputFile;
using platform::xps::PackageError;
using platform::xps::ZipArchive;
using platform::xps::ZipEntry;
using platform::xps::ZipWriter;

namespace {

XpsPackageLimits DefaultLimits() {
    XpsPackageLimits limits;
    XpsDefaultPackageLimits(&limits);
    return limits;
}

std::string Drain(platform::xps::ByteSource& source) {
    std::string bytes;
    char buffer[7000]; // not a divisor of anything the writer buffers
    while (const size_t got = source.Read(buffer, sizeof buffer)) {
        bytes.append(buffer, got);
    }
    return bytes;
}

std::string Incompressible(size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

// Where the name of entry name stands in its central directory record.
size_t CentralName(const std::string& zip, const std::string& name) {
    for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) {
        if (at >= 46 && zip.compare(at - 46, 4, "PK\x01\x02") == 0) {
            return at;
        }
    }
    return std::string::npos;
}

uint64_t LittleEndian(const std::string& bytes, size_t at, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// The CRC and sizes the local header of entry name gives (streaming readers trust them): from
// its ZIP64 extra field where the 32-bit fields are markers.
struct LocalFields {
    uint32_t crc = 0;
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
};
LocalFields LocalHeaderOf(const std::string& zip, const std::string& name) {
    for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) {
        if (at < 30 || zip.compare(at - 30, 4, "PK\x03\x04") != 0) {
            continue;
        }
        const size_t header = at - 30;
        LocalFields fields{static_cast<uint32_t>(LittleEndian(zip, header + 14, 4)),
                           LittleEndian(zip, header + 18, 4), LittleEndian(zip, header + 22, 4)};
        if (fields.storedSize == 0xFFFFFFFF) {
            const size_t extra = at + name.size();
            EXPECT_EQ(1u, LittleEndian(zip, extra, 2)) << "no ZIP64 field behind " << name;
            fields.fullSize = LittleEndian(zip, extra + 4, 8);
            fields.storedSize = LittleEndian(zip, extra + 12, 8);
        }
        return fields;
    }
    ADD_FAILURE() << "no local header for " << name;
    return {};
}

struct WrittenEntry {
    std::string name;
    int level; // 0 stores, 1-9 deflate, -1 copies raw from the first package
    std::string content;
    uint64_t sizeHint = 0; // 0: the content's size
    size_t chunk = 0;      // written in pieces of this size; 0: in one piece
};

struct RoundTripCase {
    const char* name;
    std::vector<WrittenEntry> entries;
    bool zip64Entries = false; // the central directory gives sizes in ZIP64 fields
    size_t gatherLimit = 0;    // the writer's gathering limit; 0: its own
};

void PrintTo(const RoundTripCase& test, std::ostream* out) {
    *out << test.name;
}

const std::string kMarkup = "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/06\">" +
                            std::string(3000, ' ') + "</FixedPage>";

const RoundTripCase kRoundTrips[] = {
    {"every level",
     {{"stored.xml", 0, kMarkup},
      {"fast.xml", 1, kMarkup},
      {"normal.xml", 6, kMarkup},
      {"small.xml", 9, kMarkup},
      {"normal-again.xml", 6, kMarkup + kMarkup},
      {"empty.xml", 6, ""},
      {"empty-stored.xml", 0, ""}}},
    // Larger than the writer's buffer, so the local header is completed after it was flushed.
    {"entries past the write buffer",
     {{"noise.bin", 6, Incompressible(300 * 1024)},
      {"noise-stored.bin", 0, Incompressible(200 * 1024)},
      {"after.xml", 6, kMarkup}}},
    // Deflated in one call up to the limit, streamed past it: crossed by one write, by the
    // last of several, or by the first; levels alternating, so that the stream is both reset
    // and made anew, and entries gathered again after one that streamed.
    {"entries around a small gathering limit",
     {{"under.xml", 6, kMarkup.substr(0, 4095), 0, 1000},
      {"at.xml", 6, kMarkup.substr(0, 4096), 0, 1000},
      {"over.xml", 6, kMarkup.substr(0, 4097), 0, 1000},
      {"over-at-once.xml", 9, kMarkup + kMarkup},
      {"gathered-after.xml", 9, kMarkup.substr(0, 100)},
      {"over-fast.bin", 1, Incompressible(9000), 0, 5000},
      {"over-fast-again.bin", 1, Incompressible(20000), 0, 7},
      {"empty-after.xml", 6, ""},
      {"over-first-write.xml", 6, kMarkup + kMarkup, 0, 5000}},
     false,
     4096},
    // The default limit (1 MiB) passed by a part written in the writer's own pieces.
    {"a part past the default gathering limit",
     {{"fonts/big.ttf", 6, Incompressible(1200 * 1024), 0, 64 * 1024}, {"after.xml", 6, kMarkup}}},
    {"raw copies of stored and deflated entries",
     {{"copied.xml", -1, kMarkup}, {"copied-stored.bin", -1, Incompressible(70 * 1024)}}},
    // A size hint past 4 GiB gives the entry ZIP64 sizes although its content is small.
    {"ZIP64 sizes",
     {{"big.xml", 6, kMarkup, 5ull << 30}, {"big-stored.xml", 0, kMarkup, 5ull << 30}},
     true},
};

class ZipRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ZipRoundTrip, ReadsBackTheSameThroughThePlatformAndLibzip) {
    const RoundTripCase& test = GetParam();
    TempDir dir;
    // Raw copies come from a package written by minizip.
    std::vector<Entry> sources;
    for (const WrittenEntry& entry : test.entries) {
        if (entry.level < 0) {
            sources.push_back({entry.name, entry.content, entry.content.size() < 10000});
        }
    }
    WriteZip(dir.Path("source.zip"), sources);
    const auto source = ZipArchive::Open(dir.Path("source.zip"), DefaultLimits());

    {
        ZipWriter writer(dir.Path("out.zip"), test.gatherLimit
                                                  ? test.gatherLimit
                                                  : platform::xps::EntryDeflater::kGatherLimit);
        uint64_t sourceIndex = 0;
        for (const WrittenEntry& entry : test.entries) {
            if (entry.level < 0) {
                const ZipEntry stored = source->EntryAt(sourceIndex++);
                writer.BeginRaw(entry.name, stored.method, stored.storedSize, stored.fullSize,
                                stored.crc);
                const std::string bytes = Drain(*source->OpenRaw(stored));
                writer.Write(bytes.data(), bytes.size());
            } else {
                writer.Begin(entry.name, entry.level,
                             entry.sizeHint ? entry.sizeHint : entry.content.size());
                const size_t chunk = entry.chunk ? entry.chunk : entry.content.size();
                for (size_t at = 0; at < entry.content.size(); at += chunk) {
                    writer.Write(entry.content.data() + at,
                                 std::min(chunk, entry.content.size() - at));
                }
            }
            writer.End();
        }
        writer.Commit();
    }
    EXPECT_EQ((std::vector<std::string>{"out.zip", "source.zip"}), dir.Names());

    const auto archive = ZipArchive::Open(dir.Path("out.zip"), DefaultLimits());
    ASSERT_EQ(test.entries.size(), archive->EntryCount());
    const std::vector<StoredEntry> listed = ListZip(dir.Path("out.zip"));
    ASSERT_EQ(test.entries.size(), listed.size());
    const std::string bytes = ReadFile(dir.Path("out.zip"));
    for (size_t i = 0; i < test.entries.size(); ++i) {
        const WrittenEntry& entry = test.entries[i];
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.name, archive->NameOf(i));
        const ZipEntry read = archive->EntryAt(i);
        const bool deflated = entry.level < 0 ? entry.content.size() < 10000 : entry.level > 0;
        EXPECT_EQ(deflated ? 8 : 0, read.method);
        EXPECT_EQ(entry.content, Drain(*archive->OpenContent(read, entry.name)));
        EXPECT_EQ(entry.name, listed[i].name);
        EXPECT_EQ(read.crc, listed[i].crc);
        EXPECT_EQ(read.storedSize, listed[i].storedSize);
        EXPECT_EQ(entry.content, ZipContent(dir.Path("out.zip"), entry.name));
        const LocalFields local = LocalHeaderOf(bytes, entry.name);
        EXPECT_EQ(read.crc, local.crc);
        EXPECT_EQ(read.storedSize, local.storedSize);
        EXPECT_EQ(read.fullSize, local.fullSize);
        // The ZIP64 extra field, id 1, sits behind the name in the central record.
        const size_t name = CentralName(bytes, entry.name);
        ASSERT_NE(std::string::npos, name);
        EXPECT_EQ(test.zip64Entries,
                  bytes.compare(name + entry.name.size(), 2, std::string("\x01\x00", 2)) == 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ZipRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         NamedByField<RoundTripCase>);

// More entries than the 16-bit count of the end record holds: the ZIP64 end record and its
// locator carry the count.
TEST(ZipWriter, WritesAZip64EndRecordPast65534Entries) {
    TempDir dir;
    constexpr uint64_t kCount = 70000;
    {
        ZipWriter writer(dir.Path("many.zip"));
        for (uint64_t i = 0; i < kCount; ++i) {
            const std::string text = std::to_string(i);
            writer.Begin("e/" + text, i % 2 ? 6 : 0, text.size());
            writer.Write(text.data(), text.size());
            writer.End();
        }
        writer.Commit();
    }
    const std::string bytes = ReadFile(dir.Path("many.zip"));
    EXPECT_NE(std::string::npos, bytes.find("PK\x06\x06"));
    EXPECT_NE(std::string::npos, bytes.find("PK\x06\x07"));

    const auto archive = ZipArchive::Open(dir.Path("many.zip"), DefaultLimits());
    ASSERT_EQ(kCount, archive->EntryCount());
    for (const uint64_t i : {uint64_t{0}, uint64_t{65535}, kCount - 1}) {
        EXPECT_EQ("e/" + std::to_string(i), archive->NameOf(i));
        EXPECT_EQ(std::to_string(i),
                  Drain(*archive->OpenContent(archive->EntryAt(i), "e/" + std::to_string(i))));
    }
    const std::vector<StoredEntry> listed = ListZip(dir.Path("many.zip"));
    ASSERT_EQ(kCount, listed.size());
    EXPECT_EQ("e/69999", listed.back().name);
}

// The writer's own misuse and a raw copy that does not deliver what it declared: an error,
// and no file.
TEST(ZipWriter, RefusesMisuseAndLeavesNoFile) {
    TempDir dir;
    const struct {
        const char* name;
        std::function<void(ZipWriter&)> steps;
    } cases[] = {
        {"raw copy short of its stored size",
         [](ZipWriter& w) {
             w.BeginRaw("a", 0, 10, 10, 0);
             w.Write("12345", 5);
             w.End();
         }},
        {"raw copy past its stored size",
         [](ZipWriter& w) {
             w.BeginRaw("a", 0, 4, 4, 0);
             w.Write("12345", 5);
         }},
        {"unknown method", [](ZipWriter& w) { w.BeginRaw("a", 12, 4, 4, 0); }},
        {"an entry inside an entry",
         [](ZipWriter& w) {
             w.Begin("a", 6, 1);
             w.Begin("b", 6, 1);
         }},
        {"finished inside an entry",
         [](ZipWriter& w) {
             w.Begin("a", 6, 1);
             w.Commit();
         }},
        {"a name too long", [](ZipWriter& w) { w.Begin(std::string(70000, 'n'), 6, 1); }},
        {"a deflate level past 9", [](ZipWriter& w) { w.Begin("a", 10, 1); }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        {
            ZipWriter writer(dir.Path("out.zip"));
            EXPECT_THROW(test.steps(writer), PackageError);
        }
        EXPECT_EQ(std::vector<std::string>{}, dir.Names());
    }
}

// A part whose damage shows while it is read stays damaged: every read after the failing one
// fails the same way, rather than handing out what was inflated or a clean end. Small parts
// are inflated whole, large ones streamed; the damage shows at the end (a wrong CRC) or on
// the way (the compressed bytes cut short).
TEST(ZipArchive, EveryReadOfADamagedPartFails) {
    TempDir dir;
    const std::string small = kMarkup;
    const std::string large = Incompressible(300 * 1024) + kMarkup;
    {
        ZipWriter writer(dir.Path("out.zip"));
        for (const auto& [name, content] :
             {std::pair{"small", &small}, std::pair{"large", &large}}) {
            writer.Begin(name, 6, content->size());
            writer.Write(content->data(), content->size());
            writer.End();
        }
        writer.Commit();
    }
    const std::string written = ReadFile(dir.Path("out.zip"));
    const struct {
        const char* name;
        size_t field; // of the central directory record: CRC 16, stored size 20
        const char* message;
    } cases[] = {
        {"small", 16, "CRC"},
        {"large", 16, "CRC"},
        {"small", 20, "ends early"},
        {"large", 20, "ends early"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::string(test.name) + " " + test.message);
        std::string bytes = written;
        const size_t record = CentralName(bytes, test.name) - 46;
        const uint64_t value = LittleEndian(bytes, record + test.field, 4);
        const uint64_t damaged = test.field == 16 ? value ^ 1 : value / 2;
        for (int i = 0; i < 4; ++i) {
            bytes[record + test.field + i] = static_cast<char>(damaged >> (8 * i));
        }
        WriteFile(dir.Path("damaged.zip"), bytes);
        const auto archive = ZipArchive::Open(dir.Path("damaged.zip"), DefaultLimits());
        const ZipEntry entry = archive->EntryAt(std::string(test.name) == "small" ? 0 : 1);
        const auto source = archive->OpenContent(entry, test.name);
        std::string first;
        try {
            Drain(*source);
            ADD_FAILURE() << "the damage went unseen";
        } catch (const PackageError& error) {
            first = error.what();
        }
        EXPECT_NE(std::string::npos, first.find(test.message)) << first;
        char buffer[100];
        for (int again = 0; again < 2; ++again) {
            try {
                source->Read(buffer, sizeof buffer);
                ADD_FAILURE() << "a read after the damage succeeded";
            } catch (const PackageError& error) {
                EXPECT_EQ(first, error.what());
            }
        }
    }
}

// Each allocation the writer makes through the platform (buffers, compressors, zlib's
// stream) fails in turn: the failure comes out as std::bad_alloc and leaves no file, and a
// run that succeeds writes every entry, gathered and streamed.
TEST(ZipWriter, RunsOutOfMemoryCleanlyAnywhere) {
    const std::vector<std::pair<int, std::string>> entries = {{6, kMarkup.substr(0, 500)},
                                                              {6, Incompressible(3000)},
                                                              {1, kMarkup.substr(0, 900)},
                                                              {1, kMarkup + kMarkup},
                                                              {6, kMarkup.substr(0, 1800)}};
    using Fixture = std::unique_ptr<TempDir>;
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [] { return std::make_unique<TempDir>(); };
    sweep.operation = [&](Fixture& dir) {
        ZipWriter writer(dir->Path("out.zip"), 2048);
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string& content = entries[i].second;
            writer.Begin("e" + std::to_string(i), entries[i].first, content.size());
            writer.Write(content.data(), content.size() / 2);
            writer.Write(content.data() + content.size() / 2, content.size() - content.size() / 2);
            writer.End();
        }
        writer.Commit();
        return S_OK;
    };
    sweep.state = [&](Fixture& dir) {
        std::vector<std::string> state;
        for (const std::string& name : dir->Names()) {
            state.push_back(name);
        }
        if (state == std::vector<std::string>{"out.zip"}) {
            const auto archive = ZipArchive::Open(dir->Path("out.zip"), DefaultLimits());
            for (uint64_t i = 0; i < archive->EntryCount(); ++i) {
                state.back() += "|" + Drain(*archive->OpenContent(archive->EntryAt(i), "e"));
            }
        }
        return state;
    };
    EXPECT_GT(allocationsweep::Run(sweep), 5u);
}

} // namespace

// Small reads are served from windows of the file read ahead: one after another they must
// answer exactly the file's bytes, whether a window holds them, they run past a window's end,
// go back before every window, or reach the end of the file (fewer bytes, then none).
TEST(InputFile, ReadsTheFilesBytesThroughItsWindows) {
    TempDir dir;
    const std::string bytes = Incompressible(100 * 1024 + 17);
    WriteFile(dir.Path("file.bin"), bytes);
    const InputFile file(dir.Path("file.bin"));
    const size_t size = bytes.size();
    const struct {
        uint64_t offset;
        size_t count;
    } reads[] = {
        {0, 30},
        {30, 300},
        {330, 1},
        {331, 0},
        {32 * 1024 - 5, 10},    // past the first window's end
        {100, 8 * 1024},        // back into the first window
        {50 * 1024, 40 * 1024}, // larger than a window
        {70 * 1024, 100},
        {90 * 1024, 100},
        {10 * 1024, 100},
        {60 * 1024, 100},
        {0, 100}, // all four windows used
        {size - 20, 50},
        {size - 1, 1},
        {size, 10},
        {size + 1000, 10},
        {1, 2},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(std::to_string(read.offset) + "+" + std::to_string(read.count));
        std::string got(read.count, '\0');
        const size_t answered = file.ReadAt(read.offset, got.data(), got.size());
        const std::string expected =
            read.offset >= size ? std::string() : bytes.substr(read.offset, read.count);
        EXPECT_EQ(expected.size(), answered);
        got.resize(answered);
        EXPECT_TRUE(expected == got);
    }
}
