// Registry reads on Windows.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

std::string ReadUserRegistryValue(const std::string& keyPath, const std::string& valueName, std::size_t maxBytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "";
    std::string buffer(maxBytes, '\0');
    DWORD size = static_cast<DWORD>(maxBytes);
    const LONG status = RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&buffer[0]), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "";
    buffer.resize(maxBytes > 0 ? maxBytes - 1 : 0);
    return std::string(buffer.c_str());
}

}  // namespace platform
