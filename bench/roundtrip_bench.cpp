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
// (severity 2, every line written and flushed). Beside them, each command's
// log writes through the same logger, made alone (back to back) and made
// around a raw round trip where the command makes them (no library). Blocks
// of each kind alternate so that they share the machine's mood. Printed: the
// medians, their ratios to raw, what logging adds to a command against what
// its writes cost alone (the goal) and against what they add to the raw round
// trip, and per round trip the host side's CPU time (user + system) and
// voluntary context switches: the process's figures less the echo threads',
// so the host thread and the library's threads, the latter's switches also
// alone. Then the tail: the 99th and 99.9th percentiles of each kind beside
// the raw round trip's.
//
// Where the far end runs decides the raw round trip itself: waking a thread
// on another processor costs far more than a switch on the same one (on
// virtual machines several times the whole exchange). So the run is made
// four times, each in a fresh process: with the host thread and the echoes
// on different processors (the library's own threads left free), with both
// on the first processor (the library's threads free), with the placement
// left to the scheduler, and with everything on the first processor. Ratios
// compare like with like only in the fixed placements.
//
// Last, the system calls per round trip: every kind made once more in a
// fresh process under the system's call tracer (strace -f on Linux), against
// echoes in this process, which the tracer does not follow, so that they
// answer at native speed. Each call is counted for the thread that made it,
// the host thread or the library's, beside the floor: what the raw host makes
// (its poll is the one wait) plus, with logging, the command's writes. Times
// swing from run to run on a shared machine; these counts do not.
//
// Built on the library's own OS layer, so it runs on Linux and, as a Windows
// program, under Wine: there without switch and system call counts (Windows
// keeps no count of voluntary switches and has no strace).
//
// Run: bench_roundtrip [blocks]        the placements, then the system calls
//      bench_roundtrip --calls [trips] the system calls alone (3000 trips)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
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
constexpr int kDefaultTracedTrips = 3000;

// Goals: with logging off, a round trip through the library costs at most
// this many raw round trips (medians), and its 99th percentile at most this
// many raw 99th percentiles.
constexpr double kGoalLoggingOff = 1.3;
constexpr double kTailGoalLoggingOff = 1.5;
constexpr double kTailGoalLoggingOn = 2.5;
// With logging, what it adds to a round trip (median on less median off) is
// at most this many times what the same writes cost made alone: each line is
// written and flushed before the work after it, so a write costs what it
// costs on this machine, and only what the library adds around it is its own.
constexpr double kGoalLoggingAdds = 1.5;

AppCollaborators OnlyTheTransport() {
    AppCollaborators only;
    only.eepromInterface = only.structAccess = only.appAdapter = only.evtAdapter = false;
    return only;
}

// ---------------------------------------------------------------- the log writes

const char* const kStars = "********************************************************";

// The line of an answer's event step, formatted as the packet handler does.
void LogEventLine() {
    static int events = 0;
    ++events;
    const int number = events & 0xFF;
    if (LogEnabled(LOG_NORMAL)) {
        LogMessage(Format("<PacketHandler>Received Event #%d with RxCmdPacketNum = %d that should be equal to "
                          "TxCmdPktNum = %d",
                          events, number, number),
                   LOG_NORMAL);
    }
}

// The writes a native command makes with the default logging (nine), the
// same lines through the same logger, made and grouped as the command makes
// them, in the three places of its round trip.
void NativeWritesBeforeSend() {
    static const std::string command = "NATIVE_READ_WORD_CMD 0x100";
    LogMessages({kStars, "<ConsoleAppLogic>Handle command: " + command}, LOG_NORMAL);
    LogMessage("<ConsoleAppLogic>The Command is Native,Trying to Adapt Native Command!", LOG_NORMAL);
    LogMessage("<ConsoleAppLogic>Sending Native Command Struct: ", LOG_NORMAL);
    LogLine("<ConsoleAppSockets> sendto() method", LOG_NORMAL);
}
void NativeWritesBeforeWait() {
    LogMessage("<ConsoleAppLogic>Wait For Event as a Response to last Console Command!", LOG_NORMAL);
}
void NativeWritesAfterAnswer() {
    static const std::uint8_t answer[16] = {};
    LogLine("<ConsoleAppSockets> recvfrom() method", LOG_NORMAL);
    LogEventLine();
    LogMessageAndHexDump("<ConsoleAppLogic>Handling Incoming Native Response Event: ", answer, sizeof answer,
                         LOG_NORMAL);
    LogMessages({"<ConsoleAppLogic>Event Arrived ,Result Buffer contains valid data!", kStars}, LOG_NORMAL);
}

