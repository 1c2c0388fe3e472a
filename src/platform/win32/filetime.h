// A FILETIME as one number: 100 ns units since 1601-01-01, the scale of the
// library's file times.
#ifndef TERMBRIDGE_PLATFORM_WIN32_FILETIME_H
#define TERMBRIDGE_PLATFORM_WIN32_FILETIME_H

#include <windows.h>

#include <cstdint>

namespace platform {

inline std::int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

}  // namespace platform

#endif
