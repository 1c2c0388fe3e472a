// The console's own logic without the library: expectations of scripts,
// completion from the example definition set, the README's verb table, the
// progress line, reading script lines, the start-up checks of the given
// files, the cause lines, the value checks, the version report's verdict,
// the memory files' ranges and (against a stand-in of the library) the notes
// on the dispatcher link and the memory verbs' refusals.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cause.h"
#include "completer.h"
#include "definitionnames.h"
#include "expectation.h"
#include "libraryapi.h"
#include "linereader.h"
#include "memoryfile.h"
#include "progressline.h"
#include "session.h"
#include "startupcheck.h"
#include "testsupport.h"
#include "valuecheck.h"
#include "verbsyntax.h"
#include "versionreport.h"

namespace {

using Names = std::vector<std::string>;

Outcome Succeeded(const std::string& hex, const std::string& text) {
    Outcome outcome;
    outcome.command = "X";
    outcome.ok = true;
    outcome.resultHex = hex;
    outcome.resultText = text;
    return outcome;
}

Outcome Failed(const std::string& failure) {
    Outcome outcome;
    outcome.command = "X";
    outcome.rc = 1;
    outcome.failure = failure;
    return outcome;
}

TEST(ConsoleExpectation, MetOrMissedByTheOutcome) {
    const Outcome word = Succeeded("3078313200", "0x12");
    const Outcome timeout = Failed("Timeout Error: No Event occur for command : 'X '");
    struct Case {
        const char* expectation;
        const Outcome& outcome;
        bool met;
    } const cases[] = {
        {"ok", word, true},
        {"ok", timeout, false},
        {"fail", timeout, true},
        {"fail", word, false},
        {"fail Timeout Error", timeout, true},
        {"fail Failed to Send", timeout, false},
        {"result 3078313200", word, true},
        {"result 30 78 31 32 00", word, true},
        {"  result 30783132", word, false},  // the whole result, not its start
        {"result 3078313200", timeout, false},
        {"text ^0x1[0-9]$", word, true},
        {"text 0x13", word, false},
        {"text .*", timeout, false},  // a failure has no result text to match
    };
    for (const Case& c : cases) {
        Expectation expectation;
        std::string error;
        ASSERT_TRUE(Expectation::Parse(c.expectation, expectation, error)) << c.expectation << ": " << error;
        const std::string miss = expectation.Check(c.outcome);
        EXPECT_EQ(miss.empty(), c.met) << c.expectation << ": " << miss;
    }
}

// ":expect compatible" looks at what the session's last :version found.
TEST(ConsoleExpectation, CompatibleAsTheLastVersionFound) {
    Expectation compatible;
    std::string error;
    ASSERT_TRUE(Expectation::Parse("compatible", compatible, error)) << error;
    const Outcome line = Succeeded("", "");
    const struct {
        std::optional<std::string> lastVersion;
        const char* miss;
    } cases[] = {
        {std::nullopt, "expected a compatible MAC and PHY pair, but no :version ran before it"},
        {"", ""},
        {"incompatible versions: PHY and Mac use different Phy-Mac IF Release",
         "expected a compatible MAC and PHY pair, the last :version found: incompatible versions: PHY and Mac use "
         "different Phy-Mac IF Release"},
    };
    for (const auto& c : cases) EXPECT_EQ(compatible.Check(line, c.lastVersion), c.miss);
}

TEST(ConsoleExpectation, MalformedLinesAreRefused) {
    for (const char* text : {"", "okay", "ok extra", "result", "result 3g", "result 123", "text", "text ([a",
                             "compatible now"}) {
        Expectation expectation;
        std::string error;
        EXPECT_FALSE(Expectation::Parse(text, expectation, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

class ConsoleCompletion : public ::testing::Test {
protected:
    void SetUp() override { names_.ReadListFile(TB_SOURCE_DIR "/examples/definitions/list.txt"); }
    Names Candidates(const std::string& before, const std::string& word) {
        const Completer completer(names_, Session::Syntax());
        return completer.Complete(before, word).candidates;
    }
    DefinitionNames names_;
};

TEST_F(ConsoleCompletion, WordsByPlaceOnTheLine) {
    struct Case {
        const char* before;
        const char* word;
        Names expected;
    } const cases[] = {
        {"", "NATIVE_READ_", {"NATIVE_READ_WORD_CMD", "NATIVE_READ_BUFFER_CMD", "NATIVE_READ_EEPROM_CMD"}},
        {"", "MEM_R", {"MEM_READ"}},
        {"", "PHYC_SET_", {"PHYC_SET_CHANNEL_CMD", "PHYC_SET_GAIN_CMD"}},  // from the definition files
        {"", ":ee", {":eeprom"}},
        {"PHYC_SET_GAIN_CMD ", "", {"gain=", "path=", "offset="}},
        {"PHYC_SET_CHANNEL_CMD channel=3, ", "", {"band=", "flags="}},  // given ones are left out
        {"PHYC_SET_CHANNEL_CMD ", "fl", {"flags="}},
        {"NATIVE_READ_WORD_CMD ", "", {}},
        {":eeprom ", "", {"init", "set", "get", "list", "dump", "burn"}},
        {":eeprom set ", "Crystal", {"CrystalTrim"}},
        {":eeprom get ", "Rx", {"RxGainStep"}},
        {":eeprom get TxPowerGain ", "", {"chip", "image"}},
        {":eeprom burn ", "", {"full"}},
        {":expect ", "re", {"result"}},
        {":expect ", "co", {"compatible"}},
        {"", ":li", {":link"}},
        {":format ", "", {"auto", "hex", "text"}},
        {":timeout ", "", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Candidates(c.before, c.word), c.expected) << "'" << c.before << "' + '" << c.word << "'";
    }
}

TEST_F(ConsoleCompletion, FileNamesAfterVerbsThatTakeThem) {
    const Completer completer(names_, Session::Syntax());
    EXPECT_TRUE(completer.Complete(":load ", "fw").fileName);
    EXPECT_TRUE(completer.Complete(":eeprom init 1 ", "").fileName);
    EXPECT_TRUE(completer.Complete(":eeprom dump ", "").fileName);
    EXPECT_FALSE(completer.Complete(":eeprom set ", "").fileName);
    EXPECT_FALSE(completer.Complete("", "").fileName);
}

// The verb table in the README (its rows whose first column holds ':' verbs
// in code spans): each code span of that column, with "\|" read as "|".
std::vector<std::string> ReadmeVerbUsages() {
    std::istringstream readme(testsupport::ReadFile(TB_SOURCE_DIR "/README.md"));
    std::vector<std::string> usages;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("| `:", 0) != 0) continue;
        std::size_t end = 1;  // the first column ends at a '|' not written "\|"
        while (end < line.size() && (line[end] != '|' || line[end - 1] == '\\')) ++end;
        const std::string column = line.substr(1, end - 1);
        for (std::size_t open = column.find('`'); open != std::string::npos;) {
            const std::size_t close = column.find('`', open + 1);
            if (close == std::string::npos) break;
            std::string usage = column.substr(open + 1, close - open - 1);
            for (std::size_t bar = usage.find("\\|"); bar != std::string::npos; bar = usage.find("\\|", bar)) {
                usage.erase(bar, 1);
            }
            usages.push_back(usage);
            open = column.find('`', close + 1);
        }
    }
    return usages;
}

// The README's verb table and the console's agree, usage by usage.
TEST(ConsoleVerbs, TheReadmeListsEveryUsageOfTheVerbTable) {
    const Names table = verbsyntax::Usages(Session::Syntax());
    const Names readme = ReadmeVerbUsages();
    ASSERT_FALSE(readme.empty()) << "no verb table found in README.md";
    for (const std::string& usage : table) {
        EXPECT_NE(std::find(readme.begin(), readme.end(), usage), readme.end()) << "README.md has no row for " << usage;
    }
    for (const std::string& usage : readme) {
        EXPECT_NE(std::find(table.begin(), table.end(), usage), table.end())
            << "README.md lists " << usage << ", which the console's verb table does not have";
    }
}

TEST(ConsoleProgress, DescribesPercentRateAndTimeLeft) {
    EXPECT_EQ(ProgressLine::Describe("EEPROM read", 512, 2048, 2.0), "EEPROM read   25%  256 B/s  0:06 left");
    EXPECT_EQ(ProgressLine::Describe("MAC", 3 << 20, 4 << 20, 3.0), "MAC   75%  1.0 MiB/s  0:01 left");
    EXPECT_EQ(ProgressLine::Describe("burn", 40, 40, 0.5), "burn  100%  80 B/s");
    EXPECT_EQ(ProgressLine::Describe("burn", 0, 40, 0.0), "burn    0%");
    EXPECT_EQ(ProgressLine::Describe("verify", 1536, 0, 1.0), "verify  1.5 KiB");
}

// Without a terminal, a line for each new tenth and each new stage.
TEST(ConsoleProgress, PlainLinesAtEachTenth) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    double now = 0;
    ProgressLine progress(out, ProgressLine::Mode::Plain, [&now] { return now; });
    for (unsigned done = 0; done <= 100; done += 4) {
        now += 0.1;
        progress.Update("load", done, 100);
    }
    progress.Update("start", 0, 0);
    progress.Finish();
    std::rewind(out);
    std::vector<std::string> lines;
    char line[256];
    while (std::fgets(line, sizeof line, out) != nullptr) lines.emplace_back(line);
    std::fclose(out);
    // 0, 12 (10%), 20, 32, 40, 52, 60, 72, 80, 92, 100: eleven tenths, then the new stage.
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines.front(), "load    0%\n");
    EXPECT_EQ(lines[1].substr(0, 10), "load   12%");
    EXPECT_EQ(lines[10].substr(0, 10), "load  100%");
    EXPECT_EQ(lines.back(), "start  0 B\n");
}

// On a terminal one line, rewritten, whatever the stages: a load reports
// writing and verifying each piece in turn.
TEST(ConsoleProgress, OneTerminalLineForAllStages) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    double now = 0;
    ProgressLine progress(out, ProgressLine::Mode::Terminal, [&now] { return now; });
    for (unsigned done = 16; done <= 160; done += 16) {
        now += 0.5;
        progress.Update("load MAC", done, 160);
        progress.Update("verify", done, 160);
    }
    progress.Finish();
    std::rewind(out);
    std::string shown;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) shown += static_cast<char>(c);
    std::fclose(out);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 1) << shown;
    EXPECT_EQ(shown.back(), '\n');
    // The rate is the stage's own: 16 bytes per half second from its start.
    EXPECT_NE(shown.find("\rverify  100%  32 B/s"), std::string::npos) << shown;
}

