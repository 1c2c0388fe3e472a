// Small helpers shared by the benchmark programs.
#ifndef TERMBRIDGE_BENCHSUPPORT_H
#define TERMBRIDGE_BENCHSUPPORT_H

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

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

}  // namespace benchsupport

#endif
