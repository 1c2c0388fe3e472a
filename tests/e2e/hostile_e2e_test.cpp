// A hostile dispatcher: a peer that takes the library's command datagrams and
// connects to its event port like the dispatcher, but answers with random
// bytes, maximum lengths, a capture claiming 65535 bytes in fragments out of
// order, floods of 5000 packets at once, connections opened and closed in a
// loop and a connection from another loopback address. Through all of it the
// application must answer every host command within its time-outs, keep its
// memory and descriptors bounded, and work normally as soon as the emulated
// dispatcher takes the peer's place on the same ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "consoleapplogic.h"
#include "commandexecutor.h"
#include "emulator.h"
#include "packets.h"
#include "socketutil.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kCommandTimeoutMs = 300;
constexpr int kInternalTimeoutMs = 60;
// A console command may spend the counter pause, ten counter reads, its
// chunks and the counter write on internal time-outs before its own wait.
constexpr int kConsoleBoundMs = 15 + 14 * kInternalTimeoutMs + kCommandTimeoutMs;
constexpr int kSlackMs = 400;
constexpr std::uint8_t kCaptureEvent = 0x41;  // PHYC_CAPTURE_DATA_EVT of the example set
constexpr std::size_t kFloodPackets = 5000;
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

std::size_t ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        static_cast<void>(entry);
        ++count;
    }
    return count;
}

// A TCP connection to the library's port from a chosen loopback address.
tbemu::Fd ConnectFrom(const char* source, std::uint16_t port) {
    tbemu::Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        return tbemu::Fd();
    }
    return fd;
}

Bytes EventPacket(std::uint8_t rxNum, const Bytes& data, std::uint16_t length) {
    ConsoleEventPacket_t packet;
    packet.Version = 1;
    packet.RxCmdPacketNum = rxNum;
    packet.SourceID = 4;
    packet.Length = length;
    std::copy_n(data.begin(), std::min(data.size(), packet.Data.size()), packet.Data.begin());
    const EventPacketBytes bytes = EncodeEventPacket(packet);
    return Bytes(bytes.begin(), bytes.end());
}

// One capture fragment: its number, whether more follow, captured bytes.
Bytes CaptureFragment(std::uint8_t number, bool more, std::size_t capturedBytes) {
    const bool first = number == 0;
    const std::size_t payload = capturedBytes + (first ? 8 : 0);
    Bytes data(kEventHeaderSize + payload, 0x5A);
    PutBe16(&data[EventHeader::kCtrl], EventHeader::kValidCtrl);
    data[EventHeader::kSource] = 1;
    data[EventHeader::kType] = kCaptureEvent;
    data[EventHeader::kFlags] = more ? EventHeader::kFragmentBit : 0;
    data[EventHeader::kFragmentNum] = number;
    data[EventHeader::kEventLength] = static_cast<std::uint8_t>(payload + 8);
    data[EventHeader::kSubEvent] = 0;
    if (first) {
        PutBe16(&data[EventHeader::kPayload], 0xFFFF);  // the largest total a capture can claim
        PutBe32(&data[EventHeader::kPayload + 4], 0xBF560000);
    }
    return data;
}

class HostilePeer {
public:
    enum class Mode { Silent, Garbage, MaxLength, Capture, Flood };

    ~HostilePeer() { Stop(); }

    bool Start(std::string& error) {
        udp_ = tbemu::BindUdp("127.0.0.1", 0, error);
        if (!udp_.Valid()) return false;
        port_ = tbemu::LocalPort(udp_.Get());
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        Disconnect();
        udp_.Reset();
    }
    std::uint16_t CommandPort() const { return port_; }
    void SetMode(Mode mode) { mode_.store(mode); }

    bool Connect(const char* source, std::uint16_t libraryPort) {
        tbemu::Fd fresh = ConnectFrom(source, libraryPort);
        if (!fresh.Valid()) return false;
        std::lock_guard<std::mutex> guard(lock_);
        tcp_ = std::move(fresh);
        return true;
    }
    void Disconnect() {
        std::lock_guard<std::mutex> guard(lock_);
        tcp_.Reset();
    }
    void Write(const Bytes& bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        if (tcp_.Valid()) tbemu::SendAll(tcp_.Get(), bytes.data(), bytes.size());
    }
    Bytes RandomBytes(std::size_t count) {
        Bytes bytes(count);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random_());
        return bytes;
    }

