#include "fuzzsupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "consolelogger.h"
#include "eeprominterface.h"
#include "platform/platform_tools.h"
#include "structaccess.h"

namespace fs = std::filesystem;

namespace fuzzsupport {

namespace {

fs::path& RootFolder() {
    static fs::path root;
    return root;
}

void RemoveRootFolder() {
    std::error_code ignored;
    if (!RootFolder().empty()) fs::remove_all(RootFolder(), ignored);
}

fs::path MakeRootFolder() {
    std::error_code error;
    fs::path base = fs::exists("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "tb-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return fs::path(pattern);
}

// Every warning of a fuzzed definition file would otherwise be appended to a
// file on disk, opened and closed once per line.
void DiscardFile(const std::string& path) {
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    fs::remove(path, ignored);
    fs::create_symlink("/dev/null", path, ignored);
}

}  // namespace

std::string SourcePath(const char* relative) { return (fs::path(TB_SOURCE_DIR) / relative).string(); }

void QuietLibrary() {
    static const bool done = [] {
        RootFolder() = MakeRootFolder();
        std::atexit(RemoveRootFolder);
        platform::SetEnvironmentValue("TERMBRIDGE_ROOT", RootFolder().string());
        DiscardFile(CrashFilePath());
        DiscardFile(StartupTraceFilePath());
        // Creating the logger switches file logging on; switch it off after.
        ConsoleLogger::Instance();
        SetFileLoggingAllowed(false);
        SetLogSeverityLevel(LOG_DETAIL);
        return true;
    }();
    static_cast<void>(done);
}

// ---------------------------------------------------------------- MemoryFile

// A file of the private root folder, which lives on /dev/shm when there is
// one: opening it by name is a plain dentry-cache walk, several times cheaper
// than a /proc/self/fd link, and the readers open their files again and again.
MemoryFile::MemoryFile() {
    QuietLibrary();
    static int made = 0;
    path_ = (RootFolder() / ("memory-" + std::to_string(++made))).string();
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        std::perror("memory file");
        std::abort();
    }
}

MemoryFile::~MemoryFile() { ::close(fd_); }

void MemoryFile::Assign(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(fd_, 0) != 0) Fail("ftruncate", __FILE__, __LINE__);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t now =
            ::pwrite(fd_, data + written, size - written, static_cast<off_t>(written));
        if (now < 0 && errno == EINTR) continue;
        if (now <= 0) Fail("pwrite", __FILE__, __LINE__);
        written += static_cast<std::size_t>(now);
    }
}

void MemoryFile::Assign(const std::string& text) {
    Assign(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// ---------------------------------------------------------------- the example set

namespace {
struct Example {
    EepromInterface eeprom{nullptr};
    StructAccess database{SourcePath("examples/maps/mac.map"), SourcePath("examples/maps/phy.map"), &eeprom};
};

Example& TheExample() {
    static Example* example = [] {
        QuietLibrary();
        auto* made = new Example;  // lives as long as the process
        if (!made->database.structAccessInit(SourcePath("examples/definitions/list.txt"))) {
            std::fprintf(stderr, "The example definition set could not be read.\n");
            std::abort();
        }
        return made;
    }();
    return *example;
}
}  // namespace

StructAccess& ExampleDatabase() { return TheExample().database; }

EepromInterface& ExampleEeprom() { return TheExample().eeprom; }

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------- InputReader

std::uint8_t InputReader::Byte() { return AtEnd() ? 0 : data_[position_++]; }

std::uint16_t InputReader::Le16() {
    const std::uint8_t low = Byte();
    const std::uint8_t high = Byte();
    return static_cast<std::uint16_t>(low | (high << 8));
}

std::string InputReader::Bytes(std::size_t count) {
    const std::size_t taken = std::min(count, size_ - position_);
    std::string bytes(reinterpret_cast<const char*>(data_) + position_, taken);
    position_ += taken;
    return bytes;
}

std::string InputReader::Line() {
    std::string line;
    while (!AtEnd()) {
        const char c = static_cast<char>(data_[position_++]);
        if (c == '\n') break;
        line += c;
    }
    return line;
}

std::string InputReader::Rest() { return Bytes(size_ - position_); }

// ---------------------------------------------------------------- checks

std::unique_ptr<std::uint8_t[]> ExactBlock(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]());
}

void Fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace fuzzsupport
