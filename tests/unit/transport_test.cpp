#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "consoleappsockets.h"
#include "consolelogger.h"
#include "fakedispatcher.h"
#include "packethandler.h"
#include "platform/net.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// How long any one thing a test waits for may take: loopback connections and
// packets come within milliseconds, even under the sanitizers and Wine.
constexpr int kWaitMs = 5000;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Everything the library writes goes into a temporary root.
class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConsoleLogger::DestroyInstance();
        SetLogSeverityLevel(LOG_NORMAL);
        platform::StartSocketLibrary();
        PacketHandler::NumberNextHandlerFrom(0);
    }
    void TearDown() override {
        platform::StopSocketLibrary();
        ConsoleLogger::DestroyInstance();
    }
    std::string Log() const { return testsupport::ReadFile(ConsoleLogger::Instance().FilePath()); }

    testsupport::IsolatedRoot root_;
};

// ---------------------------------------------------------------- waits

TEST(WaitPrimitives, AutoResetServesOneWaitManualResetStays) {
    platform::WaitEvent autoReset(false, false);
    platform::WaitEvent manualReset(true, true);
    ASSERT_TRUE(autoReset.IsValid());
    EXPECT_FALSE(autoReset.Wait(0));
    autoReset.Set();
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(0));

    EXPECT_TRUE(manualReset.Wait(0));
    EXPECT_TRUE(manualReset.Wait(0));
    manualReset.Reset();
    EXPECT_FALSE(manualReset.Wait(0));
}

TEST(WaitPrimitives, LowestReadyIndexWinsAndTimeoutIsReported) {
    platform::WaitEvent first(false, true);
    platform::WaitEvent second(false, true);
    EXPECT_EQ(platform::WaitForAny({first, second}, 0), 0);
    EXPECT_EQ(platform::WaitForAny({first, second}, 0), 1);
    EXPECT_EQ(platform::WaitForAny({first, second}, 20), platform::kWaitTimeout);
}

TEST(WaitPrimitives, OneAutoResetSignalWakesOneOfTwoWaiters) {
    platform::WaitEvent event(false, false);
    platform::WaitEvent release(true, false);
    std::atomic<int> byEvent{0};
    auto wait = [&] {
        if (platform::WaitForAny({event, release}, -1) == 0) ++byEvent;
    };
    std::thread a(wait), b(wait);
    event.Set();
    // Give the other waiter every chance to (wrongly) take the same signal.
    platform::SleepMs(100);
    release.Set();
    a.join();
    b.join();
    EXPECT_EQ(byEvent.load(), 1);
}

TEST_F(TransportTest, DatagramMakesUdpSocketReady) {
    platform::UdpSocket receiver;
    ASSERT_TRUE(receiver.Open());
    ASSERT_TRUE(receiver.Bind(platform::kLoopbackAddress, 0));
    ASSERT_EQ(receiver.WatchReadable(), platform::WatchResult::kOk);
    platform::UdpSocket sender;
    ASSERT_TRUE(sender.Open());
    const std::uint8_t datagram[3] = {7, 8, 9};
    EXPECT_EQ(platform::WaitForAny({receiver}, 0), platform::kWaitTimeout);
    ASSERT_EQ(sender.SendTo(datagram, 3, platform::kLoopbackAddress, receiver.LocalPort()), 3);
    EXPECT_EQ(platform::WaitForAny({receiver}, 5000), 0);
    receiver.ResetReadable();
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer), 3);
    EXPECT_EQ(buffer[2], 9);
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer), platform::kSocketWouldBlock);
}

// ---------------------------------------------------------------- addresses

