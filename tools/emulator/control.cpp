#include "control.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "describe.h"
#include "emulator.h"

namespace tbemu {

namespace {

// A number is hexadecimal when it starts with 0x, otherwise decimal; a
// leading minus is allowed. False unless the whole word is a number.
bool ParseNumber(const std::string& word, long long& value) {
    if (word.empty()) return false;
    const bool negative = word[0] == '-';
    const std::string digits = negative ? word.substr(1) : word;
    const bool hex = digits.size() > 2 && digits[0] == '0' && digits[1] == 'x';
    const std::string body = hex ? digits.substr(2) : digits;
    if (body.empty() || body.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                            std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(body.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return false;
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

struct Line {
    std::string verb;
    std::vector<std::string> args;
    std::string rest;  // everything after the verb, without its leading blanks
};

Line Split(const std::string& text) {
    std::istringstream words(text);
    Line line;
    words >> line.verb;
    std::string word;
    while (words >> word) line.args.push_back(word);
    const std::size_t afterVerb = text.find(line.verb) + line.verb.size();
    const std::size_t restAt = text.find_first_not_of(" \t", afterVerb);
    if (!line.verb.empty() && restAt != std::string::npos) line.rest = text.substr(restAt);
    return line;
}

// The answer of the command execution lines when there is no definition set.
const char kWithoutDefinitions[] = "error the emulator was started without definitions";

class Interpreter;
using Handler = std::string (Interpreter::*)();

// One control line. Everything said about a line comes from here: `help`
// lists the usages, a line that does not fit answers with its error usage,
// and the README's table shows the usage and the description (a test holds
// it to this table).
struct ControlLine {
    const char* name;
    const char* usage;        // as `help` lists it and the README's "Line" column shows it
    const char* description;  // the README's "Effect" column
    // What "error usage: ..." says when the arguments do not fit. Null: the
    // line takes no arguments, and with some it is an unknown command.
    const char* errorUsage;
    Handler handler;
};

class Interpreter {
public:
    Interpreter(Emulator& emulator, const Line& line, bool& shutdown)
        : emu_(emulator), line_(line), shutdown_(shutdown) {}

    std::string Run();

    // The handlers, one per control line (the table below names them).
    std::string Drop();
    std::string DropNext() { return CountedFault(&Emulator::DropNextAnswers); }
    std::string DropEvents() { return CountedFault(&Emulator::DropNextEvents); }
    std::string Delay();
    std::string WrongNumber() { return CountedFault(&Emulator::WrongNumberForNextAnswers); }
    std::string Stale() { return CountedFault(&Emulator::StaleAnswerBeforeNext); }
    std::string Oversize() { return CountedFault(&Emulator::OversizeNextAnswers); }
    std::string Split();
    std::string Reconnect();
    std::string Disconnect();
    std::string Busy();
    std::string CorruptRead();
    std::string DropRead();
    std::string RefuseRun();
    std::string Firmware();
    std::string Reset();
    std::string Clear();
    std::string Count();
    std::string System();
    std::string Mailbox();
    std::string Read();
    std::string Write();
    std::string Eeprom();
    std::string EepromFault();
    std::string Hostile();
    std::string SourceAddress();
    std::string Churn();
    std::string Fail();
    std::string Succeed();
    std::string CaptureLength();
    std::string FragmentBytes();
    std::string MacEvents();
    std::string EventFault();
    std::string Executed();
    std::string LibraryPort();
    std::string Definitions();
    std::string Replay();
    std::string Shutdown();
    std::string Help();

private:
    bool Arg(std::size_t index, long long& value, long long low, long long high) const {
        return index < line_.args.size() && ParseNumber(line_.args[index], value) && value >= low &&
               value <= high;
    }
    bool ArgCount(std::size_t count) const { return line_.args.size() == count; }
    std::string Usage() const { return std::string("error usage: ") + row_->errorUsage; }
    std::string UnknownCommand() const { return "error unknown command: " + line_.verb + " (try help)"; }

    std::string CountedFault(void (Emulator::*setter)(int));
    std::string ReadBackFault(void (Emulator::*setter)(std::uint64_t));

    Emulator& emu_;
    const Line& line_;
    bool& shutdown_;
    const ControlLine* row_ = nullptr;
};

std::string Interpreter::CountedFault(void (Emulator::*setter)(int)) {
    long long count = 1;
    if (!(ArgCount(0) || (ArgCount(1) && Arg(0, count, 0, 1000000)))) return Usage();
    (emu_.*setter)(static_cast<int>(count));
    return "ok";
}

std::string Interpreter::Drop() {
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFFFFFF)) return Usage();
    emu_.DropAnswerTo(static_cast<std::uint64_t>(value));
    return "ok";
}

std::string Interpreter::Delay() {
    long long value = 0;
    long long replies = 0;
    const bool counted = ArgCount(2) && Arg(1, replies, 1, 1000000);
    if (!(ArgCount(1) || counted) || !Arg(0, value, 0, 600000)) return Usage();
    emu_.SetAnswerDelay(static_cast<int>(value), static_cast<int>(replies));
    return "ok";
}

std::string Interpreter::Split() {
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 0, 65536)) return Usage();
    emu_.SplitWrites(static_cast<std::size_t>(value));
    return "ok";
}

std::string Interpreter::Reconnect() {
    emu_.ReconnectBeforeNextAnswer();
    return "ok";
}

std::string Interpreter::Disconnect() {
    long long quietMs = 100;
    if (!(ArgCount(0) || (ArgCount(1) && Arg(0, quietMs, 0, 600000)))) return Usage();
    emu_.Disconnect(static_cast<int>(quietMs));
    return "ok";
}

std::string Interpreter::Busy() {
    if (!ArgCount(1)) return Usage();
    long long reads = 0;
    if (line_.args[0] == "always") {
        reads = -1;
    } else if (line_.args[0] != "off" && !Arg(0, reads, 0, 1000000)) {
        return Usage();
    }
    emu_.KeepCounterBusy(static_cast<int>(reads));
    return "ok";
}

std::string Interpreter::ReadBackFault(void (Emulator::*setter)(std::uint64_t)) {
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFFFFFF)) return Usage();
    (emu_.*setter)(static_cast<std::uint64_t>(value));
    return "ok";
}

