// Local time and sleeping on POSIX.
#include "platform/platform.h"

#include <chrono>
#include <thread>

#include "filetime.h"

namespace platform {
namespace {

std::tm LocalTimeOf(std::time_t t) {
    std::tm local {};
    ::localtime_r(&t, &local);
    return local;
}

}  // namespace

std::tm LocalTimeNow() { return LocalTimeOf(std::time(nullptr)); }

std::int64_t LocalNowAsFileTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t units = std::chrono::duration_cast<std::chrono::microseconds>(now).count() * 10;
    const std::tm local = LocalTimeNow();
    return kUnixEpochInFileTime + units + static_cast<std::int64_t>(local.tm_gmtoff) * 10000000;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
