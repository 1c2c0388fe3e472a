// Cancelling end to end: an EEPROM burn stopped halfway by its progress
// callback, and a command's wait ended from another thread. Each returns at
// once with a failure text that says so, and the next operation works. (A
// load stopped halfway: firmware_e2e_test.cpp.)
#include "e2e_support.h"

#include <chrono>
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
    EXPECT_EQ(std::string(getFailureMessage()), "Cancelled: EEprom burn stopped by the host");
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

}  // namespace