// The four an internal operation makes.
void InternalWritesBeforeSend() { LogLine("<ConsoleAppSockets> sendto() method", LOG_NORMAL); }
void NoWrites() {}
void InternalWritesAfterAnswer() {
    LogLine("<ConsoleAppSockets> recvfrom() method", LOG_NORMAL);
    LogEventLine();
    LogLine("<TrafficManager>Response for Native Command arrived(Internal Operation)!!!", LOG_NORMAL);
}

struct CommandWrites {
    void (*beforeSend)();
    void (*beforeWait)();
    void (*afterAnswer)();
};
constexpr CommandWrites kNativeWrites{NativeWritesBeforeSend, NativeWritesBeforeWait, NativeWritesAfterAnswer};
constexpr CommandWrites kInternalWrites{InternalWritesBeforeSend, NoWrites, InternalWritesAfterAnswer};

// ---------------------------------------------------------------- the kinds

enum class TripKind {
    kRaw,
    kNative,
    kInternal,
    kWritesAlone,    // a command's writes, back to back, no round trip
    kRawWithWrites,  // the raw round trip with a command's writes where the command makes them
};

struct KindSpec {
    const char* name;
    TripKind trip;
    bool logging;
    const CommandWrites* writes;  // the command's writes, for a library kind with logging and the write kinds
    // For a library kind with logging (indexes into kKinds): the same kind
    // without logging, its writes alone, and the raw round trip with them.
    int loggingOff;
    int writesAlone;
    int rawWithWrites;
};

// One table for the timed runs and the traced one.
constexpr KindSpec kKinds[] = {
    {"raw loopback round trip", TripKind::kRaw, false, nullptr, -1, -1, -1},
    {"native command, logging off", TripKind::kNative, false, nullptr, -1, -1, -1},
    {"internal operation, logging off", TripKind::kInternal, false, nullptr, -1, -1, -1},
    {"native command, logging on (2)", TripKind::kNative, true, &kNativeWrites, 1, 5, 7},
    {"internal operation, logging on (2)", TripKind::kInternal, true, &kInternalWrites, 2, 6, 8},
    {"the native command's 9 writes alone", TripKind::kWritesAlone, true, &kNativeWrites, -1, -1, -1},
    {"the internal operation's 4 alone", TripKind::kWritesAlone, true, &kInternalWrites, -1, -1, -1},
    {"raw round trip with the 9 writes", TripKind::kRawWithWrites, true, &kNativeWrites, -1, -1, -1},
    {"raw round trip with the 4 writes", TripKind::kRawWithWrites, true, &kInternalWrites, -1, -1, -1},
};
constexpr std::size_t kKindCount = std::size(kKinds);
constexpr std::size_t kRaw = 0;

bool IsLibraryKind(const KindSpec& kind) {
    return kind.trip == TripKind::kNative || kind.trip == TripKind::kInternal;
}

// ---------------------------------------------------------------- the exchanges

// What the host side has used so far: the process's figures less the echo
// threads'; of it, the library's own threads (all but the host thread).
struct HostSideFigures {
    platform::ThreadFigures hostSide;
    platform::ThreadFigures libraryThreads;
};

platform::ThreadFigures Less(platform::ThreadFigures from, const platform::ThreadFigures& part) {
    from.cpuSeconds = from.cpuSeconds >= 0 && part.cpuSeconds >= 0 ? from.cpuSeconds - part.cpuSeconds : -1.0;
    const bool counted = from.voluntarySwitches >= 0 && part.voluntarySwitches >= 0;
    from.voluntarySwitches = counted ? from.voluntarySwitches - part.voluntarySwitches : -1;
    return from;
}

class HostSide {
public:
    // On the host thread.
    HostSide() : hostThread_(platform::MeterCurrentThread()) {}

    void AddFarEnd(const platform::ThreadMeter& meter) { farEnd_.push_back(&meter); }

