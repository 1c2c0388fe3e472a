// POSIX stand-ins for the Windows services the library uses. Every file the
// library touches lives under $TERMBRIDGE_ROOT (default
// ~/.local/share/termbridge): the registry is registry.reg in the Windows
// .reg text format, the common application-data folder is ProgramData, and
// the drive root "C:\" is the folder C.
#include "platform/platform.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "regfile.h"

namespace platform {
namespace {

constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;  // 1970-01-01 in 100 ns units

std::string RootFolder() {
    const char* root = std::getenv("TERMBRIDGE_ROOT");
    if (root != nullptr && *root != '\0') return root;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/share/termbridge";
}

std::string RegistryFile() { return RootFolder() + "/registry.reg"; }

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

class PosixLibrary : public DynamicLibrary {
public:
    explicit PosixLibrary(void* handle) : handle_(handle) {}
    ~PosixLibrary() override { ::dlclose(handle_); }
    void* Symbol(const std::string& name) override { return ::dlsym(handle_, name.c_str()); }

private:
    void* handle_;
};

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

std::string ReadUserRegistryValue(const std::string& keyPath, const std::string& valueName, std::size_t maxBytes) {
    std::string value = RegFile::Load(RegistryFile()).Get("HKEY_CURRENT_USER\\" + keyPath, valueName);
    if (maxBytes > 0 && value.size() > maxBytes - 1) value.resize(maxBytes - 1);
    return value;
}

bool WriteUserRegistryValue(const std::string& keyPath, const std::string& valueName, const std::string& value) {
    if (CreateFolderPath(RootFolder()) > 0 && !IsFolder(RootFolder())) return false;
    RegFile file = RegFile::Load(RegistryFile());
    file.Set("HKEY_CURRENT_USER\\" + keyPath, valueName, value);
    return file.Save(RegistryFile());
}

bool DeleteUserRegistryValue(const std::string& keyPath, const std::string& valueName) {
    RegFile file = RegFile::Load(RegistryFile());
    if (!file.Remove("HKEY_CURRENT_USER\\" + keyPath, valueName)) return false;
    return file.Save(RegistryFile());
}

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    const std::string folder = RootFolder() + "/locks";
    CreateFolderPath(folder);
    std::string fileName = name;
    std::replace_if(fileName.begin(), fileName.end(), [](char c) { return c == '\\' || c == '/'; }, '_');
    const int fd = ::open((folder + "/" + fileName + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<LockFileMutex>(fd);
}

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

std::size_t TextLineEndBytes() { return 1; }

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

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::tm LocalTimeOf(std::time_t t) {
    std::tm local {};
    ::localtime_r(&t, &local);
    return local;
}

std::tm LocalTimeNow() { return LocalTimeOf(std::time(nullptr)); }

std::int64_t LocalNowAsFileTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t units = std::chrono::duration_cast<std::chrono::microseconds>(now).count() * 10;
    const std::tm local = LocalTimeNow();
    return kUnixEpochInFileTime + units + static_cast<std::int64_t>(local.tm_gmtoff) * 10000000;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double ProcessCpuSeconds() {
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int LastSystemError() { return errno; }

std::string SystemErrorText(int code) { return std::strerror(code); }

std::string OwnModulePath() {
    Dl_info info {};
    if (::dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[4096];
    if (::realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
}

// Shared objects carry no version resource; the version the library was built
// with stands in for it.
bool OwnModuleVersion(const std::string& /*modulePath*/, std::uint16_t parts[4]) {
    parts[0] = TB_VERSION_MAJOR;
    parts[1] = TB_VERSION_MINOR;
    parts[2] = TB_VERSION_PATCH;
    parts[3] = TB_VERSION_TWEAK;
    return true;
}

void ShowErrorMessageBox(const std::string& text, const std::string& title) {
    std::cerr << title << ": " << text << std::endl;
}

bool PinToFirstProcessor() {
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    return sched_setaffinity(0, sizeof first, &first) == 0;
}

bool PinCurrentThreadToProcessor(int index) {
    if (index < 0 || index >= CPU_SETSIZE) return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(index, &one);
    return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

bool UnpinCurrentThread() {
    cpu_set_t every;
    CPU_ZERO(&every);
    for (int index = 0; index < CPU_SETSIZE; ++index) CPU_SET(index, &every);
    return pthread_setaffinity_np(pthread_self(), sizeof every, &every) == 0;
}

int UsableProcessorCount() {
    cpu_set_t usable;
    CPU_ZERO(&usable);
    if (sched_getaffinity(0, sizeof usable, &usable) != 0) return 1;
    return CPU_COUNT(&usable);
}

struct WakeSignal::State {
    sem_t semaphore;
};

WakeSignal::WakeSignal() : state_(new State) { sem_init(&state_->semaphore, 0, 0); }
WakeSignal::~WakeSignal() { sem_destroy(&state_->semaphore); }
void WakeSignal::Post() { sem_post(&state_->semaphore); }

bool WakeSignal::Wait(int timeoutMs) {
    if (timeoutMs < 0) {
        while (sem_wait(&state_->semaphore) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(&state_->semaphore, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// One nice step down for this thread alone (Linux gives each thread its own
// nice value). An ordinary user may lack the right; the thread then stays.
bool RaiseCurrentThreadPriority() {
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (nice == -1 && errno != 0) return false;
    return setpriority(PRIO_PROCESS, thread, nice - 1) == 0;
}

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

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        error = reason != nullptr ? reason : "dlopen failed";
        return nullptr;
    }
    return std::make_unique<PosixLibrary>(handle);
}

std::string DefaultLibraryFileName() { return "libTermBridge.so"; }

}  // namespace platform
