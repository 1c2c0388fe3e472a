// The progress of a long operation (firmware load, EEPROM burn or read) as
// the library reports it: one line rewritten in place on a terminal, whatever
// the stages, plain lines at each tenth of each stage otherwise. A load
// reports its stages in turn (writing and verifying each piece), so each
// stage keeps its own start and tenths.
#ifndef TB_CONSOLE_PROGRESSLINE_H
#define TB_CONSOLE_PROGRESSLINE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

class ProgressLine {
public:
    enum class Mode { Off, Terminal, Plain };
    using Clock = std::function<double()>;  // seconds

    ProgressLine(std::FILE* out, Mode mode, Clock clock = SteadySeconds);

    void Update(const std::string& stage, std::uint64_t done, std::uint64_t total);
    // Ends the operation: a terminal line is closed with a line end.
    void Finish();

    // "stage  45%  12.3 KiB/s  0:07 left"; without a total "stage  1.5 KiB".
    // The rate counts the bytes done since the stage's first report
    // (`doneAtStart`), which came `elapsedSeconds` ago.
    static std::string Describe(const std::string& stage, std::uint64_t done, std::uint64_t total,
                                double elapsedSeconds, std::uint64_t doneAtStart = 0);
    static double SteadySeconds();

private:
    struct Stage {
        double start = 0;
        std::uint64_t doneAtStart = 0;
        int lastTenth = -1;
        std::uint64_t lastDone = 0;
    };
    bool Due(const Stage& stage, std::uint64_t done, std::uint64_t total, double now) const;
    void Print(const std::string& text);

    std::FILE* out_;
    Mode mode_;
    Clock clock_;
    std::map<std::string, Stage> stages_;  // of the operation under way
    double lastPrint_ = 0;
    std::size_t shownWidth_ = 0;  // of the terminal line
    bool lineOpen_ = false;
};

#endif
