// What one console line did, as reported on the terminal or as a JSON line
// and as checked by :expect.
#ifndef TB_CONSOLE_OUTCOME_H
#define TB_CONSOLE_OUTCOME_H

#include <cstddef>
#include <string>

struct Outcome {
    enum class Kind {
        Command,  // a line for sendCommand: the result is bytes
        Verb,     // one of the console's ':' verbs: the result, if any, is text
    };
    // Return code of a line the console itself refused (usage of a verb).
    static constexpr int kRefused = 2;

    Kind kind = Kind::Command;
    std::string command;     // the line as run
    int rc = 0;              // the export's own return code
    bool ok = false;         // whether rc (or the text returned) means success
    std::string resultHex;   // the result bytes, two lower-case digits each
    std::string resultText;  // the result as text (up to its first NUL)
    std::size_t resultLength = 0;
    std::string failure;     // the library's failure text when not ok
    double elapsedMs = 0;
    // The library printed the result text on standard output itself (the
    // version report), so the text view does not repeat it.
    bool shownByLibrary = false;
};

#endif
