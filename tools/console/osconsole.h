// What the console needs of the operating system's terminal: whether a
// stream is a terminal, keeping the library's own printing out of the JSON
// output, and reading a line at the prompt. console_posix.cpp (libedit:
// line editing, completion, a history file) and console_win32.cpp (the
// Windows console's own line editing and history, completion on Tab)
// implement it; the build picks one.
#ifndef TB_CONSOLE_OSCONSOLE_H
#define TB_CONSOLE_OSCONSOLE_H

#include <cstdio>
#include <memory>
#include <string>

#include "completer.h"

namespace osconsole {

bool IsTerminal(std::FILE* stream);

// Points the process's standard output at standard error and returns a
// stream to the original standard output: the library prints its banner and
// reports on standard output, which must then hold only the console's JSON.
// Null when that is not possible (the console then writes to stdout).
std::FILE* DivertStandardOutput();

class LineEditor {
public:
    virtual ~LineEditor() = default;
    // False at the end of input.
    virtual bool ReadLine(const std::string& prompt, std::string& line) = 0;
};

// Plain reading of standard input (plainreader.cpp).
std::unique_ptr<LineEditor> CreatePlainReader();

// Line editing when standard input is a terminal, plain reading otherwise.
// historyFile: where the history is kept between runs ("" for the default,
// where the system has one).
std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& historyFile);

}  // namespace osconsole

#endif
