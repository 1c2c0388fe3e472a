// The fault matrix: every fault the emulated dispatcher and chip can put in
// the way, crossed with every kind of operation the host can start. Each cell
// names the outcome the operation's export must report (its return value and
// failure text, never a failure passed off as success), and the plain native
// read after it must work again. The matrix is printed as a table and, when
// TB_MATRIX_OUT names a file, written there as Markdown.
#include "e2e_support.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmwarebuilder.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

namespace {

using e2e::AsText;
using e2e::Bytes;
using e2e::Outcome;
using e2e::Send;

[[maybe_unused]] auto* const g_session = e2e::AddExampleSession();

// Short, so that the cells that wait for a lost answer end quickly.
constexpr int kCommandTimeoutMs = 200;
constexpr int kInternalTimeoutMs = 200;
// The version report waits this long for each of its commands.
constexpr int kReportTimeoutMs = 1000;
// A late answer leaves this long after the time-out it misses.
constexpr int kLateByMs = 100;
// Mid-command disconnects hold the first answer back this long.
constexpr int kHeldBackMs = 80;

// ------------------------------------------------------------------ outcomes

enum class Kind {
    Works,              // success, empty failure text, the right data
    TimesOut,           // 1 and the time-out text
    SendFails,          // 1 and the send-failure text
    AdaptFails,         // 1 and the event-adapter failure text
    Zeroed,             // success with zeros: a repaired oversized answer taken as the result
    AsSpoilt,           // success with the chip's spoilt bytes: nothing can tell
    ValueUnread,        // the report's first value as unread (-842150451)
    MacLoadFails,       // LoadFW 1 and the MAC load text
    RunFails,           // LoadFW 1 and the run text
    ReadFails,          // the EEPROM read's failure text, also as failure message
    BurnFails,          // BurnEeprom 0 and its failure text
    NotApplicable,
    Other,              // anything else: always a failed cell
};

const char* Label(Kind kind) {
    switch (kind) {
        case Kind::Works: return "works";
        case Kind::TimesOut: return "time-out";
        case Kind::SendFails: return "send fails";
        case Kind::AdaptFails: return "adapt fails";
        case Kind::Zeroed: return "zeroed";
        case Kind::AsSpoilt: return "as spoilt";
        case Kind::ValueUnread: return "value unread";
        case Kind::MacLoadFails: return "MAC load fails";
        case Kind::RunFails: return "run fails";
        case Kind::ReadFails: return "read fails";
        case Kind::BurnFails: return "burn fails";
        case Kind::NotApplicable: return "n/a";
        case Kind::Other: return "other";
    }
    return "?";
}

struct Observed {
    Kind kind = Kind::Other;
    std::string detail;  // what was seen, for a failed cell
};

std::string Printable(const std::string& text) {
    std::string shown;
    for (const char c : text.substr(0, 160)) shown += (c == '\n') ? '|' : c;
    return shown;
}

std::string HexText(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size() && i < 48; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

Observed Seen(Kind kind, const std::string& detail = "") { return {kind, detail}; }

Bytes FirstByteInverted(Bytes bytes) {
    if (!bytes.empty()) bytes[0] = static_cast<std::uint8_t>(~bytes[0]);
    return bytes;
}

// A sendCommand outcome against what a command of this line can report.
Observed ClassifyCommand(const Outcome& outcome, const std::string& line, const Bytes& expected) {
    const std::string detail = "rc " + std::to_string(outcome.rc) + ", failure '" + outcome.failure +
                               "', result " + HexText(outcome.result);
    if (outcome.rc == 0 && outcome.failure.empty()) {
        if (outcome.result == expected) return Seen(Kind::Works);
        if (outcome.result == Bytes(expected.size(), 0)) return Seen(Kind::Zeroed, detail);
        if (outcome.result == FirstByteInverted(expected)) return Seen(Kind::AsSpoilt, detail);
        return Seen(Kind::Other, detail);
    }
    if (outcome.rc != 1 || !outcome.result.empty()) return Seen(Kind::Other, detail);
    if (outcome.failure == "Timeout Error: No Event occur for command : '" + line + " '") return Seen(Kind::TimesOut);
    if (outcome.failure == "Error: Failed to Send Command : '" + line + " '") return Seen(Kind::SendFails);
    if (outcome.failure == "Error!!! Failed to adapt console event. ") return Seen(Kind::AdaptFails);
    return Seen(Kind::Other, detail);
}

// ------------------------------------------------------------------ the operations

constexpr std::uint32_t kNativeWordAddress = 0xBF540100;
constexpr std::uint32_t kNextWordAddress = 0xBF540104;
constexpr std::uint32_t kNativeWord = 0x1A2B3C4D;
constexpr std::uint32_t kNextWord = 0x55AA00FF;
const Bytes kMacStats = {0x11, 0x22, 0x33, 0x44};  // MAC_STATS crcErrors, at 0xBFC12348
constexpr std::uint32_t kMacStatsAddress = 0xBFC12348;
constexpr std::size_t kCaptureBytes = 1000;  // the emulator's default capture
constexpr std::size_t kTxPowerGainAt = 42;   // in the example EEPROM layout
const std::string kCrystalTrim = "-1.500";    // the example image's value, burnt at the start
const std::string kCrystalTrimInverted = "1.496";  // its bytes 0xFE 0x80 inverted: 0x017F / 256

Bytes BigEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// A word read's answer: "0x", eight hex digits and a NUL.
Bytes WordAnswer(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    Bytes bytes(text, text + 10);
    bytes.push_back(0);
    return bytes;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// The version words the chip holds, by the examples' map files: MAC at
// 0xBFC12000, PHY at 0xBF548000, one word per value in report order (the PHY
// has no host interface revision; its slot is left out of the report).
using Versions = std::array<std::int32_t, 9>;
constexpr Versions kMacVersions = {3, 1, 2, 1402, 52113, 8071, 7, 5, 2};
constexpr Versions kPhyVersions = {3, 1, 2, 977, 52113, 4410, 0, 5, 2};
constexpr std::uint32_t kMacVersionAddress = 0xBFC12000;
constexpr std::uint32_t kPhyVersionAddress = 0xBF548000;
constexpr std::size_t kHostInterface = 6;

std::string VersionPart(const char* title, const Versions& values, bool mac) {
    static const char* const kLines[] = {
        "Major Version:  %d\n", "Minor Version:  %d\n", "Branch Version: %d\n", "Build Number:   %d\n",
        "System Repo Revision Number:        %d\n", "Component Repo Revision Number:     %d\n",
        "Host-FW Interface Revision Number:  %d\n", "Phy-Mac Interface Revision Number:  %d\n",
        "Uart-Phy Interface Revision Number: %d\n"};
    std::string text = std::string("\n*********************************\n") + title +
                       "\n*********************************\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!mac && i == kHostInterface) continue;
        char line[100];
        std::snprintf(line, sizeof line, kLines[i], values[i]);
        text += line;
    }
    return text;
}

// The report for these values; only the first three differ in the cells.
std::string Report(const Versions& mac) {
    std::string text = VersionPart("Mac Version:", mac, true) + VersionPart("Phy Version:", kPhyVersions, false);
    if (mac[0] != kPhyVersions[0] || mac[1] != kPhyVersions[1] || mac[2] != kPhyVersions[2]) {
        text += "\n!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!\n"
                "!! PHY and Mac are from different release branch !!\n"
                "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
    }
    return text;
}

struct Operation {
    const char* name;
    // How late its first answer must leave for the operation to miss it. A
    // firmware load's first answer is the set-up read, whose loss it passes
    // over: the answer queued behind it has to miss its time-out too.
    int lateMs;
    std::function<Observed()> run;
};

constexpr int kLateCommandMs = kCommandTimeoutMs + kLateByMs;
constexpr int kLateInternalMs = kInternalTimeoutMs + kLateByMs;

class FaultMatrix : public e2e::EndToEnd {
protected:
    void SetUp() override {
        e2e::EndToEnd::SetUp();
        setInternalCommandTimeout(kInternalTimeoutMs);
        // The emulated chip starts its firmware at once.
        ASSERT_EQ(tbx_setFirmwareStartPause(10), 0);
        const fwbuild::Bytes package = SmallPackage();
        // Written by this program, so already a path of its own system.
        package_ = dir_.Write("small.fwp", std::string(package.begin(), package.end()));
    }
    void TearDown() override {
        setInternalCommandTimeout(1000);
        tbx_setFirmwareStartPause(2000);
    }

    // MAC code across the interrupt-vector window and a little PHY data,
    // clear of the version words: a load pays for few round trips.
    static fwbuild::Bytes SmallPackage() {
        return fwbuild::Package()
            .Mac(fwbuild::Elf({{fwbuild::kProgramData, 0xBFC00270, fwbuild::Pattern(0x20)}}))
            .Phy(fwbuild::Elf({{fwbuild::kProgramData, 0xBF000000, fwbuild::Pattern(16, 7)}}))
            .Contents();
    }

    // The chip's memory as the operations expect to read it; no fault
    // changes it.
    void PrepareChip() {
        Emulator().WriteMemory(kNativeWordAddress, BigEndian(kNativeWord));
        Emulator().WriteMemory(kNextWordAddress, BigEndian(kNextWord));
        Emulator().WriteMemory(kMacStatsAddress, kMacStats);
        for (std::uint32_t i = 0; i < kMacVersions.size(); ++i) {
            Emulator().WriteMemory(kMacVersionAddress + 4 * i, BigEndian(static_cast<std::uint32_t>(kMacVersions[i])));
            Emulator().WriteMemory(kPhyVersionAddress + 4 * i, BigEndian(static_cast<std::uint32_t>(kPhyVersions[i])));
        }
    }

    Observed RunCommand(const std::string& line, const Bytes& expected) {
        return ClassifyCommand(Send(line, kCommandTimeoutMs), line, expected);
    }

    Observed RunMac() {
        const std::string line = "UMAC_SET_MODE_CMD mode=3, powerOffset=-2";
        const Outcome outcome = Send(line, kCommandTimeoutMs);
        // The chip echoes the command; byte 2 is the library's running sequence number.
        Bytes expected = {0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x03, 0xE8, 0xFF, 0xFF, 0xFF, 0xFE};
        if (outcome.result.size() > 2) expected[2] = outcome.result[2];
        return ClassifyCommand(outcome, line, expected);
    }

    Observed RunFirmware() {
        const int rc = LoadFW(package_.c_str());
        const std::string failure = getFailureMessage();
        const std::string state = Emulator().Ask("firmware");
        const std::string detail = "LoadFW " + std::to_string(rc) + ", failure '" + failure + "', " + state;
        const bool running = state.rfind("ok running", 0) == 0;
        if (rc == 0 && failure.empty() && running) return Seen(Kind::Works);
        if (rc != 1 || running) return Seen(Kind::Other, detail);
        if (failure == "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!") return Seen(Kind::MacLoadFails);
        if (failure == "<ConsoleAppLogic>Error!!! Failed to run the Firmware after code was loaded!") {
            return Seen(Kind::RunFails);
        }
        return Seen(Kind::Other, detail);
    }

    Observed RunEepromRead() {
        const std::string value = ReadFieldFromEeprom("CrystalTrim");
        const std::string failure = getFailureMessage();
        const std::string detail = "value '" + value + "', failure '" + failure + "'";
        if (value == kCrystalTrim && failure.empty()) return Seen(Kind::Works);
        const std::string failed = "Failed to Read EEprom!!!";
        if (value == failed && failure == failed) return Seen(Kind::ReadFails);
        if (value == kCrystalTrimInverted && failure.empty()) return Seen(Kind::AsSpoilt);
        return Seen(Kind::Other, detail);
    }

    Observed RunEepromBurn() {
        // A new value each time, so that the partial burn has something to write.
        ++burns_;
        const std::uint8_t gain = static_cast<std::uint8_t>(10 + burns_ % 50);
        if (UpdateEepromField("TxPowerGain", std::to_string(gain).c_str()) != 0) {
            return Seen(Kind::Other, std::string("update refused: ") + getFailureMessage());
        }
        const int rc = BurnEeprom(1);
        const std::string failure = getFailureMessage();
        const Bytes burnt = Emulator().Eeprom(kTxPowerGainAt, 2);
        const std::string detail = "BurnEeprom " + std::to_string(rc) + ", failure '" + failure + "'";
        if (rc == 1 && failure.empty() && burnt == Bytes{gain, 0}) return Seen(Kind::Works);
        if (rc == 0 && failure == "Failed to Burn EEprom!!!") return Seen(Kind::BurnFails);
        return Seen(Kind::Other, detail);
    }

    Observed RunVersionReport() {
        const std::string report = getSystemVersionInfo();
        Versions unread = kMacVersions;
        unread[0] = static_cast<std::int32_t>(0xCDCDCDCDu);
        Versions spoilt = kMacVersions;
        spoilt[0] = static_cast<std::int32_t>(static_cast<std::uint32_t>(kMacVersions[0]) ^ 0xFF000000u);
        if (report == Report(kMacVersions)) return Seen(Kind::Works);
        if (report == Report(unread)) return Seen(Kind::ValueUnread);
        if (report == Report(spoilt)) return Seen(Kind::AsSpoilt);
        return Seen(Kind::Other, "report '" + Printable(report) + "'");
    }

    std::vector<Operation> Operations() {
        return {
            {"native command", kLateCommandMs,
             [this] { return RunCommand("NATIVE_READ_WORD_CMD " + Hex(kNativeWordAddress), WordAnswer(kNativeWord)); }},
            {"PHY console", kLateInternalMs,
             [this] {
                 const std::string ok = "PHYC_STATUS_OK ";
                 return RunCommand("PHYC_GET_STATUS_CMD", Bytes(ok.begin(), ok.end()));
             }},
            {"MAC console", kLateInternalMs, [this] { return RunMac(); }},
            {"memory", kLateCommandMs, [this] { return RunCommand("MEM_READ STRUCT MAC_STATS crcErrors", kMacStats); }},
            {"capture", kLateInternalMs,
             [this] {
                 return RunCommand("PHYC_CAPTURE_DATA_CMD", testsupport::EmulatorCapturePattern(kCaptureBytes));
             }},
            {"firmware load", 2 * kInternalTimeoutMs + kLateByMs, [this] { return RunFirmware(); }},
            {"EEPROM read", kLateInternalMs, [this] { return RunEepromRead(); }},
            {"EEPROM burn", kLateInternalMs, [this] { return RunEepromBurn(); }},
            {"version report", kReportTimeoutMs + kLateByMs, [this] { return RunVersionReport(); }},
        };
    }

    // Every cell's operation starts with an earlier failure's text in
    // place: a success must not leave it there for the host to read.
    static void LeaveAFailureText() {
        const std::string line = "NO_SUCH_COMMAND";
        const Outcome outcome = Send(line, kCommandTimeoutMs);
        ASSERT_EQ(outcome.rc, 1);
        ASSERT_EQ(outcome.failure, "Error: Failed to Send Command : '" + line + " '");
    }

    // The plain native read after every cell.
    Observed RunNextRead() {
        const std::string line = "NATIVE_READ_WORD_CMD " + Hex(kNextWordAddress);
        return ClassifyCommand(Send(line, e2e::kCommandTimeoutMs), line, WordAnswer(kNextWord));
    }

    testsupport::TempDir dir_;
    std::string package_;
    int burns_ = 0;
};

// ------------------------------------------------------------------ the faults

using K = Kind;
constexpr std::size_t kOperations = 9;

struct Fault {
    const char* name;
    // Control lines that arm the fault; "{late}" stands for the operation's
    // lateMs.
    std::vector<std::string> arm;
    bool disconnectMidCommand;
    std::array<Kind, kOperations> expected;  // in the order of Operations()
};

// Columns: native, PHY, MAC, memory, capture, firmware, EEPROM read, EEPROM
// burn, version report. A console command's first answer is its mailbox
// counter read, a firmware load's its first chunk write, an EEPROM
// operation's its first chunk.
const std::vector<Fault>& Faults() {
    static const std::vector<Fault> faults = {
        {"drop", {"drop-next"}, false,
         {K::TimesOut, K::SendFails, K::SendFails, K::TimesOut, K::SendFails, K::Works, K::ReadFails,
          K::BurnFails, K::ValueUnread}},
        {"delay past the time-out", {"delay {late} 1"}, false,
         {K::TimesOut, K::SendFails, K::SendFails, K::TimesOut, K::SendFails, K::MacLoadFails, K::ReadFails,
          K::BurnFails, K::ValueUnread}},
        {"wrong number", {"wrong-number"}, false,
         {K::TimesOut, K::SendFails, K::SendFails, K::TimesOut, K::SendFails, K::Works, K::ReadFails,
          K::BurnFails, K::ValueUnread}},
        {"stale answer", {"stale"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works}},
        {"oversized packet", {"oversize"}, false,
         {K::TimesOut, K::SendFails, K::SendFails, K::TimesOut, K::SendFails, K::Works, K::ReadFails, K::BurnFails,
          K::ValueUnread}},
        {"split records", {"split 100"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works}},
        {"reconnect", {"reconnect"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works}},
        {"disconnect mid-command", {"delay " + std::to_string(kHeldBackMs) + " 1"}, true,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::Works}},
        {"busy mailbox", {"busy always"}, false,
         {K::Works, K::SendFails, K::SendFails, K::Works, K::SendFails, K::Works, K::Works, K::Works, K::Works}},
        {"bad fragments (one missing)", {"event-fault missing-fragment"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::TimesOut, K::Works, K::Works, K::Works, K::Works}},
        {"fragments out of order", {"event-fault out-of-order"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::TimesOut, K::Works, K::Works, K::Works, K::Works}},
        {"last-fragment bit on the last", {"event-fault last-fragment-bit"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::TimesOut, K::Works, K::Works, K::Works, K::Works}},
        {"broken event header", {"event-fault bad-ctrl"}, false,
         {K::Works, K::AdaptFails, K::AdaptFails, K::Works, K::AdaptFails, K::Works, K::Works, K::Works, K::Works}},
        {"foreign event source", {"event-fault bad-source"}, false,
         {K::Works, K::AdaptFails, K::AdaptFails, K::Works, K::AdaptFails, K::Works, K::Works, K::Works, K::Works}},
        {"unknown event type", {"event-fault unknown-event"}, false,
         {K::Works, K::AdaptFails, K::AdaptFails, K::Works, K::AdaptFails, K::Works, K::Works, K::Works, K::Works}},
        {"unknown status", {"event-fault unknown-status"}, false,
         {K::Works, K::AdaptFails, K::Works, K::Works, K::AdaptFails, K::Works, K::Works, K::Works, K::Works}},
        {"corrupted read-back", {"corrupt-read 1"}, false,
         {K::Works, K::Works, K::Works, K::AsSpoilt, K::Works, K::MacLoadFails, K::Works, K::Works, K::AsSpoilt}},
        {"dropped read-back", {"drop-read 1"}, false,
         {K::Works, K::Works, K::Works, K::TimesOut, K::Works, K::MacLoadFails, K::Works, K::Works, K::ValueUnread}},
        {"dropped EEPROM chunk", {"eeprom-fault drop 1"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::ReadFails, K::BurnFails, K::Works}},
        {"corrupted EEPROM chunk", {"eeprom-fault corrupt 1"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::Works, K::AsSpoilt, K::Works, K::Works}},
        {"refused run", {"refuse-run"}, false,
         {K::Works, K::Works, K::Works, K::Works, K::Works, K::RunFails, K::Works, K::Works, K::Works}},
    };
    return faults;
}

std::string Armed(std::string line, int lateMs) {
    const std::string mark = "{late}";
    const std::size_t at = line.find(mark);
    if (at != std::string::npos) line.replace(at, mark.size(), std::to_string(lateMs));
    return line;
}

// ------------------------------------------------------------------ the table

struct Cell {
    Kind expected = Kind::NotApplicable;
    bool passed = false;
};

std::string CellText(const Cell& cell) {
    if (cell.expected == Kind::NotApplicable) return "n/a";
    return std::string(Label(cell.expected)) + (cell.passed ? " ✓" : " ✗ FAILED");
}

std::string MarkdownTable(const std::vector<Operation>& operations, const std::vector<std::vector<Cell>>& cells) {
    std::ostringstream out;
    out << "| fault |";
    for (const Operation& operation : operations) out << " " << operation.name << " |";
    out << "\n|---|";
    for (std::size_t i = 0; i < operations.size(); ++i) out << "---|";
    out << "\n";
    for (std::size_t row = 0; row < cells.size(); ++row) {
        out << "| " << Faults()[row].name << " |";
        for (const Cell& cell : cells[row]) out << " " << CellText(cell) << " |";
        out << "\n";
    }
    return out.str();
}

const char* const kLegend =
    "Rows: the faults the emulated dispatcher and chip inject; columns: the operations, each through its own "
    "export. A cell names the outcome the export must report (return value and failure text): *works* is a "
    "success with the right data and an empty failure text; *time-out*, *send fails* and *adapt fails* are "
    "sendCommand's failure texts; *MAC load fails* and *run fails* LoadFW's; *read fails* and *burn fails* the "
    "EEPROM exports'; *value unread* is a version report showing -842150451 for the value whose read failed; "
    "*as spoilt* is a success carrying the chip's spoilt bytes, which nothing in the protocol can detect. "
    "✓: the outcome held and the plain native read after it worked; n/a: the fault cannot reach the operation.\n";

std::string Summary(const std::vector<std::vector<Cell>>& cells, double seconds) {
    int run = 0;
    int passed = 0;
    int notApplicable = 0;
    for (const auto& row : cells) {
        for (const Cell& cell : row) {
            if (cell.expected == Kind::NotApplicable) {
                ++notApplicable;
                continue;
            }
            ++run;
            if (cell.passed) ++passed;
        }
    }
    char text[160];
    std::snprintf(text, sizeof text, "\n%d cells run, %d passed, %d not applicable; %.0f s.\n", run, passed,
                  notApplicable, seconds);
    return text;
}

// Disconnects the dispatcher, over a control connection of its own, as soon
// as the operation's first packet has reached it, while its answer is still
// held back.
class MidCommandDisconnect {
public:
    MidCommandDisconnect() {
        if (!control_.Connect(e2e::LibrarySession::Current().ControlPort())) {
            ADD_FAILURE() << "no second control connection";
            return;
        }
        const std::size_t before = control_.Count().packets;
        thread_ = std::thread([this, before] {
            const bool sent = e2e::WaitFor([&] { return stop_ || control_.Count().packets > before; }, e2e::kWaitMs);
            if (sent && !stop_) disconnected_ = control_.Ask("disconnect 20") == "ok";
        });
    }
    ~MidCommandDisconnect() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    MidCommandDisconnect(const MidCommandDisconnect&) = delete;
    MidCommandDisconnect& operator=(const MidCommandDisconnect&) = delete;

