// printf-style formatting into std::string, used for the library's fixed log
// and failure texts.
#ifndef TERMBRIDGE_STRFORMAT_H
#define TERMBRIDGE_STRFORMAT_H

#include <cstdarg>
#include <string>

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

#endif