TEST(DispatcherAddress, OnlyStrictDottedIpv4IsAccepted) {
    struct Case {
        const char* text;
        bool valid;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"127.0.0.1", true, 0x7F000001},  {"192.168.1.20", true, 0xC0A80114}, {"0.0.0.0", true, 0},
        {"255.255.255.254", true, 0xFFFFFFFE}, {"255.255.255.255", false, 0}, {"256.1.1.1", false, 0},
        {"1.2.3", false, 0},              {"1.2.3.4.5", false, 0},             {"", false, 0},
        {" 1.2.3.4", false, 0},           {"1.2.3.4 ", false, 0},              {"1..2.3", false, 0},
        {"1.2.3.0x4", false, 0},          {"1.2.3.1000", false, 0},            {"a.b.c.d", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t value = 0x12345678;
        EXPECT_EQ(ConsoleAppSockets::ParseDottedIpv4(c.text, value), c.valid) << c.text;
        EXPECT_EQ(value, c.valid ? c.value : 0x12345678u) << c.text;
    }
}

TEST(DispatcherAddress, OnlyTheDispatcherMayConnect) {
    const std::uint32_t remote = 0xC0A80114;  // 192.168.1.20
    EXPECT_TRUE(ConsoleAppSockets::IsDispatcherPeer(remote, remote));
    EXPECT_FALSE(ConsoleAppSockets::IsDispatcherPeer(remote + 1, remote));
    EXPECT_FALSE(ConsoleAppSockets::IsDispatcherPeer(platform::kLoopbackAddress, remote));
    EXPECT_TRUE(ConsoleAppSockets::IsDispatcherPeer(0x7F000001, 0x7F000001));
    EXPECT_TRUE(ConsoleAppSockets::IsDispatcherPeer(0x7F000002, 0x7F000001));
    EXPECT_FALSE(ConsoleAppSockets::IsDispatcherPeer(remote, 0x7F000001));
    EXPECT_FALSE(ConsoleAppSockets::IsDispatcherPeer(0, 0));  // no valid dispatcher address
}

// ---------------------------------------------------------------- sockets

// Connecting, retrying until the listener is up; a failure names the port.
std::unique_ptr<platform::TcpConnection> ConnectTo(std::uint16_t port) {
    auto connection = std::make_unique<platform::TcpConnection>();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!connection->Connect(platform::kLoopbackAddress, port, std::max(1, RemainingMs(deadline)))) {
        if (RemainingMs(deadline) == 0) {
            ADD_FAILURE() << "the library's listener on port " << port << " took no connection within " << kWaitMs
                          << " ms";
            return nullptr;
        }
        platform::SleepMs(20);
    }
    return connection;
}

// Sockets listening on a free port with a dispatcher connected to them;
// Connected() says whether the sockets took that connection in time.
struct Linked {
    platform::WaitEvent stop{true, false};
    const std::uint16_t port = fake::FreeTcpPort();
    ConsoleAppSockets sockets{5000, "127.0.0.1", port, &stop};
    std::unique_ptr<platform::TcpConnection> dispatcher = ConnectTo(port);

    bool Connected() { return dispatcher != nullptr && sockets.ConnectionEvent().Wait(kWaitMs); }
};

// SignalUponRx on a thread of its own, so that the test can act while it
// waits; a wait the test ends itself (nothing came) reports RX_STOP.
class RxWait {
public:
    explicit RxWait(ConsoleAppSockets& sockets)
        : thread_([this, &sockets] {
              reason_ = sockets.SignalUponRx(giveUp_);
              ended_.Set();
          }) {}
    ~RxWait() { Reason(0); }
    RxWait(const RxWait&) = delete;
    RxWait& operator=(const RxWait&) = delete;

    bool EndsWithin(int timeoutMs) { return ended_.Wait(timeoutMs); }
    // Why the wait ended, ending it after timeoutMs at the latest.
    int Reason(int timeoutMs = kWaitMs) {
        if (!ended_.Wait(timeoutMs)) giveUp_.Set();
        if (thread_.joinable()) thread_.join();
        return reason_;
    }

private:
    platform::WaitEvent giveUp_{true, false};
    platform::WaitEvent ended_{true, false};
    std::atomic<int> reason_{ConsoleAppSockets::RX_WAIT_FAILED};
    std::thread thread_;
};

