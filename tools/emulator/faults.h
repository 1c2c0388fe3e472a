// Faults the emulated dispatcher can put into its answers, all off by default.
// The fault plan (faultplan.h) arms them and applies them.
#ifndef TBEMU_FAULTS_H
#define TBEMU_FAULTS_H

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "hostile.h"

namespace tbemu {

struct AnswerFaults {
    // Commands are counted from 1 in arrival order; system commands, which
    // are never answered, do not count.
    std::set<std::uint64_t> dropAnswerTo;
    int dropNext = 0;             // answers still to drop
    int dropEventsNext = 0;       // commands still to execute without sending their events
    int delayMs = 0;              // every answer and event leaves this late
    int delayedLeft = 0;          // replies still to delay; 0: every one while delayMs is set
    int wrongNumberNext = 0;      // answers still to send with another packet number
    int staleBeforeNext = 0;      // answers still to precede with a stale answer
    int oversizeNext = 0;         // answers still to send with an illegal Length
    std::size_t splitBytes = 0;   // stream written in pieces of this size; 0: whole packets
    bool reconnectBeforeNext = false;  // open a second connection before the next answer
    // Read-backs (buffer reads) are counted from 1 since one of these was
    // set; the answer to that one is spoiled (first byte inverted) or dropped.
    std::uint64_t corruptReadBack = 0;  // 0: off
    std::uint64_t dropReadBack = 0;     // 0: off
    std::uint64_t readBacksSeen = 0;
    bool refuseRun = false;  // run commands stay unanswered and start nothing
    // EEPROM commands (read and write chunks), counted from 1 in arrival
    // order: the answer to each listed one is left out, or has its data
    // bytes inverted. The chip carries the command out either way.
    std::set<std::uint64_t> dropEepromAnswerTo;
    std::set<std::uint64_t> corruptEepromAnswerTo;
    // Every command but the system ones is answered as this hostile
    // dispatcher would, instead of by the chip.
    HostileMode hostile = HostileMode::Off;
    // The local address connections to the library come from; empty: the
    // system's choice.
    std::string sourceAddress;
};

enum class EepromChunkFault { Drop, Corrupt };

// The Length an oversized answer carries: above the 512-byte data area.
constexpr std::uint16_t kOversizeLength = 0x300;

}  // namespace tbemu

#endif
