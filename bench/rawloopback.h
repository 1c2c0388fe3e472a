// The raw loopback exchange the benchmarks measure the library against, and
// the traffic-manager helpers they share. Needs the emulator's socket helpers
// (a native Linux build with the tools).
#ifndef TERMBRIDGE_RAWLOOPBACK_H
#define TERMBRIDGE_RAWLOOPBACK_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "socketutil.h"
#include "trafficmanager.h"

namespace benchsupport {

constexpr std::size_t kCommandPacketBytes = 524;
constexpr std::size_t kEventPacketBytes = 520;

inline std::uint16_t FreeTcpPort() {
    std::string error;
    tbemu::Fd probe = tbemu::ListenTcp("127.0.0.1", 0, error);
    return probe.Valid() ? tbemu::LocalPort(probe.Get()) : 0;
}

// A dispatcher reduced to an echo: every 524-byte datagram is answered with
// one 520-byte record carrying the datagram's packet number, over a TCP
// connection the echo opened.
class Echo {
public:
    bool Bind(std::string& error) {
        udp_ = tbemu::BindUdp("127.0.0.1", 0, error);
        return udp_.Valid();
    }
    // Connects (retrying while the listener starts) and starts answering.
    bool Connect(std::uint16_t tcpPort, std::string& error) {
        for (int attempt = 0; attempt < 250 && !tcp_.Valid(); ++attempt) {
            tcp_ = tbemu::ConnectTcp("127.0.0.1", tcpPort, error);
            if (!tcp_.Valid()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!tcp_.Valid()) return false;
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    ~Echo() {
        stop_ = true;
        if (!thread_.joinable()) return;
        tbemu::Fd waker = tbemu::BindUdp("127.0.0.1", 0, wakeError_);
        std::uint8_t datagram[kCommandPacketBytes] = {};
        sockaddr_in to = Address(Port());
        ::sendto(waker.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        thread_.join();
    }
    std::uint16_t Port() const { return tbemu::LocalPort(udp_.Get()); }

    static sockaddr_in Address(std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return to;
    }

private:
    void Run() {
        std::uint8_t datagram[2048];
        std::uint8_t record[kEventPacketBytes] = {1, 0, 0, 0, 0, 0, 16, 0};
        for (;;) {
            const ssize_t got = ::recv(udp_.Get(), datagram, sizeof datagram, 0);
            if (stop_) return;
            if (got != static_cast<ssize_t>(kCommandPacketBytes)) continue;
            record[4] = datagram[1];  // RxCmdPacketNum = TxCmdPacketNum
            if (!tbemu::SendAll(tcp_.Get(), record, sizeof record)) return;
        }
    }

    tbemu::Fd udp_;
    tbemu::Fd tcp_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::string wakeError_;
};

// The raw exchange: this thread sends and reads; the echo answers.
class RawLoopback {
public:
    bool Open(std::string& error) {
        tbemu::Fd listener = tbemu::ListenTcp("127.0.0.1", 0, error);
        sender_ = tbemu::BindUdp("127.0.0.1", 0, error);
        if (!listener.Valid() || !sender_.Valid()) return false;
        if (!echo_.Bind(error) || !echo_.Connect(tbemu::LocalPort(listener.Get()), error)) return false;
        receiver_ = tbemu::Fd(::accept(listener.Get(), nullptr, nullptr));
        to_ = Echo::Address(echo_.Port());
        return receiver_.Valid();
    }

    bool RoundTrip() {
        std::uint8_t datagram[kCommandPacketBytes] = {};
        if (::sendto(sender_.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to_),
                     sizeof to_) != static_cast<ssize_t>(sizeof datagram)) {
            return false;
        }
        std::uint8_t record[kEventPacketBytes];
        for (std::size_t have = 0; have < sizeof record;) {
            const ssize_t got = ::recv(receiver_.Get(), record + have, sizeof record - have, 0);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    Echo echo_;
    tbemu::Fd sender_;
    tbemu::Fd receiver_;
    sockaddr_in to_{};
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
