// Files on POSIX systems: line ends, removing a file, the regular-file test
// of readers and the writer that replaces a file whole or not at all.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace platform {
namespace {

// Links followed before a path counts as a loop, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
// A temporary name keeps this much of the destination's name, so that a
// destination whose name is near the system's limit still gets one.
constexpr std::size_t kTemporaryNameKept = 32;
constexpr int kTemporaryNameTries = 100;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path a write lands on: symbolic links followed, the last one possibly
// dangling (the write then creates the file it names). False for a loop or a
// path that cannot be looked at.
bool ResolveLinks(std::string path, std::string& resolved) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT) return false;
            resolved = path;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            resolved = path;
            return true;
        }
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        const ssize_t length = ::readlink(path.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(length));
        path = target[0] == '/' ? target : FolderOf(path) + "/" + target;
    }
    return false;
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    const auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[48];
    std::snprintf(text, sizeof text, ".tb%lx%x%llx", static_cast<unsigned long>(::getpid()), counter.fetch_add(1),
                  ticks & 0xFFFFFFull);
    return text;
}

bool WriteAll(int fd, const void* bytes, std::size_t size) {
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

class PosixReplacingFile : public ReplacingFile {
public:
    PosixReplacingFile(std::string destination, std::string temporary, int fd, bool existed,
                       const struct stat& info)
        : destination_(std::move(destination)), temporary_(std::move(temporary)), fd_(fd), existed_(existed),
          info_(info) {}

    ~PosixReplacingFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temporary_.c_str());
    }

    bool Commit(const void* bytes, std::size_t size) override {
        if (committed_ || fd_ < 0) return false;
        bool written = WriteAll(fd_, bytes, size) && ::fsync(fd_) == 0;
        if (written && existed_) {
            // The new file takes the old one's owner (where this process may
            // give it) and permissions.
            if (info_.st_uid != ::geteuid() || info_.st_gid != ::getegid()) {
                const int given = ::fchown(fd_, info_.st_uid, info_.st_gid);
                static_cast<void>(given);  // an ordinary user keeps the file as its own
            }
            written = ::fchmod(fd_, info_.st_mode & 07777) == 0;
        }
        written = ::close(fd_) == 0 && written;
        fd_ = -1;
        committed_ = written && std::rename(temporary_.c_str(), destination_.c_str()) == 0;
        return committed_;
    }

    const std::string& Destination() const override { return destination_; }

private:
    std::string destination_;
    std::string temporary_;
    int fd_;
    bool existed_;
    struct stat info_;
    bool committed_ = false;
};

// An existing destination must be a regular file that this process may open
// for writing; it is opened (never truncated) only to ask.
bool DestinationWritable(const std::string& destination, bool& existed, struct stat& info) {
    existed = ::stat(destination.c_str(), &info) == 0;
    if (!existed) return errno == ENOENT;
    if (!S_ISREG(info.st_mode)) return false;
    const int fd = ::open(destination.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

std::size_t TextLineEndBytes() { return 1; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

PathKind KindOfPath(const std::string& path) {
    struct stat info {};
    if (path.empty()) return PathKind::kOther;
    if (::stat(path.c_str(), &info) != 0) return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
    return S_ISREG(info.st_mode) ? PathKind::kRegularFile : PathKind::kOther;
}

std::unique_ptr<ReplacingFile> OpenReplacingFile(const std::string& path) {
    std::string destination;
    if (path.empty() || !ResolveLinks(path, destination)) return nullptr;
    bool existed = false;
    struct stat info {};
    if (!DestinationWritable(destination, existed, info)) return nullptr;
    const std::string stem = FolderOf(destination) + "/." + NameOf(destination).substr(0, kTemporaryNameKept);
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        std::string temporary = stem + UniqueSuffix();
        // 0666 less the umask: what an open for writing would create.
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return std::make_unique<PosixReplacingFile>(std::move(destination), std::move(temporary), fd, existed,
                                                        info);
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

}  // namespace platform
