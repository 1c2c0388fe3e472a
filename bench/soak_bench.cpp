// Soak: a long run of mixed host commands against the emulated dispatcher and
// chip, with faults sprinkled in, a small log wrap limit and reconnects.
// Prints resident memory, open descriptors (handles on Windows), threads and
// the log file's size at the start, every 10 % and at the end, as a Markdown
// table.
//
// The emulator is steered by its control lines (tools/emulator/README.md)
// wherever it runs: inside this program on Linux, or as a native process
// beside it, whose ports TB_EMULATOR_COMMAND_PORT and
// TB_EMULATOR_CONTROL_PORT name (tests/e2e/run_with_emulator.sh starts one):
// how the Windows build runs under Wine.
//
// The operations are a weighted table (native word write and read-back, PHY
// and MAC console commands, memory by symbol, capture, an EEPROM field read
// from the chip, a partial burn of one or two updated fields read back from
// the chip), and periodic ones: a sync every 5,000 commands and a load of the
// example firmware package every 10,000, checked by reading a version word
// through MEM_READ. A run shorter than a period has its periodic operation
// once, half-way.
//
// Every 40th command runs with one of the emulator's faults armed, in turn:
// dropped, late, misnumbered, stale, oversized or split answers, a busy
// mailbox, a reconnect, a disconnect, spoilt capture fragments (on whatever
// operation the mix draws), a dropped EEPROM chunk answer (on an EEPROM read
// or a partial burn) and a corrupted read-back (on a firmware load). The
// faulted operation may fail, and so may the next one; any other failure
// counts, and so does an operation that reports success although its fault
// spoils it for certain (the EEPROM and read-back faults).
//
// Run: bench_soak [commands] [--check]
//      run_with_emulator.sh <tb-emulator> wine bench_soak.exe [commands] [--check]
// (100,000 commands by default, at least 10.) --check makes the exit status fail when
// anything grows after the warm-up (the first 10 %; see Growth for what
// counts), or when an operation failed that was allowed none: the short
// CTest run. Such a failure ends a checked run at once: it has failed, and
// the rest would mostly wait out time-outs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "benchsupport.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "controlconnection.h"
#include "packets.h"
#include "platform/net.h"
#include "platform/platform_tools.h"
#include "testsupport.h"

#if __has_include("emulator.h")
#include "control.h"
#include "emulator.h"
#endif

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
    platform::ProcessResources process;
    std::uint64_t logBytes = 0;
};

Figures Measure() {
    Figures figures;
    figures.process = platform::CurrentProcessResources();
    std::error_code error;
    const auto size = fs::file_size(ConsoleLogger::Instance().FilePath(), error);
    figures.logBytes = error ? 0 : size;
    return figures;
}

// ------------------------------------------------------------------ the emulator

// The emulator as the soak steers it: one control line in, one answer line
// out ("ok ..." or "error ...").
class EmulatorLink {
public:
    virtual ~EmulatorLink() = default;
    virtual std::string Ask(const std::string& line) = 0;
    // The dispatcher's command port, which the library sends to.
    virtual std::uint16_t CommandPort() const = 0;
};

// A native emulator process beside this one, over its control port.
class EmulatorProcess final : public EmulatorLink {
public:
    bool Connect(std::uint16_t commandPort, std::uint16_t controlPort) {
        commandPort_ = commandPort;
        return control_.Connect(controlPort);
    }
    std::string Ask(const std::string& line) override { return control_.Ask(line); }
    std::uint16_t CommandPort() const override { return commandPort_; }

private:
    testsupport::ControlConnection control_;
    std::uint16_t commandPort_ = 0;
};

#if __has_include("emulator.h")
// The emulator inside this program: its control lines run directly.
class EmulatorInProcess final : public EmulatorLink {
public:
    EmulatorInProcess() : emulator_(tbemu::EmulatorOptions{}) {}
    bool Start(std::string& error) { return emulator_.Start(error); }
    std::string Ask(const std::string& line) override {
        bool shutdown = false;
        return tbemu::ExecuteControlLine(emulator_, line, shutdown);
    }
    std::uint16_t CommandPort() const override { return emulator_.CommandPort(); }

private:
    tbemu::Emulator emulator_;
};
#endif