    HostSideFigures Read() const {
        platform::ThreadFigures hostSide{platform::ProcessCpuSeconds(), platform::ProcessVoluntarySwitches()};
        for (const platform::ThreadMeter* meter : farEnd_) hostSide = Less(hostSide, meter->Read());
        return {hostSide, Less(hostSide, hostThread_->Read())};
    }

private:
    std::unique_ptr<platform::ThreadMeter> hostThread_;
    std::vector<const platform::ThreadMeter*> farEnd_;
};

// The library's exchange with a dispatcher (here an echo) that answers on
// dispatcherPort and connects to listenPort.
class LibraryExchange {
public:
    bool Start(std::uint16_t dispatcherPort, std::uint16_t listenPort) {
        app_ = std::make_unique<ConsoleAppLogic>(dispatcherPort, "127.0.0.1", listenPort, "", "", "",
                                                 OnlyTheTransport());
        traffic_ = app_->GetTrafficManager();
        return traffic_ != nullptr;
    }

    // Once the dispatcher has connected: false when it never answers.
    bool WaitUntilAnswering() {
        app_->SetCommandTimeout(200);
        bool answered = false;
        for (int attempt = 0; attempt < 50 && !answered; ++attempt) answered = Trip(TripKind::kNative);
        app_->SetCommandTimeout(5000);
        traffic_->SetInternalTimeout(5000);
        return answered;
    }

    bool Trip(TripKind kind) {
        if (kind == TripKind::kNative) return app_->HandleCommand("NATIVE_READ_WORD_CMD 0x100") == 0;
        traffic_->SetInternalOperation(true);
        const bool answered = traffic_->ReadWord(0x100);
        traffic_->SetInternalOperation(false);
        return answered;
    }

private:
    std::unique_ptr<ConsoleAppLogic> app_;
    TrafficManager* traffic_ = nullptr;
};

// One round trip of any kind; `raw` does the raw one's halves (Send,
// Receive).
template <typename Raw>
bool MakeTrip(const KindSpec& kind, Raw& raw, LibraryExchange& library) {
    switch (kind.trip) {
        case TripKind::kRaw:
            return raw.Send() && raw.Receive();
        case TripKind::kNative:
        case TripKind::kInternal:
            return library.Trip(kind.trip);
        case TripKind::kWritesAlone:
            kind.writes->beforeSend();
            kind.writes->beforeWait();
            kind.writes->afterAnswer();
            return true;
        case TripKind::kRawWithWrites:
            kind.writes->beforeSend();
            if (!raw.Send()) return false;
            kind.writes->beforeWait();
            if (!raw.Receive()) return false;
            kind.writes->afterAnswer();
            return true;
    }
    return false;
}

// The timed runs' exchanges: the raw one and the library's, each against an
// echo of its own in this process.
class Exchanges {
public:
    explicit Exchanges(const Placement& placement) : raw_(placement.farEndProcessor), echo_(placement.farEndProcessor) {}

    // False after saying what did not come up.
    bool Open() {
        if (!raw_.Open()) {
            std::fprintf(stderr, "raw loopback did not open\n");
            return false;
        }
        const std::uint16_t libraryPort = FreeTcpPort();
        if (!library_.Start(echo_.Port(), libraryPort) || !echo_.Connect(libraryPort) ||
            !library_.WaitUntilAnswering()) {
            std::fprintf(stderr, "the library's transport did not come up\n");
            return false;
        }
        host_.AddFarEnd(raw_.FarEndMeter());
        host_.AddFarEnd(echo_.Meter());
        return true;
    }

    bool Trip(const KindSpec& kind) { return MakeTrip(kind, raw_, library_); }

    const HostSide& Host() const { return host_; }

private:
    RawLoopback raw_;
    Echo echo_;
    LibraryExchange library_;
    HostSide host_;
};

// ---------------------------------------------------------------- timed runs

// Latency (us) of every round trip of one kind; per block and round trip,
// the host side's CPU time (us) and voluntary switches, and the switches of
// the library's threads alone (none where not counted).
struct Series {
    std::vector<double> latency;
    std::vector<double> cpuPerTrip;
    std::vector<double> switchesPerTrip;
    std::vector<double> librarySwitchesPerTrip;
};

