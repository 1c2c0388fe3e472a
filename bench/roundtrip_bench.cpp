// One command's round trip through the library against the raw socket round
// trip it needs, in one run:
//
// raw:       one 524-byte UDP datagram out, one 520-byte TCP record back,
//            strictly in turn, through the OS layer's sockets only.
// native:    HandleCommand("NATIVE_READ_WORD_CMD 0x100") on the application
//            object: the host's wait, the packet handler's two threads.
// internal:  the traffic manager's ReadWord as an internal operation (one
//            mailbox step or EEPROM chunk).
//
// The far end is an echo that answers every datagram at once. The library
// figures are taken with file logging off and with the default logging
// (severity 2, every line flushed). Blocks of each kind alternate so that
// they share the machine's mood; the medians, their ratios to raw and the
// process CPU time per round trip (user + system, the echo's included) are
// printed, then the tail: the 99th and 99.9th percentiles of each kind beside
// the raw round trip's, with the ratio of the 99th percentiles to its goal.
//
// Where the far end runs decides the raw round trip itself: waking a thread
// on another processor costs far more than a switch on the same one (on
// virtual machines several times the whole exchange). So the run is made
// three times, each in a fresh process: with the host thread and the echoes
// on different processors (the library's own threads left free), with the
// placement left to the scheduler, and with everything on the first
// processor. Ratios compare like with like only in the two fixed placements.
//
// Built on the library's own OS layer, so it runs on Linux and, as a Windows
// program, under Wine.
//
// Run: bench_roundtrip [blocks]
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "benchsupport.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "rawloopback.h"
#include "trafficmanager.h"

namespace {

using namespace benchsupport;

constexpr int kDefaultBlocks = 8;
constexpr int kTripsPerBlock = 400;

AppCollaborators OnlyTheTransport() {
    AppCollaborators only;
    only.eepromInterface = only.structAccess = only.appAdapter = only.evtAdapter = false;
    return only;
}

// Latency (us) and process CPU time (us) of every round trip of one kind.
struct Series {
    std::vector<double> latency;
    std::vector<double> cpuPerTrip;
};

template <typename Trip>
bool RunBlock(Series& series, Trip trip) {
    const double cpuBefore = platform::ProcessCpuSeconds();
    for (int i = 0; i < kTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!trip()) return false;
        series.latency.push_back(Microseconds(Clock::now() - start));
    }
    series.cpuPerTrip.push_back((platform::ProcessCpuSeconds() - cpuBefore) * 1e6 / kTripsPerBlock);
    return true;
}

struct Kind {
    const char* name;
    bool logging;
    Series series;
};

// Goals: a round trip through the library costs at most this many raw round
// trips (medians), and its 99th percentile at most this many raw 99th
// percentiles.
constexpr double kGoalLoggingOff = 1.3;
constexpr double kGoalLoggingOn = 2.0;
constexpr double kTailGoalLoggingOff = 1.5;
constexpr double kTailGoalLoggingOn = 2.5;

void PrintVerdict(bool byChance, double ratio, double goal) {
    if (byChance) {
        std::printf("(placement by chance)\n");
    } else {
        std::printf("goal <= x%.1f %s\n", goal, ratio <= goal ? "met" : "NOT met");
    }
}

// The nine writes a native command makes with the default logging, the same
// lines through the same logger, without the round trip: what the writes
// alone cost, median and tail, beside what logging adds to the command.
bool NativeCommandsLogWrites() {
    static const std::uint8_t answer[11] = {0x30, 0x78, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0};
    const char* const stars = "********************************************************";
    LogMessages({stars, "<ConsoleAppLogic>Handle command: NATIVE_READ_WORD_CMD 0x100"}, LOG_NORMAL);
    LogMessage("<ConsoleAppLogic>The Command is Native,Trying to Adapt Native Command!", LOG_NORMAL);
    LogMessage("<ConsoleAppLogic>Sending Native Command Struct: ", LOG_NORMAL);
    LogMessage("<ConsoleAppSockets> sendto() method", LOG_NORMAL);
    LogMessage("<ConsoleAppLogic>Wait For Event as a Response to last Console Command!", LOG_NORMAL);
    LogMessage("<ConsoleAppSockets> recvfrom() method", LOG_NORMAL);
    LogMessage("<PacketHandler>Received Event #1 with RxCmdPacketNum = 1 that should be equal to TxCmdPktNum = 1",
               LOG_NORMAL);
    LogMessageAndHexDump("<ConsoleAppLogic>Handling Incoming Native Response Event: ", answer, sizeof answer,
                         LOG_NORMAL);
    LogMessages({"<ConsoleAppLogic>Event Arrived ,Result Buffer contains valid data!", stars}, LOG_NORMAL);
    return true;
}

// p50, p99 and p99.9 of every kind; the ratio is of the 99th percentiles.
template <std::size_t N>
void PrintTail(const Series& raw, const Kind (&kinds)[N], const Series& writes, bool byChance) {
    const Spread rawSpread = SpreadOf(raw.latency);
    std::printf("  tail (%zu round trips each)                 p50       p99     p99.9\n", raw.latency.size());
    std::printf("  %-36s %8.1f  %8.1f  %8.1f us\n", "raw loopback round trip", rawSpread.p50, rawSpread.p99,
                rawSpread.p999);
    for (const Kind& kind : kinds) {
        const Spread spread = SpreadOf(kind.series.latency);
        const double ratio = spread.p99 / rawSpread.p99;
        std::printf("  %-36s %8.1f  %8.1f  %8.1f us  p99 x%5.2f   ", kind.name, spread.p50, spread.p99, spread.p999,
                    ratio);
        PrintVerdict(byChance, ratio, kind.logging ? kTailGoalLoggingOn : kTailGoalLoggingOff);
    }
    const Spread writeSpread = SpreadOf(writes.latency);
    std::printf("  %-36s %8.1f  %8.1f  %8.1f us  (no round trip)\n", "a native command's 9 log writes", writeSpread.p50,
                writeSpread.p99, writeSpread.p999);
}

