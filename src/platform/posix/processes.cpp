// Child processes on POSIX: posix_spawn, and waitpid to learn their end.
#include "platform/platform_tools.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace platform {
namespace {

class PosixProcess : public Process {
public:
    explicit PosixProcess(pid_t pid) : pid_(pid) {}
    ~PosixProcess() override {
        if (!exited_) {
            Kill();
            int ignored = 0;
            WaitForExit(-1, ignored);
        }
    }

    bool WaitForExit(int timeoutMs, int& exitCode) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
            if (done == pid_) {
                exited_ = true;
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            }
            if (done < 0) return false;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void Kill() override { ::kill(pid_, SIGKILL); }

private:
    pid_t pid_;
    bool exited_ = false;
};

}  // namespace

std::unique_ptr<Process> StartProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return nullptr;
    return std::make_unique<PosixProcess>(pid);
}

}  // namespace platform