void AddPerTrip(std::vector<double>& perTrip, double before, double after) {
    if (before >= 0 && after >= 0) perTrip.push_back((after - before) / kTripsPerBlock);
}

bool RunBlock(Series& series, Exchanges& exchanges, const KindSpec& kind) {
    const HostSideFigures before = exchanges.Host().Read();
    for (int i = 0; i < kTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!exchanges.Trip(kind)) return false;
        series.latency.push_back(Microseconds(Clock::now() - start));
    }
    const HostSideFigures after = exchanges.Host().Read();
    const auto switches = [](const platform::ThreadFigures& figures) {
        return static_cast<double>(figures.voluntarySwitches);
    };
    AddPerTrip(series.cpuPerTrip, before.hostSide.cpuSeconds * 1e6, after.hostSide.cpuSeconds * 1e6);
    AddPerTrip(series.switchesPerTrip, switches(before.hostSide), switches(after.hostSide));
    AddPerTrip(series.librarySwitchesPerTrip, switches(before.libraryThreads), switches(after.libraryThreads));
    return true;
}

// A median of per-block figures, or "n/a" where none were taken.
std::string MedianText(const std::vector<double>& values, const char* format) {
    if (values.empty()) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, format, Median(values));
    return text;
}

void PrintVerdict(bool byChance, const char* what, double ratio, double goal, const char* end = "\n") {
    if (byChance) {
        std::printf("%s x%.2f (placement by chance)%s", what, ratio, end);
    } else {
        std::printf("%s x%.2f, goal <= x%.1f %s%s", what, ratio, goal, ratio <= goal ? "met" : "NOT met", end);
    }
}

// What a kind that is not the library's stands for.
const char* Remark(const KindSpec& kind) {
    switch (kind.trip) {
        case TripKind::kWritesAlone:
            return "(no round trip)";
        case TripKind::kRawWithWrites:
            return "(no library)";
        default:
            return "";
    }
}

// For a library kind with logging: what logging adds to its median against
// what its writes cost alone (the goal), and against what they add to the raw
// round trip when made where the command makes them.
void PrintLoggingAdds(const Series (&series)[kKindCount], const KindSpec& kind, bool byChance) {
    const auto median = [&series](int k) { return Median(series[static_cast<std::size_t>(k)].latency); };
    const double added = Median(series[&kind - kKinds].latency) - median(kind.loggingOff);
    PrintVerdict(byChance, "logging adds its writes alone", added / median(kind.writesAlone), kGoalLoggingAdds, "; ");
    std::printf("x%.2f what they add to the raw round trip\n", added / (median(kind.rawWithWrites) - median(kRaw)));
}

void PrintMedians(const Series (&series)[kKindCount], bool byChance) {
    const double rawMedian = Median(series[kRaw].latency);
    std::printf("  %-36s %11s  %6s  %9s  %8s %9s   (cpu, switches: host thread and library threads, per round"
                " trip)\n",
                "", "median", "ratio", "cpu", "switches", "(library)");
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindSpec& kind = kKinds[k];
        const Series& s = series[k];
        const double median = Median(s.latency);
        char ratio[16] = "";
        if (IsLibraryKind(kind)) std::snprintf(ratio, sizeof ratio, "x%5.2f", median / rawMedian);
        std::printf("  %-36s %8.1f us  %6s  %9s  %8s %9s   ", kind.name, median, ratio,
                    MedianText(s.cpuPerTrip, "%6.1f us").c_str(), MedianText(s.switchesPerTrip, "%5.2f").c_str(),
                    MedianText(s.librarySwitchesPerTrip, "(%.2f)").c_str());
        if (!IsLibraryKind(kind)) {
            std::printf("%s\n", Remark(kind));
        } else if (!kind.logging) {
            PrintVerdict(byChance, "to raw", median / rawMedian, kGoalLoggingOff);
        } else {
            PrintLoggingAdds(series, kind, byChance);
        }
    }
}