// A folder given as the script opens on some systems and then fails to
// read: that is no empty script.
TEST(ConsoleLineReader, AFolderIsNoEmptyScript) {
    const testsupport::TempDir folder;
    std::FILE* file = std::fopen(folder.Path().c_str(), "r");
    if (file == nullptr) return;  // the system refuses it at the open already
    std::string line;
    std::string error;
    EXPECT_EQ(linereader::NextLine(file, line, error), linereader::Read::Failed);
    EXPECT_FALSE(error.empty());
    std::fclose(file);
}

// What the console warns about before the library starts: a given file that
// is no readable regular file, and list entries that name no file.
TEST(ConsoleStartupCheck, FilesThatDoNotServe) {
    const testsupport::TempDir folder;
    const std::string file = folder.Write("phy.map", "g_word 0x10\n");
    std::filesystem::create_directories(folder.File("maps"));
    EXPECT_EQ(startupcheck::FileProblem(file), "");
    EXPECT_NE(startupcheck::FileProblem(folder.File("maps")), "");
    EXPECT_NE(startupcheck::FileProblem(folder.File("none.map")), "");

    folder.Write("defs/present.h", "DECLARE_COMMAND(ONE_CMD, PHY_CMD_TYPE, One_t, ONE_OP, WAIT_NEEDED)\n");
    folder.Write("defs/more/two.h", "DECLARE_COMMAND(TWO_CMD, PHY_CMD_TYPE, Two_t, TWO_OP, WAIT_NEEDED)\n");
    std::filesystem::create_directories(folder.File("defs/empty"));
    std::filesystem::create_directories(folder.File("defs/folder.h"));
    const std::string list = folder.Write(
        "defs/list.txt", "present.h\nmissing.h\nfolder.h\nmore/*.h\nempty/*.h\nnowhere/*.h\n");
    DefinitionNames names;
    ASSERT_TRUE(names.ReadListFile(list));
    EXPECT_EQ(names.Commands(), (Names{"ONE_CMD", "TWO_CMD"}));
    const std::string defs = folder.File("defs") + "/";
    EXPECT_EQ(names.Unreadable(),
              (Names{defs + "missing.h", defs + "folder.h", defs + "empty/*.h", defs + "nowhere/*.h"}));
    EXPECT_FALSE(DefinitionNames().ReadListFile(folder.File("defs")));
}

