// Firmware loading against the emulated dispatcher and chip: LoadFW's work
// (the application object's LoadFirmware) on a generated package of MAC, PHY
// and ASIP data well above 256 KiB, every piece written and read back.
//
// A verified load costs two round trips per 16 bytes: the piece written, the
// piece read back. Its bound is the raw round trip: a host that does only the
// socket work (one 524-byte datagram out, one 520-byte record back) against
// a dispatcher of the same kind (an emulator of its own, on the same
// processor as the load's), making the same trips (16 bytes written, 16 read
// back), as many as the load makes, half before it and half after. Its mean trip
// times the load's round trips is the time no load can beat:
//   share = bound time / the load's time
// is what the library keeps of the socket's speed (goal: at least 80 %
// without file logging). Beside it, for reference, the load against the same
// trips made alone through the traffic manager (2 KiB written through
// WriteBuffer, read back 16 bytes at a time), which shows what the load adds
// to its own round trips.
//
// The load is given no pause after its run command (the emulated chip starts
// its firmware at once), so its whole time is the transfer's.
//
// Prints the load's bytes per second beside both bounds,
// and the round trips the load made beside the ones expected (two per
// 16-byte piece, plus the staged interrupt-vector data and the fixed
// handshakes). Runs without file logging and with the specified logging
// (severity 2, four flushed lines per trip).
//
// Where the emulator's thread runs against the host thread decides what a
// round trip costs (on a virtual machine a wake-up on the other processor
// can cost more than a whole exchange on one), and the scheduler may move
// it between the load and its bound. So the
// run is made in fresh processes with fixed placements: the emulators on the
// second processor and the host thread on the first, the library's own
// threads free; then everything on the first processor.
//
// Run: bench_firmware [kibibytes of MAC+PHY+ASIP data, 256 to 381]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if __has_include("emulator.h")

#include "benchsupport.h"
#include "cfwloader.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "emulator.h"
#include "firmwarebuilder.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "rawloopback.h"

namespace {

using namespace benchsupport;

constexpr int kEchoRoundTrips = 2000;
constexpr std::size_t kPassBytes = 2048;
constexpr int kPassesPerBlock = 16;  // 32 KiB before and after each load
constexpr std::uint32_t kPassAddress = 0xBFC01000;
// Without file logging, at least this share of the raw bound.
constexpr double kGoalShare = 80.0;
// Round trips of every load besides the chunks: the two set-up reads, the
// ASIP control word, the staged data's size word and the run command.
constexpr std::size_t kHandshakes = 5;
constexpr std::size_t kMacCapacity = 0x23800;
constexpr std::size_t kPhyCapacity = 0x1C000;
constexpr std::size_t kAsipCapacity = 0x20000;
// The package sizes the load is measured with: at least 256 KiB, at most what
// the three memories take (MakePackage would cut a larger one short).
constexpr int kMinimumKib = 256;
constexpr int kMaximumKib = static_cast<int>((kMacCapacity - 0x100 + kPhyCapacity - 0x100 + kAsipCapacity) / 1024);

// MAC code from the boot address (across the interrupt-vector window), PHY
// code, and ASIP type 1 instructions of 64 bytes, sharing `bytes` out in
// that order as far as each memory takes them.
fwbuild::Bytes MakePackage(std::size_t bytes) {
    const std::size_t mac = std::min(bytes / 2, kMacCapacity - 0x100);
    const std::size_t phy = std::min(bytes - mac, kPhyCapacity - 0x100);
    const std::size_t asip = std::min(bytes - mac - phy, kAsipCapacity);
    fwbuild::Package package;
    package.Mac(fwbuild::Elf({{fwbuild::kProgramData, 0xBFC00000, fwbuild::Pattern(mac, 1)}}));
    package.Phy(fwbuild::Elf({{fwbuild::kProgramData, 0xBF000000, fwbuild::Pattern(phy, 2)}}));
    if (asip > 0) package.Asip({1, 64, 0xBF3C0000, fwbuild::Pattern(asip, 3)});
    return package.Contents();
}

std::size_t Pieces(std::size_t length) { return (length + 15) / 16; }

struct Expected {
    std::size_t bytes = 0;       // loaded and read back
    std::size_t chunkRoundTrips = 0;  // write and read-back of each 16-byte piece
    std::size_t roundTrips = 0;       // all of the load's
};

// Built from the file alone (building never talks to the chip).
Expected ExpectedFor(const std::string& path, TrafficManager* traffic) {
    CFWLoader loader(path, traffic);
    Expected expected;
    if (!loader.BuildChunkDataBase()) return expected;
    bool staged = false;
    for (const ChunkDescriptor& chunk : loader.Chunks()) {
        if (chunk.isInterruptVector == 0) {
            expected.bytes += chunk.length;
            expected.chunkRoundTrips += 2 * Pieces(chunk.length);
        } else if (!staged) {
            expected.roundTrips += Pieces(chunk.length);  // written, not read back
            staged = true;
        }
    }
    expected.roundTrips += expected.chunkRoundTrips + kHandshakes;
    return expected;
}

struct Load {
    double ms = 0;
    std::size_t roundTrips = 0;
    int rc = -1;
    std::string failure;
};

Load TimeLoad(ConsoleAppLogic& app, tbemu::Emulator& emulator, const std::string& path) {
    const std::size_t packetsBefore = emulator.PacketsReceived();
    const std::size_t systemBefore = emulator.SystemCommands().size();
    Load load;
    const auto start = Clock::now();
    load.rc = app.LoadFirmware(path);
    load.ms = Milliseconds(Clock::now() - start);
    load.failure = app.FailureMessage();
    load.roundTrips = (emulator.PacketsReceived() - packetsBefore) - (emulator.SystemCommands().size() - systemBefore);
    return load;
}

// One chunk written and read back piece by piece, as the load does it.
bool ChunkPass(TrafficManager& traffic) {
    static const std::vector<std::uint8_t> chunk = fwbuild::Pattern(kPassBytes, 4);
    traffic.SetInternalOperation(true);
    bool done = traffic.WriteBuffer(kPassAddress, chunk.data(), chunk.size());
    for (std::size_t offset = 0; done && offset < chunk.size(); offset += 16) {
        done = traffic.ReadBuffer(static_cast<std::uint32_t>(kPassAddress + offset), 16);
    }
    traffic.SetInternalOperation(false);
    return done;
}

// The trips a load makes, socket work only: 16 bytes written, then read back.
struct RawTrips {
    RawDispatcherExchange exchange;
    NativeCommand_t write;
    NativeCommand_t read;
    bool writeNext = true;

