#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "consolelogger.h"
#include "fakedispatcher.h"
#include "syncevent.h"
#include "testsupport.h"
#include "trafficmanager.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The owner side of an external operation, as the application plays it.
class Owner : public TrafficOwner {
public:
    void ArmResponseWait() override { ++arms_; }
    bool HandleIncomingEvents(const std::uint8_t* data, std::uint32_t length, bool& isSubEvent,
                              bool& accepted) override {
        std::lock_guard<std::mutex> guard(lock_);
        accepted = accepting_;
        if (!accepted) return false;
        events_.emplace_back(data, data + length);
        isSubEvent = subEventsLeft_ > 0;
        if (isSubEvent) --subEventsLeft_;
        return succeed_;
    }
    void SetResultInvalid(int value) override { resultInvalid_ = value; }
    void SignalEventReceived() override {
        ++signals_;
        eventReceived_.Set();
    }

    void ExpectSubEvents(int count) {
        std::lock_guard<std::mutex> guard(lock_);
        subEventsLeft_ = count;
    }
    void FailEvents() { succeed_ = false; }
    void Accept(bool accepting) {
        std::lock_guard<std::mutex> guard(lock_);
        accepting_ = accepting;
    }
    std::vector<Bytes> Events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

    SyncEvent eventReceived_;
    std::atomic<int> resultInvalid_{-1};
    std::atomic<int> signals_{0};
    std::atomic<int> arms_{0};

private:
    std::mutex lock_;
    std::vector<Bytes> events_;
    int subEventsLeft_ = 0;
    bool accepting_ = true;
    std::atomic<bool> succeed_{true};
};

// The chip behind the fake dispatcher: a mailbox counter that reads busy a
// given number of times, an EEPROM whose byte at address a is a & 0xFF, and
// acknowledgements for every write. The counter write is followed by the
// chip's own answer events.
class Chip {
public:
    explicit Chip(fake::Dispatcher& dispatcher) {
        dispatcher.SetResponder([this](const fake::ReceivedCommand& received) { return Answer(received); });
    }
    void KeepCounterBusy(int reads) { busyReads_ = reads; }
    void AnswerCounterWriteWith(std::vector<Bytes> events) {
        std::lock_guard<std::mutex> guard(lock_);
        chipEvents_ = std::move(events);
    }
    void Mute(bool mute) { mute_ = mute; }
    void DelayAnswers(int ms) { delayMs_ = ms; }
    void RefuseCounterWrite(bool refuse) { refuseCounterWrite_ = refuse; }

private:
    std::vector<ConsoleEventPacket_t> Answer(const fake::ReceivedCommand& received) {
        const NativeCommand_t& command = received.command;
        if (mute_ || command.Type == NATIVE_SYSTEM_COMMAND) return {};
        if (delayMs_ > 0) platform::SleepMs(delayMs_);
        std::vector<ConsoleEventPacket_t> events;
        switch (command.Type) {
            case NATIVE_READ_WORD: {
                const bool busy = command.Address == TrafficManager::kDefaultCounterReadAddress && busyReads_-- > 0;
                events.push_back(fake::MakeEvent(received.number, {'R', 'W', static_cast<std::uint8_t>(busy ? '1' : '0'), 0}));
                break;
            }
            case NATIVE_READ_EEPROM: {
                Bytes data(command.Length);
                for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(command.Address + i);
                events.push_back(fake::MakeEvent(received.number, data));
                break;
            }
            default:
                events.push_back(fake::MakeEvent(received.number, {'O', 'K'}));
        }
        const bool counterWrite =
            command.Type == NATIVE_WRITE_WORD && command.Address == TrafficManager::kDefaultCounterWriteAddress;
        if (counterWrite && refuseCounterWrite_) return {fake::MakeEvent(received.number, {'E', 'R', 'R'})};
        if (counterWrite) {
            std::lock_guard<std::mutex> guard(lock_);
            for (const Bytes& data : chipEvents_) events.push_back(fake::MakeEvent(received.number, data));
        }
        return events;
    }

    std::atomic<int> busyReads_{0};
    std::atomic<bool> mute_{false};
    std::atomic<int> delayMs_{0};
    std::atomic<bool> refuseCounterWrite_{false};
    std::mutex lock_;
    std::vector<Bytes> chipEvents_;
};

class TrafficTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConsoleLogger::DestroyInstance();
        SetLogSeverityLevel(LOG_DETAIL);
        listenPort_ = fake::FreeTcpPort();
        traffic_ = std::make_unique<TrafficManager>(&owner_, dispatcher_.CommandPort(), "127.0.0.1", listenPort_);
        ASSERT_TRUE(dispatcher_.Connect(listenPort_));
    }
    void TearDown() override {
        traffic_.reset();
        ConsoleLogger::DestroyInstance();
    }
    std::string Log() const { return testsupport::ReadFile(ConsoleLogger::Instance().FilePath()); }
    // An event that answers no command.
    void SendStrayEvent() {
        const std::uint8_t stray = static_cast<std::uint8_t>(traffic_->Packets().CommandCounter() + 100);
        ASSERT_TRUE(dispatcher_.SendEvent(fake::MakeEvent(stray, {'S', 'T', 'R', 'A', 'Y'})));
    }
    // Waits up to 5 s for the handler to have taken this many events.
    void AwaitReceivedEvents(std::uint32_t count) {
        for (int look = 0; look < 500 && traffic_->Packets().ReceivedEventCount() < count; ++look) {
            platform::SleepMs(10);
        }
    }
    std::vector<NativeCommand_t> Sent() {
        std::vector<NativeCommand_t> commands;
        for (const fake::ReceivedCommand& received : dispatcher_.Commands()) commands.push_back(received.command);
        return commands;
    }

    testsupport::IsolatedRoot root_;
    fake::Dispatcher dispatcher_;
    Chip chip_{dispatcher_};
    Owner owner_;
    std::uint16_t listenPort_ = 0;
    std::unique_ptr<TrafficManager> traffic_;
};

Bytes DataOf(const NativeCommand_t& command) {
    return Bytes(command.Data.begin(), command.Data.begin() + command.Length);
}

// ---------------------------------------------------------------- the mailbox

TEST_F(TrafficTest, ConsoleCommandGoesThroughTheMailboxInChunks) {
    Bytes console(40);
    for (std::size_t i = 0; i < console.size(); ++i) console[i] = static_cast<std::uint8_t>(0xA0 + i);
    chip_.AnswerCounterWriteWith({{0x00, 0x0B, 0x42}});

    ASSERT_TRUE(traffic_->HandleNonNativeCommand(console.data(), console.size(), true));
    EXPECT_EQ(traffic_->GetCommandState(), TrafficManager::CMD_STATE_IDLE);
    EXPECT_FALSE(traffic_->InternalOperation());

    const std::vector<NativeCommand_t> sent = Sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].Type, NATIVE_READ_WORD);
    EXPECT_EQ(sent[0].Address, 0xBF108300u);
    const std::uint32_t chunkAddresses[] = {0xBFE30000, 0xBFE30010, 0xBFE30020};
    const std::size_t chunkLengths[] = {16, 16, 8};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[1 + i].Type, NATIVE_WRITE_BUFFER);
        EXPECT_EQ(sent[1 + i].Address, chunkAddresses[i]);
        EXPECT_EQ(DataOf(sent[1 + i]), Bytes(console.begin() + static_cast<std::ptrdiff_t>(16 * i),
                                             console.begin() + static_cast<std::ptrdiff_t>(16 * i + chunkLengths[i])));
    }
    EXPECT_EQ(sent[4].Type, NATIVE_WRITE_WORD);
    EXPECT_EQ(sent[4].Address, 0xBF108240u);
    EXPECT_EQ(DataOf(sent[4]), (Bytes{1, 0, 0, 0}));

    // The chip's answer to the command reaches the owner.
    ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
    EXPECT_EQ(owner_.Events(), (std::vector<Bytes>{{0x00, 0x0B, 0x42}}));
    EXPECT_EQ(owner_.resultInvalid_.load(), 0);
    EXPECT_FALSE(traffic_->ExternalWait());
}

TEST_F(TrafficTest, MailboxAddressesComeFromTheOwner) {
    traffic_->SetCommandBufferAddress(0x1000);
    traffic_->SetCounterWriteAddress(0x2000);
    const Bytes console{1, 2, 3};
    ASSERT_TRUE(traffic_->HandleNonNativeCommand(console.data(), console.size(), false));
    const std::vector<NativeCommand_t> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].Address, 0x1000u);
    EXPECT_EQ(sent[2].Address, 0x2000u);
    EXPECT_FALSE(traffic_->ExternalWait());  // no events were asked for
}

