// One ":expect" line of a script, checked against the outcome of the line
// before it, or for "compatible" against what the session's last ":version"
// found. Its forms (ok, fail [TEXT], result HEX, text REGEX, compatible) are
// one table in expectation.cpp, which parsing, :help and completion read.
#ifndef TB_CONSOLE_EXPECTATION_H
#define TB_CONSOLE_EXPECTATION_H

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "outcome.h"
#include "verbsyntax.h"

class Expectation {
public:
    static constexpr const char* kVerb = ":expect";
    // The forms of the words after ":expect".
    static std::vector<VerbSyntax> Forms();

    // The words after ":expect"; false, with the reason in `error`, when they
    // are not an expectation.
    static bool Parse(const std::string& text, Expectation& out, std::string& error);
    static Expectation Ok();

    // Empty when the outcome meets the expectation, otherwise what differs.
    // `lastVersionProblem` is what the last ":version" found ("" a compatible
    // pair; none when no ":version" ran).
    std::string Check(const Outcome& outcome,
                      const std::optional<std::string>& lastVersionProblem = std::nullopt) const;

private:
    enum class Kind { Ok, Fail, Result, Text, Compatible };
    struct Form;
    static const std::vector<Form>& Table();
    static const Form* Find(const std::string& name);
    std::string Got(const Outcome& outcome) const;

    Kind kind_ = Kind::Ok;
    std::string argument_;  // failure text, normalised hex, or the pattern
    std::regex pattern_;
};

#endif
