#include "pcapwriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tbemu {

namespace {
constexpr std::uint32_t kLinkTypeEthernet = 1;
constexpr std::uint32_t kSnapLength = 262144;
constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpHeader = 20;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;
// Larger stream writes are cut into segments that fit one IPv4 packet.
constexpr std::size_t kMaxSegment = 65000;

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kPush = 0x08;
constexpr std::uint8_t kAck = 0x10;

void PutLittle32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}
void PutLittle16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void PutBig16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}
void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    PutBig16(out, value >> 16);
    PutBig16(out, value & 0xFFFF);
}
void SetBig16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

// The Internet checksum: the ones' complement of the ones' complement sum.
std::uint16_t Checksum(std::uint32_t sum, const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (length % 2 != 0) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint32_t PseudoHeaderSum(const Endpoint& from, const Endpoint& to, std::uint8_t protocol, std::size_t length) {
    return (from.address >> 16) + (from.address & 0xFFFF) + (to.address >> 16) + (to.address & 0xFFFF) + protocol +
           static_cast<std::uint32_t>(length);
}
}  // namespace

bool PcapWriter::Open(const std::string& path, std::string& error) {
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) {
        error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return false;
    }
    Bytes header;
    PutLittle32(header, 0xA1B2C3D4);  // microsecond time stamps
    PutLittle16(header, 2);
    PutLittle16(header, 4);
    PutLittle32(header, 0);  // time zone
    PutLittle32(header, 0);  // accuracy
    PutLittle32(header, kSnapLength);
    PutLittle32(header, kLinkTypeEthernet);
    std::fwrite(header.data(), 1, header.size(), file_.get());
    std::fflush(file_.get());
    return true;
}

void PcapWriter::Udp(const Endpoint& from, const Endpoint& to, const std::uint8_t* data, std::size_t length) {
    if (!file_) return;
    length = std::min(length, kMaxSegment);
    Bytes udp;
    PutBig16(udp, from.port);
    PutBig16(udp, to.port);
    PutBig16(udp, static_cast<std::uint32_t>(kUdpHeader + length));
    PutBig16(udp, 0);
    udp.insert(udp.end(), data, data + length);
    std::uint16_t checksum = Checksum(PseudoHeaderSum(from, to, kProtocolUdp, udp.size()), udp.data(), udp.size());
    SetBig16(udp, 6, checksum == 0 ? 0xFFFF : checksum);
    WriteIpv4(kProtocolUdp, from, to, udp);
}

void PcapWriter::TcpOpened(TcpFlow& flow) {
    flow.clientSeq = nextIsn_;
    flow.serverSeq = nextIsn_ + 0x10000;
    nextIsn_ += 0x20000;
    flow.open = true;
    TcpSegment(flow, true, kSyn, nullptr, 0);
    TcpSegment(flow, false, kSyn | kAck, nullptr, 0);
    TcpSegment(flow, true, kAck, nullptr, 0);
}

void PcapWriter::TcpData(TcpFlow& flow, bool fromClient, const std::uint8_t* data, std::size_t length) {
    for (std::size_t at = 0; at < length; at += kMaxSegment) {
        TcpSegment(flow, fromClient, kPush | kAck, data + at, std::min(kMaxSegment, length - at));
    }
}

void PcapWriter::TcpClosed(TcpFlow& flow) {
    if (!flow.open) return;
    TcpSegment(flow, true, kFin | kAck, nullptr, 0);
    TcpSegment(flow, false, kFin | kAck, nullptr, 0);
    TcpSegment(flow, true, kAck, nullptr, 0);
    flow.open = false;
}

void PcapWriter::TcpSegment(TcpFlow& flow, bool fromClient, std::uint8_t flags, const std::uint8_t* data,
                            std::size_t length) {
    std::uint32_t& seq = fromClient ? flow.clientSeq : flow.serverSeq;
    const std::uint32_t ack = fromClient ? flow.serverSeq : flow.clientSeq;
    const Endpoint& from = fromClient ? flow.client : flow.server;
    const Endpoint& to = fromClient ? flow.server : flow.client;
    Bytes tcp;
    PutBig16(tcp, from.port);
    PutBig16(tcp, to.port);
    PutBig32(tcp, seq);
    PutBig32(tcp, (flags & kAck) != 0 ? ack : 0);
    tcp.push_back(static_cast<std::uint8_t>((kTcpHeader / 4) << 4));
    tcp.push_back(flags);
    PutBig16(tcp, 0xFFFF);  // window
    PutBig16(tcp, 0);       // checksum, below
    PutBig16(tcp, 0);       // urgent pointer
    if (length > 0) tcp.insert(tcp.end(), data, data + length);
    SetBig16(tcp, 16, Checksum(PseudoHeaderSum(from, to, kProtocolTcp, tcp.size()), tcp.data(), tcp.size()));
    // SYN and FIN take one sequence number each.
    seq += static_cast<std::uint32_t>(length) + ((flags & (kSyn | kFin)) != 0 ? 1 : 0);
    if (file_) WriteIpv4(kProtocolTcp, from, to, tcp);
}

void PcapWriter::WriteIpv4(std::uint8_t protocol, const Endpoint& from, const Endpoint& to, const Bytes& transport) {
    Bytes frame(12, 0);  // destination and source MAC: zero, as on a loopback device
    PutBig16(frame, 0x0800);
    frame.push_back(0x45);  // version 4, 20-byte header
    frame.push_back(0);
    PutBig16(frame, static_cast<std::uint32_t>(kIpv4Header + transport.size()));
    PutBig16(frame, ipId_++);
    PutBig16(frame, 0x4000);  // don't fragment
    frame.push_back(64);      // time to live
    frame.push_back(protocol);
    PutBig16(frame, 0);  // header checksum, below
    PutBig32(frame, from.address);
    PutBig32(frame, to.address);
    SetBig16(frame, kEthernetHeader + 10, Checksum(0, frame.data() + kEthernetHeader, kIpv4Header));
    frame.insert(frame.end(), transport.begin(), transport.end());
    WriteRecord(frame);
}

void PcapWriter::WriteRecord(const Bytes& frame) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    Bytes record;
    PutLittle32(record, static_cast<std::uint32_t>(micros / 1000000));
    PutLittle32(record, static_cast<std::uint32_t>(micros % 1000000));
    PutLittle32(record, static_cast<std::uint32_t>(frame.size()));
    PutLittle32(record, static_cast<std::uint32_t>(frame.size()));
    record.insert(record.end(), frame.begin(), frame.end());
    std::fwrite(record.data(), 1, record.size(), file_.get());
    std::fflush(file_.get());
}

}  // namespace tbemu
