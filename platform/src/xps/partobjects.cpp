#include "partobjects.h"

#include "fontembedding.h"
#include "partname.h"

#include <algorithm>
#include <optional>

namespace platform::xps {

const PackagePartContent* PartCore::Unchanged() const {
    if (compression != readCompression) {
        return nullptr;
    }
    return dynamic_cast<const PackagePartContent*>(content.get());
}

bool PartCore::ObfuscatedFont() const {
    return fontOptions == Font_Obfuscate || contentType == kObfuscatedFontContentType;
}

BSTR ToBstr(std::string_view text) {
    const int length = text.empty()
                           ? 0
                           : MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                                 static_cast<int>(text.size()), nullptr, 0);
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!result) {
        throw std::bad_alloc();
    }
    if (length) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result, length);
    }
    return result;
}

std::string FromWide(const WCHAR* text) {
    if (!text) {
        Fail(E_POINTER, "a null string");
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        Fail(E_INVALIDARG, "text that is not UTF-16");
    }
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    result.pop_back();
    return result;
}

HRESULT AnswerText(std::string_view text, BSTR* out) noexcept {
    if (!out) {
        return E_POINTER;
    }
    *out = nullptr;
    return Guarded(nullptr, [&] {
        *out = ToBstr(text);
        return S_OK;
    });
}

namespace {

template <class Out>
HRESULT Hand(Out* object, Out** target) {
    if (!target) {
        return E_POINTER;
    }
    *target = object;
    if (object) {
        object->AddRef();
    }
    return S_OK;
}

class ReadStream final : public com::Object<ReadStream, IPrintReadStream, IXpsPackageStatus> {
public:
    using Interfaces = com::InterfaceTable<IPrintReadStream, IXpsPackageStatus>;

    ReadStream(std::shared_ptr<const PartContent> content, std::unique_ptr<ByteSource> source)
        : content_(std::move(content)), size_(content_->FullSize()), source_(std::move(source)) {}