std::string Interpreter::CorruptRead() { return ReadBackFault(&Emulator::CorruptReadBack); }
std::string Interpreter::DropRead() { return ReadBackFault(&Emulator::DropReadBack); }

std::string Interpreter::RefuseRun() {
    if (!(ArgCount(0) || (ArgCount(1) && (line_.args[0] == "on" || line_.args[0] == "off")))) return Usage();
    emu_.RefuseRun(ArgCount(0) || line_.args[0] == "on");
    return "ok";
}

std::string Interpreter::Firmware() {
    return std::string("ok ") + (emu_.FirmwareRunning() ? "running" : "stopped") +
           " runs=" + std::to_string(emu_.RunCommands());
}

std::string Interpreter::Reset() {
    emu_.ClearFaults();
    return "ok";
}

std::string Interpreter::Clear() {
    emu_.ClearRecords();
    return "ok";
}

std::string Interpreter::Count() {
    std::ostringstream text;
    text << "ok packets=" << emu_.PacketsReceived() << " answers=" << emu_.AnswersSent()
         << " counter-reads=" << emu_.CounterReads()
         << " mailbox=" << emu_.MailboxCommands().size()
         << " system=" << emu_.SystemCommands().size()
         << " connections=" << emu_.ConnectionsOpened();
    return text.str();
}

std::string Interpreter::System() {
    std::ostringstream text;
    text << "ok";
    for (const SystemCommand& command : emu_.SystemCommands()) {
        text << ' ' << command.code << ':' << command.value;
    }
    return text.str();
}

