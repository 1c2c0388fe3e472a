// Helpers shared by the tests: temporary folders and an isolated library root.
#ifndef TERMBRIDGE_TESTSUPPORT_H
#define TERMBRIDGE_TESTSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path of a name inside the folder.
    std::string File(const std::string& name) const;
    // Writes a file inside the folder and returns its path.
    std::string Write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Points the library's root (registry file, log and crash folders) at a
// temporary folder for the life of the object, where the system allows it.
class IsolatedRoot {
public:
    IsolatedRoot();
    const std::string& Path() const { return dir_.Path(); }

private:
    TempDir dir_;
};

// What the library's log file gained since the object was made. The log is a
// text file: line ends read back as "\n" on every system.
class LogTail {
public:
    LogTail();
    std::string Text() const;
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    std::size_t start_;
};

// How long a test waits for any one thing (a connection, an answer, a thread,
// a file) before it fails naming what did not come: loopback traffic takes
// milliseconds, even under the sanitizers and Wine.
constexpr int kWaitMs = 5000;

// Re-tests `condition` every few milliseconds until it holds; false when it
// still does not after timeoutMs.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

// A loopback TCP port that was free a moment ago, for a listener the test
// starts next. Taken at random below the systems' ephemeral ranges (Linux
// from 32768, Windows from 49152): a port the kernel hands out to bind(0) or
// to an outgoing connection could be taken by another test's connection
// before the listener binds it.
std::uint16_t FreeLoopbackTcpPort();

// A port number from the environment variable `name`; 0 when it is unset or
// not a port.
std::uint16_t PortFromEnvironment(const char* name);

// The bytes the emulated chip captures: byte i is i * 7 + (i / 256) * 13 + 1
// (tools/emulator/README.md).
std::vector<std::uint8_t> EmulatorCapturePattern(std::size_t length);

// A path of the source or build tree as the library under test sees it: a
// Windows build under Wine sees the Linux tree as drive Z:.
std::string LibraryPath(const std::string& linuxPath);

// The example definition set shipped with the sources.
std::string ExamplesDir();

}  // namespace testsupport

#endif
