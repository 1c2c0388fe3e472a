// tb-emulator: the dispatcher and the chip behind it, as a program.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "consolelogger.h"
#include "control.h"
#include "emulator.h"

namespace {

const char kUsage[] =
    "usage: tb-emulator [options]\n"
    "  --command-port <port>     UDP port for command packets (default: a free port)\n"
    "  --bind <address>          IPv4 address of the command port (default 127.0.0.1)\n"
    "  --library-port <port>     the library's TCP port to connect to\n"
    "  --library-address <addr>  the library's IPv4 address (default 127.0.0.1)\n"
    "  --control-port <port>     open the text control port on loopback (0: a free port)\n"
    "  --definitions <list file> execute console commands with this definition set\n"
    "                            (not with --replay)\n"
    "  --mailbox <buf>,<read>,<write>  mailbox addresses (default: the definitions'\n"
    "                            predefined values, else 0xBFE30000,0xBF108300,0xBF108240)\n"
    "  --eeprom-file <path>      keep the EEPROM in this file\n"
    "  --eeprom-size <bytes>     EEPROM size (default 65536)\n"
    "                            (--mailbox and the EEPROM's options not with --replay)\n"
    "  --fault <line>            apply a control line at start, e.g. --fault \"delay 200\"\n"
    "  --pcap <file>             write every packet received and sent to this capture file\n"
    "  --replay <capture>        play the dispatcher's side of a recorded session (pcap or\n"
    "                            pcapng) instead of the chip: each command gets its recorded\n"
    "                            answer; exit status 3 when the session differed or fell short\n"
    "  --replay-ports <udp>,<tcp>  with --replay: the recording's command and library\n"
    "                            ports (default: found from the packets)\n"
    "  --replay-match=data|shape with --replay: a live command matches the recorded one\n"
    "                            by type, address, length and the data it writes (data,\n"
    "                            the default), or by type, address and length (shape)\n"
    "  -v, --verbose             log each packet (twice: with data dumps)\n"
    "  -q, --quiet               log nothing but failures\n"
    "  -h, --help                this text\n"
    "  --version                 the version\n"
    "Stops on SIGINT, SIGTERM or the control line \"shutdown\".\n"
    "Exit status: 0 stopped, 1 could not start (a port taken, a file that does not open), 2 a usage error.\n";

#ifndef TB_VERSION_TEXT
#define TB_VERSION_TEXT "unknown"
#endif

struct CommandLine {
    tbemu::EmulatorOptions options;
    std::vector<std::string> faults;
    bool replayPortsGiven = false;
    bool replayMatchGiven = false;
    bool eepromGiven = false;
    bool help = false;
    bool version = false;
};

// Decimal, or hexadecimal after "0x"; digits only (no sign, no blanks), at
// least one of them.
bool ParseUnsigned(const char* text, unsigned long max, unsigned long& value) {
    if (text == nullptr) return false;
    const bool hex = std::strncmp(text, "0x", 2) == 0;
    const char* digits = hex ? text + 2 : text;
    const unsigned char first = static_cast<unsigned char>(*digits);
    if (!(hex ? std::isxdigit(first) : std::isdigit(first))) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(digits, &end, hex ? 16 : 10);
    return *end == '\0' && errno != ERANGE && value <= max;
}

bool IsIpv4Address(const char* text) {
    in_addr address{};
    return text != nullptr && inet_pton(AF_INET, text, &address) == 1;
}

bool ParsePort(const char* text, std::uint16_t& port) {
    unsigned long value = 0;
    if (!ParseUnsigned(text, 0xFFFF, value)) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParsePortPair(const std::string& text, tbemu::ReplayPorts& ports) {
    const std::size_t comma = text.find(',');
    return comma != std::string::npos && ParsePort(text.substr(0, comma).c_str(), ports.command) &&
           ParsePort(text.substr(comma + 1).c_str(), ports.library);
}

bool ParseMailbox(const std::string& text, tbemu::MailboxAddresses& mailbox) {
    std::uint32_t* fields[] = {&mailbox.buffer, &mailbox.counterRead, &mailbox.counterWrite};
    std::size_t start = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i == 2)) return false;
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned long value = 0;
        if (!ParseUnsigned(part.c_str(), 0xFFFFFFFFul, value)) return false;
        *fields[i] = static_cast<std::uint32_t>(value);
        start = comma + 1;
    }
    return true;
}