// The emulator process the environment names, or else one inside this
// program where the build has it.
std::unique_ptr<EmulatorLink> StartEmulator(std::string& error) {
    const std::uint16_t commandPort = testsupport::PortFromEnvironment("TB_EMULATOR_COMMAND_PORT");
    const std::uint16_t controlPort = testsupport::PortFromEnvironment("TB_EMULATOR_CONTROL_PORT");
    if (commandPort != 0 && controlPort != 0) {
        auto process = std::make_unique<EmulatorProcess>();
        if (process->Connect(commandPort, controlPort)) return process;
        error = "no emulator on control port " + std::to_string(controlPort);
        return nullptr;
    }
#if __has_include("emulator.h")
    auto inProcess = std::make_unique<EmulatorInProcess>();
    if (inProcess->Start(error)) return inProcess;
#else
    error = "no emulator: set TB_EMULATOR_COMMAND_PORT and TB_EMULATOR_CONTROL_PORT (tests/e2e/run_with_emulator.sh)";
#endif
    return nullptr;
}

bool Accepted(const std::string& answer) { return answer == "ok" || answer.rfind("ok ", 0) == 0; }

// ------------------------------------------------------------------ the run

#ifdef TB_FIRMWARE_DIR
const char* const kFirmwarePackage = TB_FIRMWARE_DIR "/example.fwp";
#else
const char* const kFirmwarePackage = nullptr;
#endif
// What examples/firmware/mac.S carries in majorVersion.
constexpr std::uint32_t kExampleMajorVersion = 3;

struct Soak {
    ConsoleAppLogic& app;
    EmulatorLink& emulator;
    std::uint32_t sequence = 0;
    std::string lastFailure;
    // The value text each EEPROM field last read back from the chip with; a
    // field is left out while what the chip holds is not known (its burn
    // failed).
    std::map<std::string, std::string> eepromOnChip;

    bool Run(const std::string& line) { return Check(app.HandleCommand(line) == 0, line); }
    // False, with the library's failure text, when `ok` is false.
    bool Check(bool ok, const std::string& what) {
        if (!ok) lastFailure = what + ": " + app.FailureMessage();
        return ok;
    }
    bool Fail(const std::string& text) {
        lastFailure = text;
        return false;
    }
    // A control line the emulator must accept.
    bool Steer(const std::string& line) {
        const std::string answer = emulator.Ask(line);
        return Accepted(answer) || Fail("the emulator refused \"" + line + "\": " + answer);
    }
    std::string Result() const { return std::string(app.ResultBuffer(), app.ResultLength()); }
    // The text the EEPROM reads leave (their length is not counted).
    std::string TextResult() const { return app.ResultBuffer(); }
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
    return soak.Fail("NATIVE_READ_WORD_CMD " + address + " read back something else");
}

bool PhyCommand(Soak& soak) { return soak.Run("PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001"); }
bool MacCommand(Soak& soak) { return soak.Run("UMAC_SET_MODE_CMD mode=2 timeout=500 powerOffset=-3"); }

bool MemoryCommands(Soak& soak) {
    return soak.Run("MEM_WRITE MAC_FILE_TYPE g_macStats 4 " + Hex(++soak.sequence)) &&
           soak.Run("MEM_READ STRUCT PHY_STATE temperature");
}

bool Capture(Soak& soak) {
    if (!soak.Run("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=1000 source=1")) return false;
    const std::vector<std::uint8_t> expected = testsupport::EmulatorCapturePattern(kCaptureBytes);
    if (soak.Result() == std::string(expected.begin(), expected.end())) return true;
    return soak.Fail("capture came back different");
}

// ------------------------------------------------------------------ EEPROM

// Fields of the example layout (examples/definitions/eeprom.h) that the soak
// updates, with the n-th value for each inside its fixed-point range.
struct EepromField {
    const char* name;
    double (*value)(std::uint32_t n);
};
const EepromField kEepromFields[] = {
    {"TxPowerGain", [](std::uint32_t n) { return static_cast<double>(n % 1000) / 8; }},  // unsigned 8.8
    {"RxGainStep", [](std::uint32_t n) { return static_cast<double>(n % 64) / 4; }},     // unsigned 4.4
    {"CrystalTrim", [](std::uint32_t n) { return (static_cast<double>(n % 64) - 32) / 8; }},  // signed 4.8
};
// The fields a partial burn updates, in turn: one field; two adjacent fields
// (one run); two fields apart (two runs).
const std::vector<std::size_t> kBurnSets[] = {{0}, {0, 1}, {2, 0}};

