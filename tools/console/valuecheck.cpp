#include "valuecheck.h"

#include <cctype>
#include <regex>

#include "consoletext.h"

namespace valuecheck {

bool IsDecimalNumber(const std::string& text) {
    static const std::regex kNumber(R"(\s*[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\s*)");
    return std::regex_match(text, kNumber);
}

std::string EepromValueProblem(const std::string& field, const std::string& value, const DefinitionNames& names) {
    const DefinitionNames::EepromField* declared = names.FindEepromField(field);
    if (declared == nullptr) return "";
    if (declared->kind == DefinitionNames::EepromField::Kind::Number) {
        if (IsDecimalNumber(value)) return "";
        return field + " takes a decimal number, not '" + value + "' (the library would store 0)";
    }
    static const std::regex kByte("0x[0-9a-fA-F]{1,2}");
    const std::vector<std::string> bytes = consoletext::Words(value);
    for (const std::string& byte : bytes) {
        if (!std::regex_match(byte, kByte)) {
            return field + " takes bytes written 0xNN; '" + byte + "' is not one";
        }
    }
    if (bytes.size() != declared->bytes) {
        return field + " takes " + std::to_string(declared->bytes) + " bytes, the value gives " +
               std::to_string(bytes.size());
    }
    return "";
}

}  // namespace valuecheck
