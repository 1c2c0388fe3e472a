// Chip memory to and from files against the emulated dispatcher and chip, at
// 64 KiB: a save is tbx_readMemory's work (the application object's
// ReadMemory: 128 reads of 512 bytes), a load is what tb-console's :loadmem
// and Python's load_memory make of it (WriteMemory, then ReadMemory for the
// read-back: 128 writes and 128 reads of 512 bytes, 256 round trips).
//
// The bound is the raw round trip, as in bench_firmware: a host that does
// only the socket work (one 524-byte datagram out, one 520-byte record back)
// against a dispatcher of the same kind (an emulator of its own, placed as
// the library's), making the same trips (512-byte reads; for a load 512-byte
// writes, then reads), as many as the library makes, half before its
// operations and half after. Its mean trip times the library's round trips
// is the time no host can beat:
//   share = bound time / the library's time
// (goal: at least 80 % without file logging). Each operation is timed
// `repetitions` times (default 20) in a row; the figures are their sums. Runs
// without file logging and with the specified logging (severity 2), in fresh
// processes with fixed placements: the emulators on the second processor and
// the host thread on the first, then everything on the first processor.
//
// Run: bench_memory [repetitions, 1 to 1000]
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#if __has_include("emulator.h")

#include "benchsupport.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "emulator.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "rawloopback.h"

