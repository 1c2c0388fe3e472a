// Folders on POSIX: the stand-ins for the common application-data folder and
// the fixed Windows paths (see root.h), creating folders and listing them.
#include "platform/platform.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "filetime.h"
#include "root.h"

namespace platform {
namespace {

int MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    return errno;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows file-name matching: '*' any run, '?' one character; "*.*" matches
// every name, as it does there.
bool WildcardMatch(const char* pattern, const char* name) {
    if (std::strcmp(pattern, "*.*") == 0) return true;
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

}  // namespace

bool CommonAppDataFolder(std::string& folder) {
    folder = RootFolder() + "/ProgramData";
    return true;
}

std::string FixedPath(const std::string& windowsPath) {
    // "C:\dir\file" -> <root>/C/dir/file
    std::string path = windowsPath;
    std::string drive = "C";
    if (path.size() >= 2 && path[1] == ':') {
        drive = path.substr(0, 1);
        path = path.substr(2);
    }
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || path[0] != '/') path = "/" + path;
    const std::string full = RootFolder() + "/" + drive + path;
    CreateFolderPath(full.substr(0, full.find_last_of('/')));
    return full;
}

char PathSeparator() { return '/'; }

int CreateFolderPath(const std::string& path) {
    if (path.empty()) return EINVAL;
    if (IsFolder(path)) return kAlreadyExists;
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (path[0] == '/') partial = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        partial += part;
        if (!IsFolder(partial)) {
            const int error = MakeFolder(partial);
            if (error != 0 && error != EEXIST) return error;
        }
        partial += '/';
    }
    return 0;
}

std::vector<FileEntry> FindFiles(const std::string& pattern) {
    std::vector<FileEntry> found;
    const std::size_t cut = pattern.find_last_of("/\\");
    const std::string folder = cut == std::string::npos ? "." : pattern.substr(0, cut);
    const std::string namePattern = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
    DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!WildcardMatch(namePattern.c_str(), name)) continue;
        struct stat info {};
        if (::stat((folder + "/" + name).c_str(), &info) != 0) continue;
        FileEntry file;
        file.name = name;
        file.size = static_cast<std::uint64_t>(info.st_size);
        file.lastWrite = kUnixEpochInFileTime + static_cast<std::int64_t>(info.st_mtim.tv_sec) * 10000000 +
                         info.st_mtim.tv_nsec / 100;
        file.isDirectory = S_ISDIR(info.st_mode);
        found.push_back(std::move(file));
    }
    ::closedir(dir);
    return found;
}

}  // namespace platform
