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

}  // namespace

Completer::Completer(const DefinitionNames& definitions, OwnWords ownWords)
    : definitions_(definitions), own_(std::move(ownWords)), commandWords_(CommandWords(definitions)) {}

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
        result.candidates = StartingWith(!word.empty() && word[0] == ':' ? own_.verbs : commandWords_, word);
    } else if (words[0][0] == ':') {
        result = CompleteVerbArgument(words, word);
    } else {
        for (const std::string& name : StartingWith(ParametersLeft(words), word)) {
            result.candidates.push_back(name + "=");
        }
    }
    return result;
}

Completer::Result Completer::CompleteVerbArgument(const std::vector<std::string>& words,
                                                  const std::string& word) const {
    Result result;
    const std::string& verb = words[0];
    const std::size_t position = words.size();  // index of the word being typed
    if (verb == ":load") {
        result.fileName = position == 1;
    } else if (verb == ":expect" && position == 1) {
        result.candidates = StartingWith(own_.expectKinds, word);
    } else if (verb == ":eeprom" && position == 1) {
        result.candidates = StartingWith(own_.eepromVerbs, word);
    } else if (verb == ":eeprom") {
        const std::string& action = words[1];
        if ((action == "set" || action == "get") && position == 2) {
            result.candidates = StartingWith(definitions_.EepromFields(), word);
        } else if (action == "get" && position == 3) {
            result.candidates = StartingWith({"chip", "image"}, word);
        } else if (action == "burn" && position == 2) {
            result.candidates = StartingWith({"full"}, word);
        } else {
            result.fileName = (action == "init" && position == 3) || (action == "list" && position == 2) ||
                              (action == "dump" && position == 2);
        }
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