TEST_F(TrafficTest, BusyCounterTenTimesFailsWithoutWriting) {
    chip_.KeepCounterBusy(10);
    const Bytes console(8, 0x11);
    EXPECT_FALSE(traffic_->HandleNonNativeCommand(console.data(), console.size(), true));
    const std::vector<NativeCommand_t> sent = Sent();
    ASSERT_EQ(sent.size(), 10u);
    for (const NativeCommand_t& command : sent) EXPECT_EQ(command.Type, NATIVE_READ_WORD);
    EXPECT_EQ(traffic_->GetCommandState(), TrafficManager::CMD_STATE_READ_COUNTER);
    EXPECT_NE(Log().find("<TrafficManager>Error , Couldn't Send Command because MAC_COMMAND_COUNTER != 0"),
              std::string::npos);

    // The failed delivery does not leave the next host command waiting as an
    // internal operation: its answer reaches the owner.
    EXPECT_FALSE(traffic_->InternalOperation());
    NativeCommand_t read;
    read.Type = NATIVE_READ_BUFFER;
    read.Length = 2;
    ASSERT_TRUE(traffic_->SendNativeCommand(read));
    ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
    EXPECT_EQ(owner_.Events(), (std::vector<Bytes>{{'O', 'K'}}));
}

// A refused counter write fails the delivery at that step; the next internal
// operation still waits for each of its own answers.
TEST_F(TrafficTest, RefusedCounterWriteIsNoAcknowledgementLater) {
    chip_.RefuseCounterWrite(true);
    const Bytes console(4, 0x44);
    EXPECT_FALSE(traffic_->HandleNonNativeCommand(console.data(), console.size(), false));
    EXPECT_EQ(traffic_->GetCommandState(), TrafficManager::CMD_STATE_INC_COUNTER);

    chip_.RefuseCounterWrite(false);
    traffic_->SetInternalTimeout(150);
    traffic_->SetInternalOperation(true);
    ASSERT_TRUE(traffic_->ReadWord(0x100));
    EXPECT_TRUE(traffic_->InternalOperation()) << "the first answer ended the operation";
    chip_.Mute(true);
    EXPECT_FALSE(traffic_->ReadWord(0x104)) << "the second read did not wait for its answer";
}

TEST_F(TrafficTest, CounterBusyNineTimesThenFree) {
    chip_.KeepCounterBusy(9);
    const Bytes console(4, 0x22);
    ASSERT_TRUE(traffic_->HandleNonNativeCommand(console.data(), console.size(), false));
    EXPECT_EQ(Sent().size(), 10u + 2u);
}

TEST_F(TrafficTest, MissingResponseTimesOutWithState5AndNextCommandWorks) {
    chip_.Mute(true);
    traffic_->SetInternalTimeout(150);
    const Bytes console(4, 0x33);
    EXPECT_FALSE(traffic_->HandleNonNativeCommand(console.data(), console.size(), true));
    EXPECT_EQ(traffic_->GetCommandState(), TrafficManager::kCommandStateTimedOut);
    EXPECT_FALSE(traffic_->InternalOperation());
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_NE(Log().find("<TrafficManager>Timeout Occur - No Response for Native Command (Internal Operation)!!!"),
              std::string::npos);

    chip_.Mute(false);
    ASSERT_TRUE(traffic_->HandleNonNativeCommand(console.data(), console.size(), false));
    EXPECT_EQ(traffic_->GetCommandState(), TrafficManager::CMD_STATE_IDLE);
}

TEST_F(TrafficTest, LateResponseIsNotTakenForTheNextCommand) {
    chip_.Mute(true);
    traffic_->SetInternalTimeout(100);
    traffic_->SetInternalOperation(true);
    EXPECT_FALSE(traffic_->ReadWord(0x100));
    ASSERT_TRUE(dispatcher_.WaitForCommands(1));
    const std::uint8_t lateNumber = dispatcher_.Commands()[0].number;

    // The operation goes on; the late answer arrives between two commands.
    traffic_->SetInternalOperation(true);
    ASSERT_TRUE(dispatcher_.SendEvent(fake::MakeEvent(lateNumber, {'L', 'A', 'T', 'E'})));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return traffic_->GetResponseBuffer()[0] == 'L'; }))
        << "the late answer did not reach the response buffer within 5000 ms";

    // A slow answer: a wait satisfied by the late signal would return long before it.
    chip_.Mute(false);
    chip_.DelayAnswers(200);
    traffic_->SetInternalTimeout(5000);
    ASSERT_TRUE(traffic_->ReadWord(0x200));
    const TrafficManager::ResponseBuffer response = traffic_->GetResponseBuffer();
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 4), (Bytes{'R', 'W', '0', 0}));
    traffic_->SetInternalOperation(false);
}

