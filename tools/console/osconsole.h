// What the console needs of the operating system's terminal: whether a
// stream is a terminal, keeping the library's own printing out of the JSON
// output (or out of sight with --quiet), Ctrl-C, and reading a line at the
// prompt. console_posix.cpp (libedit: line editing, completion, a history
// file) and console_win32.cpp (the Windows console's own line editing and
// history, completion on Tab) implement it; the build picks one.
#ifndef TB_CONSOLE_OSCONSOLE_H
#define TB_CONSOLE_OSCONSOLE_H

#include <cstdio>
#include <functional>
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

// Standard output goes nowhere while an object of this lives (the library's
// banner and start-up lines under --quiet).
class QuietStandardOutput {
public:
    QuietStandardOutput();
    ~QuietStandardOutput();
    QuietStandardOutput(const QuietStandardOutput&) = delete;
    QuietStandardOutput& operator=(const QuietStandardOutput&) = delete;

private:
    int saved_ = -1;
};

// Ctrl-C. From WatchInterrupts on (call it before the library starts its
// threads), each press calls `onPress` on a thread of the console's own,
// except while the prompt reads a line: that read ends as Interrupted
// instead. `second` tells a press within a second of the one before.
using InterruptHandler = std::function<void(bool second)>;
void WatchInterrupts(InterruptHandler onPress);
void StopWatchingInterrupts();

class LineEditor {
public:
    enum class Read { Line, Interrupted, End, Failed };
    virtual ~LineEditor() = default;
    // Interrupted: Ctrl-C at the prompt, the typed part is dropped;
    // `second` then tells a press within a second of the one before.
    // Failed: the input could not be read (Failure says why).
    virtual Read ReadLine(const std::string& prompt, std::string& line, bool& second) = 0;
    virtual std::string Failure() const { return ""; }
};

// Plain reading of standard input (plainreader.cpp).
std::unique_ptr<LineEditor> CreatePlainReader();

// Line editing when standard input is a terminal, plain reading otherwise.
// historyFile: where the history is kept between runs ("" for the default,
// where the system has one).
std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& historyFile);

}  // namespace osconsole

#endif
