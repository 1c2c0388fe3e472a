// Placing threads on processors on Windows (affinity masks).
#include "platform/platform_tools.h"

#include <windows.h>

namespace platform {

bool PinToFirstProcessor() { return SetProcessAffinityMask(GetCurrentProcess(), 1) != 0; }

bool PinCurrentThreadToProcessor(int index) {
    if (index < 0 || index >= static_cast<int>(8 * sizeof(DWORD_PTR))) return false;
    return SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << index) != 0;
}

bool UnpinCurrentThread() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
    return SetThreadAffinityMask(GetCurrentThread(), process) != 0;
}

}  // namespace platform
