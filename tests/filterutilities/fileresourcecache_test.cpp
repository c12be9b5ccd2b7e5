// The page resource cache over a real package reader and writer: a resource shared by pages is
// written once and attached to all, keys decide what is shared, and a resource that cannot be
// written leaves nothing behind.
#include "allocationsweep.h"
#include "comtest.h"
#include "scratchfolder.h"
#include "xpsjobtestsupport.h"

#include <filterutilities/fileresourcecache.h>

#include <oleauto.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace {

// A resource of the test: fixed key, part name and bytes; each step can be told to fail.
class TestResource : public IResWriter {
public:
    TestResource(std::u16string key, std::u16string uri, std::string bytes,
                 IID iid = IID_IPartImage)
        : key(std::move(key)), uri(std::move(uri)), bytes(std::move(bytes)), iid(iid) {}

    HRESULT WriteResourceData(IUnknown* part, IPrintWriteStream* written) override {
        ++writes;
        EXPECT_NE(nullptr, part);
        stream = written;
        // Half the bytes go out before a failure, so a failed part is a half-written one.
        const size_t count =
            (writeFailure != S_OK || writeThrows) ? bytes.size() / 2 : bytes.size();
        ULONG done = 0;
        const HRESULT hr = written->WriteBytes(bytes.data(), static_cast<ULONG>(count), &done);
        if (writeThrows) {
            throw std::runtime_error("the resource's own failure");
        }
        return FAILED(hr) ? hr : writeFailure;
    }
    HRESULT GetResourceKey(BSTR* out) override {
        ++keysAsked;
        return Answer(keyFailure, key, out);
    }
    HRESULT GetResourceUri(BSTR* out) override { return Answer(uriFailure, uri, out); }
    REFIID GetResourceInterfaceId() override { return iid; }

    std::u16string key;
    std::u16string uri;
    std::string bytes;
    IID iid;
    HRESULT keyFailure = S_OK;
    HRESULT uriFailure = S_OK;
    HRESULT writeFailure = S_OK;
    bool writeThrows = false;
    int writes = 0;
    int keysAsked = 0;
    CComPtr<IPrintWriteStream> stream; // the stream of the last write

private:
    static HRESULT Answer(HRESULT failure, const std::u16string& text, BSTR* out) {
        if (FAILED(failure)) {
            return failure;
        }
        *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }
};

// GetURI's answer as text: "(null)", "(untouched)" or the part name.
std::string UriFor(const CFileResourceCache& cache, const char16_t* key, HRESULT* result) {
    const CComBSTR sentinel(u"untouched");
    BSTR out = sentinel;
    *result = cache.GetURI(key, &out);
    if (out == sentinel.m_str) {
        return "(untouched)";
    }
    const std::string narrow = out ? xpsjob::Narrow(out) : "(null)";
    SysFreeString(out);
    return narrow;
}

// A closed platform write stream refuses further bytes.
bool Closed(IPrintWriteStream* stream) {
    ULONG written = 0;
    return stream && stream->WriteBytes("x", 1, &written) == E_UNEXPECTED;
}

