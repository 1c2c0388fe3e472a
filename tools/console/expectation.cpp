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

// Whether the text after the form's word fits its usage: nothing where it
// takes no argument, something where it needs one.
bool ArgumentFits(const std::string& usage, const std::string& argument) {
    if (verbsyntax::Argument(usage, 0).empty()) return argument.empty();
    return !argument.empty() || verbsyntax::Optional(usage, 0);
}

}  // namespace

struct Expectation::Form {
    const char* name;
    const char* usage;  // its argument: none, one that may be left out ([ ]), or one it needs
    Kind kind;
};

const std::vector<Expectation::Form>& Expectation::Table() {
    static const std::vector<Form> forms = {
        {"ok", "", Kind::Ok},              // the line succeeded
        {"fail", "[TEXT]", Kind::Fail},    // it failed (and its failure text holds TEXT)
        {"result", "HEX", Kind::Result},   // it succeeded with exactly these result bytes
        {"text", "REGEX", Kind::Text},     // it succeeded and REGEX matches within its result text
        {"compatible", "", Kind::Compatible},  // the last :version found a compatible MAC and PHY pair
    };
    return forms;
}

std::vector<VerbSyntax> Expectation::Forms() {
    std::vector<VerbSyntax> forms;
    for (const Form& form : Table()) forms.push_back({form.name, form.usage, "", {}});
    return forms;
}

const Expectation::Form* Expectation::Find(const std::string& name) {
    for (const Form& form : Table()) {
        if (name == form.name) return &form;
    }
    return nullptr;
}

Expectation Expectation::Ok() { return Expectation(); }

bool Expectation::Parse(const std::string& text, Expectation& out, std::string& error) {
    const std::string words = Trimmed(text);
    const std::size_t cut = words.find_first_of(" \t");
    const std::string name = words.substr(0, cut);
    const std::string argument = cut == std::string::npos ? "" : Trimmed(words.substr(cut));
    out = Expectation();
    out.argument_ = argument;
    const Form* form = Find(name);
    if (form == nullptr || !ArgumentFits(form->usage, argument) ||
        (form->kind == Kind::Result && !NormalisedHex(argument, out.argument_))) {
        error = "unknown expectation '" + std::string(kVerb) + " " + words + "' (" +
                verbsyntax::Alternatives(Forms()) + ")";
        return false;
    }
    out.kind_ = form->kind;
    if (out.kind_ == Kind::Text) {
        try {
            out.pattern_ = std::regex(argument);
        } catch (const std::regex_error&) {
            error = "not a regular expression: " + argument;
            return false;
        }
    }
    return true;
}

std::string Expectation::Check(const Outcome& outcome, const std::optional<std::string>& lastVersionProblem) const {
    switch (kind_) {
        case Kind::Compatible:
            if (!lastVersionProblem) return "expected a compatible MAC and PHY pair, but no :version ran before it";
            if (lastVersionProblem->empty()) return "";
            return "expected a compatible MAC and PHY pair, the last :version found: " + *lastVersionProblem;
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
