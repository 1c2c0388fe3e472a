#include "consoleappadapter.h"

#include <cerrno>
#include <cstdlib>

#include "consolelogger.h"
#include "consolenativeadapter.h"
#include "strformat.h"
#include "structaccess.h"

namespace {

const char* const kMemRead = "MEM_READ";
const char* const kMemWrite = "MEM_WRITE";
const char* const kStructSource = "STRUCT";
const char* const kMacFileWord = "MAC_FILE_TYPE";
const char* const kPhyFileWord = "PHY_FILE_TYPE";

constexpr std::uint32_t kWindowMask = 0xBF0FFFFF;  // clears bit 30 and bits 20-23
constexpr std::uint32_t kMacWindow = 0x00E00000;
constexpr std::uint32_t kPhyWindow = 0x00540000;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The command word is the first blank-delimited word; its parameters are
// everything after the blank that ends it.
void SplitCommandLine(const std::string& line, std::string& name, std::string& parameters) {
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    std::size_t end = start;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    name = line.substr(start, end - start);
    parameters = end < line.size() ? line.substr(end + 1) : std::string();
}

std::string TrimLineEnd(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) --end;
    return text.substr(0, end);
}

// Memory command words are separated by exactly one blank; anything else is
// not a line this adapter can read unambiguously.
bool SplitAtSingleBlanks(const std::string& text, std::vector<std::string>& words) {
    const std::string trimmed = TrimLineEnd(text);
    words.clear();
    if (trimmed.empty()) return true;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= trimmed.size(); ++i) {
        if (i < trimmed.size() && trimmed[i] != ' ') {
            if (IsBlank(trimmed[i])) return false;
            continue;
        }
        if (i == start) return false;  // leading blank or a run of blanks
        words.push_back(trimmed.substr(start, i - start));
        start = i + 1;
    }
    return true;
}

bool ReadMemWords(const std::string& text, std::size_t count, const char* usage,
                  std::vector<std::string>& words) {
    if (!SplitAtSingleBlanks(text, words)) {
        LogMessage(Format("<ConsoleAppAdapter>Memory command words must be separated by single "
                          "blanks: '%s'",
                          text.c_str()),
                   LOG_NORMAL);
        return false;
    }
    // Words after the ones read are ignored, as a scanf-style reading does.
    // A null usage accepts any number of words.
    if (usage != nullptr && words.size() < count) {
        LogMessage(Format("<ConsoleAppAdapter>Wrong Usage, try: %s", usage), LOG_NORMAL);
        return false;
    }
    return true;
}

// A size is read as %d reads it: a decimal prefix ("4abc" is 4); it must
// lie within [1, maxSize].
bool ParseSize(const std::string& word, int maxSize, int& size) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(word.c_str(), &end, 10);
    if (end == word.c_str() || errno == ERANGE) {
        LogMessage(Format("<ConsoleAppAdapter>Size %s is not a decimal number.", word.c_str()),
                   LOG_NORMAL);
        return false;
    }
    if (value < 1 || value > maxSize) return false;
    size = static_cast<int>(value);
    return true;
}

bool FitsInBytes(std::int64_t value, int size) {
    const int bits = 8 * size;
    const std::int64_t lowest = -(static_cast<std::int64_t>(1) << (bits - 1));
    const std::int64_t highest = (static_cast<std::int64_t>(1) << bits) - 1;
    return value >= lowest && value <= highest;
}

// The value of a memory write: hexadecimal when its text holds "0x", decimal
// otherwise; it must be a whole number that fits in `size` bytes.
bool ParseWriteValue(const std::string& text, int size, std::uint32_t& value) {
    const int base = text.find("0x") != std::string::npos ? 16 : 10;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, base);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE) {
        LogMessage(Format("<ConsoleAppAdapter>Value %s is not a number.", text.c_str()),
                   LOG_NORMAL);
        return false;
    }
    if (!FitsInBytes(parsed, size)) {
        LogMessage(Format("<ConsoleAppAdapter>Value %s does not fit in %d bytes.", text.c_str(),
                          size),
                   LOG_NORMAL);
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::string ReadBufferLine(std::uint32_t address, int size) {
    return Format("NATIVE_READ_BUFFER_CMD 0x%lx %ld", static_cast<unsigned long>(address),
                  static_cast<long>(size));
}

std::string WriteBufferLine(std::uint32_t address, int size, std::uint32_t value) {
    return Format("NATIVE_WRITE_BUFFER_CMD 0x%lx %ld%s", static_cast<unsigned long>(address),
                  static_cast<long>(size), ConsoleAppAdapter::BytesText(value, size).c_str());
}

}  // namespace