// Reads from the sockets until `count` bytes came, the time is up, or a wait
// reason other than data or a new connection ends it.
Bytes ReadBytes(ConsoleAppSockets& sockets, std::size_t count) {
    Bytes got;
    std::uint8_t buffer[1024];
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (got.size() < count) {
        const int reason = RxWait(sockets).Reason(RemainingMs(deadline));
        if (reason == ConsoleAppSockets::RX_NEW_CONNECTION) continue;
        if (reason != ConsoleAppSockets::RX_DATA) break;
        const int received = sockets.Recv(buffer, sizeof buffer);
        if (received > 0) got.insert(got.end(), buffer, buffer + received);
    }
    return got;
}

const char* const kNoConnectionEvent = "the listener signalled no connection within 5000 ms";
const char* const kNotClosed = "the library did not close the connection within 5000 ms";

TEST_F(TransportTest, IllegalAddressLeavesObjectWithListener) {
    platform::WaitEvent stop(true, false);
    const std::uint16_t port = fake::FreeTcpPort();
    ConsoleAppSockets sockets(5000, "256.1.1.1", port, &stop);
    EXPECT_EQ(sockets.TargetAddress(), 0u);
    EXPECT_TRUE(sockets.HasSendSocket());
    // The listener runs (the connection is taken) but nobody is the
    // dispatcher of a zero address, so it is closed again.
    auto connection = ConnectTo(port);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(fake::PeerClosed(*connection, kWaitMs)) << kNotClosed;
    EXPECT_FALSE(sockets.ConnectionEvent().Wait(0));
    stop.Set();
}

TEST_F(TransportTest, StrangerIsRefusedWithLogLine) {
    platform::WaitEvent stop(true, false);
    const std::uint16_t port = fake::FreeTcpPort();
    ConsoleAppSockets sockets(5000, "10.1.2.3", port, &stop);
    auto connection = ConnectTo(port);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(fake::PeerClosed(*connection, kWaitMs)) << kNotClosed;
    EXPECT_FALSE(sockets.ConnectionEvent().Wait(200));
    EXPECT_NE(Log().find("<ConsoleAppSockets>Refused Tcp connection"), std::string::npos);
    EXPECT_NE(Log().find("only the dispatcher (10.1.2.3) may connect"), std::string::npos);
    stop.Set();
}

TEST_F(TransportTest, StopEndsTheWaitAndTheListener) {
    Linked link;
    ASSERT_TRUE(link.Connected()) << kNoConnectionEvent;
    auto& [stop, port, sockets, first] = link;
    stop.Set();
    EXPECT_EQ(sockets.SignalUponRx(stop), ConsoleAppSockets::RX_STOP);
    // Once the listener has ended, connections are refused. A listener left
    // open but unserved takes a few into its backlog, then lets the
    // handshakes wait: each try is bounded.
    bool refused = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!refused && RemainingMs(deadline) > 0) {
        platform::TcpConnection late;
        refused = !late.Connect(platform::kLoopbackAddress, port, std::max(1, RemainingMs(deadline)));
        if (!refused) platform::SleepMs(20);
    }
    EXPECT_TRUE(refused) << "the listener still took connections " << kWaitMs << " ms after the stop";
}

TEST_F(TransportTest, SecondConnectionReplacesTheFirst) {
    Linked link;
    ASSERT_TRUE(link.Connected()) << kNoConnectionEvent;
    auto& [stop, port, sockets, first] = link;

    auto second = ConnectTo(port);
    ASSERT_NE(second, nullptr);
    // Signalled after the old connection was closed and the new one logged.
    ASSERT_TRUE(sockets.ConnectionEvent().Wait(kWaitMs)) << kNoConnectionEvent << " (the second)";
    EXPECT_TRUE(fake::PeerClosed(*first, kWaitMs)) << kNotClosed;
    const Bytes payload{1, 2, 3, 4, 5};
    ASSERT_EQ(second->Send(payload.data(), payload.size()), 5);
    EXPECT_EQ(ReadBytes(sockets, 5), payload) << "the bytes sent on the second connection";

    const std::string log = Log();
    const std::size_t established = log.find("was established!");
    ASSERT_NE(established, std::string::npos);
    EXPECT_NE(log.find("was established!", established + 1), std::string::npos);
    stop.Set();
}

