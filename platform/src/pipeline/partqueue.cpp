#include "partqueue.h"

#include "../xps/partobjects.h"

#include <chrono>
#include <utility>
#include <vector>

namespace platform::pipeline {
namespace {

// The references an object has, as its own count answers them: exact for the in-process
// objects parts are (their counts are atomic), though COM promises nothing of the figure.
ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// References to parts, oldest first, in a ring of fixed room, so that keeping one, letting one
// go and turning the oldest to the back never allocate. Released with the ring.
// The object a part is, as COM tells objects apart (the IUnknown it answers), without a
// reference: the caller holds the part. A filter may send one object through different
// interfaces. The part itself when it answers no IUnknown.
IUnknown* Identity(IUnknown* part) {
    IUnknown* identity = nullptr;
    if (FAILED(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) ||
        !identity) {
        return part;
    }
    identity->Release();
    return identity;
}

class KeptParts {
public:
    explicit KeptParts(size_t room) : ring_(room, nullptr) {}
    ~KeptParts() {
        while (size_ != 0) {
            PopFront()->Release();
        }
    }
    KeptParts(const KeptParts&) = delete;
    KeptParts& operator=(const KeptParts&) = delete;

    size_t Size() const { return size_; }
    bool Full() const { return size_ == ring_.size(); }
    bool Contains(const IUnknown* part) const {
        for (size_t i = 0; i < size_; ++i) {
            if (ring_[(head_ + i) % ring_.size()] == part) {
                return true;
            }
        }
        return false;
    }
    // Adds a reference of the ring's own; not when Full.
    void PushBack(IUnknown* part) {
        part->AddRef();
        ring_[(head_ + size_++) % ring_.size()] = part;
    }
    IUnknown* Front() const { return ring_[head_]; }
    // The oldest part, with the ring's reference.
    IUnknown* PopFront() {
        IUnknown* part = std::exchange(ring_[head_], nullptr);
        head_ = (head_ + 1) % ring_.size();
        --size_;
        return part;
    }
    void FrontToBack() {
        IUnknown* part = PopFront();
        ring_[(head_ + size_++) % ring_.size()] = part;
    }
    // Everything the ring holds, handed to a ring of no room.
    void SwapWith(KeptParts& other) noexcept {
        ring_.swap(other.ring_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
    }

private:
    std::vector<IUnknown*> ring_;
    size_t head_ = 0;
    size_t size_ = 0;
};

class PartQueue final : public Link, public std::enable_shared_from_this<PartQueue> {
public:
    // Keeps 4 * depth + 64 parts for the writer at most: past that (parts held long, or by an
    // object whose count never says it is alone) a part the reader takes is not kept, so that
    // memory stays flat, and it is freed wherever its last holder lets it go.
    PartQueue(size_t depth, std::shared_ptr<PartQueue> upstream)
        : depth_(depth ? depth : 1), batch_(depth_ > 1 ? depth_ / 2 : 1),
          upstream_(std::move(upstream)), kept_(4 * depth_ + 64) {}

    // Waits for room, then queues part.
    HRESULT Put(IUnknown* part) {
        if (!part) {
            return E_POINTER;
        }
        // A part the writer took from the queue before it and passes on is that queue's to
        // free; asked before this queue's lock is taken, so that no lock is held under another.
        IUnknown* const identity = Identity(part);
        const bool keep = !(upstream_ && upstream_->Keeps(identity));
        bool wakeReader = false;
        FinishedParts done; // released after the lock is left
        {
            std::unique_lock lock(mutex_);
            bool deep = false;
            while (items_.size() >= depth_ && !Stopped()) {
                deep = Wait(lock, roomMade_, deep, waiting_.writers,
                            [&] { return items_.size() < depth_; });
            }
            if (cancelled_) {
                return kCancelled;
            }
            if (readerGone_) {
                return kBrokenPipe;
            }
            if (closed_) {
                return E_UNEXPECTED; // sent after CloseSender
            }
            const HRESULT hr = com::Guarded([&] {
                items_.push_back(Item{part, identity, keep});
                return S_OK;
            });
            if (FAILED(hr)) {
                return hr;
            }
            wakeReader = waiting_.readers.Woken(items_.size() >= batch_);
            done.TakeFinished(kept_);
        }
        // Woken after the lock is left, so that the reader does not wake only to wait for it.
        if (wakeReader) {
            partsCame_.notify_all();
        }
        return S_OK;
    }

    // Waits for a part; a null part once the writer closed and everything was taken.
    HRESULT Take(IUnknown** part) {
        if (!part) {
            return E_POINTER;
        }
        *part = nullptr;
        bool wakeWriter = false;
        {
            std::unique_lock lock(mutex_);
            bool deep = false;
            while (items_.empty() && !WriterDone()) {
                deep =
                    Wait(lock, partsCame_, deep, waiting_.readers, [&] { return !items_.empty(); });
            }
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
            Item& item = items_.front();
            if (item.keep) {
                KeepForTheWriter(item.identity);
            }
            *part = item.part.Detach();
            items_.pop_front();
            wakeWriter = waiting_.writers.Woken(items_.size() + batch_ <= depth_);
        }
        if (wakeWriter) {
            roomMade_.notify_all();
        }
        return S_OK;
    }

    HRESULT Close() {
        KeptParts kept(0); // released outside the lock
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return kCancelled;
        }
        closed_ = true;
        kept.SwapWith(kept_);
        WakeEveryone();
        return S_OK;
    }

    void Cancel() override {
        std::deque<Item> dropped; // released outside the lock
        KeptParts kept(0);
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        dropped.swap(items_);
        kept.SwapWith(kept_);
        WakeEveryone();
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
        std::deque<Item> dropped;
        std::lock_guard lock(mutex_);
        readerGone_ = true;
        dropped.swap(items_);
        WakeEveryone();
    }
    void WriterReturned() override {
        KeptParts kept(0);
        std::lock_guard lock(mutex_);
        writerGone_ = true;
        kept.SwapWith(kept_);
        WakeEveryone();
    }

