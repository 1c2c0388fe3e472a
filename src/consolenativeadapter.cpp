#include "consolenativeadapter.h"

#include <algorithm>
#include <cctype>

#include "autobase.h"
#include "consolelogger.h"

namespace {

struct NativeCommandName {
    const char* name;
    int type;
    const char* usage;
};

const NativeCommandName kNativeCommands[] = {
    {"NATIVE_READ_WORD_CMD", NATIVE_READ_WORD,
     "Wrong Usage for NATIVE_READ_WORD_CMD, try: NATIVE_READ_WORD_CMD address"},
    {"NATIVE_WRITE_WORD_CMD", NATIVE_WRITE_WORD,
     "Wrong Usage for NATIVE_WRITE_WORD_CMD, try: NATIVE_WRITE_WORD_CMD address value"},
    {"NATIVE_READ_BUFFER_CMD", NATIVE_READ_BUFFER,
     "Wrong Usage for NATIVE_READ_BUFFER_CMD, try: NATIVE_READ_BUFFER_CMD address length"},
    {"NATIVE_WRITE_BUFFER_CMD", NATIVE_WRITE_BUFFER,
     "Wrong Usage for NATIVE_WORD_BUFFER_CMD, try: NATIVE_WRITE_BUFFER_CMD address length data"},
    {"NATIVE_READ_EEPROM_CMD", NATIVE_READ_EEPROM,
     "Wrong Usage for NATIVE_READ_EEPROM_CMD, try: NATIVE_READ_EEPROM_CMD address length"},
    {"NATIVE_WRITE_EEPROM_CMD", NATIVE_WRITE_EEPROM,
     "Wrong Usage for NATIVE_WRITE_EEPROM_CMD, try: NATIVE_WRITE_EEPROM_CMD address length data"},
    {"NATIVE_COMMAND_PIPE_CMD", NATIVE_COMMAND_PIPE,
     "Wrong Usage for NATIVE_COMMAND_PIPE_CMD, try: NATIVE_COMMAND_PIPE_CMD cmd_type parameter(32bit)"},
};

const char* UsageOf(int type) {
    for (const NativeCommandName& command : kNativeCommands) {
        if (command.type == type) return command.usage;
    }
    return "Unknown native command";
}

// Space-separated tokens; other blank characters belong to the token.
std::vector<std::string> SplitOnSpaces(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', position);
        if (start == std::string::npos) break;
        const std::size_t end = std::min(text.find(' ', start), text.size());
        tokens.push_back(text.substr(start, end - start));
        position = end;
    }
    return tokens;
}

std::uint16_t Low16(std::int32_t value) { return static_cast<std::uint16_t>(value); }
std::uint32_t AsUnsigned(std::int32_t value) { return static_cast<std::uint32_t>(value); }

void LogBuilding(const char* name) {
    if (LogEnabled(LOG_DETAIL)) LogMessage(Format("<ConsoleNativeAdapter>Building %s Struct", name), LOG_DETAIL);
}

NativeCommand_t MakeRecord(std::uint16_t type, std::uint32_t address, std::uint16_t length) {
    NativeCommand_t record;
    record.Type = type;
    record.Address = address;
    record.Length = length;
    return record;
}

}  // namespace

ConsoleNativeAdapter& ConsoleNativeAdapter::GetInstance() {
    static ConsoleNativeAdapter instance;
    return instance;
}

ConsoleNativeAdapter::ConsoleNativeAdapter() {
    for (const NativeCommandName& command : kNativeCommands) commandTypes_[command.name] = command.type;
    if (LogSeverity() <= LOG_NORMAL) return;
    LogLine("<ConsoleNativeAdapter> Start Section - Printing Native Command Map:", LOG_DETAIL);
    for (const auto& entry : commandTypes_) {
        LogMessage(Format("<ConsoleNativeAdapter>Native Command Name: %s , TypeValue: %x", entry.first.c_str(),
                          static_cast<unsigned>(entry.second)),
                   LOG_DETAIL);
    }
    LogLine("<ConsoleNativeAdapter> End Section - Printing Native Command Map!", LOG_DETAIL);
}

std::vector<std::string> ConsoleNativeAdapter::CommandNames() {
    std::vector<std::string> names;
    for (const NativeCommandName& command : kNativeCommands) names.push_back(command.name);
    return names;
}