// The lines of a failed operation's log that give the reason, and lines of
// its course that only look like one (a field called timeout): the examples
// of the rule's data file, which the Python package's tests check too.
TEST(ConsoleCause, ReasonLinesOnly) {
    const std::string rules = testsupport::ReadFile(
        (std::filesystem::path(TB_SOURCE_DIR) / "bindings/python/termbridge/failure_causes.json").string());
    const nlohmann::json examples = nlohmann::json::parse(rules).at("examples");
    ASSERT_FALSE(examples.empty());
    for (const nlohmann::json& example : examples) {
        const std::string line = example.at("line").get<std::string>();
        const std::vector<std::string> expected =
            example.at("cause").get<bool>() ? std::vector<std::string>{line} : std::vector<std::string>{};
        EXPECT_EQ(cause::Lines("<ConsoleAppLogic>Handle command: X\n" + line + "\n", "Failed"), expected) << line;
    }
}

// The tables the Python package's tests read too (tests/data): the two
// implementations give the same verdicts and the same texts.
nlohmann::json SharedTable(const char* name) {
    std::ifstream file(std::string(TB_SOURCE_DIR "/tests/data/") + name);
    return nlohmann::json::parse(file);
}

std::string TextOrEmpty(const nlohmann::json& value) { return value.is_null() ? "" : value.get<std::string>(); }

