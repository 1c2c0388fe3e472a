// How the console's ':' verbs are written, as their tables give it: :help,
// the usage in a refusal, tab completion and the README's check read it from
// here. A usage lists a verb's arguments in order; an argument in [ ] may be
// left out. An argument in capitals stands for a value (FILE a file name,
// NAME an EEPROM field, others a number or text); any other is written as it
// stands, with its choices separated by '|' ("chip|image").
#ifndef TB_CONSOLE_VERBSYNTAX_H
#define TB_CONSOLE_VERBSYNTAX_H

#include <cstddef>
#include <string>
#include <vector>

struct VerbSyntax {
    std::string name;                // ":load", or a form's first word ("init")
    std::string usage;               // its arguments ("FILE"), "" for none
    std::string help;                // one line for :help
    std::vector<VerbSyntax> forms;   // a verb whose first word picks a form (":eeprom init ...")
};

namespace verbsyntax {

const char* const kFileArgument = "FILE";
const char* const kEepromFieldArgument = "NAME";

// The verb as it is written: ":load FILE", ":eeprom init MODE [FILE] | set ...".
std::string Usage(const VerbSyntax& verb);
// Forms as one usage: "init MODE [FILE] | set NAME VALUE | ...".
std::string Alternatives(const std::vector<VerbSyntax>& forms);
// Every way the verbs are written, a verb with forms once per form
// (":eeprom init MODE [FILE]", ":eeprom set NAME VALUE", ...).
std::vector<std::string> Usages(const std::vector<VerbSyntax>& verbs);
// The lines of :help for these verbs. A verb with forms shows them all
// (its help, if any, after them); verbs without help are named together on
// the last line.
std::string HelpLines(const std::vector<VerbSyntax>& verbs);

// The argument at `index` of a usage, without its [ ] ("" past the end).
std::string Argument(const std::string& usage, std::size_t index);
// True when the argument may be left out.
bool Optional(const std::string& usage, std::size_t index);
// The words an argument may be (none for one in capitals).
std::vector<std::string> Choices(const std::string& argument);

// The verb or form of that name, or null.
const VerbSyntax* Find(const std::vector<VerbSyntax>& verbs, const std::string& name);

}  // namespace verbsyntax

#endif