private:
    void Run() {
        while (!stop_.load()) {
            pollfd watched{udp_.Get(), POLLIN, 0};
            if (::poll(&watched, 1, 20) <= 0) continue;
            std::uint8_t datagram[kNativePacketSize];
            const ssize_t received = ::recv(udp_.Get(), datagram, sizeof datagram, 0);
            std::uint8_t version = 0;
            std::uint8_t number = 0;
            NativeCommand_t command;
            if (received <= 0 || !DecodeNativePacket(datagram, static_cast<std::size_t>(received), version, number,
                                                     command)) {
                continue;
            }
            if (command.Type != NATIVE_SYSTEM_COMMAND) Answer(number, command);
        }
    }

    void Answer(std::uint8_t number, const NativeCommand_t& command) {
        switch (mode_.load()) {
            case Mode::Silent:
                break;
            case Mode::Garbage:
                Write(RandomBytes(1 + random_() % 4000));
                break;
            case Mode::MaxLength:
                Write(EventPacket(number, Bytes(kEventDataSize, 0xFF), 0xFFFF));
                Write(EventPacket(number, Bytes(kEventDataSize, 0xFF), kEventDataSize));
                break;
            case Mode::Capture:
                Write(SaneAnswer(number, command));
                if (IsCounterWrite(command)) WriteOversizedCapture(number);
                break;
            case Mode::Flood: {
                Bytes flood;
                const Bytes one = SaneAnswer(number, command);
                for (std::size_t i = 0; i < kFloodPackets; ++i) flood.insert(flood.end(), one.begin(), one.end());
                Write(flood);
                break;
            }
        }
    }

    // A free mailbox counter for word reads ("0" from data byte 2), an empty
    // acknowledgement otherwise.
    static Bytes SaneAnswer(std::uint8_t number, const NativeCommand_t& command) {
        if (command.Type == NATIVE_READ_WORD) return EventPacket(number, Bytes{0, 0, '0', 0}, 4);
        return EventPacket(number, Bytes{}, 0);
    }
    static bool IsCounterWrite(const NativeCommand_t& command) {
        return command.Type == NATIVE_WRITE_WORD && GetLe32(command.Data.data()) == 1;
    }

    // 300 fragments of up to 247 bytes: more than the 65535 bytes claimed,
    // numbered out of order and wrapping past 255.
    void WriteOversizedCapture(std::uint8_t number) {
        std::vector<std::size_t> order(300);
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin() + 1, order.end(), random_);
        std::swap(order[0], order[1]);
        Bytes stream;
        for (std::size_t i = 0; i < order.size(); ++i) {
            const auto fragment = static_cast<std::uint8_t>(order[i]);
            const Bytes data = CaptureFragment(fragment, i + 1 < order.size(), fragment == 0 ? 239 : 247);
            const Bytes packet = EventPacket(number, data, static_cast<std::uint16_t>(data.size()));
            stream.insert(stream.end(), packet.begin(), packet.end());
        }
        Write(stream);
    }

    tbemu::Fd udp_;
    std::uint16_t port_ = 0;
    std::mutex lock_;
    tbemu::Fd tcp_;
    std::atomic<Mode> mode_{Mode::Silent};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mt19937 random_{20261207};  // used on the peer's thread, and by the test while it is quiet
};

class HostileDispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(peer_.Start(error)) << error;
        libraryPort_ = FreeTcpPort();
        ASSERT_NE(libraryPort_, 0);
        const std::string examples = testsupport::ExamplesDir();
        application_ = std::make_unique<ConsoleAppLogic>(peer_.CommandPort(), "127.0.0.1", libraryPort_,
                                                         examples + "/maps/mac.map", examples + "/maps/phy.map",
                                                         examples + "/definitions/list.txt");
        ASSERT_NE(application_->GetTrafficManager(), nullptr);
        application_->SetCommandTimeout(kCommandTimeoutMs);
        application_->SetInternalCommandTimeout(kInternalTimeoutMs);
    }

    static std::uint16_t FreeTcpPort() { return testsupport::FreeLoopbackTcpPort(); }

    bool ConnectPeer(const char* source = "127.0.0.1") {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (peer_.Connect(source, libraryPort_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Each command ends within its bound; a failure always carries a text.
    void HostCommandsAnswerInTime(const char* phase) {
        for (const char* line : {kNativeLine, kStatusLine, kCaptureLine}) {
            const bool native = line == kNativeLine;
            const auto started = Clock::now();
            const int rc = application_->HandleCommand(line);
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
            EXPECT_LE(elapsed, (native ? kCommandTimeoutMs : kConsoleBoundMs) + kSlackMs) << phase << ": " << line;
            EXPECT_TRUE(rc == 0 || rc == 1) << phase << ": " << line;
            if (rc != 0) {
                EXPECT_STRNE(application_->FailureMessage(), "") << phase << ": " << line;
            }
            EXPECT_LE(application_->ResultLength(), ConsoleAppLogic::kMaxResultLength);
            EXPECT_EQ(application_->GetCommandState(), ConsoleAppLogic::COMMAND_IDLE) << phase;
        }
    }

    testsupport::IsolatedRoot root_;
    HostilePeer peer_;
    std::uint16_t libraryPort_ = 0;
    std::unique_ptr<ConsoleAppLogic> application_;
};

TEST_F(HostileDispatcher, SurvivesEveryStreamAndWorksWhenTheDispatcherReturns) {
    ASSERT_TRUE(ConnectPeer());
    HostCommandsAnswerInTime("silent");  // warm-up: every path has run once
    const std::size_t residentBefore = ResidentKiB();
    const std::size_t descriptorsBefore = OpenDescriptors();

    const struct {
        HostilePeer::Mode mode;
        const char* name;
    } phases[] = {{HostilePeer::Mode::Garbage, "random bytes"},
                  {HostilePeer::Mode::MaxLength, "maximum lengths"},
                  {HostilePeer::Mode::Capture, "65535-byte capture, fragments out of order"},
                  {HostilePeer::Mode::Flood, "floods of 5000 packets"}};
    for (const auto& phase : phases) {
        // The stream has no delimiters: after bytes that are not whole
        // packets only a new connection brings the packets back in step.
        ASSERT_TRUE(ConnectPeer());
        peer_.SetMode(phase.mode);
        HostCommandsAnswerInTime(phase.name);
    }

    // Connections opened and closed in a loop, each leaving part of a packet,
    // every other one from a loopback address that is not the dispatcher's.
    peer_.SetMode(HostilePeer::Mode::Garbage);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ConnectPeer(i % 2 == 0 ? "127.0.0.1" : "127.0.0.2"));
        peer_.Write(peer_.RandomBytes(1 + static_cast<std::size_t>(i) * 5));
        peer_.Disconnect();
    }
    ASSERT_TRUE(ConnectPeer("127.0.0.2"));
    HostCommandsAnswerInTime("connection from 127.0.0.2");

    // Bounded: the queue holds at most 3000 packets, a capture at most 64 KiB.
    peer_.Stop();
    if (kResidentMemoryTells) {
        EXPECT_LT(ResidentKiB(), residentBefore + 16 * 1024);
    }
    // The peer's datagram socket and connection are gone, and so is the
    // library's end of that connection once it reads the close.
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (OpenDescriptors() > descriptorsBefore - 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(OpenDescriptors(), descriptorsBefore - 3);

    // The emulated dispatcher takes over the same ports and everything works.
    tbemu::EmulatorOptions options;
    options.commandPort = peer_.CommandPort();
    options.libraryPort = libraryPort_;
    options.definitionListFile = testsupport::ExamplesDir() + "/definitions/list.txt";
    tbemu::Emulator emulator(options);
    std::string error;
    ASSERT_TRUE(emulator.Start(error)) << error;
    application_->SetCommandTimeout(5000);
    application_->SetInternalCommandTimeout(1000);
    ASSERT_EQ(application_->HandleCommand("NATIVE_WRITE_WORD_CMD 0xBFC00100 0x12345678"), 0)
        << application_->FailureMessage();
    ASSERT_EQ(application_->HandleCommand(kNativeLine), 0) << application_->FailureMessage();
    EXPECT_EQ(application_->HandleCommand(kStatusLine), 0) << application_->FailureMessage();
    ASSERT_EQ(application_->HandleCommand(kCaptureLine), 0) << application_->FailureMessage();
    const auto* result = reinterpret_cast<const std::uint8_t*>(application_->ResultBuffer());
    EXPECT_EQ(Bytes(result, result + application_->ResultLength()), tbemu::CapturePattern(1000));
}

}  // namespace
