// Placing the calling thread, as the benchmarks do. Linux only: there the
// usable processor count reads the calling thread's own set.
#include <gtest/gtest.h>

#include <sched.h>

#include <thread>

#include "platform/platform.h"
#include "platform/platform_tools.h"

namespace {

TEST(ThreadPlacement, OneProcessorThenEveryProcessorAgain) {
    std::thread([] {
        const int every = platform::UsableProcessorCount();
        for (int noSuchProcessor : {-1, 1000, CPU_SETSIZE, 1 << 20}) {
            EXPECT_FALSE(platform::PinCurrentThreadToProcessor(noSuchProcessor)) << noSuchProcessor;
        }
        EXPECT_EQ(platform::UsableProcessorCount(), every);
        ASSERT_TRUE(platform::PinCurrentThreadToProcessor(0));
        EXPECT_EQ(platform::UsableProcessorCount(), 1);
        ASSERT_TRUE(platform::UnpinCurrentThread());
        EXPECT_EQ(platform::UsableProcessorCount(), every);
    }).join();
}

}  // namespace