bool ReadEepromField(Soak& soak) {
    const std::string name = kEepromFields[++soak.sequence % std::size(kEepromFields)].name;
    if (!soak.Check(soak.app.ReadFieldFromEeprom(name) == 0, "ReadFieldFromEeprom " + name)) return false;
    const std::string value = soak.TextResult();
    const auto known = soak.eepromOnChip.emplace(name, value).first;
    if (known->second == value) return true;
    return soak.Fail("ReadFieldFromEeprom " + name + " gave " + value + ", the chip was given " + known->second);
}

// Reads `name` from the image and from the chip: both must hold `value`.
bool BurntFieldReadsBack(Soak& soak, const std::string& name, double value) {
    if (!soak.Check(soak.app.ReadFieldFromVolatile(name) == 0, "ReadFieldFromVolatile " + name)) return false;
    const std::string image = soak.TextResult();
    if (std::strtod(image.c_str(), nullptr) != value) {
        return soak.Fail("the image holds " + name + " = " + image + " after an update to " + std::to_string(value));
    }
    if (!soak.Check(soak.app.ReadFieldFromEeprom(name) == 0, "ReadFieldFromEeprom " + name)) return false;
    if (soak.TextResult() != image) {
        return soak.Fail("the chip holds " + name + " = " + soak.TextResult() + " after burning " + image);
    }
    soak.eepromOnChip[name] = image;
    return true;
}

bool PartialBurn(Soak& soak) {
    const std::uint32_t n = ++soak.sequence;
    const std::vector<std::size_t>& fields = kBurnSets[n % std::size(kBurnSets)];
    for (const std::size_t field : fields) {
        const std::string name = kEepromFields[field].name;
        soak.eepromOnChip.erase(name);  // unknown until it reads back
        const std::string value = std::to_string(kEepromFields[field].value(n));
        if (!soak.Check(soak.app.UpdateEepromField(name, value) == 0, "UpdateEepromField " + name)) return false;
    }
    if (!soak.Check(soak.app.BurnEeprom(true) == 1, "BurnEeprom(partial)")) return false;
    for (const std::size_t field : fields) {
        if (!BurntFieldReadsBack(soak, kEepromFields[field].name, kEepromFields[field].value(n))) return false;
    }
    return true;
}

// The chip gets the whole image once, so that every field's value is known.
bool SetUpEeprom(Soak& soak) {
    if (!soak.Check(soak.app.InitEepromInterface(0, "") == 0, "InitEepromIF") ||
        !soak.Check(soak.app.BurnEeprom(false) == 1, "BurnEeprom(full)")) {
        return false;
    }
    for (const EepromField& field : kEepromFields) {
        if (!soak.Check(soak.app.ReadFieldFromVolatile(field.name) == 0, field.name)) return false;
        soak.eepromOnChip[field.name] = soak.TextResult();
    }
    return true;
}

// ------------------------------------------------------------------ firmware

// Loads the example package and reads its MAC major version back by symbol;
// the word is spoilt first, so that only the load can have put it back.
bool LoadFirmware(Soak& soak) {
    if (!soak.Run("MEM_WRITE MAC_FILE_TYPE majorVersion 4 0x0")) return false;
    if (!soak.Check(soak.app.LoadFirmware(testsupport::LibraryPath(kFirmwarePackage)) == 0, "LoadFW")) return false;
    if (!soak.Run("MEM_READ MAC_FILE_TYPE majorVersion 4")) return false;
    const auto* word = reinterpret_cast<const std::uint8_t*>(soak.app.ResultBuffer());
    if (soak.app.ResultLength() >= 4 && GetBe32(word) == kExampleMajorVersion) return true;
    return soak.Fail("the loaded firmware's majorVersion read back as something else");
}

// ------------------------------------------------------------------ the mix

struct Operation {
    const char* name;
    int weight;
    bool (*run)(Soak&);
};

const Operation kOperations[] = {
    {"native word", 30, NativeWordRoundTrip}, {"phy command", 25, PhyCommand}, {"mac command", 15, MacCommand},
    {"memory", 20, MemoryCommands},           {"capture", 10, Capture},         {"eeprom read", 10, ReadEepromField},
    {"eeprom partial burn", 5, PartialBurn},
};

// Operations that run every `period` commands instead (once, half-way, in a
// shorter run), before that command's own operation.
struct PeriodicOperation {
    const char* name;
    int period;
    bool (*run)(Soak&);
    bool needsFirmware;
};
const PeriodicOperation kPeriodicOperations[] = {
    {"sync", 5000, [](Soak& soak) { return soak.Check(soak.app.SyncChipAccess() == 0, "sync"); }, false},
    {"firmware load", 10000, LoadFirmware, true},
};

