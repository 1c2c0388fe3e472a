// Turns PHY, MAC and memory command lines into the bytes sent to the chip.
#ifndef TERMBRIDGE_CONSOLEAPPADAPTER_H
#define TERMBRIDGE_CONSOLEAPPADAPTER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "packets.h"

class StructAccess;

constexpr std::size_t kPhyConsoleCmdSize = 20;
constexpr std::size_t kMacCmdBuffSize = 200;

class ConsoleAppAdapter {
public:
    static constexpr std::size_t kPhyHeaderLength = 8;
    static constexpr std::size_t kMaxPhyStructLength = kPhyConsoleCmdSize - kPhyHeaderLength;  // 12
    static constexpr std::size_t kMacHeaderLength = 4;
    static constexpr std::size_t kMaxMacStructLength = kMacCmdBuffSize - kMacHeaderLength;  // 196
    // The parameter text travels in a 256-character buffer (with its NUL).
    static constexpr std::size_t kMaxParameterText = 255;
    static constexpr int kMaxReadSize = 16;
    static constexpr int kMaxWriteSize = 4;

    explicit ConsoleAppAdapter(StructAccess* structAccess);

    bool isMemCommand(const std::string& word) const;
    bool adaptMemCommand(const std::string& commandWord, const std::string& restOfLine,
                         NativeCommand_t& nativeCommand);
    bool adaptCommand(const std::string& commandLine,
                      std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                      std::array<std::uint8_t, kMacCmdBuffSize>& cmdBuff, bool& isMACCommand,
                      std::uint32_t& commandLen, bool& responseExpected,
                      bool& isNonConsoleMacPhyCommand);

    // The four memory command forms; each writes a native command line.
    // text: "operation field"
    bool adaptGetMemOperStruct(const std::string& text, std::string& nativeLine) const;
    // text: "operation field value"
    bool adaptSetMemOperStruct(const std::string& text, std::string& nativeLine) const;
    // fileWord: MAC_FILE_TYPE or PHY_FILE_TYPE; text: "symbol size"
    bool adaptReadMemSymbol(const std::string& fileWord, const std::string& text,
                            std::string& nativeLine) const;
    // fileWord as above; text: "symbol size value"
    bool adaptWriteMemSymbol(const std::string& fileWord, const std::string& text,
                             std::string& nativeLine) const;

    // The windows through which the dispatcher reaches each processor's memory.
    static std::uint32_t MacWindowAddress(std::uint32_t symbolAddress, std::uint32_t fieldOffset);
    static std::uint32_t PhyWindowAddress(std::uint32_t symbolAddress, std::uint32_t fieldOffset);
    // " 0x.." for each of the fieldSize low-order bytes, most significant first.
    static std::string BytesText(std::uint32_t value, int fieldSize);

private:
    bool buildPhyCommand(const std::string& commandName, const std::string& parameters,
                         std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                         std::uint32_t& commandLen, bool& responseExpected) const;
    bool buildMacCommand(const std::string& commandName, const std::string& parameters,
                         std::array<std::uint8_t, kMacCmdBuffSize>& cmdBuff,
                         std::uint32_t& commandLen, bool& responseExpected);
    // Resolves a memory operation's field into a windowed address and size.
    bool resolveMemOperField(const std::string& operation, const std::string& field,
                             const char* caller, std::uint32_t& address, int& fieldSize) const;
    bool resolveSymbol(const std::string& fileWord, const std::string& symbol,
                       std::uint32_t& address) const;

    StructAccess* structAccess_;
    std::uint32_t macSequenceCounter_ = 0;  // its low byte goes into each MAC header
};

#endif
