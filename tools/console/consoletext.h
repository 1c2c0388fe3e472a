// Small text helpers of the console's line handling.
#ifndef TB_CONSOLE_CONSOLETEXT_H
#define TB_CONSOLE_CONSOLETEXT_H

#include <string>
#include <vector>

namespace consoletext {

// The blank-separated words of a line.
std::vector<std::string> Words(const std::string& text);
// The text without blanks, tabs and line ends around it.
std::string Trimmed(const std::string& text);

}  // namespace consoletext

#endif
