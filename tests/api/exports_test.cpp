// The exported functions seen from a host: values before initialize, the
// registry start-up path, the global mutex and the command frame.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "consolelogger.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

namespace {

const char* kNotReady = "Fatal Error!!! Console Application isn't Ready!!!!";
const char* kPorts = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports";
const char* kAddresses = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses";

// One isolated root for the whole process: the library keeps its state for
// the life of the process, as it does in a host.
testsupport::IsolatedRoot& Root() {
    static testsupport::IsolatedRoot root;
    return root;
}

void WriteRegistry(bool withListenPort) {
    ASSERT_TRUE(platform::WriteUserRegistryValue(kPorts, "Console_To_Dispatcher", "9"));
    ASSERT_TRUE(platform::WriteUserRegistryValue(kAddresses, "Console_To_Dispatcher", "127.0.0.1"));
    platform::DeleteUserRegistryValue(kPorts, "Dispatcher_To_Console");
    if (withListenPort) {
        ASSERT_TRUE(platform::WriteUserRegistryValue(kPorts, "Dispatcher_To_Console", "0"));
    }
}

int CountOccurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

const char* kTrace = "tryGetMutex() Wait for the mutex to get a waitResult for the mutex handle";
// A helper process starts, does its few steps and ends in well under a
// second; Wine's start-up makes it longer.
constexpr int kProcessWaitMs = 10000;

// Overwrites the stack that the next calls will use with a pattern.
[[gnu::noinline]] void FillStackBelow() {
    volatile unsigned char area[16384];
    for (std::size_t i = 0; i < sizeof area; ++i) area[i] = 0xA5;
}

}  // namespace

// These run first, in a process where initialize has not been called.
TEST(ExportsBeforeInitialize, AnswerWithNotReadyValues) {
    Root();
    EXPECT_EQ(getResultLen(), -1);
    EXPECT_EQ(getDefaultTimeout(), -1);
    EXPECT_EQ(getLogSeverity(), -1);
    EXPECT_EQ(LoadFW("x"), -1);
    EXPECT_EQ(sendCommand("NATIVE_READ_WORD_CMD 0x10", 100), 1);
    EXPECT_EQ(sendCommandDefaultTimeout("NATIVE_READ_WORD_CMD 0x10"), 1);
    EXPECT_EQ(SyncChipAccess(), 1);
    EXPECT_EQ(InitEepromIF(0, ""), 1);
    EXPECT_EQ(UpdateEepromField("a", "1"), 1);
    EXPECT_EQ(BurnEeprom(0), 0);  // 1 would read as burnt
    EXPECT_EQ(DumpEepromTableToFile("x"), 1);
    for (const char* text : {getResultBuffer(), getResultBufferText(), getFailureMessage(), getSystemVersionInfo(),
                             ReadEntireEeprom(""), ReadFieldFromEeprom("a"), ReadFieldFromVolatile("a")}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, kNotReady);
    }
    setDefaultTimeout(5);  // nothing happens
    setLogSeverity(3);
    setInternalCommandTimeout(5);
    EXPECT_EQ(getDefaultTimeout(), -1);
    EXPECT_EQ(deinitialize(), 0);
}

TEST(ExportsBeforeInitialize, VerGivesTheFileVersion) {
    EXPECT_STREQ(ver(), TB_EXPECTED_VERSION);
    EXPECT_EQ(ver(), ver()) << "every call returns the same buffer";
}

TEST(ExportsInitialize, MissingRegistryValueFailsAndCreatesNothing) {
    Root();
    WriteRegistry(false);
    const std::string traceBefore = testsupport::ReadFile(StartupTraceFilePath());
    EXPECT_EQ(initialize("", "", ""), 1);
    EXPECT_EQ(testsupport::ReadFile(StartupTraceFilePath()), traceBefore) << "no mutex was tried";
    EXPECT_EQ(getResultLen(), -1);
}