// p50, p99 and p99.9 of every kind; the ratio is of the 99th percentiles.
void PrintTail(const Series (&series)[kKindCount], bool byChance) {
    const Spread raw = SpreadOf(series[kRaw].latency);
    std::printf("  tail (%zu round trips each)                 p50       p99     p99.9\n", series[kRaw].latency.size());
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindSpec& kind = kKinds[k];
        const Spread spread = SpreadOf(series[k].latency);
        std::printf("  %-36s %8.1f  %8.1f  %8.1f us", kind.name, spread.p50, spread.p99, spread.p999);
        if (!IsLibraryKind(kind)) {
            std::printf("  %s\n", Remark(kind));
            continue;
        }
        std::printf("  ");
        PrintVerdict(byChance, "p99", spread.p99 / raw.p99, kind.logging ? kTailGoalLoggingOn : kTailGoalLoggingOff);
    }
}

int Run(int blocks, const Placement& placement) {
    Exchanges exchanges(placement);
    if (!exchanges.Open()) return 1;
    // Pinned only now, so that the library's threads and its first look at
    // the processor count see the whole machine.
    if (placement.hostProcessor >= 0 && !platform::PinCurrentThreadToProcessor(placement.hostProcessor)) {
        std::fprintf(stderr, "could not place the host thread\n");
        return 1;
    }
    Series series[kKindCount];
    SetLogSeverityLevel(LOG_NORMAL);
    for (int block = 0; block < blocks; ++block) {
        for (std::size_t k = 0; k < kKindCount; ++k) {
            SetFileLoggingAllowed(kKinds[k].logging);
            if (!RunBlock(series[k], exchanges, kKinds[k])) {
                std::fprintf(stderr, "a round trip failed: %s\n", kKinds[k].name);
                return 1;
            }
        }
    }
    SetFileLoggingAllowed(true);
    const bool byChance = &placement == &kFree;
    std::printf("%s (%d blocks of %d round trips)\n", placement.label, blocks, kTripsPerBlock);
    PrintMedians(series, byChance);
    PrintTail(series, byChance);
    std::fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------- system calls

const char* const kBeginMark = "begin ";
const char* const kEndMark = "end ";

// Where the traced run's far ends are: two echoes in the process that
// starts it, which strace does not follow, so that they answer at native
// speed and their calls are not in the trace.
struct FarEndPorts {
    std::uint16_t rawEcho = 0;     // the raw exchange's echo (UDP)
    std::uint16_t rawHost = 0;     // where it connects (TCP)
    std::uint16_t libraryEcho = 0;
    std::uint16_t libraryHost = 0;
};

// The raw exchange of the traced run, halves as MakeTrip takes them.
struct TracedRaw {
    RawDispatcherExchange& exchange;
    NativeCommand_t command;
    bool Send() { return exchange.Send(command); }
    bool Receive() { return exchange.Receive(); }
};

// The traced run: each kind's round trips between two marks of the host
// thread. Placement left to the scheduler.
int MakeTracedTrips(int trips, const FarEndPorts& ports) {
    RawDispatcherExchange raw;
    LibraryExchange library;
    if (!raw.Listen(ports.rawHost) || !raw.Accept(ports.rawEcho)) {
        std::fprintf(stderr, "traced run: the raw exchange's echo did not connect\n");
        return 1;
    }
    if (!library.Start(ports.libraryEcho, ports.libraryHost) || !library.WaitUntilAnswering()) {
        std::fprintf(stderr, "traced run: the library's transport did not come up\n");
        return 1;
    }
    TracedRaw rawTrip{raw, NativeCommand_t{}};
    SetLogSeverityLevel(LOG_NORMAL);
    for (std::size_t k = 0; k < kKindCount; ++k) {
        SetFileLoggingAllowed(kKinds[k].logging);
        platform::MarkSystemCallTrace(kBeginMark + std::to_string(k));
        for (int i = 0; i < trips; ++i) {
            if (!MakeTrip(kKinds[k], rawTrip, library)) {
                std::fprintf(stderr, "a round trip failed: %s\n", kKinds[k].name);
                return 1;
            }
        }
        platform::MarkSystemCallTrace(kEndMark + std::to_string(k));
    }
    SetFileLoggingAllowed(true);
    return 0;
}

struct CallCounts {
    std::map<std::string, long long> byName;
    long long total = 0;
    void Add(const std::string& name) {
        ++byName[name];
        ++total;
    }
};

// One kind's calls, by the thread that made them.
struct KindCalls {
    bool seen = false;
    CallCounts host;     // the thread that made the round trips
    CallCounts library;  // the library's threads
};

// The index after `prefix` in a mark, or -1.
int MarkedKind(const std::string& mark, const char* prefix) {
    const std::string start(prefix);
    if (mark.compare(0, start.size(), start) != 0) return -1;
    const int index = std::atoi(mark.c_str() + start.size());
    return index >= 0 && static_cast<std::size_t>(index) < kKindCount ? index : -1;
}

// Every call between a kind's marks, counted for the thread that made it.
std::vector<KindCalls> CountCalls(const std::vector<platform::TracedCall>& calls) {
    std::vector<KindCalls> kinds(kKindCount);
    long long host = 0;
    int current = -1;
    for (const platform::TracedCall& call : calls) {
        if (!call.mark.empty()) {
            const int begun = MarkedKind(call.mark, kBeginMark);
            if (begun >= 0) {
                current = begun;
                host = call.thread;
                kinds[static_cast<std::size_t>(current)].seen = true;
            }
            if (MarkedKind(call.mark, kEndMark) >= 0) current = -1;
            continue;
        }
        if (current < 0) continue;
        KindCalls& counts = kinds[static_cast<std::size_t>(current)];
        (call.thread == host ? counts.host : counts.library).Add(call.name);
    }
    return kinds;
}

// "poll 1.00 sendto 1.00 ...", most made first; calls made in fewer than one
// round trip in 2000 are left out.
std::string Breakdown(const CallCounts& counts, int trips) {
    std::vector<std::pair<long long, std::string>> names;
    for (const auto& [name, count] : counts.byName) names.emplace_back(count, name);
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    for (const auto& [count, name] : names) {
        const double perTrip = static_cast<double>(count) / trips;
        if (perTrip < 0.0005) continue;
        char item[64];
        std::snprintf(item, sizeof item, perTrip < 0.1 ? "%s%s %.3f" : "%s%s %.2f", text.empty() ? "" : ", ",
                      name.c_str(), perTrip);
        text += item;
    }
    return text.empty() ? "none" : text;
}

double PerTrip(const CallCounts& counts, int trips) { return static_cast<double>(counts.total) / trips; }

void PrintCalls(const std::vector<KindCalls>& kinds, int trips) {
    std::printf("system calls per round trip (strace -f, %d round trips of each kind, placement left to the"
                " scheduler)\n",
                trips);
    std::printf("  %-36s %8s %8s %8s %8s\n", "", "host", "library", "floor", "over it");
    std::printf("  %-36s %8s %8s\n", "", "thread", "threads");
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const KindSpec& kind = kKinds[k];
        const KindCalls& calls = kinds[k];
        std::printf("  %-36s %8.2f %8.3f", kind.name, PerTrip(calls.host, trips), PerTrip(calls.library, trips));
        if (IsLibraryKind(kind)) {
            // The raw host's exchange (its poll is the one wait) and, with
            // logging, the kind's writes.
            double floor = PerTrip(kinds[kRaw].host, trips);
            if (kind.logging) floor += PerTrip(kinds[static_cast<std::size_t>(kind.writesAlone)].host, trips);
            const double made = PerTrip(calls.host, trips) + PerTrip(calls.library, trips);
            std::printf(" %8.2f %+8.3f", floor, made - floor);
        }
        std::printf("\n      host thread: %s\n", Breakdown(calls.host, trips).c_str());
        if (calls.library.total > 0) std::printf("      library's threads: %s\n", Breakdown(calls.library, trips).c_str());
    }
}

