#include "replay.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <tuple>

#include "describe.h"

namespace tbemu {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kRxNumberOffset = 4;
constexpr std::uint8_t kSyn = 0x02;

bool KnownType(std::uint16_t type) { return type <= NATIVE_COMMAND_PIPE || type == NATIVE_SYSTEM_COMMAND; }

bool IsCommandPacket(const CapturedSegment& segment, std::uint16_t port) {
    if (segment.tcp || segment.payload.size() != kNativePacketSize || segment.payload[0] != 1) return false;
    if (port != 0 && segment.to.port != port) return false;
    const std::uint16_t type = static_cast<std::uint16_t>(segment.payload[2] | segment.payload[3] << 8);
    const std::uint16_t length = static_cast<std::uint16_t>(segment.payload[8] | segment.payload[9] << 8);
    return KnownType(type) && length <= kNativeDataSize;
}

// The port most of these values name (the smallest on a tie), 0 for none.
std::uint16_t MostCommon(const std::vector<std::uint16_t>& ports) {
    std::map<std::uint16_t, std::size_t> counts;
    for (std::uint16_t port : ports) ++counts[port];
    std::uint16_t best = 0;
    std::size_t bestCount = 0;
    for (const auto& [port, count] : counts) {
        if (count > bestCount) std::tie(best, bestCount) = std::tie(port, count);
    }
    return best;
}

// One direction of a TCP connection, reassembled by sequence number. Each
// stretch of the stream remembers the file position of the segment that
// brought it, so that events can be put in order with the datagrams.
struct Flow {
    Endpoint from;
    Endpoint to;
    std::vector<std::size_t> segments;  // indexes into the capture
    Bytes stream;
    std::vector<std::pair<std::size_t, std::size_t>> arrivals;  // (stream end, capture index)
};

using FlowKey = std::tuple<std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;

void Reassemble(Flow& flow, const std::vector<CapturedSegment>& segments) {
    std::optional<std::uint32_t> base;
    for (std::size_t index : flow.segments) {
        const CapturedSegment& segment = segments[index];
        if (segment.flags & kSyn) base = segment.seq + 1;
    }
    struct Piece {
        std::int64_t offset;
        std::size_t index;
    };
    std::vector<Piece> pieces;
    for (std::size_t index : flow.segments) {
        const CapturedSegment& segment = segments[index];
        if (segment.payload.empty()) continue;
        if (!base) base = segment.seq;  // the capture began inside the connection
        pieces.push_back({static_cast<std::int32_t>(segment.seq - *base), index});
    }
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::size_t latest = 0;
    for (const Piece& piece : pieces) {
        const Bytes& payload = segments[piece.index].payload;
        const std::int64_t have = static_cast<std::int64_t>(flow.stream.size());
        if (piece.offset > have) break;  // bytes the capture missed: the stream ends here
        const std::int64_t end = piece.offset + static_cast<std::int64_t>(payload.size());
        if (end <= have) continue;  // a retransmission
        flow.stream.insert(flow.stream.end(), payload.begin() + (have - piece.offset), payload.end());
        latest = std::max(latest, piece.index);
        flow.arrivals.push_back({flow.stream.size(), latest});
    }
}

// The capture position at which the stream held `bytes` bytes.
std::size_t ArrivalOf(const Flow& flow, std::size_t bytes) {
    for (const auto& [end, index] : flow.arrivals) {
        if (end >= bytes) return index;
    }
    return flow.arrivals.empty() ? 0 : flow.arrivals.back().second;
}

std::vector<Flow> TcpFlows(const std::vector<CapturedSegment>& segments) {
    std::map<FlowKey, Flow> flows;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const CapturedSegment& segment = segments[i];
        if (!segment.tcp) continue;
        Flow& flow = flows[{segment.from.address, segment.from.port, segment.to.address, segment.to.port}];
        flow.from = segment.from;
        flow.to = segment.to;
        flow.segments.push_back(i);
    }
    std::vector<Flow> result;
    for (auto& entry : flows) {
        Reassemble(entry.second, segments);
        if (!entry.second.stream.empty()) result.push_back(std::move(entry.second));
    }
    return result;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

std::string DescribeShape(std::uint16_t type, std::uint32_t address, std::uint16_t length, std::uint8_t number) {
    return std::string(NativeTypeName(type)) + " address " + Hex32(address) + " length " + std::to_string(length) +
           " (#" + std::to_string(number) + ")";
}

// The bytes a command writes: its Data up to Length for the write commands.
std::vector<std::uint8_t> WrittenData(const NativeCommand_t& command) {
    const bool writes = command.Type == NATIVE_WRITE_WORD || command.Type == NATIVE_WRITE_BUFFER ||
                        command.Type == NATIVE_WRITE_EEPROM;
    if (!writes) return {};
    const std::size_t length = std::min<std::size_t>(command.Length, command.Data.size());
    return std::vector<std::uint8_t>(command.Data.begin(), command.Data.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string HexByte(std::uint8_t byte) {
    static const char kDigits[] = "0123456789abcdef";
    return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

// Where the live command's content departs from the recorded one; empty
// when it does not. Both have the same shape.
std::string ContentDeparture(const RecordedExchange& recorded, const NativeCommand_t& live) {
    if (recorded.additionalParam != live.AdditionalParam) {
        return "additional parameter recorded " + std::to_string(recorded.additionalParam) + ", live " +
               std::to_string(live.AdditionalParam);
    }
    const std::vector<std::uint8_t> data = WrittenData(live);
    std::size_t first = data.size();
    std::size_t differing = 0;
    for (std::size_t i = 0; i < data.size() && i < recorded.data.size(); ++i) {
        if (data[i] == recorded.data[i]) continue;
        first = std::min(first, i);
        ++differing;
    }
    if (differing == 0) return "";
    return "data byte " + std::to_string(first) + " recorded " + HexByte(recorded.data[first]) + ", live " +
           HexByte(data[first]) + " (" + std::to_string(differing) + " of " + std::to_string(data.size()) +
           " bytes differ)";
}

}  // namespace

bool LooksLikeEventStream(const Bytes& stream) {
    if (stream.size() < 8 || stream[0] != 1) return false;
    const std::size_t length = static_cast<std::size_t>(stream[6] | stream[7] << 8);
    return length <= kEventDataSize;
}

std::unique_ptr<Replay> Replay::FromSegments(const std::vector<CapturedSegment>& segments, ReplayPorts ports,
                                             std::string& error) {
    if (ports.command == 0) {
        std::vector<std::uint16_t> candidates;
        for (const CapturedSegment& segment : segments) {
            if (IsCommandPacket(segment, 0)) candidates.push_back(segment.to.port);
        }
        ports.command = MostCommon(candidates);
    }
    std::vector<Flow> flows = TcpFlows(segments);
    if (ports.library == 0) {
        std::vector<std::uint16_t> candidates;
        for (const Flow& flow : flows) {
            if (LooksLikeEventStream(flow.stream)) candidates.push_back(flow.to.port);
        }
        ports.library = MostCommon(candidates);
    }

    // Everything the dispatcher saw and sent, in capture order: (capture
    // index, command segment or event bytes).
    struct Item {
        std::size_t index;
        const CapturedSegment* command;
        const std::uint8_t* event;
    };
    std::vector<Item> items;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (ports.command != 0 && IsCommandPacket(segments[i], ports.command)) items.push_back({i, &segments[i], nullptr});
    }
    for (const Flow& flow : flows) {
        if (flow.to.port != ports.library || !LooksLikeEventStream(flow.stream)) continue;
        for (std::size_t at = 0; at + kEventPacketSize <= flow.stream.size(); at += kEventPacketSize) {
            items.push_back({ArrivalOf(flow, at + kEventPacketSize), nullptr, flow.stream.data() + at});
        }
    }
    // Commands first at one capture position: an event completed by a later segment sorts after.
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.index != b.index ? a.index < b.index : (a.command != nullptr && b.command == nullptr);
    });

