// A kernel-style event for waits between the library's own threads: auto-reset
// (one waiter consumes one signal) or manual-reset (stays set until reset).
#ifndef TERMBRIDGE_SYNCEVENT_H
#define TERMBRIDGE_SYNCEVENT_H

#include <chrono>
#include <condition_variable>
#include <mutex>

class SyncEvent {
public:
    explicit SyncEvent(bool manualReset = false, bool initiallySet = false)
        : manualReset_(manualReset), set_(initiallySet) {}

    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        if (manualReset_) cv_.notify_all();
        else cv_.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = false;
    }

    // Waits at most timeoutMs (-1: without limit). True when the event was set;
    // an auto-reset event is cleared by the wait that sees it.
    bool Wait(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (timeoutMs < 0) {
            cv_.wait(lock, [this] { return set_; });
        } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; })) {
            return false;
        }
        if (!manualReset_) set_ = false;
        return true;
    }

    bool IsSet() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }

private:
    const bool manualReset_;
    bool set_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
};

#endif
