// A dispatcher played by the transport tests over loopback: receives native
// command packets on a UDP port, answers through a responder, and holds one
// TCP connection to the library's listener. Built on the library's own
// socket layer, so it runs wherever the tests run.
#ifndef TERMBRIDGE_TESTS_FAKEDISPATCHER_H
#define TERMBRIDGE_TESTS_FAKEDISPATCHER_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "packets.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace fake {

struct ReceivedCommand {
    std::size_t size = 0;  // datagram size
    std::uint8_t version = 0;
    std::uint8_t number = 0;
    NativeCommand_t command;
};

inline ConsoleEventPacket_t MakeEvent(std::uint8_t rxCmdPacketNum, const std::vector<std::uint8_t>& data,
                                      std::uint16_t sourceId = 4) {
    ConsoleEventPacket_t packet;
    packet.Version = 1;
    packet.Type = 2;
    packet.RxCmdPacketNum = rxCmdPacketNum;
    packet.SourceID = static_cast<std::uint8_t>(sourceId);
    packet.Length = static_cast<std::uint16_t>(data.size());
    std::copy(data.begin(), data.end(), packet.Data.begin());
    return packet;
}

// A port that was free a moment ago.
inline std::uint16_t FreeTcpPort() { return testsupport::FreeLoopbackTcpPort(); }

class Dispatcher {
public:
    using Responder = std::function<std::vector<ConsoleEventPacket_t>(const ReceivedCommand&)>;

    Dispatcher() {
        platform::StartSocketLibrary();
        udp_.Open();
        udp_.Bind(platform::kLoopbackAddress, 0);
        udp_.WatchReadable();
        worker_ = std::thread([this] { Run(); });
    }
    ~Dispatcher() {
        stop_.Set();
        worker_.join();
        Disconnect();
        udp_.Close();
        platform::StopSocketLibrary();
    }
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    std::uint16_t CommandPort() const { return udp_.LocalPort(); }

    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> guard(lock_);
        responder_ = std::move(responder);
    }

    // Connects to the library, retrying while its listener starts up; a
    // failure is the test's, with the port.
    bool Connect(std::uint16_t libraryPort, int timeoutMs = 5000) {
        auto connection = std::make_shared<platform::TcpConnection>();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!connection->Connect(platform::kLoopbackAddress, libraryPort, platform::kConnectTimeoutMs)) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the library's listener on port " << libraryPort << " took no connection within "
                              << timeoutMs << " ms";
                return false;
            }
            platform::SleepMs(20);
        }
        std::lock_guard<std::mutex> guard(lock_);
        connection_ = connection;
        return true;
    }

    void Disconnect() {
        std::lock_guard<std::mutex> guard(lock_);
        if (connection_) connection_->Shutdown();
        connection_.reset();
    }

    // The current connection, for tests that watch it being closed.
    std::shared_ptr<platform::TcpConnection> Connection() {
        std::lock_guard<std::mutex> guard(lock_);
        return connection_;
    }

    bool SendBytes(const std::uint8_t* bytes, std::size_t length) {
        std::lock_guard<std::mutex> guard(lock_);
        return connection_ && connection_->Send(bytes, length) == static_cast<int>(length);
    }
    bool SendEvent(const ConsoleEventPacket_t& packet) {
        const EventPacketBytes bytes = EncodeEventPacket(packet);
        return SendBytes(bytes.data(), bytes.size());
    }

    std::vector<ReceivedCommand> Commands() {
        std::lock_guard<std::mutex> guard(lock_);
        return commands_;
    }
    // A failure is the test's, with what came.
    bool WaitForCommands(std::size_t count, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> guard(lock_);
        if (arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return commands_.size() >= count; })) {
            return true;
        }
        ADD_FAILURE() << "the dispatcher received " << commands_.size() << " of " << count << " command packets within "
                      << timeoutMs << " ms";
        return false;
    }

private:
    void Run() {
        for (;;) {
            const int woken = platform::WaitForAny({udp_, stop_}, -1);
            if (woken != 0) return;
            udp_.ResetReadable();
            std::uint8_t datagram[1024];
            int size = 0;
            while ((size = udp_.ReceiveFrom(datagram, sizeof datagram)) > 0) {
                Answer(datagram, static_cast<std::size_t>(size));
            }
        }
    }

    void Answer(const std::uint8_t* datagram, std::size_t size) {
        ReceivedCommand received;
        received.size = size;
        DecodeNativePacket(datagram, size, received.version, received.number, received.command);
        Responder responder;
        {
            std::lock_guard<std::mutex> guard(lock_);
            commands_.push_back(received);
            responder = responder_;
        }
        arrived_.notify_all();
        if (!responder) return;
        for (const ConsoleEventPacket_t& event : responder(received)) SendEvent(event);
    }

    platform::UdpSocket udp_;
    platform::WaitEvent stop_{true, false};
    std::mutex lock_;
    std::condition_variable arrived_;
    Responder responder_;
    std::shared_ptr<platform::TcpConnection> connection_;
    std::vector<ReceivedCommand> commands_;
    std::thread worker_;
};

// Waits until the peer closed the connection (a read reports the close).
inline bool PeerClosed(platform::TcpConnection& connection, int timeoutMs) {
    connection.WatchReadable();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t scratch[1024];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (platform::WaitForAny({connection}, static_cast<int>(left.count())) != 0) return false;
        connection.ResetReadable();
        const int received = connection.Receive(scratch, sizeof scratch);
        if (received == platform::kSocketClosed || received == platform::kSocketError) return true;
    }
}

}  // namespace fake

#endif
