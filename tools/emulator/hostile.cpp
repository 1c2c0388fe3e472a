#include "hostile.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "socketutil.h"

namespace tbemu {

namespace {

constexpr std::size_t kFloodCopies = 5000;  // the library's queue keeps at most 3000
constexpr std::size_t kCaptureFragments = 300;
// PHYC_CAPTURE_DATA_EVT of the example definition set.
constexpr std::uint8_t kCaptureEvent = 0x41;
constexpr std::uint8_t kChipSource = 4;

void AppendPacket(Bytes& stream, std::uint8_t rxNum, const Bytes& data, std::uint16_t length) {
    ConsoleEventPacket_t packet;
    packet.Version = 1;
    packet.RxCmdPacketNum = rxNum;
    packet.SourceID = kChipSource;
    packet.Length = length;
    std::copy_n(data.begin(), std::min(data.size(), packet.Data.size()), packet.Data.begin());
    const EventPacketBytes bytes = EncodeEventPacket(packet);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

Bytes RandomBytes(std::size_t count, std::mt19937& random) {
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

// A free mailbox counter for word reads ("0" from data byte 2), an empty
// acknowledgement for everything else.
void AppendSaneAnswer(Bytes& stream, std::uint8_t packetNum, const NativeCommand_t& command) {
    if (command.Type == NATIVE_READ_WORD) {
        AppendPacket(stream, packetNum, Bytes{0, 0, '0', 0}, 4);
    } else {
        AppendPacket(stream, packetNum, Bytes{}, 0);
    }
}

// The word write of 1 that hands a command to the chip.
bool IsCounterWrite(const NativeCommand_t& command) {
    return command.Type == NATIVE_WRITE_WORD && GetLe32(command.Data.data()) == 1;
}

// One capture fragment: its number, whether more follow, captured bytes; the
// first claims the largest total a capture can.
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
        PutBe16(&data[EventHeader::kPayload], 0xFFFF);
        PutBe32(&data[EventHeader::kPayload + 4], 0xBF560000);
    }
    return data;
}

// 300 fragments of up to 247 bytes, more than the 65535 bytes claimed,
// shuffled (fragment 0 second) and numbered past 255.
void AppendOversizedCapture(Bytes& stream, std::uint8_t packetNum, std::mt19937& random) {
    std::vector<std::size_t> order(kCaptureFragments);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin() + 1, order.end(), random);
    std::swap(order[0], order[1]);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto number = static_cast<std::uint8_t>(order[i]);
        const Bytes data = CaptureFragment(number, i + 1 < order.size(), number == 0 ? 239 : 247);
        AppendPacket(stream, packetNum, data, static_cast<std::uint16_t>(data.size()));
    }
}

// Connects again at once when a handshake goes unanswered: the library takes
// connections more slowly than they come, its backlog fills and the system
// drops the handshakes that find it full, then tries again only after a
// second. A library that takes none for a second is not churned further.
Fd ConnectPromptly(const std::string& address, std::uint16_t port, const std::string& source, std::string& error) {
    constexpr int kAttempts = 10;
    constexpr int kAttemptMs = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd connection = ConnectTcp(address, port, error, source, kAttemptMs);
        if (connection.Valid()) return connection;
    }
    return Fd();
}

}  // namespace

bool HostileModeFromName(const std::string& name, HostileMode& mode) {
    static const struct {
        const char* name;
        HostileMode mode;
    } kModes[] = {{"off", HostileMode::Off},           {"silent", HostileMode::Silent},
                  {"garbage", HostileMode::Garbage},   {"max-length", HostileMode::MaxLength},
                  {"capture", HostileMode::Capture},   {"flood", HostileMode::Flood}};
    for (const auto& entry : kModes) {
        if (name == entry.name) {
            mode = entry.mode;
            return true;
        }
    }
    return false;
}

Bytes HostileAnswer(HostileMode mode, std::uint8_t packetNum, const NativeCommand_t& command,
                    std::mt19937& random) {
    Bytes stream;
    switch (mode) {
        case HostileMode::Off:
        case HostileMode::Silent:
            break;
        case HostileMode::Garbage:
            stream = RandomBytes(1 + random() % 4000, random);
            break;
        case HostileMode::MaxLength:
            AppendPacket(stream, packetNum, Bytes(kEventDataSize, 0xFF), 0xFFFF);
            AppendPacket(stream, packetNum, Bytes(kEventDataSize, 0xFF), kEventDataSize);
            break;
        case HostileMode::Capture:
            AppendSaneAnswer(stream, packetNum, command);
            if (IsCounterWrite(command)) AppendOversizedCapture(stream, packetNum, random);
            break;
        case HostileMode::Flood: {
            Bytes one;
            AppendSaneAnswer(one, packetNum, command);
            stream.reserve(one.size() * kFloodCopies);
            for (std::size_t i = 0; i < kFloodCopies; ++i) stream.insert(stream.end(), one.begin(), one.end());
            break;
        }
    }
    return stream;
}

bool ChurnConnections(const std::string& address, std::uint16_t port, int count, const std::string& otherSource,
                      std::string& error) {
    std::mt19937 random(static_cast<std::uint32_t>(count));
    for (int i = 0; i < count; ++i) {
        Fd connection = ConnectPromptly(address, port, i % 2 == 0 ? std::string() : otherSource, error);
        if (!connection.Valid()) {
            error = "connection " + std::to_string(i + 1) + " of " + std::to_string(count) +
                    " was not taken within a second: " + error;
            return false;
        }
        const Bytes piece = RandomBytes(1 + static_cast<std::size_t>(i) * 5, random);
        SendAll(connection.Get(), piece.data(), piece.size());
    }
    return true;
}

}  // namespace tbemu
