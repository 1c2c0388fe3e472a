// Native commands: the seven raw memory, EEPROM and pipe operations a host can
// type, and the builders of their records.
#ifndef TERMBRIDGE_CONSOLENATIVEADAPTER_H
#define TERMBRIDGE_CONSOLENATIVEADAPTER_H

#include <cstdint>
#include <string>

#include "packets.h"

class ConsoleNativeAdapter {
public:
    static ConsoleNativeAdapter& GetInstance();

    // Type value 0-6, or -1 when the name is not a native command.
    int GetNativeCommandType(const std::string& name) const;
    // Builds the record from a whole native command line.
    bool AdaptNativeCommand(const std::string& line, NativeCommand_t& out) const;
};

#endif
