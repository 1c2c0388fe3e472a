// The process's resources as Linux shows them in /proc/self.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/platform.h"

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
