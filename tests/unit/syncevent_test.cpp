// The event the library's threads hand results over with: who wakes, how
// often, and that no hand-over is lost between a waiter's look at the flag
// and its sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "syncevent.h"

namespace {

constexpr int kLongMs = 5000;
constexpr int kShortMs = 150;

// Starts `count` threads that each wait once (at most waitMs) and count
// their successes; returns once all of them are asleep in the wait.
class Sleepers {
public:
    Sleepers(SyncEvent& event, int count, int waitMs) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, &event, waitMs] {
                ++started_;
                if (event.Wait(waitMs)) ++woken_;
            });
        }
        while (started_.load() < count) std::this_thread::yield();
        // Past the flag check and into the sleep (no spin on two processors).
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    int JoinAndCountWoken() {
        for (std::thread& thread : threads_) thread.join();
        return woken_.load();
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<int> started_{0};
    std::atomic<int> woken_{0};
};

struct WakeCase {
    const char* name;
    bool manualReset;
    int sleepers;
    int sets;
    int expectedWoken;
};

TEST(SyncEvent, SetWakesOneSleeperOfAnAutoResetEventAndEverySleeperOfAManualOne) {
    const WakeCase cases[] = {
        {"auto-reset, one set, three sleepers", false, 3, 1, 1},
        {"auto-reset, two sets, three sleepers", false, 3, 2, 2},
        {"manual-reset, one set, three sleepers", true, 3, 1, 3},
    };
    for (const WakeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SyncEvent event(c.manualReset);
        Sleepers sleepers(event, c.sleepers, c.expectedWoken == c.sleepers ? kLongMs : kShortMs * 3);
        for (int i = 0; i < c.sets; ++i) {
            event.Set();
            // Each set is taken before the next, as the library's hand-overs are.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kShortMs);
            while (!c.manualReset && event.IsSet() && std::chrono::steady_clock::now() < giveUp) {
                std::this_thread::yield();
            }
        }
        EXPECT_EQ(sleepers.JoinAndCountWoken(), c.expectedWoken);
        EXPECT_EQ(event.IsSet(), c.manualReset);
    }
}

TEST(SyncEvent, TimedWaitEndsUnsetNotEarlyAndASetBeforeTheWaitIsKept) {
    SyncEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(kShortMs));
    // A Windows timer may end a wait up to a tick early; never by more.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kShortMs - 16));

    event.Set();
    EXPECT_TRUE(event.Wait(kShortMs));
    EXPECT_FALSE(event.Wait(0)) << "an auto-reset event is cleared by the wait that saw it";

    SyncEvent manual(true);
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(kShortMs));
}

// Two threads hand a token back and forth: a wake-up lost between a look at
// the flag and the sleep shows as a wait that runs out.
TEST(SyncEvent, NoHandOverIsLostInAPingPong) {
    constexpr int kHandOvers = 5000;
    SyncEvent ping;
    SyncEvent pong;
    std::atomic<int> partnerLost{0};
    std::thread partner([&] {
        for (int i = 0; i < kHandOvers; ++i) {
            if (!ping.Wait(kLongMs)) {
                partnerLost = i + 1;
                return;
            }
            pong.Set();
        }
    });
    int lostAt = 0;
    for (int i = 0; i < kHandOvers && lostAt == 0; ++i) {
        ping.Set();
        if (!pong.Wait(kLongMs)) lostAt = i + 1;
    }
    partner.join();
    EXPECT_EQ(lostAt, 0);
    EXPECT_EQ(partnerLost.load(), 0);
}

}  // namespace
