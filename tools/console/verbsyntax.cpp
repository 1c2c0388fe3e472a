#include "verbsyntax.h"

#include <algorithm>
#include <cctype>

#include "consoletext.h"

namespace verbsyntax {

namespace {

// :help's column for the help after a verb's usage.
constexpr std::size_t kHelpColumn = 22;

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

std::string UsageWord(const std::string& usage, std::size_t index) {
    const std::vector<std::string> words = consoletext::Words(usage);
    return index < words.size() ? words[index] : "";
}

}  // namespace

std::string Usage(const VerbSyntax& verb) {
    const std::string arguments = verb.forms.empty() ? verb.usage : Alternatives(verb.forms);
    return arguments.empty() ? verb.name : verb.name + " " + arguments;
}

std::string Alternatives(const std::vector<VerbSyntax>& forms) {
    std::vector<std::string> usages;
    for (const VerbSyntax& form : forms) usages.push_back(Usage(form));
    return Joined(usages, " | ");
}

std::vector<std::string> Usages(const std::vector<VerbSyntax>& verbs) {
    std::vector<std::string> usages;
    for (const VerbSyntax& verb : verbs) {
        if (verb.forms.empty()) usages.push_back(Usage(verb));
        for (const VerbSyntax& form : verb.forms) usages.push_back(verb.name + " " + Usage(form));
    }
    return usages;
}

std::string HelpLines(const std::vector<VerbSyntax>& verbs) {
    std::string lines;
    std::vector<std::string> unexplained;
    for (const VerbSyntax& verb : verbs) {
        const std::string usage = Usage(verb);
        if (!verb.forms.empty()) {
            lines += usage + (verb.help.empty() ? "" : "   " + verb.help) + "\n";
        } else if (verb.help.empty()) {
            unexplained.push_back(usage);
        } else {
            const std::string padding(kHelpColumn - std::min(usage.size(), kHelpColumn), ' ');
            lines += usage + padding + " " + verb.help + "\n";
        }
    }
    if (!unexplained.empty()) lines += Joined(unexplained, ", ") + "\n";
    return lines;
}

std::string Argument(const std::string& usage, std::size_t index) {
    std::string word = UsageWord(usage, index);
    if (word.size() >= 2 && word.front() == '[' && word.back() == ']') word = word.substr(1, word.size() - 2);
    return word;
}

bool Optional(const std::string& usage, std::size_t index) {
    const std::string word = UsageWord(usage, index);
    return !word.empty() && word.front() == '[';
}

std::vector<std::string> Choices(const std::string& argument) {
    const bool value = std::any_of(argument.begin(), argument.end(),
                                   [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; });
    std::vector<std::string> choices;
    if (value || argument.empty()) return choices;
    std::size_t start = 0;
    for (std::size_t bar = argument.find('|'); bar != std::string::npos; bar = argument.find('|', start)) {
        choices.push_back(argument.substr(start, bar - start));
        start = bar + 1;
    }
    choices.push_back(argument.substr(start));
    return choices;
}

const VerbSyntax* Find(const std::vector<VerbSyntax>& verbs, const std::string& name) {
    for (const VerbSyntax& verb : verbs) {
        if (verb.name == name) return &verb;
    }
    return nullptr;
}

}  // namespace verbsyntax
