// The process's environment on POSIX.
#include "platform/platform_tools.h"

#include <cstdlib>

namespace platform {

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

}  // namespace platform
