// The progress of a long operation (firmware load, EEPROM burn or read) as
// the library reports it: one line rewritten in place on a terminal, plain
// lines at each tenth otherwise.
#ifndef TB_CONSOLE_PROGRESSLINE_H
#define TB_CONSOLE_PROGRESSLINE_H

#include <cstdint>
#include <cstdio>
#include <functional>
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
    static std::string Describe(const std::string& stage, std::uint64_t done, std::uint64_t total,
                                double elapsedSeconds);
    static double SteadySeconds();

private:
    bool Due(const std::string& stage, std::uint64_t done, std::uint64_t total, double now) const;
    void Print(const std::string& text);

    std::FILE* out_;
    Mode mode_;
    Clock clock_;
    std::string stage_;
    double stageStart_ = 0;
    double lastPrint_ = 0;
    int lastTenth_ = -1;
    std::size_t shownWidth_ = 0;  // of the terminal line
    bool lineOpen_ = false;
};

#endif