TEST(FileResourceCache, ASharedResourceIsWrittenOnceAndAttachedToEveryPage) {
    ScratchFolder folder("resourcecache");
    const std::string in = (folder / "in.xps").string();
    const std::string out = (folder / "out.xps").string();
    xpsjob::Make(in, "--pages 1000 --lines 1");

    // Two keys that differ only in case are two resources; a third resource under the first
    // key but another name shares the first key's part and is never written.
    TestResource logo(u"logo", u"/Resources/logo.png", "\x89PNG the logo");
    TestResource other(u"Logo", u"/Resources/Other.png", "\x89PNG another logo");
    TestResource sameKey(u"logo", u"/Resources/unused.png", "never written");
    CFileResourceCache cache;
    {
        CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(in);
        CComPtr<IXpsDocumentConsumer> writer = xpsjob::CreateWriter(out);
        ASSERT_TRUE(reader && writer);
        while (true) {
            CComPtr<IUnknown> part;
            ASSERT_EQ(S_OK, reader->GetXpsPart(&part));
            if (!part) {
                break;
            }
            CComPtr<IFixedPage> page;
            if (SUCCEEDED(part.QueryInterface(&page))) {
                for (TestResource* resource : {&logo, &other, &sameKey}) {
                    ASSERT_EQ(S_OK, cache.WriteResource(writer, page, resource));
                }
            }
            ASSERT_EQ(S_OK, XpsSendPart(writer, part));
        }
        ASSERT_EQ(S_OK, writer->CloseSender());
    }
    EXPECT_EQ(1, logo.writes);
    EXPECT_EQ(1, other.writes);
    EXPECT_EQ(0, sameKey.writes);
    EXPECT_TRUE(Closed(logo.stream));
    HRESULT hr = S_OK;
    EXPECT_EQ("/Resources/logo.png", UriFor(cache, u"logo", &hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ("/Resources/Other.png", UriFor(cache, u"Logo", &hr));
    EXPECT_EQ(S_OK, hr);

    // Read back: every page reaches both parts, with their whole content.
    CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(out);
    ASSERT_TRUE(reader);
    int pages = 0;
    while (CComPtr<IFixedPage> page = xpsjob::NextPage(reader)) {
        SCOPED_TRACE("page " + std::to_string(++pages));
        for (const TestResource* resource : {&logo, &other}) {
            CComPtr<IUnknown> part;
            ASSERT_EQ(S_OK, page->GetPagePart(resource->uri.c_str(), &part));
            CComPtr<IPartBase> base;
            ASSERT_EQ(S_OK, part.QueryInterface(&base));
            EXPECT_EQ(resource->bytes, xpsjob::ReadAll(base));
        }
        CComPtr<IUnknown> unused;
        EXPECT_TRUE(FAILED(page->GetPagePart(sameKey.uri.c_str(), &unused)));
    }
    EXPECT_EQ(1000, pages);
}

// A small job in a folder of the test's own.
struct SmallJob {
    SmallJob() : folder("resourcecache") { xpsjob::Make(input(), "--pages 2 --lines 1"); }
    std::string input() const { return (folder / "in.xps").string(); }
    std::string output() const { return (folder / "out.xps").string(); }
    ScratchFolder folder;
};

// The small job opened for copying, stopped at its first page.
struct OpenJob {
    explicit OpenJob(const SmallJob& job) : output(job.output()) {
        reader = xpsjob::OpenReader(job.input());
        writer = xpsjob::CreateWriter(output);
        page = xpsjob::NextPage(reader, writer);
    }
    // Sends the first page and everything after it, and closes the job.
    void Finish() {
        ASSERT_EQ(S_OK, XpsSendPart(writer, page));
        while (CComPtr<IFixedPage> next = xpsjob::NextPage(reader, writer)) {
            ASSERT_EQ(S_OK, XpsSendPart(writer, next));
        }
        ASSERT_EQ(S_OK, writer->CloseSender());
    }

    std::string output;
    CComPtr<IXpsDocumentProvider> reader;
    CComPtr<IXpsDocumentConsumer> writer;
    CComPtr<IFixedPage> page;
};

TEST(FileResourceCache, AResourceThatCannotBeWrittenLeavesNothingAndIsTriedAgain) {
    struct Case {
        const char* what;
        void (*spoil)(TestResource&);
        HRESULT expected; // S_FALSE: the resource's exception reaches the caller
    };
    const HRESULT diskFull = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    const Case cases[] = {
        {"no key", [](TestResource& r) { r.keyFailure = E_ACCESSDENIED; }, E_ACCESSDENIED},
        {"no part name", [](TestResource& r) { r.uriFailure = E_NOTIMPL; }, E_NOTIMPL},
        {"a name the writer refuses", [](TestResource& r) { r.uri = u"/../logo.png"; },
         E_INVALIDARG},
        {"an interface the writer cannot make", [](TestResource& r) { r.iid = IID_IStream; },
         E_NOINTERFACE},
        {"writing fails half way",
         [](TestResource& r) { r.writeFailure = HRESULT_FROM_WIN32(ERROR_DISK_FULL); }, diskFull},
        {"writing throws", [](TestResource& r) { r.writeThrows = true; }, S_FALSE},
    };
    const SmallJob small;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenJob job(small);
        ASSERT_TRUE(job.page);
        const std::vector<std::string> before = xpsjob::Resources(job.page);
        CFileResourceCache cache;
        TestResource bad(u"logo", u"/Resources/logo.png", "\x89PNG half of it is written");
        c.spoil(bad);
        if (c.expected == S_FALSE) {
            EXPECT_THROW(cache.WriteResource(job.writer, job.page, &bad), std::runtime_error);
        } else {
            EXPECT_EQ(c.expected, cache.WriteResource(job.writer, job.page, &bad));
        }
        if (bad.writes) {
            EXPECT_TRUE(Closed(bad.stream)) << "the new part's stream was left open";
        }
        EXPECT_EQ(before, xpsjob::Resources(job.page));
        HRESULT hr = S_OK;
        EXPECT_EQ("(null)", UriFor(cache, u"logo", &hr));
        EXPECT_EQ(E_FAIL, hr);

        // The same key again, from a resource that works: written now and attached.
        TestResource good(u"logo", u"/Resources/logo.png", "\x89PNG the whole logo");
        ASSERT_EQ(S_OK, cache.WriteResource(job.writer, job.page, &good));
        EXPECT_EQ(1, good.writes);
        job.Finish();

        CComPtr<IXpsDocumentProvider> reader = xpsjob::OpenReader(job.output);
        CComPtr<IFixedPage> page = xpsjob::NextPage(reader);
        ASSERT_TRUE(page);
        CComPtr<IUnknown> part;
        ASSERT_EQ(S_OK, page->GetPagePart(u"/Resources/logo.png", &part));
        CComPtr<IPartBase> base;
        ASSERT_EQ(S_OK, part.QueryInterface(&base));
        EXPECT_EQ(good.bytes, xpsjob::ReadAll(base));
    }
}

TEST(FileResourceCache, ArgumentsAndLookUps) {
    const SmallJob small;
    OpenJob job(small);
    ASSERT_TRUE(job.page);
    CFileResourceCache cache;
    TestResource logo(u"logo", u"/Resources/logo.png", "\x89PNG logo");
    const std::vector<std::string> before = xpsjob::Resources(job.page);

    // A null argument is refused before the resource is asked anything.
    EXPECT_EQ(E_POINTER, cache.WriteResource(nullptr, job.page, &logo));
    EXPECT_EQ(E_POINTER, cache.WriteResource(job.writer, nullptr, &logo));
    EXPECT_EQ(E_POINTER, cache.WriteResource(job.writer, job.page, nullptr));
    EXPECT_EQ(0, logo.keysAsked);

    ASSERT_EQ(S_OK, cache.WriteResource(job.writer, job.page, &logo));
    // The name written first stays the key's name.
    TestResource renamed(u"logo", u"/Resources/renamed.png", "\x89PNG logo");
    ASSERT_EQ(S_OK, cache.WriteResource(job.writer, job.page, &renamed));

    struct Case {
        const char16_t* key;
        HRESULT expected;
        const char* uri;
    };
    const Case cases[] = {
        {u"logo", S_OK, "/Resources/logo.png"}, {u"LOGO", E_FAIL, "(null)"},
        {u"logo ", E_FAIL, "(null)"},           {u"", E_INVALIDARG, "(null)"},
        {nullptr, E_INVALIDARG, "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key ? xpsjob::Narrow(c.key) : "null key");
        HRESULT hr = S_OK;
        EXPECT_EQ(c.uri, UriFor(cache, c.key, &hr));
        EXPECT_EQ(c.expected, hr);
    }
    EXPECT_EQ(E_POINTER, cache.GetURI(u"logo", nullptr));
    std::vector<std::string> attached = before;
    attached.push_back("/Resources/logo.png");
    EXPECT_EQ(attached, xpsjob::Resources(job.page));
}

TEST(FileResourceCache, CopiesShareTheWrittenParts) {
    const SmallJob small;
    OpenJob job(small);
    ASSERT_TRUE(job.page);
    TestResource logo(u"logo", u"/Resources/logo.png", "\x89PNG logo");
    TestResource other(u"other", u"/Resources/other.png", "\x89PNG other");
    auto cache = std::make_unique<CFileResourceCache>();
    ASSERT_EQ(S_OK, cache->WriteResource(job.writer, job.page, &logo));
    CComPtr<IUnknown> part;
    ASSERT_EQ(S_OK, job.page->GetPagePart(u"/Resources/logo.png", &part));
    const ULONG held = comtest::RefCount(part.p);

    CFileResourceCache copy(*cache);
    EXPECT_REF(part.p, held + 1);
    CFileResourceCache assigned;
    ASSERT_EQ(S_OK, assigned.WriteResource(job.writer, job.page, &other));
    assigned = *cache;
    EXPECT_REF(part.p, held + 2);
    cache.reset();
    EXPECT_REF(part.p, held + 1);

    // The copies answer for the key and never write it again.
    for (CFileResourceCache* c : {&copy, &assigned}) {
        HRESULT hr = S_OK;
        EXPECT_EQ("/Resources/logo.png", UriFor(*c, u"logo", &hr));
        EXPECT_EQ(S_OK, c->WriteResource(job.writer, job.page, &logo));
    }
    EXPECT_EQ(1, logo.writes);
    // What the assignment replaced is gone from the copy.
    HRESULT hr = S_OK;
    EXPECT_EQ("(null)", UriFor(assigned, u"other", &hr));
}

TEST(FileResourceCache, RunningOutOfMemoryLeavesThePageAndTheCacheWholeOrUnchanged) {
    const SmallJob small;
    struct Fixture {
        std::unique_ptr<OpenJob> job;
        std::unique_ptr<CFileResourceCache> cache;
        std::unique_ptr<TestResource> resource;
    };
    allocationsweep::Sweep<Fixture> sweep;
    sweep.make = [&] {
        Fixture fixture;
        fixture.job = std::make_unique<OpenJob>(small);
        fixture.cache = std::make_unique<CFileResourceCache>();
        fixture.resource =
            std::make_unique<TestResource>(u"logo", u"/Resources/logo.png", "\x89PNG logo");
        return fixture;
    };
    sweep.operation = [](Fixture& fixture) {
        return fixture.cache->WriteResource(fixture.job->writer, fixture.job->page,
                                            fixture.resource.get());
    };
    sweep.state = [](Fixture& fixture) {
        HRESULT hr = S_OK;
        const std::string uri = UriFor(*fixture.cache, u"logo", &hr);
        std::string resources;
        for (const std::string& name : xpsjob::Resources(fixture.job->page)) {
            resources += name + " ";
        }
        return std::vector<std::string>{uri, resources};
    };
    EXPECT_GT(allocationsweep::Run(sweep), 0u);
}

} // namespace
