// The raw loopback round trip the benchmarks measure the library against:
// one command-packet-sized UDP datagram out, one event-packet-sized TCP
// record back, strictly in turn, with plain sockets and a plain echo thread
// (no library code). Needs the emulator's socket helpers.
#ifndef TERMBRIDGE_RAWLOOPBACK_H
#define TERMBRIDGE_RAWLOOPBACK_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

#include "socketutil.h"

namespace benchsupport {

constexpr std::size_t kCommandPacketBytes = 524;
constexpr std::size_t kEventPacketBytes = 520;

// A TCP port nobody listens on at the moment.
inline std::uint16_t FreeTcpPort() {
    std::string error;
    tbemu::Fd probe = tbemu::ListenTcp("127.0.0.1", 0, error);
    return probe.Valid() ? tbemu::LocalPort(probe.Get()) : 0;
}

// The raw loopback exchange: a UDP datagram of a command packet's size to an
// echo thread, which answers with one event-packet-sized record on a TCP
// connection it opened to us, as the dispatcher does.
class RawLoopback {
public:
    bool Open(std::string& error) {
        tbemu::Fd listener = tbemu::ListenTcp("127.0.0.1", 0, error);
        echoUdp_ = tbemu::BindUdp("127.0.0.1", 0, error);
        sender_ = tbemu::BindUdp("127.0.0.1", 0, error);
        if (!listener.Valid() || !echoUdp_.Valid() || !sender_.Valid()) return false;
        echoTcp_ = tbemu::ConnectTcp("127.0.0.1", tbemu::LocalPort(listener.Get()), error);
        if (!echoTcp_.Valid()) return false;
        receiver_ = tbemu::Fd(::accept(listener.Get(), nullptr, nullptr));
        if (!receiver_.Valid()) {
            error = "accept: " + tbemu::ErrnoText();
            return false;
        }
        to_.sin_family = AF_INET;
        to_.sin_port = htons(tbemu::LocalPort(echoUdp_.Get()));
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        echo_ = std::thread([this] { Echo(); });
        return true;
    }

    ~RawLoopback() {
        stop_ = true;
        if (echo_.joinable()) {
            // One more datagram wakes the echo thread; it sees the stop and ends.
            std::uint8_t datagram[kCommandPacketBytes] = {};
            ::sendto(sender_.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to_),
                     sizeof to_);
            echo_.join();
        }
    }

    // One round trip; false when a send or receive fails.
    bool RoundTrip() {
        std::uint8_t datagram[kCommandPacketBytes] = {};
        if (::sendto(sender_.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to_),
                     sizeof to_) != static_cast<ssize_t>(sizeof datagram)) {
            return false;
        }
        std::uint8_t record[kEventPacketBytes];
        std::size_t have = 0;
        while (have < sizeof record) {
            const ssize_t got = ::recv(receiver_.Get(), record + have, sizeof record - have, 0);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    void Echo() {
        std::uint8_t datagram[2048];
        std::uint8_t record[kEventPacketBytes] = {};
        for (;;) {
            const ssize_t got = ::recv(echoUdp_.Get(), datagram, sizeof datagram, 0);
            if (stop_) return;
            if (got != static_cast<ssize_t>(kCommandPacketBytes)) continue;
            if (!tbemu::SendAll(echoTcp_.Get(), record, sizeof record)) return;
        }
    }

    tbemu::Fd echoUdp_;
    tbemu::Fd echoTcp_;
    tbemu::Fd sender_;
    tbemu::Fd receiver_;
    sockaddr_in to_{};
    std::thread echo_;
    std::atomic<bool> stop_{false};
};

}  // namespace benchsupport

#endif
