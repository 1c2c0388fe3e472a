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

class Interpreter {
public:
    Interpreter(Emulator& emulator, const Line& line) : emu_(emulator), line_(line) {}

    std::string Run(bool& shutdown);

private:
    bool Arg(std::size_t index, long long& value, long long low, long long high) const {
        return index < line_.args.size() && ParseNumber(line_.args[index], value) && value >= low &&
               value <= high;
    }
    bool ArgCount(std::size_t count) const { return line_.args.size() == count; }
    static std::string Usage(const char* form) { return std::string("error usage: ") + form; }

    std::string CountedFault(void (Emulator::*setter)(int), const char* form);
    std::string Busy();
    std::string Count() const;
    std::string System() const;
    std::string Mailbox() const;
    std::string Read() const;
    std::string Write();
    std::string Eeprom() const;
    std::string EepromFault();
    std::string Hostile();
    std::string Execution();
    std::string Executed() const;

    Emulator& emu_;
    const Line& line_;
};

std::string Interpreter::CountedFault(void (Emulator::*setter)(int), const char* form) {
    long long count = 1;
    if (!(ArgCount(0) || (ArgCount(1) && Arg(0, count, 0, 1000000)))) return Usage(form);
    (emu_.*setter)(static_cast<int>(count));
    return "ok";
}

std::string Interpreter::Busy() {
    if (!ArgCount(1)) return Usage("busy <reads>|always|off");
    long long reads = 0;
    if (line_.args[0] == "always") {
        reads = -1;
    } else if (line_.args[0] != "off" && !Arg(0, reads, 0, 1000000)) {
        return Usage("busy <reads>|always|off");
    }
    emu_.KeepCounterBusy(static_cast<int>(reads));
    return "ok";
}

std::string Interpreter::Count() const {
    std::ostringstream text;
    text << "ok packets=" << emu_.PacketsReceived() << " answers=" << emu_.AnswersSent()
         << " counter-reads=" << emu_.CounterReads()
         << " mailbox=" << emu_.MailboxCommands().size()
         << " system=" << emu_.SystemCommands().size()
         << " connections=" << emu_.ConnectionsOpened();
    return text.str();
}

std::string Interpreter::System() const {
    std::ostringstream text;
    text << "ok";
    for (const SystemCommand& command : emu_.SystemCommands()) {
        text << ' ' << command.code << ':' << command.value;
    }
    return text.str();
}

