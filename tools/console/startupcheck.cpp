#include "startupcheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/net.h"
#include "platform/platform.h"

namespace startupcheck {

std::string FileProblem(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::strerror(errno);
    std::fclose(file);
    // A folder opens for reading on some systems; the library reads only a
    // regular file, as this does.
    if (platform::IsRegularFile(path)) return "";
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return std::make_error_code(std::errc::is_a_directory).message();
    return "not a regular file";
}

std::string FirmwareProblem(const std::string& path) {
    // Opening a pipe would wait for a writer; the library reads regular files only.
    if (!platform::IsRegularFile(path)) return "";
    std::ifstream file(path, std::ios::binary);
    if (!file) return "";
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("QUORIL", 0) == 0) return "";
    }
    return path + " is no firmware package: none of its lines begins with QUORIL";
}

std::string PortProblem(std::uint16_t port) {
    if (platform::StartSocketLibrary() != 0) return "";  // the library will say so itself
    std::string problem;
    {
        platform::TcpListener listener;
        if (!listener.Open() || !listener.Bind(platform::kAnyAddress, port)) {
            const int error = platform::LastSocketError();
            problem = platform::SystemErrorText(error);
            while (!problem.empty() && (problem.back() == '\n' || problem.back() == '\r' || problem.back() == '.')) {
                problem.pop_back();
            }
            problem += " (error " + std::to_string(error) + ")";
        }
    }
    platform::StopSocketLibrary();
    return problem;
}

}  // namespace startupcheck
