// The library's own file on Windows: its path, and its version resource.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

std::string OwnModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnModulePath), &module))
        return "";
    char path[MAX_PATH + 1] = "";
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path, length);
}

bool OwnModuleVersion(const std::string& modulePath, std::uint16_t parts[4]) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(modulePath.c_str(), &handle);
    if (size == 0) return false;
    std::string buffer(size, '\0');
    if (!GetFileVersionInfoA(modulePath.c_str(), 0, size, &buffer[0])) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueA(&buffer[0], "\\", reinterpret_cast<void**>(&info), &infoSize) || info == nullptr)
        return false;
    parts[0] = HIWORD(info->dwFileVersionMS);
    parts[1] = LOWORD(info->dwFileVersionMS);
    parts[2] = HIWORD(info->dwFileVersionLS);
    parts[3] = LOWORD(info->dwFileVersionLS);
    return true;
}

}  // namespace platform
