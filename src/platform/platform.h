// The operating-system layer: what the library needs from the OS beyond the
// C++ standard library goes through this header, and net.h for sockets and
// waits. src/platform/win32 and src/platform/posix implement it, one file per
// subject under the same name in both; the build picks one of the folders.
// What only tools, tests and benchmarks need is in platform_tools.h.
#ifndef TERMBRIDGE_PLATFORM_H
#define TERMBRIDGE_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- registry
// Reads a text value under HKEY_CURRENT_USER\<keyPath>. At most maxBytes - 1
// characters are returned; a missing key or value gives an empty text.
std::string ReadUserRegistryValue(const std::string& keyPath, const std::string& valueName,
                                  std::size_t maxBytes = 255);

// ---------------------------------------------------------------- named mutex
// A machine-wide mutex identified by name: one holder at a time, released when
// the holder unlocks, closes it or its process ends.
class NamedMutex {
public:
    virtual ~NamedMutex() = default;
    // Waits at most timeoutMs for ownership; true only when it was acquired.
    virtual bool TryLock(int timeoutMs) = 0;
    virtual void Unlock() = 0;
};
// Creates (or opens) the mutex without taking it; null when that fails.
std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name);

// ---------------------------------------------------------------- folders and files
// The machine's common application-data folder (no trailing separator).
bool CommonAppDataFolder(std::string& folder);
// Maps a fixed Windows path such as "C:\\ConsoleDllCrash.txt" to a local path.
std::string FixedPath(const std::string& windowsPath);
// The native separator between a folder and a name: '\\' on Windows, '/'
// elsewhere.
char PathSeparator();
// Bytes a line end takes in a file written in text mode ("\r\n" on Windows).
std::size_t TextLineEndBytes();
// Creates a folder with all missing parents. Returns 0 on success, otherwise a
// system error code; kAlreadyExists when the folder was there already.
constexpr int kAlreadyExists = 183;
int CreateFolderPath(const std::string& path);

struct FileEntry {
    std::string name;         // the entry's name, without its folder
    std::uint64_t size = 0;   // bytes
    std::int64_t lastWrite = 0;  // file-time units (100 ns since 1601-01-01)
    bool isDirectory = false;
};
// Lists the entries matching a pattern "<folder>/<name pattern>" where the name
// pattern may hold '*' and '?'. "." and ".." are never listed. The order is the
// file system's.
std::vector<FileEntry> FindFiles(const std::string& pattern);
bool RemoveFile(const std::string& path);

// What a path names, a symbolic link followed to what it names. Readers
// open only a regular file (not a folder, a pipe or a device), and writers
// that append create a missing one: a pipe without a peer would block them.
enum class PathKind { kMissing, kRegularFile, kOther };
PathKind KindOfPath(const std::string& path);
inline bool IsRegularFile(const std::string& path) { return KindOfPath(path) == PathKind::kRegularFile; }

// A file written whole or not at all, so that a crash, a full disk or a
// failed step never leaves a shortened file in place of a good one.
// OpenReplacingFile checks the destination as an open for writing would
// (an existing file must be a regular file the caller may write; a
// symbolic link is followed to the file it names) and creates a temporary
// file of a unique name, exclusively, in the destination's folder; null when
// the destination cannot be written. Commit writes the bytes into the
// temporary file, flushes them to the disk, gives it the destination's
// permissions and puts it in the destination's place in one step. Until
// Commit succeeds, destroying the object removes its temporary file and
// touches nothing else; only a replacement that failed half-way and left
// the destination missing (Windows) keeps the temporary file, and the old
// file under a backup name beside it, rather than lose both.
class ReplacingFile {
public:
    virtual ~ReplacingFile() = default;
    virtual bool Commit(const void* bytes, std::size_t size) = 0;
    // Where the bytes go: the destination with its links resolved.
    virtual const std::string& Destination() const = 0;
};
std::unique_ptr<ReplacingFile> OpenReplacingFile(const std::string& path);

// ---------------------------------------------------------------- time
// Local wall-clock time, broken down.
std::tm LocalTimeNow();
// Local wall-clock time on the file-time scale (100 ns units since 1601-01-01).
std::int64_t LocalNowAsFileTime();
void SleepMs(int ms);

// ---------------------------------------------------------------- errors
int LastSystemError();
std::string SystemErrorText(int code);

// ---------------------------------------------------------------- module
// Full path of the library's own file.
std::string OwnModulePath();
// The four parts of the library file's version resource; false when absent.
bool OwnModuleVersion(const std::string& modulePath, std::uint16_t parts[4]);

// ---------------------------------------------------------------- user interface
void ShowErrorMessageBox(const std::string& text, const std::string& title);

// ---------------------------------------------------------------- threads
// Raises the calling thread one step above normal priority where the OS
// allows it; false when it stays where it was.
bool RaiseCurrentThreadPriority();
// Lets the other hardware thread of this core run during a short spin.
void CpuRelax();
// Processors this process may run on now (1 when pinned to one).
int UsableProcessorCount();

// A counting wake-up between the threads of this process: each Post lets one
// Wait return. A woken thread takes no lock back (unlike a condition
// variable), so a hand-over costs one system call on each side.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    void Post();
    // Waits at most timeoutMs (-1: without limit); false when the time ran out.
    bool Wait(int timeoutMs);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform

#endif
