// Results in readable form: text where the result is text, the names the
// definitions give to values, hexadecimal otherwise (":format" chooses).
#ifndef TB_CONSOLE_RESULTVIEW_H
#define TB_CONSOLE_RESULTVIEW_H

#include <optional>
#include <string>

#include "definitionnames.h"

namespace resultview {

enum class Format { Auto, Hex, Text };
bool ParseFormat(const std::string& word, Format& format);
const char* FormatName(Format format);

// The bytes as text when all of them are printable (blanks, tabs and line
// ends count), apart from NULs at the end, which are dropped.
std::optional<std::string> PrintableText(const std::string& bytes);
// Every byte readable: printable ones as they are, others as \xNN (\0 for NUL).
std::string Escaped(const std::string& bytes);
std::string Hex(const std::string& bytes);

// What a command's result says in names and text, or "" when only its
// bytes say it: printable text as it is; the answer to a MAC command, which
// begins with the command's opcode, with the opcode's name and the rest in
// hexadecimal.
std::string Decoded(const std::string& commandLine, const std::string& bytes, const DefinitionNames& names);

}  // namespace resultview

#endif
