// Cost of turning one command's parameter text into its bytes: a 12-byte PHY
// structure (the largest a PHY console command carries) with every field
// given, through StructAccess::adaptCommandParams alone and through the whole
// command line (ConsoleAppAdapter::adaptCommand).
//
// The library logs each encoded field at the normal severity, so each
// benchmark runs at two log levels: "normal" (the default: every field
// written to the log file) and "errors" (only errors logged).
// Run: bench_commands
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "benchsupport.h"
#include "consoleappadapter.h"
#include "consolelogger.h"
#include "platform/platform_tools.h"
#include "structaccess.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

const char* const kDefinitions = R"(/* A 12-byte PHY command. */
START_ENUM
    ENUM_WITH_VALUE(PHYC_SET_RADIO_OP, 0x21)
END_ENUM
USER_PREDEFINE_VALUE(GAIN_MAX, 31)

OPEN_STRUCT_DECLARATION
    FIELD_UINT32(frequency);
    FIELD_INT16(offset);
    FIELD_UINT16(bandwidth);
    FIELD_UINT8(channel);
    FIELD_INT8(gain);
    FIELD_UINT16(flags);
END_STRUCT_DECLARATION(PhycSetRadio_t);
DEFINE_DEFAULT_VALUE(PhycSetRadio_t, bandwidth, 20)

DECLARE_COMMAND(PHYC_SET_RADIO_CMD, PHY_CMD_TYPE, PhycSetRadio_t, PHYC_SET_RADIO_OP, WAIT_NEEDED)
)";

const char* const kCommand = "PHYC_SET_RADIO_CMD";
const char* const kParameters =
    "frequency=2412000 offset=-125 bandwidth=40 channel=0x0B gain=GAIN_MAX flags=0x8001";
constexpr std::uint32_t kStructLength = 12;

struct Definitions {
    ScratchFolder folder;
    StructAccess database{"", "", nullptr};
};

Definitions& Parsed() {
    static const std::unique_ptr<Definitions> parsed = [] {
        auto made = std::make_unique<Definitions>();
        std::ofstream(made->folder.File("radio.h")) << kDefinitions;
        std::ofstream(made->folder.File("list.txt")) << "radio.h\n";
        made->database.structAccessInit(made->folder.File("list.txt"));
        return made;
    }();
    return *parsed;
}

// Arg 0: every field logged (the default severity); 1: errors only.
void SetLogLevel(const benchmark::State& state) {
    SetLogSeverityLevel(state.range(0) == 0 ? LOG_NORMAL : LOG_ERROR);
}

void BM_EncodeTwelveByteCommand(benchmark::State& state) {
    const StructAccess& database = Parsed().database;
    std::uint32_t length = 0;
    if (!database.getCommandLength(kCommand, length) || length != kStructLength) {
        state.SkipWithError("the command's structure is not 12 bytes");
        return;
    }
    SetLogLevel(state);
    const std::string name = kCommand;
    const std::string parameters = kParameters;
    std::array<std::uint8_t, kStructLength> bytes{};
    for (auto _ : state) {
        const bool encoded =
            database.adaptCommandParams(name, parameters, bytes.data(), bytes.size(), true);
        benchmark::DoNotOptimize(encoded);
        benchmark::DoNotOptimize(bytes.data());
        if (!encoded) {
            state.SkipWithError("the parameters were refused");
            break;
        }
    }
    SetLogSeverityLevel(LOG_NORMAL);
}
BENCHMARK(BM_EncodeTwelveByteCommand)->ArgName("errors_only")->Arg(0)->Arg(1);

void BM_AdaptPhyCommandLine(benchmark::State& state) {
    ConsoleAppAdapter adapter(&Parsed().database);
    SetLogLevel(state);
    const std::string line = std::string(kCommand) + " " + kParameters;
    std::array<std::uint8_t, kPhyConsoleCmdSize> phy{};
    std::array<std::uint8_t, kMacCmdBuffSize> mac{};
    bool isMac = false;
    std::uint32_t length = 0;
    bool responseExpected = false;
    bool isTunnel = false;
    for (auto _ : state) {
        const bool adapted =
            adapter.adaptCommand(line, phy, mac, isMac, length, responseExpected, isTunnel);
        benchmark::DoNotOptimize(adapted);
        benchmark::DoNotOptimize(phy.data());
        if (!adapted) {
            state.SkipWithError("the command line was refused");
            break;
        }
    }
    SetLogSeverityLevel(LOG_NORMAL);
}
BENCHMARK(BM_AdaptPhyCommandLine)->ArgName("errors_only")->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    // The library's log goes to a folder of the benchmark's own.
    ScratchFolder root;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", root.File(""));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Parsed();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