TEST(ConsoleValueCheck, AsTheSharedTableSays) {
    const nlohmann::json table = SharedTable("valuechecks.json");
    DefinitionNames names;
    ASSERT_TRUE(names.ReadListFile(TB_SOURCE_DIR "/" + table.at("definitions").get<std::string>()));
    ASSERT_FALSE(table.at("parameters").empty());
    for (const nlohmann::json& row : table.at("parameters")) {
        const std::string line = row.at("line");
        EXPECT_EQ(valuecheck::CommandValueProblem(line, names), TextOrEmpty(row.at("problem"))) << line;
    }
    for (const nlohmann::json& row : table.at("eeprom")) {
        const std::string field = row.at("field");
        const std::string value = row.at("value");
        EXPECT_EQ(valuecheck::EepromValueProblem(field, value, names), TextOrEmpty(row.at("problem")))
            << field << " " << value;
    }
}

// A library whose commands and EEPROM dumps fail with `g_failure` while
// the link is `g_link` (unknown: it cannot tell).
std::string g_failure;
std::optional<tbx_LinkState> g_link;

LibraryApi FailingLibrary() {
    LibraryApi api;
    api.sendCommand = [](const char*, int) { return 1; };
    api.DumpEepromTableToFile = [](const char*) { return 1; };
    api.getFailureMessage = [] { return g_failure.c_str(); };
    api.getLinkState = [](tbx_LinkState* state) {
        if (!g_link) return 1;
        *state = *g_link;
        return 0;
    };
    return api;
}

