// Soak: a long run of mixed host commands against the emulated dispatcher and
// chip in this process, with faults sprinkled in, a small log wrap limit and
// reconnects. Prints resident memory, open descriptors, threads and the log
// file's size at the start, every 10 % and at the end, as a Markdown table.
//
// The operations are a weighted table (native word write and read-back, PHY
// and MAC console commands, memory by symbol, capture); EEPROM reads and
// partial burns, and a firmware load every 10,000 commands, join the table
// when the library has them (see kOperations and kPeriodicOperations).
//
// Every 40th command runs with one of the emulator's faults armed (dropped,
// late, misnumbered, stale, oversized or split answers, a busy mailbox, a
// reconnect, a disconnect, spoilt capture fragments); it may fail, and so may
// the one after it. Every other command must succeed.
//
// Run: bench_soak [commands] [--check]
// (100,000 commands by default.) --check makes the exit status fail when
// anything grows between the end of the warm-up (the first 10 %) and the
// end, or when a command without a fault failed: the short CTest run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if __has_include("emulator.h")

#include <unistd.h>

#include "benchsupport.h"
#include "commandexecutor.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "emulator.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "socketutil.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

constexpr int kDefaultCommands = 100000;
constexpr int kCommandTimeoutMs = 400;
constexpr int kInternalTimeoutMs = 200;
constexpr std::uint64_t kLogWrapBytes = 1 << 20;
constexpr int kFaultEvery = 40;
constexpr std::size_t kCaptureBytes = 1000;

// ------------------------------------------------------------------ figures

struct Figures {
    std::size_t residentKiB = 0;
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    std::uint64_t logBytes = 0;
};

std::size_t EntriesIn(const char* folder) {
    std::size_t count = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
    return count;
}

Figures Measure() {
    Figures figures;
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages >> figures.residentKiB;
    figures.residentKiB = figures.residentKiB * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
    figures.descriptors = EntriesIn("/proc/self/fd");
    figures.threads = EntriesIn("/proc/self/task");
    std::error_code error;
    const auto size = fs::file_size(ConsoleLogger::Instance().FilePath(), error);
    figures.logBytes = error ? 0 : size;
    return figures;
}

// ------------------------------------------------------------------ the run

struct Soak {
    ConsoleAppLogic& app;
    tbemu::Emulator& emulator;
    std::uint32_t sequence = 0;
    std::string lastFailure;

    bool Run(const std::string& line) {
        if (app.HandleCommand(line) == 0) return true;
        lastFailure = line + ": " + app.FailureMessage();
        return false;
    }
    std::string Result() const { return std::string(app.ResultBuffer(), app.ResultLength()); }
};

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

bool NativeWordRoundTrip(Soak& soak) {
    const std::uint32_t value = 0x5A000000u | ++soak.sequence;
    const std::string address = Hex(0xBFC00100u + (soak.sequence % 64) * 4);
    if (!soak.Run("NATIVE_WRITE_WORD_CMD " + address + " " + Hex(value))) return false;
    if (!soak.Run("NATIVE_READ_WORD_CMD " + address)) return false;
    // The answer carries the word as hexadecimal text from byte 2.
    const std::string text = soak.Result();
    if (text.size() > 2 && std::strtoul(text.c_str() + 2, nullptr, 16) == value) return true;
    soak.lastFailure = "NATIVE_READ_WORD_CMD " + address + " read back something else";
    return false;
}

bool PhyCommand(Soak& soak) { return soak.Run("PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001"); }
bool MacCommand(Soak& soak) { return soak.Run("UMAC_SET_MODE_CMD mode=2 timeout=500 powerOffset=-3"); }

bool MemoryCommands(Soak& soak) {
    return soak.Run("MEM_WRITE MAC_FILE_TYPE g_macStats 4 " + Hex(++soak.sequence)) &&
           soak.Run("MEM_READ STRUCT PHY_STATE temperature");
}

bool Capture(Soak& soak) {
    if (!soak.Run("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=1000 source=1")) return false;
    const tbemu::Bytes expected = tbemu::CapturePattern(kCaptureBytes);
    if (soak.Result() == std::string(expected.begin(), expected.end())) return true;
    soak.lastFailure = "capture came back different";
    return false;
}

