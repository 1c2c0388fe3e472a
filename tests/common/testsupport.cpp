#include "testsupport.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "consolelogger.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path path = fs::temp_directory_path() /
                          ("tbtest_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    fs::create_directories(path);
    path_ = path.string();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::uint16_t FreeLoopbackTcpPort() {
    constexpr std::uint16_t kFirst = 20000, kLast = 32767;
    static std::mt19937 pick(std::random_device{}());
    std::uniform_int_distribution<int> range(kFirst, kLast);
    platform::StartSocketLibrary();
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(range(pick));
        platform::TcpListener probe;
        if (probe.Open() && probe.Bind(platform::kLoopbackAddress, port)) return port;
    }
    platform::TcpListener probe;  // the whole range taken: let the system choose
    if (!probe.Open() || !probe.Bind(platform::kLoopbackAddress, 0)) return 0;
    return probe.LocalPort();
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        platform::SleepMs(5);
    }
    return true;
}

std::uint16_t PortFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return 0;
    const long value = std::strtol(text, nullptr, 10);
    return value > 0 && value <= 0xFFFF ? static_cast<std::uint16_t>(value) : 0;
}

std::vector<std::uint8_t> EmulatorCapturePattern(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13 + 1);
    return bytes;
}

std::string TempDir::File(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    const fs::path path = fs::path(path_) / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path.string();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) { return fs::exists(path); }

IsolatedRoot::IsolatedRoot() { platform::SetEnvironmentValue("TERMBRIDGE_ROOT", dir_.Path()); }

LogTail::LogTail() : start_(ReadFile(ConsoleLogger::Instance().FilePath()).size()) {}

std::string LogTail::Text() const {
    std::string text;
    for (char c : ReadFile(ConsoleLogger::Instance().FilePath()).substr(start_)) {
        if (c != '\r') text += c;
    }
    return text;
}

std::string LibraryPath(const std::string& linuxPath) { return TB_LIBRARY_PATH_PREFIX + linuxPath; }

std::string ExamplesDir() { return (fs::path(TB_SOURCE_DIR) / "examples").string(); }

}  // namespace testsupport