// A late answer released at the worst moment: while the next command is
// about to take its packet number. It must neither complete that command nor
// wake it early; the command gets its own answer.
TEST_F(TrafficTest, LateAnswerJustBeforeTheNextNumberIsNeverTheNextResult) {
    struct Case {
        const char* name;
        bool internal;
    };
    const Case cases[] = {{"host command", false}, {"internal operation", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t sentBefore = dispatcher_.Commands().size();
        chip_.Mute(true);
        traffic_->SetInternalTimeout(50);
        traffic_->SetInternalOperation(c.internal);
        NativeCommand_t first;
        first.Type = NATIVE_READ_WORD;
        first.Address = 0x1000;
        if (c.internal) EXPECT_FALSE(traffic_->ReadWord(0x1000));
        else EXPECT_TRUE(traffic_->SendNativeCommand(first));
        ASSERT_TRUE(dispatcher_.WaitForCommands(sentBefore + 1));
        const std::uint8_t lateNumber = dispatcher_.Commands().back().number;
        traffic_->CloseExternalWait();  // the owner's time-out

        PacketHandler& packets = traffic_->Packets();
        packets.SetBeforeNumberHook([&] {
            const std::uint32_t taken = packets.ReceivedEventCount();
            ASSERT_TRUE(dispatcher_.SendEvent(fake::MakeEvent(lateNumber, {'L', 'A', 'T', 'E'})));
            EXPECT_TRUE(testsupport::WaitUntil([&] { return packets.ReceivedEventCount() != taken; }))
                << "the late answer was not taken within 5000 ms";
        });
        // A slow answer: a wait met by the late answer would end long before it.
        chip_.Mute(false);
        chip_.DelayAnswers(100);
        traffic_->SetInternalTimeout(5000);
        const int signalsBefore = owner_.signals_.load();
        if (c.internal) {
            traffic_->SetInternalOperation(true);
            ASSERT_TRUE(traffic_->ReadWord(0x2000));
            const TrafficManager::ResponseBuffer response = traffic_->GetResponseBuffer();
            EXPECT_EQ(Bytes(response.begin(), response.begin() + 4), (Bytes{'R', 'W', '0', 0}));
            traffic_->SetInternalOperation(false);
        } else {
            NativeCommand_t second = first;
            second.Address = 0x2000;
            ASSERT_TRUE(traffic_->SendNativeCommand(second));
            ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
            EXPECT_EQ(owner_.Events().back(), (Bytes{'R', 'W', '0', 0}));
            EXPECT_EQ(owner_.signals_.load(), signalsBefore + 1);
        }
        for (const Bytes& event : owner_.Events()) EXPECT_NE(event, (Bytes{'L', 'A', 'T', 'E'}));
        chip_.DelayAnswers(0);
    }
}

// The waiting thread takes its answer off the connection itself while the
// receiving thread is held back with an event in front of the answer; let go
// afterwards, the receiving thread finds everything taken and neither reads,
// logs nor counts anything again.
TEST_F(TrafficTest, WaitTakesItsAnswerItselfWhileTheReceivingThreadIsHeldBack) {
    PacketHandler& packets = traffic_->Packets();
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::atomic<bool> released{false};
    packets.SetBeforeReceiveHook([&] {
        held = true;
        while (!release.load()) platform::SleepMs(1);
        released = true;
    });
    // The receiving thread is let go however the test ends.
    const std::unique_ptr<std::atomic<bool>, void (*)(std::atomic<bool>*)> letGo(&release,
                                                                                  [](std::atomic<bool>* r) { *r = true; });
    const std::uint8_t stray = static_cast<std::uint8_t>(packets.CommandCounter() + 100);
    ASSERT_TRUE(dispatcher_.SendEvent(fake::MakeEvent(stray, {'S', 'T', 'R', 'A', 'Y'})));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return held.load(); }))
        << "the receiving thread did not come to read the stray event within 5000 ms";

    traffic_->SetInternalOperation(true);
    const bool answered = traffic_->ReadWord(0x100);
    traffic_->SetInternalOperation(false);
    const auto readLines = [this] {
        const std::string log = Log();
        std::size_t count = 0;
        for (std::size_t at = log.find("recvfrom() method"); at != std::string::npos; at = log.find("recvfrom() method", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t linesWhileHeld = readLines();
    release = true;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return released.load(); }))
        << "the receiving thread did not go on within 5000 ms of its release";
    platform::SleepMs(100);  // the receiving thread's look at the connection

    EXPECT_TRUE(answered);
    const TrafficManager::ResponseBuffer response = traffic_->GetResponseBuffer();
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 4), (Bytes{'R', 'W', '0', 0}));
    EXPECT_EQ(packets.ReceivedEventCount(), 2u);
    EXPECT_NE(Log().find("<PacketHandler>Dumping Event due to wrong RxCmdPacketNum"), std::string::npos);
    EXPECT_GE(linesWhileHeld, 1u);
    EXPECT_EQ(readLines(), linesWhileHeld);
}