bool Due(const PeriodicOperation& periodic, int done, int commands) {
    if (periodic.needsFirmware && kFirmwarePackage == nullptr) return false;
    return periodic.period <= commands ? done % periodic.period == 0 : done == commands / 2;
}

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

// ------------------------------------------------------------------ faults

struct Fault {
    const char* name;
    // The control line that arms it; `round` counts the rotations so far.
    std::string (*line)(int round);
    // How long its effect outlasts the command: answers made late leave
    // after their time, and the emulator keeps its answers in order, so they
    // would hold back the next ones too.
    int settleMs;
    // The operation the fault is meant for, run instead of one drawn from the
    // mix; the fault spoils it for certain, so it must fail. Null: any.
    bool (*only)(Soak&);
};

// The rotation; the last one needs the firmware package.
const Fault kFaults[] = {
    {"dropped answer", [](int) -> std::string { return "drop-next 1"; }, 0, nullptr},
    {"late answers", [](int) { return "delay " + std::to_string(kCommandTimeoutMs + 50); }, kCommandTimeoutMs + 100,
     nullptr},
    {"wrong number", [](int) -> std::string { return "wrong-number 1"; }, 0, nullptr},
    {"stale answer", [](int) -> std::string { return "stale 1"; }, 0, nullptr},
    {"oversized answer", [](int) -> std::string { return "oversize 1"; }, 0, nullptr},
    {"split writes", [](int) -> std::string { return "split 7"; }, 0, nullptr},
    {"busy mailbox", [](int) -> std::string { return "busy 3"; }, 0, nullptr},
    {"reconnect", [](int) -> std::string { return "reconnect"; }, 0, nullptr},
    {"disconnect", [](int) -> std::string { return "disconnect 20"; }, 0, nullptr},
    {"fragments out of order", [](int) -> std::string { return "event-fault out-of-order 1"; }, 0, nullptr},
    {"dropped EEPROM chunk on a read", [](int) -> std::string { return "eeprom-fault drop 1"; }, 0, ReadEepromField},
    {"dropped EEPROM chunk on a burn", [](int) -> std::string { return "eeprom-fault drop 1"; }, 0, PartialBurn},
    // Somewhere in the MAC image's first pieces.
    {"corrupted read-back", [](int round) { return "corrupt-read " + std::to_string(1 + round % 8); }, 0,
     LoadFirmware},
};

int FaultsInRotation() { return static_cast<int>(std::size(kFaults)) - (kFirmwarePackage == nullptr ? 1 : 0); }

// Faults off; the capture length back to the soak's.
bool ClearFaults(Soak& soak) {
    return soak.Steer("reset") && soak.Steer("capture-length " + std::to_string(kCaptureBytes));
}

// Failures, told apart by how far they are from the last fault.
struct Tally {
    std::map<std::string, int> runs;  // by operation
    int faulted = 0;
    int faultedFailures = 0;
    int cleanFailures = 0;
    std::vector<std::string> notes;  // the first few clean failures
    const char* lastFault = "none";
    int sinceFault = 2;  // operations since the faulted one: 0 while it runs

    void Armed(const char* fault) {
        lastFault = fault;
        sinceFault = 0;
    }
    void Record(bool ok, bool mustFail, int done, const std::string& failure) {
        if (ok && mustFail) {
            Clean(done, "reported success under a fault that spoils it");
        } else if (!ok && sinceFault < 2) {
            ++faultedFailures;
        } else if (!ok) {
            Clean(done, failure);
        }
        ++sinceFault;
    }
    void Clean(int done, const std::string& text) {
        if (cleanFailures++ >= 5) return;
        notes.push_back("command " + std::to_string(done) + ", " + std::to_string(sinceFault) + " after a fault (" +
                        lastFault + "): " + text);
    }
};

