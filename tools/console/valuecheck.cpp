#include "valuecheck.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <vector>

#include "autobase.h"
#include "consoletext.h"
#include "structaccess.h"

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
    // The range of the raw value, whose shifted bits fit, in the field's units.
    const int shift = static_cast<int>(declared.shift);
    const int fraction = -static_cast<int>(declared.fractionBits);
    char range[96];
    std::snprintf(range, sizeof range, "%.17g to %.17g", std::ldexp(std::ceil(std::ldexp(lowest, -shift)), fraction),
                  std::ldexp(std::floor(std::ldexp(highest, -shift)), fraction));
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

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line as the library splits it: the command word, then the words of
// its parameters (separated by blanks, '=' and ','), names and values taking
// turns.
std::vector<std::string> SplitCommandLine(const std::string& line, std::string& command) {
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    std::size_t end = start;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    command = line.substr(start, end - start);
    const std::string parameters = end < line.size() ? line.substr(end + 1) : std::string();
    std::vector<std::string> words;
    for (std::size_t at = parameters.find_first_not_of(" =,"); at != std::string::npos;) {
        const std::size_t stop = parameters.find_first_of(" =,", at);
        words.push_back(parameters.substr(at, stop == std::string::npos ? std::string::npos : stop - at));
        at = stop == std::string::npos ? stop : parameters.find_first_not_of(" =,", stop);
    }
    return words;
}

struct Range {
    long long lowest;
    long long highest;
    bool Holds(long long value) const { return value >= lowest && value <= highest; }
};

Range RangeOf(const DefinitionNames::Parameter& field) {
    const int bits = static_cast<int>(field.bytes * 8);
    if (field.isSigned) return {-(1LL << (bits - 1)), (1LL << (bits - 1)) - 1};
    return {0, (1LL << bits) - 1};
}

// The value the library stores in the field: its own reading of the text
// (32 bits, saturated; it stops at the first character that is no digit),
// cut to the field's bytes.
long long StoredValue(const std::string& text, const DefinitionNames::Parameter& field) {
    const int base = AutoBase(text);
    const std::uint32_t read = field.isSigned ? static_cast<std::uint32_t>(ParseSigned32(text, base))
                                              : ParseUnsigned32(text, base);
    const unsigned bits = static_cast<unsigned>(field.bytes * 8);
    const std::uint64_t kept = read & ((std::uint64_t{1} << bits) - 1);
    const bool negative = field.isSigned && (kept >> (bits - 1)) != 0;
    return negative ? static_cast<long long>(kept) - (1LL << bits) : static_cast<long long>(kept);
}

// A whole number as a command parameter writes it: decimal, or hexadecimal
// with 0x (the library's base follows the 0x), either with a minus sign.
bool ReadWholeNumber(const std::string& text, long long& value) {
    static const std::regex kWholeNumber("-?(0x[0-9a-fA-F]+|[0-9]+)[ \t\r\n]*");
    if (!std::regex_match(text, kWholeNumber)) return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, AutoBase(text));
    return errno != ERANGE;
}

std::string ParameterProblem(const std::string& name, const std::string& value,
                             const DefinitionNames::Parameter& field, const DefinitionNames& names) {
    if (value.size() > StructAccess::kMaxValueText) return "";
    const Range range = RangeOf(field);
    std::string shown = consoletext::Trimmed(value);
    std::string read = value;  // the text the library converts
    if (std::isdigit(static_cast<unsigned char>(value[0])) || value[0] == '-') {
        long long number = 0;
        if (ReadWholeNumber(value, number) && range.Holds(number)) return "";
    } else {
        const std::optional<std::int64_t> predefined = names.PredefinedValue(value);
        if (!predefined || range.Holds(*predefined)) return "";
        read = std::to_string(*predefined);
        shown += " = " + read;
    }
    return name + " takes " + std::to_string(range.lowest) + " to " + std::to_string(range.highest) + ", not " +
           shown + " (the library would store " + std::to_string(StoredValue(read, field)) + ")";
}

}  // namespace

std::string CommandValueProblem(const std::string& line, const DefinitionNames& names) {
    std::string command;
    const std::vector<std::string> words = SplitCommandLine(line, command);
    if (!names.HasCommand(command)) return "";
    std::string problems;
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
        const DefinitionNames::Parameter* field = names.FindParameter(command, words[i]);
        if (field == nullptr) continue;  // the library refuses it, saying so
        const std::string problem = ParameterProblem(words[i], words[i + 1], *field, names);
        if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + problem;
    }
    return problems;
}

}  // namespace valuecheck
