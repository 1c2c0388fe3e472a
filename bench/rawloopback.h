// The raw loopback exchange the benchmarks measure the library against, and
// the traffic-manager helpers they share. Built on the library's OS layer
// only, so it serves the Windows build as well.
#ifndef TERMBRIDGE_RAWLOOPBACK_H
#define TERMBRIDGE_RAWLOOPBACK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "benchsupport.h"

#include "platform/net.h"
#include "packets.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "trafficmanager.h"

namespace benchsupport {

constexpr std::size_t kCommandPacketBytes = 524;
constexpr std::size_t kEventPacketBytes = 520;

// Where the host thread and the far end (the echoes, the emulator) run;
// -1 leaves a side to the scheduler.
struct Placement {
    const char* label;
    int hostProcessor;
    int farEndProcessor;
};

constexpr Placement kSplit{"two processors, far end on the other one", 0, 1};
constexpr Placement kTogether{"two processors, far end beside the host", 0, 0};
constexpr Placement kFree{"all processors, placement left to the scheduler", -1, -1};
constexpr Placement kOneProcessor{"on one processor", -1, -1};

// The two placements a load-like benchmark measures, each in a fresh
// process of its own: the first start runs the program again as
// `program --split value` (with two processors or more) and
// `program --pinned value`; those runs call run(placement). The exit code
// of the first failing run, else 0.
template <typename Run>
int RunInPlacements(const char* program, const Invocation& invocation, const std::string& value, Run run) {
    if (invocation.mode == "--split") return run(kSplit);
    if (invocation.mode == "--pinned") {
        if (!platform::PinToFirstProcessor()) std::printf("(could not pin to the first processor)\n");
        return run(kOneProcessor);
    }
    const int split = platform::UsableProcessorCount() >= 2 ? RunAgain(program, "--split", value) : 0;
    const int pinned = RunAgain(program, "--pinned", value);
    return split != 0 ? split : pinned;
}

// The socket library (Winsock) for as long as the holder lives.
class SocketLibraryUse {
public:
    SocketLibraryUse() : started_(platform::StartSocketLibrary() == 0) {}
    ~SocketLibraryUse() {
        if (started_) platform::StopSocketLibrary();
    }
    SocketLibraryUse(const SocketLibraryUse&) = delete;
    SocketLibraryUse& operator=(const SocketLibraryUse&) = delete;

private:
    bool started_;
};

// A free TCP port on the loopback interface (0 when none could be had).
inline std::uint16_t FreeTcpPort() {
    const SocketLibraryUse sockets;
    platform::TcpListener probe;
    if (!probe.Open() || !probe.Bind(platform::kLoopbackAddress, 0)) return 0;
    return probe.LocalPort();
}

// A dispatcher reduced to an echo: every 524-byte datagram is answered with
// one 520-byte record carrying its packet number, over a TCP connection the
// echo opens to the given port. `processor` (-1: any) is where its thread
// runs.
class Echo {
public:
    explicit Echo(int processor = -1) : processor_(processor) {
        udp_.Open();
        udp_.Bind(platform::kLoopbackAddress, 0);
        udp_.WatchReadable();
        port_ = udp_.LocalPort();
    }
    ~Echo() {
        stop_.Set();
        if (thread_.joinable()) thread_.join();
    }
    Echo(const Echo&) = delete;
    Echo& operator=(const Echo&) = delete;

    // Kept, so that the raw round trip asks the system nothing it would not
    // ask in a real exchange. 0 when the socket could not be bound.
    std::uint16_t Port() const { return port_; }

    // Connects (retrying while the listener starts) and starts answering.
    bool Connect(std::uint16_t tcpPort) {
        for (int attempt = 0; attempt < 250 && port_ != 0; ++attempt) {
            if (tcp_.Connect(platform::kLoopbackAddress, tcpPort)) {
                thread_ = std::thread([this] { Run(); });
                metered_.Wait(-1);
                return true;
            }
            platform::SleepMs(20);
        }
        return false;
    }

    // What the echo's thread has used, once Connect succeeded: benchmarks
    // take it off the process's figures to leave the host side's.
    const platform::ThreadMeter& Meter() const { return *meter_; }

private:
    void Run() {
        meter_ = platform::MeterCurrentThread();
        metered_.Set();
        if (processor_ >= 0) platform::PinCurrentThreadToProcessor(processor_);
        std::uint8_t datagram[2048];
        std::uint8_t record[kEventPacketBytes] = {1, 0, 0, 0, 0, 0, 16, 0};
        while (platform::WaitForAny({udp_, stop_}, -1) == 0) {
            udp_.ResetReadable();
            int got = 0;
            while ((got = udp_.ReceiveFrom(datagram, sizeof datagram)) > 0) {
                if (got != static_cast<int>(kCommandPacketBytes)) continue;
                record[4] = datagram[1];  // RxCmdPacketNum = TxCmdPacketNum
                if (tcp_.Send(record, sizeof record) != static_cast<int>(sizeof record)) return;
            }
        }
    }

