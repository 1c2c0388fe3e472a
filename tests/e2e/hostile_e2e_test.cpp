// A hostile dispatcher: the emulator, told to play one (its control lines
// `hostile`, `churn` and `source-address`), answers the library's commands
// with random bytes, maximum lengths, a capture claiming 65535 bytes in
// fragments out of order and floods of 5000 packets at once, opens and closes
// connections in a loop and connects from another loopback address. Through
// all of it every host command must end within its time-outs with a failure
// text when it fails, memory, handles and threads must stay bounded, and the
// library must work normally as soon as the emulator behaves again. The same
// program runs on Linux (the emulator inside it) and as a Windows program
// under Wine against the emulator process.
#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform_tools.h"
#include "termbridge.h"
#include "testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCommandTimeoutMs = 300;
constexpr int kInternalTimeoutMs = 60;
// A console command may spend the counter pause, ten counter reads, its
// chunks and the counter write on internal time-outs before its own wait.
constexpr int kConsoleBoundMs = 15 + 14 * kInternalTimeoutMs + kCommandTimeoutMs;
constexpr int kSlackMs = 400;
constexpr std::size_t kMaxResultLength = 65535;
// The sanitizers hold freed memory back (ASan's quarantine), so resident
// memory says nothing about growth in their builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif

const char* const kNativeLine = "NATIVE_READ_WORD_CMD 0xBFC00100";
const char* const kStatusLine = "PHYC_GET_STATUS_CMD";
const char* const kCaptureLine = "PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1";

[[maybe_unused]] auto* const g_session = e2e::AddExampleSession();

struct Phase {
    const char* mode;  // the emulator's hostile mode
    const char* name;
};
const Phase kPhases[] = {{"garbage", "random bytes"},
                         {"max-length", "maximum lengths"},
                         {"capture", "65535-byte capture, fragments out of order"},
                         {"flood", "floods of 5000 packets"}};

class HostileDispatcher : public e2e::EndToEnd {
protected:
    void TearDown() override { setInternalCommandTimeout(1000); }

    // Each command ends within its bound; a failure always carries a text.
    // The number of commands that failed.
    int HostCommandsAnswerInTime(const std::string& phase) {
        int failed = 0;
        for (const char* line : {kNativeLine, kStatusLine, kCaptureLine}) {
            const bool native = line == kNativeLine;
            const auto started = Clock::now();
            const e2e::Outcome outcome = e2e::Send(line, kCommandTimeoutMs);
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
            EXPECT_LE(elapsed.count(), (native ? kCommandTimeoutMs : kConsoleBoundMs) + kSlackMs)
                << phase << ": " << line;
            EXPECT_TRUE(outcome.rc == 0 || outcome.rc == 1) << phase << ": " << line;
            if (outcome.rc != 0) {
                EXPECT_NE(outcome.failure, "") << phase << ": " << line;
                ++failed;
            }
            EXPECT_LE(outcome.result.size(), kMaxResultLength) << phase << ": " << line;
        }
        return failed;
    }

    static constexpr std::size_t kAnyHandles = static_cast<std::size_t>(-1) / 2;

    // The process's figures once it is within `bound` (threads, and handles
    // up to `extraHandles` more), or after three seconds: a connection being
    // replaced or a thread ending when the last command returned finishes
    // in the meantime, whatever the machine's load; what stays is a leak.
    static platform::ProcessResources SettledWithin(const platform::ProcessResources& bound,
                                                    std::size_t extraHandles) {
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        platform::ProcessResources now = platform::CurrentProcessResources();
        while ((now.threads > bound.threads || now.openHandles > bound.openHandles + extraHandles) &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            now = platform::CurrentProcessResources();
        }
        return now;
    }

