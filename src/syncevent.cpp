#include "syncevent.h"

#include <algorithm>
#include <thread>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// A long wait counts only this much towards the typical wait, so a few short
// ones after it bring the spin back.
constexpr nanoseconds kLongestLearned{1000000};
constexpr int kPausesPerYield = 64;

// The waiter's spin needs a processor of its own while the thread that will
// signal it and the dispatcher run: with two or fewer it only steals their
// time (measured: about 3 us more per round trip on two processors).
bool SpinningPays() {
    static const bool enoughProcessors = platform::UsableProcessorCount() >= 3;
    return enoughProcessors;
}

}  // namespace

// Rounded up, so that a sleep never ends a moment early and turns into a spin.
int SyncEvent::MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void SyncEvent::Set() {
    set_.store(true);
    // Either a sleeper registered before this look, and is woken, or its own
    // look at the flag after registering finds it set. An auto-reset set
    // wakes one sleeper of each kind; one that finds the flag taken sleeps on.
    const int sleeping = sleepers_.load();
    const int watching = watchers_.load();
    const int wakes = manualReset_ ? sleeping : std::min(sleeping, 1);
    const int watchedWakes = manualReset_ ? watching : std::min(watching, 1);
    for (int i = 0; i < wakes; ++i) wake_.Post();
    for (int i = 0; i < watchedWakes; ++i) watchedWake_.Post();
}

bool SyncEvent::TryTake() {
    if (manualReset_) return set_.load();
    bool expected = true;
    return set_.compare_exchange_strong(expected, false);
}

bool SyncEvent::Wait(int timeoutMs) { return WaitWith(nullptr, timeoutMs) == kTaken; }

SyncEvent::WaitOutcome SyncEvent::WaitOr(const platform::WaitTarget& also, int timeoutMs) {
    return WaitWith(&also, timeoutMs);
}

SyncEvent::WaitOutcome SyncEvent::WaitWith(const platform::WaitTarget* also, int timeoutMs) {
    if (TryTake()) return kTaken;
    if (timeoutMs == 0) return kTimedOut;
    const auto start = Clock::now();
    WaitOutcome outcome = Spin(SpinBudget()) ? kTaken : Sleep(timeoutMs, start, also);
    if (outcome == kTaken) Learn(Clock::now() - start);
    return outcome;
}

nanoseconds SyncEvent::SpinBudget() const {
    if (!SpinningPays()) return nanoseconds(0);
    const nanoseconds budget(2 * typicalWaitNs_.load(std::memory_order_relaxed));
    return budget <= kMaxSpin ? budget : nanoseconds(0);
}

bool SyncEvent::Spin(nanoseconds budget) {
    if (budget.count() == 0) return false;
    const auto end = Clock::now() + budget;
    for (int round = 1;; ++round) {
        for (int i = 0; i < kPausesPerYield; ++i) {
            if (TryTake()) return true;
            platform::CpuRelax();
        }
        if (Clock::now() >= end) return false;
        if (round % 4 == 0) std::this_thread::yield();
    }
}

SyncEvent::WaitOutcome SyncEvent::Sleep(int timeoutMs, Clock::time_point start, const platform::WaitTarget* also) {
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    std::atomic<int>& registered = also != nullptr ? watchers_ : sleepers_;
    registered.fetch_add(1);
    WaitOutcome outcome = TryTake() ? kTaken : kTimedOut;
    while (outcome != kTaken) {
        const int leftMs = timeoutMs < 0 ? -1 : MillisecondsUntil(deadline);
        int woken = platform::kWaitTimeout;
        if (leftMs != 0 && also != nullptr) {
            woken = platform::WaitForAny({watchedWake_, *also}, leftMs);
        } else if (leftMs != 0 && wake_.Wait(leftMs)) {
            woken = 0;
        }
        if (woken == 1) {
            outcome = kAlsoReady;
            break;
        }
        // Another waiter may have taken the signal first; once the time is
        // up, this is the last look.
        outcome = TryTake() ? kTaken : kTimedOut;
        if (woken != 0) break;
    }
    registered.fetch_sub(1);
    return outcome;
}

void SyncEvent::Learn(nanoseconds waited) {
    const std::int64_t sample = std::min(waited, kLongestLearned).count();
    const std::int64_t typical = typicalWaitNs_.load(std::memory_order_relaxed);
    typicalWaitNs_.store(typical + (sample - typical) / 8, std::memory_order_relaxed);
}