ConsoleAppAdapter::ConsoleAppAdapter(StructAccess* structAccess) : structAccess_(structAccess) {}

bool ConsoleAppAdapter::isMemCommand(const std::string& word) const {
    return word == kMemRead || word == kMemWrite;
}

std::uint32_t ConsoleAppAdapter::MacWindowAddress(std::uint32_t symbolAddress,
                                                  std::uint32_t fieldOffset) {
    return ((symbolAddress + fieldOffset) & kWindowMask) | kMacWindow;
}

std::uint32_t ConsoleAppAdapter::PhyWindowAddress(std::uint32_t symbolAddress,
                                                  std::uint32_t fieldOffset) {
    return ((symbolAddress & kWindowMask) | kPhyWindow) + fieldOffset;
}

std::string ConsoleAppAdapter::BytesText(std::uint32_t value, int fieldSize) {
    std::string text;
    for (int byte = fieldSize - 1; byte >= 0; --byte) {
        text += Format(" 0x%02x", static_cast<unsigned>((value >> (8 * byte)) & 0xFFu));
    }
    return text;
}

// ---------------------------------------------------------------- PHY and MAC commands

bool ConsoleAppAdapter::adaptCommand(const std::string& commandLine,
                                     std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                                     std::array<std::uint8_t, kMacCmdBuffSize>& cmdBuff,
                                     bool& isMACCommand, std::uint32_t& commandLen,
                                     bool& responseExpected, bool& isNonConsoleMacPhyCommand) {
    if (structAccess_ == nullptr) {
        LogMessage("<ConsoleAppAdapter>No struct database to adapt commands with.", LOG_NORMAL);
        return false;
    }
    std::string commandName;
    std::string parameters;
    SplitCommandLine(commandLine, commandName, parameters);

    int commandType = -1;
    if (!structAccess_->getCommandType(commandName, commandType)) return false;

    if (parameters.size() > kMaxParameterText) {
        LogMessage(Format("<ConsoleAppAdapter>Parameters of %s are longer than %d characters.",
                          commandName.c_str(), static_cast<int>(kMaxParameterText)),
                   LOG_NORMAL);
        return false;
    }

    switch (commandType) {
    case PHY_CMD_TYPE:
    case PHY_TUNNEL_CMD_TYPE:
        isMACCommand = false;
        isNonConsoleMacPhyCommand = (commandType == PHY_TUNNEL_CMD_TYPE);
        return buildPhyCommand(commandName, parameters, phyConsoleCmd, commandLen,
                               responseExpected);
    case MAC_CMD_TYPE:
        isMACCommand = true;
        isNonConsoleMacPhyCommand = false;
        return buildMacCommand(commandName, parameters, cmdBuff, commandLen, responseExpected);
    default:
        LogMessage(Format("<ConsoleAppAdapter>Command %s has the unknown command type %d.",
                          commandName.c_str(), commandType),
                   LOG_NORMAL);
        return false;
    }
}

