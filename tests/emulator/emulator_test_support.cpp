#include "emulator_test_support.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace emutest {
namespace {

const char kCommandDefinitions[] = R"(// commands
START_ENUM
ENUM_WITH_VALUE(CMD_TUNNEL_TO_PHY, 0x0123)
ENUM_WITH_VALUE(PHY_CONSOLE_CMD, 0x0004)
ENUM_WITH_VALUE(PHY_SET_GAIN_OP, 0x21)
ENUM_NO_VALUE(PHY_RAW_OP)
ENUM_NO_VALUE(PHY_QUIET_OP)
ENUM_WITH_VALUE(PHYC_CAPTURE_DATA_OP, 0x30)
ENUM_WITH_VALUE(MAC_SET_OP, 0x0456)
ENUM_NO_VALUE(MAC_FIRE_OP)
END_ENUM
OPEN_STRUCT_DECLARATION
FIELD_UINT16(gain);
END_STRUCT_DECLARATION(GainStruct)
DECLARE_COMMAND(PHY_SET_GAIN, PHY_CMD_TYPE, GainStruct, PHY_SET_GAIN_OP, WAIT_NEEDED)
DECLARE_COMMAND(PHY_RAW, PHY_TUNNEL_CMD_TYPE, GainStruct, PHY_RAW_OP, WAIT_NEEDED)
DECLARE_COMMAND(PHY_QUIET, PHY_CMD_TYPE, GainStruct, PHY_QUIET_OP, WAIT_NOT_NEEDED)
DECLARE_COMMAND(PHYC_CAPTURE_DATA_CMD, PHY_CMD_TYPE, GainStruct, PHYC_CAPTURE_DATA_OP, WAIT_NEEDED)
DECLARE_COMMAND(MAC_SET, MAC_CMD_TYPE, GainStruct, MAC_SET_OP, WAIT_NEEDED)
DECLARE_COMMAND(MAC_FIRE, MAC_CMD_TYPE, GainStruct, MAC_FIRE_OP, WAIT_NOT_NEEDED)
)";
const char kEventDefinitions[] = R"(// events and the mailbox
START_EVENTS_ENUM(PHY_CMD_TYPE)
ENUM_EVENTS_WITH_VALUE(PHYC_GENERAL_EVT, 0x10)
ENUM_EVENTS_NO_VALUE(PHYC_CAPTURE_DATA_EVT)
ENUM_EVENTS_WITH_VALUE(UMAC_GENERAL_EVT, 0x40)
END_EVENTS_ENUM
START_GNRL_EVNTS_ENUM(PHY_CMD_TYPE)
ENUM_GNRL_EVNTS_WITH_VALUE(PHYC_STATUS_OK, 0)
ENUM_GNRL_EVNTS_NO_VALUE(PHYC_STATUS_BAD_PARAM)
END_GNRL_EVNTS_ENUM
USER_PREDEFINE_VALUE(MAC_COMMAND_BUFFER_ADDRESS, 0xBFE31000)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_READ_ADDRESS, 0xBF108400)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_WRITE_ADDRESS, 0xBF108404)
)";

std::uint32_t Little32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}

}  // namespace

NativeCommand_t Command(std::uint16_t type, std::uint32_t address, const Bytes& data, std::uint16_t length,
                        std::uint16_t param) {
    NativeCommand_t command;
    command.Type = type;
    command.Address = address;
    command.Length = length == 0xFFFF ? static_cast<std::uint16_t>(data.size()) : length;
    command.AdditionalParam = param;
    std::copy(data.begin(), data.end(), command.Data.begin());
    return command;
}

NativeCommand_t WriteWord(std::uint32_t address, std::uint32_t value) {
    Bytes data(4);
    PutLe32(data.data(), value);
    return Command(NATIVE_WRITE_WORD, address, data);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t WordValue(const Bytes& answer) {
    const std::string text(answer.begin() + 2, answer.end());
    return static_cast<std::uint32_t>(std::stoul(text.c_str(), nullptr, 16));
}

Bytes Pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return bytes;
}

DefinitionSet::DefinitionSet() {
    dir_.Write("defs/commands.h", kCommandDefinitions);
    dir_.Write("defs/events.h", kEventDefinitions);
    listFile_ = dir_.Write("list.txt", "  defs/*.h\n");
}

// The tunnel packet the library sends for a PHY command, full form.
Bytes PhyTunnel(std::uint8_t opcode, std::uint8_t sequence, const Bytes& parameters) {
    Bytes command{opcode, 0, sequence, 0, static_cast<std::uint8_t>(8 + parameters.size()), 0, 0, 0};
    command.insert(command.end(), parameters.begin(), parameters.end());
    Bytes packet{0x01, 0x23, 0, 0, 0x00, 0x04, 0, static_cast<std::uint8_t>(command.size())};
    packet.insert(packet.end(), command.begin(), command.end());
    return packet;
}

std::vector<std::string> CaptureFrames(const std::string& file) {
    EXPECT_EQ(Little32(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Little32(file, 20), 1u);  // Ethernet
    std::vector<std::string> frames;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::uint32_t length = Little32(file, at + 8);
        frames.push_back(file.substr(at + 16, length));
        at += 16 + length;
    }
    return frames;
}

}  // namespace emutest
