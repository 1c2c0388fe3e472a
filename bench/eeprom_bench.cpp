// The EEPROM operations against the emulated dispatcher and chip, beside
// the raw loopback round trip measured in the same run.
//
// listing:   the whole EEPROM listing of the example layout, every listed
//            field read from the chip (ReadEntireEeprom's work).
// full burn: a 64 KiB data base written whole (4096 chunks of 16 bytes).
//
// Each block measures the raw round trip, one listing and one burn, so that
// the three share the machine's mood. Prints the round trips each operation
// made (counted by the emulator), the time per round trip and its ratio to
// the raw one. The log runs at severity 1.
//
// Run: bench_eeprom [blocks]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if __has_include("emulator.h")

#include "benchsupport.h"
#include "consolelogger.h"
#include "eeprominterface.h"
#include "emulator.h"
#include "platform/platform_tools.h"
#include "rawloopback.h"
#include "structaccess.h"
#include "trafficmanager.h"

namespace {

using namespace benchsupport;

constexpr int kDefaultBlocks = 5;
constexpr int kRawTripsPerBlock = 500;
constexpr std::uint32_t kBurnBytes = 65536;

struct Operation {
    std::vector<double> microsecondsPerTrip;
    std::size_t tripsPerRun = 0;
};

// Runs one operation and records its round trips and time per trip.
template <typename Work>
bool Measure(const tbemu::Emulator& emulator, Operation& operation, Work work) {
    const std::size_t before = emulator.PacketsReceived();
    const auto start = Clock::now();
    if (!work()) return false;
    const double elapsed = Microseconds(Clock::now() - start);
    operation.tripsPerRun = emulator.PacketsReceived() - before;
    operation.microsecondsPerTrip.push_back(elapsed / static_cast<double>(std::max<std::size_t>(1, operation.tripsPerRun)));
    return true;
}

void Print(const char* what, const Operation& operation, double raw) {
    const double perTrip = Median(operation.microsecondsPerTrip);
    std::printf("  %-34s %5u round trips  %8.1f us per round trip  ratio %.2f  (%.1f ms per run)\n", what,
                static_cast<unsigned>(operation.tripsPerRun), perTrip, perTrip / raw,
                perTrip * static_cast<double>(operation.tripsPerRun) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_eeprom [blocks]";
    if (argc > 2) UsageError(std::string("unexpected argument: ") + argv[2], usage);
    const int blocks = argc > 1 ? CountArgument(argv[1], 1, "blocks", usage) : kDefaultBlocks;
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    platform::StartSocketLibrary();
    SetLogSeverityLevel(LOG_ERROR);
    std::string error;

    RawLoopback raw;
    if (!raw.Open()) {
        std::fprintf(stderr, "raw loopback did not open\n");
        return 1;
    }
    const std::uint16_t libraryPort = FreeTcpPort();
    tbemu::EmulatorOptions options;
    options.libraryPort = libraryPort;
    options.eepromSize = kBurnBytes;
    tbemu::Emulator emulator(options);
    if (!emulator.Start(error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    NoExternalOwner owner;
    auto traffic = std::make_unique<TrafficManager>(&owner, emulator.CommandPort(), "127.0.0.1", libraryPort);
    if (!WaitUntilAnswering(*traffic)) {
        std::fprintf(stderr, "the emulator does not answer\n");
        return 1;
    }
    traffic->SetInternalOperation(false);

    // The example layout, burnt once so that the listing reads its values.
    const std::string examples = std::string(TB_SOURCE_DIR) + "/examples";
    EepromInterface example(traffic.get());
    {
        StructAccess db(examples + "/maps/mac.map", examples + "/maps/phy.map", &example);
        db.structAccessInit(examples + "/definitions/list.txt");
    }
    example.InitFromConsoleDb();
    // A 64 KiB data base of one record.
    EepromInterface wide(traffic.get());
    EEpromFieldDefinition_t block;
    block.name = "Block";
    block.size = kBurnBytes;
    block.data.resize(kBurnBytes);
    for (std::uint32_t i = 0; i < kBurnBytes; ++i) block.data[i] = static_cast<std::uint8_t>(i * 7);
    wide.AppendFieldDefinition(block);
    wide.SetDataBaseSize(kBurnBytes);
    wide.InitFromConsoleDb();
    if (example.Burn(false) != 1) {
        std::fprintf(stderr, "the example layout could not be burnt\n");
        return 1;
    }

    std::vector<double> rawTrips;
    Operation listing;
    Operation burn;
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < kRawTripsPerBlock; ++i) {
            const auto start = Clock::now();
            if (!raw.RoundTrip()) return 1;
            rawTrips.push_back(Microseconds(Clock::now() - start));
        }
        std::string text;
        const bool ok = Measure(emulator, listing, [&] { return example.WriteListing(text, "") == 0; }) &&
                        Measure(emulator, burn, [&] { return wide.Burn(false) == 1; });
        if (!ok) {
            std::fprintf(stderr, "an EEPROM operation failed\n");
            return 1;
        }
    }
    const double rawMedian = Median(rawTrips);
    std::printf("EEPROM operations against the emulator, %d blocks, log severity 1\n", blocks);
    std::printf("  %-34s %5s              %8.1f us per round trip  (%u trips)\n", "raw loopback round trip", "",
                rawMedian, static_cast<unsigned>(rawTrips.size()));
    Print("listing of the example layout", listing, rawMedian);
    Print("full burn of 64 KiB", burn, rawMedian);
    traffic.reset();
    emulator.Stop();
    return 0;
}

#else

int main() {
    std::fprintf(stderr, "bench_eeprom needs the emulator (a native Linux build with the tools)\n");
    return 1;
}

#endif
