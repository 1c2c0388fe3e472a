// Local time and sleeping on Windows.
#include "platform/platform.h"

#include <windows.h>

#include "filetime.h"

namespace platform {
namespace {

std::tm LocalTimeOf(std::time_t t) {
    std::tm local {};
    localtime_s(&local, &t);
    return local;
}

}  // namespace

std::tm LocalTimeNow() { return LocalTimeOf(std::time(nullptr)); }

std::int64_t LocalNowAsFileTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time;
    SystemTimeToFileTime(&now, &time);
    return FileTimeValue(time);
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

}  // namespace platform
