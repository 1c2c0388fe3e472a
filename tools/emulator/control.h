// The emulator's text control language: one command per line, one answer
// line each ("ok ..." or "error ..."). Spoken on the control port and given
// on the command line with --fault. One table in control.cpp holds every
// line: its name, usage, description and handler.
#ifndef TBEMU_CONTROL_H
#define TBEMU_CONTROL_H

#include <string>
#include <vector>

namespace tbemu {

class Emulator;

// Runs one line against the emulator. `shutdown` is set by the line
// "shutdown"; the caller stops the emulator after answering.
std::string ExecuteControlLine(Emulator& emulator, const std::string& line, bool& shutdown);

// The control lines, one per line of the README's table.
struct ControlLineText {
    std::string name;
    std::string usage;        // as `help` lists it
    std::string description;  // what the line does, in the README's words
};
std::vector<ControlLineText> ControlLineTexts();

// The usages of the control lines, separated by " | ".
const std::string& ControlHelp();

}  // namespace tbemu

#endif
