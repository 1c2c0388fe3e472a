// Turns PHY, MAC and memory command lines into the bytes sent to the chip.
#ifndef TERMBRIDGE_CONSOLEAPPADAPTER_H
#define TERMBRIDGE_CONSOLEAPPADAPTER_H

#include <array>
#include <cstdint>
#include <string>

#include "packets.h"

class StructAccess;

constexpr std::size_t kPhyConsoleCmdSize = 20;
constexpr std::size_t kMacCmdBuffSize = 200;

class ConsoleAppAdapter {
public:
    explicit ConsoleAppAdapter(StructAccess* structAccess);

    bool isMemCommand(const std::string& word) const;
    bool adaptMemCommand(const std::string& commandWord, const std::string& restOfLine,
                         NativeCommand_t& nativeCommand);
    bool adaptCommand(const std::string& commandLine,
                      std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                      std::array<std::uint8_t, kMacCmdBuffSize>& cmdBuff, bool& isMACCommand,
                      std::uint32_t& commandLen, bool& responseExpected,
                      bool& isNonConsoleMacPhyCommand);
};

#endif
