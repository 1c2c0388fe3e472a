// The stand-ins' root folder (see root.h).
#include "root.h"

#include <cstdlib>

namespace platform {

std::string RootFolder() {
    const char* root = std::getenv("TERMBRIDGE_ROOT");
    if (root != nullptr && *root != '\0') return root;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/share/termbridge";
}

std::string RegistryFile() { return RootFolder() + "/registry.reg"; }

}  // namespace platform