// A wait that leaves the data out (a host thread reads it) ends only by its
// time or a resume; a resume called before the wait ends the next one.
TEST_F(TransportTest, WaitWithoutDataEndsByTimeOrResume) {
    Linked link;
    ASSERT_TRUE(link.Connected()) << kNoConnectionEvent;
    auto& [stop, port, sockets, dispatcher] = link;
    const Bytes payload{7, 8, 9};
    ASSERT_EQ(dispatcher->Send(payload.data(), payload.size()), 3);

    EXPECT_EQ(sockets.SignalUponRx(stop, false, 50), ConsoleAppSockets::RX_QUIET);
    sockets.ResumeReceiving();
    EXPECT_EQ(sockets.SignalUponRx(stop, false, kWaitMs), ConsoleAppSockets::RX_RESUMED);
    EXPECT_EQ(sockets.SignalUponRx(stop, false, 50), ConsoleAppSockets::RX_QUIET) << "a resume ends one wait only";
    EXPECT_EQ(ReadBytes(sockets, 3), payload) << "the data waits for a wait that watches it";
    stop.Set();
}

// The receiving side waiting on a connection that the library replaced
// reads it as closed: the log says it was replaced, not closed by the dispatcher.
TEST_F(TransportTest, ReplacedConnectionIsLoggedAsReplaced) {
    Linked link;
    ASSERT_TRUE(link.Connected()) << kNoConnectionEvent;
    auto& [stop, port, sockets, first] = link;

    RxWait waiting(sockets);
    platform::SleepMs(100);
    auto second = ConnectTo(port);
    ASSERT_NE(second, nullptr);
    const int woken = waiting.Reason();
    // The shut-down old connection reads as ended (or the new connection
    // is reported first, and the old one is let go unread).
    if (woken == ConsoleAppSockets::RX_DATA) {
        std::uint8_t buffer[64];
        EXPECT_EQ(sockets.Recv(buffer, sizeof buffer), 0);
        EXPECT_NE(Log().find("was replaced by a new one"), std::string::npos);
    } else {
        EXPECT_EQ(woken, ConsoleAppSockets::RX_NEW_CONNECTION) << "the waiting side saw neither the replaced "
                                                                  "connection nor the new one within 5000 ms";
    }
    EXPECT_EQ(Log().find("was closed by the dispatcher!"), std::string::npos);
    stop.Set();
}

TEST_F(TransportTest, ClosedConnectionIsDroppedInsteadOfSpinning) {
    Linked link;
    ASSERT_TRUE(link.Connected()) << kNoConnectionEvent;
    auto& [stop, port, sockets, first] = link;
    first->Shutdown();

    int reason = ConsoleAppSockets::RX_NEW_CONNECTION;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (reason == ConsoleAppSockets::RX_NEW_CONNECTION) reason = RxWait(sockets).Reason(RemainingMs(deadline));
    ASSERT_EQ(reason, ConsoleAppSockets::RX_DATA) << "the close was not reported as readable within 5000 ms";
    std::uint8_t buffer[64];
    EXPECT_EQ(sockets.Recv(buffer, sizeof buffer), 0);
    EXPECT_NE(Log().find("was closed by the dispatcher!"), std::string::npos);

    // Nothing to read now: the next wait lasts until a new connection comes.
    RxWait waiting(sockets);
    EXPECT_FALSE(waiting.EndsWithin(200));
    auto second = ConnectTo(port);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(waiting.Reason(), ConsoleAppSockets::RX_NEW_CONNECTION) << "no new connection reported within 5000 ms";
    const Bytes payload{9, 8, 7};
    ASSERT_EQ(second->Send(payload.data(), payload.size()), 3);
    EXPECT_EQ(ReadBytes(sockets, 3), payload) << "the bytes sent on the new connection";
    EXPECT_TRUE(sockets.TakeStreamRestart());
    EXPECT_FALSE(sockets.TakeStreamRestart());
    stop.Set();
}