// From the claim on, whatever comes is left to the claiming thread's next
// wait, and the receiving thread takes the connection back when that wait
// ends.
TEST_F(TrafficTest, ClaimedConnectionIsReadByTheClaimingWaitOnly) {
    PacketHandler& packets = traffic_->Packets();
    std::atomic<bool> receiverRead{false};
    packets.SetBeforeReceiveHook([&] { receiverRead = true; });

    ASSERT_TRUE(packets.ClaimHostReading());
    SendStrayEvent();
    platform::SleepMs(100);  // time enough for the receiving thread to read
    EXPECT_EQ(packets.ReceivedEventCount(), 0u);
    SyncEvent never;
    EXPECT_FALSE(packets.WaitForAnswer(never, 200));
    EXPECT_EQ(packets.ReceivedEventCount(), 1u);
    EXPECT_FALSE(receiverRead.load());

    SendStrayEvent();
    AwaitReceivedEvents(2);
    EXPECT_EQ(packets.ReceivedEventCount(), 2u);
    EXPECT_TRUE(receiverRead.load());
}

// A wait that sleeps beside the reader relies on the receiving thread once
// the reader lets go: the release wakes it at once, not at its next look.
TEST_F(TrafficTest, ReleaseBesideASleepingWaitWakesTheReceivingThread) {
    PacketHandler& packets = traffic_->Packets();
    packets.SetAsideLookMs(600000);
    std::atomic<bool> receiverRead{false};
    packets.SetBeforeReceiveHook([&] { receiverRead = true; });

    ASSERT_TRUE(packets.ClaimHostReading());
    SendStrayEvent();
    platform::SleepMs(100);  // the receiving thread steps aside meanwhile
    SyncEvent sleeperAnswered;
    std::thread sleeper([&] { packets.WaitForAnswer(sleeperAnswered, 20000); });
    platform::SleepMs(100);  // time enough for the sleeper's claim to fail
    packets.ReleaseHostReading();
    AwaitReceivedEvents(1);
    const std::uint32_t received = packets.ReceivedEventCount();
    sleeperAnswered.Set();
    sleeper.join();
    EXPECT_EQ(received, 1u) << "the stray event was not read within 5000 ms of the release";
    EXPECT_TRUE(receiverRead.load());
}

// Only the claiming thread holds the connection and hands it back: another
// thread's claim fails and its release changes nothing, until the holder's
// release scope ends.
TEST_F(TrafficTest, OnlyTheClaimingThreadHandsTheConnectionBack) {
    PacketHandler& packets = traffic_->Packets();
    const auto claimOnAnotherThread = [&packets] {
        bool claimed = false;
        std::thread([&] {
            claimed = packets.ClaimHostReading();
            packets.ReleaseHostReading();
        }).join();
        return claimed;
    };
    {
        const HostReadingRelease release(&packets);
        ASSERT_TRUE(packets.ClaimHostReading());
        EXPECT_TRUE(packets.ClaimHostReading());  // the holder again
        EXPECT_FALSE(claimOnAnotherThread());
        SendStrayEvent();
        platform::SleepMs(100);  // time enough for the receiving thread to read
        EXPECT_EQ(packets.ReceivedEventCount(), 0u);
    }
    AwaitReceivedEvents(1);
    EXPECT_EQ(packets.ReceivedEventCount(), 1u);
    EXPECT_TRUE(claimOnAnotherThread());
}

