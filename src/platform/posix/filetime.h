// The file-time scale of the library's times on every system: 100 ns units
// since 1601-01-01, as Windows counts them.
#ifndef TERMBRIDGE_PLATFORM_POSIX_FILETIME_H
#define TERMBRIDGE_PLATFORM_POSIX_FILETIME_H

#include <cstdint>

namespace platform {

constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns units

}  // namespace platform

#endif