    // After the operation: whether the connection was really closed.
    bool Disconnected() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return disconnected_;
    }

private:
    e2e::EmulatorControl control_;
    std::atomic<bool> stop_{false};
    bool disconnected_ = false;
    std::thread thread_;
};

TEST_F(FaultMatrix, EveryFaultAgainstEveryOperation) {
    const auto started = std::chrono::steady_clock::now();
    PrepareChip();
    // The EEPROM as the example image, so that reads have a known value.
    ASSERT_EQ(InitEepromIF(0, ""), 0) << getFailureMessage();
    ASSERT_EQ(BurnEeprom(0), 1) << getFailureMessage();

    const std::vector<Operation> operations = Operations();
    ASSERT_EQ(operations.size(), kOperations);
    std::vector<std::vector<Cell>> cells;
    // A broken link (the native read after a cell and a probe unanswered)
    // ends the run: every later cell would only wait out its time-outs.
    for (const Fault& fault : Faults()) {
        if (!e2e::BrokenLink().empty()) break;
        cells.emplace_back();
        for (std::size_t column = 0; column < operations.size(); ++column) {
            const Operation& operation = operations[column];
            Cell cell;
            cell.expected = fault.expected[column];
            if (cell.expected == Kind::NotApplicable) {
                cells.back().push_back(cell);
                continue;
            }
            SCOPED_TRACE(std::string(fault.name) + " x " + operation.name);
            Emulator().Do("reset");
            LeaveAFailureText();
            for (const std::string& line : fault.arm) Emulator().Do(Armed(line, operation.lateMs));
            Observed observed;
            if (fault.disconnectMidCommand) {
                MidCommandDisconnect disconnect;
                observed = operation.run();
                EXPECT_TRUE(disconnect.Disconnected()) << "the connection was never closed";
            } else {
                observed = operation.run();
            }
            Emulator().Do("reset");
            const Observed next = RunNextRead();
            EXPECT_EQ(Label(observed.kind), std::string(Label(cell.expected))) << observed.detail;
            EXPECT_EQ(next.kind, Kind::Works) << "the next native read: " << next.detail;
            cell.passed = observed.kind == cell.expected && next.kind == Kind::Works;
            cells.back().push_back(cell);
            if (!e2e::BrokenLink().empty()) break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const std::string table = MarkdownTable(operations, cells);
    std::cout << "\nFault matrix (rows: faults, columns: operations; cell: expected outcome, then whether it held and "
                 "the next native read worked)\n\n"
              << table << Summary(cells, seconds) << std::flush;
    if (const char* path = std::getenv("TB_MATRIX_OUT")) {
        std::ofstream file(path, std::ios::trunc);
        file << kLegend << "\n" << table << "\n" << Summary(cells, seconds);
        // The buffered tail is written at the close: only then is the whole table known to be there.
        file.close();
        EXPECT_FALSE(file.fail()) << "could not write " << path;
    }
}

}  // namespace
