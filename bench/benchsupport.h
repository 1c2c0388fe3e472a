// Small helpers shared by the benchmark programs.
#ifndef TERMBRIDGE_BENCHSUPPORT_H
#define TERMBRIDGE_BENCHSUPPORT_H

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform_tools.h"

namespace benchsupport {

using Clock = std::chrono::steady_clock;

inline double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto at = std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    return values[at];
}

inline double Median(const std::vector<double>& values) { return Percentile(values, 0.5); }

// p50, p99 and p99.9 of a series, from one sorted copy.
struct Spread {
    double p50, p99, p999;
};
inline Spread SpreadOf(std::vector<double> values) {
    if (values.empty()) return {0, 0, 0};
    std::sort(values.begin(), values.end());
    const auto at = [&values](double fraction) {
        const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
        return values[std::min(values.size() - 1, index)];
    };
    return {at(0.5), at(0.99), at(0.999)};
}
inline double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double value : values) sum += value;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

// A folder of its own for everything a benchmark writes, removed with its
// contents at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto stamp = Clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() / ("tb-bench-" + std::to_string(stamp));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path() const { return path_.string(); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Ends the program on a command line it cannot take: what is wrong and the
// usage on stderr, exit code 2.
[[noreturn]] inline void UsageError(const std::string& problem, const char* usage) {
    std::fprintf(stderr, "%s\nusage: %s\n", problem.c_str(), usage);
    std::exit(2);
}

// A count from the command line: decimal digits only, from `minimum` to
// `maximum`. A count a benchmark cannot take ends it with a usage error
// rather than running it with another count than asked.
inline int CountArgument(const char* text, int minimum, const char* what, const char* usage, int maximum = INT_MAX) {
    errno = 0;
    char* end = nullptr;
    const bool digits = std::isdigit(static_cast<unsigned char>(text[0])) != 0;
    const long value = digits ? std::strtol(text, &end, 10) : 0;
    if (!digits || *end != '\0') {
        UsageError(std::string(what) + " must be a whole number, not \"" + text + "\"", usage);
    }
    if (value < minimum) {
        UsageError(std::string(what) + " must be at least " + std::to_string(minimum) + ", not " + text, usage);
    }
    if (errno == ERANGE || value > maximum) {
        UsageError(std::string(what) + " must be at most " + std::to_string(maximum) + ", not " + text, usage);
    }
    return static_cast<int>(value);
}

// How this process was started: a benchmark that runs itself again in fresh
// processes passes `--<mode> <value>`; the first start has no mode.
struct Invocation {
    std::string mode;           // "--split", "--pinned", ...; empty at the first start
    const char* value = nullptr;  // the argument after the mode, if any
};

// Refuses a mode not among `modes` and anything after the value.
inline Invocation ReadInvocation(int argc, char** argv, std::initializer_list<const char*> modes, const char* usage) {
    Invocation invocation;
    int valueAt = 1;
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0) {
        invocation.mode = argv[1];
        valueAt = 2;
        const bool known = std::any_of(modes.begin(), modes.end(),
                                       [&invocation](const char* mode) { return invocation.mode == mode; });
        if (!known) UsageError("unknown option: " + invocation.mode, usage);
    }
    if (argc > valueAt) invocation.value = argv[valueAt];
    if (argc > valueAt + 1) UsageError(std::string("unexpected argument: ") + argv[valueAt + 1], usage);
    return invocation;
}

// Runs this program again as `program mode value` and waits for it: its exit
// code, or 1 when it could not run.
inline int RunAgain(const char* program, const char* mode, const std::string& value) {
    const std::unique_ptr<platform::Process> child = platform::StartProcess(program, {mode, value});
    int exitCode = 1;
    if (!child || !child->WaitForExit(-1, exitCode)) return 1;
    return exitCode;
}

}  // namespace benchsupport

#endif
