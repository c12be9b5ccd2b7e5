// Helpers for the XPS package tests: temporary folders, real jobs from make-xps, small
// packages built entry by entry (so that a test can damage exactly one thing), and walks over
// a reader.
#pragma once

#include <atlbase.h>
#include <xpspackage.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xpstest {

// A folder under /tmp removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Root() const { return path_; }
    // The names in the folder, sorted.
    std::vector<std::string> Names() const;

private:
    std::string path_;
};

// Runs a shell command; answers its exit status.
int Run(const std::string& command);

// Writes a job with the project's make-xps into path (arguments as on its command line).
void MakeJob(const std::string& path, const std::string& arguments);

// One entry of a ZIP file to build.
struct Entry {
    std::string name;
    std::string bytes;
    bool deflate = true;
};

// Writes entries into a ZIP file (minizip); zip64 forces ZIP64 records.
void WriteZip(const std::string& path, const std::vector<Entry>& entries, bool zip64 = false);

// The entries of a small valid XPS job: a sequence with a ticket, one document with a ticket
// and two pages, the first with a ticket, both using one image resource.
std::vector<Entry> SmallJob(bool openXps = false);
// A relationships part holding body, and a relationship of a Microsoft XPS type named by its
// last segment (printticket, required-resource, ...), to write into such jobs.
std::string Rels(const std::string& body);
std::string Rel(const std::string& type, const std::string& target);
// Replaces the entry named name (adding it when missing), or removes it when bytes is null.
void SetEntry(std::vector<Entry>& entries, const std::string& name, const char* bytes);

// A reader of path, expected to open; limits as XpsOpenPackageReader takes them.
ATL::CComPtr<IXpsDocumentProvider> Open(const std::string& path,
                                        const XpsPackageLimits* limits = nullptr);

// The ways a reader reads page relationships ahead that every walk must be alike in: not at
// all, one page ahead, and the default window. Each reads ahead in documents of any size (the
// default floor leaves the tests' small documents to the walk alone).
struct ReadAhead {
    const char* name;
    ULONG pages;
};
inline constexpr ReadAhead kReadAheads[] = {{"off", 0}, {"one page", 1}, {"32 pages", 32}};
// base (the defaults when null) reading ahead as readAhead says.
XpsPackageLimits WithReadAhead(const ReadAhead& readAhead, const XpsPackageLimits* base = nullptr);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// What a walk over a reader saw: "kind uri" per part, and the HRESULT it ended with.
struct Walk {
    std::vector<std::string> parts;
    HRESULT result = S_OK;
    std::string message;
};
Walk WalkReader(IXpsDocumentProvider* reader, bool readStreams = false);

// The whole content of a part's stream; the HRESULT that stopped it goes to *failure and the
// stream's message to *message.
std::string ReadPart(IPartBase* part, HRESULT* failure = nullptr, std::string* message = nullptr);

std::string Narrow(BSTR text);

// A test name made of a case's name field: letters and digits kept, the rest '_'.
std::string TestName(const char* name);
template <class Case>
std::string NamedByField(const ::testing::TestParamInfo<Case>& info) {
    return TestName(info.param.name);
}

// One entry of a ZIP file as libzip sees it.
struct StoredEntry {
    std::string name;
    uint16_t method = 0;
    uint64_t storedSize = 0;
    uint64_t fullSize = 0;
    uint32_t crc = 0;
};
std::vector<StoredEntry> ListZip(const std::string& path);
// An entry's content.
std::string ZipContent(const std::string& path, const std::string& name);

} // namespace xpstest