// Options that would be ignored in the company they are given in.
bool CheckCombinations(const CommandLine& line, std::string& error) {
    const auto& options = line.options;
    const bool replaying = !options.replayFile.empty();
    if (replaying && !options.definitionListFile.empty()) {
        error = "--definitions with --replay: a replay answers from its recording, the chip model is off";
    } else if (replaying && options.mailbox) {
        error = "--mailbox with --replay: a replay answers from its recording, the chip model is off";
    } else if (replaying && line.eepromGiven) {
        error = "--eeprom-file or --eeprom-size with --replay: a replay answers from its recording, "
                "the chip's EEPROM is off";
    } else if (options.replayFile.empty() && line.replayPortsGiven) {
        error = "--replay-ports without --replay";
    } else if (options.replayFile.empty() && line.replayMatchGiven) {
        error = "--replay-match without --replay";
    }
    return error.empty();
}

bool Parse(int argc, char** argv, CommandLine& line, std::string& error) {
    auto& options = line.options;
    options.verbosity = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takesValue = [&](bool ok) {
            if (!ok) error = "bad or missing value for " + arg;
            ++i;
            return ok;
        };
        unsigned long number = 0;
        if (arg == "-h" || arg == "--help") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "-v" || arg == "--verbose") {
            ++options.verbosity;
        } else if (arg == "-q" || arg == "--quiet") {
            options.verbosity = 0;
        } else if (arg == "--command-port") {
            if (!takesValue(ParsePort(value, options.commandPort))) return false;
        } else if (arg == "--library-port") {
            if (!takesValue(ParsePort(value, options.libraryPort))) return false;
        } else if (arg == "--control-port") {
            options.controlChannel = true;
            if (!takesValue(ParsePort(value, options.controlPort))) return false;
        } else if (arg == "--bind") {
            if (!takesValue(IsIpv4Address(value))) return false;
            options.commandAddress = value;
        } else if (arg == "--library-address") {
            if (!takesValue(IsIpv4Address(value))) return false;
            options.libraryAddress = value;
        } else if (arg == "--mailbox") {
            tbemu::MailboxAddresses mailbox;
            if (!takesValue(value != nullptr && ParseMailbox(value, mailbox))) return false;
            options.mailbox = mailbox;
        } else if (arg == "--definitions") {
            if (!takesValue(value != nullptr)) return false;
            options.definitionListFile = value;
        } else if (arg == "--eeprom-file") {
            line.eepromGiven = true;
            if (!takesValue(value != nullptr)) return false;
            options.eepromFile = value;
        } else if (arg == "--eeprom-size") {
            line.eepromGiven = true;
            if (!takesValue(ParseUnsigned(value, 0x1000000, number) && number > 0)) return false;
            options.eepromSize = number;
        } else if (arg == "--pcap") {
            if (!takesValue(value != nullptr)) return false;
            options.pcapFile = value;
        } else if (arg == "--replay") {
            if (!takesValue(value != nullptr)) return false;
            options.replayFile = value;
        } else if (arg == "--replay-ports") {
            line.replayPortsGiven = true;
            if (!takesValue(value != nullptr && ParsePortPair(value, options.replayPorts))) return false;
        } else if (arg == "--replay-match" || arg.rfind("--replay-match=", 0) == 0) {
            line.replayMatchGiven = true;
            const bool inline_ = arg != "--replay-match";
            const std::string match = inline_ ? arg.substr(arg.find('=') + 1) : (value != nullptr ? value : "");
            if (!inline_) ++i;
            if (match != "data" && match != "shape") {
                error = "bad or missing value for --replay-match (data or shape)";
                return false;
            }
            options.replayMatch = match == "data" ? tbemu::ReplayMatch::kData : tbemu::ReplayMatch::kShape;
        } else if (arg == "--fault") {
            if (!takesValue(value != nullptr)) return false;
            line.faults.push_back(value);
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    return CheckCombinations(line, error);
}

void LogWithTime(const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(stderr, "%s %s\n", stamp, text.c_str());
}

