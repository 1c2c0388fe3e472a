// PHY console commands end to end: the library's application object (the
// object behind initialize_old and sendCommand) drives the emulated
// dispatcher and chip running in this process, with the example definition
// set. Each command travels the whole road: adaptation, the tunnel packet,
// the mailbox (a 15 ms pause, the counter read, 16-byte chunk writes, the
// counter write), the chip's answer event and its adaptation into the result.
//
// Beside it, in the same run and interleaved with the commands, the raw
// loopback round trip: one 524-byte UDP datagram out, one 520-byte TCP record
// back, strictly in turn, with plain sockets and a plain echo thread.
//
// Prints the median time per command and what explains it:
//   overhead = median - pause - round trips x raw round trip
// which is the library's own cost per command (and the emulator's, which
// plays the far end here). The aim is an overhead under 10 % of the median.
//
// Run: bench_commands_e2e [--timeline] [commands] [command line]
// (1000 commands of "PHYC_SET_CHANNEL_CMD channel=3" by default).
// --timeline also splits each command at the packets the emulator received
// and answered: the library's turn (from an answer to the next packet), the
// emulator's turn, and the ends. The emulator then describes every packet,
// which costs it a little, so the main figures are best read without it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if __has_include("emulator.h")

#include <netinet/in.h>
#include <sys/socket.h>

#include "benchsupport.h"
#include "rawloopback.h"
#include "consoleapplogic.h"
#include "emulator.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "socketutil.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

constexpr int kDefaultCommands = 1000;
constexpr int kWarmUpCommands = 20;
constexpr int kBlocks = 10;                  // commands and raw round trips alternate in blocks
constexpr int kRawRoundTripsPerBlock = 500;
constexpr double kMailboxPauseMs = 15.0;  // before the first counter read of each command
constexpr int kCommandTimeoutMs = 5000;
const char* const kDefaultCommand = "PHYC_SET_CHANNEL_CMD channel=3";
const char* const kExpectedResult = "PHYC_STATUS_OK ";

// When the emulator received ('r') and answered ('s') packets, and when a
// command began ('b') and ended ('e'), in order.
class Timeline {
public:
    void Mark(char kind) {
        if (!recording_) return;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        marks_.push_back({now, kind});
    }
    void FromEmulatorLog(const std::string& line) {
        if (line.rfind("<- ", 0) == 0) Mark('r');
        if (line.rfind("-> ", 0) == 0) Mark('s');
    }
    void Record(bool on) { recording_ = on; }

    // Medians, in milliseconds, of each kind of stretch over the commands.
    void Print() const {
        std::vector<double> start, libraryTurn, emulatorTurn, end;
        std::size_t commands = 0, packets = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < marks_.size(); ++i) {
            if (marks_[i].kind != 'b') continue;
            std::size_t j = i + 1;
            while (j < marks_.size() && marks_[j].kind != 'e') ++j;
            if (j == marks_.size()) break;
            ++commands;
            const Clock::time_point* lastSent = nullptr;
            const Clock::time_point* lastReceived = nullptr;
            for (std::size_t k = i + 1; k < j; ++k) {
                const Moment& mark = marks_[k];
                if (mark.kind == 'r') {
                    ++packets;
                    if (lastSent != nullptr) {
                        libraryTurn.push_back(Milliseconds(mark.at - *lastSent));
                    } else {
                        start.push_back(Milliseconds(mark.at - marks_[i].at));
                    }
                    lastReceived = &mark.at;
                } else if (mark.kind == 's') {
                    if (lastReceived != nullptr) emulatorTurn.push_back(Milliseconds(mark.at - *lastReceived));
                    lastReceived = nullptr;
                    lastSent = &mark.at;
                }
            }
            if (lastSent != nullptr) end.push_back(Milliseconds(marks_[j].at - *lastSent));
            i = j;
        }
        const double n = commands ? static_cast<double>(commands) : 1.0;
        std::printf("\n  timeline of %zu commands (medians; %.2f packets each):\n", commands,
                    static_cast<double>(packets) / n);
        std::printf("    command start to first packet received  %8.3f ms  (the pause included)\n", Median(start));
        std::printf("    library: answer sent to next packet     %8.3f ms  x %.2f\n", Median(libraryTurn),
                    static_cast<double>(libraryTurn.size()) / n);
        std::printf("    emulator: packet received to answered   %8.3f ms  x %.2f\n", Median(emulatorTurn),
                    static_cast<double>(emulatorTurn.size()) / n);
        std::printf("    library: last event sent to result      %8.3f ms\n", Median(end));
    }

