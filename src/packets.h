// The two records exchanged with the dispatcher: the 524-byte native command
// packet (UDP, library to dispatcher) and the 520-byte event packet (TCP
// stream, dispatcher to library). Both are little-endian on the wire; the
// records are encoded and decoded byte by byte, never by casting.
#ifndef TERMBRIDGE_PACKETS_H
#define TERMBRIDGE_PACKETS_H

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kNativeDataSize = 512;
constexpr std::size_t kNativePacketSize = 524;
constexpr std::size_t kEventDataSize = 512;
constexpr std::size_t kEventPacketSize = 520;
constexpr std::size_t kEventHeaderSize = 16;

// Native command types (the Type field).
enum NativeCommandType : std::uint16_t {
    NATIVE_READ_WORD = 0,
    NATIVE_WRITE_WORD = 1,
    NATIVE_READ_BUFFER = 2,
    NATIVE_WRITE_BUFFER = 3,
    NATIVE_READ_EEPROM = 4,
    NATIVE_WRITE_EEPROM = 5,
    NATIVE_COMMAND_PIPE = 6,
    NATIVE_SYSTEM_COMMAND = 0xFFFF,
};

// The dispatcher's answer to a command it could not carry out (an address
// range past the chip's EEPROM, a length above 512): these three bytes as
// the whole answer.
constexpr char kRefusalAnswer[] = "ERR";
constexpr std::size_t kRefusalAnswerLength = 3;

// System command codes carried in AdditionalParam of a type 0xFFFF record.
enum SystemCommandCode : std::uint16_t {
    SYSTEM_SETUP_SECOND = 0,
    SYSTEM_SETUP_FIRST = 1,
    SYSTEM_LOG_SEVERITY = 2,
    SYSTEM_SYNC = 3,
    SYSTEM_CLOSE = 4,
};

// The in-memory native command record (524 bytes when laid out).
struct NativeCommand_t {
    std::uint16_t Type = 0;
    std::uint16_t reserved = 0;
    std::uint32_t Address = 0;
    std::uint16_t Length = 0;
    std::uint16_t AdditionalParam = 0;
    std::array<std::uint8_t, kNativeDataSize> Data{};
};

// Why an answer cannot be taken for the data its command asked for: a read
// must bring the bytes it asked for, and no command may be answered by the
// dispatcher's refusal. A read of three bytes answered "ERR" cannot be told
// from data and is taken as such; an answer longer than asked is accepted.
enum class AnswerFault { kNone, kShort, kRefused };
AnswerFault CheckAnswer(const NativeCommand_t& command, const std::uint8_t* answer, std::size_t length);

using NativePacketBytes = std::array<std::uint8_t, kNativePacketSize>;
using EventPacketBytes = std::array<std::uint8_t, kEventPacketSize>;

// The native command packet: Version 1, the packet number, then the record's
// fields and all 512 data bytes.
NativePacketBytes EncodeNativePacket(const NativeCommand_t& command, std::uint8_t txCmdPacketNum);
// The record itself laid out as 524 bytes (Type, reserved, Address, Length,
// AdditionalParam, Data), as the library dumps it to the log.
NativePacketBytes EncodeNativeRecord(const NativeCommand_t& command);
// The reverse, for the dispatcher side; false when fewer than 524 bytes.
bool DecodeNativePacket(const std::uint8_t* bytes, std::size_t length, std::uint8_t& version,
                        std::uint8_t& txCmdPacketNum, NativeCommand_t& command);

struct ConsoleEventPacket_t {
    std::uint8_t Version = 0;
    std::uint8_t Type = 0;
    std::uint16_t TxEventPacketNum = 0;
    std::uint8_t RxCmdPacketNum = 0;
    std::uint8_t SourceID = 0;
    std::uint16_t Length = 0;  // valid bytes in Data; above 512 the packet is illegal
    std::array<std::uint8_t, kEventDataSize> Data{};
};

// Decodes one 520-byte record from the stream.
ConsoleEventPacket_t DecodeEventPacket(const std::uint8_t* bytes);
EventPacketBytes EncodeEventPacket(const ConsoleEventPacket_t& packet);

// Offsets in the 16-byte event data header that starts the Data of an event
// answering a console command.
namespace EventHeader {
constexpr std::size_t kCtrl = 0;          // 2 bytes, big-endian, must be 11
constexpr std::size_t kSource = 4;        // 4, or 1 for capture data
constexpr std::size_t kType = 8;          // event id
constexpr std::size_t kFlags = 9;         // bit 7: more fragments follow
constexpr std::size_t kFragmentNum = 11;
constexpr std::size_t kEventLength = 12;  // payload bytes + 8 (UMAC: payload bytes)
constexpr std::size_t kSubEvent = 13;     // 1: more events for the same command
constexpr std::size_t kStatus = 14;
constexpr std::size_t kPayload = 16;
constexpr std::uint16_t kValidCtrl = 11;
constexpr std::uint8_t kFragmentBit = 0x80;
}  // namespace EventHeader

// Little- and big-endian helpers for the byte layouts.
inline void PutLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void PutBe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline std::uint16_t GetBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

#endif