// A send that fails is reported, nothing reaches the dispatcher and nothing
// is awaited: the connection is the receiving thread's again (an internal
// operation's thread claimed it before its send), so the answer to the next
// command, which the receiving thread reads, still arrives.
TEST_F(TrafficTest, FailedSendLeavesTheNextAnswerToArrive) {
    for (const bool internal : {true, false}) {
        SCOPED_TRACE(internal ? "during an internal operation" : "of a command without a wait");
        const testsupport::LogTail log;
        const std::size_t sentBefore = dispatcher_.Commands().size();
        traffic_->Packets().FailNextSends(1);
        traffic_->SetInternalOperation(internal);
        EXPECT_FALSE(traffic_->ReadWord(0x100));
        traffic_->SetInternalOperation(false);
        EXPECT_TRUE(log.Has("<TrafficManager>Error!!! The Native Command could not be sent!!!"));
        EXPECT_EQ(dispatcher_.Commands().size(), sentBefore);

        owner_.eventReceived_.Reset();
        NativeCommand_t read;
        read.Type = NATIVE_READ_WORD;
        ASSERT_TRUE(traffic_->SendNativeCommand(read));
        EXPECT_TRUE(owner_.eventReceived_.Wait(5000)) << "the next command's answer did not arrive within 5000 ms";
    }
}

// An event the owner does not accept (nobody waits for it any more) sets no
// result and wakes nobody, though the external wait is still open.
TEST_F(TrafficTest, EventTheOwnerDoesNotAcceptWakesNobody) {
    owner_.Accept(false);
    NativeCommand_t read;
    read.Type = NATIVE_READ_WORD;
    ASSERT_TRUE(traffic_->SendNativeCommand(read));
    EXPECT_FALSE(owner_.eventReceived_.Wait(300));
    EXPECT_EQ(owner_.signals_.load(), 0);
    EXPECT_EQ(owner_.resultInvalid_.load(), -1);
    EXPECT_EQ(owner_.arms_.load(), 1);
}

// ---------------------------------------------------------------- external events

TEST_F(TrafficTest, SubEventsKeepTheWaitOpen) {
    owner_.ExpectSubEvents(2);
    chip_.AnswerCounterWriteWith({{1}, {2}, {3}});
    const Bytes console(4, 0x44);
    ASSERT_TRUE(traffic_->HandleNonNativeCommand(console.data(), console.size(), true));
    ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
    EXPECT_EQ(owner_.Events(), (std::vector<Bytes>{{1}, {2}, {3}}));
    EXPECT_EQ(owner_.signals_.load(), 1);
    EXPECT_NE(Log().find("<TrafficManager>The event that arrived is a subEvent!"), std::string::npos);
}

TEST_F(TrafficTest, FailedHandlingMarksTheResultInvalid) {
    owner_.FailEvents();
    NativeCommand_t read;
    read.Type = NATIVE_READ_WORD;
    ASSERT_TRUE(traffic_->SendNativeCommand(read));
    ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
    EXPECT_EQ(owner_.resultInvalid_.load(), 1);
    EXPECT_NE(Log().find("<TrafficManager>HandleEvent After Handling Event STATUS_FAILED"), std::string::npos);
}

TEST_F(TrafficTest, EventWithNobodyWaitingIsDumped) {
    NativeCommand_t read;
    read.Type = NATIVE_READ_WORD;
    ASSERT_TRUE(traffic_->SendNativeCommand(read));
    ASSERT_TRUE(owner_.eventReceived_.Wait(5000));
    // A second answer to the same command: nothing waits for it any more.
    const std::uint32_t before = traffic_->Packets().ReceivedEventCount();
    ASSERT_TRUE(dispatcher_.SendEvent(fake::MakeEvent(dispatcher_.Commands()[0].number, {9})));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return traffic_->Packets().ReceivedEventCount() != before; }))
        << "the second answer was not taken within 5000 ms";
    traffic_.reset();  // the event thread has finished with the event
    EXPECT_EQ(owner_.Events().size(), 1u);
    EXPECT_EQ(owner_.signals_.load(), 1);
    EXPECT_NE(Log().find("<TrafficManager>The event was dump we don't wait for event!"), std::string::npos);
}

// ---------------------------------------------------------------- chunked transfers

