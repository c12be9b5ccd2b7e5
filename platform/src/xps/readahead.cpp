#include "readahead.h"

#include "partname.h"
#include "structurereference.h"

#include <sched.h>

#include <algorithm>

namespace platform::xps {
namespace {

// Thrown out of a read of the thread's when the walk has left the document.
struct Cancelled {};

// The markup's bytes, read until the walk leaves the document: a long stretch of markup
// between two references never keeps the walk waiting for the thread.
class CancellableSource final : public ByteSource {
public:
    CancellableSource(std::unique_ptr<ByteSource> source, const std::atomic<bool>& cancel)
        : source_(std::move(source)), cancel_(cancel) {}

    size_t Read(void* buffer, size_t count) override {
        if (cancel_.load(std::memory_order_relaxed)) {
            throw Cancelled();
        }
        return source_->Read(buffer, count);
    }

private:
    std::unique_ptr<ByteSource> source_;
    const std::atomic<bool>& cancel_;
};

bool SeveralProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

} // namespace

// What the thread reads with, made and freed on the thread.
struct RelationshipsReadAhead::Reading {
    EntryInflater inflater;
    RelationshipsParser parser;
    std::string bytes; // the last relationships part read
    std::string page;  // the last page found
    PartLocation pageLocation;
};

bool RelationshipsReadAhead::Applies(const XpsPackageLimits& limits, uint64_t markupBytes) {
    return limits.readAheadPages > 0 && markupBytes >= limits.readAheadFloor && SeveralProcessors();
}

std::unique_ptr<RelationshipsReadAhead>
RelationshipsReadAhead::Start(std::shared_ptr<const Package> package,
                              const XpsPackageLimits& limits) {
    const size_t window = std::min<size_t>(limits.readAheadPages, kMostPages);
    std::unique_ptr<RelationshipsReadAhead> readAhead(
        new RelationshipsReadAhead(std::move(package), window ? window : 1));
    try {
        readAhead->thread_ = std::thread(&RelationshipsReadAhead::Run, readAhead.get());
    } catch (const std::system_error&) {
        return nullptr; // no thread to be had: the walk reads alone
    }
    return readAhead;
}

RelationshipsReadAhead::RelationshipsReadAhead(std::shared_ptr<const Package> package,
                                               size_t window)
    : package_(std::move(package)), window_(static_cast<uint32_t>(window)),
      batch_(std::max<uint32_t>(window_ / 2, 1)), slots_(window) {}

RelationshipsReadAhead::~RelationshipsReadAhead() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            cancel_.store(true);
        }
        workerWake_.notify_all();
        thread_.join();
    }
}

void RelationshipsReadAhead::Begin(const std::string& name, const PartLocation& location) {
    End();
    {
        std::lock_guard lock(mutex_);
        document_ = name;
        documentLocation_ = location;
        pending_ = true;
        busy_ = true;
        produced_.store(0);
        consumed_.store(0);
        claimed_.store(0);
        ended_.store(false);
        cancel_.store(false);
    }
    workerWake_.notify_one();
    active_ = true;
    taken_ = 0;
}

const ReadAheadPage* RelationshipsReadAhead::Next(const std::string& page) {
    if (!active_) {
        return nullptr;
    }
    const uint32_t n = taken_++;
    // The walk is past the pages before: their slots are free.
    consumed_.store(n);
    if (workerWaiting_.load() && n + window_ - produced_.load() >= batch_) {
        std::lock_guard lock(mutex_);
        workerWake_.notify_one();
    }
    if (produced_.load() <= n) {
        if (ended_.load() && produced_.load() <= n) {
            End(); // the thread stopped short of this page
            return nullptr;
        }
        // Not read yet: claimed here, the thread passes over it; claimed by the thread, it is
        // being read, and the walk reads it too rather than wait.
        uint32_t unclaimed = n;
        if (claimed_.compare_exchange_strong(unclaimed, n + 1) || produced_.load() <= n) {
            return nullptr;
        }
    }
    const ReadAheadPage& slot = slots_[n % window_];
    if (slot.page != page) {
        End(); // the walk and the thread disagree: the walk goes on alone
        return nullptr;
    }
    return slot.readByWalk ? nullptr : &slot;
}