// The bring-up verbs refuse words they do not take, naming their usage.
TEST(ConsoleVerbs, SleepAndLinkRefuseWhatTheyDoNotTake) {
    const LibraryApi api = FailingLibrary();
    const DefinitionNames names;
    Session session(api, names, {}, nullptr);
    const struct {
        const char* line;
        const char* usage;
    } cases[] = {
        {":sleep", "usage: :sleep MS"},      {":sleep -1", "usage: :sleep MS"},
        {":sleep 1.5", "usage: :sleep MS"},  {":sleep 10 20", "usage: :sleep MS"},
        {":link now", "usage: :link"},
    };
    for (const auto& c : cases) {
        const Session::LineResult result = session.Run(c.line);
        ASSERT_TRUE(result.outcome.has_value()) << c.line;
        EXPECT_EQ(result.outcome->rc, Outcome::kRefused) << c.line;
        EXPECT_EQ(result.outcome->failure, c.usage) << c.line;
    }
    // A library that cannot tell the link's state: :link fails saying so.
    g_link.reset();
    const Session::LineResult link = session.Run(":link");
    ASSERT_TRUE(link.outcome.has_value());
    EXPECT_FALSE(link.outcome->ok);
    EXPECT_EQ(link.outcome->failure, "tbx_getLinkState answered 1: the library is not initialized");
}

TEST(ConsoleLinkNote, AsTheSharedTableSays) {
    const nlohmann::json table = SharedTable("linknotes.json");
    const std::string hint = table.at("hints").at("console");
    const LibraryApi api = FailingLibrary();
    const DefinitionNames names;
    ASSERT_FALSE(table.at("failures").empty());
    for (const nlohmann::json& row : table.at("failures")) {
        g_failure = row.at("failure");
        g_link.reset();
        if (!row.at("link").is_null()) {
            g_link = tbx_LinkState{};
            g_link->connected = row.at("link").at("connected").get<bool>() ? 1 : 0;
            g_link->listenPort = row.at("link").at("listen_port").get<unsigned short>();
        }
        Session session(api, names, {}, nullptr);
        const Session::LineResult result =
            session.Run(row.at("needs_dispatcher").get<bool>() ? "NATIVE_READ_WORD_CMD 0x0" : ":eeprom dump image.bin");
        ASSERT_TRUE(result.outcome.has_value()) << row.at("name");
        std::vector<std::string> expected;
        if (!row.at("note").is_null()) {
            std::string note = row.at("note");
            const std::size_t at = note.find("{hint}");
            expected.push_back(at == std::string::npos ? note : note.replace(at, 6, hint));
        }
        EXPECT_EQ(result.outcome->notes, expected) << row.at("name");
    }
}

TEST(ConsoleVersionReport, AsTheSharedTableSays) {
    const nlohmann::json table = SharedTable("versionreports.json");
    ASSERT_FALSE(table.at("reports").empty());
    for (const nlohmann::json& row : table.at("reports")) {
        std::string report;
        for (const nlohmann::json& line : row.at("report")) report += line.get<std::string>() + "\n";
        report.pop_back();  // the lines are joined, as the Python tests join them
        EXPECT_EQ(versionreport::Problem(report), TextOrEmpty(row.at("reason"))) << row.at("name");
    }
    EXPECT_EQ(versionreport::Problem("Fatal Error!!! Console Application isn't Ready!!!!"),
              "the library's text is no version report");
}

std::uint64_t HexNumber(const nlohmann::json& text) { return std::stoull(text.get<std::string>(), nullptr, 16); }

