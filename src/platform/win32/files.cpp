// Files on Windows: line ends, removing a file, the regular-file test of
// readers and the writer that replaces a file whole or not at all.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

constexpr std::size_t kTemporaryNameKept = 32;
constexpr int kTemporaryNameTries = 100;

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::string FolderOf(const std::string& path) {
    const std::size_t separator = LastSeparator(path);
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

std::string NameOf(const std::string& path) {
    const std::size_t separator = LastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    char text[48];
    std::snprintf(text, sizeof text, ".tb%lx%x%lx", static_cast<unsigned long>(GetCurrentProcessId()),
                  counter.fetch_add(1), static_cast<unsigned long>(GetTickCount() & 0xFFFFFF));
    return text;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length && _strnicmp(text.c_str(), prefix, length) == 0;
}

// "host\share\...": the share through which a host offers its named pipes
// or mailslots.
bool IsPipeShare(const std::string& hostAndShare) {
    const std::size_t host = hostAndShare.find('\\');
    if (host == std::string::npos) return false;
    const std::string share = hostAndShare.substr(host + 1, hostAndShare.find('\\', host + 1) - host - 1);
    return _stricmp(share.c_str(), "pipe") == 0 || _stricmp(share.c_str(), "mailslot") == 0;
}

// The path as the system resolves it, or the text itself (separators made
// backslashes) when it cannot.
std::string FullPathOf(const std::string& path) {
    std::string full(MAX_PATH, '\0');
    DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.assign(length + 1, '\0');
        length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    if (length == 0 || length >= full.size()) {
        full = path;
        std::replace(full.begin(), full.end(), '/', '\\');
        return full;
    }
    full.resize(length);
    return full;
}

// The device namespace ("\\.\pipe\name", "\\.\COM1"), where the
// reserved names (NUL, COM1) lead too, and a host's pipe share
// ("\\host\pipe\name"). Any query by such a name opens it: a pipe then
// connects to a waiting server, a port opens the device. Behind "\\.\" and
// "\\?\" only a drive ("\\?\C:\...") or a share ("\\?\UNC\...")
// names files; a volume by its GUID counts as a device here.
bool NamesADevice(const std::string& path) {
    const std::string full = FullPathOf(path);
    if (StartsWithNoCase(full, "\\\\.\\") || StartsWithNoCase(full, "\\\\?\\")) {
        const std::string rest = full.substr(4);
        const bool drive = rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) != 0 &&
                           rest[1] == ':' && rest[2] == '\\';
        if (drive) return false;
        return !StartsWithNoCase(rest, "UNC\\") || IsPipeShare(rest.substr(4));
    }
    return StartsWithNoCase(full, "\\\\") && IsPipeShare(full.substr(2));
}

// Opens what the path names without reading or writing it; never asked of
// a device's name (see NamesADevice), which it would open.
HANDLE OpenForQuery(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsDiskFile(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &information) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WriteAll(HANDLE handle, const void* bytes, std::size_t size) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (WriteFile(handle, at, piece, &written, nullptr) == 0 || written == 0) return false;
        at += written;
        size -= written;
    }
    return true;
}

// A replaced file that another program still has open (a reader that did
// not share deletion, a virus scanner) is usually let go within moments.
constexpr int kReplaceTries = 10;
constexpr DWORD kReplaceRetryMs = 50;

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A name beside `stem` that names nothing yet.
std::string FreeNameBeside(const std::string& stem) {
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        std::string name = stem + UniqueSuffix();
        if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
            return name;
        }
    }
    return std::string();
}

// The replaced file is in use: ReplaceFile moved and removed nothing.
bool ReplacedFileInUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

class Win32ReplacingFile : public ReplacingFile {
public:
    Win32ReplacingFile(std::string destination, std::string temporary, HANDLE handle, bool existed)
        : destination_(std::move(destination)), temporary_(std::move(temporary)), handle_(handle),
          existed_(existed) {}

    ~Win32ReplacingFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (!committed_ && !keepTemporary_) DeleteFileA(temporary_.c_str());
    }

    bool Commit(const void* bytes, std::size_t size) override {
        if (committed_ || handle_ == INVALID_HANDLE_VALUE) return false;
        bool written = WriteAll(handle_, bytes, size) && FlushFileBuffers(handle_) != 0;
        written = CloseHandle(handle_) != 0 && written;
        handle_ = INVALID_HANDLE_VALUE;
        if (!written) return false;
        // ReplaceFile keeps the old file's attributes and security; a new
        // destination is simply moved into place.
        committed_ = existed_ ? ReplaceDestination() : MoveIntoPlace();
        return committed_;
    }

    const std::string& Destination() const override { return destination_; }

