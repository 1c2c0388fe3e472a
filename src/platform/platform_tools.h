// What tools, tests and benchmarks need from the OS beyond platform.h:
// registry writes, starting a program, the environment, placing threads on
// processors, loading the library at run time, the process's own figures and
// traces of its system calls.
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

// Voluntary context switches of the whole process so far (a thread gave up
// its processor to wait); -1 where the system does not count them (Windows).
long long ProcessVoluntarySwitches();

// ---------------------------------------------------------------- thread figures
// What one thread has used so far. Benchmarks tell the library's threads
// from the far end's that shares their process.
struct ThreadFigures {
    double cpuSeconds = -1.0;          // user + system; -1: could not be read
    long long voluntarySwitches = -1;  // -1: not counted here (Windows), or could not be read
};
// Made on the thread it measures; read from any thread while that one lives.
class ThreadMeter {
public:
    virtual ~ThreadMeter() = default;
    virtual ThreadFigures Read() const = 0;
};
std::unique_ptr<ThreadMeter> MeterCurrentThread();

// ---------------------------------------------------------------- system call traces
// One system call of a traced run.
struct TracedCall {
    long long thread = 0;  // the system's id of the calling thread
    std::string name;      // "poll", "sendto", ...
    std::string mark;      // set where the call is a mark (MarkSystemCallTrace)
};
// Whether this system has a call tracer at all: strace on Linux (which may
// still be missing from the machine), none on Windows.
bool SystemHasCallTracer();
// Starts `program arguments` under the call tracer (strace -f), its trace
// written to tracePath. Null, with what is missing in `problem`, when no
// tracer could be started. The tracer's exit code is the program's.
std::unique_ptr<Process> StartTracedProcess(const std::string& program, const std::vector<std::string>& arguments,
                                            const std::string& tracePath, std::string& problem);
// The calls of such a trace in the order they began, every thread's. False,
// with the reason in `problem`, when the trace cannot be read.
bool ReadSystemCallTrace(const std::string& tracePath, std::vector<TracedCall>& calls, std::string& problem);
// Leaves `label` (a few words, no quotes) in the trace of a traced run: one
// call that asks the system about a path that is not there.
void MarkSystemCallTrace(const std::string& label);

}  // namespace platform

#endif
