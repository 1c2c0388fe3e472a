// The emulated chip behind the dispatcher: memory, EEPROM and the command
// mailbox, driven one native command at a time. It knows nothing of sockets;
// the emulator feeds it decoded commands and sends what it answers.
#ifndef TBEMU_CHIP_H
#define TBEMU_CHIP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "eeprom.h"
#include "packets.h"
#include "sparsememory.h"

namespace tbemu {

using Bytes = std::vector<std::uint8_t>;

// The MAC processor's memory appears twice in the address map: through the
// load window and through the console window. Both alias the same bytes.
constexpr std::uint32_t kMacLoadWindow = 0xBFC00000;
constexpr std::uint32_t kMacConsoleWindow = 0xBFE00000;
constexpr std::uint32_t kMacWindowSize = 0x00100000;

struct MailboxAddresses {
    std::uint32_t buffer = 0xBFE30000;
    std::uint32_t counterRead = 0xBF108300;
    std::uint32_t counterWrite = 0xBF108240;
};
// The boot ROM's run command (a command pipe of this type) and the window
// its interrupt vector #2 takes from the staging area at the run parameter.
constexpr std::uint16_t kRunCommandType = 1;
constexpr std::uint32_t kVectorWindow = 0xBFC00280;
constexpr std::uint32_t kMaxStagedBytes = 1784;

// Bytes above the buffer address that count as the mailbox.
constexpr std::size_t kMailboxBufferSize = 512;

// One native write that landed in the mailbox buffer.
struct MailboxWrite {
    std::uint32_t address = 0;
    std::uint16_t length = 0;
};

// A command the chip took from its mailbox when 1 was written to the counter.
struct MailboxCommand {
    Bytes bytes;                       // buffer contents up to the highest byte written
    std::vector<MailboxWrite> writes;  // the writes that filled it, in arrival order
    std::uint8_t packetNum = 0;        // TxCmdPacketNum of the counter write
};

// Executes a command taken from the mailbox; returns the data of each event
// that answers it, in sending order (none for commands that need no answer).
using CommandHandler = std::function<std::vector<Bytes>(const Bytes& command)>;

// What the chip makes of one native command.
struct ChipReply {
    bool answered = false;       // false for system commands: no event
    Bytes answer;                // the answer's event data
    bool tookCommand = false;    // the counter write handed a command to the chip
    std::vector<Bytes> events;   // the command's events, sent after the answer
};

class EmulatedChip {
public:
    explicit EmulatedChip(std::size_t eepromSize);

    void SetMailbox(const MailboxAddresses& addresses) { mailbox_ = addresses; }
    const MailboxAddresses& Mailbox() const { return mailbox_; }
    void SetCommandHandler(CommandHandler handler) { handler_ = std::move(handler); }
    bool AttachEepromFile(const std::string& path, std::string& error) { return eeprom_.AttachFile(path, error); }
    // Why the last EEPROM write was refused by its file, once (empty: none was).
    std::string TakeEepromError() { return eeprom_.TakeWriteError(); }

    ChipReply Execute(const NativeCommand_t& command, std::uint8_t packetNum);

    // The last event of a taken command has left: the counter reads free.
    void CommandDone() { commandPending_ = false; }
    // The next `reads` counter reads answer busy whatever the state; a
    // negative number keeps the counter busy until changed.
    void ForceBusyReads(int reads) { forcedBusyReads_ = reads; }

    // The loaded firmware: started by the run command, stopped by the load
    // set-up.
    bool FirmwareRunning() const { return firmwareRunning_; }
    std::size_t RunCommands() const { return runCommands_; }
    void StopFirmware() { firmwareRunning_ = false; }

    // Inspection.
    Bytes ReadMemory(std::uint32_t address, std::size_t length) const;
    void WriteMemory(std::uint32_t address, const Bytes& bytes);
    const std::vector<std::uint8_t>& Eeprom() const { return eeprom_.Contents(); }
    const std::vector<MailboxCommand>& MailboxCommands() const { return commands_; }
    std::size_t CounterReads() const { return counterReads_; }
    bool CounterBusy() const;
    void ClearRecords();

    // Word answers: "0x" and eight hexadecimal digits with a terminating NUL,
    // so the value's text starts at data offset 2.
    static Bytes WordAnswer(std::uint32_t value);
    static Bytes Acknowledgement();
    static Bytes Refusal();

private:
    Bytes ReadWord(std::uint32_t address);
    Bytes WriteWord(std::uint32_t address, const NativeCommand_t& command, std::uint8_t packetNum,
                    ChipReply& reply);
    Bytes ReadBuffer(std::uint32_t address, std::uint16_t length) const;
    Bytes WriteBuffer(const NativeCommand_t& command);
    Bytes ReadEeprom(std::uint32_t address, std::uint16_t length) const;
    Bytes WriteEeprom(const NativeCommand_t& command);

    Bytes Run(std::uint32_t parameter);
    std::uint32_t CounterValue();
    void TakeCommand(std::uint8_t packetNum, ChipReply& reply);
    void NoteMailboxWrite(std::uint32_t address, std::size_t length);

    void ReadAliased(std::uint32_t address, std::uint8_t* out, std::size_t length) const;
    void WriteAliased(std::uint32_t address, const std::uint8_t* bytes, std::size_t length);

    SparseMemory memory_;
    EmulatedEeprom eeprom_;
    MailboxAddresses mailbox_;
    CommandHandler handler_;

    bool commandPending_ = false;
    bool firmwareRunning_ = false;
    std::size_t runCommands_ = 0;
    int forcedBusyReads_ = 0;
    std::size_t counterReads_ = 0;
    std::size_t mailboxExtent_ = 0;
    std::vector<MailboxWrite> mailboxWrites_;
    std::vector<MailboxCommand> commands_;
};

// The address the MAC windows map to (the load window's), or the address
// itself outside them.
std::uint32_t CanonicalAddress(std::uint32_t address);

}  // namespace tbemu

#endif
