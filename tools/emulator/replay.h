// Replaying a recorded session: the dispatcher's side of a capture, played
// back to a live library. The capture's command datagrams (to the
// dispatcher's UDP port) and event stream (the TCP connections the
// dispatcher opened to the library's port, reassembled) become a script of
// exchanges: each answered command with the event packets that followed it.
// Live commands are matched to the script in order by type, address and
// length, and (unless only the shape is asked for) by what they carry: the
// data a write sends and the additional parameter. Each is answered with its
// recorded events, their command numbers moved to the live command's. The
// first command that departs ends the replay: it is reported, and it and
// every later command are answered with the dispatcher's refusal, so that
// the host fails at once. System commands are never answered and take no
// part in the matching.
#ifndef TBEMU_REPLAY_H
#define TBEMU_REPLAY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capturereader.h"
#include "packets.h"

namespace tbemu {

// What a live command must share with the recorded one.
enum class ReplayMatch {
    kData,   // type, address, length, additional parameter and the data written
    kShape,  // type, address and length only (recordings whose values change from run to run)
};

struct ReplayPorts {
    std::uint16_t command = 0;  // the dispatcher's UDP port; 0: found from the packets
    std::uint16_t library = 0;  // the library's TCP port; 0: found from the packets
};

struct RecordedExchange {
    std::uint8_t number = 0;  // the command's packet number in the recording
    std::uint16_t type = 0;
    std::uint32_t address = 0;
    std::uint16_t length = 0;
    std::uint16_t additionalParam = 0;
    std::vector<std::uint8_t> data;        // what a write carries (Length bytes); empty for other commands
    std::vector<EventPacketBytes> events;  // as recorded, in order
};

class Replay {
public:
    // The script of a capture's segments; null with a reason when the capture
    // holds no session (no command packets, or no event stream).
    static std::unique_ptr<Replay> FromSegments(const std::vector<CapturedSegment>& segments, ReplayPorts ports,
                                                std::string& error);
    static std::unique_ptr<Replay> Load(const std::string& path, ReplayPorts ports, std::string& error);

    void SetMatch(ReplayMatch match) { match_ = match; }
    // The event packets that answer this live command (numbered for it), or
    // nullopt once the replay has diverged (the reason is in Divergence()).
    std::optional<std::vector<EventPacketBytes>> Answer(const NativeCommand_t& command, std::uint8_t packetNum);

    const std::vector<RecordedExchange>& Script() const { return script_; }
    ReplayPorts Ports() const { return ports_; }
    std::size_t Played() const { return played_; }
    bool Diverged() const { return !divergence_.empty(); }
    const std::string& Divergence() const { return divergence_; }
    // "played P of N commands", with the divergence when there was one.
    std::string Status() const;
    // Every recorded command was played and none differed.
    bool Succeeded() const { return !Diverged() && played_ == script_.size(); }

private:
    std::vector<RecordedExchange> script_;
    ReplayPorts ports_;
    std::size_t played_ = 0;
    std::string divergence_;
    ReplayMatch match_ = ReplayMatch::kData;
};

// The shape of an event packet's first bytes (Version 1, Length at most 512),
// by which the event stream is told from other TCP traffic.
bool LooksLikeEventStream(const std::vector<std::uint8_t>& stream);

}  // namespace tbemu

#endif