// One command of the run: the periodic operations due, then one drawn from
// the mix or, every kFaultEvery commands, the one the fault in turn is meant
// for.
void RunCommand(Soak& soak, int done, int commands, std::uint32_t draw, Tally& tally) {
    for (const PeriodicOperation& periodic : kPeriodicOperations) {
        if (!Due(periodic, done, commands)) continue;
        ++tally.runs[periodic.name];
        tally.Record(periodic.run(soak), false, done, soak.lastFailure);
    }
    const Operation& drawn = PickOperation(draw);
    if (done % kFaultEvery != 0) {
        ++tally.runs[drawn.name];
        tally.Record(drawn.run(soak), false, done, soak.lastFailure);
        return;
    }
    const int turn = tally.faulted++;
    const Fault& fault = kFaults[turn % FaultsInRotation()];
    if (!soak.Steer(fault.line(turn / FaultsInRotation()))) {
        tally.Clean(done, soak.lastFailure);
        return;
    }
    tally.Armed(fault.name);
    const bool ok = fault.only != nullptr ? fault.only(soak) : drawn.run(soak);
    if (!ClearFaults(soak)) tally.Clean(done, soak.lastFailure);
    std::this_thread::sleep_for(std::chrono::milliseconds(fault.settleMs));
    ++tally.runs[fault.only != nullptr ? fault.name : drawn.name];
    tally.Record(ok, fault.only != nullptr, done, soak.lastFailure);
}

void PrintHeader(int commands) {
    std::printf("Soak: %d commands, a fault every %d, log wrap at %llu bytes%s\n\n", commands, kFaultEvery,
                static_cast<unsigned long long>(kLogWrapBytes),
                kFirmwarePackage == nullptr ? " (no example firmware package: no firmware loads)" : "");
    std::printf("| after | commands | resident KiB | %s | threads | log bytes | seconds |\n",
                platform::OpenHandlesName());
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
}

void PrintRow(const std::string& when, int done, const Figures& f, double seconds) {
    std::printf("| %s | %d | %zu | %zu | %zu | %llu | %.0f |\n", when.c_str(), done, f.process.residentKiB,
                f.process.openHandles, f.process.threads, static_cast<unsigned long long>(f.logBytes), seconds);
    std::fflush(stdout);
}

void PrintTally(const Tally& tally) {
    std::printf("\nOperations:");
    const char* separator = " ";
    for (const auto& run : tally.runs) {
        std::printf("%s%s %d", separator, run.first.c_str(), run.second);
        separator = ", ";
    }
    std::printf("\nCommands with a fault armed: %d; failures there or right after: %d; failures elsewhere: %d\n",
                tally.faulted, tally.faultedFailures, tally.cleanFailures);
    for (const std::string& note : tally.notes) std::printf("Failure away from a fault: %s\n", note.c_str());
}

// Growth after the warm-up that --check refuses. `rows` are the figures at
// the start, every 10 % and at the end; the warm-up is the first 10 %.
std::vector<std::string> Growth(const std::vector<Figures>& rows) {
    std::vector<std::string> found;
    const platform::ProcessResources& warm = rows[std::min<std::size_t>(1, rows.size() - 1)].process;
    const platform::ProcessResources& end = rows.back().process;
    if (end.residentKiB > warm.residentKiB + std::max<std::size_t>(768, warm.residentKiB / 20)) {
        found.push_back("resident memory grew from " + std::to_string(warm.residentKiB) + " to " +
                        std::to_string(end.residentKiB) + " KiB");
    }
    // Descriptors or handles: the end may hold at most three more than the
    // warm-up's end, and only three steps after it may set a new high. Wine
    // opens some handles the first time a path runs, and the thread library
    // gives a lock its wait object when two threads first meet on it; since
    // the receiving thread keeps out of the host's way, that can fall long
    // after the warm-up (seen: one to three more, at one to three steps,
    // then flat): steps, not a slope. A leak of one per fault or reconnect keeps
    // setting new highs.
    std::size_t high = warm.openHandles;
    int newHighs = 0;
    for (std::size_t row = 2; row < rows.size(); ++row) {
        if (rows[row].process.openHandles > high) ++newHighs;
        high = std::max(high, rows[row].process.openHandles);
    }
    if (end.openHandles > warm.openHandles + 3 || newHighs > 3) {
        found.push_back(std::string("open ") + platform::OpenHandlesName() + " grew from " +
                        std::to_string(warm.openHandles) + " to " + std::to_string(end.openHandles) + " (" +
                        std::to_string(newHighs) + " steps to a new high)");
    }
    if (end.threads > warm.threads) found.push_back("threads grew");
    if (rows.back().logBytes > kLogWrapBytes + 64 * 1024) found.push_back("the log grew past its wrap limit");
    return found;
}

