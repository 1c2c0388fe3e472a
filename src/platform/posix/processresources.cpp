// The process's figures on Linux: the CPU time it has used and its voluntary
// switches (getrusage), and what it holds, as /proc/self shows it.
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/platform_tools.h"

namespace platform {
namespace {

std::size_t EntriesIn(const char* folder) {
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        ++count;
    }
    return count;
}

}  // namespace

double ProcessCpuSeconds() {
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long long ProcessVoluntarySwitches() {
    rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return usage.ru_nvcsw;
}

ProcessResources CurrentProcessResources() {
    ProcessResources resources;
    std::ifstream statm("/proc/self/statm");
    std::size_t sizePages = 0;
    std::size_t residentPages = 0;
    if (statm >> sizePages >> residentPages) {
        resources.residentKiB = residentPages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
    }
    resources.openHandles = EntriesIn("/proc/self/fd");
    resources.threads = EntriesIn("/proc/self/task");
    return resources;
}

const char* OpenHandlesName() { return "descriptors"; }

}  // namespace platform