    // Whether this queue, or one before it, keeps the part (its Identity) for its writer to
    // free: the part came from there.
    bool Keeps(IUnknown* identity) {
        {
            std::lock_guard lock(mutex_);
            if (kept_.Contains(identity)) {
                return true;
            }
        }
        return upstream_ && upstream_->Keeps(identity);
    }
    ATL::CComPtr<IUnknown> Reader() override;
    ATL::CComPtr<IUnknown> Writer() override;

private:
    struct Item {
        ATL::CComPtr<IUnknown> part;
        IUnknown* identity; // alive while the part is
        bool keep;          // the writer made it, or at least did not take it from the queue before
    };

    // Parts every other holder has let go, moved out of kept_ under the lock and released after
    // it on the writer's thread. A part is made on the writer's side (read from the input, or
    // new) and its memory is best freed there: freed on another thread, every block of it goes
    // back to the writer thread's heap under that heap's lock, which the writer's own
    // allocations hold at the same moment, and one of the two threads sleeps.
    class FinishedParts {
    public:
        FinishedParts() = default;
        FinishedParts(const FinishedParts&) = delete;
        FinishedParts& operator=(const FinishedParts&) = delete;
        ~FinishedParts() {
            for (size_t i = 0; i < count_; ++i) {
                parts_[i]->Release();
            }
        }
        // The oldest parts that the queue alone still holds, a handful at most, so that no Put
        // pays for a long backlog at once. The first one held elsewhere (the reader at work on
        // it, a filter further on, a filter holding it back) ends the look and goes to the
        // back, so that it holds up no part behind it.
        void TakeFinished(KeptParts& kept) {
            while (count_ < kMost && kept.Size() != 0) {
                if (References(kept.Front()) > 1) {
                    kept.FrontToBack();
                    return;
                }
                parts_[count_++] = kept.PopFront();
            }
        }

    private:
        static constexpr size_t kMost = 16;
        IUnknown* parts_[kMost];
        size_t count_ = 0;
    };

    // Keeps a reference to a part the reader takes, for the writer to release once it is the
    // last: the reader's own last Release then leaves the part alive, and the writer's frees it
    // on the thread that made it, whether the reader let the part go or passed it on. Not once
    // the writer closed or returned, as no Put will come to release it; not twice for one part
    // sent twice; nor when the ring is full (the part is then freed wherever its last
    // reference goes, as without this).
    void KeepForTheWriter(IUnknown* identity) {
        if (!closed_ && !writerGone_ && !kept_.Full() && !kept_.Contains(identity)) {
            kept_.PushBack(identity);
        }
    }

    // Nothing more will be put.
    bool Stopped() const { return cancelled_ || readerGone_ || closed_; }
    // Nothing more will come for the reader.
    bool WriterDone() const { return closed_ || writerGone_ || cancelled_; }
    void WakeEveryone() {
        waiting_ = AllWaiters();
        partsCame_.notify_all();
        roomMade_.notify_all();
    }

    // The waits of one side (the reader's or the writer's) begun since that side was last woken.
    struct Waiters {
        size_t batched = 0; // woken when a batch is ready, else after kBatchWait
        size_t deep = 0;    // found nothing after kBatchWait: woken by the next part or room
        // Whether to wake them now, a batch being ready or not; if so they count as woken.
        bool Woken(bool batchReady) {
            const bool wake = deep || (batched && batchReady);
            if (wake) {
                batched = deep = 0;
            }
            return wake;
        }
    };
    struct AllWaiters {
        Waiters readers;
        Waiters writers;
    };

    // One wait of a side for what ready() tells. A batched wait ends by kBatchWait at the
    // latest, so that a part or room the other side made without waking it (less than a batch)
    // is seen anyway; when nothing came by then, the next wait is deep. Answers whether the
    // next wait is deep. A count that runs ahead of the waits (a wait that ended and begins
    // again) costs a wake-up that finds nothing; one that fell behind would leave a neighbour
    // asleep, so only the waker resets them.
    template <class Ready>
    static bool Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                     bool deep, Waiters& waiters, Ready ready) {
        if (deep) {
            ++waiters.deep;
            condition.wait(lock);
            return true;
        }
        ++waiters.batched;
        return condition.wait_for(lock, kBatchWait) == std::cv_status::timeout && !ready();
    }

    // A neighbour that waits is woken when a batch of parts (or room for one) is ready, or when
    // the other side stops, not for every part: a fast filter beside a slow one sleeps and
    // wakes once per batch rather than twice per part. What is less than a batch still reaches
    // it within kBatchWait, so a filter that sends a part and then waits for something else
    // never holds its neighbour back for longer.
    static constexpr std::chrono::milliseconds kBatchWait{2};

    const size_t depth_;
    const size_t batch_; // half the queue: each side works through several parts per wake-up
    // The queue the writer reads, when it is one: parts taken from it are its to free.
    const std::shared_ptr<PartQueue> upstream_;
    std::mutex mutex_;
    std::condition_variable partsCame_; // a waiting reader's
    std::condition_variable roomMade_;  // a waiting writer's
    AllWaiters waiting_;
    std::deque<Item> items_;
    KeptParts kept_; // taken by the reader, for the writer to release
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

std::shared_ptr<Link> MakePartQueue(size_t depth, const std::shared_ptr<Link>& upstream) {
    return std::make_shared<PartQueue>(depth, std::dynamic_pointer_cast<PartQueue>(upstream));
}

} // namespace platform::pipeline
