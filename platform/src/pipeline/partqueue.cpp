#include "partqueue.h"

#include "../xps/partobjects.h"

namespace platform::pipeline {
namespace {

class PartQueue final : public Link, public std::enable_shared_from_this<PartQueue> {
public:
    explicit PartQueue(size_t depth) : depth_(depth ? depth : 1) {}

    // Waits for room, then queues part.
    HRESULT Put(IUnknown* part) {
        if (!part) {
            return E_POINTER;
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return items_.size() < depth_ || Stopped(); });
        if (cancelled_) {
            return kCancelled;
        }
        if (readerGone_) {
            return kBrokenPipe;
        }
        if (closed_) {
            return E_UNEXPECTED; // sent after CloseSender
        }
        return com::Guarded([&] {
            items_.emplace_back(part);
            changed_.notify_all();
            return S_OK;
        });
    }

    // Waits for a part; a null part once the writer closed and everything was taken.
    HRESULT Take(IUnknown** part) {
        if (!part) {
            return E_POINTER;
        }
        *part = nullptr;
        std::unique_lock lock(mutex_);
        changed_.wait(lock,
                      [&] { return !items_.empty() || closed_ || writerGone_ || cancelled_; });
        if (cancelled_) {
            return kCancelled;
        }
        if (items_.empty()) {
            if (!closed_) {
                return kBrokenPipe; // the writer ended without CloseSender
            }
            readToEnd_ = true;
            return S_OK;
        }
        *part = items_.front().Detach();
        items_.pop_front();
        changed_.notify_all();
        return S_OK;
    }

    HRESULT Close() {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return kCancelled;
        }
        closed_ = true;
        changed_.notify_all();
        return S_OK;
    }

    void Cancel() override {
        std::deque<ATL::CComPtr<IUnknown>> dropped; // released outside the lock
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        dropped.swap(items_);
        changed_.notify_all();
    }
    bool ReadToEnd() override {
        std::lock_guard lock(mutex_);
        return readToEnd_;
    }
    bool WriterClosed() override {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    void ReaderReturned() override {
        std::deque<ATL::CComPtr<IUnknown>> dropped;
        std::lock_guard lock(mutex_);
        readerGone_ = true;
        dropped.swap(items_);
        changed_.notify_all();
    }
    void WriterReturned() override {
        std::lock_guard lock(mutex_);
        writerGone_ = true;
        changed_.notify_all();
    }
    ATL::CComPtr<IUnknown> Reader() override;
    ATL::CComPtr<IUnknown> Writer() override;

private:
    bool Stopped() const { return cancelled_ || readerGone_ || closed_; }

    const size_t depth_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ATL::CComPtr<IUnknown>> items_;
    bool closed_ = false;
    bool writerGone_ = false;
    bool readerGone_ = false;
    bool readToEnd_ = false;
    bool cancelled_ = false;
};

class QueueConsumer final : public com::Object<QueueConsumer, IXpsDocumentConsumer> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentConsumer>;
    explicit QueueConsumer(std::shared_ptr<PartQueue> queue) : queue_(std::move(queue)) {}

    HRESULT STDMETHODCALLTYPE SendXpsUnknown(IUnknown* unknown) override {
        return queue_->Put(unknown);
    }
    HRESULT STDMETHODCALLTYPE SendXpsDocument(IXpsDocument* document) override {
        return queue_->Put(document);
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocumentSequence(IFixedDocumentSequence* sequence) override {
        return queue_->Put(sequence);
    }
    HRESULT STDMETHODCALLTYPE SendFixedDocument(IFixedDocument* document) override {
        return queue_->Put(document);
    }
    HRESULT STDMETHODCALLTYPE SendFixedPage(IFixedPage* page) override { return queue_->Put(page); }
    HRESULT STDMETHODCALLTYPE CloseSender() override { return queue_->Close(); }
    HRESULT STDMETHODCALLTYPE GetNewEmptyPart(const WCHAR* uri, REFIID iid, void** part,
                                              IPrintWriteStream** stream) override {
        if (!uri || !part || !stream) {
            return E_POINTER;
        }
        *part = nullptr;
        *stream = nullptr;
        return xps::Guarded(nullptr, [&] { return xps::NewEmptyPart(uri, iid, part, stream); });
    }

private:
    std::shared_ptr<PartQueue> queue_;
};

class QueueProvider final : public com::Object<QueueProvider, IXpsDocumentProvider> {
public:
    using Interfaces = com::InterfaceTable<IXpsDocumentProvider>;
    explicit QueueProvider(std::shared_ptr<PartQueue> queue) : queue_(std::move(queue)) {}

    HRESULT STDMETHODCALLTYPE GetXpsPart(IUnknown** part) override { return queue_->Take(part); }

private:
    std::shared_ptr<PartQueue> queue_;
};

ATL::CComPtr<IUnknown> PartQueue::Reader() {
    return NewObject<IXpsDocumentProvider, QueueProvider>(shared_from_this());
}

ATL::CComPtr<IUnknown> PartQueue::Writer() {
    return NewObject<IXpsDocumentConsumer, QueueConsumer>(shared_from_this());
}

} // namespace

std::shared_ptr<Link> MakePartQueue(size_t depth) {
    return std::make_shared<PartQueue>(depth);
}

} // namespace platform::pipeline
