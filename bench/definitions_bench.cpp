// Start-up cost of the definition files: a generated set of 200,000 lines in
// the shape firmware teams write them (commented headers, structures with
// their commands, enumerations, event sets, predefined values, EEPROM
// sections, a few memory operations against map files) parsed through the
// list file into a fresh database.
//
// Prints the parse rate (lines_per_second) and the process's peak resident
// memory (peak_rss_MiB, from VmHWM). Run: bench_definitions
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "benchsupport.h"
#include "consolelogger.h"
#include "eeprominterface.h"
#include "platform/platform_tools.h"
#include "structaccess.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

constexpr std::size_t kTotalLines = 200000;
constexpr std::size_t kLinesPerFile = 10000;
constexpr std::size_t kMapSymbols = 5000;

// Writes definition text one line at a time and counts the lines.
class DefinitionWriter {
public:
    DefinitionWriter(std::uint32_t seed, bool memoryOperations)
        : random_(seed), memoryOperations_(memoryOperations) {}

    std::size_t Lines() const { return lines_; }
    std::size_t MemoryOperations() const { return memoryOperationCount_; }
    std::string Take() {
        std::string text = text_.str();
        text_.str(std::string());
        return text;
    }

    // One block of related lines, chosen in the proportions of real files.
    void Block() {
        const std::uint32_t pick = Below(100);
        if (pick < 40) {
            Structure();
        } else if (pick < 58) {
            Enumeration();
        } else if (pick < 68) {
            Events();
        } else if (pick < 78) {
            Comment();
        } else if (pick < 86) {
            PredefinedValues();
        } else if (pick < 95) {
            EepromSection();
        } else if (pick < 96 && memoryOperations_) {
            MemoryOperation();
        } else {
            Blanks();
        }
    }

    void Header(const std::string& guard) {
        Line("/*");
        Line(" * " + guard + ": generated console definitions.");
        Line(" */");
        Line("#ifndef " + guard);
        Line("#define " + guard);
        Line("");
    }
    void Footer(const std::string& guard) { Line("#endif /* " + guard + " */"); }
    void EndOfEeprom() { Line("EEPROM_EOB_SECTION"); }

private:
    std::uint32_t Below(std::uint32_t limit) { return static_cast<std::uint32_t>(random_() % limit); }
    std::string Name(const char* prefix) { return prefix + std::to_string(++serial_); }
    void Line(const std::string& line) {
        text_ << line << '\n';
        ++lines_;
    }

    void Structure() {
        static const char* const kFields[] = {"FIELD_UINT8", "FIELD_INT8", "FIELD_UINT16",
                                              "FIELD_INT16", "FIELD_UINT32", "FIELD_INT32",
                                              "FIELD_FIXED_POINT16", "FIELD_FIXED_POINT32"};
        const std::string structName = Name("Struct") + "_t";
        const bool isPhy = Below(2) == 0;
        Line("OPEN_STRUCT_DECLARATION");
        const std::uint32_t fields = 2 + Below(isPhy ? 3 : 8);
        std::string firstField;
        for (std::uint32_t i = 0; i < fields; ++i) {
            const std::string field = "field" + std::to_string(i) + "Value";
            if (i == 0) firstField = field;
            const char* kind = kFields[Below(isPhy ? 4 : 8)];
            Line(std::string("    ") + kind + "(" + field + ");" +
                 (Below(4) == 0 ? "   // " + field + " in units of the chip" : ""));
        }
        Line("END_STRUCT_DECLARATION(" + structName + ");");
        if (Below(3) == 0) Line("DEFINE_DEFAULT_VALUE(" + structName + ", " + firstField + ", 1)");
        const std::string command = Name(isPhy ? "PHYC_CMD_" : "UMAC_CMD_");
        Line("DECLARE_COMMAND(" + command + ", " + (isPhy ? "PHY_CMD_TYPE, " : "MAC_CMD_TYPE, ") +
             structName + ", " + command + "_OP, " +
             (Below(5) == 0 ? "WAIT_NOT_NEEDED" : "WAIT_NEEDED") + ")");
        Line("");
    }

