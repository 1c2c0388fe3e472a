// The application object's command frame: the busy check, the wait for the
// response event, the time-out and failure texts, and the result hand-over
// from the event thread (played here by the test itself).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "consoleapplogic.h"
#include "consolelogger.h"
#include "testsupport.h"
#include "trafficmanager.h"

namespace {

AppCollaborators NoCollaborators() {
    AppCollaborators none;
    none.trafficManager = none.eepromInterface = none.structAccess = none.appAdapter = none.evtAdapter = false;
    return none;
}

// Waits until the host thread has sent its command and waits for the answer.
bool WaitUntilExpectingResponse(const ConsoleAppLogic& app) {
    for (int i = 0; i < 500; ++i) {
        if (app.ResponseExpected() && app.GetCommandState() == ConsoleAppLogic::COMMAND_BUSY) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Plays the traffic manager's part on the event thread.
void DeliverNativeResponse(ConsoleAppLogic& app, const std::vector<std::uint8_t>& data) {
    bool isSubEvent = false;
    bool accepted = false;
    const bool valid =
        app.HandleIncomingEvents(data.data(), static_cast<std::uint32_t>(data.size()), isSubEvent, accepted);
    app.SetResultInvalid(valid ? 0 : 1);
    app.SignalEventReceived();
}

}  // namespace

TEST(AppWithoutCollaborators, RefusesCommandsWithFailureTexts) {
    testsupport::IsolatedRoot root;
    const std::string crashBefore = testsupport::ReadFile(CrashFilePath());
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", NoCollaborators());
    const std::string crashAdded = testsupport::ReadFile(CrashFilePath()).substr(crashBefore.size());
    EXPECT_NE(crashAdded.find("<ConsoleAppLogic>Failed to create Traffic Manager Object "), std::string::npos);

    for (const char* line : {"NATIVE_READ_WORD_CMD 0x10", "MEM_READ MAC_FILE_TYPE sym 4", "SOME_PHY_CMD a=1", ""}) {
        EXPECT_EQ(app.HandleCommand(line), 1) << line;
        EXPECT_EQ(std::string(app.FailureMessage()), "Error: Failed to Send Command : '" + std::string(line) + " '");
        EXPECT_EQ(app.ResultLength(), 0u);
        EXPECT_EQ(app.GetCommandState(), ConsoleAppLogic::COMMAND_IDLE);
    }
    EXPECT_EQ(app.SyncChipAccess(), 0);
    app.SetInternalCommandTimeout(10);  // logged and reported, nothing else
    app.SetLogSeverity(2);
}

TEST(AppWithoutCollaborators, OverlongLinesAreRefusedNotOverflowed) {
    testsupport::IsolatedRoot root;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", NoCollaborators());
    const std::string longWord(5000, 'A');
    EXPECT_EQ(app.HandleCommand(longWord), 1);
    const std::string longNative = "NATIVE_READ_WORD_CMD " + std::string(300, '1');
    EXPECT_EQ(app.HandleCommand(longNative), 1);
    EXPECT_EQ(std::string(app.FailureMessage()), "Error: Failed to Send Command : '" + longNative + " '");
}

// A host may keep the failure text's pointer: later, longer failures are
// written into the same buffer, cut to 65534 characters.
TEST(AppWithoutCollaborators, FailureTextPointerStaysValid) {
    testsupport::IsolatedRoot root;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", NoCollaborators());
    app.SetFailure("short");
    const char* kept = app.FailureMessage();
    const std::size_t lengths[] = {100, 5000, 65534, 65535, 70000, 3};
    for (const std::size_t length : lengths) {
        app.SetFailure(std::string(length, 'x'));
        EXPECT_EQ(app.FailureMessage(), kept);
        EXPECT_EQ(std::strlen(kept), std::min<std::size_t>(length, 65534)) << length;
    }
    EXPECT_EQ(app.HandleCommand(std::string(300, 'y')), 1);
    EXPECT_EQ(std::string(kept), "Error: Failed to Send Command : '" + std::string(300, 'y') + " '");
}

TEST(AppWithoutCollaborators, UnexpectedEventLeavesTheResultAlone) {
    testsupport::IsolatedRoot root;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", NoCollaborators());
    const std::uint8_t data[] = {1, 2, 3};
    bool isSubEvent = false;
    bool accepted = true;
    EXPECT_FALSE(app.HandleIncomingEvents(data, 3, isSubEvent, accepted));
    EXPECT_FALSE(accepted);
    EXPECT_EQ(app.ResultLength(), 0u);
}

TEST(AppWithoutCollaborators, ResultTextOfEmptyResult) {
    testsupport::IsolatedRoot root;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", NoCollaborators());
    EXPECT_STREQ(app.GetResultBufferText(), "");
}

TEST(AppDefaults, DefaultTimeoutZeroMeansWithoutLimit) {
    const int saved = ConsoleAppLogic::DefaultTimeout();
    ConsoleAppLogic::SetDefaultTimeout(0);
    EXPECT_EQ(ConsoleAppLogic::DefaultTimeout(), -1);
    ConsoleAppLogic::SetDefaultTimeout(1234);
    EXPECT_EQ(ConsoleAppLogic::DefaultTimeout(), 1234);
    ConsoleAppLogic::SetDefaultTimeout(saved);
}

// With a real transport towards a dispatcher that never answers, the test
// delivers the responses itself.
class AppCommandFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new testsupport::IsolatedRoot();
        AppCollaborators onlyTransport = NoCollaborators();
        onlyTransport.trafficManager = true;
        app_ = new ConsoleAppLogic(9, "127.0.0.1", 0, "", "", "", onlyTransport);
    }
    static void TearDownTestSuite() {
        delete app_;
        delete root_;
    }
    static ConsoleAppLogic* app_;
    static testsupport::IsolatedRoot* root_;
};
ConsoleAppLogic* AppCommandFrame::app_ = nullptr;
testsupport::IsolatedRoot* AppCommandFrame::root_ = nullptr;

