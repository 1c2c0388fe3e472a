// Small helpers shared by the benchmark programs.
#ifndef TERMBRIDGE_BENCHSUPPORT_H
#define TERMBRIDGE_BENCHSUPPORT_H

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

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

// How this process was started: a benchmark that runs itself again in fresh
// processes passes `--<mode> <value>`; the first start has no mode.
struct Invocation {
    std::string mode;           // "--split", "--pinned", ...; empty at the first start
    const char* value = nullptr;  // the argument after the mode, if any
};

inline Invocation ReadInvocation(int argc, char** argv) {
    Invocation invocation;
    int valueAt = 1;
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0) {
        invocation.mode = argv[1];
        valueAt = 2;
    }
    if (argc > valueAt) invocation.value = argv[valueAt];
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