    void Enumeration() {
        Line("START_ENUM");
        const std::string first = Name("ENUM_BASE_");
        Line("    ENUM_WITH_VALUE(" + first + ", 0x" + std::to_string(10 + Below(80)) + ")");
        const std::uint32_t members = 3 + Below(10);
        for (std::uint32_t i = 0; i < members; ++i) {
            const std::uint32_t form = Below(10);
            const std::string name = Name("ENUM_VALUE_");
            if (form < 6) {
                Line("    ENUM_NO_VALUE(" + name + ")");
            } else if (form < 7) {
                Line("    ENUM_WITH_ENUM_VALUE(" + name + ", " + first + ")");
            } else if (form < 8) {
                Line("    ENUM_OR_VALUE(" + name + ", 0x80, " + first + ")");
            } else if (form < 9) {
                Line("    ENUM_COMBINED_NO_VALUE(" + name + ", " + first + ")");
            } else {
                Line("    ENUM_COMBINED_WITH_VALUE(" + name + ", " + first + ", 0x02)");
            }
        }
        Line("END_ENUM");
        Line("");
    }

    void Events() {
        const bool general = Below(4) == 0;
        const char* processor = Below(2) == 0 ? "PHY_CMD_TYPE" : "MAC_CMD_TYPE";
        Line(std::string(general ? "START_GNRL_EVNTS_ENUM(" : "START_EVENTS_ENUM(") + processor +
             ")");
        const std::string with = general ? "ENUM_GNRL_EVNTS_WITH_VALUE(" : "ENUM_EVENTS_WITH_VALUE(";
        const std::string next = general ? "ENUM_GNRL_EVNTS_NO_VALUE(" : "ENUM_EVENTS_NO_VALUE(";
        Line("    " + with + Name("EVT_") + ", " + std::to_string(Below(60000)) + ")");
        const std::uint32_t members = 2 + Below(8);
        for (std::uint32_t i = 0; i < members; ++i) {
            Line("    " + next + Name("EVT_") + ")    /* next code */");
        }
        Line(general ? "END_GNRL_EVNTS_ENUM" : "END_EVENTS_ENUM");
        Line("");
    }

    void Comment() {
        Line("/*");
        const std::uint32_t lines = 1 + Below(4);
        for (std::uint32_t i = 0; i < lines; ++i) {
            Line(" * The firmware's handler reads these fields in order; keep them packed.");
        }
        Line(" */");
        if (Below(2) == 0) Line("// See the interface control document, section " + std::to_string(Below(20)) + ".");
    }

    void PredefinedValues() {
        const std::uint32_t count = 1 + Below(4);
        for (std::uint32_t i = 0; i < count; ++i) {
            Line("USER_PREDEFINE_VALUE(" + Name("VALUE_") + ", " +
                 (Below(2) == 0 ? "0x" + std::to_string(Below(9999)) : "-" + std::to_string(Below(999))) +
                 ")");
        }
    }

    void EepromSection() {
        const bool cem = Below(2) == 0;
        const std::uint32_t length = 40;
        Line(std::string(cem ? "EEPROM_CEM_SECTION(" : "EEPROM_CER_SECTION(") + Name("Section") +
             (cem ? ", 0A0001, " : ", 02, ") + std::to_string(length) + ")");
        // 4 + 2 + 6 + 8 = 20 bytes, well inside the section.
        Line("    EEPROM_FIELD_DOUBLE(" + Name("Gain") + ", 2, 8.8, 0, 0, 12.25)");
        Line("    EEPROM_FIELD_DOUBLE(" + Name("Trim") + ", 2, 4.8, 0, 1, -1.5)");
        Line("    EEPROM_FIELD_REGISTER(" + Name("Reg") + ", 0x0104, 0x00001F3C)");
        Line("    EEPROM_FIELD_CHAR(" + Name("Serial") + ", 8, 0x5A, 0x52, 0x58, 0x30, 0x30, 0x30, 0x30, 0x31)");
        Line("EEPROM_END_SECTION");
        Line("");
    }

    void MemoryOperation() {
        const std::string structName = Name("Memory") + "_t";
        Line("OPEN_STRUCT_DECLARATION");
        Line("    FIELD_UINT32(counter);");
        Line("    FIELD_UINT16(flags);");
        Line("END_STRUCT_DECLARATION(" + structName + ");");
        const bool mac = Below(2) == 0;
        ++memoryOperationCount_;
        Line("DECLARE_MEM_OP(" + Name("MEM_OP_") + ", " + (mac ? "MAC_FILE_TYPE, " : "PHY_FILE_TYPE, ") +
             structName + ", g_symbol" + std::to_string(Below(kMapSymbols)) + ")");
        Line("");
    }

    void Blanks() {
        Line("");
        Line("");
    }

