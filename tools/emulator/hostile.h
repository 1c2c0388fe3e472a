// A hostile dispatcher: what it sends instead of the chip's answers, and
// connections it opens and drops in a loop. The library must answer every
// host command within its time-outs through all of it (tests/e2e's hostile
// test, on Linux and as a Windows program under Wine).
#ifndef TBEMU_HOSTILE_H
#define TBEMU_HOSTILE_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "chip.h"
#include "packets.h"

namespace tbemu {

enum class HostileMode {
    Off,        // the chip answers
    Silent,     // nothing at all
    Garbage,    // 1 to 4000 random bytes per command
    MaxLength,  // a packet of Length 0xFFFF, then a full 512-byte packet of 0xFF, with the command's number
    Capture,    // sane mailbox answers, then 300 capture fragments claiming 65535 bytes, out of order, past 255
    Flood,      // 5000 copies of a sane answer at once
};

// The mode a control line names ("off", "silent", "garbage", "max-length",
// "capture", "flood"); false for any other name.
bool HostileModeFromName(const std::string& name, HostileMode& mode);

// The bytes the hostile dispatcher writes to the event stream for one
// command (none when silent).
Bytes HostileAnswer(HostileMode mode, std::uint8_t packetNum, const NativeCommand_t& command,
                    std::mt19937& random);

// Opens `count` connections to the library one after the other, writes a
// piece of a packet into each (1 + 5i random bytes into the i-th) and closes
// it; every other one comes from `otherSource`. False with a reason when a
// connection cannot be opened within a second.
bool ChurnConnections(const std::string& address, std::uint16_t port, int count, const std::string& otherSource,
                      std::string& error);

}  // namespace tbemu

#endif