int Run(int blocks, const Placement& placement) {
    RawLoopback raw(placement.farEndProcessor);
    if (!raw.Open()) {
        std::fprintf(stderr, "raw loopback did not open\n");
        return 1;
    }
    Echo echo(placement.farEndProcessor);
    const std::uint16_t libraryPort = FreeTcpPort();
    ConsoleAppLogic app(echo.Port(), "127.0.0.1", libraryPort, "", "", "", OnlyTheTransport());
    TrafficManager* traffic = app.GetTrafficManager();
    if (traffic == nullptr || !echo.Connect(libraryPort)) {
        std::fprintf(stderr, "the library's transport did not come up\n");
        return 1;
    }
    app.SetCommandTimeout(5000);
    traffic->SetInternalTimeout(5000);
    const auto native = [&app] { return app.HandleCommand("NATIVE_READ_WORD_CMD 0x100") == 0; };
    const auto internal = [traffic] {
        traffic->SetInternalOperation(true);
        const bool answered = traffic->ReadWord(0x100);
        traffic->SetInternalOperation(false);
        return answered;
    };
    for (int warm = 0; warm < 50 && !native(); ++warm) platform::SleepMs(20);
    // Pinned only now, so that the library's threads and its first look at
    // the processor count see the whole machine.
    if (placement.hostProcessor >= 0 && !platform::PinCurrentThreadToProcessor(placement.hostProcessor)) {
        std::fprintf(stderr, "could not place the host thread\n");
        return 1;
    }

    Series rawSeries;
    Series writeSeries;
    Kind kinds[] = {{"native command, logging off", false, {}},
                    {"internal operation, logging off", false, {}},
                    {"native command, logging on (2)", true, {}},
                    {"internal operation, logging on (2)", true, {}}};
    SetLogSeverityLevel(LOG_NORMAL);
    for (int block = 0; block < blocks; ++block) {
        const char* failed = RunBlock(rawSeries, [&raw] { return raw.RoundTrip(); }) ? nullptr : "raw";
        for (std::size_t k = 0; k < std::size(kinds) && failed == nullptr; ++k) {
            SetFileLoggingAllowed(kinds[k].logging);
            const bool ok = k % 2 == 0 ? RunBlock(kinds[k].series, native) : RunBlock(kinds[k].series, internal);
            if (!ok) failed = kinds[k].name;
        }
        SetFileLoggingAllowed(true);
        if (failed == nullptr) RunBlock(writeSeries, NativeCommandsLogWrites);
        if (failed != nullptr) {
            std::fprintf(stderr, "a round trip failed: %s\n", failed);
            return 1;
        }
    }

    const double rawMedian = Median(rawSeries.latency);
    std::printf("%s (%d blocks of %d round trips)\n", placement.label, blocks, kTripsPerBlock);
    std::printf("  %-36s %8.1f us           cpu %6.1f us\n", "raw loopback round trip", rawMedian,
                Median(rawSeries.cpuPerTrip));
    for (const Kind& kind : kinds) {
        const double median = Median(kind.series.latency);
        const double ratio = median / rawMedian;
        const double goal = kind.logging ? kGoalLoggingOn : kGoalLoggingOff;
        std::printf("  %-36s %8.1f us  x%5.2f   cpu %6.1f us   ", kind.name, median, ratio,
                    Median(kind.series.cpuPerTrip));
        PrintVerdict(&placement == &kFree, ratio, goal);
    }
    PrintTail(rawSeries, kinds, writeSeries, &placement == &kFree);
    std::fflush(stdout);
    return 0;
}

// The socket library outlives every socket of the run.
int RunWithSockets(int blocks, const Placement& placement) {
    const SocketLibraryUse sockets;
    return Run(blocks, placement);
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_roundtrip [--split|--together|--pinned] [blocks]";
    const Invocation invocation = ReadInvocation(argc, argv, {"--split", "--together", "--pinned"}, usage);
    const std::string& mode = invocation.mode;
    const int blocks = invocation.value != nullptr ? CountArgument(invocation.value, 1, "blocks", usage) : kDefaultBlocks;
    const std::string blocksText = std::to_string(blocks);
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    if (mode == "--pinned") {
        if (!platform::PinToFirstProcessor()) std::printf("(could not pin to the first processor)\n");
        return RunWithSockets(blocks, kOneProcessor);
    }
    if (mode == "--split") return RunWithSockets(blocks, kSplit);
    if (mode == "--together") return RunWithSockets(blocks, kTogether);
    if (platform::UsableProcessorCount() >= 2) {
        if (RunAgain(argv[0], "--split", blocksText) != 0 || RunAgain(argv[0], "--together", blocksText) != 0) return 1;
    } else {
        std::printf("two processors: only one here, skipped\n");
    }
    if (RunWithSockets(blocks, kFree) != 0) return 1;
    return RunAgain(argv[0], "--pinned", blocksText);
}
