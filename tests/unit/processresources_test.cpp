// The process figures the soak watches: each follows what the process takes
// and gives back. And one thread's figures, which the benchmarks read to tell
// the library's threads from the far end's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"

namespace {

TEST(ProcessResources, HandlesFollowSocketsOpenedAndClosed) {
    ASSERT_EQ(platform::StartSocketLibrary(), 0);
    const std::size_t before = platform::CurrentProcessResources().openHandles;
    ASSERT_GT(before, 0u) << platform::OpenHandlesName();
    std::vector<std::unique_ptr<platform::UdpSocket>> sockets;
    for (int i = 0; i < 20; ++i) {
        sockets.push_back(std::make_unique<platform::UdpSocket>());
        ASSERT_TRUE(sockets.back()->Open());
    }
    EXPECT_GE(platform::CurrentProcessResources().openHandles, before + 20);
    sockets.clear();
    EXPECT_LE(platform::CurrentProcessResources().openHandles, before + 2);
    platform::StopSocketLibrary();
}

TEST(ProcessResources, ThreadsFollowThreadsStartedAndJoined) {
    const std::size_t before = platform::CurrentProcessResources().threads;
    ASSERT_GT(before, 0u);
    platform::WakeSignal release;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&release] { release.Wait(-1); });
    // A sanitizer's runtime may start a thread of its own with the first one.
    const std::size_t running = platform::CurrentProcessResources().threads;
    EXPECT_GE(running, before + 4);
    for (std::size_t i = 0; i < threads.size(); ++i) release.Post();
    for (std::thread& thread : threads) thread.join();
    // A joined thread may still be counted for a moment: the kernel lets the
    // joiner go before it has reaped the thread.
    std::size_t after = platform::CurrentProcessResources().threads;
    for (int tries = 0; tries < 500 && after > running - 4; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = platform::CurrentProcessResources().threads;
    }
    EXPECT_EQ(after, running - 4);
}

TEST(ProcessResources, ResidentMemoryFollowsPagesTouched) {
    const std::size_t before = platform::CurrentProcessResources().residentKiB;
    ASSERT_GT(before, 0u);
    constexpr std::size_t kBytes = 32 << 20;
    std::vector<std::uint8_t> block(kBytes, 1);  // every page written
    EXPECT_GE(platform::CurrentProcessResources().residentKiB, before + kBytes / 1024 * 3 / 4);
    EXPECT_EQ(block[kBytes - 1], 1);
}

// A thread that spins, then sleeps 20 times: its own CPU clock shows the
// spin and not the reader's idle time; where the system counts voluntary
// switches, its count and the process's show the sleeps, and where it does
// not, neither is counted.
TEST(ThreadFigures, FollowTheMeasuredThreadReadFromAnother) {
    constexpr int kSleeps = 20;
    std::unique_ptr<platform::ThreadMeter> meter;
    platform::WakeSignal metered;
    platform::WakeSignal go;
    platform::WakeSignal done;
    std::thread worker([&] {
        meter = platform::MeterCurrentThread();
        metered.Post();
        go.Wait(-1);
        const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        std::atomic<unsigned> spins{0};
        while (std::chrono::steady_clock::now() < spinUntil) spins.fetch_add(1, std::memory_order_relaxed);
        for (int i = 0; i < kSleeps; ++i) platform::SleepMs(1);
        done.Post();
        go.Wait(-1);
    });
    metered.Wait(-1);
    const std::unique_ptr<platform::ThreadMeter> reader = platform::MeterCurrentThread();
    const platform::ThreadFigures before = meter->Read();
    const platform::ThreadFigures readerBefore = reader->Read();
    const long long processBefore = platform::ProcessVoluntarySwitches();
    go.Post();
    done.Wait(-1);
    const platform::ThreadFigures after = meter->Read();
    const platform::ThreadFigures readerAfter = reader->Read();
    const long long processAfter = platform::ProcessVoluntarySwitches();
    go.Post();
    worker.join();

    ASSERT_GE(before.cpuSeconds, 0.0);
    ASSERT_GE(readerBefore.cpuSeconds, 0.0);
    // A loaded machine gives the spin part of its 200 ms.
    EXPECT_GE(after.cpuSeconds - before.cpuSeconds, 0.04);
    EXPECT_LT(readerAfter.cpuSeconds - readerBefore.cpuSeconds, 0.04);
    if (processBefore < 0) {
        EXPECT_EQ(after.voluntarySwitches, -1);
        EXPECT_EQ(processAfter, -1);
    } else {
        EXPECT_GE(after.voluntarySwitches - before.voluntarySwitches, kSleeps);
        EXPECT_GE(processAfter - processBefore, kSleeps);
    }
}

}  // namespace
