// The library's own file on POSIX: its path, and the version it was built
// with.
#include "platform/platform.h"

#include <dlfcn.h>

#include <cstdlib>

namespace platform {

std::string OwnModulePath() {
    Dl_info info {};
    if (::dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[4096];
    if (::realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
}

// Shared objects carry no version resource; the version the library was built
// with stands in for it.
bool OwnModuleVersion(const std::string& /*modulePath*/, std::uint16_t parts[4]) {
    parts[0] = TB_VERSION_MAJOR;
    parts[1] = TB_VERSION_MINOR;
    parts[2] = TB_VERSION_PATCH;
    parts[3] = TB_VERSION_TWEAK;
    return true;
}

}  // namespace platform
