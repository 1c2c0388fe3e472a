#include "valuecheck.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "consoletext.h"

namespace valuecheck {

bool IsDecimalNumber(const std::string& text) {
    static const std::regex kNumber(R"(\s*[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\s*)");
    return std::regex_match(text, kNumber);
}

namespace {

// Empty when the value fits the field's bytes as the library stores it (the
// value times 2^F, rounded half away from zero, shifted), otherwise the
// field's range: the library keeps the low bytes of what does not fit, a
// plausible wrong value.
std::string RangeProblem(const std::string& field, const std::string& value,
                         const DefinitionNames::EepromField& declared) {
    if (!declared.hasFormat) return "";
    const double product = std::ldexp(std::strtod(value.c_str(), nullptr), static_cast<int>(declared.fractionBits));
    const double raw = product < 0 ? std::ceil(product - 0.5) : std::floor(product + 0.5);
    const double stored = std::ldexp(raw, static_cast<int>(declared.shift));
    const int bits = static_cast<int>(declared.bytes * 8);
    const double lowest = declared.isSigned ? -std::ldexp(1.0, bits - 1) : 0.0;
    const double highest = (declared.isSigned ? std::ldexp(1.0, bits - 1) : std::ldexp(1.0, bits)) - 1.0;
    if (stored >= lowest && stored <= highest) return "";
    const int scale = -static_cast<int>(declared.fractionBits + declared.shift);
    char range[96];
    std::snprintf(range, sizeof range, "%.17g to %.17g", std::ldexp(lowest, scale), std::ldexp(highest, scale));
    return field + " holds " + range + ", not " + consoletext::Trimmed(value) +
           " (the library would keep the low bytes: another value)";
}

}  // namespace

std::string EepromValueProblem(const std::string& field, const std::string& value, const DefinitionNames& names) {
    const DefinitionNames::EepromField* declared = names.FindEepromField(field);
    if (declared == nullptr) return "";
    if (declared->kind == DefinitionNames::EepromField::Kind::Number) {
        if (IsDecimalNumber(value)) return RangeProblem(field, value, *declared);
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
