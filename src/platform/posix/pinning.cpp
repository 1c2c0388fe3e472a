// Placing threads on processors on POSIX (Linux affinity masks).
#include "platform/platform_tools.h"

#include <pthread.h>
#include <sched.h>

namespace platform {

bool PinToFirstProcessor() {
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    return sched_setaffinity(0, sizeof first, &first) == 0;
}

bool PinCurrentThreadToProcessor(int index) {
    if (index < 0 || index >= CPU_SETSIZE) return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(index, &one);
    return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

bool UnpinCurrentThread() {
    cpu_set_t every;
    CPU_ZERO(&every);
    for (int index = 0; index < CPU_SETSIZE; ++index) CPU_SET(index, &every);
    return pthread_setaffinity_np(pthread_self(), sizeof every, &every) == 0;
}

}  // namespace platform
