#include "packets.h"

#include <algorithm>

AnswerFault CheckAnswer(const NativeCommand_t& command, const std::uint8_t* answer, std::size_t length) {
    const bool isRead = command.Type == NATIVE_READ_BUFFER || command.Type == NATIVE_READ_EEPROM;
    if (isRead && length < command.Length) return AnswerFault::kShort;
    const bool refusal =
        length == kRefusalAnswerLength && std::equal(kRefusalAnswer, kRefusalAnswer + kRefusalAnswerLength, answer);
    if (refusal && !(isRead && command.Length == kRefusalAnswerLength)) return AnswerFault::kRefused;
    return AnswerFault::kNone;
}

NativePacketBytes EncodeNativePacket(const NativeCommand_t& command, std::uint8_t txCmdPacketNum) {
    NativePacketBytes packet{};
    packet[0] = 1;  // Version
    packet[1] = txCmdPacketNum;
    PutLe16(&packet[2], command.Type);
    PutLe32(&packet[4], command.Address);
    PutLe16(&packet[8], command.Length);
    PutLe16(&packet[10], command.AdditionalParam);
    std::copy(command.Data.begin(), command.Data.end(), packet.begin() + 12);
    return packet;
}

NativePacketBytes EncodeNativeRecord(const NativeCommand_t& command) {
    NativePacketBytes record{};
    PutLe16(&record[0], command.Type);
    PutLe16(&record[2], command.reserved);
    PutLe32(&record[4], command.Address);
    PutLe16(&record[8], command.Length);
    PutLe16(&record[10], command.AdditionalParam);
    std::copy(command.Data.begin(), command.Data.end(), record.begin() + 12);
    return record;
}

bool DecodeNativePacket(const std::uint8_t* bytes, std::size_t length, std::uint8_t& version,
                        std::uint8_t& txCmdPacketNum, NativeCommand_t& command) {
    if (bytes == nullptr || length < kNativePacketSize) return false;
    version = bytes[0];
    txCmdPacketNum = bytes[1];
    command.Type = GetLe16(bytes + 2);
    command.reserved = 0;
    command.Address = GetLe32(bytes + 4);
    command.Length = GetLe16(bytes + 8);
    command.AdditionalParam = GetLe16(bytes + 10);
    std::copy(bytes + 12, bytes + kNativePacketSize, command.Data.begin());
    return true;
}

ConsoleEventPacket_t DecodeEventPacket(const std::uint8_t* bytes) {
    ConsoleEventPacket_t packet;
    packet.Version = bytes[0];
    packet.Type = bytes[1];
    packet.TxEventPacketNum = GetLe16(bytes + 2);
    packet.RxCmdPacketNum = bytes[4];
    packet.SourceID = bytes[5];
    packet.Length = GetLe16(bytes + 6);
    std::copy(bytes + 8, bytes + kEventPacketSize, packet.Data.begin());
    return packet;
}

EventPacketBytes EncodeEventPacket(const ConsoleEventPacket_t& packet) {
    EventPacketBytes bytes{};
    bytes[0] = packet.Version;
    bytes[1] = packet.Type;
    PutLe16(&bytes[2], packet.TxEventPacketNum);
    bytes[4] = packet.RxCmdPacketNum;
    bytes[5] = packet.SourceID;
    PutLe16(&bytes[6], packet.Length);
    std::copy(packet.Data.begin(), packet.Data.end(), bytes.begin() + 8);
    return bytes;
}
