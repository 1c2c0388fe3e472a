// What tools, tests and benchmarks need from the OS beyond platform.h:
// registry writes, starting a program, the environment, placing threads on
// processors, loading the library at run time, and the process's own figures.
// The library never uses these. They form their own static library
// (termbridge_platform_tools), which the shared library does not link.
#ifndef TERMBRIDGE_PLATFORM_TOOLS_H
#define TERMBRIDGE_PLATFORM_TOOLS_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- registry
// Writes a text value under HKEY_CURRENT_USER\<keyPath> (creating the key).
// Tools and tests set up the dispatcher address this way; the library only
// reads (platform.h).
bool WriteUserRegistryValue(const std::string& keyPath, const std::string& valueName,
                            const std::string& value);
// False when the value was not there or could not be removed.
bool DeleteUserRegistryValue(const std::string& keyPath, const std::string& valueName);

// ---------------------------------------------------------------- processes
// A child process started by a tool or a test.
class Process {
public:
    virtual ~Process() = default;
    // Waits at most timeoutMs (-1: without limit) for the child to end.
    virtual bool WaitForExit(int timeoutMs, int& exitCode) = 0;
    virtual void Kill() = 0;
};
std::unique_ptr<Process> StartProcess(const std::string& program, const std::vector<std::string>& arguments);

// ---------------------------------------------------------------- environment
bool SetEnvironmentValue(const std::string& name, const std::string& value);

// ---------------------------------------------------------------- processors
// Keeps the process on the first processor: the calling thread and every
// thread started after the call (benchmarks measure one-core behaviour).
bool PinToFirstProcessor();
// Keeps the calling thread alone on processor `index` (counted from 0);
// false when there is no such processor. Benchmarks use it to place the two
// ends of an exchange on different processors.
bool PinCurrentThreadToProcessor(int index);
// Lets the calling thread run on every processor of the process again.
bool UnpinCurrentThread();

// ---------------------------------------------------------------- dynamic loading
// Hosts (the console tool, tests) load the library at run time.
class DynamicLibrary {
public:
    virtual ~DynamicLibrary() = default;
    virtual void* Symbol(const std::string& name) = 0;
};
std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& path, std::string& error);
// The library's file name on this system ("TermBridge.dll" or "libTermBridge.so").
std::string DefaultLibraryFileName();

// ---------------------------------------------------------------- process figures
// CPU time the whole process has used, user and system, in seconds.
double ProcessCpuSeconds();

// What the process holds at the moment; long runs watch these for growth.
struct ProcessResources {
    std::size_t residentKiB = 0;  // the resident set (Linux), the working set (Windows)
    std::size_t openHandles = 0;  // open file descriptors (Linux), handles (Windows)
    std::size_t threads = 0;
};
ProcessResources CurrentProcessResources();
// What openHandles counts here, in a word: "descriptors" or "handles".
const char* OpenHandlesName();

}  // namespace platform

#endif
