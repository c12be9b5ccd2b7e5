// Carrying a page's resources over to another page, on pages of a real job.
#include "scratchfolder.h"
#include "xpsjobtestsupport.h"

#include <filterutilities/cunknown.h>
#include <filterutilities/resourcecopier.h>

#include <string>
#include <vector>

namespace {

// A destination page that records the parts attached to it and fails the n-th attachment;
// any other call is a fault of the copier.
class RecordingPage : public CUnknown<IFixedPage> {
public:
    RecordingPage(int failAt, HRESULT failure)
        : CUnknown(IID_IFixedPage), m_failAt(failAt), m_failure(failure) {}

    HRESULT STDMETHODCALLTYPE SetPagePart(IUnknown* part) override {
        attached.push_back(xpsjob::UriOf(part));
        return static_cast<int>(attached.size()) == m_failAt ? m_failure : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUri(BSTR*) override { return Unexpected("GetUri"); }
    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream**) override {
        return Unexpected("GetStream");
    }
    HRESULT STDMETHODCALLTYPE GetPartCompression(EXpsCompressionOptions*) override {
        return Unexpected("GetPartCompression");
    }
    HRESULT STDMETHODCALLTYPE SetPartCompression(EXpsCompressionOptions) override {
        return Unexpected("SetPartCompression");
    }
    HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket**) override {
        return Unexpected("GetPrintTicket");
    }
    HRESULT STDMETHODCALLTYPE GetPagePart(const WCHAR*, IUnknown**) override {
        return Unexpected("GetPagePart");
    }
    HRESULT STDMETHODCALLTYPE GetWriteStream(IPrintWriteStream**) override {
        return Unexpected("GetWriteStream");
    }
    HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket*) override {
        return Unexpected("SetPrintTicket");
    }
    HRESULT STDMETHODCALLTYPE DeleteResource(const WCHAR*) override {
        return Unexpected("DeleteResource");
    }
    HRESULT STDMETHODCALLTYPE GetXpsPartIterator(IXpsPartIterator**) override {
        return Unexpected("GetXpsPartIterator");
    }

    std::vector<std::string> attached;

private:
    static HRESULT Unexpected(const char* call) {
        ADD_FAILURE() << "unexpected call of " << call << " on the destination page";
        return E_UNEXPECTED;
    }
    int m_failAt;
    HRESULT m_failure;
};

// The first page of a real job with two more resources attached beside its font, and a new
// page without any.
struct Pages {
    Pages() : folder("resourcecopier") {
        const std::string in = (folder / "in.xps").string();
        xpsjob::Make(in, "--pages 1 --lines 1");
        reader = xpsjob::OpenReader(in);
        writer = xpsjob::CreateWriter((folder / "out.xps").string());
        source = xpsjob::NextPage(reader, writer);
        Attach(u"/Resources/logo.png", IID_IPartImage);
        Attach(u"/Resources/shapes.dict", IID_IPartResourceDictionary);
        CComPtr<IPrintWriteStream> stream;
        EXPECT_EQ(S_OK, writer->GetNewEmptyPart(u"/Documents/1/Pages/new.fpage", IID_IFixedPage,
                                                reinterpret_cast<void**>(&empty), &stream));
    }
    void Attach(const WCHAR* uri, REFIID iid) {
        CComPtr<IUnknown> part;
        CComPtr<IPrintWriteStream> stream;
        ASSERT_EQ(S_OK,
                  writer->GetNewEmptyPart(uri, iid, reinterpret_cast<void**>(&part), &stream));
        stream->Close();
        ASSERT_EQ(S_OK, source->SetPagePart(part));
    }

    ScratchFolder folder;
    CComPtr<IXpsDocumentProvider> reader;
    CComPtr<IXpsDocumentConsumer> writer;
    CComPtr<IFixedPage> source;
    CComPtr<IFixedPage> empty;
};

TEST(ResourceCopier, CopiesEveryResourceInOrder) {
    Pages pages;
    ASSERT_TRUE(pages.source && pages.empty);
    const std::vector<std::string> resources = xpsjob::Resources(pages.source);
    ASSERT_EQ(3u, resources.size());
    const CResourceCopier copier;
    EXPECT_EQ(S_OK, copier.CopyPageResources(pages.source, pages.empty));
    EXPECT_EQ(resources, xpsjob::Resources(pages.empty));
    EXPECT_EQ(resources, xpsjob::Resources(pages.source));

    // Copying again changes nothing: a page holds a part once.
    EXPECT_EQ(S_OK, copier.CopyPageResources(pages.source, pages.empty));
    EXPECT_EQ(resources, xpsjob::Resources(pages.empty));
}

TEST(ResourceCopier, APageWithoutResourcesLeavesTheDestinationAsItWas) {
    Pages pages;
    ASSERT_TRUE(pages.source && pages.empty);
    const std::vector<std::string> before = xpsjob::Resources(pages.source);
    EXPECT_EQ(S_OK, CResourceCopier().CopyPageResources(pages.empty, pages.source));
    EXPECT_EQ(before, xpsjob::Resources(pages.source));
}

TEST(ResourceCopier, TheFirstFailureStopsTheCopy) {
    Pages pages;
    ASSERT_TRUE(pages.source);
    const std::vector<std::string> resources = xpsjob::Resources(pages.source);
    ASSERT_EQ(3u, resources.size());
    struct Case {
        int failAt;
        HRESULT failure;
        size_t attempted;
    };
    const HRESULT diskFull = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    for (const Case& c : {Case{1, E_OUTOFMEMORY, 1}, Case{2, diskFull, 2}, Case{3, E_FAIL, 3}}) {
        SCOPED_TRACE("SetPagePart fails at " + std::to_string(c.failAt));
        CComPtr<RecordingPage> destination;
        destination.Attach(new RecordingPage(c.failAt, c.failure));
        EXPECT_EQ(c.failure, CResourceCopier().CopyPageResources(pages.source, destination));
        EXPECT_EQ(std::vector<std::string>(resources.begin(), resources.begin() + c.attempted),
                  destination->attached);
    }
}

TEST(ResourceCopier, NullPagesAreRefused) {
    Pages pages;
    const CResourceCopier copier;
    EXPECT_EQ(E_POINTER, copier.CopyPageResources(nullptr, pages.empty));
    EXPECT_EQ(E_POINTER, copier.CopyPageResources(pages.source, nullptr));
}

} // namespace
