// Cancelling end to end: an EEPROM burn stopped halfway by its progress
// callback, and every kind of operation stopped from another thread while it
// waits for an answer that never comes (no internal time-out) or crawls over
// a slow link. Each returns at once with a failure text that says what was
// done, sends nothing more, and the next operation works. (A load stopped
// halfway: firmware_e2e_test.cpp.)
#include "e2e_support.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "termbridge.h"
#include "termbridge_ext.h"

namespace {

using e2e::Bytes;

const std::string kData = TB_E2E_DATA_DIR;
const std::string kExamples = TB_EXAMPLES_DIR;
[[maybe_unused]] auto* const g_session = ::testing::AddGlobalTestEnvironment(new e2e::LibrarySession(
    kData + "/cancel/list.txt", kExamples + "/maps/mac.map", kExamples + "/maps/phy.map"));

// The layout of data/cancel/eeprom.h: a section header, two fields, padding
// to the section's 4096 bytes, the end-of-block mark.
constexpr std::size_t kDataBaseSize = 6 + 4096 + 3;

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

struct Reports {
    std::vector<unsigned long long> done;
    unsigned long long total = 0;
};

// Asks to stop once half of the bytes are done.
int TB_CALL StopAtHalf(const char* /*stage*/, unsigned long long done, unsigned long long total, void* user) {
    auto* reports = static_cast<Reports*>(user);
    reports->done.push_back(done);
    reports->total = total;
    return done * 2 >= total ? 1 : 0;
}

using Cancel = e2e::EndToEnd;

TEST_F(Cancel, BurnStoppedHalfwayWritesNoFurtherSlice) {
    ASSERT_EQ(InitEepromIF(0, ""), 0) << getFailureMessage();
    Reports reports;
    tbx_setStoppableProgressCallback(&StopAtHalf, &reports);
    const int written = BurnEeprom(0);
    tbx_setStoppableProgressCallback(nullptr, nullptr);

    EXPECT_EQ(written, 0) << "a stopped burn did not write the image";
    // The slices before the stop hold both fields; the padding after them is not written.
    const std::string failure = getFailureMessage();
    EXPECT_TRUE(StartsWith(failure, "Cancelled: EEprom burn stopped by the host: ")) << failure;
    EXPECT_NE(failure.find("fields written: Gain, Tag; fields not written: none"), std::string::npos) << failure;
    ASSERT_FALSE(reports.done.empty());
    EXPECT_EQ(reports.total, kDataBaseSize);
    const unsigned long long stoppedAt = reports.done.back();
    EXPECT_LT(stoppedAt, kDataBaseSize);
    EXPECT_GE(stoppedAt * 2, kDataBaseSize);
    // What came before the stop is in the chip; the rest was never sent.
    EXPECT_EQ(Emulator().Eeprom(0, 2), (Bytes{0x01, 0x10}));  // the section header
    EXPECT_EQ(Emulator().Eeprom(static_cast<std::size_t>(stoppedAt), 3), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_NE(std::string(tbx_getLastOperationLog()).find("The progress callback asked to stop"), std::string::npos);

    // The next burn, not stopped, writes it all.
    ASSERT_EQ(BurnEeprom(0), 1) << getFailureMessage();
    EXPECT_EQ(Emulator().Eeprom(kDataBaseSize - 3, 3), (Bytes{0x04, 0x00, 0x00}));
}

TEST_F(Cancel, CommandWaitEndsWhenAnotherThreadCancels) {
    // A request made while nothing runs is forgotten by the next operation.
    tbx_cancelOperation();
    ASSERT_EQ(e2e::Send("NATIVE_READ_WORD_CMD 0x10").rc, 0);

    Emulator().Do("drop-next");
    const std::string command = "NATIVE_READ_WORD_CMD 0x20";
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        tbx_cancelOperation();
    });
    // The cancel comes after 300 ms: a wait that outlasts the generous
    // time-out has missed it.
    const e2e::Outcome outcome = e2e::Send(command, e2e::kCommandTimeoutMs);
    canceller.join();
    EXPECT_EQ(outcome.rc, 1);
    EXPECT_EQ(outcome.failure, "Cancelled: stopped waiting for the answer to command '" + command + " '");
    EXPECT_TRUE(StartsWith(outcome.failure, "Cancelled:")) << "not a time-out";
    EXPECT_EQ(e2e::Send(command).rc, 0) << "the session goes on";
}

// ---------------------------------------------------------------- stopped while stuck

e2e::EmulatorControl& Control() { return e2e::LibrarySession::Current().Emulator(); }

// The emulator's number for the next command it receives (system commands aside).
std::size_t NextCommandNumber() {
    const e2e::EmulatorControl::Counts counts = Control().Count();
    return counts.packets - counts.system + 1;
}

bool PacketsReached(std::size_t count) { return Control().Count().packets >= count; }

class StoppedWhileStuck : public e2e::EndToEnd {
protected:
    void SetUp() override {
        e2e::EndToEnd::SetUp();
        setInternalCommandTimeout(0);  // no limit: only the cancel ends a lost answer's wait
    }
    void TearDown() override { setInternalCommandTimeout(1000); }
};

// The trips a command takes when nothing goes wrong: the counter read, the
// command's chunks, the counter write.
std::size_t TripsOf(const std::string& command) {
    const std::size_t before = Control().Count().packets;
    const e2e::Outcome outcome = e2e::Send(command);
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    return Control().Count().packets - before;
}

