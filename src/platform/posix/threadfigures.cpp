// One thread's figures on Linux: its CPU clock, and the voluntary switches
// /proc counts for it.
#include "platform/platform_tools.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace platform {
namespace {

// The "voluntary_ctxt_switches:" line of the thread's status; -1 without it.
long long VoluntarySwitchesOf(long long thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, key.size(), key) == 0) return std::stoll(line.substr(key.size()));
    }
    return -1;
}

class PosixThreadMeter : public ThreadMeter {
public:
    PosixThreadMeter() : thread_(static_cast<long long>(::syscall(SYS_gettid))) {
        clockValid_ = ::pthread_getcpuclockid(::pthread_self(), &clock_) == 0;
    }

    ThreadFigures Read() const override {
        ThreadFigures figures;
        timespec used{};
        if (clockValid_ && ::clock_gettime(clock_, &used) == 0) {
            figures.cpuSeconds = static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
        }
        figures.voluntarySwitches = VoluntarySwitchesOf(thread_);
        return figures;
    }

private:
    long long thread_;
    clockid_t clock_{};
    bool clockValid_ = false;
};

}  // namespace

std::unique_ptr<ThreadMeter> MeterCurrentThread() { return std::make_unique<PosixThreadMeter>(); }

}  // namespace platform
