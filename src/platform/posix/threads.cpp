// Threads on POSIX: priority, the processors the process may use, the spin
// hint, and the wake-up signal (a semaphore).
#include "platform/platform.h"

#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {

// One nice step down for this thread alone (Linux gives each thread its own
// nice value). An ordinary user may lack the right; the thread then stays.
bool RaiseCurrentThreadPriority() {
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (nice == -1 && errno != 0) return false;
    return setpriority(PRIO_PROCESS, thread, nice - 1) == 0;
}

void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

int UsableProcessorCount() {
    cpu_set_t usable;
    CPU_ZERO(&usable);
    if (sched_getaffinity(0, sizeof usable, &usable) != 0) return 1;
    return CPU_COUNT(&usable);
}

struct WakeSignal::State {
    sem_t semaphore;
};

WakeSignal::WakeSignal() : state_(new State) { sem_init(&state_->semaphore, 0, 0); }
WakeSignal::~WakeSignal() { sem_destroy(&state_->semaphore); }
void WakeSignal::Post() { sem_post(&state_->semaphore); }

bool WakeSignal::Wait(int timeoutMs) {
    if (timeoutMs < 0) {
        while (sem_wait(&state_->semaphore) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(&state_->semaphore, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace platform
