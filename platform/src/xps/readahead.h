// Reads the relationships parts of a fixed document's pages ahead of a package reader's walk,
// on a thread of its own: while the walk hands out one page, the thread finds the pages the
// document names next (a bounded window of them), inflates their relationships parts and
// parses them, so that the walk mostly finds them ready.
//
// Who owns what: a package reader owns one RelationshipsReadAhead, which owns its thread and
// joins it when destroyed. The thread holds the package, an inflater and a parser of its own,
// and a ring of slots whose memory it reuses from page to page: the walk reads a slot and
// copies what it keeps, and frees nothing in it, so no memory is freed across the threads.
//
// Nothing the walk sees depends on it. The thread reads the document's markup a second time
// for itself, counts nothing it inflates against the job's limit (the walk counts a page's
// relationships when it takes them), and keeps no error: a page whose relationships it could
// not read (damaged, too large to read whole, no memory) or never reached is read by the walk
// itself, which meets the damage where it would have without the thread.
//
// The walk never waits for the thread: a page the thread has not begun when the walk needs
// it, the walk claims and reads itself (the thread then passes over it); one the thread is
// still reading, the walk reads too. The thread waits when the window is full and is woken
// once half of it is free, rather than for every page. The walk's side (Begin, Next, End, the
// destructor) is one thread at a time.
#pragma once

#include "markupreader.h"
#include "package.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace platform::xps {

// What the thread read of one page.
struct ReadAheadPage {
    std::string page; // as the document names it, resolved
    // The walk reads this page's relationships itself: the thread could not.
    bool readByWalk = true;
    bool hasRelationships = false; // the page has a relationships part
    std::string relationshipsName;
    PartLocation relationshipsLocation;
    std::vector<Relationship> relationships; // the first count of them; their room is reused
    size_t count = 0;

    std::span<const Relationship> Relationships() const {
        return std::span<const Relationship>(relationships.data(), count);
    }
};

class RelationshipsReadAhead {
public:
    // Whether a fixed document whose markup holds markupBytes is read ahead under limits, in a
    // process that may use several processors.
    static bool Applies(const XpsPackageLimits& limits, uint64_t markupBytes);
    // Starts the thread, with room for limits.readAheadPages pages (at most kMostPages); null
    // when no thread can be started, and the walk goes on alone.
    static std::unique_ptr<RelationshipsReadAhead> Start(std::shared_ptr<const Package> package,
                                                         const XpsPackageLimits& limits);
    ~RelationshipsReadAhead();
    RelationshipsReadAhead(const RelationshipsReadAhead&) = delete;
    RelationshipsReadAhead& operator=(const RelationshipsReadAhead&) = delete;

    static constexpr size_t kMostPages = 1024;

    // Reads ahead the pages of the fixed document name (ending what was read of another).
    void Begin(const std::string& name, const PartLocation& location);
    // What was read of the document's next page, which the walk found to be page; valid until
    // the next call. Null when the walk is to read its relationships itself: the thread could
    // not or has not yet; once the thread stopped short of a page or found another page than
    // the walk, for every later page of the document.
    const ReadAheadPage* Next(const std::string& page);
    // The walk is done with the document; waits for the thread to leave it.
    void End();

private:
    RelationshipsReadAhead(std::shared_ptr<const Package> package, size_t window);
    struct Reading;
    void Run();
    void Scout(Reading& reading, const std::string& document, const PartLocation& location);
    void Read(Reading& reading, const std::string& page, ReadAheadPage& slot);
    // Waits until the slot of page n is free; false when the document is to be left.
    bool WaitForRoom(uint32_t n);

    const std::shared_ptr<const Package> package_;
    const uint32_t window_;
    const uint32_t batch_; // half the window: each side works through several pages a wake-up
    std::vector<ReadAheadPage> slots_; // page n in slot n % window_
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable workerWake_; // a document to read, room, or stop
    std::condition_variable walkWake_;   // the thread left the document
    // Under mutex_:
    bool stop_ = false;
    bool pending_ = false; // Begin gave a document the thread has not taken yet
    bool busy_ = false;    // the thread has a document (from Begin until it leaves it)
    std::string document_;
    PartLocation documentLocation_;

    // Pages of the current document the thread has put in their slots (read, or passed over),
    // and the walk is past; the thread fills page n's slot only while n < consumed_ + window_.
    std::atomic<uint32_t> produced_{0};
    std::atomic<uint32_t> consumed_{0};
    // Pages claimed, by the thread to read them or by the walk to read them itself: page n is
    // read by whichever moves claimed_ from n to n + 1.
    std::atomic<uint32_t> claimed_{0};
    std::atomic<bool> ended_{false};  // the thread filled its last slot of the document
    std::atomic<bool> cancel_{false}; // the thread is to leave the document (or stop)
    std::atomic<bool> workerWaiting_{false};
    // The walk's own, read by no other thread.
    bool active_ = false; // a document is being read ahead for the walk
    uint32_t taken_ = 0;  // the walk's next page
};

} // namespace platform::xps