TEST_F(TransportTest, SendIsOneDatagramToTheTarget) {
    fake::Dispatcher dispatcher;
    platform::WaitEvent stop(true, false);
    ConsoleAppSockets sockets(dispatcher.CommandPort(), "127.0.0.1", fake::FreeTcpPort(), &stop);
    const Bytes packet(524, 0x42);
    EXPECT_EQ(sockets.Send(packet.data(), packet.size()), 524);
    ASSERT_TRUE(dispatcher.WaitForCommands(1));
    EXPECT_EQ(dispatcher.Commands()[0].size, 524u);
    stop.Set();
}

// ---------------------------------------------------------------- packet handler

class Receiver : public PacketEventReceiver {
public:
    void HandleEvent(const std::uint8_t* data, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            events_.emplace_back(data, data + length);
        }
        arrived_.notify_all();
    }
    bool WaitFor(std::size_t count, int timeoutMs = kWaitMs) {
        std::unique_lock<std::mutex> guard(lock_);
        if (arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= count; })) {
            return true;
        }
        ADD_FAILURE() << "the receiver got " << events_.size() << " of " << count << " events within " << timeoutMs
                      << " ms";
        return false;
    }
    std::vector<Bytes> Events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Bytes> events_;
};

// A packet handler connected to a fake dispatcher.
struct Link {
    Link()
        : listenPort(fake::FreeTcpPort()),
          handler(std::make_unique<PacketHandler>(&receiver, dispatcher.CommandPort(), "127.0.0.1", listenPort)) {}
    bool Connect() { return dispatcher.Connect(listenPort); }
    void Send(std::uint32_t address) {
        NativeCommand_t command;
        command.Type = NATIVE_READ_WORD;
        command.Address = address;
        handler->SendNativeCommand(command);
    }

    fake::Dispatcher dispatcher;
    Receiver receiver;
    std::uint16_t listenPort;
    std::unique_ptr<PacketHandler> handler;
};

