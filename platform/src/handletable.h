// A table of open handles of one kind (tokens, printers, PrintTicket providers).
//
// Ownership: the table owns one record per open handle from Open to Close and shares the
// object the record names with whoever found it, so a Close on one thread never frees an
// object another thread is using. A handle value is the record's address, only ever looked
// up here and never dereferenced: a stale or made-up handle is refused, not followed.
// Thread-safe.
#pragma once

#include "windows.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform {

template <typename T>
class HandleTable {
public:
    // A new handle naming object; null when memory runs out.
    HANDLE Open(std::shared_ptr<T> object) {
        auto record = std::unique_ptr<Record>(new (std::nothrow) Record{std::move(object)});
        if (!record) {
            return nullptr;
        }
        HANDLE handle = record.get();
        std::lock_guard guard(lock_);
        open_.emplace(handle, std::move(record));
        return handle;
    }

    // The object an open handle names, or null.
    std::shared_ptr<T> Find(HANDLE handle) const {
        std::lock_guard guard(lock_);
        const auto found = open_.find(handle);
        return found == open_.end() ? nullptr : found->second->object;
    }

    // False when the handle is not open (a second close included).
    bool Close(HANDLE handle) {
        std::unique_ptr<Record> closed; // released after the lock
        std::lock_guard guard(lock_);
        const auto found = open_.find(handle);
        if (found == open_.end()) {
            return false;
        }
        closed = std::move(found->second);
        open_.erase(found);
        return true;
    }

    size_t Count() const {
        std::lock_guard guard(lock_);
        return open_.size();
    }

private:
    struct Record {
        std::shared_ptr<T> object;
    };
    mutable std::mutex lock_;
    std::unordered_map<HANDLE, std::unique_ptr<Record>> open_;
};

} // namespace platform