TEST(ExportsInitialize, SecondInitializeKeepsTheInstance) {
    Root();
    WriteRegistry(true);
    const std::string traceBefore = testsupport::ReadFile(StartupTraceFilePath());
    ASSERT_EQ(initialize("", "", ""), 0);
    EXPECT_EQ(getResultLen(), 0);
    EXPECT_EQ(initialize("", "", ""), 0);
    const std::string added = testsupport::ReadFile(StartupTraceFilePath()).substr(traceBefore.size());
    EXPECT_EQ(CountOccurrences(added, kTrace), 1);

    setDefaultTimeout(0);
    EXPECT_EQ(getDefaultTimeout(), -1);
    setDefaultTimeout(2500);
    EXPECT_EQ(getDefaultTimeout(), 2500);
    setLogSeverity(3);
    EXPECT_EQ(getLogSeverity(), 3);
    setLogSeverity(2);
    EXPECT_STREQ(getFailureMessage(), "");
    EXPECT_STREQ(getResultBufferText(), "");
}

// Every initialize prints the banner, also one of an initialized library.
// The stack below the test is filled with a pattern first: a version part
// left unset by the system's query would show as that pattern. (The first
// call binds the function, which takes stack of its own.)
TEST(ExportsInitialize, BannerShowsTheFourPartsOfTheFileVersion) {
    ASSERT_NE(getResultLen(), -1) << "needs the initialized library";
    testing::internal::CaptureStdout();
    EXPECT_EQ(initialize_old(9, "127.0.0.1", 0, "", "", ""), 0);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    FillStackBelow();
    EXPECT_EQ(initialize_old(9, "127.0.0.1", 0, "", "", ""), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string parts = "Major version:\t" + std::to_string(TB_EXPECTED_VERSION_MAJOR) + "\nMinor version:\t" +
                              std::to_string(TB_EXPECTED_VERSION_MINOR) + "\nBuild Number:\t" +
                              std::to_string(TB_EXPECTED_VERSION_PATCH) + "\nRevision:\t" +
                              std::to_string(TB_EXPECTED_VERSION_TWEAK) + "\n";
    EXPECT_NE(printed.find(parts), std::string::npos) << printed;
}

TEST(ExportsInitialize, CommandWithoutDispatcherTimesOut) {
    ASSERT_NE(getResultLen(), -1) << "needs the initialized library";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendCommand("NATIVE_READ_WORD_CMD 0x10", 200), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    EXPECT_STREQ(getFailureMessage(), "Timeout Error: No Event occur for command : 'NATIVE_READ_WORD_CMD 0x10 '");
    EXPECT_EQ(getResultLen(), 0);
    EXPECT_EQ(sendCommand("NOT_A_COMMAND", 200), 1);
    EXPECT_STREQ(getFailureMessage(), "Error: Failed to Send Command : 'NOT_A_COMMAND '");
}

TEST(ExportsInitialize, DeinitializeReturnsToNotReady) {
    EXPECT_EQ(deinitialize(), 0);
    EXPECT_EQ(getResultLen(), -1);
    EXPECT_EQ(deinitialize(), 0);
}

// A listening port another program holds: the link state says no port is
// listened on, rather than one no dispatcher can reach.
TEST(ExportsLink, ListeningPortHeldElsewhereReadsAsNone) {
    Root();
    WriteRegistry(false);
    const std::uint16_t port = testsupport::FreeLoopbackTcpPort();
    platform::TcpListener holder;
    ASSERT_TRUE(holder.Open() && holder.Bind(platform::kAnyAddress, port) && holder.Listen(1)) << port;
    ASSERT_TRUE(platform::WriteUserRegistryValue(kPorts, "Dispatcher_To_Console", std::to_string(port)));
    ASSERT_EQ(initialize("", "", ""), 0);
    tbx_LinkState state{};
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return tbx_getLinkState(&state) == 0 && state.listenPort == 0; }, 5000))
        << "the link state still names port " << state.listenPort;
    EXPECT_EQ(deinitialize(), 0);

    holder.Close();
    ASSERT_EQ(initialize("", "", ""), 0);
    ASSERT_EQ(tbx_getLinkState(&state), 0);
    EXPECT_EQ(state.listenPort, port) << "a free port is named";
    EXPECT_EQ(deinitialize(), 0);
}