std::string Interpreter::Mailbox() const {
    const std::vector<MailboxCommand> commands = emu_.MailboxCommands();
    if (ArgCount(0)) return "ok " + std::to_string(commands.size());
    long long index = 0;
    const long long count = static_cast<long long>(commands.size());
    if (!ArgCount(1) || !Arg(0, index, -count, count) || index == 0) {
        return Usage("mailbox [<n from 1, or -1 for the last>]");
    }
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

std::string Interpreter::Read() const {
    long long address = 0;
    long long length = 0;
    if (!ArgCount(2) || !Arg(0, address, 0, 0xFFFFFFFF) || !Arg(1, length, 0, 4096)) {
        return Usage("read <address> <length up to 4096>");
    }
    const Bytes bytes = emu_.ReadMemory(static_cast<std::uint32_t>(address), static_cast<std::size_t>(length));
    return "ok " + HexBytes(bytes.data(), bytes.size(), bytes.size());
}

std::string Interpreter::Write() {
    long long address = 0;
    if (line_.args.size() < 2 || !Arg(0, address, 0, 0xFFFFFFFF)) {
        return Usage("write <address> <byte> [<byte> ...]");
    }
    Bytes bytes;
    for (std::size_t i = 1; i < line_.args.size(); ++i) {
        long long byte = 0;
        if (!Arg(i, byte, 0, 0xFF)) return Usage("write <address> <byte> [<byte> ...]");
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    emu_.WriteMemory(static_cast<std::uint32_t>(address), bytes);
    return "ok";
}

std::string Interpreter::Eeprom() const {
    long long offset = 0;
    long long length = 0;
    Bytes bytes;
    if (!ArgCount(2) || !Arg(0, offset, 0, 0xFFFFFFFF) || !Arg(1, length, 0, 0xFFFFFFFF) ||
        !emu_.EepromRange(static_cast<std::uint32_t>(offset), static_cast<std::size_t>(length), bytes)) {
        return Usage("eeprom <offset> <length> (within the EEPROM)");
    }
    return "ok " + HexBytes(bytes.data(), bytes.size(), bytes.size());
}

std::string Interpreter::EepromFault() {
    long long chunk = 0;
    const bool known = !line_.args.empty() && (line_.args[0] == "drop" || line_.args[0] == "corrupt");
    if (!known || !ArgCount(2) || !Arg(1, chunk, 1, 0xFFFFFFFF)) {
        return Usage("eeprom-fault drop|corrupt <n-th EEPROM command from now, from 1>");
    }
    emu_.ArmEepromChunkFault(line_.args[0] == "drop" ? EepromChunkFault::Drop : EepromChunkFault::Corrupt,
                             static_cast<std::uint64_t>(chunk));
    return "ok";
}

// The hostile dispatcher's lines (hostile.h): its answers, the address its
// connections come from, connections dropped in a loop.
std::string Interpreter::Hostile() {
    const std::string& verb = line_.verb;
    if (verb == "hostile") {
        HostileMode mode = HostileMode::Off;
        if (!ArgCount(1) || !HostileModeFromName(line_.args[0], mode)) {
            return Usage("hostile off|silent|garbage|max-length|capture|flood");
        }
        emu_.SetHostileMode(mode);
        return "ok";
    }
    if (verb == "source-address") {
        in_addr address{};
        const bool system = ArgCount(1) && line_.args[0] == "default";
        if (!ArgCount(1) || (!system && ::inet_pton(AF_INET, line_.args[0].c_str(), &address) != 1)) {
            return Usage("source-address <local IPv4 address>|default");
        }
        emu_.ConnectFrom(system ? std::string() : line_.args[0]);
        return "ok";
    }
    long long count = 0;
    if (!ArgCount(1) || !Arg(0, count, 1, 10000)) return Usage("churn <connections, 1 to 10000>");
    std::string error;
    return emu_.ChurnConnections(static_cast<int>(count), error) ? "ok" : "error " + error;
}

std::string Interpreter::Execution() {
    const std::string& verb = line_.verb;
    if (!emu_.ExecutesCommands()) return "error the emulator was started without definitions";
    long long value = 0;
    if (verb == "fail") {
        if (!ArgCount(2)) return Usage("fail <command> <status name or number>");
        return emu_.FailCommand(line_.args[0], line_.args[1]) ? "ok" : "error unknown status " + line_.args[1];
    }
    if (verb == "succeed") {
        if (!ArgCount(1)) return Usage("succeed <command>");
        emu_.SucceedCommand(line_.args[0]);
        return "ok";
    }
    if (verb == "capture-length") {
        if (!ArgCount(1) || !Arg(0, value, 0, static_cast<long long>(kMaxCaptureLength))) {
            return Usage("capture-length <bytes up to 65535>");
        }
        emu_.SetCaptureLength(static_cast<std::size_t>(value));
        return "ok";
    }
    if (verb == "fragment-bytes") {
        if (!ArgCount(1) || !Arg(0, value, 1, static_cast<long long>(kMaxFragmentBytes))) {
            return Usage("fragment-bytes <1 to 239>");
        }
        emu_.SetCaptureFragmentBytes(static_cast<std::size_t>(value));
        return "ok";
    }
    if (verb == "mac-events") {
        if (!ArgCount(1) || !Arg(0, value, 1, 100)) return Usage("mac-events <1 to 100>");
        emu_.SetMacEventCount(static_cast<int>(value));
        return "ok";
    }
    EventFault fault{};
    long long count = 1;
    if (line_.args.empty() || !EventFaultFromName(line_.args[0], fault) || line_.args.size() > 2 ||
        (line_.args.size() == 2 && !Arg(1, count, 0, 1000000))) {
        return Usage("event-fault out-of-order|last-fragment-bit|missing-fragment|bad-ctrl|"
                     "bad-source|unknown-event|unknown-status [<count>]");
    }
    emu_.ArmEventFault(fault, static_cast<int>(count));
    return "ok";
}

std::string Interpreter::Executed() const {
    const std::vector<ExecutedCommand> executed = emu_.ExecutedCommands();
    if (ArgCount(0)) return "ok " + std::to_string(executed.size());
    long long index = 0;
    const long long count = static_cast<long long>(executed.size());
    if (!ArgCount(1) || !Arg(0, index, -count, count) || index == 0) {
        return Usage("executed [<n from 1, or -1 for the last>]");
    }
    const ExecutedCommand& command = executed[static_cast<std::size_t>(index > 0 ? index - 1 : count + index)];
    return std::string("ok ") + (command.form == CommandForm::Mac ? "mac" : "phy") + " " +
           (command.name.empty() ? "-" : command.name) + " events " + std::to_string(command.events) +
           " bytes " + HexBytes(command.command.data(), command.command.size(), command.command.size());
}

std::string Interpreter::Run(bool& shutdown) {
    const std::string& verb = line_.verb;
    long long value = 0;
    if (verb.empty()) return "error empty line";
    if (verb == "help") return std::string("ok ") + ControlHelp();
    if (verb == "drop") {
        if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFFFFFF)) return Usage("drop <command number from 1>");
        emu_.DropAnswerTo(static_cast<std::uint64_t>(value));
        return "ok";
    }
    if (verb == "drop-next") return CountedFault(&Emulator::DropNextAnswers, "drop-next [<count>]");
    if (verb == "drop-events") return CountedFault(&Emulator::DropNextEvents, "drop-events [<count>]");
    if (verb == "wrong-number") return CountedFault(&Emulator::WrongNumberForNextAnswers, "wrong-number [<count>]");
    if (verb == "stale") return CountedFault(&Emulator::StaleAnswerBeforeNext, "stale [<count>]");
    if (verb == "oversize") return CountedFault(&Emulator::OversizeNextAnswers, "oversize [<count>]");
    if (verb == "delay") {
        long long replies = 0;
        const bool counted = ArgCount(2) && Arg(1, replies, 1, 1000000);
        if (!(ArgCount(1) || counted) || !Arg(0, value, 0, 600000)) return Usage("delay <milliseconds> [<replies>]");
        emu_.SetAnswerDelay(static_cast<int>(value), static_cast<int>(replies));
        return "ok";
    }
    if (verb == "split") {
        if (!ArgCount(1) || !Arg(0, value, 0, 65536)) return Usage("split <bytes per write, 0 for off>");
        emu_.SplitWrites(static_cast<std::size_t>(value));
        return "ok";
    }
    if (verb == "busy") return Busy();
    if (verb == "reconnect" && ArgCount(0)) {
        emu_.ReconnectBeforeNextAnswer();
        return "ok";
    }
    if (verb == "disconnect") {
        long long quietMs = 100;
        if (!(ArgCount(0) || (ArgCount(1) && Arg(0, quietMs, 0, 600000)))) {
            return Usage("disconnect [<ms before reconnecting by itself>]");
        }
        emu_.Disconnect(static_cast<int>(quietMs));
        return "ok";
    }
    if (verb == "corrupt-read" || verb == "drop-read") {
        if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFFFFFF)) return Usage("corrupt-read|drop-read <read-back from 1>");
        if (verb == "corrupt-read") emu_.CorruptReadBack(static_cast<std::uint64_t>(value));
        else emu_.DropReadBack(static_cast<std::uint64_t>(value));
        return "ok";
    }
    if (verb == "refuse-run") {
        if (!(ArgCount(0) || (ArgCount(1) && (line_.args[0] == "on" || line_.args[0] == "off")))) {
            return Usage("refuse-run [on|off]");
        }
        emu_.RefuseRun(ArgCount(0) || line_.args[0] == "on");
        return "ok";
    }
    if (verb == "firmware" && ArgCount(0)) {
        return std::string("ok ") + (emu_.FirmwareRunning() ? "running" : "stopped") +
               " runs=" + std::to_string(emu_.RunCommands());
    }
    if (verb == "reset" && ArgCount(0)) {
        emu_.ClearFaults();
        return "ok";
    }
    if (verb == "clear" && ArgCount(0)) {
        emu_.ClearRecords();
        return "ok";
    }
    if (verb == "count" && ArgCount(0)) return Count();
    if (verb == "replay" && ArgCount(0)) {
        return emu_.Replaying() ? "ok " + emu_.ReplayStatus() : "error not replaying";
    }
    if (verb == "system" && ArgCount(0)) return System();
    if (verb == "mailbox") return Mailbox();
    if (verb == "read") return Read();
    if (verb == "write") return Write();
    if (verb == "eeprom") return Eeprom();
    if (verb == "eeprom-fault") return EepromFault();
    if (verb == "hostile" || verb == "source-address" || verb == "churn") return Hostile();
    if (verb == "fail" || verb == "succeed" || verb == "capture-length" ||
        verb == "fragment-bytes" || verb == "mac-events" || verb == "event-fault") {
        return Execution();
    }
    if (verb == "executed") return Executed();
    if (verb == "library-port") {
        if (!ArgCount(1) || !Arg(0, value, 1, 0xFFFF)) return Usage("library-port <port>");
        emu_.SetLibraryPort(static_cast<std::uint16_t>(value));
        return "ok";
    }
    if (verb == "definitions") {
        // The path may hold blanks: it is the rest of the line.
        const std::string& text = line_.rest;
        std::string error;
        if (text.empty()) return Usage("definitions <list file>");
        return emu_.LoadDefinitions(text, error) ? "ok" : "error " + error;
    }
    if (verb == "shutdown" && ArgCount(0)) {
        shutdown = true;
        return "ok";
    }
    return "error unknown command: " + verb + " (try help)";
}

}  // namespace

std::string ExecuteControlLine(Emulator& emulator, const std::string& line, bool& shutdown) {
    const Line parsed = Split(line);
    return Interpreter(emulator, parsed).Run(shutdown);
}

const char* ControlHelp() {
    return "drop <n> | drop-next [<k>] | drop-events [<k>] | delay <ms> [<k>] | wrong-number [<k>] | stale [<k>] | "
           "oversize [<k>] | split <bytes> | reconnect | disconnect | busy <reads>|always|off | "
           "corrupt-read <n> | drop-read <n> | refuse-run [on|off] | firmware | "
           "reset | clear | count | system | mailbox [<n>] | read <addr> <len> | "
           "write <addr> <byte>... | eeprom <offset> <len> | eeprom-fault drop|corrupt <n> | "
           "hostile off|silent|garbage|max-length|capture|flood | source-address <addr>|default | churn <n> | "
           "fail <command> <status> | "
           "succeed <command> | capture-length <bytes> | fragment-bytes <bytes> | "
           "mac-events <n> | event-fault <fault> [<k>] | executed [<n>] | library-port <port> | "
           "definitions <list file> | replay | shutdown";
}

}  // namespace tbemu