void RelationshipsReadAhead::End() {
    if (!active_) {
        return;
    }
    active_ = false;
    std::unique_lock lock(mutex_);
    cancel_.store(true);
    workerWake_.notify_one();
    walkWake_.wait(lock, [&] { return !busy_; });
}

void RelationshipsReadAhead::Run() {
    std::unique_ptr<Reading> reading;
    std::unique_lock lock(mutex_);
    while (true) {
        workerWake_.wait(lock, [&] { return stop_ || pending_; });
        if (stop_) {
            break;
        }
        pending_ = false;
        lock.unlock();
        try {
            if (!reading) {
                reading = std::make_unique<Reading>();
            }
            Scout(*reading, document_, documentLocation_);
        } catch (...) {
            // Damage, no memory or the walk gone: the walk reads the rest itself.
        }
        lock.lock();
        busy_ = false;
        ended_.store(true);
        walkWake_.notify_all();
    }
}

void RelationshipsReadAhead::Scout(Reading& reading, const std::string& document,
                                   const PartLocation& location) {
    MarkupReader markup(std::make_unique<CancellableSource>(
                            package_->OpenPart(location, document, Charge::kNone), cancel_),
                        document);
    if (!markup.NextElement()) {
        return; // no root: the walk has seen to that already
    }
    bool other = false;
    uint32_t n = 0;
    while (NextStructureReference(*package_, markup, {}, "PageContent", "FixedPage", reading.page,
                                  reading.pageLocation, other)) {
        if (!WaitForRoom(n)) {
            return;
        }
        ReadAheadPage& slot = slots_[n % window_];
        uint32_t unclaimed = n;
        if (claimed_.compare_exchange_strong(unclaimed, n + 1)) {
            Read(reading, reading.page, slot);
        } else {
            slot.page.assign(reading.page);
            slot.readByWalk = true; // the walk reads it itself
        }
        produced_.store(++n);
    }
}

bool RelationshipsReadAhead::WaitForRoom(uint32_t n) {
    const auto roomOrCancel = [&] { return cancel_.load() || n < consumed_.load() + window_; };
    if (!roomOrCancel()) {
        std::unique_lock lock(mutex_);
        workerWaiting_.store(true);
        workerWake_.wait(lock, roomOrCancel);
        workerWaiting_.store(false);
    }
    return !cancel_.load();
}

void RelationshipsReadAhead::Read(Reading& reading, const std::string& page, ReadAheadPage& slot) {
    slot.readByWalk = true;
    slot.hasRelationships = false;
    slot.count = 0;
    try {
        slot.page.assign(page);
        slot.relationshipsName = RelationshipsPartOf(page);
        if (!package_->TryLocate(slot.relationshipsName, slot.relationshipsLocation)) {
            slot.readByWalk = false;
            return;
        }
        if (!Package::IsSmall(slot.relationshipsLocation)) {
            return; // streamed by the walk
        }
        package_->ReadWhole(slot.relationshipsLocation, slot.relationshipsName, reading.inflater,
                            reading.bytes, Charge::kNone);
        const std::span<const Relationship> read =
            reading.parser.Parse(reading.bytes, slot.relationshipsName);
        if (slot.relationships.size() < read.size()) {
            slot.relationships.resize(read.size());
        }
        for (const Relationship& r : read) {
            Relationship& kept = slot.relationships[slot.count++];
            kept.type.assign(r.type);
            kept.target.assign(r.target);
            kept.external = r.external;
        }
        slot.hasRelationships = true;
        slot.readByWalk = false;
    } catch (...) {
        slot.count = 0; // damaged, or no memory: the walk reads it and meets what it meets
    }
}

} // namespace platform::xps