TEST_F(TrafficTest, ReadEepromFillsTheOutputChunkByChunk) {
    traffic_->SetInternalOperation(true);
    Bytes out(40, 0xFF);
    ASSERT_TRUE(traffic_->ReadEeprom(0x100, out.size(), out.data()));
    traffic_->SetInternalOperation(false);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<std::uint8_t>(0x100 + i)) << i;
    const std::vector<NativeCommand_t> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    const std::uint32_t addresses[] = {0x100, 0x110, 0x120};
    const std::uint16_t lengths[] = {16, 16, 8};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].Type, NATIVE_READ_EEPROM);
        EXPECT_EQ(sent[i].Address, addresses[i]);
        EXPECT_EQ(sent[i].Length, lengths[i]);
    }
}

TEST_F(TrafficTest, WriteEepromStopsAtTheFirstFailedChunk) {
    traffic_->SetInternalOperation(true);
    traffic_->SetInternalTimeout(100);
    Bytes image(33);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(traffic_->WriteEeprom(0x40, image.size(), image.data()));
    std::vector<NativeCommand_t> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].Type, NATIVE_WRITE_EEPROM);
    EXPECT_EQ(sent[2].Address, 0x60u);
    EXPECT_EQ(DataOf(sent[2]), (Bytes{32}));

    chip_.Mute(true);
    EXPECT_FALSE(traffic_->WriteEeprom(0x40, image.size(), image.data()));
    EXPECT_EQ(Sent().size(), 4u);
    EXPECT_TRUE(traffic_->WriteEeprom(0x40, 0, nullptr));
    EXPECT_EQ(Sent().size(), 4u);
}

// ---------------------------------------------------------------- system commands

TEST_F(TrafficTest, SystemCommandsCarryTheirCodes) {
    ASSERT_TRUE(traffic_->SendSystemSetup(57600, 1));
    EXPECT_FALSE(traffic_->InternalOperation());
    ASSERT_TRUE(traffic_->SetChipLogSeverity(3));
    ASSERT_TRUE(traffic_->SendCloseCommand());
    ASSERT_TRUE(dispatcher_.WaitForCommands(5));
    const std::vector<NativeCommand_t> sent = Sent();
    struct Expected {
        std::uint16_t type;
        std::uint16_t code;
        std::uint32_t address;
    };
    const Expected expected[] = {{0xFFFF, SYSTEM_SETUP_SECOND, 1},
                                 {0xFFFF, SYSTEM_SETUP_FIRST, 57600},
                                 {NATIVE_READ_WORD, 0, 0xBFC00000},
                                 {0xFFFF, SYSTEM_LOG_SEVERITY, 3},
                                 {0xFFFF, SYSTEM_CLOSE, 0}};
    ASSERT_EQ(sent.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sent[i].Type, expected[i].type) << i;
        EXPECT_EQ(sent[i].AdditionalParam, expected[i].code) << i;
        EXPECT_EQ(sent[i].Address, expected[i].address) << i;
        EXPECT_EQ(sent[i].Length, 0) << i;
    }
}

TEST_F(TrafficTest, SystemSetupSucceedsEvenWithoutAnswer) {
    chip_.Mute(true);
    traffic_->SetInternalTimeout(50);
    EXPECT_TRUE(traffic_->SendSystemSetup(115200, 0));
    EXPECT_FALSE(traffic_->InternalOperation());
}

// ---------------------------------------------------------------- counter text

TEST(CounterText, HexadecimalFromDataByteTwo) {
    struct Case {
        const char* text;
        std::uint32_t value;
    };
    const Case cases[] = {{"1", 1}, {"0", 0}, {" 1", 1}, {"0x1", 1}, {"01", 1}, {"10", 16}, {"1x", 1},
                          {"", 0},  {"zz", 0}, {"0x", 0}, {"Ff", 255}, {"\t 0X1", 1}};
    for (const Case& c : cases) {
        TrafficManager::ResponseBuffer response{};
        response[0] = 'A';
        response[1] = 'B';
        std::memcpy(response.data() + 2, c.text, std::strlen(c.text));
        EXPECT_EQ(TrafficManager::ParseCounterText(response), c.value) << '"' << c.text << '"';
    }
    TrafficManager::ResponseBuffer full;
    full.fill('f');  // digits up to the very end are read without running past it
    EXPECT_EQ(TrafficManager::ParseCounterText(full), 0xFFFFFFFFu);
}

}  // namespace
