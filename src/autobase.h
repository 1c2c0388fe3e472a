// Number texts as the definition files and the command lines write them.
//
// The conversions behave like the C library's strtoul/strtol/strtoll on a
// platform whose long is 32 bits: leading white space and one sign are
// accepted, base 16 takes an optional 0x/0X prefix, reading stops at the
// first character that is not a digit, a text without digits gives 0, and a
// value out of range saturates. They give the same results on every platform,
// whatever the width of long there.
#ifndef TERMBRIDGE_AUTOBASE_H
#define TERMBRIDGE_AUTOBASE_H

#include <cstdint>
#include <string>

// 16 when the text contains "0x" anywhere, otherwise 10. A leading 0 never
// means octal and "0X" is not recognised.
int AutoBase(const std::string& text);

std::uint32_t ParseUnsigned32(const std::string& text, int base);
std::int32_t ParseSigned32(const std::string& text, int base);
std::int64_t ParseSigned64(const std::string& text, int base);

// A command line's number as 32 bits, refused rather than saturated: decimal
// from -2^31 to 2^32 - 1 (the upper half gives the unsigned value's bits, so
// a decimal address works), hexadecimal up to 0xFFFFFFFF (a sign negates, as
// strtoul does). False when the text has no digits, holds more than blanks
// after its number, or the value does not fit.
bool ParseWord32(const std::string& text, int base, std::uint32_t& bits);

inline std::uint32_t ParseAutoUnsigned32(const std::string& text) {
    return ParseUnsigned32(text, AutoBase(text));
}
inline std::int64_t ParseAutoSigned64(const std::string& text) {
    return ParseSigned64(text, AutoBase(text));
}

#endif