    // Every hostile stream in turn, then connections opened and closed in a
    // loop, each leaving part of a packet, every other one from a loopback
    // address that is not the dispatcher's; then one from there stays. The
    // first phase that fails ends the test: the later ones would only wait
    // out their time-outs.
    void RunHostilePhases(const char* round) {
        for (const Phase& phase : kPhases) {
            Emulator().Do(std::string("hostile ") + phase.mode);
            // The stream has no delimiters: after bytes that are not whole
            // packets only a new connection brings the packets back in step.
            Emulator().Do("reconnect");
            HostCommandsAnswerInTime(std::string(round) + ", " + phase.name);
            if (HasFailure()) return;
        }
        Emulator().Do("hostile garbage");
        Emulator().Do("churn 100");
        Emulator().Do("source-address 127.0.0.2");
        Emulator().Do("reconnect");
        HostCommandsAnswerInTime(std::string(round) + ", connection from 127.0.0.2");
        Emulator().Do("source-address default");
    }
};

TEST_F(HostileDispatcher, SurvivesEveryStreamAndWorksWhenItBehavesAgain) {
    setInternalCommandTimeout(kInternalTimeoutMs);
    Emulator().Do("hostile silent");
    EXPECT_EQ(HostCommandsAnswerInTime("silent"), 3) << "the hostile dispatcher is there";
    // The first round is the warm-up: every path has run once (Wine opens
    // some handles the first time a path runs). The second must leave
    // nothing behind.
    RunHostilePhases("first round");
    if (HasFailure()) return;
    const platform::ProcessResources before = platform::CurrentProcessResources();
    RunHostilePhases("second round");
    if (HasFailure()) return;
    // Both rounds end in the same state: whatever the second added stays
    // behind. One more handle is let pass: the last connection's replacement
    // of the one before may still be under way.
    const platform::ProcessResources second = SettledWithin(before, 1);
    EXPECT_LE(second.openHandles, before.openHandles + 1) << platform::OpenHandlesName() << " left behind";
    EXPECT_LE(second.threads, before.threads) << "threads left behind";

    // The emulator behaves again, over a new connection from 127.0.0.2, and
    // everything works.
    Emulator().Do("source-address 127.0.0.2");
    Emulator().Do("hostile off");
    Emulator().Do("reconnect");
    setInternalCommandTimeout(1000);
    const e2e::Outcome write = e2e::Send("NATIVE_WRITE_WORD_CMD 0xBFC00100 0x12345678");
    ASSERT_EQ(write.rc, 0) << write.failure;
    const e2e::Outcome read = e2e::Send(kNativeLine);
    ASSERT_EQ(read.rc, 0) << read.failure;
    EXPECT_EQ(e2e::AsText(read.result).substr(0, 10), "0x12345678");
    const e2e::Outcome status = e2e::Send(kStatusLine);
    EXPECT_EQ(status.rc, 0) << status.failure;
    const e2e::Outcome capture = e2e::Send(kCaptureLine);
    ASSERT_EQ(capture.rc, 0) << capture.failure;
    EXPECT_EQ(capture.result, testsupport::EmulatorCapturePattern(1000));

    // Bounded: the queue holds at most 3000 packets, a capture at most 64 KiB.
    // The end has a connection of its own (Wine may also open a handle for
    // a path first taken here), so its handles are shown, not compared.
    const platform::ProcessResources after = SettledWithin(before, kAnyHandles);
    std::printf("hostile dispatcher, after the first round, the second and at the end: resident %zu, %zu and %zu "
                "KiB, %s %zu, %zu and %zu, threads %zu, %zu and %zu\n",
                before.residentKiB, second.residentKiB, after.residentKiB, platform::OpenHandlesName(),
                before.openHandles, second.openHandles, after.openHandles, before.threads, second.threads,
                after.threads);
    if (kResidentMemoryTells) {
        EXPECT_LT(after.residentKiB, before.residentKiB + 16 * 1024);
    }
    EXPECT_LE(after.threads, before.threads) << "threads left behind";
}

}  // namespace
