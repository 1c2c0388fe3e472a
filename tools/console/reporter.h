// Where outcomes go: readable lines, or one JSON object per line (JSON
// Lines) with --json. Misses of expectations and notes for the person go to
// the error stream in JSON mode, so that the output stays machine-readable.
#ifndef TB_CONSOLE_REPORTER_H
#define TB_CONSOLE_REPORTER_H

#include <cstdio>
#include <string>
#include <vector>

#include "outcome.h"
#include "resultview.h"

class Reporter {
public:
    struct Style {
        bool json = false;
        bool echo = false;         // print each line before its outcome
        bool fullResults = false;  // long results whole instead of their start
    };
    // Where a line stands, and how the expectations after it went.
    struct Place {
        std::string file;
        int line = 0;
        std::vector<ExpectationResult> expectations;
    };

    Reporter(std::FILE* out, std::FILE* err, Style style);

    bool Json() const { return style_.json; }
    void Echo(const std::string& line);
    void Report(const Outcome& outcome, const Place& place, resultview::Format format);
    // One expectation checked on its own (JSON at the prompt).
    void ReportExpectation(const std::string& file, const ExpectationResult& expectation);
    void Note(const std::string& text);
    // An unmet expectation at file:line.
    void Miss(const std::string& place, const std::string& reason);

    static std::string JsonLine(const Outcome& outcome, const Place& place);
    // Why writing to the output stream first failed; "" while nothing was lost.
    const std::string& OutputProblem() const { return outputProblem_; }

private:
    std::string Shortened(const std::string& text) const;
    std::string ShownResult(const Outcome& outcome, resultview::Format format) const;
    void Write(std::FILE* stream, const std::string& text);

    std::FILE* out_;
    std::FILE* err_;
    Style style_;
    std::string outputProblem_;
};

#endif