bool ConsoleAppAdapter::buildPhyCommand(const std::string& commandName,
                                        const std::string& parameters,
                                        std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                                        std::uint32_t& commandLen, bool& responseExpected) const {
    std::uint32_t opcode = 0;
    if (!structAccess_->getCommandOpcode(commandName, opcode)) {
        LogMessage("Bad PHY command type.", LOG_NORMAL);
        return false;
    }
    // Bytes 5 to 7 belong to no field; they always go out as zero.
    phyConsoleCmd[0] = static_cast<std::uint8_t>(opcode);
    for (std::size_t i = 1; i < kPhyHeaderLength; ++i) phyConsoleCmd[i] = 0;
    phyConsoleCmd[4] = static_cast<std::uint8_t>(kPhyHeaderLength);

    std::uint32_t structLength = 0;
    if (!structAccess_->getCommandLength(commandName, structLength)) {
        LogMessage(Format("<ConsoleAppAdapter>Unable to count %s command's length please check "
                          "struct definition.",
                          commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    if (structLength > kMaxPhyStructLength) {
        LogMessage(Format("<ConsoleAppAdapter>Unable to handle %s because command's length %d "
                          "exceed the console command's max length %d \n\t\t\tPlease check "
                          "struct definition.",
                          commandName.c_str(), static_cast<int>(structLength),
                          static_cast<int>(kMaxPhyStructLength)),
                   LOG_NORMAL);
        return false;
    }
    commandLen = static_cast<std::uint32_t>(kPhyHeaderLength) + structLength;
    phyConsoleCmd[4] = static_cast<std::uint8_t>(commandLen);

    responseExpected = true;
    if (!structAccess_->getCommandWait(commandName, responseExpected)) return false;

    return structAccess_->adaptCommandParams(commandName, parameters,
                                             phyConsoleCmd.data() + kPhyHeaderLength,
                                             kMaxPhyStructLength, true);
}

bool ConsoleAppAdapter::buildMacCommand(const std::string& commandName,
                                        const std::string& parameters,
                                        std::array<std::uint8_t, kMacCmdBuffSize>& cmdBuff,
                                        std::uint32_t& commandLen, bool& responseExpected) {
    std::uint32_t structLength = 0;
    if (!structAccess_->getCommandLength(commandName, structLength)) {
        LogMessage(Format("Unable to count %s command's length please check struct definition.",
                          commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    if (structLength > kMaxMacStructLength) {
        LogMessage(Format("<ConsoleAppAdapter>Unable to handle %s because command's length %d "
                          "exceed the MAC command's max length %d. Please check struct "
                          "definition.",
                          commandName.c_str(), static_cast<int>(structLength),
                          static_cast<int>(kMaxMacStructLength)),
                   LOG_NORMAL);
        return false;
    }
    commandLen = structLength + static_cast<std::uint32_t>(kMacHeaderLength);

    if (!structAccess_->adaptCommandParams(commandName, parameters,
                                           cmdBuff.data() + kMacHeaderLength, kMaxMacStructLength,
                                           true)) {
        return false;
    }
    responseExpected = true;
    if (!structAccess_->getCommandWait(commandName, responseExpected)) return false;
    std::uint32_t opcode = 0;
    if (!structAccess_->getCommandOpcode(commandName, opcode)) return false;

    PutBe16(cmdBuff.data(), static_cast<std::uint16_t>(opcode));
    cmdBuff[2] = static_cast<std::uint8_t>(macSequenceCounter_);
    cmdBuff[3] = 0;
    ++macSequenceCounter_;
    return true;
}

// ---------------------------------------------------------------- memory commands

bool ConsoleAppAdapter::adaptMemCommand(const std::string& commandWord,
                                        const std::string& restOfLine,
                                        NativeCommand_t& nativeCommand) {
    if (structAccess_ == nullptr) {
        LogMessage("<ConsoleAppAdapter>No struct database to adapt commands with.", LOG_NORMAL);
        return false;
    }
    std::vector<std::string> words;
    if (!ReadMemWords(restOfLine, 0, nullptr, words)) return false;
    if (words.empty()) {
        LogMessage(Format("<ConsoleAppAdapter>Wrong Usage, try: %s STRUCT|MAC_FILE_TYPE|"
                          "PHY_FILE_TYPE ...",
                          commandWord.c_str()),
                   LOG_NORMAL);
        return false;
    }
    const std::string& source = words[0];
    const std::string trimmed = TrimLineEnd(restOfLine);
    const std::string text =
        source.size() < trimmed.size() ? trimmed.substr(source.size() + 1) : std::string();
    const bool isWrite = (commandWord == kMemWrite);

    std::string nativeLine;
    bool adapted = false;
    if (source == kStructSource) {
        adapted = isWrite ? adaptSetMemOperStruct(text, nativeLine)
                          : adaptGetMemOperStruct(text, nativeLine);
    } else {
        adapted = isWrite ? adaptWriteMemSymbol(source, text, nativeLine)
                          : adaptReadMemSymbol(source, text, nativeLine);
    }
    if (!adapted) return false;

    LogMessage(Format("<ConsoleAppAdapter>Memory command adapted to: %s", nativeLine.c_str()),
               LOG_DETAIL);
    return ConsoleNativeAdapter::GetInstance().AdaptNativeCommand(nativeLine, nativeCommand);
}

bool ConsoleAppAdapter::resolveMemOperField(const std::string& operation,
                                            const std::string& field, const char* caller,
                                            std::uint32_t& address, int& fieldSize) const {
    const std::uint32_t paramAddress = structAccess_->getSymbolAddress(operation, "", false);
    if (paramAddress == 0) return false;

    std::string structName;
    if (!structAccess_->getMemOpStructName(operation, structName)) return false;

    int fieldOffset = -1;
    bool isSigned = false;
    fieldSize = -1;
    structAccess_->getFieldInfo(structName, field, fieldOffset, fieldSize, isSigned);
    if (fieldOffset == -1 || fieldSize == -1) {
        LogMessage(Format("%s: Bad field offset or size: offset=%d, size=%d\n", caller,
                          fieldOffset, fieldSize),
                   LOG_NORMAL);
        return false;
    }

    int fileType = 0;
    if (!structAccess_->getMemOpFileType(operation, fileType)) return false;
    const auto offset = static_cast<std::uint32_t>(fieldOffset);
    address = fileType != MAC_FILE_TYPE ? PhyWindowAddress(paramAddress, offset)
                                        : MacWindowAddress(paramAddress, offset);
    return true;
}

bool ConsoleAppAdapter::adaptGetMemOperStruct(const std::string& text,
                                              std::string& nativeLine) const {
    std::vector<std::string> words;
    if (!ReadMemWords(text, 2, "MEM_READ STRUCT operation field", words)) return false;
    std::uint32_t address = 0;
    int fieldSize = 0;
    if (!resolveMemOperField(words[0], words[1], "adaptGetMemOperStruct", address, fieldSize)) {
        return false;
    }
    nativeLine = ReadBufferLine(address, fieldSize);
    return true;
}

bool ConsoleAppAdapter::adaptSetMemOperStruct(const std::string& text,
                                              std::string& nativeLine) const {
    std::vector<std::string> words;
    if (!ReadMemWords(text, 3, "MEM_WRITE STRUCT operation field value", words)) return false;
    std::uint32_t address = 0;
    int fieldSize = 0;
    if (!resolveMemOperField(words[0], words[1], "adaptSetMemOperStruct", address, fieldSize)) {
        return false;
    }
    std::uint32_t value = 0;
    if (!ParseWriteValue(words[2], fieldSize, value)) return false;
    nativeLine = WriteBufferLine(address, fieldSize, value);
    return true;
}

bool ConsoleAppAdapter::resolveSymbol(const std::string& fileWord, const std::string& symbol,
                                      std::uint32_t& address) const {
    if (fileWord != kMacFileWord && fileWord != kPhyFileWord) {
        LogMessage(Format("<ConsoleAppAdapter>Unknown memory source %s. Use STRUCT, "
                          "MAC_FILE_TYPE or PHY_FILE_TYPE.",
                          fileWord.c_str()),
                   LOG_NORMAL);
        return false;
    }
    const std::uint32_t paramAddress = structAccess_->getSymbolAddress(symbol, fileWord, true);
    if (paramAddress == 0) return false;
    address = fileWord == kMacFileWord ? MacWindowAddress(paramAddress, 0)
                                       : PhyWindowAddress(paramAddress, 0);
    return true;
}

bool ConsoleAppAdapter::adaptReadMemSymbol(const std::string& fileWord, const std::string& text,
                                           std::string& nativeLine) const {
    std::vector<std::string> words;
    if (!ReadMemWords(text, 2, "MEM_READ MAC_FILE_TYPE|PHY_FILE_TYPE symbol size", words)) {
        return false;
    }
    int size = 0;
    if (!ParseSize(words[1], kMaxReadSize, size)) return false;
    std::uint32_t address = 0;
    if (!resolveSymbol(fileWord, words[0], address)) return false;
    nativeLine = ReadBufferLine(address, size);
    return true;
}

bool ConsoleAppAdapter::adaptWriteMemSymbol(const std::string& fileWord, const std::string& text,
                                            std::string& nativeLine) const {
    std::vector<std::string> words;
    if (!ReadMemWords(text, 3, "MEM_WRITE MAC_FILE_TYPE|PHY_FILE_TYPE symbol size value",
                      words)) {
        return false;
    }
    int size = 0;
    if (!ParseSize(words[1], kMaxWriteSize, size)) return false;
    std::uint32_t value = 0;
    if (!ParseWriteValue(words[2], size, value)) return false;
    std::uint32_t address = 0;
    if (!resolveSymbol(fileWord, words[0], address)) return false;
    nativeLine = WriteBufferLine(address, size, value);
    return true;
}