int ConsoleNativeAdapter::GetNativeCommandType(const std::string& name) const {
    const auto found = commandTypes_.find(name);
    return found == commandTypes_.end() ? -1 : found->second;
}

bool ConsoleNativeAdapter::ParseArguments(const std::string& arguments, std::vector<std::int32_t>& values,
                                          std::string& refused) {
    values.clear();
    for (const std::string& token : SplitOnSpaces(arguments)) {
        LogMessage(token, LOG_DETAIL);
        std::uint32_t bits = 0;
        if (!ParseWord32(token, AutoBase(token), bits)) {
            refused = token;
            return false;
        }
        values.push_back(static_cast<std::int32_t>(bits));
    }
    return true;
}

bool ConsoleNativeAdapter::AdaptNativeCommand(const std::string& line, NativeCommand_t& out) const {
    const std::size_t nameStart = line.find_first_not_of(' ');
    if (nameStart == std::string::npos) {
        LogLine("<ConsoleNativeAdapter>Error: Wrong Usage for Native Command", LOG_NORMAL);
        return false;
    }
    const std::size_t nameEnd = std::min(line.find(' ', nameStart), line.size());
    const int type = GetNativeCommandType(line.substr(nameStart, nameEnd - nameStart));
    if (type < 0) {
        LogLine("<ConsoleNativeAdapter>Error: Unknown Native Command", LOG_NORMAL);
        return false;
    }

    LogLine("<ConsoleNativeAdapter>Start Section - Disassembly Native Command To Tokens:", LOG_DETAIL);
    std::vector<std::int32_t> values;
    std::string refused;
    const bool parsed = ParseArguments(line.substr(nameEnd), values, refused);
    LogLine("<ConsoleNativeAdapter>End Section - Disassembly Native Command To Tokens!", LOG_DETAIL);
    if (!parsed) {
        LogMessage(Format("<ConsoleNativeAdapter>Error: '%s' is not a number of 32 bits", refused.c_str()),
                   LOG_NORMAL);
        LogMessage(UsageOf(type), LOG_NORMAL);
        return false;
    }

    LogLine("<ConsoleNativeAdapter>Building Native Struct", LOG_DETAIL);
    return BuildFromValues(type, values, out);
}

bool ConsoleNativeAdapter::BuildFromValues(int type, const std::vector<std::int32_t>& values,
                                           NativeCommand_t& out) const {
    const std::size_t count = values.size();
    bool usageOk = false;
    switch (type) {
        case NATIVE_READ_WORD:
            usageOk = count == 1;
            break;
        case NATIVE_WRITE_BUFFER:
        case NATIVE_WRITE_EEPROM:
            usageOk = count >= 2 && count == static_cast<std::size_t>(Low16(values[1])) + 2;
            break;
        case NATIVE_WRITE_WORD:
        case NATIVE_READ_BUFFER:
        case NATIVE_READ_EEPROM:
        case NATIVE_COMMAND_PIPE:
            usageOk = count == 2;
            break;
        default:
            LogLine("Unknown native command", LOG_NORMAL);
            return false;
    }
    if (!usageOk) {
        LogMessage(UsageOf(type), LOG_NORMAL);
        return false;
    }

    const std::uint32_t address = AsUnsigned(values[0]);
    switch (type) {
        case NATIVE_READ_WORD:
            return BuildReadWordCmd(address, out);
        case NATIVE_WRITE_WORD:
            return BuildWriteWordCmd(address, AsUnsigned(values[1]), out);
        case NATIVE_READ_BUFFER:
            return BuildReadBufferCmd(address, Low16(values[1]), out);
        case NATIVE_WRITE_BUFFER:
            return BuildWriteBufferCmd(address, Low16(values[1]), {values.begin() + 2, values.end()}, out);
        case NATIVE_READ_EEPROM:
            return BuildReadEepromCmd(address, Low16(values[1]), out);
        case NATIVE_WRITE_EEPROM:
            return BuildWriteEepromCmd(address, Low16(values[1]), {values.begin() + 2, values.end()}, out);
        default:
            return BuildCommandPipeCmd(Low16(values[0]), AsUnsigned(values[1]), out);
    }
}

bool ConsoleNativeAdapter::BuildReadWordCmd(std::uint32_t address, NativeCommand_t& out) const {
    LogBuilding("NATIVE_READ_WORD_CMD");
    out = MakeRecord(NATIVE_READ_WORD, address, 0);
    return true;
}

