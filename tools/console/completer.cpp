#include "completer.h"

#include <algorithm>

#include "consolenativeadapter.h"
#include "consoletext.h"

namespace {

using consoletext::Words;

std::vector<std::string> StartingWith(const std::vector<std::string>& names, const std::string& prefix) {
    std::vector<std::string> matches;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) == 0) matches.push_back(name);
    }
    return matches;
}

// The field named by a "name=value" word.
std::string ParameterName(const std::string& word) { return word.substr(0, word.find('=')); }

std::vector<std::string> Names(const std::vector<VerbSyntax>& verbs) {
    std::vector<std::string> names;
    for (const VerbSyntax& verb : verbs) names.push_back(verb.name);
    return names;
}

}  // namespace

Completer::Completer(const DefinitionNames& definitions, std::vector<VerbSyntax> verbs)
    : definitions_(definitions), verbs_(std::move(verbs)), commandWords_(CommandWords(definitions)) {}

std::vector<std::string> Completer::CommandWords(const DefinitionNames& definitions) {
    std::vector<std::string> words = ConsoleNativeAdapter::CommandNames();
    words.push_back("MEM_READ");
    words.push_back("MEM_WRITE");
    for (const std::string& command : definitions.Commands()) words.push_back(command);
    return words;
}

Completer::Result Completer::Complete(const std::string& before, const std::string& word) const {
    const std::vector<std::string> words = Words(before);
    Result result;
    if (words.empty()) {
        result.candidates = StartingWith(!word.empty() && word[0] == ':' ? Names(verbs_) : commandWords_, word);
    } else if (words[0][0] == ':') {
        result = CompleteVerbArgument(words, word);
    } else {
        for (const std::string& name : StartingWith(ParametersLeft(words), word)) {
            result.candidates.push_back(name + "=");
        }
    }
    return result;
}

// The verb's usage says what its arguments are; a verb with forms takes
// the form's name first, then the form's arguments.
Completer::Result Completer::CompleteVerbArgument(const std::vector<std::string>& words,
                                                  const std::string& word) const {
    const VerbSyntax* verb = verbsyntax::Find(verbs_, words[0]);
    const std::size_t position = words.size();  // index of the word being typed
    if (verb == nullptr) return {};
    if (verb->forms.empty()) return CompleteArgument(verbsyntax::Argument(verb->usage, position - 1), word);
    if (position == 1) return {StartingWith(Names(verb->forms), word), false};
    const VerbSyntax* form = verbsyntax::Find(verb->forms, words[1]);
    if (form == nullptr) return {};
    return CompleteArgument(verbsyntax::Argument(form->usage, position - 2), word);
}

Completer::Result Completer::CompleteArgument(const std::string& argument, const std::string& word) const {
    Result result;
    if (argument == verbsyntax::kFileArgument) {
        result.fileName = true;
    } else if (argument == verbsyntax::kEepromFieldArgument) {
        result.candidates = StartingWith(definitions_.EepromFields(), word);
    } else {
        result.candidates = StartingWith(verbsyntax::Choices(argument), word);
    }
    return result;
}

// The command's parameters not yet given on the line.
std::vector<std::string> Completer::ParametersLeft(const std::vector<std::string>& words) const {
    std::vector<std::string> left;
    for (const std::string& name : definitions_.Parameters(words[0])) {
        const bool given = std::any_of(words.begin() + 1, words.end(),
                                       [&name](const std::string& w) { return ParameterName(w) == name; });
        if (!given) left.push_back(name);
    }
    return left;
}
