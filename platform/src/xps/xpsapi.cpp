// The exported entry points of xpspackage.h.
#include "xpspackage.h"

#include "packagereader.h"
#include "packagewriter.h"
#include "partobjects.h"
#include "replacementfile.h"

#include <cstdlib>
#include <cstring>

using namespace platform::xps;

namespace {
thread_local std::string lastOpenError;

// FILTERUTILITIES_READ_AHEAD: the pages a reader reads ahead by default; anything but a plain
// number leaves the default, none. Reading ahead spends a second processor's time (about a
// third more processor time for a copy) to shorten a lone reader's wall time; a reader inside
// the pipeline host, whose other threads keep the processors busy, gains nothing by it.
ULONG DefaultReadAheadPages() {
    constexpr ULONG kPages = 0;
    const char* text = std::getenv("FILTERUTILITIES_READ_AHEAD");
    if (!text || !*text || std::strlen(text) > 9 ||
        std::strspn(text, "0123456789") != std::strlen(text)) {
        return kPages;
    }
    return static_cast<ULONG>(std::strtoul(text, nullptr, 10));
}
} // namespace

extern "C" {

void WINAPI XpsDefaultPackageLimits(XpsPackageLimits* limits) {
    if (limits) {
        limits->maxPartBytes = 1ull << 30;
        limits->maxJobBytes = 16ull << 30;
        limits->maxRatio = 1000;
        limits->ratioFloor = 1ull << 20;
        limits->readAheadPages = DefaultReadAheadPages();
        limits->readAheadFloor = 1024;
    }
}

HRESULT WINAPI XpsOpenPackageReader(const char* path, const XpsPackageLimits* limits,
                                    IXpsDocumentProvider** provider) {
    if (!path || !provider) {
        return E_POINTER;
    }
    *provider = nullptr;
    XpsPackageLimits chosen;
    XpsDefaultPackageLimits(&chosen);
    if (limits) {
        chosen = *limits;
    }
    lastOpenError.clear();
    return Guarded(&lastOpenError, [&] {
        *provider = OpenPackageReader(path, chosen);
        return S_OK;
    });
}

HRESULT WINAPI XpsGetReaderFlavour(IXpsDocumentProvider* provider, XpsFlavour* flavour) {
    if (!flavour) {
        return E_POINTER;
    }
    return Guarded(nullptr, [&] {
        *flavour = FlavourOfReader(provider);
        return S_OK;
    });
}

HRESULT WINAPI XpsSendPart(IXpsDocumentConsumer* consumer, IUnknown* part) {
    if (!consumer || !part) {
        return E_POINTER;
    }
    ATL::CComPtr<IFixedPage> page;
    ATL::CComPtr<IFixedDocument> document;
    ATL::CComPtr<IFixedDocumentSequence> sequence;
    ATL::CComPtr<IXpsDocument> xps;
    if (SUCCEEDED(part->QueryInterface(&page))) {
        return consumer->SendFixedPage(page);
    }
    if (SUCCEEDED(part->QueryInterface(&document))) {
        return consumer->SendFixedDocument(document);
    }
    if (SUCCEEDED(part->QueryInterface(&sequence))) {
        return consumer->SendFixedDocumentSequence(sequence);
    }
    if (SUCCEEDED(part->QueryInterface(&xps))) {
        return consumer->SendXpsDocument(xps);
    }
    return consumer->SendXpsUnknown(part);
}

HRESULT WINAPI XpsCreatePackageWriter(const char* path, IXpsDocumentConsumer** consumer) {
    if (!path || !consumer) {
        return E_POINTER;
    }
    *consumer = nullptr;
    lastOpenError.clear();
    return Guarded(&lastOpenError, [&] {
        *consumer = CreatePackageWriter(path);
        return S_OK;
    });
}
void WINAPI XpsRemoveUnfinishedPackageFiles() {
    platform::xps::RemoveUnfinishedFiles();
}

HRESULT WINAPI XpsGetLastOpenErrorText(BSTR* text) {
    if (!text) {
        return E_POINTER;
    }
    *text = nullptr;
    return Guarded(nullptr, [&] {
        *text = ToBstr(lastOpenError);
        return S_OK;
    });
}
}
