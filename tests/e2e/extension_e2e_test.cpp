// The tbx_ extensions end to end: the traffic figures of each operation
// against what the emulated dispatcher counted, progress reports of a
// whole-EEPROM read on the host's own thread, the cause of each failure in
// the operation log, and the link to the dispatcher.
#include "e2e_support.h"

#include <chrono>
#include <fstream>
#include <functional>
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
// A command another thread sends while one waits is refused, and leaves the
// waiting command's figures and log lines alone.
TEST_F(Extensions, CommandRefusedAsBusyLeavesTheRunningOnesFigures) {
    const std::size_t packetsBefore = Emulator().Count().packets;
    Emulator().Do("delay 600 1");
    int rc = -1;
    // The running command waits without limit; the refused one, given 1 ms,
    // must not hand it that time-out.
    std::thread host([&rc] { rc = sendCommand("NATIVE_READ_WORD_CMD 0xBFC00000", 0); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Emulator().Count().packets == packetsBefore && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sendCommand("NATIVE_READ_WORD_CMD 0xBFC00004", 1), 1) << "not refused as busy";
    host.join();
    ASSERT_EQ(rc, 0) << getFailureMessage();
    const tbx_OperationStats stats = LastStats();
    EXPECT_EQ(stats.commandsSent, 1u);
    EXPECT_EQ(stats.eventsAccepted, 1u);
    EXPECT_NE(std::string(tbx_getLastOperationLog()).find("Handle command: NATIVE_READ_WORD_CMD 0xBFC00000"),
              std::string::npos);
}

// Chip memory in bulk: 512 bytes a command each way; a range past the
// address space or without a buffer sends nothing; a lost answer says how
// far the transfer got.
TEST_F(Extensions, MemoryMovesInBulkAndSaysHowFarAFailureGot) {
    constexpr unsigned kAddress = 0x10002000;
    std::vector<unsigned char> bytes(1300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    ASSERT_EQ(tbx_writeMemory(kAddress, bytes.data(), static_cast<unsigned>(bytes.size())), 0) << getFailureMessage();
    EXPECT_EQ(LastStats().commandsSent, 3u);
    EXPECT_EQ(Emulator().ReadMemory(kAddress, bytes.size()), e2e::Bytes(bytes.begin(), bytes.end()));
    std::vector<unsigned char> back(bytes.size());
    ASSERT_EQ(tbx_readMemory(kAddress, static_cast<unsigned>(back.size()), back.data()), 0) << getFailureMessage();
    EXPECT_EQ(LastStats().commandsSent, 3u);
    EXPECT_EQ(back, bytes);

    const struct {
        const char* name;
        std::function<int()> transfer;
        std::size_t lostAnswer;  // of the transfer's commands, from 1; 0: none
        std::string failure;
        unsigned sent;
    } cases[] = {
        {"past the address space", [&] { return tbx_readMemory(0xFFFFFF00u, 0x200, back.data()); }, 0,
         "Error!!! The memory read of 512 bytes from 0xffffff00 runs past the end of the chip's address space", 0},
        {"no buffer", [&] { return tbx_writeMemory(kAddress, nullptr, 4); }, 0,
         "Error!!! No buffer given for the memory write", 0},
        {"lost second answer", [&] { return tbx_readMemory(kAddress, 1300, back.data()); }, 2,
         "Failed to read chip memory at 0x10002200: 512 of 1300 bytes read", 2},
    };
    setInternalCommandTimeout(200);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Emulator().Do("reset");
        if (test.lostAnswer > 0) {
            const e2e::EmulatorControl::Counts counts = Emulator().Count();
            Emulator().Do("drop " + std::to_string(counts.packets - counts.system + test.lostAnswer));
        }
        EXPECT_EQ(test.transfer(), 1);
        EXPECT_EQ(std::string(getFailureMessage()), test.failure);
        EXPECT_EQ(LastStats().commandsSent, test.sent);
    }
    setInternalCommandTimeout(1000);
}

TEST_F(Extensions, WholeEepromReadReportsProgressOnTheHostsThread) {
    ASSERT_EQ(InitEepromIF(0, ""), 0) << getFailureMessage();
    ProgressRecord record;
    tbx_setProgressCallback(&RecordProgress, &record);
    const std::string listing = ReadEntireEeprom("");
    tbx_setProgressCallback(nullptr, nullptr);
    ASSERT_NE(listing, getFailureMessage()) << "the whole-EEPROM read failed";
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

std::uint64_t FileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? static_cast<std::uint64_t>(file.tellg()) : 0;
}

// Each failing command leaves the reason in the operation log, whether or
// not the log file is written and whatever the severity; the log file gets
// nothing more while file logging is off.
TEST_F(Extensions, OperationLogGivesTheCauseOfEachFailure) {
    struct Case {
        const char* line;
        const char* fault;  // emulator control line before the command, or null
        const char* cause;  // a whole line of the operation log
    } const cases[] = {
        {"PHYC_SET_CHANNEL_CMD chanel=3", nullptr,
         "<StructAccess>Error!,Struct: PhycSetChannel_t doesn't contain the field: chanel"},
        {"PHYC_GET_STATUS", nullptr,
         "<StructAccess>Command type for PHYC_GET_STATUS not found. Please check your input files."},
        {"PHYC_SET_CHANNEL_CMD channel=abc", nullptr, "<StructAccess>Error!,Enum for value abc not found."},
        {"NATIVE_READ_WORD_CMD", nullptr, "Wrong Usage for NATIVE_READ_WORD_CMD, try: NATIVE_READ_WORD_CMD address"},
        {"PHYC_SET_GAIN_CMD gain=-2 path=1", "fail PHYC_SET_GAIN_CMD 3",
         "<ConsoleEvtAdapter>The chip answered the command with PHYC_STATUS_NOT_SUPPORTED"},
    };
    const std::string logFile = tbx_getLogFilePath();
    ASSERT_FALSE(logFile.empty());
    for (const bool fileLogging : {true, false}) {
        AllowWriteLogsToFile(fileLogging);
        setLogSeverity(fileLogging ? 2 : 1);
        EXPECT_EQ(tbx_getLogFilePath(), fileLogging ? logFile : std::string()) << "the file written now";
        const std::uint64_t logSize = FileSize(logFile);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.line) + (fileLogging ? "" : ", file logging off"));
            if (c.fault != nullptr) Emulator().Do(c.fault);
            const Outcome outcome = Send(c.line);
            ASSERT_EQ(outcome.rc, 1);
            const std::string log = tbx_getLastOperationLog();
            EXPECT_NE(log.find(std::string("\n") + c.cause + "\n"), std::string::npos) << log;
            EXPECT_NE(log.find(outcome.failure + "\n"), std::string::npos) << log;
            // Only this command's lines: it starts with the command's own.
            EXPECT_EQ(log.find("<ConsoleAppLogic>Handle command: "), log.rfind("<ConsoleAppLogic>Handle command: "));
            Emulator().Do("reset");
        }
        if (!fileLogging) {
            EXPECT_EQ(FileSize(logFile), logSize) << "lines reached the log file while it was off";
        }
    }
    AllowWriteLogsToFile(true);
    setLogSeverity(2);
    ASSERT_EQ(Send("NATIVE_READ_WORD_CMD 0xBFC00000").rc, 0);
    EXPECT_EQ(std::string(tbx_getLastOperationLog()).find("Error"), std::string::npos);
}

TEST_F(Extensions, LinkStateShowsTheDispatchersConnection) {
    tbx_LinkState state{};
    ASSERT_EQ(tbx_getLinkState(&state), 0);
    EXPECT_EQ(state.connected, 1u);
    EXPECT_GE(state.connections, 1u);
    EXPECT_NE(state.listenPort, 0u);
    EXPECT_NE(state.commandPort, 0u);
    EXPECT_EQ(state.reserved, 0u);
    EXPECT_EQ(tbx_getLinkState(nullptr), 1);
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