struct Operation {
    const char* name;
    int weight;
    bool (*run)(Soak&);
};

// The mix. EEPROM reads ({"eeprom read", 10, ...}) and partial burns join it
// with the EEPROM operations.
const Operation kOperations[] = {
    {"native word", 30, NativeWordRoundTrip}, {"phy command", 25, PhyCommand}, {"mac command", 15, MacCommand},
    {"memory", 20, MemoryCommands},           {"capture", 10, Capture},
};

// Operations that run every `period` commands instead; the firmware load
// ({"firmware load", 10000, ...}) joins here with the firmware loader.
struct PeriodicOperation {
    const char* name;
    int period;
    bool (*run)(Soak&);
};
const PeriodicOperation kPeriodicOperations[] = {
    {"sync", 5000, [](Soak& soak) { return soak.app.SyncChipAccess() == 0; }},
};

const Operation& PickOperation(std::uint32_t draw) {
    int total = 0;
    for (const Operation& operation : kOperations) total += operation.weight;
    int left = static_cast<int>(draw % static_cast<std::uint32_t>(total));
    for (const Operation& operation : kOperations) {
        if (left < operation.weight) return operation;
        left -= operation.weight;
    }
    return kOperations[0];
}

struct ArmedFault {
    const char* name;
    // How long its effect outlasts the command: answers made late leave
    // after their time, and the emulator keeps its answers in order, so they
    // would hold back the next ones too.
    int settleMs = 0;
};

// One fault for the next command, taken in turn.
ArmedFault ArmFault(tbemu::Emulator& emulator, int turn) {
    switch (turn % 10) {
        case 0: emulator.DropNextAnswers(1); return {"dropped answer"};
        case 1: emulator.SetAnswerDelay(kCommandTimeoutMs + 50); return {"late answers", kCommandTimeoutMs + 100};
        case 2: emulator.WrongNumberForNextAnswers(1); return {"wrong number"};
        case 3: emulator.StaleAnswerBeforeNext(1); return {"stale answer"};
        case 4: emulator.OversizeNextAnswers(1); return {"oversized answer"};
        case 5: emulator.SplitWrites(7); return {"split writes"};
        case 6: emulator.KeepCounterBusy(3); return {"busy mailbox"};
        case 7: emulator.ReconnectBeforeNextAnswer(); return {"reconnect"};
        case 8: emulator.Disconnect(20); return {"disconnect"};
        default: emulator.ArmEventFault(tbemu::EventFault::FragmentsOutOfOrder, 1); return {"fragments out of order"};
    }
}

std::string Row(const char* when, int done, const Figures& f, double seconds) {
    char row[200];
    std::snprintf(row, sizeof row, "| %s | %d | %zu | %zu | %zu | %llu | %.0f |", when, done, f.residentKiB,
                  f.descriptors, f.threads, static_cast<unsigned long long>(f.logBytes), seconds);
    return row;
}

// Growth between the end of the warm-up and the end that --check refuses.
std::vector<std::string> Growth(const Figures& warm, const Figures& end) {
    std::vector<std::string> found;
    if (end.residentKiB > warm.residentKiB + std::max<std::size_t>(768, warm.residentKiB / 20)) {
        found.push_back("resident memory grew from " + std::to_string(warm.residentKiB) + " to " +
                        std::to_string(end.residentKiB) + " KiB");
    }
    if (end.descriptors > warm.descriptors + 1) found.push_back("open descriptors grew");
    if (end.threads > warm.threads) found.push_back("threads grew");
    if (end.logBytes > kLogWrapBytes + 64 * 1024) found.push_back("the log grew past its wrap limit");
    return found;
}