    std::unique_ptr<Replay> replay(new Replay());
    replay->ports_ = ports;
    std::size_t events = 0;
    for (const Item& item : items) {
        if (item.command != nullptr) {
            NativeCommand_t command;
            std::uint8_t version = 0;
            std::uint8_t number = 0;
            DecodeNativePacket(item.command->payload.data(), item.command->payload.size(), version, number, command);
            if (command.Type == NATIVE_SYSTEM_COMMAND) continue;
            replay->script_.push_back({number, command.Type, command.Address, command.Length,
                                       command.AdditionalParam, WrittenData(command), {}});
        } else if (!replay->script_.empty()) {
            EventPacketBytes packet;
            std::copy_n(item.event, kEventPacketSize, packet.begin());
            replay->script_.back().events.push_back(packet);
            ++events;
        }
    }
    if (replay->script_.empty()) {
        error = ports.command == 0 ? "no command packets (524-byte datagrams of version 1) in the capture"
                                   : "no answered command to UDP port " + std::to_string(ports.command) +
                                         " in the capture";
        return nullptr;
    }
    if (events == 0) {
        error = ports.library == 0 ? "no event stream (TCP, 520-byte event packets) in the capture"
                                   : "no events to TCP port " + std::to_string(ports.library) + " in the capture";
        return nullptr;
    }
    return replay;
}

