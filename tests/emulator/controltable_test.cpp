// The emulator's control lines as one table: every line's answers to what it
// refuses, and tools/emulator/README.md's table of lines against the table.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "control.h"
#include "emulator.h"
#include "testsupport.h"

namespace {

// An emulator that executes the example definitions, never started: control
// lines need no sockets.
class ControlLines : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(emulator_.LoadDefinitions(std::string(TB_SOURCE_DIR) + "/examples/definitions/list.txt", error))
            << error;
    }

    std::string Ask(const std::string& line) {
        bool shutdown = false;
        return tbemu::ExecuteControlLine(emulator_, line, shutdown);
    }

    testsupport::IsolatedRoot root_;
    tbemu::Emulator emulator_{tbemu::EmulatorOptions{}};
};

struct Exchange {
    const char* line;
    const char* answer;
};

// At least one row per control line: what a line that does not fit gets (a
// line without arguments: the same line with one), else what it answers.
const Exchange kExchanges[] = {
    {"drop 0", "error usage: drop <command number from 1>"},
    {"drop-next x", "error usage: drop-next [<count>]"},
    {"drop-events 1 2", "error usage: drop-events [<count>]"},
    {"delay 5 0", "error usage: delay <milliseconds> [<replies>]"},
    {"wrong-number -1", "error usage: wrong-number [<count>]"},
    {"stale 1000001", "error usage: stale [<count>]"},
    {"oversize x", "error usage: oversize [<count>]"},
    {"split 65537", "error usage: split <bytes per write, 0 for off>"},
    {"reconnect now", "error unknown command: reconnect (try help)"},
    {"disconnect 600001", "error usage: disconnect [<ms before reconnecting by itself>]"},
    {"busy", "error usage: busy <reads>|always|off"},
    {"corrupt-read 0", "error usage: corrupt-read|drop-read <read-back from 1>"},
    {"drop-read", "error usage: corrupt-read|drop-read <read-back from 1>"},
    {"refuse-run maybe", "error usage: refuse-run [on|off]"},
    {"firmware", "ok stopped runs=0"},
    {"firmware now", "error unknown command: firmware (try help)"},
    {"reset now", "error unknown command: reset (try help)"},
    {"clear all", "error unknown command: clear (try help)"},
    {"count", "ok packets=0 answers=0 counter-reads=0 mailbox=0 system=0 connections=0"},
    {"count all", "error unknown command: count (try help)"},
    {"system", "ok"},
    {"system 1", "error unknown command: system (try help)"},
    {"mailbox", "ok 0"},
    {"mailbox 1", "error usage: mailbox [<n from 1, or -1 for the last>]"},
    {"read 0x10", "error usage: read <address> <length up to 4096>"},
    {"write 0x10 256", "error usage: write <address> <byte> [<byte> ...]"},
    {"eeprom 0 65537", "error usage: eeprom <offset> <length> (within the EEPROM)"},
    {"eeprom-fault lose 1", "error usage: eeprom-fault drop|corrupt <n-th EEPROM command from now, from 1>"},
    {"hostile loud", "error usage: hostile off|silent|garbage|max-length|capture|flood"},
    {"source-address 1.2.3", "error usage: source-address <local IPv4 address>|default"},
    {"churn 0", "error usage: churn <connections, 1 to 10000>"},
    {"churn 5", "error no library port"},
    {"fail PHYC_SET_GAIN_CMD", "error usage: fail <command> <status name or number>"},
    {"fail PHYC_SET_GAIN_CMD PHYC_STATUS_NONE", "error unknown status PHYC_STATUS_NONE"},
    {"succeed", "error usage: succeed <command>"},
    {"capture-length 65536", "error usage: capture-length <bytes up to 65535>"},
    {"fragment-bytes 0", "error usage: fragment-bytes <1 to 239>"},
    {"mac-events 101", "error usage: mac-events <1 to 100>"},
    {"event-fault sideways", "error usage: event-fault out-of-order|last-fragment-bit|missing-fragment|bad-ctrl|"
                             "bad-source|unknown-event|unknown-status [<count>]"},
    {"executed", "ok 0"},
    {"executed 1", "error usage: executed [<n from 1, or -1 for the last>]"},
    {"library-port 0", "error usage: library-port <port>"},
    {"definitions", "error usage: definitions <list file>"},
    {"replay", "error not replaying"},
    {"replay now", "error unknown command: replay (try help)"},
    {"shutdown now", "error unknown command: shutdown (try help)"},
    {"help", "ok drop <n> | drop-next [<k>] | drop-events [<k>] | delay <ms> [<k>] | wrong-number [<k>] | "
             "stale [<k>] | oversize [<k>] | split <bytes> | reconnect | disconnect [<ms>] | busy <reads>|always|off | "
             "corrupt-read <n> | drop-read <n> | refuse-run [on|off] | firmware | reset | clear | count | system | "
             "mailbox [<n>] | read <addr> <len> | write <addr> <byte>... | eeprom <offset> <len> | "
             "eeprom-fault drop|corrupt <n> | hostile off|silent|garbage|max-length|capture|flood | "
             "source-address <addr>|default | churn <n> | fail <command> <status> | succeed <command> | "
             "capture-length <bytes> | fragment-bytes <bytes> | mac-events <n> | event-fault <fault> [<k>] | "
             "executed [<n>] | library-port <port> | definitions <list file> | replay | shutdown"},
    {"", "error empty line"},
    {"frobnicate", "error unknown command: frobnicate (try help)"},
};