// Runs the kinds again under the tracer, against two echoes of this
// process, and prints their calls.
int PrintSystemCalls(const char* program, int trips, const ScratchFolder& scratch) {
    std::fflush(stdout);
    std::string problem;
    if (!platform::SystemHasCallTracer()) {
        std::printf("system calls per round trip: not counted, this system has no tracer like strace\n");
        return 0;
    }
    const SocketLibraryUse sockets;
    Echo rawEcho;
    Echo libraryEcho;
    const FarEndPorts ports{rawEcho.Port(), FreeTcpPort(), libraryEcho.Port(), FreeTcpPort()};
    if (ports.rawEcho == 0 || ports.rawHost == 0 || ports.libraryEcho == 0 || ports.libraryHost == 0) {
        std::fprintf(stderr, "system calls per round trip: no free loopback ports for the echoes\n");
        return 1;
    }
    const std::string tracePath = scratch.File("calls.trace");
    const std::unique_ptr<platform::Process> traced = platform::StartTracedProcess(
        program,
        {"--traced", std::to_string(trips), std::to_string(ports.rawEcho), std::to_string(ports.rawHost),
         std::to_string(ports.libraryEcho), std::to_string(ports.libraryHost)},
        tracePath, problem);
    if (!traced) {
        std::fprintf(stderr, "system calls per round trip: not counted: %s\n", problem.c_str());
        return 1;
    }
    // The traced run listens first; each connect retries until it does. A
    // run whose echo never came gives up on its own.
    const bool connected = rawEcho.Connect(ports.rawHost) && libraryEcho.Connect(ports.libraryHost);
    int exitCode = 1;
    if (!traced->WaitForExit(-1, exitCode) || exitCode != 0 || !connected) {
        std::fprintf(stderr, "system calls per round trip: the run under strace failed (exit code %d)\n", exitCode);
        return 1;
    }
    std::vector<platform::TracedCall> calls;
    if (!platform::ReadSystemCallTrace(tracePath, calls, problem)) {
        std::fprintf(stderr, "system calls per round trip: %s\n", problem.c_str());
        return 1;
    }
    const std::vector<KindCalls> kinds = CountCalls(calls);
    for (std::size_t k = 0; k < kKindCount; ++k) {
        if (!kinds[k].seen) {
            std::fprintf(stderr, "system calls per round trip: the trace holds no round trips of \"%s\"\n",
                         kKinds[k].name);
            return 1;
        }
    }
    PrintCalls(kinds, trips);
    std::fflush(stdout);
    return 0;
}