// The emulator ready for the library: faults off, records cleared, the
// example definitions, the library's port. Empty, or what went wrong.
std::string SetUpEmulator(EmulatorLink& emulator, const std::string& listFile, std::uint16_t libraryPort) {
    const std::string lines[] = {"reset", "clear", "definitions " + listFile,
                                 "library-port " + std::to_string(libraryPort),
                                 "capture-length " + std::to_string(kCaptureBytes)};
    for (const std::string& line : lines) {
        const std::string answer = emulator.Ask(line);
        if (!Accepted(answer)) return "\"" + line + "\": " + answer;
    }
    return std::string();
}

// The commands; the figures at the start, every 10 % and at the end (of the
// commands run: `stopAtFailure` ends the run at the first failure that counts).
std::vector<Figures> RunSoak(Soak& soak, int commands, bool stopAtFailure, Tally& tally) {
    const auto started = Clock::now();
    const auto elapsed = [&started] { return Milliseconds(Clock::now() - started) / 1000.0; };
    std::vector<Figures> rows{Measure()};
    PrintRow("start", 0, rows.back(), 0);
    const int step = std::max(1, commands / 10);
    std::uint32_t draw = 12345;
    int done = 0;
    while (done < commands) {
        ++done;
        draw = draw * 1103515245u + 12345u;
        RunCommand(soak, done, commands, draw >> 8, tally);
        // The emulator records everything it receives; only the library's
        // own growth is of interest.
        if (done % 500 == 0 && !soak.Steer("clear")) tally.Clean(done, soak.lastFailure);
        if (stopAtFailure && tally.cleanFailures > 0) {
            std::printf("Stopped after command %d: a failure away from the faults fails the check.\n", done);
            break;
        }
        if (done % step == 0 && done < commands) {
            rows.push_back(Measure());
            PrintRow(std::to_string(done * 100 / commands) + " %", done, rows.back(), elapsed());
        }
    }
    rows.push_back(Measure());
    PrintRow("end", done, rows.back(), elapsed());
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const usage = "bench_soak [commands, at least 10] [--check]";
    bool check = false;
    bool counted = false;
    int commands = kDefaultCommands;
    for (int at = 1; at < argc; ++at) {
        const std::string arg = argv[at];
        if (arg == "--check" && !check) {
            check = true;
        } else if (arg.rfind("--", 0) != 0 && !counted) {
            commands = CountArgument(argv[at], 10, "commands", usage);
            counted = true;
        } else {
            UsageError("unexpected argument: " + arg, usage);
        }
    }
    const std::string examples = std::string(TB_SOURCE_DIR) + "/examples";
    const std::string listFile = examples + "/definitions/list.txt";

    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    LoggerEnvironment logEnvironment = LoggerEnvironment::System();
    logEnvironment.wrapLimit = kLogWrapBytes;
    ConsoleLogger::CreateInstance(logEnvironment);
    platform::StartSocketLibrary();

    std::string error;
    const std::unique_ptr<EmulatorLink> emulator = StartEmulator(error);
    const std::uint16_t libraryPort = testsupport::FreeLoopbackTcpPort();
    if (emulator && libraryPort == 0) error = "no free port for the library";
    if (emulator && error.empty()) error = SetUpEmulator(*emulator, listFile, libraryPort);
    if (!emulator || !error.empty()) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }

    using testsupport::LibraryPath;
    ConsoleAppLogic app(emulator->CommandPort(), "127.0.0.1", libraryPort, LibraryPath(examples + "/maps/mac.map"),
                        LibraryPath(examples + "/maps/phy.map"), LibraryPath(listFile));
    app.SetCommandTimeout(kCommandTimeoutMs);
    app.SetInternalCommandTimeout(kInternalTimeoutMs);
    Soak soak{app, *emulator, 0, std::string(), {}};
    if (!SetUpEeprom(soak)) {
        std::fprintf(stderr, "EEPROM set-up: %s\n", soak.lastFailure.c_str());
        return 1;
    }

    PrintHeader(commands);
    Tally tally;
    const std::vector<Figures> rows = RunSoak(soak, commands, check, tally);
    PrintTally(tally);
    const std::vector<std::string> growth = Growth(rows);
    for (const std::string& text : growth) std::printf("Growth after the warm-up: %s\n", text.c_str());
    if (growth.empty()) std::printf("Flat after the warm-up (the first 10 %%).\n");
    return check && (!growth.empty() || tally.cleanFailures > 0) ? 1 : 0;
}
