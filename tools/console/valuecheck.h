// Strict reading of values before they go to the library, whose own reading
// takes what it can and sends that: an EEPROM text that is no number as 0,
// "3x" in a command parameter as 3, 300 in a 1-byte field as 44. A numeric
// EEPROM field takes a decimal number, a byte-list field exactly its count of
// 0xNN bytes; a command parameter a whole number (hexadecimal with 0x) or a
// predefined name whose value fits the field.
#ifndef TB_CONSOLE_VALUECHECK_H
#define TB_CONSOLE_VALUECHECK_H

#include <string>

#include "definitionnames.h"

namespace valuecheck {

// A decimal number as a whole: sign, digits, a fraction, an exponent.
bool IsDecimalNumber(const std::string& text);
// Empty when the field takes the value as written, otherwise why not. A
// field the definitions do not declare is left to the library.
std::string EepromValueProblem(const std::string& field, const std::string& value, const DefinitionNames& names);
// Empty when the library stores every parameter value of a PHY or MAC command
// line as typed, otherwise each one it would not, with the field's range and
// what it would store. Anything the library refuses itself (a field or name
// it does not know, a missing value, a value too long) is left to it.
std::string CommandValueProblem(const std::string& line, const DefinitionNames& names);

}  // namespace valuecheck

#endif
