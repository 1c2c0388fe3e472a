// What one console line did, as reported on the terminal or as a JSON line
// and as checked by :expect.
#ifndef TB_CONSOLE_OUTCOME_H
#define TB_CONSOLE_OUTCOME_H

#include <cstddef>
#include <string>
#include <vector>

struct Outcome {
    enum class Kind {
        Command,  // a line for sendCommand: the result is bytes
        Verb,     // one of the console's ':' verbs: the result, if any, is text
    };
    // Return code of a line the console itself refused (usage of a verb, a
    // value it does not take).
    static constexpr int kRefused = 2;

    Kind kind = Kind::Command;
    std::string command;     // the line as run
    int rc = 0;              // the export's own return code
    bool ok = false;         // the operation did what was asked (whatever the export's rc convention)
    std::string resultBytes; // the result as the library gave it
    std::string resultHex;   // the result bytes, two lower-case digits each
    std::string resultText;  // the result as text (up to its first NUL)
    std::size_t resultLength = 0;
    std::string decoded;     // the result in text and names ("" when only its bytes say it)
    std::string failure;     // the library's failure text (or the console's) when not ok
    std::vector<std::string> cause;  // the library's log lines that say why
    std::string suggestion;  // what a mistyped line probably meant
    std::vector<std::string> notes;  // what else the person should know (nothing connected, the log file)
    bool cancelled = false;  // stopped by Ctrl-C
    double elapsedMs = 0;
    // The library printed the result text on standard output itself (the
    // version report), so the text view does not repeat it.
    bool shownByLibrary = false;
};

// Where a line came from, and how its expectations went.
struct ExpectationResult {
    int line = 0;
    std::string expectation;  // the words after ":expect"
    bool met = false;
    std::string reason;       // what differed, when not met
};

#endif
