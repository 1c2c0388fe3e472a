// Threads on Windows: priority, the processors the process may use, the spin
// hint, and the wake-up signal (a semaphore).
#include "platform/platform.h"

#include <windows.h>

namespace platform {

bool RaiseCurrentThreadPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL) != 0;
}

void CpuRelax() { YieldProcessor(); }

int UsableProcessorCount() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    int count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
}

struct WakeSignal::State {
    HANDLE semaphore = nullptr;
};

WakeSignal::WakeSignal() : state_(new State) {
    state_->semaphore = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
}
WakeSignal::~WakeSignal() {
    if (state_->semaphore != nullptr) CloseHandle(state_->semaphore);
}
void WakeSignal::Post() { ReleaseSemaphore(state_->semaphore, 1, nullptr); }
bool WakeSignal::Wait(int timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(state_->semaphore, wait) == WAIT_OBJECT_0;
}

}  // namespace platform
