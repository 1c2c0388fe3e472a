// The capture file the emulator writes: valid IPv4, UDP and TCP frames.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator_test_support.h"
#include "pcapwriter.h"
#include "testsupport.h"

namespace emutest {
namespace {

std::uint32_t Big(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}
// The ones' complement sum of a checksummed range: 0xFFFF when the checksum in it is right.
std::uint32_t OnesSum(const std::string& bytes, std::size_t at, std::size_t length, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i < length; i += 2) {
        sum += i + 1 < length ? Big(bytes, at + i, 2) : Big(bytes, at + i, 1) << 8;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

TEST(PcapWriter, FramesCarryValidIpv4UdpAndTcpWithRunningSequenceNumbers) {
    testsupport::TempDir dir;
    const std::string path = dir.Path() + "/capture.pcap";
    const tbemu::Endpoint library{0x7F000001, 40000};
    const tbemu::Endpoint dispatcher{0x7F000001, 50000};
    const std::vector<std::uint8_t> command(kNativePacketSize, 0x5A);
    const std::vector<std::uint8_t> events(3 * kEventPacketSize, 0xA5);
    {
        tbemu::PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, error)) << error;
        writer.Udp(library, dispatcher, command.data(), command.size());
        tbemu::TcpFlow flow{dispatcher, library};
        writer.TcpOpened(flow);
        writer.TcpData(flow, true, events.data(), kEventPacketSize);
        writer.TcpData(flow, true, events.data(), 2 * kEventPacketSize);
        writer.TcpClosed(flow);
    }
    const std::vector<std::string> frames = CaptureFrames(testsupport::ReadFile(path));
    ASSERT_EQ(frames.size(), 1u + 3 + 2 + 3);

    const std::size_t ip = 14;
    for (const std::string& frame : frames) {
        ASSERT_EQ(Big(frame, 12, 2), 0x0800u);
        EXPECT_EQ(OnesSum(frame, ip, 20), 0xFFFFu);             // IPv4 header checksum
        EXPECT_EQ(Big(frame, ip + 2, 2), frame.size() - ip);     // total length
        const std::size_t transport = frame.size() - ip - 20;
        const std::uint32_t pseudo = 2 * (0x7F00 + 0x0001) + Big(frame, ip + 9, 1) + static_cast<std::uint32_t>(transport);
        EXPECT_EQ(OnesSum(frame, ip + 20, transport, pseudo), 0xFFFFu);  // UDP or TCP checksum
    }
    const std::string& udp = frames[0];
    EXPECT_EQ(Big(udp, ip + 9, 1), 17u);
    EXPECT_EQ(Big(udp, ip + 20, 2), 40000u);
    EXPECT_EQ(Big(udp, ip + 22, 2), 50000u);
    EXPECT_EQ(udp.substr(ip + 28), std::string(command.begin(), command.end()));

    // SYN, SYN+ACK, ACK; then the data continues from the SYN's number plus one.
    const std::size_t tcp = ip + 20;
    const std::uint32_t isn = Big(frames[1], tcp + 4, 4);
    EXPECT_EQ(Big(frames[1], tcp + 13, 1), 0x02u);
    EXPECT_EQ(Big(frames[2], tcp + 13, 1), 0x12u);
    EXPECT_EQ(Big(frames[2], tcp + 8, 4), isn + 1);
    EXPECT_EQ(Big(frames[4], tcp + 4, 4), isn + 1);
    EXPECT_EQ(Big(frames[5], tcp + 4, 4), isn + 1 + kEventPacketSize);
    EXPECT_EQ(frames[5].size() - tcp - 20, 2 * kEventPacketSize);
    EXPECT_EQ(Big(frames[6], tcp + 13, 1), 0x11u);  // FIN+ACK from the emulator's side first
    EXPECT_EQ(Big(frames[6], tcp + 4, 4), isn + 1 + 3 * kEventPacketSize);
}

}  // namespace
}  // namespace emutest
