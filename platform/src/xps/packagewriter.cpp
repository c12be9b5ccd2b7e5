#include "packagewriter.h"

#include "fontembedding.h"
#include "markupreader.h"
#include "partname.h"
#include "partobjects.h"
#include "zipwriter.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace platform::xps {
namespace {

// Appends text to out with the characters markup cannot hold as they are escaped.
void AppendEscaped(std::string& out, std::string_view text) {
    size_t run = 0; // the start of the characters markup holds as they are, copied whole
    for (size_t i = 0; i < text.size(); ++i) {
        const char* escape;
        switch (text[i]) {
        case '&':
            escape = "&amp;";
            break;
        case '<':
            escape = "&lt;";
            break;
        case '>':
            escape = "&gt;";
            break;
        case '"':
            escape = "&quot;";
            break;
        default:
            continue;
        }
        out.append(text.data() + run, i - run).append(escape);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text);
    return out;
}

int LevelOf(EXpsCompressionOptions compression) {
    switch (compression) {
    case Compression_NotCompressed:
        return 0;
    case Compression_Small:
        return 9;
    case Compression_Fast:
        return 1;
    case Compression_Normal:
        break;
    }
    return 6;
}

std::string EntryNameOf(const std::string& partName) {
    return partName.substr(1);
}

// Text that only grows, kept in chunks of at most 64 KiB so that a long document's page
// references are never copied into a buffer twice their size as they grow.
class TextChunks {
public:
    void Append(std::string_view text) {
        if (chunks_.empty() || chunks_.back().size() + text.size() > kChunkSize) {
            chunks_.emplace_back();
        }
        chunks_.back() += text;
        size_ += text.size();
    }
    const std::vector<std::string>& Chunks() const { return chunks_; }
    uint64_t Size() const { return size_; }

private:
    static constexpr size_t kChunkSize = 64 * 1024;
    std::vector<std::string> chunks_;
    uint64_t size_ = 0;
};

class PackageWriter final
    : public com::Object<PackageWriter, IXpsDocumentConsumer, IXpsPackageStatus> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentConsumer, IXpsPackageStatus>;

    explicit PackageWriter(std::unique_ptr<ZipWriter> zip) : zip_(std::move(zip)) {}

    HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* unknown) override {
        return unknown ? Step([] {}) : E_POINTER;
    }

    HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* document) override {
        if (!document) {
            return E_POINTER;
        }
        return Step([&] {
            if (sequence_) {
                Fail(E_UNEXPECTED, "the XPS document was sent after its sequence");
            }
            if (XpsDocumentState* state = XpsDocumentStateOf(document)) {
                flavour_ = state->flavour;
                packageRelationships_ = WriteCarried(state->carried);
                if (!state->relationshipsChanged && state->storedRelationships) {
                    storedPackageRelationships_ = state->storedRelationships;
                    storedSequenceName_ = state->sequence;
                } else {
                    storedPackageRelationships_.reset();
                }
            }
            ATL::CComPtr<IPartThumbnail> thumbnail;
            if (SUCCEEDED(document->GetThumbnail(&thumbnail)) && thumbnail) {
                thumbnailName_ = WritePart(thumbnail);
            }
        });
    }

    HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        if (!sequence) {
            return E_POINTER;
        }
        return Step([&] {
            if (sequence_) {
                Fail(E_UNEXPECTED, "a second FixedDocumentSequence was sent");
            }
            sequence_ = std::make_unique<Structure>(
                Describe(sequence, "/FixedDocumentSequence.fdseq", kSequenceContentType));
            Remember(Claim(sequence_->uri), kSequenceName, kStructurePart);
        });
    }

    HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* document) override {
        if (!document) {
            return E_POINTER;
        }
        return Step([&] {
            if (!sequence_) {
                Fail(E_UNEXPECTED, "a FixedDocument was sent before its sequence");
            }
            FinishDocument();
            document_ = std::make_unique<Structure>(Describe(
                document,
                "/Documents/" + std::to_string(documents_.size() + 1) + "/FixedDocument.fdoc",
                kDocumentContentType));
            TakeCarriedRestrictedFonts(*document_, document);
            Remember(Claim(document_->uri), kDocumentName, kStructurePart);
            documents_.push_back(document_->uri);
            const StructureState* state = StructureStateOf(document);
            CountChild(*sequence_, state ? state->namedBy : NamedBy{});
        });
    }

    HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* page) override {
        if (!page) {
            return E_POINTER;
        }
        return Step([&] {
            if (!document_) {
                Fail(E_UNEXPECTED, "a FixedPage was sent before its FixedDocument");
            }
            ATL::CComPtr<IXpsObjectInternal> internals;
            PartCore* core = nullptr;
            PageState* state = nullptr;
            if (SUCCEEDED(page->QueryInterface(&internals))) {
                core = internals->Core();
                state = internals->Page();
            }
            if (!core || !state) {
                Fail(E_INVALIDARG, "a FixedPage that was not made by this platform was sent");
            }
            WriteContent(*core);
            CountChild(*document_, state->namedBy);
            // Unchanged relationships are copied as stored; only changed ones are written anew.
            const bool stored = state->storedRelationships && !state->relationshipsChanged &&
                                state->readFlavour == flavour_;
            std::string rels;
            for (const PageResource& resource : state->resources) {
                const PartCore& part = CoreOrFail(resource.part);
                const std::string& name = WritePart(part);
                if (!stored) {
                    rels += Relationship("required-resource", name);
                }
                NameRestrictedFont(part, name);
            }
            if (state->ticket) {
                const std::string& name = WritePart(CoreOrFail(state->ticket));
                if (!stored) {
                    rels += Relationship("printticket", name);
                }
            }
            if (stored) {
                WriteCarriedParts(state->carried);
                WriteStoredRelationships(*state->storedRelationships);
            } else {
                rels += WriteCarried(state->carried);
                WriteRelationships(core->uri, rels);
            }
            // The document's markup grows by one reference, unless it may still pass as read;
            // the page itself is done.
            if (!document_->childrenAsRead) {
                ReferenceFirstPages(*document_, document_->children - 1);
                AppendPageReference(*document_, core->uri, state->width, state->height);
            }
        });
    }

    HRESULT STDMETHODCALLTYPE CloseSender() override {
        return Step([&] {
            if (!sequence_) {
                Fail(E_UNEXPECTED, "the job has no FixedDocumentSequence");
            }
            FinishDocument();
            if (MarkupAsRead(*sequence_)) {
                NoteContentType(sequence_->uri, sequence_->contentType);
                WriteStored(sequence_->uri, sequence_->markup->Part());
            } else {
                std::string markup =
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FixedDocumentSequence xmlns=\"" +
                    std::string(NamesOf(flavour_).markup) + "\">";
                for (const std::string& document : documents_) {
                    markup += "<DocumentReference Source=\"" +
                              Escaped(ReferenceFrom(sequence_->uri, document)) + "\"/>";
                }
                markup += "</FixedDocumentSequence>";
                WriteText(sequence_->uri, sequence_->contentType, markup);
            }
            WriteStructureRelationships(*sequence_);

            // The package's relationships name the sequence the package did.
            if (storedPackageRelationships_ && sequence_->uri == storedSequenceName_) {
                WriteStoredRelationships(*storedPackageRelationships_);
            } else {
                std::string rels =
                    Relationship("fixedrepresentation", sequence_->uri) + packageRelationships_;
                if (thumbnailName_) {
                    rels += "<Relationship Id=\"R" + std::to_string(++relationshipId_) +
                            "\" Type=\"" + std::string(kThumbnailRelationship) + "\" Target=\"" +
                            Escaped(*thumbnailName_) + "\"/>";
                }
                WriteRelationships("/", rels);
            }
            WriteContentTypes();
            zip_->Commit();
            closed_ = true;
        });
    }

    HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                              IPrintWriteStream** stream) override {
        if (!uri || !part || !stream) {
            return E_POINTER;
        }
        *part = nullptr;
        *stream = nullptr;
        return Guarded(&lastError_, [&] { return NewEmptyPart(uri, iid, part, stream); });
    }

    HRESULT STDMETHODCALLTYPE GetLastErrorText(BSTR* text) override {
        return AnswerText(lastError_, text);
    }

