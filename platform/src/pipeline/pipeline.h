// The pipeline host (this folder): one job of a chain of filters.
//
// Who owns what:
// - RunJob (host.cpp) owns the job: the JobState, the filters, their threads, the links and
//   the printer and token handles; it releases them in that order once every thread is joined.
// - A Link joins two neighbours (or the job's input to the first filter, or the last filter to
//   the job's output). The host holds each link through a shared pointer, and so does every
//   COM object the link hands to a filter as its reader or writer, so a filter that keeps an
//   object past the job never reaches freed memory.
// - The JobState is shared by the host and the objects that report to it (manager controls,
//   links); it records the first failure and which filters finished.
// Threads: each filter's StartOperation runs on its own thread, and so does its
// ShutdownOperation once the job is being stopped; links are the only state those threads
// share, and each link guards itself with its own mutex. A link never calls the JobState while
// it holds that mutex, and the JobState calls no link, so no lock is taken under another.
#pragma once

#include "../com/comobject.h"
#include "atlbase.h"
#include "pipelinehost.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::pipeline {

using platformpipeline::FailedAt;

// HRESULTs of the host's own.
inline constexpr HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);
inline constexpr HRESULT kBrokenPipe = HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE);

// A new COM object T with one reference, held as the IUnknown of its Interface; throws
// std::bad_alloc.
template <class Interface, class T, class... Args>
ATL::CComPtr<IUnknown> NewObject(Args&&... args) {
    ATL::CComPtr<IUnknown> object;
    object.Attach(static_cast<Interface*>(com::Require(com::New<T>(std::forward<Args>(args)...))));
    return object;
}

// UTF-16 text as UTF-8; empty for null.
std::string Narrow(const WCHAR* text);

// What one job has come to: its first failure, the filters that finished, the threads still
// running. A filter has a thread of its own for StartOperation and, once the job is being
// stopped, one for its ShutdownOperation; it runs while either does. Thread-safe.
class JobState {
public:
    explicit JobState(size_t filters) : finished_(filters, false), threadsRunning_(filters, 0) {}

    // Records a failure unless one is recorded already; wakes the host.
    void Fail(FailedAt at, const std::string& filter, HRESULT hr, const std::string& message);
    bool Failed() const;
    platformpipeline::JobResult Result() const;

    void FilterFinished(size_t filter);
    bool HasFinished(size_t filter) const;

    void ThreadStarted(size_t filter);
    void ThreadEnded(size_t filter);
    // A thread calling the filter's ShutdownOperation: it runs for the filter until StopEnded.
    void StopStarted(size_t filter);
    void StopEnded(size_t filter);
    // Whether a thread of the filter, or of any filter, has started and not ended.
    bool Running(size_t filter) const;
    bool AnyRunning() const;
    // Waits until every ShutdownOperation call has returned or the timeout passes; answers
    // whether they all returned.
    template <class Duration>
    bool WaitForStops(Duration timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return stopping_ == 0; });
    }
    // Waits until every thread has ended, a failure waits to be acted on, or the timeout
    // passes; answers whether threads are still running.
    template <class Duration>
    bool WaitForChange(Duration timeout, bool& failureToHandle) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout,
                          [&] { return running_ == 0 || (failure_ && !failureHandled_); });
        failureToHandle = failure_ && !failureHandled_;
        failureHandled_ = failureHandled_ || failureToHandle;
        return running_ != 0;
    }

    std::atomic<uint64_t> pages{0}; // sent to the output package

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<platformpipeline::JobResult> failure_;
    bool failureHandled_ = false;
    std::vector<bool> finished_;
    std::vector<unsigned> threadsRunning_; // per filter
    size_t running_ = 0;                   // threads, all filters together
    size_t stopping_ = 0;                  // ShutdownOperation calls not returned
};

// A connection that the host can wake and check: between two filters, or a filter and the
// job's input or output.
class Link {
public:
    virtual ~Link() = default;
    // The job is cancelled: every waiter wakes with kCancelled and what the link holds is
    // dropped.
    virtual void Cancel() = 0;
    // Whether the filter that reads the link read it to the end. Asked once that filter has
    // returned, before ReaderReturned.
    virtual bool ReadToEnd() = 0;
    // Whether the filter that writes the link closed its output. Asked once that filter has
    // returned, before WriterReturned.
    virtual bool WriterClosed() = 0;
    // The filter that reads the link has returned: from now on a writer gets kBrokenPipe.
    virtual void ReaderReturned() = 0;
    // The filter that writes the link has returned: from now on a reader waiting for more
    // than it sent gets kBrokenPipe.
    virtual void WriterReturned() = 0;
    // The object a filter is given to read (IXpsDocumentProvider or IPrintReadStream) and the
    // one to write (IXpsDocumentConsumer or IPrintWriteStream). They hold the link, never the
    // other way round. Throw std::bad_alloc.
    virtual ATL::CComPtr<IUnknown> Reader() = 0;
    virtual ATL::CComPtr<IUnknown> Writer() = 0;
};

} // namespace platform::pipeline
