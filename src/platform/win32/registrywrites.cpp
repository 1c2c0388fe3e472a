// Registry writes on Windows, for tools and tests.
#include "platform/platform_tools.h"

#include <windows.h>

namespace platform {

bool WriteUserRegistryValue(const std::string& keyPath, const std::string& valueName, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool DeleteUserRegistryValue(const std::string& keyPath, const std::string& valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    const LONG status = RegDeleteValueA(key, valueName.c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace platform
