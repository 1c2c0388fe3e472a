// Helpers shared by the emulator's tests: native commands as the library
// builds them, a small definition set, a client that plays the library over
// loopback sockets and the emulator started against it, a client of the
// control channel, and the frames of a capture file.
#ifndef TERMBRIDGE_EMULATOR_TEST_SUPPORT_H
#define TERMBRIDGE_EMULATOR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip.h"
#include "emulator.h"
#include "packets.h"
#include "socketutil.h"
#include "testsupport.h"

namespace emutest {

using tbemu::Bytes;
using tbemu::EmulatedChip;
using tbemu::Emulator;
using tbemu::Fd;

constexpr int kWaitMs = 5000;  // generous: only reached when something is broken

NativeCommand_t Command(std::uint16_t type, std::uint32_t address, const Bytes& data = {},
                        std::uint16_t length = 0xFFFF, std::uint16_t param = 0);
NativeCommand_t WriteWord(std::uint32_t address, std::uint32_t value);
Bytes Text(const std::string& text);
// The word value an answer carries as hexadecimal text from data offset 2.
std::uint32_t WordValue(const Bytes& answer);
Bytes Pattern(std::size_t length, std::uint8_t seed);

// A small definition set in two files found through a directory pattern.
class DefinitionSet {
public:
    DefinitionSet();
    const std::string& ListFile() const { return listFile_; }

private:
    testsupport::TempDir dir_;
    std::string listFile_;
};

// The tunnel packet the library sends for a PHY command, full form.
Bytes PhyTunnel(std::uint8_t opcode, std::uint8_t sequence, const Bytes& parameters);

// Plays the library: sends command packets over UDP and accepts the
// emulator's TCP connections, reading event packets from the newest one.
class FakeLibrary {
public:
    FakeLibrary() {
        std::string error;
        listener_ = tbemu::ListenTcp("127.0.0.1", 0, error);
        udp_ = tbemu::BindUdp("127.0.0.1", 0, error);
    }
    std::uint16_t ListenPort() const { return tbemu::LocalPort(listener_.Get()); }

    void SendRaw(const std::uint8_t* bytes, std::size_t length, std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(udp_.Get(), bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(length));
    }
    void Send(const NativeCommand_t& command, std::uint8_t packetNum, std::uint16_t port) {
        const NativePacketBytes packet = EncodeNativePacket(command, packetNum);
        SendRaw(packet.data(), packet.size(), port);
    }

    // Waits for the next connection and makes it the one events are read from.
    bool Accept(int timeoutMs = kWaitMs) {
        if (!Readable(listener_.Get(), timeoutMs)) return false;
        previous_ = std::move(connection_);
        connection_.Reset(::accept(listener_.Get(), nullptr, nullptr));
        return connection_.Valid();
    }

    // The next event packet, read across as many reads as it takes.
    std::optional<ConsoleEventPacket_t> NextEvent(int timeoutMs = kWaitMs) {
        if (!connection_.Valid() && !Accept(timeoutMs)) return std::nullopt;
        EventPacketBytes bytes{};
        std::size_t have = 0;
        while (have < bytes.size()) {
            if (!Readable(connection_.Get(), timeoutMs)) return std::nullopt;
            const ssize_t got = ::recv(connection_.Get(), bytes.data() + have, bytes.size() - have, 0);
            if (got <= 0) return std::nullopt;
            have += static_cast<std::size_t>(got);
        }
        return DecodeEventPacket(bytes.data());
    }

    // True when nothing arrives on the current connection within the time.
    bool Quiet(int milliseconds) { return !Readable(connection_.Get(), milliseconds); }
    // True when the given connection was closed by the emulator.
    static bool ClosedByPeer(const Fd& fd) {
        if (!Readable(fd.Get(), kWaitMs)) return false;
        char byte;
        return ::recv(fd.Get(), &byte, 1, 0) == 0;
    }
    const Fd& Current() const { return connection_; }
    const Fd& Previous() const { return previous_; }
    void CloseCurrent() { connection_.Reset(); }
    // Everything the current connection carries until its peer closes it.
    Bytes ReadToClose() {
        Bytes bytes;
        std::uint8_t buffer[4096];
        ssize_t got = 0;
        while (Readable(connection_.Get(), kWaitMs) && (got = ::recv(connection_.Get(), buffer, sizeof buffer, 0)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    // The peer's address of the current connection (host order).
    std::uint32_t PeerAddress() const { return tbemu::PeerEndpoint(connection_.Get()).address; }

private:
    static bool Readable(int fd, int timeoutMs) {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) == 1;
    }

    Fd listener_;
    Fd udp_;
    Fd connection_;
    Fd previous_;
};

class EmulatorOverSockets : public ::testing::Test {
protected:
    void SetUp() override {
        tbemu::EmulatorOptions options;
        options.libraryPort = library_.ListenPort();
        options.controlChannel = true;
        options.eepromSize = 256;
        Configure(options);
        emulator_ = std::make_unique<Emulator>(options);
        std::string error;
        ASSERT_TRUE(emulator_->Start(error)) << error;
    }

    // Sends a command and returns the data of its answer.
    Bytes RoundTrip(const NativeCommand_t& command) {
        const std::uint8_t number = next_++;
        library_.Send(command, number, emulator_->CommandPort());
        const auto event = library_.NextEvent();
        if (!event) {
            ADD_FAILURE() << "no answer to packet " << int(number);
            return {};
        }
        EXPECT_EQ(event->RxCmdPacketNum, number);
        EXPECT_LE(event->Length, kEventDataSize);
        return Bytes(event->Data.begin(), event->Data.begin() + std::min<std::size_t>(event->Length, 512));
    }

    virtual void Configure(tbemu::EmulatorOptions&) {}

    FakeLibrary library_;
    std::unique_ptr<Emulator> emulator_;
    std::uint8_t next_ = 250;  // the numbers wrap within the tests
};

class ControlClient {
public:
    explicit ControlClient(std::uint16_t port) {
        std::string error;
        fd_ = tbemu::ConnectTcp("127.0.0.1", port, error);
        // An emulator that does not answer ends the read with what came.
        const timeval limit{kWaitMs / 1000, 0};
        ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    std::string Ask(const std::string& line) {
        const std::string sent = line + "\n";
        if (!tbemu::SendAll(fd_.Get(), reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size())) {
            return "<send failed>";
        }
        std::string answer;
        char c;
        while (::recv(fd_.Get(), &c, 1, 0) == 1 && c != '\n') answer += c;
        return answer;
    }

private:
    Fd fd_;
};

// The frames of a capture file, after checking its header.
std::vector<std::string> CaptureFrames(const std::string& file);

}  // namespace emutest

#endif
