#include "describe.h"

#include <algorithm>
#include <cstdio>

namespace tbemu {

const char* NativeTypeName(std::uint16_t type) {
    switch (type) {
        case NATIVE_READ_WORD: return "NATIVE_READ_WORD_CMD";
        case NATIVE_WRITE_WORD: return "NATIVE_WRITE_WORD_CMD";
        case NATIVE_READ_BUFFER: return "NATIVE_READ_BUFFER_CMD";
        case NATIVE_WRITE_BUFFER: return "NATIVE_WRITE_BUFFER_CMD";
        case NATIVE_READ_EEPROM: return "NATIVE_READ_EEPROM_CMD";
        case NATIVE_WRITE_EEPROM: return "NATIVE_WRITE_EEPROM_CMD";
        case NATIVE_COMMAND_PIPE: return "NATIVE_COMMAND_PIPE_CMD";
        case NATIVE_SYSTEM_COMMAND: return "SYSTEM";
        default: return "UNKNOWN";
    }
}

const char* SystemCommandName(std::uint16_t code) {
    switch (code) {
        case SYSTEM_SETUP_SECOND: return "setup(second)";
        case SYSTEM_SETUP_FIRST: return "setup(first)";
        case SYSTEM_LOG_SEVERITY: return "log-severity";
        case SYSTEM_SYNC: return "sync";
        case SYSTEM_CLOSE: return "close";
        default: return "unknown";
    }
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t length, std::size_t maxBytes) {
    std::string text;
    const std::size_t shown = std::min(length, maxBytes);
    for (std::size_t i = 0; i < shown; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        if (i > 0) text += ' ';
        text += pair;
    }
    if (shown < length) text += " ...";
    return text;
}

namespace {
std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}
}  // namespace

std::string DescribeCommand(const NativeCommand_t& command, std::uint8_t packetNum) {
    std::string text = "#" + std::to_string(packetNum) + " " + NativeTypeName(command.Type);
    if (command.Type == NATIVE_SYSTEM_COMMAND) {
        return text + " " + SystemCommandName(command.AdditionalParam) + " value " +
               std::to_string(command.Address);
    }
    text += " address " + Hex(command.Address) + " length " + std::to_string(command.Length);
    if (command.Type == NATIVE_COMMAND_PIPE) {
        text += " cmd_type " + std::to_string(command.AdditionalParam);
    }
    const bool carriesData = command.Type == NATIVE_WRITE_WORD ||
                             command.Type == NATIVE_WRITE_BUFFER ||
                             command.Type == NATIVE_WRITE_EEPROM;
    if (carriesData) {
        const std::size_t length = std::min<std::size_t>(command.Length, kNativeDataSize);
        text += " data " + HexBytes(command.Data.data(), length, 16);
    }
    return text;
}

std::string DescribeEvent(const ConsoleEventPacket_t& event) {
    const std::size_t length = std::min<std::size_t>(event.Length, kEventDataSize);
    return "event " + std::to_string(event.TxEventPacketNum) + " for #" +
           std::to_string(event.RxCmdPacketNum) + " length " + std::to_string(event.Length) +
           " data " + HexBytes(event.Data.data(), length, 24);
}

}  // namespace tbemu