Bytes AddressBytes(std::uint32_t address) {
    return Bytes{static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                 static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
}

// The handler's own cutting, queue and event step, fed without sockets: a
// flood beyond the queue's 3000 packets is cut off there, the part of a
// packet after it waits for the rest, and only answers to the last command
// reach the receiver.
TEST(PacketHandlerWithoutTransport, FloodStopsAtTheQueueLimitAndPairingStillHolds) {
    Receiver receiver;
    PacketHandler handler(&receiver, PacketHandler::NoTransport{});
    handler.SendNativeCommand(NativeCommand_t{});  // number 0 is the last command now

    Bytes stream;
    const auto append = [&stream](const ConsoleEventPacket_t& packet) {
        const EventPacketBytes bytes = EncodeEventPacket(packet);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(fake::MakeEvent(7, {0xEE}));  // answers no command of this handler
    for (std::size_t i = 1; i < EventQueue::kMaxPackets + 100; ++i) append(fake::MakeEvent(0, {1, 2}));
    const Bytes next = [] {
        const EventPacketBytes bytes = EncodeEventPacket(fake::MakeEvent(0, {3}));
        return Bytes(bytes.begin(), bytes.end());
    }();
    stream.insert(stream.end(), next.begin(), next.begin() + 300);
    handler.ReceiveBytes(stream.data(), stream.size());
    EXPECT_EQ(handler.QueuedEvents(), EventQueue::kMaxPackets);
    EXPECT_EQ(handler.CarriedBytes(), 300u);

    EXPECT_EQ(handler.DeliverQueuedEvents(), EventQueue::kMaxPackets);
    EXPECT_EQ(receiver.Events().size(), EventQueue::kMaxPackets - 1);
    EXPECT_EQ(receiver.Events().front(), (Bytes{1, 2}));

    handler.ReceiveBytes(next.data() + 300, next.size() - 300);
    EXPECT_EQ(handler.DeliverQueuedEvents(), 1u);
    EXPECT_EQ(receiver.Events().back(), (Bytes{3}));
}

TEST_F(TransportTest, AnswersArePairedWithTheLastCommand) {
    Link link;
    link.dispatcher.SetResponder([](const fake::ReceivedCommand& received) {
        // A stale answer first, then the right one.
        return std::vector<ConsoleEventPacket_t>{
            fake::MakeEvent(static_cast<std::uint8_t>(received.number - 1), {0xEE}),
            fake::MakeEvent(received.number, AddressBytes(received.command.Address))};
    });
    ASSERT_TRUE(link.Connect());
    for (std::uint32_t i = 0; i < 3; ++i) {
        link.Send(0x1000 + i);
        ASSERT_TRUE(link.receiver.WaitFor(i + 1)) << "answer " << i;
    }
    const std::vector<Bytes> events = link.receiver.Events();
    ASSERT_EQ(events.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(events[i], AddressBytes(0x1000 + i));

    const std::vector<fake::ReceivedCommand> commands = link.dispatcher.Commands();
    ASSERT_EQ(commands.size(), 3u);
    for (std::uint8_t i = 0; i < 3; ++i) {
        EXPECT_EQ(commands[i].size, 524u);
        EXPECT_EQ(commands[i].version, 1);
        EXPECT_EQ(commands[i].number, i);
    }
    EXPECT_EQ(link.handler->ReceivedEventCount(), 6u);
    EXPECT_NE(Log().find("<PacketHandler>Dumping Event due to wrong RxCmdPacketNum"), std::string::npos);
}

TEST_F(TransportTest, BeforeAnySendTheLastNumberIs255) {
    Link link;
    ASSERT_TRUE(link.Connect());
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(255, {1})));
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(0, {2})));
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(255, {3})));
    ASSERT_TRUE(link.receiver.WaitFor(2));
    EXPECT_EQ(link.receiver.Events(), (std::vector<Bytes>{{1}, {3}}));
}

// A handler numbers on from where the one before it stopped: a late answer
// to the earlier handler's last command cannot pair with the new one's.
TEST_F(TransportTest, ANewHandlerNumbersOnFromTheLastOne) {
    std::uint8_t next = 0;
    {
        Link first;
        for (std::uint32_t i = 0; i < 3; ++i) first.Send(i);
        ASSERT_TRUE(first.dispatcher.WaitForCommands(3));
        next = first.handler->CommandCounter();
    }
    ASSERT_EQ(next, 3);
    Link second;
    second.Send(0);
    ASSERT_TRUE(second.dispatcher.WaitForCommands(1));
    EXPECT_EQ(second.dispatcher.Commands().front().number, next);
}

TEST_F(TransportTest, CommandNumbersWrapAfter256) {
    Link link;
    for (std::uint32_t i = 0; i < 257; ++i) {
        link.Send(i);
        // In step, so that no datagram is lost to a full receive buffer.
        ASSERT_TRUE(link.dispatcher.WaitForCommands(i + 1));
    }
    const std::vector<fake::ReceivedCommand> commands = link.dispatcher.Commands();
    EXPECT_EQ(commands[255].number, 255);
    EXPECT_EQ(commands[256].number, 0);
    EXPECT_EQ(link.handler->CommandCounter(), 1);
}