std::uint16_t FreeTcpPort() {
    std::string error;
    const tbemu::Fd probe = tbemu::ListenTcp("127.0.0.1", 0, error);
    return probe.Valid() ? tbemu::LocalPort(probe.Get()) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool check = std::find(args.begin(), args.end(), "--check") != args.end();
    int commands = kDefaultCommands;
    for (const std::string& arg : args) {
        if (arg != "--check") commands = std::max(10, std::atoi(arg.c_str()));
    }
    const std::string examples = std::string(TB_SOURCE_DIR) + "/examples";
    const std::string listFile = examples + "/definitions/list.txt";

    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    LoggerEnvironment logEnvironment = LoggerEnvironment::System();
    logEnvironment.wrapLimit = kLogWrapBytes;
    ConsoleLogger::CreateInstance(logEnvironment);
    platform::StartSocketLibrary();

    tbemu::EmulatorOptions options;
    options.libraryPort = FreeTcpPort();
    tbemu::Emulator emulator(options);
    std::string error;
    if (options.libraryPort == 0 || !emulator.Start(error) || !emulator.LoadDefinitions(listFile, error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    emulator.SetCaptureLength(kCaptureBytes);

    ConsoleAppLogic app(emulator.CommandPort(), "127.0.0.1", options.libraryPort, examples + "/maps/mac.map",
                        examples + "/maps/phy.map", listFile);
    app.SetCommandTimeout(kCommandTimeoutMs);
    app.SetInternalCommandTimeout(kInternalTimeoutMs);
    Soak soak{app, emulator, 0, std::string()};

    std::printf("Soak: %d commands, a fault every %d, log wrap at %llu bytes\n\n", commands, kFaultEvery,
                static_cast<unsigned long long>(kLogWrapBytes));
    std::printf("| after | commands | resident KiB | descriptors | threads | log bytes | seconds |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    const auto started = Clock::now();
    const auto elapsed = [&started] { return Milliseconds(Clock::now() - started) / 1000.0; };
    std::printf("%s\n", Row("start", 0, Measure(), 0).c_str());
    std::fflush(stdout);

    const int step = std::max(1, commands / 10);
    Figures warm = Measure();
    int faulted = 0;
    int faultedFailures = 0;
    int cleanFailures = 0;
    std::vector<std::string> cleanFailureNotes;  // the first few
    ArmedFault lastFault{"none"};
    int sinceFault = 2;
    std::uint32_t draw = 12345;
    for (int done = 1; done <= commands; ++done) {
        draw = draw * 1103515245u + 12345u;
        const bool withFault = done % kFaultEvery == 0;
        if (withFault) lastFault = ArmFault(emulator, faulted++);
        bool ok = PickOperation(draw >> 8).run(soak);
        for (const PeriodicOperation& periodic : kPeriodicOperations) {
            if (done % periodic.period == 0) ok = periodic.run(soak) && ok;
        }
        if (withFault) {
            emulator.ClearFaults();
            std::this_thread::sleep_for(std::chrono::milliseconds(lastFault.settleMs));
            sinceFault = 0;
        }
        if (!ok && sinceFault < 2) {
            ++faultedFailures;
        } else if (!ok && cleanFailures++ < 5) {
            cleanFailureNotes.push_back("command " + std::to_string(done) + ", " + std::to_string(sinceFault) +
                                         " after a fault (" + lastFault.name + "): " + soak.lastFailure);
        }
        ++sinceFault;
        // The emulator records everything it receives; only the library's
        // own growth is of interest.
        if (done % 500 == 0) emulator.ClearRecords();
        if (done % step == 0 && done < commands) {
            const Figures now = Measure();
            if (done == step) warm = now;
            std::printf("%s\n", Row((std::to_string(done * 100 / commands) + " %").c_str(), done, now, elapsed()).c_str());
            std::fflush(stdout);
        }
    }
    const Figures end = Measure();
    std::printf("%s\n", Row("end", commands, end, elapsed()).c_str());
    std::printf("\nCommands with a fault armed: %d; failures there or right after: %d; failures elsewhere: %d\n",
                faulted, faultedFailures, cleanFailures);
    for (const std::string& note : cleanFailureNotes) std::printf("Failure away from a fault: %s\n", note.c_str());

    const std::vector<std::string> growth = Growth(warm, end);
    for (const std::string& text : growth) std::printf("Growth after the warm-up: %s\n", text.c_str());
    if (growth.empty()) std::printf("Flat after the warm-up (the first 10 %%).\n");
    return check && (!growth.empty() || cleanFailures > 0) ? 1 : 0;
}

#else

int main() {
    std::printf("soak: needs the emulator, which this build does not have\n");
    return 0;
}

#endif