private:
    // A rename over the destination: whole or not at all.
    bool MoveIntoPlace() const {
        return MoveFileExA(temporary_.c_str(), destination_.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }

    // Without a backup name, a ReplaceFile that cannot move the new file in
    // has already deleted the old one (ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    // with one, the old file is still there, under its own name or the
    // backup's.
    bool ReplaceDestination() {
        const std::string backup = FreeNameBeside(temporary_);
        if (backup.empty()) return false;
        for (int attempt = 1;; ++attempt) {
            if (ReplaceFileA(destination_.c_str(), temporary_.c_str(), backup.c_str(),
                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0) {
                DeleteFileA(backup.c_str());
                return true;
            }
            if (!ReplacedFileInUse(GetLastError()) || attempt == kReplaceTries) break;
            Sleep(kReplaceRetryMs);
        }
        return RecoverFromFailedReplace(backup);
    }

    // The old file goes back in place if the replacement moved it to the
    // backup name, then a plain rename over it is tried (file systems that
    // cannot replace). While the destination is missing, neither the backup
    // nor the temporary file is deleted: they hold the old and the new bytes.
    bool RecoverFromFailedReplace(const std::string& backup) {
        const bool restored = Exists(destination_) ||
                              MoveFileExA(backup.c_str(), destination_.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
        if (MoveIntoPlace()) {
            DeleteFileA(backup.c_str());
            return true;
        }
        if (restored) {
            DeleteFileA(backup.c_str());  // none, or a copy of the file in place
        } else {
            keepTemporary_ = true;
        }
        return false;
    }

    std::string destination_;
    std::string temporary_;
    HANDLE handle_;
    bool existed_;
    bool committed_ = false;
    bool keepTemporary_ = false;
};

// The file an existing path names, links followed (a symbolic link, and
// under Wine a link of the host's file system, which Windows programs see as
// the file itself): replacing it must not replace the link. A path that
// names nothing yet stays as it is.
std::string FinalPath(const std::string& path) {
    const HANDLE handle = OpenForQuery(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return path;
    std::string resolved(MAX_PATH, '\0');
    DWORD length = GetFinalPathNameByHandleA(handle, &resolved[0], static_cast<DWORD>(resolved.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= resolved.size()) {
        resolved.assign(length + 1, '\0');
        length = GetFinalPathNameByHandleA(handle, &resolved[0], static_cast<DWORD>(resolved.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    CloseHandle(handle);
    if (length == 0 || length >= resolved.size()) return path;
    resolved.resize(length);
    // Without the "\\?\" prefix ("\\?\UNC\" becomes "\\"): the temporary
    // file's name is built from this path by plain string operations.
    const std::string unc = "\\\\?\\UNC\\", local = "\\\\?\\";
    if (resolved.compare(0, unc.size(), unc) == 0) return "\\\\" + resolved.substr(unc.size());
    if (resolved.compare(0, local.size(), local) == 0) return resolved.substr(local.size());
    return resolved;
}

// An existing destination must be a file on a disk that this process may
// open for writing (a read-only file may not be); it is opened only to ask.
bool DestinationWritable(const std::string& destination, bool& existed) {
    const HANDLE handle = OpenForQuery(destination, GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        existed = false;
        return error == ERROR_FILE_NOT_FOUND;
    }
    existed = true;
    const bool disk = IsDiskFile(handle);
    CloseHandle(handle);
    return disk;
}

}  // namespace

std::size_t TextLineEndBytes() { return 2; }

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

// Attributes first: a query by name opens nothing. Only a link is opened,
// to learn what it leads to (its attributes are its own).
PathKind KindOfPath(const std::string& path) {
    if (path.empty() || NamesADevice(path)) return PathKind::kOther;
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes) == 0) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? PathKind::kMissing : PathKind::kOther;
    }
    const DWORD kind = attributes.dwFileAttributes;
    if ((kind & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return PathKind::kOther;
    if ((kind & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return PathKind::kRegularFile;
    const HANDLE handle = OpenForQuery(path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? PathKind::kMissing : PathKind::kOther;
    }
    const bool disk = IsDiskFile(handle);
    CloseHandle(handle);
    return disk ? PathKind::kRegularFile : PathKind::kOther;
}

std::unique_ptr<ReplacingFile> OpenReplacingFile(const std::string& path) {
    bool existed = false;
    if (path.empty() || NamesADevice(path)) return nullptr;
    const std::string destination = FinalPath(path);
    if (!DestinationWritable(destination, existed)) return nullptr;
    const std::string stem = FolderOf(destination) + "\\." + NameOf(destination).substr(0, kTemporaryNameKept);
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        std::string temporary = stem + UniqueSuffix();
        const HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            return std::make_unique<Win32ReplacingFile>(destination, std::move(temporary), handle, existed);
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

}  // namespace platform
