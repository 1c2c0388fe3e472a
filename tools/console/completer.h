// Tab completion at the prompt: what may stand at the word being typed,
// judged from the words before it.
#ifndef TB_CONSOLE_COMPLETER_H
#define TB_CONSOLE_COMPLETER_H

#include <string>
#include <vector>

#include "definitionnames.h"
#include "verbsyntax.h"

class Completer {
public:
    // `verbs`: the console's own ':' verbs (Session::Syntax), whose usages
    // say what their arguments are.
    Completer(const DefinitionNames& definitions, std::vector<VerbSyntax> verbs);

    // The words a command line may start with: native commands, MEM_READ and
    // MEM_WRITE, and the commands of the definitions.
    static std::vector<std::string> CommandWords(const DefinitionNames& definitions);

    struct Result {
        std::vector<std::string> candidates;  // each starts with the typed part
        bool fileName = false;                // the word is a file name: complete from the disk
    };
    // `before` is the line up to the word being typed, `word` the typed part.
    Result Complete(const std::string& before, const std::string& word) const;

private:
    Result CompleteVerbArgument(const std::vector<std::string>& words, const std::string& word) const;
    Result CompleteArgument(const std::string& argument, const std::string& word) const;
    std::vector<std::string> ParametersLeft(const std::vector<std::string>& words) const;

    const DefinitionNames& definitions_;
    std::vector<VerbSyntax> verbs_;
    std::vector<std::string> commandWords_;  // native words, MEM_READ/MEM_WRITE, definition commands
};

#endif
