// The Windows implementation of the OS layer: registry, named mutex, shell
// folders, the library's own version resource and the message box.
#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace platform {
namespace {

std::int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

class Win32Mutex : public NamedMutex {
public:
    explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
    ~Win32Mutex() override { CloseHandle(handle_); }

    // An abandoned mutex (its holder ended without releasing it) is owned by
    // this thread once the wait returns, so it counts as acquired: refusing it
    // would leave the mutex held by a process that believes it failed.
    bool TryLock(int timeoutMs) override {
        const DWORD result = WaitForSingleObject(handle_, static_cast<DWORD>(timeoutMs));
        return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
    void Unlock() override { ReleaseMutex(handle_); }

private:
    HANDLE handle_;
};

class Win32Library : public DynamicLibrary {
public:
    explicit Win32Library(HMODULE module) : module_(module) {}
    ~Win32Library() override { FreeLibrary(module_); }
    void* Symbol(const std::string& name) override {
        return reinterpret_cast<void*>(GetProcAddress(module_, name.c_str()));
    }

private:
    HMODULE module_;
};

class Win32Process : public Process {
public:
    explicit Win32Process(const PROCESS_INFORMATION& info) : info_(info) {}
    ~Win32Process() override {
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool WaitForExit(int timeoutMs, int& exitCode) override {
        if (WaitForSingleObject(info_.hProcess, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) !=
            WAIT_OBJECT_0)
            return false;
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        exitCode = static_cast<int>(code);
        return true;
    }
    void Kill() override { TerminateProcess(info_.hProcess, 1); }

private:
    PROCESS_INFORMATION info_;
};

std::string QuoteArgument(const std::string& argument) { return "\"" + argument + "\""; }

}  // namespace

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

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (handle == nullptr) return nullptr;
    return std::make_unique<Win32Mutex>(handle);
}

bool CommonAppDataFolder(std::string& folder) {
    char path[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return false;
    folder = path;
    return true;
}

std::string FixedPath(const std::string& windowsPath) { return windowsPath; }

char PathSeparator() { return '\\'; }

std::size_t TextLineEndBytes() { return 2; }

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

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

std::tm LocalTimeOf(std::time_t t) {
    std::tm local {};
    localtime_s(&local, &t);
    return local;
}

std::tm LocalTimeNow() { return LocalTimeOf(std::time(nullptr)); }

std::int64_t LocalNowAsFileTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time;
    SystemTimeToFileTime(&now, &time);
    return FileTimeValue(time);
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return static_cast<double>(FileTimeValue(kernel) + FileTimeValue(user)) / 1e7;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

std::string SystemErrorText(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string("Unknown error");
    if (text != nullptr) LocalFree(text);
    return result;
}

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

void ShowErrorMessageBox(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

bool PinToFirstProcessor() { return SetProcessAffinityMask(GetCurrentProcess(), 1) != 0; }

bool PinCurrentThreadToProcessor(int index) {
    if (index < 0 || index >= static_cast<int>(8 * sizeof(DWORD_PTR))) return false;
    return SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << index) != 0;
}

bool UnpinCurrentThread() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
    return SetThreadAffinityMask(GetCurrentThread(), process) != 0;
}

struct WakeSignal::State {
    HANDLE semaphore = nullptr;
};

WakeSignal::WakeSignal() : state_(new State) {
    state_->semaphore = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
}
WakeSignal::~WakeSignal() {
    if (state_->semaphore != nullptr) CloseHandle(state_->semaphore);
}
void WakeSignal::Post() { ReleaseSemaphore(state_->semaphore, 1, nullptr); }
bool WakeSignal::Wait(int timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(state_->semaphore, wait) == WAIT_OBJECT_0;
}

void CpuRelax() { YieldProcessor(); }

int UsableProcessorCount() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    int count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
}

bool RaiseCurrentThreadPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL) != 0;
}

std::unique_ptr<Process> StartProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::string commandLine = QuoteArgument(program);
    for (const std::string& argument : arguments) commandLine += " " + QuoteArgument(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return nullptr;
    return std::make_unique<Win32Process>(info);
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0 && _putenv_s(name.c_str(), value.c_str()) == 0;
}

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    return std::make_unique<Win32Library>(module);
}

std::string DefaultLibraryFileName() { return "TermBridge.dll"; }

}  // namespace platform
