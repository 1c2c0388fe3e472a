// Where outcomes go: readable lines, or one JSON object per line (JSON
// Lines) with --json. Misses of expectations and notes for the person go to
// the error stream in JSON mode, so that the output stays machine-readable.
#ifndef TB_CONSOLE_REPORTER_H
#define TB_CONSOLE_REPORTER_H

#include <cstdio>
#include <string>

#include "outcome.h"

class Reporter {
public:
    struct Style {
        bool json = false;
        bool echo = false;         // print each line before its outcome
        bool fullResults = false;  // long results whole instead of their start
    };

    Reporter(std::FILE* out, std::FILE* err, Style style);

    void Echo(const std::string& line);
    void Report(const Outcome& outcome);
    void Note(const std::string& text);
    // An unmet expectation at file:line.
    void Miss(const std::string& place, const std::string& reason);

    static std::string Json(const Outcome& outcome);

private:
    std::string Shortened(const std::string& hex) const;
    void Write(std::FILE* stream, const std::string& text);

    std::FILE* out_;
    std::FILE* err_;
    Style style_;
};

#endif
