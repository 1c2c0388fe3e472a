// The transport's round trip against the raw loopback one.
//
// raw:       one 524-byte UDP datagram out, one 520-byte TCP record back,
//            strictly in turn, plain sockets and a plain echo thread, no
//            library code.
// echo:      the traffic manager's ReadWord as an internal operation (the
//            packet handler, its two threads, the queue and the response
//            event) against the same kind of echo thread, so the difference
//            to raw is the library's own cost.
// emulator:  ReadEeprom of 64 KiB (4096 round trips of 16 bytes) against the
//            emulated dispatcher and chip, timed per round trip.
//
// The three alternate in blocks so that they share the machine's mood. Each
// runs with the log at severity 1 (quiet) and at the library's default 2.
// Prints the medians per round trip and their ratios to raw; the aim is a
// library round trip within 1.5 times the raw one.
//
// Run: bench_transport [blocks]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if __has_include("emulator.h")

#include <netinet/in.h>
#include <sys/socket.h>

#include "benchsupport.h"
#include "rawloopback.h"
#include "consolelogger.h"
#include "emulator.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "socketutil.h"
#include "trafficmanager.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

constexpr int kDefaultBlocks = 10;
constexpr int kRoundTripsPerBlock = 500;
constexpr std::size_t kEepromBytes = 65536;

struct Figures {
    std::vector<double> raw, echo, emulator;
};

bool RunBlock(RawLoopback& raw, TrafficManager& echoTraffic, TrafficManager& emulatorTraffic,
              std::vector<std::uint8_t>& eeprom, Figures& figures) {
    for (int i = 0; i < kRoundTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!raw.RoundTrip()) return false;
        figures.raw.push_back(Microseconds(Clock::now() - start));
    }
    for (int i = 0; i < kRoundTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!echoTraffic.ReadWord(0x100)) return false;
        figures.echo.push_back(Microseconds(Clock::now() - start));
    }
    const auto start = Clock::now();
    if (!emulatorTraffic.ReadEeprom(0, eeprom.size(), eeprom.data())) return false;
    figures.emulator.push_back(Microseconds(Clock::now() - start) / static_cast<double>(eeprom.size() / 16));
    return true;
}

void Print(int severity, const Figures& figures) {
    const double raw = Median(figures.raw);
    const double echo = Median(figures.echo);
    const double emulator = Median(figures.emulator);
    std::printf("log severity %d\n", severity);
    std::printf("  raw loopback round trip          median %8.1f us  (%u trips)\n", raw,
                static_cast<unsigned>(figures.raw.size()));
    std::printf("  library ReadWord, echo far end   median %8.1f us  ratio %.2f\n", echo, echo / raw);
    std::printf("  library ReadEeprom 64 KiB, emu   median %8.1f us per round trip  ratio %.2f  (%u runs)\n",
                emulator, emulator / raw, static_cast<unsigned>(figures.emulator.size()));
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_transport [blocks]";
    if (argc > 2) UsageError(std::string("unexpected argument: ") + argv[2], usage);
    const int blocks = argc > 1 ? CountArgument(argv[1], 1, "blocks", usage) : kDefaultBlocks;
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    platform::StartSocketLibrary();
    std::string error;

    RawLoopback raw;
    if (!raw.Open()) {
        std::fprintf(stderr, "raw loopback did not open\n");
        return 1;
    }

    NoExternalOwner owner;
    const std::uint16_t echoPort = FreeTcpPort();
    Echo echo;
    if (echo.Port() == 0) {
        std::fprintf(stderr, "echo did not bind\n");
        return 1;
    }
    auto echoTraffic = std::make_unique<TrafficManager>(&owner, echo.Port(), "127.0.0.1", echoPort);
    if (!echo.Connect(echoPort)) {
        std::fprintf(stderr, "echo did not connect\n");
        return 1;
    }

    const std::uint16_t emulatorPort = FreeTcpPort();
    tbemu::EmulatorOptions options;
    options.libraryPort = emulatorPort;
    tbemu::Emulator emulator(options);
    if (!emulator.Start(error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    auto emulatorTraffic = std::make_unique<TrafficManager>(&owner, emulator.CommandPort(), "127.0.0.1", emulatorPort);
    if (!WaitUntilAnswering(*echoTraffic) || !WaitUntilAnswering(*emulatorTraffic)) {
        std::fprintf(stderr, "the far ends do not answer\n");
        return 1;
    }

    std::vector<std::uint8_t> eeprom(kEepromBytes);
    for (int severity : {LOG_ERROR, LOG_NORMAL}) {
        SetLogSeverityLevel(severity);
        Figures figures;
        for (int block = 0; block < blocks; ++block) {
            if (!RunBlock(raw, *echoTraffic, *emulatorTraffic, eeprom, figures)) {
                std::fprintf(stderr, "a round trip failed\n");
                return 1;
            }
        }
        Print(severity, figures);
    }
    emulatorTraffic.reset();
    echoTraffic.reset();
    emulator.Stop();
    return 0;
}

#else

int main() {
    std::fprintf(stderr, "bench_transport needs the emulator (a native Linux build with the tools)\n");
    return 1;
}

#endif
