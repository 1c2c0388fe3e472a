#include "expectation.h"

#include <cctype>

#include "consoletext.h"

namespace {

using consoletext::Trimmed;

// Hex digits without blanks, lower-case; false when something else is there.
bool NormalisedHex(const std::string& text, std::string& hex) {
    hex.clear();
    for (const char c : text) {
        if (c == ' ' || c == '\t') continue;
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() % 2 == 0;
}

}  // namespace

Expectation Expectation::Ok() { return Expectation(); }

bool Expectation::Parse(const std::string& text, Expectation& out, std::string& error) {
    const std::string words = Trimmed(text);
    const std::size_t cut = words.find_first_of(" \t");
    const std::string kind = words.substr(0, cut);
    const std::string argument = cut == std::string::npos ? "" : Trimmed(words.substr(cut));
    out = Expectation();
    out.argument_ = argument;
    if (kind == "ok" && argument.empty()) {
        out.kind_ = Kind::Ok;
    } else if (kind == "fail") {
        out.kind_ = Kind::Fail;
    } else if (kind == "result" && !argument.empty() && NormalisedHex(argument, out.argument_)) {
        out.kind_ = Kind::Result;
    } else if (kind == "text" && !argument.empty()) {
        out.kind_ = Kind::Text;
        try {
            out.pattern_ = std::regex(argument);
        } catch (const std::regex_error&) {
            error = "not a regular expression: " + argument;
            return false;
        }
    } else {
        error = "unknown expectation ':expect " + words + "' (ok | fail [TEXT] | result HEX | text REGEX)";
        return false;
    }
    return true;
}

std::string Expectation::Check(const Outcome& outcome) const {
    switch (kind_) {
        case Kind::Ok:
            if (outcome.ok) return "";
            return "expected ok, " + Got(outcome);
        case Kind::Fail:
            if (!outcome.ok && outcome.failure.find(argument_) != std::string::npos) return "";
            return "expected a failure" + (argument_.empty() ? "" : " with '" + argument_ + "'") + ", " + Got(outcome);
        case Kind::Result:
            if (outcome.ok && outcome.resultHex == argument_) return "";
            return "expected result " + argument_ + ", " + Got(outcome);
        case Kind::Text:
            if (outcome.ok && std::regex_search(outcome.resultText, pattern_)) return "";
            return "expected text matching '" + argument_ + "', " + Got(outcome);
    }
    return "";
}

std::string Expectation::Got(const Outcome& outcome) const {
    const std::string line = "'" + outcome.command + "' ";
    if (!outcome.ok) return line + "failed (" + std::to_string(outcome.rc) + "): " + outcome.failure;
    if (kind_ == Kind::Text) return line + "gave text '" + outcome.resultText + "'";
    return line + "gave ok, result " + (outcome.resultHex.empty() ? "(none)" : outcome.resultHex);
}
