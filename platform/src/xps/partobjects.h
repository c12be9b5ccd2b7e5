// The COM objects of a job: parts (pages, tickets, fonts, images, dictionaries, thumbnails
// and other resources), fixed documents, the sequence, the XPS document, and the streams and
// iterator they hand out. Every one of them answers IXpsPartInternal, through which the writer
// reaches what the pipeline interfaces do not show (content type, where the bytes are).
#pragma once

#include "comobject.h"
#include "partcontent.h"

#include "atlbase.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace platform::xps {
struct PartCore;
struct PageState;
struct StructureState;
struct XpsDocumentState;
} // namespace platform::xps

// clang-format off
// The state behind the objects of this folder; each answers null for what it does not have.
MIDL_INTERFACE("5B0E7F52-3C1A-4C8E-9E0B-6F2A1D7C4E10") IXpsObjectInternal : public IUnknown {
    virtual platform::xps::PartCore* STDMETHODCALLTYPE Core() = 0;
    virtual platform::xps::PageState* STDMETHODCALLTYPE Page() = 0;
    virtual platform::xps::StructureState* STDMETHODCALLTYPE Structure() = 0;
    virtual platform::xps::XpsDocumentState* STDMETHODCALLTYPE Document() = 0;
};
PLATFORM_DECLARE_IID(IXpsObjectInternal, 0x5B0E7F52, 0x3C1A, 0x4C8E, 0x9E, 0x0B, 0x6F, 0x2A, 0x1D,
                     0x7C, 0x4E, 0x10);
// clang-format on

namespace platform::xps {

enum class PartKind { Other, Page, PrintTicket, Font, Image, ResourceDictionary, Thumbnail };

// The state every part object has.
struct PartCore {
    PartKind kind = PartKind::Other;
    std::string uri;
    std::string contentType;
    std::shared_ptr<const PartContent> content;
    EXpsCompressionOptions compression = Compression_Normal;
    EXpsCompressionOptions readCompression = Compression_Normal; // as the package stored it
    EXpsFontOptions fontOptions = Font_Normal;
    // A font the package read named by a restricted-font relationship: restricted to print
    // and preview whatever its bytes say. Any other font's permission is its fsType.
    bool namedRestricted = false;
    // A part that passes unchanged keeps its stored bytes.
    const PackagePartContent* Unchanged() const;
    // Whether the bytes of a font part are obfuscated (its options or its content type say so).
    bool ObfuscatedFont() const;
};

// The part core behind any part object of this platform, or null for a foreign object.
PartCore* CoreOf(IUnknown* part);

// The kind a content type makes a resource.
PartKind KindOfContentType(std::string_view contentType);

// Makes a part object of the kind's interface over content. Answers the new object with one
// reference.
IUnknown* MakePart(PartKind kind, std::string uri, std::string contentType,
                   std::shared_ptr<const PartContent> content, EXpsCompressionOptions compression);

// A resource of a page and the relationship that names it.
struct PageResource {
    std::string folded;
    ATL::CComPtr<IUnknown> part;
};

// A relationship the pipeline interfaces do not show (document structure, story fragments,
// core properties, hyperlinks, ...): carried through unread so that a copy loses nothing.
struct CarriedRelationship {
    std::string type;   // the full relationship type
    std::string target; // the part name, or the target as written when external
    bool external = false;
    ATL::CComPtr<IUnknown> part; // the target part; null when external or missing
};

// The markup of a fixed document or of the sequence as its package stores it, and what the
// reader learnt of it while handing out the parts it names (a document's pages, the sequence's
// documents). The writer copies the markup as stored when it was sent exactly those parts in
// their order; it cannot know that before the reader has read the markup to its end.
//
// The reader alone calls NameChild, NoteOther and Finish, on its thread; the writer, on
// another, reads Children, which Finish publishes.
class StoredMarkup {
public:
    StoredMarkup(std::shared_ptr<const PackagePartContent> part, XpsFlavour flavour)
        : part_(std::move(part)), flavour_(flavour) {}

    const PackagePartContent& Part() const { return *part_; }
    // Tells this markup apart from any other read in the process.
    uint64_t Identity() const { return part_->Identity(); }
    // The flavour whose namespace the markup was checked against.
    XpsFlavour Flavour() const { return flavour_; }

    // The place of the next part the markup names, which the reader hands out.
    uint32_t NameChild() { return named_++; }
    // The markup holds more than the parts the reader hands out (an element of another kind or
    // namespace): written anew, it would lose nothing the parts know, but copied it could name
    // what was never written.
    void NoteOther() { plain_ = false; }
    // The reader has read the markup to its end.
    void Finish() { children_.store(plain_ ? named_ : kUnknown, std::memory_order_release); }