std::unique_ptr<Replay> Replay::Load(const std::string& path, ReplayPorts ports, std::string& error) {
    std::vector<CapturedSegment> segments;
    if (!ReadCapture(path, segments, error)) return nullptr;
    std::unique_ptr<Replay> replay = FromSegments(segments, ports, error);
    if (!replay) error = path + ": " + error;
    return replay;
}

std::optional<std::vector<EventPacketBytes>> Replay::Answer(const NativeCommand_t& command,
                                                             std::uint8_t packetNum) {
    if (Diverged()) return std::nullopt;
    const std::string live = DescribeShape(command.Type, command.Address, command.Length, packetNum);
    const std::string position = "command " + std::to_string(played_ + 1) + " of " + std::to_string(script_.size());
    if (played_ >= script_.size()) {
        divergence_ = "command " + std::to_string(played_ + 1) + " is past the end of the recording (" +
                      std::to_string(script_.size()) + " commands): live " + live;
        return std::nullopt;
    }
    const RecordedExchange& recorded = script_[played_];
    if (recorded.type != command.Type || recorded.address != command.Address || recorded.length != command.Length) {
        divergence_ = position + " differs: recorded " +
                      DescribeShape(recorded.type, recorded.address, recorded.length, recorded.number) + ", live " +
                      live;
        return std::nullopt;
    }
    if (match_ == ReplayMatch::kData) {
        const std::string departure = ContentDeparture(recorded, command);
        if (!departure.empty()) {
            divergence_ = position + " differs: " + live + ": " + departure;
            return std::nullopt;
        }
    }
    ++played_;
    std::vector<EventPacketBytes> answer = recorded.events;
    for (EventPacketBytes& event : answer) {
        // A recorded event for another command (a stale or misnumbered one)
        // keeps its distance from the command it followed.
        const std::uint8_t offset = static_cast<std::uint8_t>(event[kRxNumberOffset] - recorded.number);
        event[kRxNumberOffset] = static_cast<std::uint8_t>(packetNum + offset);
    }
    return answer;
}

std::string Replay::Status() const {
    std::string text = "played " + std::to_string(played_) + " of " + std::to_string(script_.size()) +
                       " recorded commands";
    if (Diverged()) text += "; diverged: " + divergence_;
    return text;
}

}  // namespace tbemu
