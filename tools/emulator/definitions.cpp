#include "definitions.h"

#include "structaccess.h"

namespace tbemu {

namespace {
template <typename Lookup>
std::optional<std::uint8_t> CodeNamed(const std::string& name, Lookup lookup) {
    for (unsigned code = 0; code < 256; ++code) {
        std::string found;
        if (lookup(static_cast<std::uint16_t>(code), found) && found == name) {
            return static_cast<std::uint8_t>(code);
        }
    }
    return std::nullopt;
}

template <typename Lookup>
std::optional<std::uint8_t> UnusedCode(Lookup lookup) {
    for (unsigned code = 255; code > 0; --code) {
        std::string found;
        if (!lookup(static_cast<std::uint16_t>(code), found)) return static_cast<std::uint8_t>(code);
    }
    return std::nullopt;
}
}  // namespace

Definitions::Definitions() = default;
Definitions::~Definitions() = default;

std::unique_ptr<Definitions> Definitions::Load(const std::string& listFile, std::string& error) {
    std::unique_ptr<Definitions> definitions(new Definitions());
    // The emulator needs no map files: symbols are the library's business.
    definitions->database_ = std::make_unique<StructAccess>("", "", nullptr);
    if (!definitions->database_->structAccessInit(listFile)) {
        error = "cannot read the definition list file " + listFile;
        return nullptr;
    }
    definitions->Catalogue(definitions->database_->getCommandNames());
    return definitions;
}

void Definitions::Catalogue(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        CommandInfo info;
        info.name = name;
        bool wait = true;
        if (!database_->getCommandType(name, info.type) ||
            !database_->getCommandOpcode(name, info.opcode) ||
            !database_->getCommandWait(name, wait) || FindCommand(name) != nullptr) {
            continue;
        }
        info.waitNeeded = wait;
        commands_.push_back(info);
    }
}

std::optional<std::uint32_t> Definitions::EnumValue(const std::string& name) const {
    std::uint32_t value = 0;
    if (!database_->getEnumValue(name, value)) return std::nullopt;
    return value;
}

std::optional<std::uint8_t> Definitions::EventCode(const std::string& name) const {
    return CodeNamed(name, [&](std::uint16_t code, std::string& found) {
        return database_->getEventName(code, found);
    });
}

std::optional<std::uint8_t> Definitions::StatusCode(const std::string& name) const {
    return CodeNamed(name, [&](std::uint16_t code, std::string& found) {
        return database_->getGeneralEventName(code, found);
    });
}

bool Definitions::IsEventCode(std::uint8_t code) const {
    std::string name;
    return database_->getEventName(code, name);
}

bool Definitions::IsStatusCode(std::uint8_t code) const {
    std::string name;
    return database_->getGeneralEventName(code, name);
}

std::optional<std::uint8_t> Definitions::UnusedEventCode() const {
    return UnusedCode([&](std::uint16_t code, std::string& found) {
        return database_->getEventName(code, found);
    });
}

std::optional<std::uint8_t> Definitions::UnusedStatusCode() const {
    return UnusedCode([&](std::uint16_t code, std::string& found) {
        return database_->getGeneralEventName(code, found);
    });
}

const CommandInfo* Definitions::FindCommand(const std::string& name) const {
    for (const CommandInfo& command : commands_) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

const CommandInfo* Definitions::FindPhyCommand(std::uint8_t opcode) const {
    for (const CommandInfo& command : commands_) {
        const bool phy = command.type == PHY_CMD_TYPE || command.type == PHY_TUNNEL_CMD_TYPE;
        if (phy && (command.opcode & 0xFF) == opcode) return &command;
    }
    return nullptr;
}

const CommandInfo* Definitions::FindMacCommand(std::uint16_t opcode) const {
    for (const CommandInfo& command : commands_) {
        if (command.type == MAC_CMD_TYPE && (command.opcode & 0xFFFF) == opcode) return &command;
    }
    return nullptr;
}

MailboxAddresses Definitions::Mailbox() const {
    MailboxAddresses mailbox;
    const struct {
        const char* name;
        std::uint32_t* address;
    } predefined[] = {{"MAC_COMMAND_BUFFER_ADDRESS", &mailbox.buffer},
                      {"MAC_COMMAND_COUNTER_READ_ADDRESS", &mailbox.counterRead},
                      {"MAC_COMMAND_COUNTER_WRITE_ADDRESS", &mailbox.counterWrite}};
    for (const auto& entry : predefined) {
        std::int64_t value = 0;
        if (database_->getPredefinedValue(entry.name, value)) {
            *entry.address = static_cast<std::uint32_t>(value);
        }
    }
    return mailbox;
}

}  // namespace tbemu