std::string Interpreter::Mailbox() {
    const std::vector<MailboxCommand> commands = emu_.MailboxCommands();
    if (ArgCount(0)) return "ok " + std::to_string(commands.size());
    long long index = 0;
    const long long count = static_cast<long long>(commands.size());
    if (!ArgCount(1) || !Arg(0, index, -count, count) || index == 0) return Usage();
    const MailboxCommand& command = commands[static_cast<std::size_t>(index > 0 ? index - 1 : count + index)];
    std::string text = "ok " + HexBytes(command.bytes.data(), command.bytes.size(), kMailboxBufferSize);
    text += " writes";
    char write[32];
    for (const MailboxWrite& entry : command.writes) {
        std::snprintf(write, sizeof write, " %u@0x%08x", static_cast<unsigned>(entry.length),
                      static_cast<unsigned>(entry.address));
        text += write;
    }
    return text;
}

std::string Interpreter::Read() {
    long long address = 0;
    long long length = 0;
    if (!ArgCount(2) || !Arg(0, address, 0, 0xFFFFFFFF) || !Arg(1, length, 0, 4096)) return Usage();
    const Bytes bytes = emu_.ReadMemory(static_cast<std::uint32_t>(address), static_cast<std::size_t>(length));
    return "ok " + HexBytes(bytes.data(), bytes.size(), bytes.size());
}

std::string Interpreter::Write() {
    long long address = 0;
    if (line_.args.size() < 2 || !Arg(0, address, 0, 0xFFFFFFFF)) return Usage();
    Bytes bytes;
    for (std::size_t i = 1; i < line_.args.size(); ++i) {
        long long byte = 0;
        if (!Arg(i, byte, 0, 0xFF)) return Usage();
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    emu_.WriteMemory(static_cast<std::uint32_t>(address), bytes);
    return "ok";
}

std::string Interpreter::Eeprom() {
    long long offset = 0;
    long long length = 0;
    Bytes bytes;
    if (!ArgCount(2) || !Arg(0, offset, 0, 0xFFFFFFFF) || !Arg(1, length, 0, 0xFFFFFFFF) ||
        !emu_.EepromRange(static_cast<std::uint32_t>(offset), static_cast<std::size_t>(length), bytes)) {
        return Usage();
    }
    return "ok " + HexBytes(bytes.data(), bytes.size(), bytes.size());
}

std::string Interpreter::EepromFault() {
    long long chunk = 0;
    const bool known = !line_.args.empty() && (line_.args[0] == "drop" || line_.args[0] == "corrupt");
    if (!known || !ArgCount(2) || !Arg(1, chunk, 1, 0xFFFFFFFF)) return Usage();
    emu_.ArmEepromChunkFault(line_.args[0] == "drop" ? EepromChunkFault::Drop : EepromChunkFault::Corrupt,
                             static_cast<std::uint64_t>(chunk));
    return "ok";
}

// The hostile dispatcher's lines (hostile.h): its answers (hostile), the
// address its connections come from (source-address), connections dropped
// in a loop (churn).
std::string Interpreter::Hostile() {
    HostileMode mode = HostileMode::Off;
    if (!ArgCount(1) || !HostileModeFromName(line_.args[0], mode)) return Usage();
    emu_.SetHostileMode(mode);
    return "ok";
}

std::string Interpreter::SourceAddress() {
    in_addr address{};
    const bool system = ArgCount(1) && line_.args[0] == "default";
    if (!ArgCount(1) || (!system && ::inet_pton(AF_INET, line_.args[0].c_str(), &address) != 1)) return Usage();
    emu_.ConnectFrom(system ? std::string() : line_.args[0]);
    return "ok";
}

std::string Interpreter::Churn() {
    long long count = 0;
    if (!ArgCount(1) || !Arg(0, count, 1, 10000)) return Usage();
    std::string error;
    return emu_.ChurnConnections(static_cast<int>(count), error) ? "ok" : "error " + error;
}

std::string Interpreter::Fail() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    if (!ArgCount(2)) return Usage();
    return emu_.FailCommand(line_.args[0], line_.args[1]) ? "ok" : "error unknown status " + line_.args[1];
}

std::string Interpreter::Succeed() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    if (!ArgCount(1)) return Usage();
    emu_.SucceedCommand(line_.args[0]);
    return "ok";
}

