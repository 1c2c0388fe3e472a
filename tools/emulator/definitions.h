// What the emulated chip knows from the definition set it is given: the
// commands with their opcodes and wait flags, the event and status codes and
// the mailbox addresses. Read with the library's own parser and database.
#ifndef TBEMU_DEFINITIONS_H
#define TBEMU_DEFINITIONS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip.h"

class StructAccess;

namespace tbemu {

struct CommandInfo {
    std::string name;
    int type = 0;  // MAC_CMD_TYPE, PHY_CMD_TYPE or PHY_TUNNEL_CMD_TYPE
    std::uint32_t opcode = 0;
    bool waitNeeded = true;
};

class Definitions {
public:
    // Parses the definition files that the list file names; null with a
    // reason when the list file cannot be read.
    static std::unique_ptr<Definitions> Load(const std::string& listFile, std::string& error);
    ~Definitions();
    Definitions(const Definitions&) = delete;
    Definitions& operator=(const Definitions&) = delete;

    std::optional<std::uint32_t> EnumValue(const std::string& name) const;
    // Codes of the PHY event set and of the PHY general events (statuses).
    std::optional<std::uint8_t> EventCode(const std::string& name) const;
    std::optional<std::uint8_t> StatusCode(const std::string& name) const;
    bool IsEventCode(std::uint8_t code) const;
    bool IsStatusCode(std::uint8_t code) const;
    // A code that names no event (or no status); nullopt when all 256 do.
    std::optional<std::uint8_t> UnusedEventCode() const;
    std::optional<std::uint8_t> UnusedStatusCode() const;

    const CommandInfo* FindCommand(const std::string& name) const;
    // PHY commands carry the low 8 bits of their opcode, MAC commands 16 bits.
    const CommandInfo* FindPhyCommand(std::uint8_t opcode) const;
    const CommandInfo* FindMacCommand(std::uint16_t opcode) const;
    const std::vector<CommandInfo>& Commands() const { return commands_; }

    // The defaults, replaced by the predefined values MAC_COMMAND_BUFFER_ADDRESS,
    // MAC_COMMAND_COUNTER_READ_ADDRESS and MAC_COMMAND_COUNTER_WRITE_ADDRESS.
    MailboxAddresses Mailbox() const;

private:
    Definitions();
    void Catalogue(const std::vector<std::string>& names);

    std::unique_ptr<StructAccess> database_;
    std::vector<CommandInfo> commands_;
};

}  // namespace tbemu

#endif