namespace {

using namespace benchsupport;

constexpr std::uint32_t kAddress = 0x10000000;
constexpr std::uint32_t kBytes = 64 * 1024;
constexpr std::uint32_t kPiece = 512;
constexpr std::size_t kPieces = kBytes / kPiece;
constexpr double kGoalShare = 80.0;

// One kind of operation: its name, its round trips, and the trips' order.
struct Kind {
    const char* name;
    const char* trips;
    bool writes;  // a load: every piece written, then every piece read back
    std::size_t RoundTrips() const { return writes ? 2 * kPieces : kPieces; }
};

constexpr Kind kSave{"save", "128 reads of 512 bytes", false};
constexpr Kind kLoad{"load", "128 writes + 128 reads of 512 bytes", true};

std::vector<std::uint8_t> Pattern() {
    std::vector<std::uint8_t> bytes(kBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
}

// The library's operation, as the tools make it.
bool Operate(ConsoleAppLogic& app, const Kind& kind, const std::vector<std::uint8_t>& image,
             std::vector<std::uint8_t>& back) {
    if (kind.writes && app.WriteMemory(kAddress, image.data(), kBytes) != 0) return false;
    return app.ReadMemory(kAddress, kBytes, back.data()) == 0 && (!kind.writes || back == image);
}

// The same trips, socket work only.
class RawTrips {
public:
    RawTrips() {
        const std::vector<std::uint8_t> bytes = Pattern();
        write_.Type = NATIVE_WRITE_BUFFER;
        write_.Length = kPiece;
        std::copy(bytes.begin(), bytes.begin() + kPiece, write_.Data.begin());
        read_.Type = NATIVE_READ_BUFFER;
        read_.Length = kPiece;
    }
    RawDispatcherExchange& Exchange() { return exchange_; }
    // The trips of one operation of this kind, each timed.
    bool Operation(const Kind& kind, std::vector<double>& tripUs) {
        bool done = true;
        for (NativeCommand_t* command : kind.writes ? std::vector<NativeCommand_t*>{&write_, &read_}
                                                    : std::vector<NativeCommand_t*>{&read_}) {
            for (std::size_t piece = 0; piece < kPieces; ++piece) {
                command->Address = static_cast<std::uint32_t>(kAddress + piece * kPiece);
                const auto start = Clock::now();
                done = exchange_.RoundTrip(*command) && done;
                tripUs.push_back(Microseconds(Clock::now() - start));
            }
        }
        return done;
    }

private:
    RawDispatcherExchange exchange_;
    NativeCommand_t write_;
    NativeCommand_t read_;
};

struct Figures {
    double ms = 0;                 // the library's operations, all repetitions
    std::size_t roundTrips = 0;    // the library's, all repetitions
    std::vector<double> rawTripUs; // the raw trips, as many as the library's
    int failures = 0;
};

Figures Measure(ConsoleAppLogic& app, tbemu::Emulator& emulator, RawTrips& raw, const Kind& kind, int repetitions) {
    const std::vector<std::uint8_t> image = Pattern();
    std::vector<std::uint8_t> back(kBytes);
    Figures figures;
    const auto rawTrips = [&](int operations) {
        for (int i = 0; i < operations; ++i) {
            if (!raw.Operation(kind, figures.rawTripUs)) ++figures.failures;
        }
    };
    rawTrips(repetitions / 2);
    const std::size_t packetsBefore = emulator.PacketsReceived();
    const std::size_t systemBefore = emulator.SystemCommands().size();
    const auto start = Clock::now();
    for (int i = 0; i < repetitions; ++i) {
        if (!Operate(app, kind, image, back)) ++figures.failures;
    }
    figures.ms = Milliseconds(Clock::now() - start);
    figures.roundTrips =
        (emulator.PacketsReceived() - packetsBefore) - (emulator.SystemCommands().size() - systemBefore);
    rawTrips(repetitions - repetitions / 2);
    return figures;
}

void Print(const Kind& kind, const Figures& figures, int repetitions, bool goal) {
    const double rawTripUs = Mean(figures.rawTripUs);
    const double boundMs = rawTripUs * static_cast<double>(figures.roundTrips) / 1000.0;
    const double share = 100.0 * boundMs / figures.ms;
    const double perOperationMs = figures.ms / repetitions;
    std::printf("    %s, %s\n", kind.name, kind.trips);
    std::printf("      per %-22s %9.2f ms  (%.0f KiB/s)\n", kind.name, perOperationMs,
                kBytes / 1024.0 / (perOperationMs / 1000.0));
    const Spread spread = SpreadOf(figures.rawTripUs);
    std::printf("      raw trip                 %9.1f us  mean (median %.1f, p99 %.1f) of %zu, socket work only\n",
                rawTripUs, spread.p50, spread.p99, figures.rawTripUs.size());
    std::printf("      raw bound                %9.2f ms  per %s (%zu trips) -> library at %.1f %% of it", boundMs / repetitions,
                kind.name, figures.roundTrips / static_cast<std::size_t>(repetitions), share);
    if (goal) {
        std::printf(" (goal >= %.0f %%: %s)\n", kGoalShare, share >= kGoalShare ? "met" : "NOT met");
    } else {
        std::printf("\n");
    }
    std::printf("      round trips made         %9zu  (expected %zu)\n", figures.roundTrips,
                kind.RoundTrips() * static_cast<std::size_t>(repetitions));
}

int Run(int repetitions, const Placement& placement) {
    const bool split = placement.farEndProcessor >= 0;
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    std::string error;
    RawTrips raw;
    tbemu::EmulatorOptions options;
    options.libraryPort = FreeTcpPort();
    tbemu::Emulator emulator(options);
    if (!raw.Exchange().Listen()) return 1;
    tbemu::EmulatorOptions rawOptions;
    rawOptions.libraryPort = raw.Exchange().Port();
    tbemu::Emulator rawEmulator(rawOptions);
    // An emulator's thread keeps the processor of the thread that starts it.
    if (split && !platform::PinCurrentThreadToProcessor(placement.farEndProcessor)) return 1;
    const bool started = emulator.Start(error) && rawEmulator.Start(error);
    if (split && !platform::UnpinCurrentThread()) return 1;
    if (options.libraryPort == 0 || !started || !raw.Exchange().Accept(rawEmulator.CommandPort())) {
        std::fprintf(stderr, "set-up: %s\n", error.c_str());
        return 1;
    }
    AppCollaborators onlyTransport;
    onlyTransport.eepromInterface = onlyTransport.structAccess = onlyTransport.appAdapter = onlyTransport.evtAdapter =
        false;
    ConsoleAppLogic app(emulator.CommandPort(), "127.0.0.1", options.libraryPort, "", "", "", onlyTransport);
    if (!emulator.WaitFor([&] { return emulator.Connected(); }, 5000)) {
        std::fprintf(stderr, "the emulator did not connect to the library\n");
        return 1;
    }
    // Pinned only now, so that the library's threads see the whole machine.
    if (split && !platform::PinCurrentThreadToProcessor(placement.hostProcessor)) return 1;
    std::vector<double> warmUp;
    for (int i = 0; i < 4; ++i) raw.Operation(kLoad, warmUp);

    std::printf("Chip memory to and from files against the in-process emulator, %s\n", placement.label);
    std::printf("  %u bytes from 0x%08x, each operation %d times in a row\n", kBytes, kAddress, repetitions);
    int failures = 0;
    for (const bool fileLogging : {false, true}) {
        SetFileLoggingAllowed(fileLogging);
        SetLogSeverityLevel(LOG_NORMAL);
        std::printf("\n  %s\n", fileLogging ? "with the specified logging (severity 2, file logging on)"
                                             : "without file logging");
        for (const Kind* kind : {&kSave, &kLoad}) {
            const Figures figures = Measure(app, emulator, raw, *kind, repetitions);
            failures += figures.failures;
            if (figures.failures > 0) std::printf("    %s: %d FAILED\n", kind->name, figures.failures);
            Print(*kind, figures, repetitions, !fileLogging);
        }
    }
    SetFileLoggingAllowed(true);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_memory [--split|--pinned] [repetitions, 1 to 1000]";
    const Invocation invocation = ReadInvocation(argc, argv, {"--split", "--pinned"}, usage);
    const int repetitions =
        invocation.value != nullptr ? CountArgument(invocation.value, 1, "the repetitions", usage, 1000) : 20;
    const SocketLibraryUse sockets;
    return RunInPlacements(argv[0], invocation, std::to_string(repetitions),
                           [repetitions](const Placement& placement) { return Run(repetitions, placement); });
}

#else

int main() {
    std::fprintf(stderr, "bench_memory needs the emulator, which this build does not have\n");
    return 1;
}

#endif
