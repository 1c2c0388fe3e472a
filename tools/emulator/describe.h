// Readable one-line texts of what the emulator receives and sends.
#ifndef TBEMU_DESCRIBE_H
#define TBEMU_DESCRIBE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "packets.h"

namespace tbemu {

const char* NativeTypeName(std::uint16_t type);
const char* SystemCommandName(std::uint16_t code);
std::string DescribeCommand(const NativeCommand_t& command, std::uint8_t packetNum);
std::string DescribeEvent(const ConsoleEventPacket_t& event);
// Lowercase two-digit hexadecimal bytes separated by blanks, at most
// `maxBytes` of them followed by "..." when there are more.
std::string HexBytes(const std::uint8_t* bytes, std::size_t length, std::size_t maxBytes = 64);

}  // namespace tbemu

#endif