    RawTrips() {
        const std::vector<std::uint8_t> bytes = fwbuild::Pattern(16, 5);
        write.Type = NATIVE_WRITE_BUFFER;
        write.Address = kPassAddress;
        write.Length = 16;
        std::copy(bytes.begin(), bytes.end(), write.Data.begin());
        read.Type = NATIVE_READ_BUFFER;
        read.Address = kPassAddress;
        read.Length = 16;
    }
    bool Trip() {
        const bool done = exchange.RoundTrip(writeNext ? write : read);
        writeNext = !writeNext;
        return done;
    }
};

int Run(std::size_t kib, const Placement& placement) {
    const bool split = placement.farEndProcessor >= 0;
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());

    const fwbuild::Bytes package = MakePackage(kib * 1024);
    const std::string path = scratch.File("bench.fwp");
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(package.data(), 1, package.size(), out) != package.size()) return 1;
    std::fclose(out);

    std::string error;
    RawLoopback raw(placement.farEndProcessor);
    RawTrips rawTrips;
    tbemu::EmulatorOptions options;
    options.libraryPort = FreeTcpPort();
    tbemu::Emulator emulator(options);
    if (!rawTrips.exchange.Listen()) return 1;
    tbemu::EmulatorOptions rawOptions;
    rawOptions.libraryPort = rawTrips.exchange.Port();
    tbemu::Emulator rawEmulator(rawOptions);
    // An emulator's thread keeps the processor of the thread that starts it.
    if (split && !platform::PinCurrentThreadToProcessor(placement.farEndProcessor)) return 1;
    const bool started = emulator.Start(error) && rawEmulator.Start(error);
    if (split && !platform::UnpinCurrentThread()) return 1;
    if (!raw.Open() || options.libraryPort == 0 || !started || !rawTrips.exchange.Accept(rawEmulator.CommandPort())) {
        std::fprintf(stderr, "set-up: %s\n", error.c_str());
        return 1;
    }
    AppCollaborators onlyTransport;
    onlyTransport.eepromInterface = onlyTransport.structAccess = onlyTransport.appAdapter = onlyTransport.evtAdapter = false;
    ConsoleAppLogic app(emulator.CommandPort(), "127.0.0.1", options.libraryPort, "", "", "", onlyTransport);
    app.SetFirmwareStartPause(0);
    if (!emulator.WaitFor([&] { return emulator.Connected(); }, 5000)) {
        std::fprintf(stderr, "the emulator did not connect to the library\n");
        return 1;
    }
    // Pinned only now, so that the library's threads see the whole machine.
    if (split && !platform::PinCurrentThreadToProcessor(placement.hostProcessor)) return 1;
    const Expected expected = ExpectedFor(path, app.GetTrafficManager());
    for (int i = 0; i < 200; ++i) raw.RoundTrip();
    for (int i = 0; i < 200; ++i) rawTrips.Trip();

    std::printf("Firmware load against the in-process emulator, %s\n", placement.label);
    std::printf("  package                      %zu bytes, %zu of them loaded and read back\n", package.size(),
                expected.bytes);
    int failures = 0;
    TrafficManager& traffic = *app.GetTrafficManager();
    for (const bool fileLogging : {false, true}) {
        SetFileLoggingAllowed(fileLogging);
        SetLogSeverityLevel(LOG_NORMAL);
        std::vector<double> rawUs;
        std::vector<double> rawDispatcherUs;
        double passMs = 0;
        const auto referenceBlock = [&] {
            for (int i = 0; i < kEchoRoundTrips / 2; ++i) {
                const auto start = Clock::now();
                if (!raw.RoundTrip()) ++failures;
                rawUs.push_back(Microseconds(Clock::now() - start));
            }
            // As many raw trips as the load makes, half before it and half
            // after: on a shared machine a few thousand trips catch a moment's
            // mood, not the load's.
            for (std::size_t i = 0; i < expected.roundTrips / 2; ++i) {
                const auto start = Clock::now();
                if (!rawTrips.Trip()) ++failures;
                rawDispatcherUs.push_back(Microseconds(Clock::now() - start));
            }
            const auto start = Clock::now();
            for (int i = 0; i < kPassesPerBlock; ++i) {
                if (!ChunkPass(traffic)) ++failures;
            }
            passMs += Milliseconds(Clock::now() - start);
        };
        referenceBlock();
        const Load load = TimeLoad(app, emulator, path);
        referenceBlock();
        if (load.rc != 0) {
            ++failures;
            std::printf("  LOAD FAILED: %s\n", load.failure.c_str());
        }
        const double passBytes = 2.0 * kPassesPerBlock * kPassBytes;
        const double bytesPerSecond = static_cast<double>(expected.bytes) / (load.ms / 1000.0);
        const double rawTripUs = Mean(rawDispatcherUs);
        const double rawBoundMs = rawTripUs * static_cast<double>(load.roundTrips) / 1000.0;
        const double share = 100.0 * rawBoundMs / load.ms;
        std::printf("\n  %s\n", fileLogging ? "with the specified logging (severity 2, file logging on)"
                                             : "without file logging");
        std::printf("    load, whole                %9.1f ms\n", load.ms);
        std::printf("    throughput                 %9.0f bytes/s\n", bytesPerSecond);
        const Spread rawSpread = SpreadOf(rawDispatcherUs);
        std::printf("    raw trip to a dispatcher   %9.1f us  mean (median %.1f, p99 %.1f) of %zu, socket work only\n",
                    rawTripUs, rawSpread.p50, rawSpread.p99, rawDispatcherUs.size());
        std::printf("    raw bound                  %9.1f ms  (%zu trips) -> load at %.1f %% of it", rawBoundMs,
                    load.roundTrips, share);
        if (fileLogging) {
            std::printf("\n");
        } else {
            std::printf(" (goal >= %.0f %%: %s)\n", kGoalShare, share >= kGoalShare ? "met" : "NOT met");
        }
        const double perTripUs = load.ms * 1000.0 / static_cast<double>(std::max<std::size_t>(1, load.roundTrips));
        std::printf("    per round trip             %9.1f us  (x%.2f the raw trip)\n", perTripUs, perTripUs / rawTripUs);
        std::printf("    the same trips alone       %9.1f us  per 16 bytes written and read back, through the traffic "
                    "manager -> load at %.1f %% of them\n",
                    passMs * 1000.0 * 16.0 / passBytes, 100.0 * bytesPerSecond / (passBytes / (passMs / 1000.0)));
        std::printf("    raw loopback echo          %9.1f us  median of %zu (an echo, not a dispatcher)\n",
                    Median(rawUs), rawUs.size());
        std::printf("    round trips made           %9zu\n", load.roundTrips);
        std::printf("    round trips expected       %9zu  (2 per 16-byte piece, %zu for the staged data and handshakes)\n",
                    expected.roundTrips, expected.roundTrips - expected.chunkRoundTrips);
    }
    SetFileLoggingAllowed(true);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_firmware [--split|--pinned] [KiB of MAC+PHY+ASIP data, 256 to 381]";
    const Invocation invocation = ReadInvocation(argc, argv, {"--split", "--pinned"}, usage);
    const std::size_t kib = static_cast<std::size_t>(
        invocation.value != nullptr ? CountArgument(invocation.value, kMinimumKib, "the package's KiB", usage, kMaximumKib)
                                    : 300);
    const SocketLibraryUse sockets;
    return RunInPlacements(argv[0], invocation, std::to_string(kib),
                           [kib](const Placement& placement) { return Run(kib, placement); });
}

#else

int main() {
    std::fprintf(stderr, "bench_firmware needs the emulator, which this build does not have\n");
    return 1;
}

#endif
