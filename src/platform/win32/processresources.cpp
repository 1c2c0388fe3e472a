// The process's figures as Windows counts them: the CPU time it has used,
// the working set, the handles and the threads a Toolhelp snapshot lists for
// the process. Windows keeps no count of voluntary switches.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filetime.h"
#include "platform/platform_tools.h"

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

// This process's entries in the system's handle table.
std::size_t HandlesInSystemTable() {
    using QuerySystemInformation = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return 0;
    // Through a function type without parameters, so that the compiler takes
    // the cast of GetProcAddress's result as meant.
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    const auto kHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<std::uint8_t> buffer(64 * 1024);
    ULONG needed = 0;
    NTSTATUS status = kLengthMismatch;
    for (int attempt = 0; attempt < 8 && status == kLengthMismatch; ++attempt) {
        status = query(kHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
    }
    if (status < 0) return 0;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    const std::size_t room =
        (buffer.size() - offsetof(SYSTEM_HANDLE_INFORMATION, Handle)) / sizeof(SYSTEM_HANDLE_ENTRY);
    const std::size_t entries = std::min<std::size_t>(table->Count, room);
    const DWORD self = GetCurrentProcessId();
    std::size_t count = 0;
    for (std::size_t i = 0; i < entries; ++i) {
        if (table->Handle[i].OwnerPid == self) ++count;
    }
    return count;
}

}  // namespace

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return static_cast<double>(FileTimeValue(kernel) + FileTimeValue(user)) / 1e7;
}

long long ProcessVoluntarySwitches() { return -1; }

ProcessResources CurrentProcessResources() {
    ProcessResources resources;
    PROCESS_MEMORY_COUNTERS memory {};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        resources.residentKiB = memory.WorkingSetSize / 1024;
    }
    // Counted before the snapshot, whose handle would count too. Wine
    // answers GetProcessHandleCount with 0 (a process always holds some
    // handles); its system handle table lists them.
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0) {
        resources.openHandles = handles;
    } else {
        resources.openHandles = HandlesInSystemTable();
    }
    resources.threads = ThreadsOfThisProcess();
    return resources;
}

const char* OpenHandlesName() { return "handles"; }

}  // namespace platform
