#include "capturereader.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <algorithm>

namespace tbemu {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kPcapMicro = 0xA1B2C3D4;
constexpr std::uint32_t kPcapNano = 0xA1B23C4D;
constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kInterfaceBlock = 1;
constexpr std::uint32_t kObsoletePacketBlock = 2;
constexpr std::uint32_t kSimplePacketBlock = 3;
constexpr std::uint32_t kEnhancedPacketBlock = 6;
constexpr std::uint16_t kTimeResolutionOption = 9;

constexpr std::uint32_t kLinkNull = 0;
constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::uint32_t kLinkRaw = 101;
constexpr std::uint32_t kLinkLoop = 108;
constexpr std::uint32_t kLinkSll = 113;
constexpr std::uint32_t kLinkIpv4 = 228;
constexpr std::uint32_t kLinkSll2 = 276;
constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;

std::uint16_t Big16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }
std::uint32_t Big32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

// Fixed-width numbers of the file's byte order, with the bounds checked.
class FileBytes {
public:
    explicit FileBytes(const Bytes& bytes) : bytes_(bytes) {}
    bool Has(std::size_t at, std::size_t length) const {
        return at <= bytes_.size() && length <= bytes_.size() - at;
    }
    std::uint16_t U16(std::size_t at) const {
        const std::uint8_t* p = &bytes_[at];
        return big_ ? Big16(p) : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
    }
    std::uint32_t U32(std::size_t at) const {
        const std::uint8_t* p = &bytes_[at];
        return big_ ? Big32(p)
                    : static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
                          static_cast<std::uint32_t>(p[1]) << 8 | p[0];
    }
    void SetBigEndian(bool big) { big_ = big; }
    const std::uint8_t* At(std::size_t at) const { return bytes_.data() + at; }
    std::size_t Size() const { return bytes_.size(); }

private:
    const Bytes& bytes_;
    bool big_ = false;
};

// The IPv4 packet inside one link-layer frame, or null.
const std::uint8_t* Ipv4Start(std::uint32_t linkType, const std::uint8_t* frame, std::size_t length,
                              std::size_t& ipLength) {
    std::size_t offset = 0;
    switch (linkType) {
    case kLinkEthernet: {
        if (length < 14) return nullptr;
        std::uint16_t type = Big16(frame + 12);
        offset = 14;
        if (type == kEtherVlan) {
            if (length < 18) return nullptr;
            type = Big16(frame + 16);
            offset = 18;
        }
        if (type != kEtherIpv4) return nullptr;
        break;
    }
    case kLinkNull:
    case kLinkLoop: {
        if (length < 4) return nullptr;
        // The address family, in the capturing host's order (NULL) or the network's (LOOP): AF_INET is 2 on all.
        const bool inet = (frame[0] == 2 && frame[1] == 0 && frame[2] == 0 && frame[3] == 0) ||
                          (frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 2);
        if (!inet) return nullptr;
        offset = 4;
        break;
    }
    case kLinkSll:
        if (length < 16 || Big16(frame + 14) != kEtherIpv4) return nullptr;
        offset = 16;
        break;
    case kLinkSll2:
        if (length < 20 || Big16(frame) != kEtherIpv4) return nullptr;
        offset = 20;
        break;
    case kLinkRaw:
    case kLinkIpv4:
        break;
    default:
        return nullptr;
    }
    ipLength = length - offset;
    return frame + offset;
}

// One frame's UDP or TCP payload, when it is IPv4 and whole.
bool DecodeFrame(std::uint32_t linkType, const std::uint8_t* frame, std::size_t length, double time,
                 CapturedSegment& segment) {
    std::size_t available = 0;
    const std::uint8_t* ip = Ipv4Start(linkType, frame, length, available);
    if (ip == nullptr || available < 20 || (ip[0] >> 4) != 4) return false;
    const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t total = Big16(ip + 2);
    const bool fragment = (Big16(ip + 6) & 0x3FFF) != 0;  // more fragments, or an offset
    if (headerLength < 20 || total < headerLength || total > available || fragment) return false;
    const std::uint8_t* transport = ip + headerLength;
    const std::size_t transportLength = total - headerLength;
    segment.time = time;
    segment.from = {Big32(ip + 12), 0};
    segment.to = {Big32(ip + 16), 0};
    if (ip[9] == kProtocolUdp) {
        if (transportLength < 8) return false;
        const std::size_t udpLength = Big16(transport + 4);
        if (udpLength < 8 || udpLength > transportLength) return false;
        segment.tcp = false;
        segment.from.port = Big16(transport);
        segment.to.port = Big16(transport + 2);
        segment.payload.assign(transport + 8, transport + udpLength);
        return true;
    }
    if (ip[9] == kProtocolTcp) {
        if (transportLength < 20) return false;
        const std::size_t dataOffset = static_cast<std::size_t>(transport[12] >> 4) * 4;
        if (dataOffset < 20 || dataOffset > transportLength) return false;
        segment.tcp = true;
        segment.from.port = Big16(transport);
        segment.to.port = Big16(transport + 2);
        segment.seq = Big32(transport + 4);
        segment.flags = transport[13];
        segment.payload.assign(transport + dataOffset, transport + transportLength);
        return true;
    }
    return false;
}

void AddFrame(std::uint32_t linkType, const std::uint8_t* frame, std::size_t length, double time,
              std::vector<CapturedSegment>& segments) {
    CapturedSegment segment;
    if (DecodeFrame(linkType, frame, length, time, segment)) segments.push_back(std::move(segment));
}

