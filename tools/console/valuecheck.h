// Strict reading of EEPROM values before they go to the library, whose own
// reading takes a text that is no number as 0: a numeric field takes a
// decimal number, a byte-list field exactly its count of 0xNN bytes.
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

}  // namespace valuecheck

#endif
