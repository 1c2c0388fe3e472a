// The emulator's text control language: one command per line, one answer
// line each ("ok ..." or "error ..."). Spoken on the control port and given
// on the command line with --fault.
#ifndef TBEMU_CONTROL_H
#define TBEMU_CONTROL_H

#include <string>

namespace tbemu {

class Emulator;

// Runs one line against the emulator. `shutdown` is set by the line
// "shutdown"; the caller stops the emulator after answering.
std::string ExecuteControlLine(Emulator& emulator, const std::string& line, bool& shutdown);

// The list of control commands, one per line.
const char* ControlHelp();

}  // namespace tbemu

#endif