private:
    struct Structure {
        std::string uri;
        std::string contentType;
        std::string relationships;
        TextChunks pageReferences;             // PageContent elements of a document's first pages
        uint32_t referenced = 0;               // pages in pageReferences
        std::set<std::string> restrictedFonts; // named from a document, folded
        // As read from a package, copied as stored while they say what the writer would: the
        // markup (see MarkupAsRead) and the relationships part (unless a restricted font was
        // named since).
        std::shared_ptr<const StoredMarkup> markup;
        uint64_t markupIdentity = 0;
        std::shared_ptr<const PackagePartContent> storedRelationships;
        uint32_t children = 0;       // pages or documents sent
        bool childrenAsRead = false; // each the one markup names at its place
    };

    // Runs one step of the job; after a failure the job is dead and its file gone.
    template <class Body>
    HRESULT Step(Body&& body) {
        if (closed_) {
            return E_UNEXPECTED;
        }
        if (FAILED(failure_)) {
            return failure_;
        }
        const HRESULT hr = Guarded(&lastError_, [&] {
            body();
            return S_OK;
        });
        if (FAILED(hr)) {
            failure_ = hr;
            zip_.reset(); // removes the temporary file
        }
        return hr;
    }

    std::string Relationship(std::string_view lastSegment, const std::string& target) {
        return "<Relationship Id=\"R" + std::to_string(++relationshipId_) + "\" Type=\"" +
               std::string(NamesOf(flavour_).relationshipBase) + std::string(lastSegment) +
               "\" Target=\"" + Escaped(target) + "\"/>";
    }

    template <class Interface>
    Structure Describe(Interface* object, std::string fallbackUri,
                       std::string_view fallbackContentType) {
        Structure structure;
        if (StructureState* state = StructureStateOf(object)) {
            structure.uri = state->uri;
            structure.contentType = state->contentType;
            structure.relationships = WriteCarried(state->carried);
            if (state->markup) {
                structure.markup = state->markup;
                structure.markupIdentity = state->markup->Identity();
                structure.childrenAsRead = true;
            }
            if (!state->relationshipsChanged && state->readFlavour == flavour_) {
                structure.storedRelationships = state->storedRelationships;
            }
        } else {
            structure.uri = std::move(fallbackUri);
            structure.contentType = fallbackContentType;
        }
        ATL::CComPtr<IPartPrintTicket> ticket;
        const HRESULT hr = object->GetPrintTicket(&ticket);
        if (FAILED(hr) && hr != kNotFound) {
            Fail(hr, "the print ticket of " + structure.uri + " cannot be had");
        }
        if (ticket) {
            structure.relationships += Relationship("printticket", WritePart(ticket));
        }
        return structure;
    }

    // A restricted font (one whose licence allows print and preview only) is named by a
    // restricted-font relationship from the fixed document whose pages use it, once; the pages
    // name it as a required resource like any font.
    void NameRestrictedFont(const PartCore& core, const std::string& name) {
        if (IsRestrictedFont(core) &&
            document_->restrictedFonts.insert(FoldPartName(name)).second) {
            document_->relationships += Relationship("restricted-font", name);
        }
    }

    // A font read from a package is restricted when the package named it so; the bytes of a
    // font a filter wrote say it themselves (read once for each content).
    bool IsRestrictedFont(const PartCore& core) {
        if (core.kind != PartKind::Font) {
            return false;
        }
        if (core.namedRestricted) {
            return true;
        }
        if (!dynamic_cast<const MemoryPartContent*>(core.content.get())) {
            return false;
        }
        const uint64_t identity = core.content->Identity();
        if (const auto known = fontRestricted_.find(identity); known != fontRestricted_.end()) {
            return known->second;
        }
        const std::optional<uint16_t> fsType =
            ReadFsType(*core.content, core.uri, core.ObfuscatedFont());
        const bool restricted =
            fsType && RestrictionOfFsType(*fsType) == Xps_Restricted_Font_PreviewPrint;
        fontRestricted_.emplace(identity, restricted);
        return restricted;
    }

    // The restricted-font relationships a fixed document read from a package carries count
    // as written: its fonts are not named again.
    void TakeCarriedRestrictedFonts(Structure& document, IFixedDocument* object) {
        const StructureState* state = StructureStateOf(object);
        if (!state) {
            return;
        }
        const std::string type =
            std::string(NamesOf(flavour_).relationshipBase) + "restricted-font";
        for (const CarriedRelationship& relationship : state->carried) {
            if (relationship.type == type && !relationship.external) {
                document.restrictedFonts.insert(FoldPartName(relationship.target));
            }
        }
    }

    // Counts a page or document sent into parent, whose markup stays as read while each child
    // is the one it names at that place.
    static void CountChild(Structure& parent, const NamedBy& named) {
        parent.childrenAsRead = parent.childrenAsRead && named.markup == parent.markupIdentity &&
                                named.position == parent.children;
        ++parent.children;
    }

    // Adds the reference of a page to its document's markup.
    void AppendPageReference(Structure& document, std::string_view page, std::string_view width,
                             std::string_view height) {
        std::string& markup = scratch_;
        markup.assign("<PageContent Source=\"");
        AppendEscaped(markup, ReferenceFrom(document.uri, page));
        markup += '"';
        if (!width.empty()) {
            markup += " Width=\"";
            AppendEscaped(markup, width);
            markup += '"';
        }
        if (!height.empty()) {
            markup += " Height=\"";
            AppendEscaped(markup, height);
            markup += '"';
        }
        markup += "/>";
        document.pageReferences.Append(markup);
        ++document.referenced;
    }

    // Makes the references of a document's first count pages, which its markup as read named
    // in that order (the writer makes none while the markup may pass as read), as they were
    // when the reader handed the pages out: read again from that markup.
    void ReferenceFirstPages(Structure& document, uint32_t count) {
        if (document.referenced >= count) {
            return;
        }
        MarkupReader markup(document.markup->Part().Open(), document.uri);
        markup.NextElement(); // the root, checked by the reader
        while (document.referenced < count && markup.NextElement()) {
            if (markup.Depth() != 1 || markup.LocalName() != "PageContent") {
                continue;
            }
            const std::optional<std::string_view> source = markup.Attribute("Source");
            if (!source) {
                break;
            }
            AppendPageReference(document, ResolvePartReference(document.uri, *source),
                                markup.Attribute("Width").value_or(""),
                                markup.Attribute("Height").value_or(""));
        }
        if (document.referenced < count) {
            Fail(kBadPackage, document.uri + " no longer names the pages it named when read");
        }
    }

    // Whether the markup as read names exactly the children sent, in their order and in the
    // namespace of the flavour written: the markup the writer would make says no more.
    bool MarkupAsRead(const Structure& structure) const {
        return structure.childrenAsRead && structure.markup &&
               structure.markup->Flavour() == flavour_ &&
               structure.markup->Children() == structure.children;
    }

    void WriteStructureRelationships(const Structure& structure) {
        if (structure.storedRelationships && structure.restrictedFonts.empty()) {
            WriteStoredRelationships(*structure.storedRelationships);
        } else {
            WriteRelationships(structure.uri, structure.relationships);
        }
    }

    void FinishDocument() {
        if (!document_) {
            return;
        }
        NoteContentType(document_->uri, document_->contentType);
        ZipWriter::EntryId written;
        if (MarkupAsRead(*document_)) {
            written = WriteStored(document_->uri, document_->markup->Part());
        } else {
            if (document_->childrenAsRead) {
                ReferenceFirstPages(*document_, document_->children);
            }
            // Written in three pieces, so that the references of a long document are never
            // copied.
            const std::string head =
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FixedDocument xmlns=\"" +
                std::string(NamesOf(flavour_).markup) + "\">";
            const std::string_view tail = "</FixedDocument>";
            zip_->Begin(EntryNameOf(document_->uri), 6,
                        head.size() + document_->pageReferences.Size() + tail.size());
            zip_->Write(head.data(), head.size());
            for (const std::string& chunk : document_->pageReferences.Chunks()) {
                zip_->Write(chunk.data(), chunk.size());
            }
            zip_->Write(tail.data(), tail.size());
            written = zip_->End();
        }
        // From here on the ZIP writer keeps the document's name.
        Find(document_->uri, PartNameKey(document_->uri))->name = written;
        WriteStructureRelationships(*document_);
        document_.reset();
    }

    // Writes the parts of relationships carried through unread (once each).
    void WriteCarriedParts(const std::vector<CarriedRelationship>& carried) {
        for (const CarriedRelationship& relationship : carried) {
            if (relationship.part) {
                WritePart(relationship.part);
            }
        }
    }

    // Writes the parts of relationships carried through unread (once each) and answers the
    // relationships to put beside the others of their source.
    std::string WriteCarried(const std::vector<CarriedRelationship>& carried) {
        WriteCarriedParts(carried);
        std::string rels;
        for (const CarriedRelationship& relationship : carried) {
            rels += "<Relationship Id=\"R" + std::to_string(++relationshipId_) + "\" Type=\"" +
                    Escaped(relationship.type) + "\" Target=\"" + Escaped(relationship.target) +
                    (relationship.external ? "\" TargetMode=\"External\"/>" : "\"/>");
        }
        return rels;
    }

    // What the writer has put under a part name: where the name is kept, and the identity of
    // the content (see PartContent::Identity) or kStructurePart.
    struct Written {
        uint64_t name; // an entry of the ZIP writer, kSequenceName or kDocumentName
        uint64_t content;
    };
    // The sequence's and the current document's names, kept by them until they are written.
    static constexpr uint64_t kSequenceName = ~0ull;
    static constexpr uint64_t kDocumentName = ~0ull - 1;
    // Structure, markup and relationships parts: written once, never shared with another part.
    static constexpr uint64_t kStructurePart = 0;

    // Whether a name the writer keeps is uri.
    bool IsNamed(uint64_t name, std::string_view uri) const {
        if (name == kSequenceName) {
            return SamePartName(sequence_->uri, uri);
        }
        if (name == kDocumentName) {
            return SamePartName(document_->uri, uri);
        }
        // An entry's name lacks the leading "/"; a part in pieces is named by its first piece.
        const std::string_view entry = zip_->NameOf(name);
        const std::string_view part = uri.substr(1);
        return entry.size() >= part.size() && SamePartName(entry.substr(0, part.size()), part) &&
               (entry.size() == part.size() || entry.substr(part.size(), 2) == "/[");
    }

    // What was written under uri (whose key is key), or null. Keys may collide: the names
    // decide.
    Written* Find(std::string_view uri, uint64_t key) {
        if (writtenSlots_.empty()) {
            return nullptr;
        }
        const size_t mask = writtenSlots_.size() - 1;
        for (size_t at = static_cast<size_t>(key) & mask; writtenSlots_[at].Used();
             at = (at + 1) & mask) {
            WrittenSlot& slot = writtenSlots_[at];
            if (slot.key == key && IsNamed(slot.written.name, uri)) {
                return &slot.written;
            }
        }
        return nullptr;
    }

    void Remember(uint64_t key, uint64_t name, uint64_t content) {
        if (4 * (writtenCount_ + 1) > 3 * writtenSlots_.size()) {
            std::vector<WrittenSlot> old(std::max<size_t>(64, 2 * writtenSlots_.size()));
            old.swap(writtenSlots_);
            writtenCount_ = 0;
            for (const WrittenSlot& slot : old) {
                if (slot.Used()) {
                    Place(slot.key, slot.written);
                }
            }
        }
        Place(key, Written{name, content});
    }

    void Place(uint64_t key, const Written& written) {
        const size_t mask = writtenSlots_.size() - 1;
        size_t at = static_cast<size_t>(key) & mask;
        while (writtenSlots_[at].Used()) {
            at = (at + 1) & mask;
        }
        writtenSlots_[at] = {key, written};
        ++writtenCount_;
    }

    // Checks that no part was written under uri, for a part of the structure (a second one
    // would break the package); answers the name's key.
    uint64_t Claim(const std::string& uri) {
        const uint64_t key = PartNameKey(uri);
        if (Find(uri, key)) {
            Fail(kBadPackage, "two parts named " + uri + " were sent");
        }
        return key;
    }

    void NoteContentType(const std::string& uri, std::string_view contentType) {
        // The extension: what follows the last "." of the last segment.
        size_t start = uri.size();
        while (start > 0 && uri[start - 1] != '.' && uri[start - 1] != '/') {
            --start;
        }
        if (start == 0 || uri[start - 1] != '.' || start == uri.size()) {
            overrides_.emplace_back(uri, contentType);
            return;
        }
        const std::string_view extension = std::string_view(uri).substr(start);
        // Most parts repeat a default noted lately (a page, its ticket, its relationships),
        // under an extension in lower case: one slot of a small cache, picked by the extension,
        // says so.
        const DefaultType*& cached =
            defaultsByExtension_[(extension.size() * 31 +
                                  static_cast<unsigned char>(extension.back())) %
                                 defaultsByExtension_.size()];
        if (cached && cached->first == extension && cached->second == contentType) {
            return;
        }
        const bool lower = std::none_of(extension.begin(), extension.end(),
                                        [](char c) { return c >= 'A' && c <= 'Z'; });
        const std::string folded = lower ? std::string() : FoldPartName(extension);
        auto it = defaults_.find(lower ? extension : std::string_view(folded));
        if (it == defaults_.end()) {
            it =
                defaults_.emplace(lower ? std::string(extension) : folded, std::string(contentType))
                    .first;
        } else if (it->second != contentType) {
            overrides_.emplace_back(uri, contentType);
            return;
        }
        cached = &*it;
    }

    static const PartCore& CoreOrFail(IUnknown* part) {
        const PartCore* core = CoreOf(part);
        if (!core) {
            Fail(E_INVALIDARG, "a part that was not made by this platform was sent");
        }
        return *core;
    }

    const std::string& WritePart(IUnknown* part) { return WritePart(CoreOrFail(part)); }

    // Writes a resource or ticket once, however many pages name it; answers its name (valid
    // while the part lives). The same content sent again under its name is the same part (one
    // object, or the reader's objects for one entry of its package); other content under a
    // name already written is refused, since the parts that name it could not all have theirs.
    const std::string& WritePart(const PartCore& core) {
        const uint64_t content = core.content->Identity();
        // The fonts and images that page after page names are found among the last repeated.
        for (const RepeatedPart& repeated : repeatedParts_) {
            if (repeated.content == content && repeated.uri == core.uri) {
                return core.uri;
            }
        }
        const uint64_t key = PartNameKey(core.uri);
        if (const Written* written = Find(core.uri, key)) {
            if (written->content != content) {
                Fail(kNameTaken, "a different part named " + core.uri +
                                     " was written already: two parts may not share a name");
            }
            RepeatedPart& repeated = repeatedParts_[nextRepeated_];
            nextRepeated_ = (nextRepeated_ + 1) % repeatedParts_.size();
            repeated.content = content;
            repeated.uri.assign(core.uri);
            return core.uri;
        }
        Remember(key, Write(core), content);
        return core.uri;
    }

    void WriteContent(const PartCore& core) {
        const uint64_t key = Claim(core.uri);
        Remember(key, Write(core), kStructurePart);
    }

    // Writes a part whose name is free; answers its (first) entry.
    ZipWriter::EntryId Write(const PartCore& core) {
        NoteContentType(core.uri, core.contentType);
        if (const PackagePartContent* stored = core.Unchanged()) {
            return WriteStored(core.uri, *stored);
        }
        auto source = core.content->Open();
        zip_->Begin(EntryNameOf(core.uri), LevelOf(core.compression), core.content->FullSize());
        while (const size_t got = source->Read(buffer_.get(), kBufferSize)) {
            zip_->Write(buffer_.get(), got);
        }
        return zip_->End();
    }

    // Writes a part's entries as the package stored them, keeping its pieces; answers the first
    // entry.
    ZipWriter::EntryId WriteStored(const std::string& uri, const PackagePartContent& stored) {
        ZipWriter::EntryId first = 0;
        const auto& entries = stored.Location().entries;
        for (size_t i = 0; i < entries.size(); ++i) {
            const ZipEntry& entry = entries[i];
            std::string& name = entryName_;
            name.assign(uri, 1);
            if (entries.size() > 1) {
                name += "/[" + std::to_string(i) + "]" +
                        (i + 1 == entries.size() ? ".last.piece" : ".piece");
            }
            if (entry.method != 0 && entry.method != 8) {
                Fail(kBadPackage, uri + ": compression method " + std::to_string(entry.method) +
                                      " is not supported");
            }
            auto raw = stored.Archive().OpenRaw(entry);
            zip_->BeginRaw(name, entry.method, entry.storedSize, entry.fullSize, entry.crc);
            while (const size_t got = raw->Read(buffer_.get(), kBufferSize)) {
                zip_->Write(buffer_.get(), got);
            }
            const ZipWriter::EntryId id = zip_->End(); // throws when the bytes ended early
            if (i == 0) {
                first = id;
            }
        }
        return first;
    }

    ZipWriter::EntryId WriteText(const std::string& uri, const std::string& contentType,
                                 const std::string& text) {
        NoteContentType(uri, contentType);
        zip_->Begin(EntryNameOf(uri), 6, text.size());
        zip_->Write(text.data(), text.size());
        return zip_->End();
    }

    // A relationships part passing as the package stored it.
    void WriteStoredRelationships(const PackagePartContent& relationships) {
        const uint64_t key = Claim(relationships.Name());
        NoteContentType(relationships.Name(), kRelationshipsContentType);
        Remember(key, WriteStored(relationships.Name(), relationships), kStructurePart);
    }

    void WriteRelationships(const std::string& source, const std::string& relationships) {
        if (relationships.empty()) {
            return;
        }
        const std::string name = RelationshipsPartOf(source);
        const uint64_t key = Claim(name);
        Remember(key,
                 WriteText(name, std::string(kRelationshipsContentType),
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\"" +
                               std::string(kPackageRelationships) + "\">" + relationships +
                               "</Relationships>"),
                 kStructurePart);
    }

    void WriteContentTypes() {
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types xmlns=\"" +
                           std::string(kContentTypesNamespace) + "\">";
        for (const auto& [extension, contentType] : defaults_) {
            text += "<Default Extension=\"" + Escaped(extension) + "\" ContentType=\"" +
                    Escaped(contentType) + "\"/>";
        }
        for (const auto& [uri, contentType] : overrides_) {
            text += "<Override PartName=\"" + Escaped(uri) + "\" ContentType=\"" +
                    Escaped(contentType) + "\"/>";
        }
        text += "</Types>";
        zip_->Begin("[Content_Types].xml", 6, text.size());
        zip_->Write(text.data(), text.size());
        zip_->End();
    }

    static constexpr size_t kBufferSize = 64 * 1024;
    std::unique_ptr<char[]> buffer_{new char[kBufferSize]}; // for copies, made once
    std::string scratch_;                                   // a page's reference, built in place
    std::string entryName_;                                 // of an entry copied as stored
    std::unique_ptr<ZipWriter> zip_;
    XpsFlavour flavour_ = XpsFlavour_MicrosoftXps;
    std::optional<std::string> thumbnailName_;
    std::string packageRelationships_; // carried relationships of the package
    // The package's relationships part as read and the sequence it names, copied as stored
    // when that sequence is the one written.
    std::shared_ptr<const PackagePartContent> storedPackageRelationships_;
    std::string storedSequenceName_;
    std::unique_ptr<Structure> sequence_;
    std::unique_ptr<Structure> document_;
    std::vector<std::string> documents_;
    // What was written, by the keys of the part names: open addressing over one array kept at
    // most three quarters full, whose size is a power of two; keys may repeat (names whose
    // keys collide). A free slot's content is kFree, which no content identity is.
    static constexpr uint64_t kFree = ~0ull;
    struct WrittenSlot {
        uint64_t key = 0;
        Written written{0, kFree};
        bool Used() const { return written.content != kFree; }
    };
    std::vector<WrittenSlot> writtenSlots_;
    size_t writtenCount_ = 0;
    // Parts found written already when sent again, the last few.
    struct RepeatedPart {
        uint64_t content = kFree;
        std::string uri;
    };
    std::array<RepeatedPart, 4> repeatedParts_;
    size_t nextRepeated_ = 0;
    std::map<std::string, std::string, std::less<>> defaults_; // by folded extension
    // Defaults used lately, looked at before defaults_ (map nodes never move).
    using DefaultType = std::pair<const std::string, std::string>;
    std::array<const DefaultType*, 8> defaultsByExtension_{};
    std::vector<std::pair<std::string, std::string>> overrides_;
    unsigned long long relationshipId_ = 0;
    std::unordered_map<uint64_t, bool> fontRestricted_; // by content identity
    HRESULT failure_ = S_OK;
    bool closed_ = false;
    std::string lastError_;
};

} // namespace

IXpsDocumentConsumer* CreatePackageWriter(const std::string& path) {
    auto zip = std::make_unique<ZipWriter>(path);
    return Make<PackageWriter>(std::move(zip));
}

} // namespace platform::xps
