// The state one job shares between the host and its filters' threads.
#include "pipeline.h"

namespace platform::pipeline {

void JobState::Fail(FailedAt at, const std::string& filter, HRESULT hr,
                    const std::string& message) {
    std::lock_guard lock(mutex_);
    if (failure_) {
        return;
    }
    try {
        platformpipeline::JobResult failure;
        failure.failedAt = at;
        failure.hr = FAILED(hr) ? hr : E_FAIL;
        failure.filter = filter;
        failure.message = message;
        failure_ = std::move(failure);
    } catch (const std::bad_alloc&) {
        // The failure itself must not be lost: keep it without its words.
        platformpipeline::JobResult bare;
        bare.failedAt = at;
        bare.hr = FAILED(hr) ? hr : E_FAIL;
        failure_.emplace(std::move(bare));
    }
    changed_.notify_all();
}

bool JobState::Failed() const {
    std::lock_guard lock(mutex_);
    return failure_.has_value();
}

platformpipeline::JobResult JobState::Result() const {
    std::lock_guard lock(mutex_);
    platformpipeline::JobResult result = failure_.value_or(platformpipeline::JobResult());
    result.pages = pages.load();
    return result;
}

void JobState::FilterFinished(size_t filter) {
    std::lock_guard lock(mutex_);
    if (filter < finished_.size()) {
        finished_[filter] = true;
    }
}

bool JobState::HasFinished(size_t filter) const {
    std::lock_guard lock(mutex_);
    return filter < finished_.size() && finished_[filter];
}

void JobState::ThreadStarted(size_t filter) {
    std::lock_guard lock(mutex_);
    ++running_;
    if (filter < threadsRunning_.size()) {
        ++threadsRunning_[filter];
    }
}

void JobState::ThreadEnded(size_t filter) {
    std::lock_guard lock(mutex_);
    --running_;
    if (filter < threadsRunning_.size()) {
        --threadsRunning_[filter];
    }
    changed_.notify_all();
}

void JobState::StopStarted(size_t filter) {
    std::lock_guard lock(mutex_);
    ++stopping_;
    ++running_;
    if (filter < threadsRunning_.size()) {
        ++threadsRunning_[filter];
    }
}

void JobState::StopEnded(size_t filter) {
    std::lock_guard lock(mutex_);
    --stopping_;
    --running_;
    if (filter < threadsRunning_.size()) {
        --threadsRunning_[filter];
    }
    changed_.notify_all();
}

bool JobState::Running(size_t filter) const {
    std::lock_guard lock(mutex_);
    return filter < threadsRunning_.size() && threadsRunning_[filter] != 0;
}

bool JobState::AnyRunning() const {
    std::lock_guard lock(mutex_);
    return running_ != 0;
}

} // namespace platform::pipeline