// The socket library outlives every socket of the run.
int RunWithSockets(int blocks, const Placement& placement) {
    const SocketLibraryUse sockets;
    return Run(blocks, placement);
}

// bench_roundtrip --traced trips rawEcho rawHost libraryEcho libraryHost:
// the run PrintSystemCalls starts under the tracer.
int RunTraced(int argc, char** argv, const char* usage) {
    if (argc != 7) UsageError("--traced takes the round trips and four ports", usage);
    const auto port = [argv, usage](int at) {
        return static_cast<std::uint16_t>(CountArgument(argv[at], 1, "a port", usage, 65535));
    };
    const int trips = CountArgument(argv[2], 1, "trips", usage);
    const FarEndPorts ports{port(3), port(4), port(5), port(6)};
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    const SocketLibraryUse sockets;
    return MakeTracedTrips(trips, ports);
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_roundtrip [blocks] | bench_roundtrip --calls [trips]";
    if (argc > 1 && std::string(argv[1]) == "--traced") return RunTraced(argc, argv, usage);
    const Invocation invocation = ReadInvocation(argc, argv, {"--split", "--together", "--pinned", "--calls"}, usage);
    const std::string& mode = invocation.mode;
    const bool countsTrips = mode == "--calls";
    const int count = invocation.value == nullptr ? (countsTrips ? kDefaultTracedTrips : kDefaultBlocks)
                                                  : CountArgument(invocation.value, 1, countsTrips ? "trips" : "blocks",
                                                                  usage);
    const std::string countText = std::to_string(count);
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    if (mode == "--calls") return PrintSystemCalls(argv[0], count, scratch);
    if (mode == "--pinned") {
        if (!platform::PinToFirstProcessor()) std::printf("(could not pin to the first processor)\n");
        return RunWithSockets(count, kOneProcessor);
    }
    if (mode == "--split") return RunWithSockets(count, kSplit);
    if (mode == "--together") return RunWithSockets(count, kTogether);
    if (platform::UsableProcessorCount() >= 2) {
        if (RunAgain(argv[0], "--split", countText) != 0 || RunAgain(argv[0], "--together", countText) != 0) return 1;
    } else {
        std::printf("two processors: only one here, skipped\n");
    }
    if (RunWithSockets(count, kFree) != 0) return 1;
    if (RunAgain(argv[0], "--pinned", countText) != 0) return 1;
    return PrintSystemCalls(argv[0], kDefaultTracedTrips, scratch);
}
