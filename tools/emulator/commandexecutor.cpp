#include "commandexecutor.h"

#include <algorithm>

#include "packets.h"

namespace tbemu {

namespace {
constexpr std::uint8_t kChipSource = 4;
constexpr std::uint8_t kCaptureSource = 1;
constexpr std::uint8_t kBadSource = 7;
constexpr std::uint16_t kBadCtrl = 12;
constexpr std::uint16_t kDefaultConsoleKind = 0x0004;
constexpr std::size_t kTunnelHeader = 8;
constexpr std::size_t kPhyHeader = 8;
constexpr std::size_t kMacHeader = 4;
constexpr std::size_t kInfoBlock = 8;
// An event length byte counts 8 header bytes besides the payload.
constexpr std::size_t kEventLengthBase = 8;

struct EventFields {
    std::uint8_t type = 0;
    std::uint8_t source = kChipSource;
    std::uint8_t flags = 0;
    std::uint8_t fragment = 0;
    std::uint8_t eventLength = 0;
    bool subEvent = false;
    std::uint8_t status = 0;
};

Bytes EventData(const EventFields& fields, const Bytes& payload) {
    Bytes data(kEventHeaderSize + payload.size(), 0);
    PutBe16(&data[EventHeader::kCtrl], EventHeader::kValidCtrl);
    data[EventHeader::kSource] = fields.source;
    data[EventHeader::kType] = fields.type;
    data[EventHeader::kFlags] = fields.flags;
    data[EventHeader::kFragmentNum] = fields.fragment;
    data[EventHeader::kEventLength] = fields.eventLength;
    data[EventHeader::kSubEvent] = fields.subEvent ? 1 : 0;
    data[EventHeader::kStatus] = fields.status;
    std::copy(payload.begin(), payload.end(), data.begin() + kEventHeaderSize);
    return data;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + length));
}

const struct {
    EventFault fault;
    const char* name;
} kFaultNames[] = {
    {EventFault::FragmentsOutOfOrder, "out-of-order"},
    {EventFault::LastFragmentBitSet, "last-fragment-bit"},
    {EventFault::MissingFragment, "missing-fragment"},
    {EventFault::BadCtrl, "bad-ctrl"},
    {EventFault::BadSource, "bad-source"},
    {EventFault::UnknownEventType, "unknown-event"},
    {EventFault::UnknownStatus, "unknown-status"},
};
}  // namespace

const char* EventFaultName(EventFault fault) {
    for (const auto& entry : kFaultNames) {
        if (entry.fault == fault) return entry.name;
    }
    return "?";
}

bool EventFaultFromName(const std::string& name, EventFault& fault) {
    for (const auto& entry : kFaultNames) {
        if (name == entry.name) {
            fault = entry.fault;
            return true;
        }
    }
    return false;
}

const char* CommandFormName(CommandForm form) {
    switch (form) {
        case CommandForm::PhyFull: return "PHY";
        case CommandForm::PhyHeaderless: return "PHY (header-less)";
        case CommandForm::Mac: return "MAC";
        default: return "unrecognised";
    }
}

Bytes CapturePattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13 + 1);
    }
    return bytes;
}

CommandExecutor::CommandExecutor(const Definitions& definitions) : definitions_(definitions) {}

bool CommandExecutor::TakeFault(EventFault fault) {
    const auto armed = settings_.armed.find(fault);
    if (armed == settings_.armed.end() || armed->second <= 0) return false;
    --armed->second;
    return true;
}

std::vector<Bytes> CommandExecutor::Execute(const Bytes& mailboxBytes) {
    ExecutedCommand record;
    const auto tunnel = definitions_.EnumValue("CMD_TUNNEL_TO_PHY");
    const bool isTunnel = tunnel && mailboxBytes.size() >= 4 &&
                          GetBe16(mailboxBytes.data()) == (*tunnel & 0xFFFF) &&
                          GetBe16(mailboxBytes.data() + 2) == 0;
    std::vector<Bytes> events =
        isTunnel ? ExecutePhy(mailboxBytes, record) : ExecuteMac(mailboxBytes, record);
    if (!events.empty()) ApplyFirstEventFaults(events.front());
    record.events = events.size();
    executed_.push_back(std::move(record));
    return events;
}

std::vector<Bytes> CommandExecutor::ExecutePhy(const Bytes& packet, ExecutedCommand& record) {
    if (packet.size() < kTunnelHeader) {
        record.note = "tunnel packet shorter than its header";
        return {};
    }
    const std::uint16_t kind = GetBe16(&packet[4]);
    const std::size_t length = GetBe16(&packet[6]);
    if (kTunnelHeader + length > packet.size()) {
        record.note = "tunnel length " + std::to_string(length) + " runs past the packet";
        return {};
    }
    record.command = Slice(packet, kTunnelHeader, length);
    const std::uint16_t consoleKind =
        static_cast<std::uint16_t>(definitions_.EnumValue("PHY_CONSOLE_CMD").value_or(kDefaultConsoleKind));
    const bool fullForm = kind == consoleKind && length >= kPhyHeader && record.command[4] == length;
    record.form = fullForm ? CommandForm::PhyFull : CommandForm::PhyHeaderless;
    const std::uint8_t opcode = fullForm ? record.command[0] : static_cast<std::uint8_t>(kind);
    const CommandInfo* command = definitions_.FindPhyCommand(opcode);
    if (command) record.name = command->name;
    if (command && !command->waitNeeded) {
        record.note = "needs no response";
        return {};
    }
    const auto generalEvent = definitions_.EventCode("PHYC_GENERAL_EVT");
    const auto okStatus = definitions_.StatusCode("PHYC_STATUS_OK");
    if (!generalEvent || !okStatus) {
        record.note = "the definitions name no PHYC_GENERAL_EVT or PHYC_STATUS_OK";
        return {};
    }
    const CommandInfo* capture = definitions_.FindCommand("PHYC_CAPTURE_DATA_CMD");
    const bool isCapture = command != nullptr && command == capture;

    EventFields general;
    general.type = *generalEvent;
    general.eventLength = static_cast<std::uint8_t>(kEventLengthBase);
    general.status = StatusFor(command, *okStatus);
    general.subEvent = isCapture;
    std::vector<Bytes> events{EventData(general, {})};
    if (isCapture) {
        const auto captureEvent = definitions_.EventCode("PHYC_CAPTURE_DATA_EVT");
        if (!captureEvent) {
            record.note = "the definitions name no PHYC_CAPTURE_DATA_EVT";
            return events;
        }
        for (Bytes& fragment : CaptureFragments(*captureEvent)) events.push_back(std::move(fragment));
    }
    return events;
}