memoryfile::Bytes HexBytes(const nlohmann::json& text) {
    const std::string hex = text.get<std::string>();
    memoryfile::Bytes bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(ConsoleMemoryFile, AsTheSharedTableSays) {
    const nlohmann::json table = SharedTable("memoryfiles.json");
    ASSERT_FALSE(table.at("ranges").empty());
    for (const nlohmann::json& row : table.at("ranges")) {
        const std::uint64_t length = row.at("length").get<std::uint64_t>();
        EXPECT_EQ(memoryfile::RangeProblem(HexNumber(row.at("address")), length), TextOrEmpty(row.at("problem")))
            << row.at("address") << " " << length;
    }
    ASSERT_FALSE(table.at("differences").empty());
    for (const nlohmann::json& row : table.at("differences")) {
        const memoryfile::Bytes file = HexBytes(row.at("file_bytes"));
        const memoryfile::Bytes chip = HexBytes(row.at("chip_bytes"));
        EXPECT_EQ(memoryfile::DifferenceText(row.at("subject"), row.at("file"),
                                             static_cast<std::uint32_t>(HexNumber(row.at("address"))), file, chip,
                                             memoryfile::Compare(file, chip)),
                  row.at("text").get<std::string>());
    }
}

// A library whose memory and verify extensions only count their calls.
int g_memoryCalls = 0;

LibraryApi CountingLibrary() {
    LibraryApi api;
    api.readMemory = [](unsigned, unsigned, unsigned char*) {
        ++g_memoryCalls;
        return 0;
    };
    api.writeMemory = [](unsigned, const unsigned char*, unsigned) {
        ++g_memoryCalls;
        return 0;
    };
    api.verifyFW = [](const char*) {
        ++g_memoryCalls;
        return 0;
    };
    return api;
}

// What the memory verbs refuse, and say why, before anything is sent or
// written: their words, the range, the file, the library's extensions.
TEST(ConsoleMemoryVerbs, RefusedBeforeAnythingIsSent) {
    const testsupport::TempDir folder;
    folder.Write("empty.bin", "");
    folder.Write("six.bin", "abcdef");
    folder.Write("eight.bin", "abcdefgh");
    const std::string d = folder.Path();
    const std::string written = folder.File("out.bin");
    LibraryApi withoutExtensions = CountingLibrary();
    withoutExtensions.readMemory = nullptr;
    withoutExtensions.verifyFW = nullptr;
    const LibraryApi counting = CountingLibrary();
    const struct {
        const LibraryApi& api;
        std::string line;
        std::string failure;
        bool exact;  // false: the failure begins so, the system's text follows
    } cases[] = {
        {counting, ":savemem 0x10000000 16", "usage: :savemem ADDRESS LENGTH FILE", true},
        {counting, ":loadmem 0x10000000", "usage: :loadmem ADDRESS FILE", true},
        {counting, ":savemem 0x1000000g 16 " + written,
         "ADDRESS takes a number (decimal, or hexadecimal with 0x), not '0x1000000g'", true},
        {counting, ":savemem 0x10000000 -4 " + written,
         "LENGTH takes a number (decimal, or hexadecimal with 0x), not '-4'", true},
        {counting, ":savemem 0x10000002 16 " + written, "address 0x10000002 is not word-aligned (a multiple of 4)",
         true},
        {counting, ":savemem 0x10000000 16 " + d, "cannot write " + d + ": ", false},
        {counting, ":savemem 0x10000000 16 " + d + "/none/out.bin", "cannot write " + d + "/none/out.bin: ", false},
        {counting, ":loadmem 0x10000000 " + d + "/none.bin", d + "/none.bin does not open: ", false},
        {counting, ":verifymem 0x10000000 " + d, d + " does not open: ", false},
        {counting, ":verifymem 0x10000000 " + d + "/empty.bin", d + "/empty.bin is empty", true},
        {counting, ":loadmem 0x10000000 " + d + "/six.bin", "6 bytes are no whole number of 4-byte words", true},
        {counting, ":loadmem 0xfffffffc " + d + "/eight.bin",
         "0xfffffffc + 8 bytes runs past the end of the 32-bit address space", true},
        {withoutExtensions, ":verifymem 0x10000000 " + d + "/eight.bin",
         "the library has no tbx_readMemory (a library older than the console)", true},
        {withoutExtensions, ":verify " + d + "/eight.bin",
         "the library has no tbx_verifyFW (a library older than the console)", true},
    };
    const DefinitionNames names;
    for (const auto& c : cases) {
        g_memoryCalls = 0;
        Session session(c.api, names, {}, nullptr);
        const Session::LineResult result = session.Run(c.line);
        ASSERT_TRUE(result.outcome.has_value()) << c.line;
        EXPECT_EQ(result.outcome->rc, Outcome::kRefused) << c.line;
        const std::string& failure = result.outcome->failure;
        if (c.exact) {
            EXPECT_EQ(failure, c.failure) << c.line;
        } else {
            EXPECT_EQ(failure.rfind(c.failure, 0), 0u) << c.line << ": " << failure;
            EXPECT_GT(failure.size(), c.failure.size()) << c.line << ": no reason given";
        }
        EXPECT_EQ(g_memoryCalls, 0) << c.line << ": the library was called";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d), std::filesystem::directory_iterator()), 3)
        << "a refused save left a file behind";
}

}  // namespace