// Standard output is the emulator's own: its first line is "ready ...",
// which scripts wait for. The library code it runs (the definitions parser's
// logger, which announces its removal of old logs when it starts) prints on
// standard output too; from here on that goes to standard error, the log.
// Returns the stream of the real standard output (stdout when it cannot be
// kept apart).
std::FILE* TakeStandardOutput() {
    std::fflush(stdout);
    const int own = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    std::FILE* stream = own < 0 ? nullptr : fdopen(own, "w");
    if (stream == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (stream != nullptr) std::fclose(stream);
        else if (own >= 0) close(own);
        return stdout;
    }
    return stream;
}

// With -q the logger starts with the library's standard output silenced:
// its start-up lines are no failures.
void StartLoggerQuietly() {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY);
    if (saved < 0 || nowhere < 0) {
        if (saved >= 0) close(saved);
        if (nowhere >= 0) close(nowhere);
        return;
    }
    dup2(nowhere, STDOUT_FILENO);
    ConsoleLogger::Instance();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(nowhere);
}

bool ApplyFaults(tbemu::Emulator& emulator, const std::vector<std::string>& faults) {
    for (const std::string& fault : faults) {
        bool shutdown = false;
        const std::string answer = tbemu::ExecuteControlLine(emulator, fault, shutdown);
        if (answer.rfind("ok", 0) != 0 || shutdown) {
            std::fprintf(stderr, "tb-emulator: --fault \"%s\": %s\n", fault.c_str(), answer.c_str());
            return false;
        }
    }
    return true;
}

// Waits for SIGINT or SIGTERM (blocked in every thread) or for the emulator
// to stop by itself.
void WaitForEnd(tbemu::Emulator& emulator, const sigset_t& signals) {
    const timespec tick{0, 200 * 1000 * 1000};
    while (emulator.Running()) {
        const int signal = sigtimedwait(&signals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            LogWithTime(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            return;
        }
    }
}

// The library code that parses the definitions writes a log and a crash
// file under $TERMBRIDGE_ROOT. The emulator keeps those in a folder of its
// own, so that the files of a library in use (the same user's, on the same
// machine) get nothing of the emulator's.
class PrivateLibraryRoot {
public:
    PrivateLibraryRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tb-emulator-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
            setenv("TERMBRIDGE_ROOT", path_.c_str(), 1);
        }
    }
    ~PrivateLibraryRoot() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    PrivateLibraryRoot(const PrivateLibraryRoot&) = delete;
    PrivateLibraryRoot& operator=(const PrivateLibraryRoot&) = delete;

private:
    std::string path_;
};

constexpr int kReplayFailed = 3;

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    std::string error;
    if (!Parse(argc, argv, line, error)) {
        std::fprintf(stderr, "tb-emulator: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (line.version || line.help) {
        if (line.version) std::printf("tb-emulator %s\n", TB_VERSION_TEXT);
        if (line.help) std::printf("%sControl lines: %s\n", kUsage, tbemu::ControlHelp().c_str());
        if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
        std::fprintf(stderr, "tb-emulator: cannot write standard output: %s\n",
                     errno != 0 ? std::strerror(errno) : "a write failed");
        return 2;
    }
    line.options.logSink = LogWithTime;
    std::FILE* const readyStream = TakeStandardOutput();
    if (line.options.verbosity == 0) StartLoggerQuietly();

    // Signals are taken synchronously by the main thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    PrivateLibraryRoot root;
    tbemu::Emulator emulator(line.options);
    // The definitions first: execution faults (fail, mac-events) need them.
    if (!emulator.Prepare(error)) {
        std::fprintf(stderr, "tb-emulator: %s\n", error.c_str());
        return 1;
    }
    if (!ApplyFaults(emulator, line.faults)) return 2;
    if (!emulator.Start(error)) {
        std::fprintf(stderr, "tb-emulator: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(readyStream, "ready command-port=%u control-port=%u\n", emulator.CommandPort(),
                 emulator.ControlPort());
    std::fflush(readyStream);
    WaitForEnd(emulator, signals);
    emulator.Stop();
    if (emulator.Replaying()) {
        LogWithTime("replay: " + emulator.ReplayStatus());
        if (!emulator.ReplaySucceeded()) return kReplayFailed;
    }
    return 0;
}
