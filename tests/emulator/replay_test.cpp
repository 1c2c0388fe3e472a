// Captures read back and replayed: pcap and pcapng of every link type, the
// event stream reassembled, and what ends or refuses a replay.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator_test_support.h"
#include "packets.h"
#include "pcapwriter.h"
#include "replay.h"
#include "testsupport.h"

namespace emutest {
namespace {

std::string Le(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
}
std::string Be(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    return out;
}

// The link-layer header of each type this reader knows, before an IPv4 packet.
std::string LinkHeader(std::uint32_t linkType) {
    switch (linkType) {
        case 0: return Le(2, 4);                                        // BSD loopback, host order
        case 1: return std::string(12, '\0') + Be(0x0800, 2);           // Ethernet
        case 108: return Be(2, 4);                                      // OpenBSD loopback, network order
        case 113: return std::string(14, '\0') + Be(0x0800, 2);         // Linux cooked
        case 276: return Be(0x0800, 2) + std::string(18, '\0');         // Linux cooked v2
        default: return "";                                             // raw IPv4
    }
}

std::string Pcap(std::uint32_t linkType, const std::vector<std::string>& packets, bool big, bool nano) {
    const auto put = [big](std::uint32_t value, int bytes) { return big ? Be(value, bytes) : Le(value, bytes); };
    std::string file = put(nano ? 0xA1B23C4D : 0xA1B2C3D4, 4) + put(2, 2) + put(4, 2) + put(0, 4) + put(0, 4) +
                       put(65535, 4) + put(linkType, 4);
    std::uint32_t second = 100;
    for (const std::string& packet : packets) {
        const std::string frame = LinkHeader(linkType) + packet;
        const auto length = static_cast<std::uint32_t>(frame.size());
        file += put(second++, 4) + put(0, 4) + put(length, 4) + put(length, 4) + frame;
    }
    return file;
}

std::string Block(std::uint32_t type, const std::string& body) {
    std::string padded = body + std::string((4 - body.size() % 4) % 4, '\0');
    const auto length = static_cast<std::uint32_t>(padded.size() + 12);
    return Le(type, 4) + Le(length, 4) + padded + Le(length, 4);
}

// pcapng: a section, one interface with nanosecond stamps, an enhanced packet block each.
std::string Pcapng(std::uint32_t linkType, const std::vector<std::string>& packets) {
    std::string file = Block(0x0A0D0D0A, Le(0x1A2B3C4D, 4) + Le(1, 2) + Le(0, 2) + std::string(8, '\xff'));
    file += Block(1, Le(linkType, 2) + Le(0, 2) + Le(0, 4) + Le(9, 2) + Le(1, 2) + std::string(1, '\x09') +
                         std::string(3, '\0') + Le(0, 4));
    std::uint64_t stamp = 5000000000ull;
    for (const std::string& packet : packets) {
        const std::string frame = LinkHeader(linkType) + packet;
        const auto length = static_cast<std::uint32_t>(frame.size());
        file += Block(6, Le(0, 4) + Le(static_cast<std::uint32_t>(stamp >> 32), 4) +
                             Le(static_cast<std::uint32_t>(stamp), 4) + Le(length, 4) + Le(length, 4) + frame);
        stamp += 1000;
    }
    return file;
}

std::vector<std::uint8_t> Bytes8(const std::string& text) { return {text.begin(), text.end()}; }

std::string EventRecord(std::uint8_t rxNumber, const std::string& text) {
    ConsoleEventPacket_t event;
    event.Version = 1;
    event.RxCmdPacketNum = rxNumber;
    event.Length = static_cast<std::uint16_t>(text.size());
    std::copy(text.begin(), text.end(), event.Data.begin());
    const EventPacketBytes bytes = EncodeEventPacket(event);
    return std::string(bytes.begin(), bytes.end());
}

std::string CommandRecord(std::uint16_t type, std::uint32_t address, std::uint16_t length, std::uint8_t number) {
    NativeCommand_t command;
    command.Type = type;
    command.Address = address;
    command.Length = length;
    const NativePacketBytes bytes = EncodeNativePacket(command, number);
    return std::string(bytes.begin(), bytes.end());
}

// A recorded session, as the emulator's own capture writer lays it out: a
// system command, a word read (#7) whose answer comes in three pieces behind
// a stale one, and the event connection's handshake and close.
std::vector<std::string> RecordedIpv4Packets(const testsupport::TempDir& dir) {
    const std::string path = dir.Path() + "/session.pcap";
    const tbemu::Endpoint library{0x7F000001, 40000};
    const tbemu::Endpoint dispatcher{0x7F000001, 50000};
    const tbemu::Endpoint libraryEvents{0x7F000001, 41000};
    const std::string sync = CommandRecord(NATIVE_SYSTEM_COMMAND, 0, 0, 6);
    const std::string read = CommandRecord(NATIVE_READ_WORD, 0x10000040, 0, 7);
    const std::string stream = EventRecord(6, "STALE") + EventRecord(7, std::string("0x00001234") + '\0');
    {
        tbemu::PcapWriter writer;
        std::string error;
        EXPECT_TRUE(writer.Open(path, error)) << error;
        tbemu::TcpFlow flow{dispatcher, libraryEvents};
        writer.TcpOpened(flow);
        writer.Udp(library, dispatcher, reinterpret_cast<const std::uint8_t*>(sync.data()), sync.size());
        writer.Udp(library, dispatcher, reinterpret_cast<const std::uint8_t*>(read.data()), read.size());
        for (std::size_t at = 0; at < stream.size(); at += 400) {
            const std::string piece = stream.substr(at, 400);
            writer.TcpData(flow, true, reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
        }
        writer.TcpClosed(flow);
    }
    std::vector<std::string> packets;
    for (const std::string& frame : CaptureFrames(testsupport::ReadFile(path))) packets.push_back(frame.substr(14));
    return packets;
}

TEST(Replay, ReadsPcapAndPcapngOfEveryLinkTypeAndFindsThePorts) {
    testsupport::TempDir dir;
    const std::vector<std::string> packets = RecordedIpv4Packets(dir);
    struct Case {
        const char* name;
        std::string file;
    };
    const Case cases[] = {
        {"pcap, Ethernet", Pcap(1, packets, false, false)},
        {"pcap big-endian, nanoseconds, BSD loopback", Pcap(0, packets, true, true)},
        {"pcap, OpenBSD loopback", Pcap(108, packets, false, false)},
        {"pcap, Linux cooked", Pcap(113, packets, false, true)},
        {"pcapng, Linux cooked v2", Pcapng(276, packets)},
        {"pcapng, raw IPv4", Pcapng(101, packets)},
        {"pcapng, Ethernet", Pcapng(1, packets)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<tbemu::CapturedSegment> segments;
        std::string error;
        ASSERT_TRUE(tbemu::ParseCapture(Bytes8(test.file), segments, error)) << error;
        EXPECT_EQ(segments.size(), packets.size());
        const auto replay = tbemu::Replay::FromSegments(segments, {}, error);
        ASSERT_TRUE(replay) << error;
        EXPECT_EQ(replay->Ports().command, 50000);
        EXPECT_EQ(replay->Ports().library, 41000);
        ASSERT_EQ(replay->Script().size(), 1u);  // the system command takes no part
        const tbemu::RecordedExchange& read = replay->Script()[0];
        EXPECT_EQ(read.number, 7);
        EXPECT_EQ(read.type, NATIVE_READ_WORD);
        EXPECT_EQ(read.address, 0x10000040u);
        ASSERT_EQ(read.events.size(), 2u);
        EXPECT_EQ(read.events[1][4], 7);
    }
}

TEST(Replay, ReassemblesTheStreamOutOfOrderAndAnswersWithLiveNumbers) {
    const std::string read = CommandRecord(NATIVE_READ_WORD, 0x10000040, 0, 7);
    const std::string stream = EventRecord(6, "STALE") + EventRecord(7, "ok");
    const auto segment = [](bool tcp, std::uint32_t seq, std::uint8_t flags, const std::string& payload) {
        tbemu::CapturedSegment s;
        s.tcp = tcp;
        s.from = {0x7F000001, tcp ? std::uint16_t{50000} : std::uint16_t{40000}};
        s.to = {0x7F000001, tcp ? std::uint16_t{41000} : std::uint16_t{50000}};
        s.seq = seq;
        s.flags = flags;
        s.payload = Bytes8(payload);
        return s;
    };
    // The SYN, the command, then the stream's pieces out of order and one sent twice.
    const std::vector<tbemu::CapturedSegment> segments = {
        segment(true, 999, 0x02, ""), segment(false, 0, 0, read),
        segment(true, 1000 + 600, 0x18, stream.substr(600)), segment(true, 1000, 0x18, stream.substr(0, 300)),
        segment(true, 1000 + 300, 0x18, stream.substr(300, 300)), segment(true, 1000, 0x18, stream.substr(0, 300))};
    std::string error;
    auto replay = tbemu::Replay::FromSegments(segments, {50000, 41000}, error);
    ASSERT_TRUE(replay) << error;
    ASSERT_EQ(replay->Script().size(), 1u);
    ASSERT_EQ(replay->Script()[0].events.size(), 2u);

    NativeCommand_t live;
    live.Type = NATIVE_READ_WORD;
    live.Address = 0x10000040;
    const auto answer = replay->Answer(live, 42);
    ASSERT_TRUE(answer.has_value());
    // The stale answer keeps its distance from the command it came before.
    EXPECT_EQ((*answer)[0][4], 41);
    EXPECT_EQ((*answer)[1][4], 42);
    EXPECT_EQ(std::string((*answer)[1].begin() + 8, (*answer)[1].begin() + 10), "ok");
    EXPECT_TRUE(replay->Succeeded());

    EXPECT_FALSE(replay->Answer(live, 43).has_value());
    EXPECT_EQ(replay->Divergence(),
              "command 2 is past the end of the recording (1 commands): live NATIVE_READ_WORD_CMD address "
              "0x10000040 length 0 (#43)");
    EXPECT_FALSE(replay->Succeeded());
}

TEST(Replay, FirstDifferingCommandEndsTheReplay) {
    testsupport::TempDir dir;
    std::vector<tbemu::CapturedSegment> segments;
    std::string error;
    ASSERT_TRUE(tbemu::ParseCapture(Bytes8(Pcap(1, RecordedIpv4Packets(dir), false, false)), segments, error));
    auto replay = tbemu::Replay::FromSegments(segments, {}, error);
    ASSERT_TRUE(replay) << error;
    NativeCommand_t other;
    other.Type = NATIVE_READ_BUFFER;
    other.Address = 0x10000040;
    other.Length = 4;
    EXPECT_FALSE(replay->Answer(other, 3).has_value());
    EXPECT_EQ(replay->Status(),
              "played 0 of 1 recorded commands; diverged: command 1 of 1 differs: recorded NATIVE_READ_WORD_CMD "
              "address 0x10000040 length 0 (#7), live NATIVE_READ_BUFFER_CMD address 0x10000040 length 4 (#3)");
    other.Type = NATIVE_READ_WORD;
    other.Length = 0;
    EXPECT_FALSE(replay->Answer(other, 4).has_value()) << "no recorded answer after a divergence";
}

// A live command matches the recorded one in what it carries too, unless
// only the shape is asked for: the first differing byte is named.
TEST(Replay, ContentDeparturesAreCaughtUnlessOnlyTheShapeCounts) {
    NativeCommand_t recorded;
    recorded.Type = NATIVE_WRITE_WORD;
    recorded.Address = 0x10000040;
    recorded.Length = 4;
    recorded.Data[0] = 0xFE;
    recorded.Data[1] = 0xCA;
    const NativePacketBytes packet = EncodeNativePacket(recorded, 9);
    tbemu::CapturedSegment command;
    command.from = {0x7F000001, 40000};
    command.to = {0x7F000001, 50000};
    command.payload.assign(packet.begin(), packet.end());
    tbemu::CapturedSegment answer;
    answer.tcp = true;
    answer.from = {0x7F000001, 50000};
    answer.to = {0x7F000001, 41000};
    answer.seq = 1000;
    answer.payload = Bytes8(EventRecord(9, "OK"));
    tbemu::CapturedSegment handshake = answer;
    handshake.seq = 999;
    handshake.flags = 0x02;
    handshake.payload.clear();

    struct Case {
        const char* name;
        tbemu::ReplayMatch match;
        std::uint8_t firstByte;
        std::uint16_t additionalParam;
        const char* departure;  // empty: answered
    };
    const Case cases[] = {
        {"the same data", tbemu::ReplayMatch::kData, 0xFE, 0, ""},
        {"other data", tbemu::ReplayMatch::kData, 0xEF, 0,
         "command 1 of 1 differs: NATIVE_WRITE_WORD_CMD address 0x10000040 length 4 (#3): data byte 0 recorded "
         "0xfe, live 0xef (1 of 4 bytes differ)"},
        {"another additional parameter", tbemu::ReplayMatch::kData, 0xFE, 5,
         "command 1 of 1 differs: NATIVE_WRITE_WORD_CMD address 0x10000040 length 4 (#3): additional parameter "
         "recorded 0, live 5"},
        {"other data, shape only", tbemu::ReplayMatch::kShape, 0xEF, 5, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::string error;
        auto replay = tbemu::Replay::FromSegments({command, handshake, answer}, {50000, 41000}, error);
        ASSERT_TRUE(replay) << error;
        replay->SetMatch(test.match);
        NativeCommand_t live = recorded;
        live.Data[0] = test.firstByte;
        live.AdditionalParam = test.additionalParam;
        EXPECT_EQ(replay->Answer(live, 3).has_value(), std::string(test.departure).empty());
        EXPECT_EQ(replay->Divergence(), test.departure);
    }
}


TEST(Replay, RefusesWhatIsNotASession) {
    testsupport::TempDir dir;
    const std::vector<std::string> packets = RecordedIpv4Packets(dir);
    const std::string whole = Pcap(1, packets, false, false);
    struct Case {
        std::string file;
        const char* error;
    };
    const Case cases[] = {
        {"ab", "too short for a capture file"},
        {"hello, world", "not a pcap or pcapng file"},
        {whole.substr(0, 20), "the pcap file header is cut short"},
        {whole.substr(0, 30), "the capture ends inside a record header at byte 24"},
        {whole.substr(0, 24 + 16 + 10), "the capture ends inside a packet at byte 24"},
        {Pcapng(1, packets).substr(0, 28) + Le(6, 4) + Le(7, 4) + Le(0, 4), "has an impossible length"},
        {Pcap(1, {packets[0]}, false, false), "no command packets (524-byte datagrams of version 1) in the capture"},
        {Pcap(1, {packets[4]}, false, false), "no event stream"},
    };
    for (const Case& test : cases) {
        std::vector<tbemu::CapturedSegment> segments;
        std::string error;
        const bool parsed = tbemu::ParseCapture(Bytes8(test.file), segments, error);
        if (parsed) {
            EXPECT_FALSE(tbemu::Replay::FromSegments(segments, {}, error));
        }
        EXPECT_NE(error.find(test.error), std::string::npos) << "got: " << error << "\nexpected: " << test.error;
    }
}

}  // namespace
}  // namespace emutest