private:
    struct Moment {
        Clock::time_point at;
        char kind;
    };
    std::atomic<bool> recording_{false};
    mutable std::mutex mutex_;
    std::vector<Moment> marks_;
};

struct EmulatorCounts {
    std::size_t packets = 0;
    std::size_t answers = 0;
    std::size_t counterReads = 0;
    std::size_t mailbox = 0;

    static EmulatorCounts Of(const tbemu::Emulator& emulator) {
        return {emulator.PacketsReceived(), emulator.AnswersSent(), emulator.CounterReads(),
                emulator.MailboxCommands().size()};
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool timeline = !args.empty() && args.front() == "--timeline";
    if (timeline) args.erase(args.begin());
    const char* const usage = "bench_commands_e2e [--timeline] [commands] [command line]";
    if (args.size() > 2) UsageError("unexpected argument: " + args[2], usage);
    const int commands = !args.empty() ? CountArgument(args[0].c_str(), 1, "commands", usage) : kDefaultCommands;
    const std::string commandLine = args.size() > 1 ? args[1] : kDefaultCommand;
    const std::string examples = std::string(TB_SOURCE_DIR) + "/examples";
    const std::string listFile = examples + "/definitions/list.txt";

    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    platform::StartSocketLibrary();

    std::string error;
    RawLoopback raw;
    if (!raw.Open()) {
        std::fprintf(stderr, "raw loopback did not open\n");
        return 1;
    }

    Timeline marks;
    tbemu::EmulatorOptions options;
    options.libraryPort = FreeTcpPort();
    if (timeline) {
        options.verbosity = 1;
        options.logSink = [&marks](const std::string& line) { marks.FromEmulatorLog(line); };
    }
    tbemu::Emulator emulator(options);
    if (options.libraryPort == 0 || !emulator.Start(error) || !emulator.LoadDefinitions(listFile, error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }

    // Construction ends with the synchronising system command and its 1 s pause.
    ConsoleAppLogic app(emulator.CommandPort(), "127.0.0.1", options.libraryPort, examples + "/maps/mac.map",
                        examples + "/maps/phy.map", listFile);
    app.SetCommandTimeout(kCommandTimeoutMs);

    int failures = 0;
    std::string firstFailure;
    const auto sendOne = [&]() {
        marks.Mark('b');
        const int rc = app.HandleCommand(commandLine);
        marks.Mark('e');
        const std::string result(app.ResultBuffer(), app.ResultLength());
        if (rc != 0 || (commandLine == kDefaultCommand && result != kExpectedResult)) {
            if (failures++ == 0) firstFailure = "rc " + std::to_string(rc) + ": " + app.FailureMessage();
        }
    };
    for (int i = 0; i < kWarmUpCommands; ++i) sendOne();
    for (int i = 0; i < 50; ++i) raw.RoundTrip();

    std::vector<double> commandMs;
    std::vector<double> rawMs;
    std::vector<double> sleepMs;
    commandMs.reserve(static_cast<std::size_t>(commands));
    const EmulatorCounts before = EmulatorCounts::Of(emulator);
    marks.Record(timeline);
    int rawFailures = 0;
    for (int block = 0; block < kBlocks; ++block) {
        const int first = commands * block / kBlocks;
        const int last = commands * (block + 1) / kBlocks;
        for (int i = first; i < last; ++i) {
            const auto start = Clock::now();
            sendOne();
            commandMs.push_back(Milliseconds(Clock::now() - start));
        }
        for (int i = 0; i < kRawRoundTripsPerBlock; ++i) {
            const auto start = Clock::now();
            if (!raw.RoundTrip()) ++rawFailures;
            rawMs.push_back(Milliseconds(Clock::now() - start));
        }
        // What a 15 ms pause really takes on this machine, for reading the overhead.
        for (int i = 0; i < 5; ++i) {
            const auto start = Clock::now();
            platform::SleepMs(15);
            sleepMs.push_back(Milliseconds(Clock::now() - start));
        }
    }
    // Every event has left once the last command has its result; the
    // emulator may still be finishing its own bookkeeping.
    emulator.WaitFor([&] { return emulator.AnswersSent() - before.answers >= emulator.PacketsReceived() - before.packets; },
                     kCommandTimeoutMs);
    const EmulatorCounts after = EmulatorCounts::Of(emulator);
    marks.Record(false);

    const double n = commands;
    const double nativePerCommand = static_cast<double>(after.packets - before.packets) / n;
    const double counterReadsPerCommand = static_cast<double>(after.counterReads - before.counterReads) / n;
    const double counterWritesPerCommand = static_cast<double>(after.mailbox - before.mailbox) / n;
    const double chunkWritesPerCommand = nativePerCommand - counterReadsPerCommand - counterWritesPerCommand;
    const double eventsPerCommand = static_cast<double>(after.answers - before.answers) / n - nativePerCommand;
    const double roundTrips = nativePerCommand + eventsPerCommand;

    const double median = Median(commandMs);
    const double rawMedian = Median(rawMs);
    const double wire = roundTrips * rawMedian;
    const double overhead = median - kMailboxPauseMs - wire;
    const double sleepMedian = Median(sleepMs);

    std::printf("PHY console commands end to end against the in-process emulator\n");
    std::printf("  command                      %s\n", commandLine.c_str());
    std::printf("  commands timed               %d (after %d to warm up), failures %d%s%s\n", commands,
                kWarmUpCommands, failures, failures ? " - first: " : "", firstFailure.c_str());
    std::printf("\n");
    std::printf("  time per command   median    %8.3f ms   (min %.3f, p90 %.3f, p99 %.3f)\n", median,
                Percentile(commandMs, 0.0), Percentile(commandMs, 0.9), Percentile(commandMs, 0.99));
    std::printf("  mailbox pause (by design)    %8.3f ms   (a 15 ms pause measures %.3f ms here)\n",
                kMailboxPauseMs, sleepMedian);
    std::printf("  raw round trips per command  %8.2f      (counter reads %.2f, chunk writes %.2f,\n", roundTrips,
                counterReadsPerCommand, chunkWritesPerCommand);
    std::printf("                                            counter writes %.2f, chip events %.2f)\n",
                counterWritesPerCommand, eventsPerCommand);
    std::printf("  raw loopback round trip      %8.3f ms   median of %zu (min %.3f, p90 %.3f)%s\n", rawMedian,
                rawMs.size(), Percentile(rawMs, 0.0), Percentile(rawMs, 0.9),
                rawFailures ? "  SOME FAILED" : "");
    std::printf("  round trips x raw            %8.3f ms\n", wire);
    std::printf("  overhead                     %8.3f ms   = %.1f %% of the median (aim: under 10 %%)\n", overhead,
                100.0 * overhead / median);
    std::printf("    of which the pause's own overshoot  %.3f ms\n", sleepMedian - kMailboxPauseMs);
    if (timeline) marks.Print();
    return failures == 0 && rawFailures == 0 ? 0 : 1;
}

#else

int main() {
    std::fprintf(stderr, "bench_commands_e2e needs the emulator, which this build does not have\n");
    return 1;
}

#endif
