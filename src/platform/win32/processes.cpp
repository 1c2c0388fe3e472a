// Child processes on Windows: CreateProcess, and the process handle to learn
// their end.
#include "platform/platform_tools.h"

#include <windows.h>

namespace platform {
namespace {

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

}  // namespace platform