// The global mutex lets one process at a time own the library.
TEST(ExportsMutex, SecondProcessWaitsAndFails) {
    Root();
    WriteRegistry(true);
    testsupport::TempDir dir;
    for (const char* mode : {"deinit", "exit"}) {
        const std::string ready = dir.File(std::string("ready_") + mode);
        const std::string release = dir.File(std::string("release_") + mode);
        auto holder = platform::StartProcess(TB_MUTEX_HOLDER, {ready, release, mode});
        ASSERT_TRUE(holder) << "could not start " << TB_MUTEX_HOLDER;
        ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(ready); }, kProcessWaitMs))
            << "the holder wrote no ready file within " << kProcessWaitMs << " ms";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(testsupport::ReadFile(ready).substr(0, 1), "0");

        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(initialize("", "", ""), 1) << mode;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

        std::ofstream(release) << "go\n";
        int exitCode = -1;
        ASSERT_TRUE(holder->WaitForExit(kProcessWaitMs, exitCode))
            << "the holder did not end within " << kProcessWaitMs << " ms of its release";
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(initialize("", "", ""), 0) << "free again after the holder's " << mode;
        EXPECT_EQ(deinitialize(), 0);
    }
}

// A host that aborts while the library is loaded: every log line written up
// to the crash is whole on disk, the crash file keeps its lines, and the next
// process takes the global mutex at once.
TEST(ExportsCrash, HostAbortLeavesLogAndCrashFileAndFreesTheMutex) {
    Root();
    WriteRegistry(true);
    testsupport::TempDir dir;
    const std::string crashBefore = testsupport::ReadFile(CrashFilePath());
    const std::string ready = dir.File("ready_abort");
    auto holder = platform::StartProcess(TB_MUTEX_HOLDER, {ready, dir.File("unused"), "abort"});
    ASSERT_TRUE(holder) << "could not start " << TB_MUTEX_HOLDER;
    int exitCode = 0;
    ASSERT_TRUE(holder->WaitForExit(kProcessWaitMs, exitCode)) << "the crashing host did not end within "
                                                               << kProcessWaitMs << " ms";
    EXPECT_NE(exitCode, 0);
    ASSERT_EQ(testsupport::ReadFile(ready).substr(0, 1), "0");

    const std::string crashAdded = testsupport::ReadFile(CrashFilePath()).substr(crashBefore.size());
    EXPECT_NE(crashAdded.find("Illegal IP address argument"), std::string::npos) << crashAdded;

    // The crashed host's log: the one that names its last command.
    const std::string logPath = ConsoleLogger::Instance().FilePath();
    const std::string folder = logPath.substr(0, logPath.find_last_of("/\\") + 1);
    std::string crashedLog;
    for (const platform::FileEntry& entry : platform::FindFiles(folder + "console_adapter*.log")) {
        const std::string text = testsupport::ReadFile(folder + entry.name);
        if (text.find("NATIVE_READ_WORD_CMD 0xC4A5") != std::string::npos) crashedLog = text;
    }
    ASSERT_FALSE(crashedLog.empty()) << "no log of the crashed host in " << folder;
    // Nothing went to the unset address 0.0.0.0 (this machine, to some
    // systems): the command failed at once, saying why.
    EXPECT_NE(crashedLog.find("The dispatcher's address is not a valid IPv4 address: nothing is sent"),
              std::string::npos);
    EXPECT_NE(crashedLog.find("Error: Failed to Send Command : 'NATIVE_READ_WORD_CMD 0xC4A5 '"), std::string::npos);
    // The last line the host's command wrote is there whole, line end included.
    ASSERT_GE(crashedLog.size(), 2u);
    EXPECT_EQ(crashedLog.back(), '\n');
    const std::size_t lastLineStart = crashedLog.find_last_of('\n', crashedLog.size() - 2) + 1;
    EXPECT_NE(crashedLog.find("********", lastLineStart), std::string::npos) << crashedLog.substr(lastLineStart);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(initialize("", "", ""), 0) << "the crashed host still holds the global mutex";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(deinitialize(), 0);
}