TEST_F(AppCommandFrame, NativeResponseBecomesTheResult) {
    ConsoleAppLogic& app = *app_;
    app.SetCommandTimeout(-1);
    auto host = std::async(std::launch::async, [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x10"); });
    ASSERT_TRUE(WaitUntilExpectingResponse(app));
    DeliverNativeResponse(app, {0x0A, 0xFF});
    ASSERT_EQ(host.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(host.get(), 0);
    EXPECT_EQ(app.ResultLength(), 2u);
    EXPECT_STREQ(app.GetResultBufferText(), "0aff");
    EXPECT_STREQ(app.FailureMessage(), "");
    EXPECT_FALSE(app.ResponseExpected());
}

TEST_F(AppCommandFrame, SecondCommandWhileBusyIsRefused) {
    ConsoleAppLogic& app = *app_;
    app.SetCommandTimeout(-1);
    auto host = std::async(std::launch::async, [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x20"); });
    ASSERT_TRUE(WaitUntilExpectingResponse(app));
    EXPECT_EQ(app.HandleCommand("NATIVE_READ_WORD_CMD 0x30"), 1);
    EXPECT_STREQ(app.FailureMessage(), "") << "the busy refusal leaves the failure text alone";
    DeliverNativeResponse(app, {0x01});
    ASSERT_EQ(host.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(host.get(), 0);
    EXPECT_STREQ(app.GetResultBufferText(), "01");
}

TEST_F(AppCommandFrame, NoResponseEndsInTheTimeOutText) {
    ConsoleAppLogic& app = *app_;
    app.SetCommandTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(app.HandleCommand("NATIVE_READ_BUFFER_CMD 0x100 4"), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_STREQ(app.FailureMessage(), "Timeout Error: No Event occur for command : 'NATIVE_READ_BUFFER_CMD 0x100 4 '");
    EXPECT_EQ(app.ResultLength(), 0u);

    // A late answer is only logged: the result stays empty.
    std::vector<std::uint8_t> late{9, 9};
    bool isSubEvent = false;
    bool accepted = true;
    EXPECT_FALSE(app.HandleIncomingEvents(late.data(), 2, isSubEvent, accepted));
    EXPECT_FALSE(accepted);
    EXPECT_EQ(app.ResultLength(), 0u);

    // A signal left over from the late answer does not end the next wait early.
    app.SignalEventReceived();
    app.SetCommandTimeout(-1);
    auto host = std::async(std::launch::async, [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x40"); });
    ASSERT_TRUE(WaitUntilExpectingResponse(app));
    EXPECT_EQ(host.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    DeliverNativeResponse(app, {0x42});
    ASSERT_EQ(host.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(host.get(), 0);
    EXPECT_STREQ(app.GetResultBufferText(), "42");
}

TEST_F(AppCommandFrame, FailedAdaptationOfTheResponseFails) {
    ConsoleAppLogic& app = *app_;
    app.SetCommandTimeout(-1);
    auto host = std::async(std::launch::async, [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x50"); });
    ASSERT_TRUE(WaitUntilExpectingResponse(app));
    app.SetResultInvalid(1);  // the traffic manager's verdict on a bad event
    app.SignalEventReceived();
    ASSERT_EQ(host.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(host.get(), 1);
}

// The answer to a timed-out command, handed on just before the next command
// takes its packet number (it still pairs with the old number then): it
// neither wakes the next command nor becomes its result.
TEST_F(AppCommandFrame, LateAnswerBeforeTheNextNumberLeavesTheNextCommandWaiting) {
    ConsoleAppLogic& app = *app_;
    TrafficManager& traffic = *app.GetTrafficManager();
    app.SetCommandTimeout(50);
    EXPECT_EQ(app.HandleCommand("NATIVE_READ_WORD_CMD 0x1000"), 1);

    const std::uint8_t late[] = {0x11, 0x11, 0x11, 0x11};
    traffic.Packets().SetBeforeNumberHook([&traffic, &late] { traffic.HandleEvent(late, sizeof late); });
    app.SetCommandTimeout(-1);
    auto host = std::async(std::launch::async, [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x2000"); });
    ASSERT_TRUE(WaitUntilExpectingResponse(app));
    EXPECT_EQ(host.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    const std::uint8_t own[] = {0x22};
    traffic.HandleEvent(own, sizeof own);
    ASSERT_EQ(host.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(host.get(), 0);
    EXPECT_STREQ(app.GetResultBufferText(), "22");
    EXPECT_STREQ(app.FailureMessage(), "");
}