    HRESULT STDMETHODCALLTYPE Seek(LONGLONG offset, DWORD origin, ULONGLONG* newPosition) override {
        return Guarded(&lastError_, [&]() -> HRESULT {
            LONGLONG base = 0;
            if (origin == STREAM_SEEK_CUR) {
                base = static_cast<LONGLONG>(position_);
            } else if (origin == STREAM_SEEK_END) {
                base = static_cast<LONGLONG>(size_);
            } else if (origin != STREAM_SEEK_SET) {
                return STG_E_INVALIDFUNCTION;
            }
            if ((offset < 0 && -offset > base) || (offset > 0 && offset > INT64_MAX - base)) {
                return STG_E_INVALIDFUNCTION;
            }
            const uint64_t target = static_cast<uint64_t>(base + offset);
            if (target < position_) {
                source_ = content_->Open();
                position_ = 0;
            }
            unsigned char scratch[16384];
            while (position_ < target) {
                const size_t want =
                    static_cast<size_t>(std::min<uint64_t>(sizeof scratch, target - position_));
                const size_t got = source_->Read(scratch, want);
                if (got == 0) {
                    break;
                }
                position_ += got;
            }
            if (newPosition) {
                *newPosition = position_;
            }
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE ReadBytes(void* buffer, ULONG count, ULONG* read,
                                        BOOL* endOfFile) override {
        if (read) {
            *read = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        return Guarded(&lastError_, [&]() -> HRESULT {
            ULONG total = 0;
            bool ended = false;
            while (total < count) {
                const size_t got = source_->Read(static_cast<char*>(buffer) + total, count - total);
                if (got == 0) {
                    ended = true;
                    break;
                }
                total += static_cast<ULONG>(got);
            }
            position_ += total;
            if (read) {
                *read = total;
            }
            if (endOfFile) {
                *endOfFile = ended || position_ >= size_;
            }
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetLastErrorText(BSTR* text) override {
        return AnswerText(lastError_, text);
    }

private:
    std::string lastError_;
    std::shared_ptr<const PartContent> content_;
    uint64_t size_;
    std::unique_ptr<ByteSource> source_;
    uint64_t position_ = 0;
};

class WriteStream final : public com::Object<WriteStream, IPrintWriteStream> {
public:
    using Interfaces = com::InterfaceTable<IPrintWriteStream>;

    explicit WriteStream(std::shared_ptr<MemoryPartContent> content)
        : content_(std::move(content)) {}

    HRESULT STDMETHODCALLTYPE WriteBytes(const void* buffer, ULONG count, ULONG* written) override {
        if (written) {
            *written = 0;
        }
        if (!buffer && count) {
            return E_POINTER;
        }
        if (closed_) {
            return E_UNEXPECTED;
        }
        return Guarded(nullptr, [&]() -> HRESULT {
            content_->Append(buffer, count);
            if (written) {
                *written = count;
            }
            return S_OK;
        });
    }
    void STDMETHODCALLTYPE Close() override { closed_ = true; }

private:
    std::shared_ptr<MemoryPartContent> content_;
    bool closed_ = false;
};

// What every object of this folder answers through IXpsObjectInternal by default.
class NoInternals : public IXpsObjectInternal {
public:
    PartCore* STDMETHODCALLTYPE Core() override { return nullptr; }
    PageState* STDMETHODCALLTYPE Page() override { return nullptr; }
    StructureState* STDMETHODCALLTYPE Structure() override { return nullptr; }
    XpsDocumentState* STDMETHODCALLTYPE Document() override { return nullptr; }
};

// Interface first, then the interfaces it extends below IPartBase (Bases).
template <class Interface, class... Bases>
class PartObject
    : public com::Object<PartObject<Interface, Bases...>, Interface, IXpsPartInfo, NoInternals> {
public:
    using Interfaces =
        com::InterfaceTable<Interface, Bases..., IPartBase, IXpsPartInfo, IXpsObjectInternal>;

    explicit PartObject(PartCore core) : core_(std::move(core)) {}

    HRESULT STDMETHODCALLTYPE GetUri(BSTR* uri) override { return AnswerText(core_.uri, uri); }
    HRESULT STDMETHODCALLTYPE GetStream(IPrintReadStream** stream) override {
        if (!stream) {
            return E_POINTER;
        }
        *stream = nullptr;
        return Guarded(nullptr, [&] {
            *stream = Make<ReadStream>(core_.content, core_.content->Open());
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetPartCompression(EXpsCompressionOptions* compression) override {
        if (!compression) {
            return E_POINTER;
        }
        *compression = core_.compression;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPartCompression(EXpsCompressionOptions compression) override {
        if (compression < Compression_NotCompressed || compression > Compression_Fast) {
            return E_INVALIDARG;
        }
        core_.compression = compression;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetContentType(BSTR* contentType) override {
        return AnswerText(core_.contentType, contentType);
    }
    HRESULT STDMETHODCALLTYPE GetSizes(ULONGLONG* stored, ULONGLONG* full) override {
        if (!stored || !full) {
            return E_POINTER;
        }
        *stored = core_.content->StoredSize();
        *full = core_.content->FullSize();
        return S_OK;
    }

    PartCore* STDMETHODCALLTYPE Core() override { return &core_; }

protected:
    HRESULT SetContentType(const WCHAR* contentType) {
        return Guarded(nullptr, [&] {
            std::string text = FromWide(contentType);
            if (text.empty()) {
                return E_INVALIDARG;
            }
            core_.contentType = std::move(text);
            return S_OK;
        });
    }
    HRESULT HandContentType(BSTR* contentType) { return GetContentType(contentType); }

    PartCore core_;
};

class FontPart final : public PartObject<IPartFont2, IPartFont> {
public:
    using PartObject::PartObject;
    // What a restricted-font relationship of the package said, else what the font's bytes
    // say (read again while they change); ERROR_INVALID_DATA for bytes that state nothing.
    HRESULT STDMETHODCALLTYPE GetFontRestriction(EXpsFontRestriction* restriction) override {
        if (!restriction) {
            return E_POINTER;
        }
        *restriction = Xps_Restricted_Font_Installable;
        if (core_.namedRestricted) {
            *restriction = Xps_Restricted_Font_PreviewPrint;
            return S_OK;
        }
        return Guarded(nullptr, [&] {
            const std::optional<uint16_t> fsType =
                core_.content ? ReadFsType(*core_.content, core_.uri, core_.ObfuscatedFont())
                              : std::nullopt;
            if (!fsType) {
                return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            }
            *restriction = RestrictionOfFsType(*fsType);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetFontProperties(BSTR* contentType,
                                                EXpsFontOptions* options) override {
        if (!options) {
            return E_POINTER;
        }
        *options = core_.fontOptions;
        return HandContentType(contentType);
    }
    HRESULT STDMETHODCALLTYPE SetFontContent(const WCHAR* contentType) override {
        return SetContentType(contentType);
    }
    HRESULT STDMETHODCALLTYPE SetFontOptions(EXpsFontOptions options) override {
        if (options != Font_Normal && options != Font_Obfuscate) {
            return E_INVALIDARG;
        }
        core_.fontOptions = options;
        return S_OK;
    }
};

class ImagePart final : public PartObject<IPartImage> {
public:
    using PartObject::PartObject;
    HRESULT STDMETHODCALLTYPE GetImageProperties(BSTR* contentType) override {
        return HandContentType(contentType);
    }
    HRESULT STDMETHODCALLTYPE SetImageContent(const WCHAR* contentType) override {
        return SetContentType(contentType);
    }
};

class ThumbnailPart final : public PartObject<IPartThumbnail> {
public:
    using PartObject::PartObject;
    HRESULT STDMETHODCALLTYPE GetThumbnailProperties(BSTR* contentType) override {
        return HandContentType(contentType);
    }
    HRESULT STDMETHODCALLTYPE SetThumbnailContent(const WCHAR* contentType) override {
        return SetContentType(contentType);
    }
};

class PartIterator final : public com::Object<PartIterator, IXpsPartIterator> {
public:
    using Interfaces = com::InterfaceTable<IXpsPartIterator>;

    explicit PartIterator(std::vector<ATL::CComPtr<IUnknown>> parts) : parts_(std::move(parts)) {}

    void STDMETHODCALLTYPE Reset() override { next_ = 0; }
    HRESULT STDMETHODCALLTYPE Current(BSTR* uri, IUnknown** part) override {
        if (!uri || !part) {
            return E_POINTER;
        }
        *uri = nullptr;
        *part = nullptr;
        if (next_ >= parts_.size()) {
            return E_UNEXPECTED;
        }
        return Guarded(nullptr, [&] {
            *uri = ToBstr(CoreOf(parts_[next_])->uri);
            return Hand<IUnknown>(parts_[next_], part);
        });
    }
    BOOL STDMETHODCALLTYPE IsDone() override { return next_ >= parts_.size(); }
    void STDMETHODCALLTYPE Next() override {
        if (next_ < parts_.size()) {
            ++next_;
        }
    }

private:
    std::vector<ATL::CComPtr<IUnknown>> parts_;
    size_t next_ = 0;
};

class PagePart final : public PartObject<IFixedPage> {
public:
    PagePart(PartCore core, PageState state)
        : PartObject(std::move(core)), page_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket** ticket) override {
        if (!ticket) {
            return E_POINTER;
        }
        *ticket = nullptr;
        return page_.ticket ? Hand<IPartPrintTicket>(page_.ticket, ticket) : kNotFound;
    }
    HRESULT STDMETHODCALLTYPE GetPagePart(const WCHAR* uri, IUnknown** part) override {
        if (!uri || !part) {
            return E_POINTER;
        }
        *part = nullptr;
        return Guarded(nullptr, [&]() -> HRESULT {
            auto found = Find(FromWide(uri));
            return found == page_.resources.end() ? kNotFound : Hand<IUnknown>(found->part, part);
        });
    }
    HRESULT STDMETHODCALLTYPE GetWriteStream(IPrintWriteStream** stream) override {
        if (!stream) {
            return E_POINTER;
        }
        *stream = nullptr;
        return Guarded(nullptr, [&] {
            auto content = std::make_shared<MemoryPartContent>();
            *stream = MakeWriteStream(content);
            core_.content = std::move(content);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket* ticket) override {
        page_.ticket = ticket;
        page_.relationshipsChanged = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPagePart(IUnknown* part) override {
        PartCore* core = CoreOf(part);
        if (!core) {
            return part ? E_INVALIDARG : E_POINTER;
        }
        return Guarded(nullptr, [&] {
            auto found = Find(core->uri);
            page_.relationshipsChanged = true;
            if (found != page_.resources.end()) {
                found->part = part;
            } else {
                page_.resources.push_back({FoldPartName(core->uri), part});
            }
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE DeleteResource(const WCHAR* uri) override {
        if (!uri) {
            return E_POINTER;
        }
        return Guarded(nullptr, [&]() -> HRESULT {
            auto found = Find(FromWide(uri));
            if (found == page_.resources.end()) {
                return kNotFound;
            }
            page_.resources.erase(found);
            page_.relationshipsChanged = true;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetXpsPartIterator(IXpsPartIterator** iterator) override {
        if (!iterator) {
            return E_POINTER;
        }
        *iterator = nullptr;
        return Guarded(nullptr, [&] {
            std::vector<ATL::CComPtr<IUnknown>> parts;
            for (const PageResource& resource : page_.resources) {
                parts.push_back(resource.part);
            }
            *iterator = Make<PartIterator>(std::move(parts));
            return S_OK;
        });
    }

    PageState* STDMETHODCALLTYPE Page() override { return &page_; }

private:
    // A resource by its URI, absolute or relative to the page.
    std::vector<PageResource>::iterator Find(const std::string& uri) {
        const std::string folded = FoldPartName(ResolvePartReference(core_.uri, uri));
        return std::find_if(page_.resources.begin(), page_.resources.end(),
                            [&](const PageResource& r) { return r.folded == folded; });
    }

    PageState page_;
};

template <class Interface>
class StructureObject final
    : public com::Object<StructureObject<Interface>, Interface, IXpsPartInfo, NoInternals> {
public:
    using Interfaces = com::InterfaceTable<Interface, IXpsPartInfo, IXpsObjectInternal>;

    explicit StructureObject(StructureState state) : state_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE GetUri(BSTR* uri) override { return AnswerText(state_.uri, uri); }
    HRESULT STDMETHODCALLTYPE GetPrintTicket(IPartPrintTicket** ticket) override {
        if (!ticket) {
            return E_POINTER;
        }
        *ticket = nullptr;
        return state_.ticket ? Hand<IPartPrintTicket>(state_.ticket, ticket) : kNotFound;
    }
    HRESULT STDMETHODCALLTYPE SetPrintTicket(IPartPrintTicket* ticket) override {
        state_.ticket = ticket;
        state_.relationshipsChanged = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetContentType(BSTR* contentType) override {
        return AnswerText(state_.contentType, contentType);
    }
    HRESULT STDMETHODCALLTYPE GetSizes(ULONGLONG* stored, ULONGLONG* full) override {
        if (!stored || !full) {
            return E_POINTER;
        }
        *stored = state_.storedSize;
        *full = state_.fullSize;
        return S_OK;
    }
    StructureState* STDMETHODCALLTYPE Structure() override { return &state_; }

private:
    StructureState state_;
};

class XpsDocumentObject final : public com::Object<XpsDocumentObject, IXpsDocument, NoInternals> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocument, IXpsObjectInternal>;

    explicit XpsDocumentObject(XpsDocumentState state) : state_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE GetThumbnail(IPartThumbnail** thumbnail) override {
        if (!thumbnail) {
            return E_POINTER;
        }
        *thumbnail = nullptr;
        return state_.thumbnail ? Hand<IPartThumbnail>(state_.thumbnail, thumbnail) : kNotFound;
    }
    HRESULT STDMETHODCALLTYPE SetThumbnail(IPartThumbnail* thumbnail) override {
        state_.thumbnail = thumbnail;
        state_.relationshipsChanged = true;
        return S_OK;
    }
    XpsDocumentState* STDMETHODCALLTYPE Document() override { return &state_; }

private:
    XpsDocumentState state_;
};

IXpsObjectInternal* InternalsOf(IUnknown* object) {
    if (!object) {
        return nullptr;
    }
    IXpsObjectInternal* internals = nullptr;
    if (FAILED(
            object->QueryInterface(IID_IXpsObjectInternal, reinterpret_cast<void**>(&internals)))) {
        return nullptr;
    }
    internals->Release(); // the caller holds object, which keeps internals alive
    return internals;
}

} // namespace

PartCore* CoreOf(IUnknown* part) {
    IXpsObjectInternal* internals = InternalsOf(part);
    return internals ? internals->Core() : nullptr;
}

PageState* PageStateOf(IUnknown* page) {
    IXpsObjectInternal* internals = InternalsOf(page);
    return internals ? internals->Page() : nullptr;
}

StructureState* StructureStateOf(IUnknown* documentOrSequence) {
    IXpsObjectInternal* internals = InternalsOf(documentOrSequence);
    return internals ? internals->Structure() : nullptr;
}

XpsDocumentState* XpsDocumentStateOf(IUnknown* document) {
    IXpsObjectInternal* internals = InternalsOf(document);
    return internals ? internals->Document() : nullptr;
}

PartKind KindOfContentType(std::string_view contentType) {
    if (contentType == "application/vnd.ms-opentype" || contentType == kObfuscatedFontContentType) {
        return PartKind::Font;
    }
    if (contentType.substr(0, 6) == "image/") {
        return PartKind::Image;
    }
    if (contentType == "application/vnd.ms-package.xps-resourcedictionary+xml") {
        return PartKind::ResourceDictionary;
    }
    if (contentType == kTicketContentType) {
        return PartKind::PrintTicket;
    }
    if (contentType == kPageContentType) {
        return PartKind::Page;
    }
    return PartKind::Other;
}

IUnknown* MakePart(PartKind kind, std::string uri, std::string contentType,
                   std::shared_ptr<const PartContent> content, EXpsCompressionOptions compression) {
    PartCore core;
    core.kind = kind;
    core.uri = std::move(uri);
    core.contentType = std::move(contentType);
    core.content = std::move(content);
    core.compression = core.readCompression = compression;
    if (core.contentType == kObfuscatedFontContentType) {
        core.fontOptions = Font_Obfuscate;
    }
    switch (kind) {
    case PartKind::Font:
        return static_cast<IPartFont2*>(Make<FontPart>(std::move(core)));
    case PartKind::Image:
        return static_cast<IPartImage*>(Make<ImagePart>(std::move(core)));
    case PartKind::Thumbnail:
        return static_cast<IPartThumbnail*>(Make<ThumbnailPart>(std::move(core)));
    case PartKind::PrintTicket:
        return static_cast<IPartPrintTicket*>(Make<PartObject<IPartPrintTicket>>(std::move(core)));
    case PartKind::ResourceDictionary:
        return static_cast<IPartResourceDictionary*>(
            Make<PartObject<IPartResourceDictionary>>(std::move(core)));
    case PartKind::Page:
        return static_cast<IFixedPage*>(Make<PagePart>(std::move(core), PageState{}));
    case PartKind::Other:
        break;
    }
    return static_cast<IPartBase*>(Make<PartObject<IPartBase>>(std::move(core)));
}

IFixedPage* MakePage(std::string uri, std::string contentType,
                     std::shared_ptr<const PartContent> content, EXpsCompressionOptions compression,
                     PageState state) {
    PartCore core;
    core.kind = PartKind::Page;
    core.uri = std::move(uri);
    core.contentType = std::move(contentType);
    core.content = std::move(content);
    core.compression = core.readCompression = compression;
    return Make<PagePart>(std::move(core), std::move(state));
}

IFixedDocument* MakeDocument(StructureState state) {
    return Make<StructureObject<IFixedDocument>>(std::move(state));
}

IFixedDocumentSequence* MakeSequence(StructureState state) {
    return Make<StructureObject<IFixedDocumentSequence>>(std::move(state));
}

IXpsDocument* MakeXpsDocument(XpsDocumentState state) {
    return Make<XpsDocumentObject>(std::move(state));
}

IPrintWriteStream* MakeWriteStream(std::shared_ptr<MemoryPartContent> content) {
    return Make<WriteStream>(std::move(content));
}

HRESULT NewEmptyPart(const WCHAR* uri, REFIID iid, void** part, IPrintWriteStream** stream) {
    std::string name = FromWide(uri);
    const std::string problem = PartNameProblem(name);
    if (!problem.empty()) {
        Fail(E_INVALIDARG, "\"" + name + "\" is not a part name: it " + problem);
    }
    PartKind kind;
    std::string contentType;
    if (IsEqualIID(iid, IID_IFixedPage)) {
        kind = PartKind::Page;
        contentType = kPageContentType;
    } else if (IsEqualIID(iid, IID_IPartPrintTicket)) {
        kind = PartKind::PrintTicket;
        contentType = kTicketContentType;
    } else if (IsEqualIID(iid, IID_IPartFont) || IsEqualIID(iid, IID_IPartFont2)) {
        kind = PartKind::Font;
        contentType = "application/vnd.ms-opentype";
    } else if (IsEqualIID(iid, IID_IPartImage)) {
        kind = PartKind::Image;
        contentType = "image/png";
    } else if (IsEqualIID(iid, IID_IPartResourceDictionary)) {
        kind = PartKind::ResourceDictionary;
        contentType = "application/vnd.ms-package.xps-resourcedictionary+xml";
    } else if (IsEqualIID(iid, IID_IPartThumbnail)) {
        kind = PartKind::Thumbnail;
        contentType = "image/png";
    } else if (IsEqualIID(iid, IID_IPartBase)) {
        kind = PartKind::Other;
        contentType = "application/octet-stream";
    } else {
        return E_NOINTERFACE;
    }
    auto content = std::make_shared<MemoryPartContent>();
    ATL::CComPtr<IUnknown> object;
    object.Attach(
        MakePart(kind, std::move(name), std::move(contentType), content, Compression_Normal));
    ATL::CComPtr<IPrintWriteStream> writer;
    writer.Attach(MakeWriteStream(std::move(content)));
    const HRESULT hr = object->QueryInterface(iid, part);
    if (FAILED(hr)) {
        return hr;
    }
    *stream = writer.Detach();
    return S_OK;
}

} // namespace platform::xps
