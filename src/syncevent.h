// A kernel-style event for waits between the library's own threads: auto-reset
// (one waiter consumes one signal) or manual-reset (stays set until reset).
//
// A wait first spins briefly before it sleeps: waking a sleeping thread costs
// about as much as a whole round trip to the dispatcher. The spin is bounded
// by twice the recent typical wait (and never longer than kMaxSpin); waits
// that usually last longer than that, or a process with fewer than three
// processors, do not spin at all. Set wakes only when a waiter sleeps, and a
// woken waiter takes no lock back: one system call on each side. A sleeping
// waiter may watch a socket beside the event (WaitOr).
#ifndef TERMBRIDGE_SYNCEVENT_H
#define TERMBRIDGE_SYNCEVENT_H

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/net.h"
#include "platform/platform.h"

class SyncEvent {
public:
    static constexpr std::chrono::nanoseconds kMaxSpin{50000};

    explicit SyncEvent(bool manualReset = false, bool initiallySet = false)
        : manualReset_(manualReset), set_(initiallySet) {}
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    void Set();
    void Reset() { set_.store(false); }
    // Waits at most timeoutMs (-1: without limit). True when the event was set;
    // an auto-reset event is cleared by the wait that sees it.
    bool Wait(int timeoutMs);
    bool IsSet() const { return set_.load(); }

    enum WaitOutcome { kTaken, kTimedOut, kAlsoReady };
    // Waits like Wait, and also ends as soon as `also` is ready (kAlsoReady,
    // the event untouched): the waiter can then do work that may set the
    // event itself, and wait again with the time left.
    WaitOutcome WaitOr(const platform::WaitTarget& also, int timeoutMs);
    // The time left until a deadline in whole milliseconds, rounded up: a
    // wait for it never ends early.
    static int MillisecondsUntil(std::chrono::steady_clock::time_point deadline);

private:
    WaitOutcome WaitWith(const platform::WaitTarget* also, int timeoutMs);
    bool TryTake();
    bool Spin(std::chrono::nanoseconds budget);
    WaitOutcome Sleep(int timeoutMs, std::chrono::steady_clock::time_point start, const platform::WaitTarget* also);
    std::chrono::nanoseconds SpinBudget() const;
    void Learn(std::chrono::nanoseconds waited);

    const bool manualReset_;
    std::atomic<bool> set_;
    std::atomic<int> sleepers_{0};
    std::atomic<int> watchers_{0};
    // The typical wait, a running average in nanoseconds.
    std::atomic<std::int64_t> typicalWaitNs_{20000};
    // Sleepers park on wake_, sleepers that also watch something (WaitOr)
    // on watchedWake_ (one system call more per wake-up). A post without a
    // sleeper left to take it only makes a later sleep look once more at the
    // flag.
    platform::WakeSignal wake_;
    platform::WaitableWake watchedWake_;
};

#endif
