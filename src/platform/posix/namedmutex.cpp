// The named mutex on POSIX: an advisory lock (flock) on a file in the
// stand-ins' locks folder, which the system releases when its holder ends.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "root.h"

namespace platform {
namespace {

class LockFileMutex : public NamedMutex {
public:
    explicit LockFileMutex(int fd) : fd_(fd) {}
    ~LockFileMutex() override { ::close(fd_); }

    bool TryLock(int timeoutMs) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void Unlock() override { ::flock(fd_, LOCK_UN); }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    const std::string folder = RootFolder() + "/locks";
    CreateFolderPath(folder);
    std::string fileName = name;
    std::replace_if(fileName.begin(), fileName.end(), [](char c) { return c == '\\' || c == '/'; }, '_');
    const int fd = ::open((folder + "/" + fileName + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<LockFileMutex>(fd);
}

}  // namespace platform