    SocketLibraryUse sockets_;  // first in, last out
    int processor_;
    platform::UdpSocket udp_;
    std::uint16_t port_ = 0;
    platform::TcpConnection tcp_;
    platform::WaitEvent stop_{true, false};
    platform::WaitEvent metered_{true, false};
    std::unique_ptr<platform::ThreadMeter> meter_;
    std::thread thread_;
};

// Reads one whole event record from the connection, as the stream brings it.
inline bool ReadRecord(platform::TcpConnection& connection, std::uint8_t (&record)[kEventPacketBytes]) {
    for (std::size_t have = 0; have < sizeof record;) {
        if (platform::WaitForAny({connection}, 5000) != 0) return false;
        connection.ResetReadable();
        const int got = connection.Receive(record + have, sizeof record - have);
        if (got == platform::kSocketWouldBlock) continue;
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
    }
    return true;
}

// The raw exchange: this thread sends and reads; the echo answers.
class RawLoopback {
public:
    explicit RawLoopback(int farEndProcessor = -1) : echo_(farEndProcessor) {}

    bool Open() {
        if (!listener_.Open() || !listener_.Bind(platform::kLoopbackAddress, 0) || !listener_.Listen(1)) return false;
        if (!sender_.Open() || !sender_.Bind(platform::kLoopbackAddress, 0)) return false;
        if (!echo_.Connect(listener_.LocalPort())) return false;
        if (listener_.Accept(receiver_) != platform::AcceptResult::kAccepted) return false;
        return receiver_.WatchReadable() == platform::WatchResult::kOk;
    }

    bool RoundTrip() { return Send() && Receive(); }

    // The round trip's two halves, for a caller that works between them.
    bool Send() {
        std::uint8_t datagram[kCommandPacketBytes] = {};
        return sender_.SendTo(datagram, sizeof datagram, platform::kLoopbackAddress, echo_.Port()) ==
               static_cast<int>(sizeof datagram);
    }
    bool Receive() {
        std::uint8_t record[kEventPacketBytes];
        return ReadRecord(receiver_, record);
    }

    const platform::ThreadMeter& FarEndMeter() const { return echo_.Meter(); }

private:
    SocketLibraryUse sockets_;  // first in, last out
    Echo echo_;
    platform::TcpListener listener_;
    platform::UdpSocket sender_;
    platform::TcpConnection receiver_;
};

// The raw exchange against a dispatcher rather than an echo: this thread
// sends real native command packets to `commandPort` and reads each answer
// from the connection the dispatcher opens to Port(). It does only the socket
// work a host must do (one 524-byte datagram out, one 520-byte record back),
// so against the same kind of far end, in the same placement, its round trip
// is the bound of the library's.
class RawDispatcherExchange {
public:
    // Listens first (on `port`, or any free one): the dispatcher is then
    // told this port.
    bool Listen(std::uint16_t port = 0) {
        return listener_.Open() && listener_.Bind(platform::kLoopbackAddress, port) && listener_.Listen(1) &&
               sender_.Open() && sender_.Bind(platform::kLoopbackAddress, 0);
    }
    std::uint16_t Port() const { return listener_.LocalPort(); }
    // False when the dispatcher has not connected within 10 s.
    bool Accept(std::uint16_t commandPort) {
        commandPort_ = commandPort;
        if (listener_.WatchAccept() != platform::WatchResult::kOk) return false;
        if (platform::WaitForAny({listener_}, 10000) != 0) return false;
        if (listener_.Accept(receiver_) != platform::AcceptResult::kAccepted) return false;
        return receiver_.WatchReadable() == platform::WatchResult::kOk;
    }

    // One command and its answer, numbered as a packet handler numbers them.
    bool RoundTrip(const NativeCommand_t& command) { return Send(command) && Receive(); }

    // The round trip's two halves, for a caller that works between them.
    bool Send(const NativeCommand_t& command) {
        sentNumber_ = next_++;
        const NativePacketBytes packet = EncodeNativePacket(command, sentNumber_);
        return sender_.SendTo(packet.data(), packet.size(), platform::kLoopbackAddress, commandPort_) ==
               static_cast<int>(packet.size());
    }
    bool Receive() {
        std::uint8_t record[kEventPacketBytes];
        return ReadRecord(receiver_, record) && record[4] == sentNumber_;
    }

private:
    SocketLibraryUse sockets_;  // first in, last out
    platform::TcpListener listener_;
    platform::UdpSocket sender_;
    platform::TcpConnection receiver_;
    std::uint16_t commandPort_ = 0;
    std::uint8_t next_ = 0;
    std::uint8_t sentNumber_ = 0;
};

// Retries until the far end's connection is up and answers.
inline bool WaitUntilAnswering(TrafficManager& traffic) {
    traffic.SetInternalTimeout(100);
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
        traffic.SetInternalOperation(true);
        answered = traffic.ReadWord(0xBFC00000);
    }
    traffic.SetInternalOperation(true);
    traffic.SetInternalTimeout(5000);
    return answered;
}

}  // namespace benchsupport

#endif
