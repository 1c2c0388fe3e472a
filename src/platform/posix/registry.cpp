// Registry reads on POSIX: HKEY_CURRENT_USER is a section of the stand-ins'
// registry.reg (see root.h).
#include "platform/platform.h"

#include "regfile.h"
#include "root.h"

namespace platform {

std::string ReadUserRegistryValue(const std::string& keyPath, const std::string& valueName, std::size_t maxBytes) {
    std::string value = RegFile::Load(RegistryFile()).Get("HKEY_CURRENT_USER\\" + keyPath, valueName);
    if (maxBytes > 0 && value.size() > maxBytes - 1) value.resize(maxBytes - 1);
    return value;
}

}  // namespace platform