TEST_F(ControlLines, AnswerAsTheyAlwaysDid) {
    for (const Exchange& exchange : kExchanges) {
        EXPECT_EQ(Ask(exchange.line), exchange.answer) << exchange.line;
    }
}

TEST(ControlTable, EveryLineHasAnExchange) {
    for (const tbemu::ControlLineText& line : tbemu::ControlLineTexts()) {
        const bool tried = std::any_of(std::begin(kExchanges), std::end(kExchanges), [&](const Exchange& exchange) {
            const std::string text = exchange.line;
            return text == line.name || text.rfind(line.name + " ", 0) == 0;
        });
        EXPECT_TRUE(tried) << "no row of kExchanges tries `" << line.name << "`";
    }
}

struct ReadmeRow {
    std::string line;    // the "Line" column, without its backquotes
    std::string effect;  // the "Effect" column
};

// The rows of the README's table of control lines, their "\|" read as "|".
std::vector<ReadmeRow> ReadmeRows(const std::string& path) {
    std::ifstream readme(path);
    std::string text;
    while (std::getline(readme, text) && text != "| Line | Effect |") {
    }
    std::getline(readme, text);  // |---|---|
    const std::regex row(R"(^\| `(.+?)` \| (.+) \|$)");
    std::vector<ReadmeRow> rows;
    std::smatch match;
    while (std::getline(readme, text) && std::regex_match(text, match, row)) {
        const std::regex escapedBar(R"(\\\|)");
        rows.push_back({std::regex_replace(match[1].str(), escapedBar, "|"),
                        std::regex_replace(match[2].str(), escapedBar, "|")});
    }
    return rows;
}

TEST(ControlTable, IsTheReadmesTableOfLines) {
    const std::string path = std::string(TB_SOURCE_DIR) + "/tools/emulator/README.md";
    const std::vector<ReadmeRow> readme = ReadmeRows(path);
    ASSERT_FALSE(readme.empty()) << "no table \"| Line | Effect |\" in " << path;
    const std::vector<tbemu::ControlLineText> lines = tbemu::ControlLineTexts();
    for (const tbemu::ControlLineText& line : lines) {
        const auto row =
            std::find_if(readme.begin(), readme.end(), [&](const ReadmeRow& r) { return r.line == line.usage; });
        if (row == readme.end()) {
            ADD_FAILURE() << "`" << line.usage << "` is not in the README's table";
            continue;
        }
        EXPECT_EQ(row->effect, line.description) << "the README's row `" << line.usage << "`";
    }
    for (const ReadmeRow& row : readme) {
        const bool known = std::any_of(lines.begin(), lines.end(),
                                       [&](const tbemu::ControlLineText& line) { return line.usage == row.line; });
        EXPECT_TRUE(known) << "the README's row `" << row.line << "` is no control line's usage";
    }
    // In the order help lists them.
    std::vector<std::string> readmeOrder;
    std::vector<std::string> tableOrder;
    for (const ReadmeRow& row : readme) readmeOrder.push_back(row.line);
    for (const tbemu::ControlLineText& line : lines) tableOrder.push_back(line.usage);
    EXPECT_EQ(readmeOrder, tableOrder);
}

}  // namespace