// A PHY command goes through the chip's mailbox. Stopped at each step while
// an answer is lost, it says whether the chip took it, and sends nothing more.
TEST_F(StoppedWhileStuck, CommandSaysWhetherTheChipTookIt) {
    const std::string status = "PHYC_GET_STATUS_CMD";
    const std::string reset = "PHYC_RESET_CMD";  // no events: only its counter write is answered
    const std::size_t statusTrips = TripsOf(status);
    const std::size_t resetTrips = TripsOf(reset);
    ASSERT_GE(statusTrips, 3u);
    const struct {
        const char* step;
        std::string command;
        const char* fault;     // "drop" with the trip whose answer is lost (from 1), or a whole line
        std::size_t lostTrip;  // the trip the call is stuck at
        std::string failure;
        std::size_t taken;  // commands the chip took from the mailbox
    } cases[] = {
        {"counter read", status, "drop", 1, "Cancelled: command '" + status + " ' was not sent", 0},
        {"command chunk", status, "drop", 2,
         "Cancelled: command '" + status + " ' was not handed to the chip: stopped while it was written into the "
         "mailbox",
         0},
        {"counter write", reset, "drop", resetTrips,
         "Cancelled: stopped waiting for the mailbox counter write of command '" + reset + " ': the chip may run it",
         1},
        {"chip's answer", status, "drop-events", statusTrips,
         "Cancelled: stopped waiting for the answer to command '" + status + " ': the chip received it", 1},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.step);
        Emulator().Do("reset");
        const e2e::EmulatorControl::Counts before = Control().Count();
        const std::size_t takenBefore = before.mailbox;
        const std::size_t start = before.packets;
        const std::string fault = test.fault;
        Emulator().Do(fault == "drop" ? "drop " + std::to_string(NextCommandNumber() + test.lostTrip - 1) : fault);
        const std::size_t stuckAt = start + test.lostTrip;
        // A lost answer: stuck once its command arrived. Lost events: once
        // every trip was answered, and a moment more for the library to take
        // the last answer and wait for the events.
        const bool eventsLost = fault != "drop";
        const auto stuck = [&] {
            const e2e::EmulatorControl::Counts now = Control().Count();
            if (now.packets < stuckAt) return false;
            if (!eventsLost) return true;
            if (now.answers < before.answers + test.lostTrip) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return true;
        };
        const e2e::Stopped stopped =
            e2e::CancelOnceStuck([&] { return sendCommand(test.command.c_str(), 0); }, stuck);
        EXPECT_EQ(stopped.rc, 1);
        EXPECT_EQ(stopped.failure, test.failure);
        EXPECT_EQ(stopped.packetsSoonAfter, stuckAt) << "sent after the lost answer";
        EXPECT_EQ(stopped.packetsLater, stopped.packetsSoonAfter) << "sent after the call returned";
        EXPECT_EQ(Control().Count().mailbox - takenBefore, test.taken);
    }
    Emulator().Do("reset");
    EXPECT_EQ(e2e::Send(status).rc, 0) << "the session goes on";
}

// The EEPROM operations walk 16-byte chunks: stopped at a lost chunk answer,
// or over a slow link, each returns within a round trip and says so.
TEST_F(StoppedWhileStuck, EepromOperationsEndAtTheChunkInFlight) {
    ASSERT_EQ(InitEepromIF(0, ""), 0) << getFailureMessage();
    const struct {
        const char* name;
        const char* fault;  // its chunk count starts at the operation's first chunk
        std::size_t stuckAfter;
        std::function<int()> operation;
        int stoppedResult;
        std::string failureStart;
    } cases[] = {
        {"full burn, lost answer", "eeprom-fault drop 3", 3, [] { return BurnEeprom(0); }, 0,
         "Cancelled: EEprom burn stopped by the host: 32 of 4105 bytes written; fields written: Gain, Tag; fields "
         "not written: none"},
        {"full burn, slow link", "delay 40", 4, [] { return BurnEeprom(0); }, 0,
         "Cancelled: EEprom burn stopped by the host: "},
        {"partial burn, lost answer", "eeprom-fault drop 1", 1,
         [] { return UpdateEepromField("Tag", "0x01 0x02 0x03 0x04") == 0 ? BurnEeprom(1) : -1; }, 0,
         "Cancelled: EEprom burn stopped by the host: 0 of 4 bytes written; fields written: none; fields not "
         "written: Tag (marked for the next partial burn)"},
        {"read from the chip", "eeprom-fault drop 2", 2, [] { return InitEepromIF(2, ""); }, 1,
         "Cancelled: EEprom read stopped by the host"},
        {"whole listing", "eeprom-fault drop 2", 2,
         [] { return std::string(ReadEntireEeprom("")).rfind("Cancelled:", 0) == 0 ? 1 : 0; }, 1,
         "Cancelled: EEprom read stopped by the host"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Emulator().Do("reset");
        Emulator().Do(test.fault);
        const std::size_t start = Control().Count().packets;
        const e2e::Stopped stopped =
            e2e::CancelOnceStuck(test.operation, [&] { return PacketsReached(start + test.stuckAfter); });
        EXPECT_EQ(stopped.rc, test.stoppedResult);
        EXPECT_TRUE(StartsWith(stopped.failure, test.failureStart)) << stopped.failure;
        EXPECT_LE(stopped.packetsSoonAfter, start + test.stuckAfter + 1) << "chunks sent after the stop";
        EXPECT_EQ(stopped.packetsLater, stopped.packetsSoonAfter) << "sent after the call returned";
    }
    // A partial burn stopped before its chunk was confirmed writes it next time.
    Emulator().Do("reset");
    ASSERT_EQ(BurnEeprom(1), 1) << getFailureMessage();
    EXPECT_EQ(Emulator().Eeprom(8, 4), (Bytes{1, 2, 3, 4}));
}

}  // namespace