std::string Interpreter::CaptureLength() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 0, static_cast<long long>(kMaxCaptureLength))) return Usage();
    emu_.SetCaptureLength(static_cast<std::size_t>(value));
    return "ok";
}

std::string Interpreter::FragmentBytes() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 1, static_cast<long long>(kMaxFragmentBytes))) return Usage();
    emu_.SetCaptureFragmentBytes(static_cast<std::size_t>(value));
    return "ok";
}

std::string Interpreter::MacEvents() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 1, 100)) return Usage();
    emu_.SetMacEventCount(static_cast<int>(value));
    return "ok";
}

std::string Interpreter::EventFault() {
    if (!emu_.ExecutesCommands()) return kWithoutDefinitions;
    tbemu::EventFault fault{};
    long long count = 1;
    if (line_.args.empty() || !EventFaultFromName(line_.args[0], fault) || line_.args.size() > 2 ||
        (line_.args.size() == 2 && !Arg(1, count, 0, 1000000))) {
        return Usage();
    }
    emu_.ArmEventFault(fault, static_cast<int>(count));
    return "ok";
}

std::string Interpreter::Executed() {
    const std::vector<ExecutedCommand> executed = emu_.ExecutedCommands();
    if (ArgCount(0)) return "ok " + std::to_string(executed.size());
    long long index = 0;
    const long long count = static_cast<long long>(executed.size());
    if (!ArgCount(1) || !Arg(0, index, -count, count) || index == 0) return Usage();
    const ExecutedCommand& command = executed[static_cast<std::size_t>(index > 0 ? index - 1 : count + index)];
    return std::string("ok ") + (command.form == CommandForm::Mac ? "mac" : "phy") + " " +
           (command.name.empty() ? "-" : command.name) + " events " + std::to_string(command.events) +
           " bytes " + HexBytes(command.command.data(), command.command.size(), command.command.size());
}

std::string Interpreter::LibraryPort() {
    long long value = 0;
    if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFF)) return Usage();
    emu_.SetLibraryPort(static_cast<std::uint16_t>(value));
    return "ok";
}

std::string Interpreter::Definitions() {
    // The path may hold blanks: it is the rest of the line.
    const std::string& text = line_.rest;
    std::string error;
    if (text.empty()) return Usage();
    return emu_.LoadDefinitions(text, error) ? "ok" : "error " + error;
}

std::string Interpreter::Replay() {
    return emu_.Replaying() ? "ok " + emu_.ReplayStatus() : "error not replaying";
}

std::string Interpreter::Shutdown() {
    shutdown_ = true;
    return "ok";
}

std::string Interpreter::Help() { return "ok " + ControlHelp(); }

