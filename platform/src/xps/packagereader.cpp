#include "packagereader.h"

#include "markupreader.h"
#include "package.h"
#include "partname.h"
#include "partobjects.h"
#include "readahead.h"
#include "structurereference.h"

#include <optional>
#include <unordered_set>
#include <vector>

// {C4A1D3E2-7B5F-4E06-9A8D-2F1B6C0E9D31}: lets XpsGetReaderFlavour find the reader behind an
// IXpsDocumentProvider.
// clang-format off
MIDL_INTERFACE("C4A1D3E2-7B5F-4E06-9A8D-2F1B6C0E9D31") IXpsReaderInternal : public IUnknown {
    virtual XpsFlavour STDMETHODCALLTYPE Flavour() = 0;
};
PLATFORM_DECLARE_IID(IXpsReaderInternal, 0xC4A1D3E2, 0x7B5F, 0x4E06, 0x9A, 0x8D, 0x2F, 0x1B, 0x6C,
                     0x0E, 0x9D, 0x31);
// clang-format on

namespace platform::xps {

const FlavourNames& NamesOf(XpsFlavour flavour) {
    static const FlavourNames microsoft{"http://schemas.microsoft.com/xps/2005/06",
                                        "http://schemas.microsoft.com/xps/2005/06/"};
    static const FlavourNames open{"http://schemas.openxps.org/oxps/v1.0",
                                   "http://schemas.openxps.org/oxps/v1.0/"};
    return flavour == XpsFlavour_OpenXps ? open : microsoft;
}

namespace {

EXpsCompressionOptions CompressionOf(const PartLocation& location) {
    return location.entries.front().method == 0 ? Compression_NotCompressed : Compression_Normal;
}

class PackageReader final : public com::Object<PackageReader, IXpsDocumentProvider,
                                               IXpsPackageStatus, IXpsReaderInternal> {
public:
    using Interfaces =
        com::InterfaceTable<IXpsDocumentProvider, IXpsPackageStatus, IXpsReaderInternal>;

    explicit PackageReader(std::shared_ptr<Package> package) : package_(std::move(package)) {}

    // Finds the start part; throws PackageError when the package is no XPS document.
    void ReadStartPart() {
        const std::string relsName = "/_rels/.rels";
        if (!package_->Contains(relsName)) {
            Fail(kBadPackage, "the package has no /_rels/.rels");
        }
        std::optional<std::string> start;
        const std::span<const Relationship> relationships =
            RelationshipsOf("/", &storedPackageRelationships_);
        packageRelationships_.assign(relationships.begin(), relationships.end());
        for (const Relationship& r : packageRelationships_) {
            std::optional<XpsFlavour> flavour;
            if (r.type == std::string(NamesOf(XpsFlavour_MicrosoftXps).relationshipBase) +
                              "fixedrepresentation") {
                flavour = XpsFlavour_MicrosoftXps;
            } else if (r.type == std::string(NamesOf(XpsFlavour_OpenXps).relationshipBase) +
                                     "fixedrepresentation") {
                flavour = XpsFlavour_OpenXps;
            } else if (r.type == kThumbnailRelationship && !r.external) {
                thumbnailName_ = ResolvePartReference("/", r.target);
                ++thumbnails_;
                continue;
            } else {
                continue;
            }
            if (start) {
                Fail(kBadPackage, "the package has more than one FixedDocumentSequence");
            }
            if (r.external) {
                Fail(kBadPackage, "the FixedDocumentSequence lies outside the package");
            }
            flavour_ = *flavour;
            start = ResolvePartReference("/", r.target);
        }
        if (!start) {
            Fail(kBadPackage,
                 "the package has no FixedDocumentSequence: it is not an XPS document");
        }
        sequenceName_ = *start;
        const std::string base(NamesOf(flavour_).relationshipBase);
        printTicketType_ = base + "printticket";
        requiredResourceType_ = base + "required-resource";
        restrictedFontType_ = base + "restricted-font";
    }

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override {
        if (!part) {
            return E_POINTER;
        }
        *part = nullptr;
        if (FAILED(failure_)) {
            return failure_; // the walk stops at the damage
        }
        const HRESULT hr = Guarded(&lastError_, [&] {
            *part = Next();
            return S_OK;
        });
        if (FAILED(hr)) {
            failure_ = hr;
            readAhead_.reset(); // the walk ends here
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE GetLastErrorText(BSTR* text) override {
        return AnswerText(lastError_, text);
    }

    XpsFlavour STDMETHODCALLTYPE Flavour() override { return flavour_; }

private:
    enum class Stage { XpsDocument, Sequence, Documents, Pages, Done };

    // The relationships of a part, valid until the next call; *stored receives the part that
    // holds them.
    std::span<const Relationship>
    RelationshipsOf(const std::string& partName,
                    std::shared_ptr<const PackagePartContent>* stored = nullptr) {
        std::string relsName = RelationshipsPartOf(partName);
        PartLocation location;
        if (!package_->TryLocate(relsName, location)) {
            return {};
        }
        auto content = std::make_shared<PackagePartContent>(package_, std::move(relsName),
                                                            std::move(location));
        std::span<const Relationship> relationships;
        if (Package::IsSmall(content->Location())) {
            // Read whole with the inflate state and the parser of every such part.
            package_->ReadWhole(content->Location(), content->Name(), inflater_, relsBytes_);
            relationships = relationshipsParser_.Parse(relsBytes_, content->Name());
        } else {
            relationships = relationshipsParser_.Parse(*content->Open(), content->Name());
        }
        if (stored) {
            *stored = std::move(content);
        }
        return relationships;
    }

    IUnknown* Next() {
        switch (stage_) {
        case Stage::XpsDocument:
            stage_ = Stage::Sequence;
            return MakeXpsDocumentPart();
        case Stage::Sequence:
            stage_ = Stage::Documents;
            return OpenSequence();
        case Stage::Documents:
        case Stage::Pages:
            while (true) {
                if (stage_ == Stage::Pages) {
                    if (IUnknown* page = NextPage()) {
                        return page;
                    }
                    if (readAhead_) {
                        readAhead_->End();
                    }
                    documentMarkup_.reset();
                    documentStored_.reset();
                    stage_ = Stage::Documents;
                }
                IUnknown* document = NextDocument();
                if (!document) {
                    stage_ = Stage::Done;
                    readAhead_.reset();
                    sequenceMarkup_.reset();
                    sequenceStored_.reset();
                    return nullptr;
                }
                stage_ = Stage::Pages;
                return document;
            }
        case Stage::Done:
            break;
        }
        return nullptr;
    }

    IUnknown* MakeXpsDocumentPart() {
        XpsDocumentState state;
        state.flavour = flavour_;
        for (const Relationship& r : packageRelationships_) {
            if (r.type.size() < 20 ||
                r.type.compare(r.type.size() - 20, 20, "/fixedrepresentation") != 0) {
                Carry(r, "/", {std::string(kThumbnailRelationship)}, state.carried);
            }
        }
        // The stored part says no more than the document does: the sequence, at most one
        // thumbnail and what is carried (not a second thumbnail, an external one or another
        // kind of fixed representation, which are dropped).
        if (packageRelationships_.size() == 1 + thumbnails_ + state.carried.size() &&
            thumbnails_ <= 1) {
            state.storedRelationships = std::move(storedPackageRelationships_);
            state.sequence = sequenceName_;
        }
        storedPackageRelationships_.reset();
        packageRelationships_.clear();
        if (thumbnailName_) {
            const PartLocation location = package_->Locate(*thumbnailName_);
            const EXpsCompressionOptions compression = CompressionOf(location);
            ATL::CComPtr<IUnknown> part;
            part.Attach(MakePart(
                PartKind::Thumbnail, *thumbnailName_, package_->ContentTypeOf(*thumbnailName_),
                std::make_shared<PackagePartContent>(package_, *thumbnailName_, location),
                compression));
            part->QueryInterface(&state.thumbnail);
        }
        return MakeXpsDocument(std::move(state));
    }

    // The printticket relationship of a part: at most one, to a part that exists.
    ATL::CComPtr<IPartPrintTicket> TicketOf(const std::string& partName,
                                            std::span<const Relationship> relationships) {
        ATL::CComPtr<IPartPrintTicket> ticket;
        for (const Relationship& r : relationships) {
            if (r.type != printTicketType_) {
                continue;
            }
            if (ticket) {
                Fail(kBadPackage, partName + " has more than one print ticket");
            }
            if (r.external) {
                Fail(kBadPackage, "the print ticket of " + partName + " lies outside the package");
            }
            std::string name;
            PartLocation location;
            if (!package_->TryLocateReference(partName, r.target, name, location)) {
                Fail(kMissingPart, "the print ticket " + name + " of " + partName +
                                       " is missing from the package");
            }
            const EXpsCompressionOptions compression = CompressionOf(location);
            std::string contentType = package_->ContentTypeOf(name);
            auto content =
                std::make_shared<PackagePartContent>(package_, name, std::move(location));
            ATL::CComPtr<IUnknown> part;
            part.Attach(MakePart(PartKind::PrintTicket, std::move(name), std::move(contentType),
                                 std::move(content), compression));
            part->QueryInterface(&ticket);
        }
        return ticket;
    }

    // Opens the markup of a fixed document or the sequence, whose root must be element; stored
    // receives the markup as the package stores it.
    std::unique_ptr<MarkupReader> OpenMarkup(const std::string& partName, const char* element,
                                             std::shared_ptr<StoredMarkup>& stored) {
        auto content =
            std::make_shared<PackagePartContent>(package_, partName, package_->Locate(partName));
        auto markup = std::make_unique<MarkupReader>(content->Open(), partName);
        if (!markup->NextElement() || markup->LocalName() != element ||
            (markup->NamespaceUri() != NamesOf(XpsFlavour_MicrosoftXps).markup &&
             markup->NamespaceUri() != NamesOf(XpsFlavour_OpenXps).markup)) {
            Fail(kBadPackage, partName + " is not a " + element);
        }
        stored = std::make_shared<StoredMarkup>(std::move(content), flavour_);
        if (markup->NamespaceUri() != NamesOf(flavour_).markup) {
            stored->NoteOther();
        }
        return markup;
    }

    // The part that the Source of the next child element named element of the markup names,
    // and where it is, or false at the end of the markup; throws when the part is missing.
    // stored learns what else the markup holds and where it ends.
    bool NextReference(MarkupReader& markup, StoredMarkup& stored, const char* element,
                       const char* what, std::string& name, PartLocation& location,
                       std::string* width = nullptr, std::string* height = nullptr) {
        bool other = false;
        const bool found =
            NextStructureReference(*package_, markup, NamesOf(flavour_).markup, element, what, name,
                                   location, other, width, height);
        if (other) {
            stored.NoteOther();
        }
        if (!found) {
            stored.Finish();
        }
        return found;
    }

    void Measure(const std::string& name, StructureState& state) const {
        const PartLocation location = package_->Locate(name);
        state.storedSize = location.storedSize;
        state.fullSize = location.fullSize;
    }

    IUnknown* OpenSequence() {
        if (!package_->Contains(sequenceName_)) {
            Fail(kMissingPart,
                 "the FixedDocumentSequence " + sequenceName_ + " is missing from the package");
        }
        StructureState state;
        sequenceMarkup_ = OpenMarkup(sequenceName_, "FixedDocumentSequence", state.markup);
        sequenceStored_ = state.markup;
        state.uri = sequenceName_;
        state.contentType = package_->ContentTypeOf(sequenceName_);
        state.readFlavour = flavour_;
        Measure(sequenceName_, state);
        const std::span<const Relationship> relationships =
            RelationshipsOf(sequenceName_, &state.storedRelationships);
        state.ticket = TicketOf(sequenceName_, relationships);
        for (const Relationship& r : relationships) {
            Carry(r, sequenceName_, {printTicketType_}, state.carried);
        }
        return MakeSequence(std::move(state));
    }

    // Keeps a relationship of source that the interfaces do not show, unless its type is one
    // of handled. Targets that are parts of the structure are not carried: the writer writes
    // those itself.
    void Carry(const Relationship& r, const std::string& source,
               std::initializer_list<std::string_view> handled,
               std::vector<CarriedRelationship>& out) {
        for (const std::string_view type : handled) {
            if (r.type == type) {
                return;
            }
        }
        CarriedRelationship carried;
        carried.type = r.type;
        carried.external = r.external;
        if (r.external) {
            carried.target = r.target;
            out.push_back(std::move(carried));
            return;
        }
        PartLocation location;
        if (package_->TryLocateReference(source, r.target, carried.target, location)) {
            std::string contentType = package_->ContentTypeOf(carried.target);
            if (contentType == kPageContentType || contentType == kDocumentContentType ||
                contentType == kSequenceContentType || contentType == kRelationshipsContentType) {
                Fail(kBadPackage, "a relationship of " + source + " names " + carried.target +
                                      ", a part of the document's structure");
            }
            const EXpsCompressionOptions compression = CompressionOf(location);
            carried.part.Attach(MakePart(
                PartKind::Other, carried.target, std::move(contentType),
                std::make_shared<PackagePartContent>(package_, carried.target, std::move(location)),
                compression));
        }
        out.push_back(std::move(carried));
    }

    // Remembers a part of the structure by its entry, which no other part shares; a second
    // visit means the references loop.
    void Visit(const std::string& name, const PartLocation& location, const char* what) {
        const uint64_t entry = location.entries.front().index;
        if (visited_.empty()) {
            visited_.resize(static_cast<size_t>(package_->Archive().EntryCount()));
        }
        if (visited_[entry]) {
            Fail(kBadPackage, std::string(what) + " " + name +
                                  " is referenced twice: the references loop or repeat");
        }
        visited_[entry] = true;
    }

    IUnknown* NextDocument() {
        std::string name;
        PartLocation location;
        if (!NextReference(*sequenceMarkup_, *sequenceStored_, "DocumentReference", "FixedDocument",
                           name, location)) {
            return nullptr;
        }
        Visit(name, location, "FixedDocument");
        StructureState state;
        state.namedBy = {sequenceStored_->Identity(), sequenceStored_->NameChild()};
        documentMarkup_ = OpenMarkup(name, "FixedDocument", state.markup);
        documentStored_ = state.markup;
        StartReadingAhead(name, location);
        state.uri = name;
        state.contentType = package_->ContentTypeOf(name);
        state.readFlavour = flavour_;
        state.storedSize = location.storedSize;
        state.fullSize = location.fullSize;
        const std::span<const Relationship> relationships =
            RelationshipsOf(name, &state.storedRelationships);
        state.ticket = TicketOf(name, relationships);
        restrictedFonts_.clear();
        for (const Relationship& r : relationships) {
            Carry(r, name, {printTicketType_}, state.carried);
            if (r.type == restrictedFontType_ && !r.external) {
                restrictedFonts_.insert(FoldPartName(ResolvePartReference(name, r.target)));
            }
        }
        return MakeDocument(std::move(state));
    }

    // Has the relationships of the document's pages read ahead, where that pays; without the
    // memory for it, the walk reads them alone.
    void StartReadingAhead(const std::string& name, const PartLocation& location) {
        const XpsPackageLimits& limits = package_->Archive().Limits();
        if (!RelationshipsReadAhead::Applies(limits, location.fullSize)) {
            if (readAhead_) {
                readAhead_->End();
            }
            return;
        }
        try {
            if (!readAhead_) {
                readAhead_ = RelationshipsReadAhead::Start(package_, limits);
            }
            if (readAhead_) {
                readAhead_->Begin(name, location);
            }
        } catch (const std::bad_alloc&) {
            readAhead_.reset();
        }
    }

    // The relationships of a page as they were read ahead, counted against the job's limit
    // now, as the walk would have counted them reading them itself.
    std::span<const Relationship> TakeReadAhead(const ReadAheadPage& ahead,
                                                std::shared_ptr<const PackagePartContent>& stored) {
        if (!ahead.hasRelationships) {
            return {};
        }
        for (const ZipEntry& entry : ahead.relationshipsLocation.entries) {
            package_->Archive().ChargeJob(entry.fullSize, ahead.relationshipsName);
        }
        stored = std::make_shared<PackagePartContent>(package_, ahead.relationshipsName,
                                                      ahead.relationshipsLocation);
        return ahead.Relationships();
    }

    IUnknown* NextPage() {
        PageState state;
        std::string name;
        PartLocation location;
        if (!NextReference(*documentMarkup_, *documentStored_, "PageContent", "FixedPage", name,
                           location, &state.width, &state.height)) {
            return nullptr;
        }
        state.namedBy = {documentStored_->Identity(), documentStored_->NameChild()};
        state.readFlavour = flavour_;
        Visit(name, location, "FixedPage");
        const ReadAheadPage* ahead = readAhead_ ? readAhead_->Next(name) : nullptr;
        const std::span<const Relationship> relationships =
            ahead ? TakeReadAhead(*ahead, state.storedRelationships)
                  : RelationshipsOf(name, &state.storedRelationships);
        state.ticket = TicketOf(name, relationships);
        std::unordered_set<std::string> manyResources; // folded names, once there are many
        for (const Relationship& r : relationships) {
            // A restricted font is named from its fixed document; one a page names so is
            // taken for a required resource that is restricted.
            const bool restrictedHere = r.type == restrictedFontType_;
            if (r.type != requiredResourceType_ && !restrictedHere) {
                Carry(r, name, {printTicketType_}, state.carried);
                continue;
            }
            if (r.external) {
                Fail(kBadPackage, "a resource of " + name + " lies outside the package");
            }
            const Resource& resource = ResourceOf(name, r.target);
            // A page names a resource once, however often its relationships do. Few
            // resources are compared one by one; many are kept in a set, so that a page of
            // thousands costs no more than thousands of pages.
            bool known = false;
            if (state.resources.size() < kResourcesComparedOneByOne) {
                for (const PageResource& existing : state.resources) {
                    known = known || existing.folded == resource.folded;
                }
            } else {
                if (manyResources.empty()) {
                    for (const PageResource& existing : state.resources) {
                        manyResources.insert(existing.folded);
                    }
                }
                known = !manyResources.insert(resource.folded).second;
            }
            if (known) {
                continue;
            }
            if (resource.kind == PartKind::Page) {
                Fail(kBadPackage, "the resource " + resource.name + " of " + name + " is a page");
            }
            ATL::CComPtr<IUnknown> part;
            part.Attach(MakePart(resource.kind, resource.name, resource.contentType,
                                 resource.content, resource.compression));
            if (resource.kind == PartKind::Font &&
                (restrictedHere || restrictedFonts_.count(resource.folded) != 0)) {
                CoreOf(part)->namedRestricted = true;
            }
            state.resources.push_back({resource.folded, std::move(part)});
        }
        const EXpsCompressionOptions compression = CompressionOf(location);
        std::string contentType = package_->ContentTypeOf(name);
        auto content = std::make_shared<PackagePartContent>(package_, name, std::move(location));
        return MakePage(std::move(name), std::move(contentType), std::move(content), compression,
                        std::move(state));
    }

    // A resource as the package holds it. Pages of a job name the same fonts and images again
    // and again: the last few found are kept, with one content shared by every page's part
    // object (contents are immutable; each page still gets a part object of its own).
    struct Resource {
        std::string folder, target; // the reference: the source's folder and what it names
        std::string name, folded, contentType;
        PartKind kind = PartKind::Other;
        EXpsCompressionOptions compression = Compression_Normal;
        std::shared_ptr<const PackagePartContent> content;
    };
    static constexpr size_t kKeptResources = 16;
    static constexpr size_t kResourcesComparedOneByOne = 32;

    // The resource target names from page; throws as ResolvePartReference does, or when it is
    // missing from the package.
    const Resource& ResourceOf(const std::string& page, const std::string& target) {
        const std::string_view folder = std::string_view(page).substr(0, page.rfind('/') + 1);
        for (const Resource& kept : resources_) {
            if (!target.empty() && kept.target == target &&
                (target.front() == '/' || kept.folder == folder)) {
                return kept;
            }
        }
        Resource resource;
        PartLocation location;
        if (!package_->TryLocateReference(page, target, resource.name, location)) {
            Fail(kMissingPart,
                 "the resource " + resource.name + " of " + page + " is missing from the package");
        }
        resource.folder = folder;
        resource.target = target;
        resource.folded = FoldPartName(resource.name);
        resource.contentType = package_->ContentTypeOf(resource.name);
        resource.kind = KindOfContentType(resource.contentType);
        resource.compression = CompressionOf(location);
        resource.content =
            std::make_shared<PackagePartContent>(package_, resource.name, std::move(location));
        if (resources_.size() < kKeptResources) {
            resources_.push_back(std::move(resource));
            return resources_.back();
        }
        Resource& slot = resources_[nextResource_];
        nextResource_ = (nextResource_ + 1) % kKeptResources;
        slot = std::move(resource);
        return slot;
    }

    std::shared_ptr<Package> package_;
    std::vector<Resource> resources_; // the last resources found, at most kKeptResources
    size_t nextResource_ = 0;         // the one resources_ replaces next when full
    XpsFlavour flavour_ = XpsFlavour_MicrosoftXps;
    std::string sequenceName_;
    std::optional<std::string> thumbnailName_;
    // The relationship types of the package's flavour.
    std::string printTicketType_, requiredResourceType_, restrictedFontType_;
    // The fonts the current fixed document names by restricted-font relationships, folded.
    std::unordered_set<std::string> restrictedFonts_;
    Stage stage_ = Stage::XpsDocument;
    std::unique_ptr<MarkupReader> sequenceMarkup_;
    std::unique_ptr<MarkupReader> documentMarkup_;
    std::shared_ptr<StoredMarkup> sequenceStored_;   // of sequenceMarkup_
    std::shared_ptr<StoredMarkup> documentStored_;   // of documentMarkup_
    RelationshipsParser relationshipsParser_;        // for every relationships part
    EntryInflater inflater_;                         // for every small relationships part
    std::string relsBytes_;                          // the last small relationships part read
    std::vector<Relationship> packageRelationships_; // until the XPS document is made
    std::shared_ptr<const PackagePartContent> storedPackageRelationships_; // likewise
    size_t thumbnails_ = 0;     // relationships of the package to a thumbnail inside it
    std::vector<bool> visited_; // by entry: the documents and pages walked
    HRESULT failure_ = S_OK;
    std::string lastError_;
    // Reads the pages' relationships ahead of the walk; last, so that its thread is joined
    // before anything it reads with goes.
    std::unique_ptr<RelationshipsReadAhead> readAhead_;
};

} // namespace

IXpsDocumentProvider* OpenPackageReader(const std::string& path, const XpsPackageLimits& limits) {
    ATL::CComPtr<PackageReader> reader;
    reader.Attach(Make<PackageReader>(Package::Open(path, limits)));
    reader->ReadStartPart();
    return reader.Detach();
}

XpsFlavour FlavourOfReader(IXpsDocumentProvider* provider) {
    ATL::CComPtr<IXpsReaderInternal> reader;
    if (!provider || FAILED(provider->QueryInterface(&reader))) {
        Fail(E_INVALIDARG, "not a package reader of this platform");
    }
    return reader->Flavour();
}

} // namespace platform::xps