    std::mt19937 random_;
    bool memoryOperations_;
    std::ostringstream text_;
    std::size_t lines_ = 0;
    std::size_t memoryOperationCount_ = 0;
    std::uint32_t serial_ = 0;
};

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string MapFileText(std::uint32_t base) {
    std::ostringstream text;
    text << "# name, address, size, section\n";
    char line[96];
    for (std::size_t i = 0; i < kMapSymbols; ++i) {
        std::snprintf(line, sizeof line, "g_symbol%-24zu 0x%08X  0x00000010  .bss\n", i,
                      static_cast<unsigned>(base + 16 * i));
        text << line;
    }
    return text.str();
}

// The definition set: files of kLinesPerFile lines named by a list file, and
// the two map files. Lines counts every line written, blank ones included.
struct DefinitionSet {
    ScratchFolder folder;
    std::string listFile;
    std::string macMap;
    std::string phyMap;
    std::size_t lines = 0;
    std::size_t files = 0;
    std::size_t memoryOperations = 0;
};

std::unique_ptr<DefinitionSet> GenerateSet(bool memoryOperations) {
    auto set = std::make_unique<DefinitionSet>();
    DefinitionWriter writer(20240607, memoryOperations);
    std::ostringstream list;
    while (writer.Lines() < kTotalLines) {
        const std::string guard = "GENERATED_" + std::to_string(set->files) + "_H";
        writer.Header(guard);
        const bool last = writer.Lines() + kLinesPerFile >= kTotalLines;
        const std::size_t end = last ? kTotalLines - 2 : writer.Lines() + kLinesPerFile - 1;
        while (writer.Lines() < end) writer.Block();
        if (last) writer.EndOfEeprom();
        writer.Footer(guard);
        const std::string name = "definitions_" + std::to_string(set->files++) + ".h";
        WriteFile(set->folder.File(name), writer.Take());
        list << name << '\n';
    }
    set->lines = writer.Lines();
    set->memoryOperations = writer.MemoryOperations();
    set->listFile = set->folder.File("list.txt");
    WriteFile(set->listFile, list.str());
    set->macMap = set->folder.File("mac.map");
    set->phyMap = set->folder.File("phy.map");
    WriteFile(set->macMap, MapFileText(0xBFC10000));
    WriteFile(set->phyMap, MapFileText(0xBF540000));
    return set;
}

// With memory operations, about one block in a hundred declares one; each
// resolves its symbol in a map file of kMapSymbols lines.
const DefinitionSet& Set(bool memoryOperations) {
    static const std::unique_ptr<DefinitionSet> with = GenerateSet(true);
    static const std::unique_ptr<DefinitionSet> without = GenerateSet(false);
    return memoryOperations ? *with : *without;
}

// VmHWM of this process, in KiB; 0 where /proc is not there.
long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

std::size_t CrashFileSize() {
    std::error_code error;
    const auto size = fs::file_size(CrashFilePath(), error);
    return error ? 0 : static_cast<std::size_t>(size);
}

void BM_ParseDefinitionSet(benchmark::State& state) {
    const DefinitionSet& set = Set(state.range(0) != 0);
    const std::size_t crashBefore = CrashFileSize();
    std::size_t commands = 0;
    for (auto _ : state) {
        EepromInterface eeprom(nullptr);
        auto database = std::make_unique<StructAccess>(set.macMap, set.phyMap, &eeprom);
        if (!database->structAccessInit(set.listFile)) {
            state.SkipWithError("the list file could not be read");
            return;
        }
        commands = database->getCommandNames().size();
        benchmark::DoNotOptimize(commands);
        state.PauseTiming();
        database.reset();
        state.ResumeTiming();
    }
    if (CrashFileSize() != crashBefore) {
        state.SkipWithError("the generated set drew warnings: see the crash file");
        return;
    }
    state.counters["lines_per_second"] =
        benchmark::Counter(static_cast<double>(set.lines), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["lines"] = static_cast<double>(set.lines);
    state.counters["files"] = static_cast<double>(set.files);
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["mem_ops"] = static_cast<double>(set.memoryOperations);
    state.counters["peak_rss_MiB"] = static_cast<double>(PeakResidentKiB()) / 1024.0;
}
BENCHMARK(BM_ParseDefinitionSet)
    ->ArgName("memory_operations")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
    // The library's log and crash file go to a folder of the benchmark's own.
    ScratchFolder root;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", root.File(""));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("Generated %zu definition lines in %zu files; peak resident memory before "
                "parsing: %.1f MiB\n",
                Set(true).lines, Set(true).files, static_cast<double>(PeakResidentKiB()) / 1024.0);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("Peak resident memory (VmHWM): %.1f MiB\n",
                static_cast<double>(PeakResidentKiB()) / 1024.0);
    return 0;
}
