#include "autobase.h"

#include <cctype>
#include <limits>

namespace {

// The parts of a number text: its sign and its magnitude, the latter capped
// at a value above every range the conversions need.
struct NumberText {
    bool negative = false;
    bool hasDigits = false;
    std::uint64_t magnitude = 0;
    std::size_t end = 0;  // where the reading stopped
};

constexpr std::uint64_t kMagnitudeCap = std::numeric_limits<std::uint64_t>::max();

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

bool IsDigitOf(char c, int base) { return DigitValue(c) < base; }

NumberText Split(const std::string& text, int base) {
    NumberText number;
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        number.negative = text[pos] == '-';
        ++pos;
    }
    const bool hasPrefix = base == 16 && pos + 2 < text.size() && text[pos] == '0' &&
                           (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
                           IsDigitOf(text[pos + 2], 16);
    if (hasPrefix) pos += 2;
    const auto ubase = static_cast<std::uint64_t>(base);
    for (; pos < text.size() && IsDigitOf(text[pos], base); ++pos) {
        number.hasDigits = true;
        const auto digit = static_cast<std::uint64_t>(DigitValue(text[pos]));
        if (number.magnitude > (kMagnitudeCap - digit) / ubase) {
            number.magnitude = kMagnitudeCap;
        } else {
            number.magnitude = number.magnitude * ubase + digit;
        }
    }
    number.end = pos;
    return number;
}

}  // namespace

int AutoBase(const std::string& text) {
    return text.find("0x") != std::string::npos ? 16 : 10;
}

std::uint32_t ParseUnsigned32(const std::string& text, int base) {
    const NumberText number = Split(text, base);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (number.magnitude > kMax) return static_cast<std::uint32_t>(kMax);
    const auto value = static_cast<std::uint32_t>(number.magnitude);
    // Like strtoul, a minus sign negates in the unsigned type.
    return number.negative ? static_cast<std::uint32_t>(0U - value) : value;
}

bool ParseWord32(const std::string& text, int base, std::uint32_t& bits) {
    const NumberText number = Split(text, base);
    if (!number.hasDigits) return false;
    // "0x1000004O" or "12abc" is a typing mistake, not the number before it.
    for (std::size_t pos = number.end; pos < text.size(); ++pos) {
        if (std::isspace(static_cast<unsigned char>(text[pos])) == 0) return false;
    }
    const std::uint64_t limit = base == 10 && number.negative ? 0x80000000u : 0xFFFFFFFFu;
    if (number.magnitude > limit) return false;
    const auto value = static_cast<std::uint32_t>(number.magnitude);
    bits = number.negative ? 0U - value : value;
    return true;
}

std::int32_t ParseSigned32(const std::string& text, int base) {
    const NumberText number = Split(text, base);
    constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int32_t>::max();
    if (number.negative) {
        if (number.magnitude > kMaxPositive + 1) return std::numeric_limits<std::int32_t>::min();
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(number.magnitude));
    }
    if (number.magnitude > kMaxPositive) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(number.magnitude);
}

std::int64_t ParseSigned64(const std::string& text, int base) {
    const NumberText number = Split(text, base);
    constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
    if (number.negative) {
        if (number.magnitude > kMaxPositive) {
            // -2^63 itself, and everything beyond it, gives the minimum.
            return std::numeric_limits<std::int64_t>::min();
        }
        return -static_cast<std::int64_t>(number.magnitude);
    }
    if (number.magnitude > kMaxPositive) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(number.magnitude);
}
