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

// Rounded up, so that a sleep never ends a moment early and turns into a spin.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

void SyncEvent::Set() {
    set_.store(true);
    // Either a sleeper registered before this look, and is woken, or its own
    // look at the flag after registering finds it set.
    const int sleeping = sleepers_.load();
    const int wakes = manualReset_ ? sleeping : std::min(sleeping, 1);
    for (int i = 0; i < wakes; ++i) wake_.Post();
}

bool SyncEvent::TryTake() {
    if (manualReset_) return set_.load();
    bool expected = true;
    return set_.compare_exchange_strong(expected, false);
}

bool SyncEvent::Wait(int timeoutMs) {
    if (TryTake()) return true;
    if (timeoutMs == 0) return false;
    const auto start = Clock::now();
    bool taken = Spin(SpinBudget());
    if (!taken) taken = Sleep(timeoutMs, start);
    if (taken) Learn(Clock::now() - start);
    return taken;
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

bool SyncEvent::Sleep(int timeoutMs, Clock::time_point start) {
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    sleepers_.fetch_add(1);
    bool taken = TryTake();
    while (!taken) {
        const int leftMs = timeoutMs < 0 ? -1 : MillisecondsUntil(deadline);
        if (leftMs == 0 || !wake_.Wait(leftMs)) {
            taken = TryTake();  // a last look once the time is up
            break;
        }
        taken = TryTake();  // another waiter may have taken the signal first
    }
    sleepers_.fetch_sub(1);
    return taken;
}

void SyncEvent::Learn(nanoseconds waited) {
    const std::int64_t sample = std::min(waited, kLongestLearned).count();
    const std::int64_t typical = typicalWaitNs_.load(std::memory_order_relaxed);
    typicalWaitNs_.store(typical + (sample - typical) / 8, std::memory_order_relaxed);
}