    // How many parts the markup names, once the reader has read it to its end and found
    // nothing but those parts in the flavour's namespace; nothing otherwise.
    std::optional<uint32_t> Children() const {
        const int64_t children = children_.load(std::memory_order_acquire);
        return children == kUnknown ? std::nullopt
                                    : std::optional<uint32_t>(static_cast<uint32_t>(children));
    }

private:
    static constexpr int64_t kUnknown = -1;
    std::shared_ptr<const PackagePartContent> part_;
    XpsFlavour flavour_;
    uint32_t named_ = 0;
    bool plain_ = true;
    std::atomic<int64_t> children_{kUnknown};
};

// Which markup named a page or a document, by its StoredMarkup's identity (0 for a part no
// markup of a package named), and the part's place among those it names.
struct NamedBy {
    uint64_t markup = 0;
    uint32_t position = 0;
};

// What a page carries beside its markup; reached by the writer through PageStateOf.
struct PageState {
    std::vector<PageResource> resources;
    ATL::CComPtr<IPartPrintTicket> ticket;
    std::string width, height; // of its PageContent reference, when given
    // The relationships part the page was read with, in the relationship types of readFlavour;
    // the writer copies it as stored while no resource or ticket of the page has been set or
    // deleted.
    std::shared_ptr<const PackagePartContent> storedRelationships;
    bool relationshipsChanged = false;
    XpsFlavour readFlavour = XpsFlavour_MicrosoftXps;
    std::vector<CarriedRelationship> carried;
    NamedBy namedBy;
};
IFixedPage* MakePage(std::string uri, std::string contentType,
                     std::shared_ptr<const PartContent> content, EXpsCompressionOptions compression,
                     PageState state);
PageState* PageStateOf(IUnknown* page);

// Fixed documents and the sequence: a URI, a content type and a ticket.
struct StructureState {
    std::string uri;
    std::string contentType;
    uint64_t storedSize = 0, fullSize = 0; // of the markup the package held
    ATL::CComPtr<IPartPrintTicket> ticket;
    std::vector<CarriedRelationship> carried;
    // As read from a package: the markup, and the relationships part in the relationship types
    // of readFlavour, which the writer copies as stored until the ticket is set.
    std::shared_ptr<StoredMarkup> markup;
    std::shared_ptr<const PackagePartContent> storedRelationships;
    bool relationshipsChanged = false;
    XpsFlavour readFlavour = XpsFlavour_MicrosoftXps;
    NamedBy namedBy; // a document's place in its sequence
};
IFixedDocument* MakeDocument(StructureState state);
IFixedDocumentSequence* MakeSequence(StructureState state);
StructureState* StructureStateOf(IUnknown* documentOrSequence);

struct XpsDocumentState {
    XpsFlavour flavour = XpsFlavour_MicrosoftXps;
    ATL::CComPtr<IPartThumbnail> thumbnail;
    std::vector<CarriedRelationship> carried;
    // The package's relationships part, when the sequence (named sequence), the thumbnail and
    // the carried relationships are all it holds; the writer copies it as stored until the
    // thumbnail is set.
    std::shared_ptr<const PackagePartContent> storedRelationships;
    std::string sequence;
    bool relationshipsChanged = false;
};
IXpsDocument* MakeXpsDocument(XpsDocumentState state);
XpsDocumentState* XpsDocumentStateOf(IUnknown* document);

// A write stream whose bytes become content; Close ends it.
IPrintWriteStream* MakeWriteStream(std::shared_ptr<MemoryPartContent> content);

// IXpsDocumentConsumer::GetNewEmptyPart of every consumer of this platform: a new part of the
// kind iid names (IFixedPage, IPartPrintTicket, IPartFont, IPartImage, IPartResourceDictionary,
// IPartThumbnail, IPartBase), its content written through *stream. E_NOINTERFACE for another
// iid; throws PackageError when uri is no part name.
HRESULT NewEmptyPart(const WCHAR* uri, REFIID iid, void** part, IPrintWriteStream** stream);

// Converts between UTF-8 and UTF-16 BSTRs; throw std::bad_alloc or PackageError.
BSTR ToBstr(std::string_view text);
std::string FromWide(const WCHAR* text);

// Answers text as a new BSTR in *out (null on failure).
HRESULT AnswerText(std::string_view text, BSTR* out) noexcept;

// Keeps text in *lastError when there is room for it.
inline void Remember(std::string* lastError, const char* text) noexcept {
    if (lastError) {
        try {
            *lastError = text;
        } catch (...) {
            lastError->clear();
        }
    }
}

// Runs body, turning what it throws into an HRESULT (and its message into *lastError).
template <class Body>
HRESULT Guarded(std::string* lastError, Body&& body) noexcept {
    try {
        return body();
    } catch (const PackageError& error) {
        Remember(lastError, error.what());
        return error.Result();
    } catch (const std::bad_alloc&) {
        Remember(lastError, "out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        Remember(lastError, "out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::exception& error) {
        Remember(lastError, error.what());
        return E_FAIL;
    }
}

} // namespace platform::xps
