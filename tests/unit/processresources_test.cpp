// The process figures the soak watches: each follows what the process takes
// and gives back.
#include <gtest/gtest.h>

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

}  // namespace
