// Native commands: the seven raw memory, EEPROM and pipe operations a host can
// type, and the builders of their records.
#ifndef TERMBRIDGE_CONSOLENATIVEADAPTER_H
#define TERMBRIDGE_CONSOLENATIVEADAPTER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packets.h"

class ConsoleNativeAdapter {
public:
    // The single instance lives until the library is unloaded (a function
    // static, released by the runtime at unload).
    static ConsoleNativeAdapter& GetInstance();

    // The seven command words, in their type order. Needs no instance (hosts
    // use it for completion without starting the library's logging).
    static std::vector<std::string> CommandNames();

    // Type value 0-6, or -1 when the name is not a native command.
    int GetNativeCommandType(const std::string& name) const;
    // Builds the record from a whole native command line.
    bool AdaptNativeCommand(const std::string& line, NativeCommand_t& out) const;

    // Record builders. The write builders refuse a length above the
    // 512-byte Data area; the list forms also refuse fewer values than the
    // length (the low byte of each value is written).
    bool BuildReadWordCmd(std::uint32_t address, NativeCommand_t& out) const;
    bool BuildWriteWordCmd(std::uint32_t address, std::uint32_t value, NativeCommand_t& out) const;
    bool BuildReadBufferCmd(std::uint32_t address, std::uint16_t length, NativeCommand_t& out) const;
    bool BuildWriteBufferCmd(std::uint32_t address, std::uint16_t length, const std::vector<std::int32_t>& data,
                             NativeCommand_t& out) const;
    bool BuildWriteBufferCmd(std::uint32_t address, std::uint16_t length, const std::uint8_t* data,
                             NativeCommand_t& out) const;
    bool BuildReadEepromCmd(std::uint32_t address, std::uint16_t length, NativeCommand_t& out) const;
    bool BuildWriteEepromCmd(std::uint32_t address, std::uint16_t length, const std::vector<std::int32_t>& data,
                             NativeCommand_t& out) const;
    bool BuildWriteEepromCmd(std::uint32_t address, std::uint16_t length, const std::uint8_t* data,
                             NativeCommand_t& out) const;
    bool BuildCommandPipeCmd(std::uint16_t cmdType, std::uint32_t parameter, NativeCommand_t& out) const;

    // Splits the arguments of a native command line into numbers: "0x" in a
    // token makes it hexadecimal, otherwise decimal, read up to the first
    // character that is not a digit. False, with the token in `refused`, for
    // a token that is not a number or does not fit 32 bits: sent as another
    // value (the one before it, or a saturated one), it would reach an
    // address or write a value nobody typed.
    static bool ParseArguments(const std::string& arguments, std::vector<std::int32_t>& values,
                               std::string& refused);

    ConsoleNativeAdapter(const ConsoleNativeAdapter&) = delete;
    ConsoleNativeAdapter& operator=(const ConsoleNativeAdapter&) = delete;

private:
    ConsoleNativeAdapter();
    bool BuildFromValues(int type, const std::vector<std::int32_t>& values, NativeCommand_t& out) const;
    bool BuildWrite(std::uint16_t type, const char* name, std::uint32_t address, std::uint16_t length,
                    const std::uint8_t* data, NativeCommand_t& out) const;

    std::map<std::string, int> commandTypes_;
};

#endif
