#include "chip.h"

#include <algorithm>
#include <cstdio>

namespace tbemu {

namespace {
bool InWindow(std::uint32_t address, std::uint32_t window) {
    return address >= window && address - window < kMacWindowSize;
}

// Bytes from `address` to the next window boundary, capped at `length`:
// a range never changes window within such a span.
std::size_t SpanToWindowEnd(std::uint32_t address, std::size_t length) {
    const std::size_t left = kMacWindowSize - (address & (kMacWindowSize - 1));
    return std::min(left, length);
}

Bytes FromText(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }
}  // namespace

std::uint32_t CanonicalAddress(std::uint32_t address) {
    if (InWindow(address, kMacConsoleWindow)) return address - kMacConsoleWindow + kMacLoadWindow;
    return address;
}

EmulatedChip::EmulatedChip(std::size_t eepromSize) : eeprom_(eepromSize) {}

Bytes EmulatedChip::WordAnswer(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    Bytes answer = FromText(text);
    answer.push_back(0);
    return answer;
}

Bytes EmulatedChip::Acknowledgement() { return FromText("OK"); }
Bytes EmulatedChip::Refusal() { return FromText(kRefusalAnswer); }

ChipReply EmulatedChip::Execute(const NativeCommand_t& command, std::uint8_t packetNum) {
    ChipReply reply;
    reply.answered = command.Type != NATIVE_SYSTEM_COMMAND;
    switch (command.Type) {
        case NATIVE_READ_WORD: reply.answer = ReadWord(command.Address); break;
        case NATIVE_WRITE_WORD:
            reply.answer = WriteWord(command.Address, command, packetNum, reply);
            break;
        case NATIVE_READ_BUFFER: reply.answer = ReadBuffer(command.Address, command.Length); break;
        case NATIVE_WRITE_BUFFER: reply.answer = WriteBuffer(command); break;
        case NATIVE_READ_EEPROM: reply.answer = ReadEeprom(command.Address, command.Length); break;
        case NATIVE_WRITE_EEPROM: reply.answer = WriteEeprom(command); break;
        case NATIVE_COMMAND_PIPE:
            reply.answer = command.AdditionalParam == kRunCommandType ? Run(command.Address) : Acknowledgement();
            break;
        case NATIVE_SYSTEM_COMMAND: break;
        default: reply.answer = Refusal(); break;
    }
    return reply;
}

// The boot ROM starts what was loaded: the data staged at the run parameter
// (a size word, then the bytes) moves into the interrupt-vector window.
Bytes EmulatedChip::Run(std::uint32_t parameter) {
    std::uint8_t sizeWord[4];
    ReadAliased(parameter, sizeWord, sizeof sizeWord);
    const std::size_t staged = std::min<std::size_t>(GetBe32(sizeWord), kMaxStagedBytes);
    WriteMemory(kVectorWindow, ReadMemory(parameter + 4, staged));
    firmwareRunning_ = true;
    ++runCommands_;
    return Acknowledgement();
}

void EmulatedChip::ClearRecords() {
    commands_.clear();
    counterReads_ = 0;
}

bool EmulatedChip::CounterBusy() const { return commandPending_ || forcedBusyReads_ != 0; }

std::uint32_t EmulatedChip::CounterValue() {
    ++counterReads_;
    const bool busy = CounterBusy();
    if (forcedBusyReads_ > 0) --forcedBusyReads_;
    return busy ? 1 : 0;
}

Bytes EmulatedChip::ReadWord(std::uint32_t address) {
    if (address == mailbox_.counterRead || address == mailbox_.counterWrite) {
        return WordAnswer(CounterValue());
    }
    std::uint8_t word[4];
    ReadAliased(address, word, sizeof word);
    return WordAnswer(GetBe32(word));
}

Bytes EmulatedChip::WriteWord(std::uint32_t address, const NativeCommand_t& command,
                              std::uint8_t packetNum, ChipReply& reply) {
    const std::uint32_t value = GetLe32(command.Data.data());
    if (address == mailbox_.counterWrite) {
        if (value == 1) TakeCommand(packetNum, reply);
        return Acknowledgement();
    }
    // The chip is big-endian: a word lands in memory most significant byte first.
    std::uint8_t word[4];
    PutBe32(word, value);
    WriteAliased(address, word, sizeof word);
    NoteMailboxWrite(address, sizeof word);
    return Acknowledgement();
}

Bytes EmulatedChip::ReadBuffer(std::uint32_t address, std::uint16_t length) const {
    if (length > kNativeDataSize) return Refusal();
    Bytes bytes(length);
    ReadAliased(address, bytes.data(), bytes.size());
    return bytes;
}

Bytes EmulatedChip::WriteBuffer(const NativeCommand_t& command) {
    if (command.Length > kNativeDataSize) return Refusal();
    WriteAliased(command.Address, command.Data.data(), command.Length);
    NoteMailboxWrite(command.Address, command.Length);
    return Acknowledgement();
}

Bytes EmulatedChip::ReadEeprom(std::uint32_t address, std::uint16_t length) const {
    if (length > kNativeDataSize) return Refusal();
    Bytes bytes(length);
    if (!eeprom_.Read(address, bytes.data(), bytes.size())) return Refusal();
    return bytes;
}

Bytes EmulatedChip::WriteEeprom(const NativeCommand_t& command) {
    if (command.Length > kNativeDataSize) return Refusal();
    if (!eeprom_.Write(command.Address, command.Data.data(), command.Length)) return Refusal();
    return Acknowledgement();
}

void EmulatedChip::NoteMailboxWrite(std::uint32_t address, std::size_t length) {
    const std::uint32_t start = CanonicalAddress(address);
    const std::uint32_t buffer = CanonicalAddress(mailbox_.buffer);
    if (length == 0 || start < buffer || start - buffer >= kMailboxBufferSize) return;
    const std::size_t end = std::min<std::size_t>(start - buffer + length, kMailboxBufferSize);
    mailboxExtent_ = std::max(mailboxExtent_, end);
    mailboxWrites_.push_back({address, static_cast<std::uint16_t>(length)});
}

void EmulatedChip::TakeCommand(std::uint8_t packetNum, ChipReply& reply) {
    MailboxCommand taken;
    taken.bytes = ReadMemory(mailbox_.buffer, mailboxExtent_);
    taken.writes = std::move(mailboxWrites_);
    taken.packetNum = packetNum;
    mailboxWrites_.clear();
    mailboxExtent_ = 0;

    reply.tookCommand = true;
    if (handler_) reply.events = handler_(taken.bytes);
    commandPending_ = true;
    commands_.push_back(std::move(taken));
}

Bytes EmulatedChip::ReadMemory(std::uint32_t address, std::size_t length) const {
    Bytes bytes(length);
    ReadAliased(address, bytes.data(), length);
    return bytes;
}

void EmulatedChip::WriteMemory(std::uint32_t address, const Bytes& bytes) {
    WriteAliased(address, bytes.data(), bytes.size());
}

void EmulatedChip::ReadAliased(std::uint32_t address, std::uint8_t* out, std::size_t length) const {
    while (length > 0) {
        const std::size_t span = SpanToWindowEnd(address, length);
        memory_.Read(CanonicalAddress(address), out, span);
        out += span;
        length -= span;
        address += static_cast<std::uint32_t>(span);
    }
}

void EmulatedChip::WriteAliased(std::uint32_t address, const std::uint8_t* bytes,
                                std::size_t length) {
    while (length > 0) {
        const std::size_t span = SpanToWindowEnd(address, length);
        memory_.Write(CanonicalAddress(address), bytes, span);
        bytes += span;
        length -= span;
        address += static_cast<std::uint32_t>(span);
    }
}

}  // namespace tbemu
