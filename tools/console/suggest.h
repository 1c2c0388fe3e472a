// Suggestions for a mistyped name: the nearest names a definition set (or
// the library's native commands) declares.
#ifndef TB_CONSOLE_SUGGEST_H
#define TB_CONSOLE_SUGGEST_H

#include <string>
#include <vector>

#include "definitionnames.h"

namespace suggest {

// Edits (insert, delete, replace, swap of neighbours) from one text to the
// other, letter case ignored.
std::size_t Distance(const std::string& a, const std::string& b);

// The names nearest to `word` (those that differ least from it, at most
// `count`); none when no name is near enough to be what was meant.
std::vector<std::string> Nearest(const std::string& word, const std::vector<std::string>& names,
                                 std::size_t count = 3);

// What a command line that names an unknown command word or parameter
// probably meant: the line with each unknown name replaced by the nearest
// known one, e.g. "PHYC_SET_CHANNEL_CMD channel=3". Empty when every name is
// known or nothing near is found. `commandWords` are the words a line may
// start with.
std::string Line(const std::string& line, const std::vector<std::string>& commandWords,
                 const DefinitionNames& names);

}  // namespace suggest

#endif
