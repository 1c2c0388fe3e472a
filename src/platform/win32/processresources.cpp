// The process's resources as Windows counts them: the working set, the
// handle count and the threads a Toolhelp snapshot lists for the process.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "platform/platform.h"

namespace platform {
namespace {

std::size_t ThreadsOfThisProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = GetCurrentProcessId();
    std::size_t count = 0;
    THREADENTRY32 entry {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace

ProcessResources CurrentProcessResources() {
    ProcessResources resources;
    PROCESS_MEMORY_COUNTERS memory {};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        resources.residentKiB = memory.WorkingSetSize / 1024;
    }
    // Counted before the snapshot, whose handle would count too.
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles)) resources.openHandles = handles;
    resources.threads = ThreadsOfThisProcess();
    return resources;
}

const char* OpenHandlesName() { return "handles"; }

}  // namespace platform