bool ConsoleNativeAdapter::BuildWriteWordCmd(std::uint32_t address, std::uint32_t value, NativeCommand_t& out) const {
    LogBuilding("NATIVE_WRITE_WORD_CMD");
    out = MakeRecord(NATIVE_WRITE_WORD, address, 4);
    PutLe32(out.Data.data(), value);
    return true;
}

bool ConsoleNativeAdapter::BuildReadBufferCmd(std::uint32_t address, std::uint16_t length,
                                              NativeCommand_t& out) const {
    LogBuilding("NATIVE_READ_BUFFER_CMD");
    out = MakeRecord(NATIVE_READ_BUFFER, address, length);
    return true;
}

bool ConsoleNativeAdapter::BuildReadEepromCmd(std::uint32_t address, std::uint16_t length,
                                              NativeCommand_t& out) const {
    LogBuilding("NATIVE_READ_EEPROM_CMD");
    out = MakeRecord(NATIVE_READ_EEPROM, address, length);
    return true;
}

bool ConsoleNativeAdapter::BuildCommandPipeCmd(std::uint16_t cmdType, std::uint32_t parameter,
                                               NativeCommand_t& out) const {
    LogBuilding("NATIVE_COMMAND_PIPE_CMD");
    out = MakeRecord(NATIVE_COMMAND_PIPE, parameter, 0);
    out.AdditionalParam = cmdType;
    return true;
}

bool ConsoleNativeAdapter::BuildWrite(std::uint16_t type, const char* name, std::uint32_t address,
                                      std::uint16_t length, const std::uint8_t* data, NativeCommand_t& out) const {
    LogBuilding(name);
    if (length > kNativeDataSize) {
        LogMessage(Format("<ConsoleNativeAdapter>Error: %s length %u exceeds the %u bytes of the Data area", name,
                          static_cast<unsigned>(length), static_cast<unsigned>(kNativeDataSize)),
                   LOG_NORMAL);
        return false;
    }
    if (length > 0 && data == nullptr) return false;
    out = MakeRecord(type, address, length);
    std::copy_n(data, length, out.Data.begin());
    return true;
}

namespace {
// The low byte of each value; false when there are fewer values than bytes.
bool LowBytes(const std::vector<std::int32_t>& values, std::uint16_t length, std::vector<std::uint8_t>& bytes) {
    if (values.size() < length) return false;
    bytes.resize(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(values[i]);
    return true;
}
}  // namespace

bool ConsoleNativeAdapter::BuildWriteBufferCmd(std::uint32_t address, std::uint16_t length,
                                               const std::vector<std::int32_t>& data, NativeCommand_t& out) const {
    std::vector<std::uint8_t> bytes;
    if (!LowBytes(data, length, bytes)) {
        LogBuilding("NATIVE_WRITE_BUFFER_CMD");
        LogMessage(UsageOf(NATIVE_WRITE_BUFFER), LOG_NORMAL);
        return false;
    }
    return BuildWriteBufferCmd(address, length, bytes.data(), out);
}

bool ConsoleNativeAdapter::BuildWriteBufferCmd(std::uint32_t address, std::uint16_t length, const std::uint8_t* data,
                                               NativeCommand_t& out) const {
    return BuildWrite(NATIVE_WRITE_BUFFER, "NATIVE_WRITE_BUFFER_CMD", address, length, data, out);
}

bool ConsoleNativeAdapter::BuildWriteEepromCmd(std::uint32_t address, std::uint16_t length,
                                               const std::vector<std::int32_t>& data, NativeCommand_t& out) const {
    std::vector<std::uint8_t> bytes;
    if (!LowBytes(data, length, bytes)) {
        LogBuilding("NATIVE_WRITE_EEPROM_CMD");
        LogMessage(UsageOf(NATIVE_WRITE_EEPROM), LOG_NORMAL);
        return false;
    }
    return BuildWriteEepromCmd(address, length, bytes.data(), out);
}

bool ConsoleNativeAdapter::BuildWriteEepromCmd(std::uint32_t address, std::uint16_t length, const std::uint8_t* data,
                                               NativeCommand_t& out) const {
    return BuildWrite(NATIVE_WRITE_EEPROM, "NATIVE_WRITE_EEPROM_CMD", address, length, data, out);
}
