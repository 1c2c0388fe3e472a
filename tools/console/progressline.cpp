#include "progressline.h"

#include <chrono>

namespace {

constexpr double kTerminalIntervalSeconds = 0.1;

std::string Bytes(double bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string ClockText(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

int Tenth(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 0 : static_cast<int>(done * 10 / total);
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, Mode mode, Clock clock)
    : out_(out), mode_(mode), clock_(std::move(clock)) {}

double ProgressLine::SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string ProgressLine::Describe(const std::string& stage, std::uint64_t done, std::uint64_t total,
                                   double elapsedSeconds, std::uint64_t doneAtStart) {
    if (total == 0) return stage + "  " + Bytes(static_cast<double>(done));
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(done >= total ? 100 : done * 100 / total));
    std::string text = stage + "  " + percent;
    if (elapsedSeconds <= 0 || done <= doneAtStart) return text;
    const double rate = static_cast<double>(done - doneAtStart) / elapsedSeconds;
    text += "  " + Bytes(rate) + "/s";
    if (done < total) text += "  " + ClockText(static_cast<double>(total - done) / rate) + " left";
    return text;
}

void ProgressLine::Update(const std::string& stage, std::uint64_t done, std::uint64_t total) {
    if (mode_ == Mode::Off) return;
    const double now = clock_();
    auto found = stages_.find(stage);
    // A stage that counts from the start again (a new module) starts anew.
    if (found == stages_.end() || done < found->second.lastDone) {
        found = stages_.insert_or_assign(stage, Stage{now, done, -1, 0}).first;
    } else if (!Due(found->second, done, total, now)) {
        found->second.lastDone = done;
        return;
    }
    Stage& current = found->second;
    current.lastDone = done;
    current.lastTenth = Tenth(done, total);
    lastPrint_ = now;
    Print(Describe(stage, done, total, now - current.start, current.doneAtStart));
}

// A terminal line is rewritten at most ten times a second and at the end; a
// plain line is written for each new tenth of a stage.
bool ProgressLine::Due(const Stage& stage, std::uint64_t done, std::uint64_t total, double now) const {
    if (mode_ == Mode::Terminal) return done >= total || now - lastPrint_ >= kTerminalIntervalSeconds;
    return Tenth(done, total) != stage.lastTenth;
}

void ProgressLine::Print(const std::string& text) {
    if (mode_ == Mode::Plain) {
        std::fprintf(out_, "%s\n", text.c_str());
    } else {
        // Blanks cover what a longer line before left on the screen.
        const std::size_t width = text.size();
        std::fprintf(out_, "\r%s%s", text.c_str(),
                     std::string(shownWidth_ > width ? shownWidth_ - width : 0, ' ').c_str());
        shownWidth_ = width;
        lineOpen_ = true;
    }
    std::fflush(out_);
}

void ProgressLine::Finish() {
    if (mode_ == Mode::Terminal && lineOpen_) {
        std::fputs("\n", out_);
        std::fflush(out_);
    }
    lineOpen_ = false;
    shownWidth_ = 0;
    stages_.clear();
}
