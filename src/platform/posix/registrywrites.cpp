// Registry writes on POSIX, for tools and tests: the stand-ins'
// registry.reg, created with its folder when missing (see root.h).
#include "platform/platform_tools.h"

#include "platform/platform.h"
#include "regfile.h"
#include "root.h"

namespace platform {

bool WriteUserRegistryValue(const std::string& keyPath, const std::string& valueName, const std::string& value) {
    const int error = CreateFolderPath(RootFolder());
    if (error != 0 && error != kAlreadyExists) return false;
    RegFile file = RegFile::Load(RegistryFile());
    file.Set("HKEY_CURRENT_USER\\" + keyPath, valueName, value);
    return file.Save(RegistryFile());
}

bool DeleteUserRegistryValue(const std::string& keyPath, const std::string& valueName) {
    RegFile file = RegFile::Load(RegistryFile());
    if (!file.Remove("HKEY_CURRENT_USER\\" + keyPath, valueName)) return false;
    return file.Save(RegistryFile());
}

}  // namespace platform
