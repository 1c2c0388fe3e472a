// The process's environment on Windows: the system's copy and the C
// runtime's, so that getenv sees a change too.
#include "platform/platform_tools.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0 && _putenv_s(name.c_str(), value.c_str()) == 0;
}

}  // namespace platform
