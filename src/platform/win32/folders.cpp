// Folders on Windows: the common application-data folder, the fixed paths
// (used as they are), creating folders and listing them.
#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>

#include "filetime.h"

namespace platform {

bool CommonAppDataFolder(std::string& folder) {
    char path[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return false;
    folder = path;
    return true;
}

std::string FixedPath(const std::string& windowsPath) { return windowsPath; }

char PathSeparator() { return '\\'; }

int CreateFolderPath(const std::string& path) {
    const int result = SHCreateDirectoryExA(nullptr, path.c_str(), nullptr);
    if (result == ERROR_SUCCESS) return 0;
    if (result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return kAlreadyExists;
    return result;
}

std::vector<FileEntry> FindFiles(const std::string& pattern) {
    std::vector<FileEntry> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        FileEntry entry;
        entry.name = name;
        entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entry.lastWrite = FileTimeValue(data.ftLastWriteTime);
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        found.push_back(entry);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return found;
}

}  // namespace platform
