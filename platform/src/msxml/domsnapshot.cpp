#include "domsnapshot.h"

#include "domdocument.h"
#include "domserializer.h"

#include "atlbase.h"

#include <mutex>
#include <string>

namespace platform::msxml {
namespace {

class Snapshot final : public com::Object<Snapshot, IStream, DomTreeSnapshot>,
                       public PendingSnapshot {
public:
    using Interfaces = com::InterfaceTable<IStream, ISequentialStream, DomTreeSnapshot>;

    Snapshot(DomDocument& doc, bool asLoaded) : doc_(&doc), asLoaded_(asLoaded) { doc_->AddRef(); }

    // Registered by MakeSnapshot once made; a snapshot still pending is listed by its
    // document, which it keeps alive, so it leaves the list before letting the document go.
    ~Snapshot() override {
        {
            const std::lock_guard lock(doc_->SnapshotLock());
            if (pending_) {
                doc_->ForgetSnapshot(this);
            }
        }
        doc_->Release();
    }

    void Register() {
        const std::lock_guard lock(doc_->SnapshotLock());
        doc_->ListSnapshot(this); // throws std::bad_alloc
        pending_ = true;
    }

    // The document is about to change (its snapshot lock held, the list emptied by it).
    void Take() noexcept override {
        pending_ = false;
        Serialise();
    }

    const xmlDoc* LoadedTree() override {
        const std::lock_guard lock(doc_->SnapshotLock());
        return pending_ && asLoaded_ && !readToEnd_ ? doc_->Store().Doc() : nullptr;
    }

    void MarkReadToEnd() override { readToEnd_ = true; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Read(buffer, count, read);
    }
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* written) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Write(buffer, count, written);
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override {
        // To the start, where an unused snapshot stands: nothing needs its text yet.
        if (!stream_ && !readToEnd_ && SUCCEEDED(failure_) && move.QuadPart == 0 &&
            (origin == STREAM_SEEK_SET || origin == STREAM_SEEK_CUR)) {
            if (newPosition) {
                newPosition->QuadPart = 0;
            }
            return S_OK;
        }
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Seek(move, origin, newPosition);
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->SetSize(newSize);
    }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->CopyTo(target, count, read, written);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Commit(flags);
    }
    HRESULT STDMETHODCALLTYPE Revert() override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Revert();
    }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count,
                                         DWORD lockType) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->LockRegion(offset, count, lockType);
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count,
                                           DWORD lockType) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->UnlockRegion(offset, count, lockType);
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* statstg, DWORD flags) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Stat(statstg, flags);
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override {
        const HRESULT hr = Ready();
        return FAILED(hr) ? hr : stream_->Clone(clone);
    }

private:
    // The text of the document as it stands; a failure is kept for every later call.
    void Serialise() noexcept {
        try {
            SerializeDocument(doc_->Store().Doc(), true, text_);
        } catch (const std::bad_alloc&) {
            failure_ = E_OUTOFMEMORY;
        } catch (const std::length_error&) {
            failure_ = E_OUTOFMEMORY;
        }
    }

    // The memory stream of the snapshot's text, made on first use.
    HRESULT Ready() {
        if (stream_ || FAILED(failure_)) {
            return failure_;
        }
        {
            const std::lock_guard lock(doc_->SnapshotLock());
            if (pending_) {
                doc_->ForgetSnapshot(this);
                pending_ = false;
                Serialise();
            }
        }
        if (FAILED(failure_)) {
            return failure_;
        }
        CComPtr<IStream> memory;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &memory);
        if (SUCCEEDED(hr) && !text_.empty()) {
            hr = memory->Write(text_.data(), static_cast<ULONG>(text_.size()), nullptr);
            if (hr == STG_E_MEDIUMFULL) {
                hr = E_OUTOFMEMORY; // a memory stream that cannot grow: no storage medium is full
            }
        }
        if (SUCCEEDED(hr)) {
            LARGE_INTEGER start{};
            hr = memory->Seek(start, readToEnd_ ? STREAM_SEEK_END : STREAM_SEEK_SET, nullptr);
        }
        if (FAILED(hr)) {
            return hr; // tried again on the next call
        }
        text_ = std::string();
        stream_ = std::move(memory);
        return S_OK;
    }

    DomDocument* doc_;
    const bool asLoaded_;
    bool pending_ = false; // guarded by the document's snapshot lock
    bool readToEnd_ = false;
    std::string text_; // the text, between its serialisation and the stream's making
    HRESULT failure_ = S_OK;
    CComPtr<IStream> stream_;
};

} // namespace

IStream* MakeSnapshot(DomDocument& doc, bool asLoaded) {
    Snapshot* made = com::New<Snapshot>(doc, asLoaded);
    if (!made) {
        return nullptr;
    }
    try {
        made->Register();
    } catch (const std::bad_alloc&) {
        made->Release();
        return nullptr;
    }
    return made;
}

} // namespace platform::msxml