TEST_F(TransportTest, EventsSplitAcrossOddWritesArriveWhole) {
    Link link;
    ASSERT_TRUE(link.Connect());
    link.Send(0);
    ASSERT_TRUE(link.dispatcher.WaitForCommands(1));
    Bytes stream;
    for (std::uint8_t i = 0; i < 3; ++i) {
        const EventPacketBytes packet = EncodeEventPacket(fake::MakeEvent(0, {i, 0x55, i}));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    const std::size_t pieces[] = {1, 518, 3, 7, 600, 431};
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        ASSERT_TRUE(link.dispatcher.SendBytes(stream.data() + offset, piece));
        offset += piece;
        platform::SleepMs(5);  // lets most pieces arrive in reads of their own
    }
    ASSERT_EQ(offset, stream.size());
    ASSERT_TRUE(link.receiver.WaitFor(3));
    const std::vector<Bytes> events = link.receiver.Events();
    for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(events[i], (Bytes{i, 0x55, i}));
}

TEST_F(TransportTest, OversizedEventIsRepairedButAnswersNoCommand) {
    Link link;
    ASSERT_TRUE(link.Connect());
    link.Send(0);
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(0, Bytes(10, 0x11))));
    ASSERT_TRUE(link.receiver.WaitFor(1));

    link.Send(1);
    ConsoleEventPacket_t oversized = fake::MakeEvent(77, {});
    oversized.Length = 0x300;
    oversized.Data.fill(0xCC);
    ASSERT_TRUE(link.dispatcher.SendEvent(oversized));
    // Numbered as the previous event + 1, which is the last command sent, but
    // its zeros are not the chip's answer: it is dropped, and the real answer
    // behind it is taken.
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(1, Bytes(3, 0x22))));
    ASSERT_TRUE(link.receiver.WaitFor(2));
    EXPECT_EQ(link.receiver.Events().size(), 2u);
    EXPECT_EQ(link.receiver.Events()[1], Bytes(3, 0x22));
    const std::string log = Log();
    EXPECT_NE(log.find("<PacketHandler>Dumping the repaired oversized Event: it answers no command"), std::string::npos);
    EXPECT_NE(log.find("<rxDataThread ERROR> Illegal packet size received: 0x300"), std::string::npos);
    EXPECT_NE(log.find("ERROR: Illegal packet size received: 0x300, version: 1, SourceID: 4, type: 2, "
                       "RxCmdPacketNum: 77"),
              std::string::npos);
}

TEST_F(TransportTest, NewConnectionDoesNotInheritAPartialPacket) {
    Link link;
    ASSERT_TRUE(link.Connect());
    link.Send(0);
    const Bytes partial(300, 0xAB);
    ASSERT_TRUE(link.dispatcher.SendBytes(partial.data(), partial.size()));
    platform::SleepMs(50);
    link.dispatcher.Disconnect();
    ASSERT_TRUE(link.Connect());
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(0, {1, 2, 3})));
    ASSERT_TRUE(link.receiver.WaitFor(1));
    EXPECT_EQ(link.receiver.Events()[0], (Bytes{1, 2, 3}));
}

TEST_F(TransportTest, ReplacedDispatcherConnectionKeepsEventsFlowing) {
    Link link;
    ASSERT_TRUE(link.Connect());
    const std::shared_ptr<platform::TcpConnection> first = link.dispatcher.Connection();
    ASSERT_TRUE(link.Connect());  // the dispatcher now talks over a second connection
    EXPECT_TRUE(fake::PeerClosed(*first, kWaitMs)) << kNotClosed;
    link.Send(0);
    ASSERT_TRUE(link.dispatcher.SendEvent(fake::MakeEvent(0, {4, 2})));
    ASSERT_TRUE(link.receiver.WaitFor(1));
    EXPECT_EQ(link.receiver.Events()[0], (Bytes{4, 2}));
}

TEST_F(TransportTest, ShutdownIsPromptWithAndWithoutDispatcher) {
    {
        const auto start = Clock::now();
        { Link unconnected; }
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    }
    {
        Link connected;
        ASSERT_TRUE(connected.Connect());
        connected.Send(0);
        ASSERT_TRUE(connected.dispatcher.WaitForCommands(1));
        const auto start = Clock::now();
        connected.handler.reset();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    }
    EXPECT_EQ(Log().find("did not end within"), std::string::npos);
}

}  // namespace
