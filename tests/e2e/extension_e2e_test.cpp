// The tbx_ extensions end to end: the traffic figures of each operation
// against what the emulated dispatcher counted, and progress reports of a
// whole-EEPROM read on the host's own thread.
#include "e2e_support.h"

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "consolelogger.h"
#include "platform/platform.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

namespace {

using e2e::Outcome;
using e2e::Send;

[[maybe_unused]] auto* const g_session = e2e::AddExampleSession();

constexpr unsigned kCommandBytes = 524;
constexpr unsigned kEventBytes = 520;

tbx_OperationStats LastStats() {
    tbx_OperationStats stats{};
    EXPECT_EQ(tbx_getLastOperationStats(&stats), 0);
    return stats;
}

class Extensions : public e2e::EndToEnd {};

// Each operation's figures are its own: they match the emulator's counts of
// the packets it took and the events it sent during that operation alone.
TEST_F(Extensions, TrafficFiguresMatchTheDispatchersCounts) {
    struct Case {
        const char* line;
        const char* fault;  // emulator control line before the command, or null
    } const cases[] = {
        {"NATIVE_READ_WORD_CMD 0xBFC00000", nullptr},
        // Counter read, two buffer writes, counter write, then the status event.
        {"PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001", nullptr},
        {"PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1", nullptr},
        // A stale answer in front of the real one is dropped, and counted so.
        {"NATIVE_READ_WORD_CMD 0xBFC00004", "stale 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.fault != nullptr) Emulator().Do(c.fault);
        const e2e::EmulatorControl::Counts before = Emulator().Count();
        const Outcome outcome = Send(c.line);
        ASSERT_EQ(outcome.rc, 0) << outcome.failure;
        const e2e::EmulatorControl::Counts after = Emulator().Count();
        const tbx_OperationStats stats = LastStats();
        EXPECT_EQ(stats.commandsSent, after.packets - before.packets);
        EXPECT_EQ(stats.eventsAccepted + stats.eventsDropped, after.answers - before.answers);
        EXPECT_EQ(stats.eventsDropped, c.fault != nullptr ? 1u : 0u);
        EXPECT_EQ(stats.bytesSent, 1ull * stats.commandsSent * kCommandBytes);
        EXPECT_EQ(stats.bytesReceived, 1ull * (stats.eventsAccepted + stats.eventsDropped) * kEventBytes);
        EXPECT_EQ(stats.reserved, 0u);
    }
}

TEST_F(Extensions, EachOperationStartsTheFiguresAfresh) {
    ASSERT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0);
    EXPECT_GT(LastStats().commandsSent, 1u);
    // A synchronisation is one system command that nobody answers.
    ASSERT_EQ(SyncChipAccess(), 0);
    const tbx_OperationStats stats = LastStats();
    EXPECT_EQ(stats.commandsSent, 1u);
    EXPECT_EQ(stats.eventsAccepted, 0u);
    // A line that is never sent leaves nothing.
    EXPECT_NE(Send("NO_SUCH_CMD x=1").rc, 0);
    EXPECT_EQ(LastStats().commandsSent, 0u);
    EXPECT_EQ(tbx_getLastOperationStats(nullptr), 1);
}

struct ProgressRecord {
    std::vector<std::string> stages;
    std::vector<unsigned long long> done;
    unsigned long long total = 0;
    bool otherThread = false;
    std::thread::id host = std::this_thread::get_id();
};

void TB_CALL RecordProgress(const char* stage, unsigned long long done, unsigned long long total, void* user) {
    auto* record = static_cast<ProgressRecord*>(user);
    record->stages.push_back(stage);
    record->done.push_back(done);
    record->total = total;
    if (std::this_thread::get_id() != record->host) record->otherThread = true;
}

// A whole-EEPROM read reports its progress on the calling thread, ending
// with all bytes done; with the callback removed nothing more is reported.
// A library whose EEPROM operations refuse (they answer with their failure
// text) has nothing to report.
TEST_F(Extensions, WholeEepromReadReportsProgressOnTheHostsThread) {
    if (InitEepromIF(0, "") != 0) GTEST_SKIP() << "EEPROM operations: " << getFailureMessage();
    ProgressRecord record;
    tbx_setProgressCallback(&RecordProgress, &record);
    const std::string listing = ReadEntireEeprom("");
    tbx_setProgressCallback(nullptr, nullptr);
    if (listing == getFailureMessage()) GTEST_SKIP() << "whole-EEPROM reads: " << listing;
    ASSERT_FALSE(record.done.empty());
    EXPECT_FALSE(record.otherThread);
    EXPECT_FALSE(record.stages.front().empty());
    EXPECT_GT(record.total, 0u);
    EXPECT_EQ(record.done.back(), record.total);
    for (std::size_t i = 1; i < record.done.size(); ++i) EXPECT_LE(record.done[i - 1], record.done[i]);
    const std::size_t reports = record.done.size();
    ReadEntireEeprom("");
    EXPECT_EQ(record.done.size(), reports);
}

void TB_CALL ThrowingProgress(const char*, unsigned long long, unsigned long long, void*) {
    throw std::runtime_error("a host's callback that throws");
}

// A crash inside a read export is caught there: it answers with the
// not-ready text, as every text export does after a crash, and leaves its
// crash line.
TEST_F(Extensions, ACrashInAReadExportAnswersNotReady) {
    if (platform::PathSeparator() == '\\') {
        GTEST_SKIP() << "an exception cannot cross into a DLL with its own static runtime";
    }
    ASSERT_EQ(InitEepromIF(0, ""), 0) << getFailureMessage();
    const std::string crashBefore = testsupport::ReadFile(CrashFilePath());
    tbx_setProgressCallback(&ThrowingProgress, nullptr);
    const std::string answer = ReadEntireEeprom("");
    tbx_setProgressCallback(nullptr, nullptr);
    EXPECT_EQ(answer, "Fatal Error!!! Console Application isn't Ready!!!!");
    EXPECT_NE(testsupport::ReadFile(CrashFilePath()).find("Crash: ReadEntireEeprom method really crashed",
                                                          crashBefore.size()),
              std::string::npos);
}

}  // namespace