// In the order `help` lists them.
const ControlLine kControlLines[] = {
    {"drop", "drop <n>", "drop the answer to command n",
     "drop <command number from 1>", &Interpreter::Drop},
    {"drop-next", "drop-next [<k>]", "drop the next k answers (default 1)",
     "drop-next [<count>]", &Interpreter::DropNext},
    {"drop-events", "drop-events [<k>]",
     "the next k commands the chip executes send their answer (the counter write's `OK`) but none of their "
     "events (default 1)",
     "drop-events [<count>]", &Interpreter::DropEvents},
    {"delay", "delay <ms> [<k>]",
     "every answer and event leaves ms late (0: off); with k, only the next k replies (an answer and the "
     "events behind it), then the delay is off",
     "delay <milliseconds> [<replies>]", &Interpreter::Delay},
    {"wrong-number", "wrong-number [<k>]", "the next k answers carry the previous packet number",
     "wrong-number [<count>]", &Interpreter::WrongNumber},
    {"stale", "stale [<k>]", "the next k answers are preceded by a stale answer (`STALE`, previous packet number)",
     "stale [<count>]", &Interpreter::Stale},
    {"oversize", "oversize [<k>]", "the next k answers carry Length 0x300",
     "oversize [<count>]", &Interpreter::Oversize},
    {"split", "split <bytes>", "write the event stream in pieces of this size, 1 ms apart (0: whole packets)",
     "split <bytes per write, 0 for off>", &Interpreter::Split},
    {"reconnect", "reconnect", "before the next answer, open a second connection, then close the first",
     nullptr, &Interpreter::Reconnect},
    {"disconnect", "disconnect [<ms>]",
     "close the connection now; it is reopened by the next answer, or by itself after ms (default 100)",
     "disconnect [<ms before reconnecting by itself>]", &Interpreter::Disconnect},
    {"busy", "busy <reads>|always|off",
     "the next reads of the mailbox counter say busy (`always`: until `busy off`)",
     "busy <reads>|always|off", &Interpreter::Busy},
    {"corrupt-read", "corrupt-read <n>",
     "the n-th buffer read (`NATIVE_READ_BUFFER_CMD`, a loader's read-back) from now answers with its first "
     "byte inverted",
     "corrupt-read|drop-read <read-back from 1>", &Interpreter::CorruptRead},
    {"drop-read", "drop-read <n>", "the n-th buffer read from now is not answered",
     "corrupt-read|drop-read <read-back from 1>", &Interpreter::DropRead},
    {"refuse-run", "refuse-run [on|off]",
     "run commands (command pipe type 1) are not answered and start nothing (default on)",
     "refuse-run [on|off]", &Interpreter::RefuseRun},
    {"firmware", "firmware",
     "`ok running runs=R` or `ok stopped runs=R`: the firmware's state and the run commands executed",
     nullptr, &Interpreter::Firmware},
    {"reset", "reset",
     "all faults off (the hostile dispatcher and the source address too), execution settings back to their "
     "defaults",
     nullptr, &Interpreter::Reset},
    {"clear", "clear", "forget the recorded commands", nullptr, &Interpreter::Clear},
    {"count", "count", "`ok packets=P answers=A counter-reads=C mailbox=M system=S connections=N`",
     nullptr, &Interpreter::Count},
    {"system", "system", "`ok code:value ...` for each system command received", nullptr, &Interpreter::System},
    {"mailbox", "mailbox [<n>]",
     "`ok <number of commands taken>`; with n, `ok <bytes in hex> writes <length>@<address> ...` of command n "
     "(from 1; -1 is the last)",
     "mailbox [<n from 1, or -1 for the last>]", &Interpreter::Mailbox},
    {"read", "read <addr> <len>", "`ok <bytes in hex>` of chip memory (len up to 4096)",
     "read <address> <length up to 4096>", &Interpreter::Read},
    {"write", "write <addr> <byte>...", "write bytes into chip memory",
     "write <address> <byte> [<byte> ...]", &Interpreter::Write},
    {"eeprom", "eeprom <offset> <len>",
     "`ok <bytes in hex>` of the EEPROM range (an error when it lies outside), so a test can check what a "
     "burn wrote",
     "eeprom <offset> <length> (within the EEPROM)", &Interpreter::Eeprom},
    {"eeprom-fault", "eeprom-fault drop|corrupt <n>",
     "the answer to the n-th EEPROM command (read or write chunk) from now on, n from 1, is left out (`drop`) "
     "or carries its data bytes inverted (`corrupt`)",
     "eeprom-fault drop|corrupt <n-th EEPROM command from now, from 1>", &Interpreter::EepromFault},
    {"hostile", "hostile off|silent|garbage|max-length|capture|flood",
     "from now on a hostile dispatcher answers every command (system commands aside) instead of the chip (or a "
     "replay), which does not see them: `silent` nothing; `garbage` 1 to 4000 random bytes; `max-length` a "
     "packet of Length 0xFFFF, then a full 512-byte packet of 0xFF, both with the command's number; `capture` "
     "an empty acknowledgement (a free counter for word reads), and after a word write of 1 (the counter "
     "write) 300 capture fragments claiming 65535 bytes, shuffled (fragment 0 second) and numbered past 255; "
     "`flood` 5000 copies of that acknowledgement at once; `off` the chip again",
     "hostile off|silent|garbage|max-length|capture|flood", &Interpreter::Hostile},
    {"source-address", "source-address <addr>|default",
     "connections to the library come from this local address from the next one on (`reconnect` opens one); "
     "`default` leaves it to the system",
     "source-address <local IPv4 address>|default", &Interpreter::SourceAddress},
    {"churn", "churn <n>",
     "opens n connections to the library one after the other, writes a piece of a packet into each (1 + 5i "
     "random bytes into the i-th) and closes it; every other one comes from 127.0.0.2. Answers once done",
     "churn <connections, 1 to 10000>", &Interpreter::Churn},
    {"fail", "fail <command> <status>",
     "the named PHY command answers with this status (a name of the set, or a number)",
     "fail <command> <status name or number>", &Interpreter::Fail},
    {"succeed", "succeed <command>", "undo `fail`", "succeed <command>", &Interpreter::Succeed},
    {"capture-length", "capture-length <bytes>", "bytes a capture returns (up to 65535)",
     "capture-length <bytes up to 65535>", &Interpreter::CaptureLength},
    {"fragment-bytes", "fragment-bytes <bytes>", "captured bytes per fragment (1 to 239)",
     "fragment-bytes <1 to 239>", &Interpreter::FragmentBytes},
    {"mac-events", "mac-events <n>", "events per MAC command", "mac-events <1 to 100>", &Interpreter::MacEvents},
    {"event-fault", "event-fault <fault> [<k>]",
     "spoil the next k commands' events: `bad-ctrl` (ctrl 12), `bad-source` (source 7), `unknown-event` (a "
     "type no event has), `unknown-status`; or the next k captures: `out-of-order` (fragments 0 and 1 "
     "swapped), `missing-fragment` (fragment 1 left out), `last-fragment-bit`",
     "event-fault out-of-order|last-fragment-bit|missing-fragment|bad-ctrl|bad-source|unknown-event|"
     "unknown-status [<count>]",
     &Interpreter::EventFault},
    {"executed", "executed [<n>]",
     "`ok <number of commands executed>`; with n, `ok <phy or mac> <name, or -> events <k> bytes <hex>` of "
     "command n (from 1; -1 is the last)",
     "executed [<n from 1, or -1 for the last>]", &Interpreter::Executed},
    {"library-port", "library-port <port>", "connect to the library on this port from now on",
     "library-port <port>", &Interpreter::LibraryPort},
    {"definitions", "definitions <list file>", "execute commands with this definition set from now on",
     "definitions <list file>", &Interpreter::Definitions},
    {"replay", "replay",
     "`ok played P of N recorded commands` (and `; diverged: ...`) while replaying", nullptr,
     &Interpreter::Replay},
    {"shutdown", "shutdown", "stop the emulator", nullptr, &Interpreter::Shutdown},
    // The only line `help` leaves out; it ignores what follows it.
    {"help", "help", "the list of lines", "help", &Interpreter::Help},
};

std::string Interpreter::Run() {
    if (line_.verb.empty()) return "error empty line";
    for (const ControlLine& row : kControlLines) {
        if (line_.verb != row.name) continue;
        row_ = &row;
        if (row_->errorUsage == nullptr && !ArgCount(0)) return UnknownCommand();
        return (this->*row_->handler)();
    }
    return UnknownCommand();
}

}  // namespace

std::string ExecuteControlLine(Emulator& emulator, const std::string& line, bool& shutdown) {
    const Line parsed = Split(line);
    return Interpreter(emulator, parsed, shutdown).Run();
}

std::vector<ControlLineText> ControlLineTexts() {
    std::vector<ControlLineText> texts;
    for (const ControlLine& row : kControlLines) texts.push_back({row.name, row.usage, row.description});
    return texts;
}

const std::string& ControlHelp() {
    static const std::string help = [] {
        std::string text;
        for (const ControlLine& row : kControlLines) {
            if (row.handler == &Interpreter::Help) continue;
            text += (text.empty() ? "" : " | ") + std::string(row.usage);
        }
        return text;
    }();
    return help;
}

}  // namespace tbemu
