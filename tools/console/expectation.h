// One ":expect" line of a script, checked against the outcome of the line
// before it:
//   :expect ok               the line succeeded
//   :expect fail [TEXT]      it failed (and its failure text holds TEXT)
//   :expect result HEX       it succeeded with exactly these result bytes
//   :expect text REGEX       it succeeded and REGEX matches within its result text
#ifndef TB_CONSOLE_EXPECTATION_H
#define TB_CONSOLE_EXPECTATION_H

#include <regex>
#include <string>

#include "outcome.h"

class Expectation {
public:
    // The words after ":expect"; false, with the reason in `error`, when they
    // are not an expectation.
    static bool Parse(const std::string& text, Expectation& out, std::string& error);
    static Expectation Ok();

    // Empty when the outcome meets the expectation, otherwise what differs.
    std::string Check(const Outcome& outcome) const;

private:
    enum class Kind { Ok, Fail, Result, Text };
    std::string Got(const Outcome& outcome) const;

    Kind kind_ = Kind::Ok;
    std::string argument_;  // failure text, normalised hex, or the pattern
    std::regex pattern_;
};

#endif