bool ParsePcap(const Bytes& file, std::vector<CapturedSegment>& segments, std::string& error) {
    FileBytes bytes(file);
    const bool little = file[0] == 0xD4 || file[0] == 0x4D;
    bytes.SetBigEndian(!little);
    const bool nano = bytes.U32(0) == kPcapNano;
    if (!bytes.Has(0, 24)) {
        error = "the pcap file header is cut short";
        return false;
    }
    const std::uint32_t linkType = bytes.U32(20) & 0x0FFFFFFF;
    for (std::size_t at = 24; at < file.size();) {
        if (!bytes.Has(at, 16)) {
            error = "the capture ends inside a record header at byte " + std::to_string(at);
            return false;
        }
        const std::uint32_t captured = bytes.U32(at + 8);
        if (!bytes.Has(at + 16, captured)) {
            error = "the capture ends inside a packet at byte " + std::to_string(at);
            return false;
        }
        const double time = bytes.U32(at) + bytes.U32(at + 4) / (nano ? 1e9 : 1e6);
        AddFrame(linkType, bytes.At(at + 16), captured, time, segments);
        at += 16 + captured;
    }
    return true;
}

// pcapng: the interfaces of the current section (link type and time units per second).
struct Interface {
    std::uint32_t linkType = 0;
    double unitsPerSecond = 1e6;
};

double TimeUnits(const FileBytes& bytes, std::size_t options, std::size_t end) {
    for (std::size_t at = options; bytes.Has(at, 4) && at + 4 <= end;) {
        const std::uint16_t code = bytes.U16(at);
        const std::uint16_t length = bytes.U16(at + 2);
        if (code == 0 || at + 4 + length > end) break;
        if (code == kTimeResolutionOption && length >= 1) {
            const std::uint8_t value = *bytes.At(at + 4);
            const double base = (value & 0x80) ? 2.0 : 10.0;
            return std::pow(base, value & 0x7F);
        }
        at += 4 + ((length + 3u) & ~3u);
    }
    return 1e6;
}

bool ParsePcapng(const Bytes& file, std::vector<CapturedSegment>& segments, std::string& error) {
    FileBytes bytes(file);
    std::vector<Interface> interfaces;
    for (std::size_t at = 0; at < file.size();) {
        if (!bytes.Has(at, 12)) {
            error = "the capture ends inside a block header at byte " + std::to_string(at);
            return false;
        }
        std::uint32_t type = bytes.U32(at);
        if (type == kSectionHeader) {
            // A new section: its own byte order and interfaces.
            const std::uint8_t* magic = bytes.At(at + 8);
            bytes.SetBigEndian(Big32(magic) == kByteOrderMagic);
            interfaces.clear();
        }
        const std::uint32_t length = bytes.U32(at + 4);
        if (length < 12 || length % 4 != 0 || !bytes.Has(at, length)) {
            error = "a block at byte " + std::to_string(at) + " has an impossible length " + std::to_string(length);
            return false;
        }
        const std::size_t body = at + 8;
        const std::size_t end = at + length - 4;
        if (type == kInterfaceBlock && end - body >= 8) {
            interfaces.push_back({bytes.U16(body), TimeUnits(bytes, body + 8, end)});
        } else if ((type == kEnhancedPacketBlock && end - body >= 20) ||
                   (type == kObsoletePacketBlock && end - body >= 20)) {
            const bool enhanced = type == kEnhancedPacketBlock;
            const std::uint32_t id = enhanced ? bytes.U32(body) : bytes.U16(body);
            const std::uint32_t captured = bytes.U32(body + 12);
            if (id >= interfaces.size() || captured > end - body - 20) {
                error = "a packet block at byte " + std::to_string(at) + " is inconsistent";
                return false;
            }
            const double stamp = static_cast<double>(static_cast<std::uint64_t>(bytes.U32(body + 4)) << 32 |
                                                     bytes.U32(body + 8));
            AddFrame(interfaces[id].linkType, bytes.At(body + 20), captured, stamp / interfaces[id].unitsPerSecond,
                     segments);
        } else if (type == kSimplePacketBlock && end - body >= 4 && !interfaces.empty()) {
            const std::size_t captured = std::min<std::size_t>(bytes.U32(body), end - body - 4);
            AddFrame(interfaces[0].linkType, bytes.At(body + 4), captured, 0, segments);
        }
        at += length;
    }
    return true;
}

}  // namespace

bool ParseCapture(const Bytes& file, std::vector<CapturedSegment>& segments, std::string& error) {
    segments.clear();
    if (file.size() < 4) {
        error = "too short for a capture file";
        return false;
    }
    const std::uint32_t big = Big32(file.data());
    const std::uint32_t little = static_cast<std::uint32_t>(file[3]) << 24 | static_cast<std::uint32_t>(file[2]) << 16 |
                                 static_cast<std::uint32_t>(file[1]) << 8 | file[0];
    if (big == kPcapMicro || big == kPcapNano || little == kPcapMicro || little == kPcapNano) {
        return ParsePcap(file, segments, error);
    }
    if (big == kSectionHeader) return ParsePcapng(file, segments, error);
    error = "not a pcap or pcapng file";
    return false;
}

bool ReadCapture(const std::string& path, std::vector<CapturedSegment>& segments, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the capture " + path;
        return false;
    }
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!ParseCapture(file, segments, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace tbemu