std::uint8_t CommandExecutor::StatusFor(const CommandInfo* command, std::uint8_t okStatus) {
    std::uint8_t status = okStatus;
    if (command) {
        const auto failing = settings_.failingCommands.find(command->name);
        if (failing != settings_.failingCommands.end()) status = failing->second;
    }
    if (TakeFault(EventFault::UnknownStatus)) {
        status = definitions_.UnusedStatusCode().value_or(status);
    }
    return status;
}

std::vector<Bytes> CommandExecutor::CaptureFragments(std::uint8_t captureEvent) {
    const std::size_t total = std::min(settings_.captureLength, kMaxCaptureLength);
    const std::size_t perFragment = std::clamp<std::size_t>(settings_.fragmentBytes, 1, kMaxFragmentBytes);
    const Bytes captured = CapturePattern(total);

    std::vector<Bytes> fragments;
    std::size_t at = 0;
    do {
        const std::size_t take = std::min(perFragment, total - at);
        Bytes payload;
        if (fragments.empty()) {
            payload.assign(kInfoBlock, 0);
            PutBe16(&payload[0], static_cast<std::uint16_t>(total));
            PutBe32(&payload[4], kCaptureAddress);
        }
        const Bytes piece = Slice(captured, at, take);
        payload.insert(payload.end(), piece.begin(), piece.end());
        at += take;
        const bool last = at == total;

        EventFields fields;
        fields.type = captureEvent;
        fields.source = kCaptureSource;
        fields.flags = last ? 0 : EventHeader::kFragmentBit;
        fields.fragment = static_cast<std::uint8_t>(fragments.size());
        fields.eventLength = static_cast<std::uint8_t>(kEventLengthBase + payload.size());
        fields.subEvent = !last;
        fragments.push_back(EventData(fields, payload));
    } while (at < total);

    if (TakeFault(EventFault::LastFragmentBitSet)) {
        fragments.back()[EventHeader::kFlags] |= EventHeader::kFragmentBit;
    }
    if (fragments.size() >= 2 && TakeFault(EventFault::FragmentsOutOfOrder)) {
        std::swap(fragments[0], fragments[1]);
    }
    if (TakeFault(EventFault::MissingFragment)) {
        fragments.erase(fragments.begin() + (fragments.size() >= 2 ? 1 : 0));
    }
    return fragments;
}

std::vector<Bytes> CommandExecutor::ExecuteMac(const Bytes& command, ExecutedCommand& record) {
    record.command = command;
    if (command.size() < kMacHeader) {
        record.note = "shorter than a MAC command header";
        return {};
    }
    record.form = CommandForm::Mac;
    const CommandInfo* info = definitions_.FindMacCommand(GetBe16(command.data()));
    if (info) record.name = info->name;
    if (info && !info->waitNeeded) {
        record.note = "needs no response";
        return {};
    }
    const auto macEvent = definitions_.EventCode("UMAC_GENERAL_EVT");
    if (!macEvent) {
        record.note = "the definitions name no UMAC_GENERAL_EVT";
        return {};
    }
    // The event length byte of this event is the payload length itself.
    const std::size_t maxPayload = std::min<std::size_t>(255, kEventDataSize - kEventHeaderSize);
    std::vector<Bytes> events;
    const int count = std::max(1, settings_.macEvents);
    for (int i = 0; i < count; ++i) {
        const bool last = i == count - 1;
        const std::string sub = "sub-event " + std::to_string(i + 1);
        const Bytes payload = last ? Slice(command, 0, std::min(command.size(), maxPayload))
                                   : Bytes(sub.begin(), sub.end());
        EventFields fields;
        fields.type = *macEvent;
        fields.eventLength = static_cast<std::uint8_t>(payload.size());
        fields.subEvent = !last;
        events.push_back(EventData(fields, payload));
    }
    return events;
}

void CommandExecutor::ApplyFirstEventFaults(Bytes& event) {
    if (TakeFault(EventFault::BadCtrl)) PutBe16(&event[EventHeader::kCtrl], kBadCtrl);
    if (TakeFault(EventFault::BadSource)) event[EventHeader::kSource] = kBadSource;
    if (TakeFault(EventFault::UnknownEventType)) {
        event[EventHeader::kType] = definitions_.UnusedEventCode().value_or(event[EventHeader::kType]);
    }
}

}  // namespace tbemu
