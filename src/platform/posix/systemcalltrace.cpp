// Traces of a program's system calls on Linux: strace follows every thread
// and writes a line per call, each beginning with the calling thread's id.
#include "platform/platform_tools.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

constexpr const char* kMarkPrefix = "tb-trace-mark:";
constexpr std::size_t kMaxIdDigits = 18;

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// The calls a mark is made with: access, which the C library may make
// through faccessat.
bool IsMarkCall(const std::string& name) { return name == "access" || name == "faccessat" || name == "faccessat2"; }

bool IsNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// "1234 poll([{fd=3, ..." gives the thread and the call. The other lines are
// no new call: "1234 <... poll resumed>" ends one begun earlier, "+++" and
// "---" tell of exits and signals.
bool ReadCallLine(const std::string& line, TracedCall& call) {
    std::size_t at = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) != 0) ++at;
    if (at == 0 || at > kMaxIdDigits) return false;
    call.thread = std::stoll(line.substr(0, at));
    while (at < line.size() && line[at] == ' ') ++at;
    const std::size_t nameStart = at;
    while (at < line.size() && IsNameCharacter(line[at])) ++at;
    if (at == nameStart || at >= line.size() || line[at] != '(') return false;
    call.name = line.substr(nameStart, at - nameStart);
    call.mark.clear();
    if (IsMarkCall(call.name)) {
        // The path is the only text argument: access("tb-trace-mark:...", F_OK)
        // or faccessat(AT_FDCWD, "tb-trace-mark:...", ...).
        const std::string quotedPrefix = std::string("\"") + kMarkPrefix;
        const std::size_t mark = line.find(quotedPrefix, at);
        const std::size_t start = mark + quotedPrefix.size();
        const std::size_t end = mark == std::string::npos ? mark : line.find('"', start);
        if (end != std::string::npos) call.mark = line.substr(start, end - start);
    }
    return true;
}

}  // namespace

bool SystemHasCallTracer() { return true; }

std::unique_ptr<Process> StartTracedProcess(const std::string& program, const std::vector<std::string>& arguments,
                                            const std::string& tracePath, std::string& problem) {
    const std::string strace = FindOnPath("strace");
    if (strace.empty()) {
        problem = "strace was not found on the PATH";
        return nullptr;
    }
    std::vector<std::string> words{"-f", "-qq", "-o", tracePath, "--", program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::unique_ptr<Process> child = StartProcess(strace, words);
    if (!child) problem = "strace (" + strace + ") could not be started";
    return child;
}

bool ReadSystemCallTrace(const std::string& tracePath, std::vector<TracedCall>& calls, std::string& problem) {
    std::ifstream trace(tracePath);
    if (!trace) {
        problem = "the trace " + tracePath + " could not be read";
        return false;
    }
    calls.clear();
    TracedCall call;
    for (std::string line; std::getline(trace, line);) {
        if (ReadCallLine(line, call)) calls.push_back(call);
    }
    return true;
}

void MarkSystemCallTrace(const std::string& label) { ::access((kMarkPrefix + label).c_str(), F_OK); }

}  // namespace platform
