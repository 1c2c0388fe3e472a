#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <sstream>
#include <thread>

#include "platform/platform_tools.h"
#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

#ifdef TB_E2E_IN_PROCESS_EMULATOR
#include "emulator.h"
#endif

namespace e2e {

namespace {
const char* kPortsKey = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports";
const char* kAddressesKey = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses";
constexpr unsigned kSystemSync = 3;
constexpr unsigned kSystemClose = 4;

LibrarySession* g_session = nullptr;

// A command that any working link answers at once.
const char* const kProbeLine = "NATIVE_READ_WORD_CMD 0xBFC00000";
// Set once a command with the generous time-out and a probe after it both went
// unanswered: the link to the emulator is broken, and later commands fail at
// once instead of each waiting its time-out.
std::string g_brokenLink;

bool IsTimeout(const Outcome& outcome) { return outcome.rc != 0 && outcome.failure.rfind("Timeout Error", 0) == 0; }

std::uint16_t FreeTcpPort() { return testsupport::FreeLoopbackTcpPort(); }

bool StartsWithOk(const std::string& answer) { return answer == "ok" || answer.rfind("ok ", 0) == 0; }

// The words after "ok".
std::vector<std::string> Words(const std::string& answer) {
    std::istringstream in(answer);
    std::vector<std::string> words;
    std::string word;
    in >> word;  // "ok"
    while (in >> word) words.push_back(word);
    return words;
}
}  // namespace

std::string LibraryPath(const std::string& linuxPath) { return testsupport::LibraryPath(linuxPath); }

// ------------------------------------------------------------------ control

bool EmulatorControl::Connect(std::uint16_t port) { return connection_.Connect(port); }

std::string EmulatorControl::Ask(const std::string& line) { return connection_.Ask(line); }

void EmulatorControl::Do(const std::string& line) {
    const std::string answer = Ask(line);
    EXPECT_TRUE(StartsWithOk(answer)) << "emulator refused \"" << line << "\": " << answer;
}

EmulatorControl::Counts EmulatorControl::Count() {
    Counts counts;
    for (const std::string& word : Words(Ask("count"))) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = word.substr(0, equals);
        const std::size_t value = std::strtoul(word.c_str() + equals + 1, nullptr, 10);
        if (name == "packets") counts.packets = value;
        if (name == "answers") counts.answers = value;
        if (name == "counter-reads") counts.counterReads = value;
        if (name == "mailbox") counts.mailbox = value;
        if (name == "system") counts.system = value;
        if (name == "connections") counts.connections = value;
    }
    return counts;
}

std::vector<std::pair<unsigned, unsigned long>> EmulatorControl::SystemCommands() {
    std::vector<std::pair<unsigned, unsigned long>> commands;
    for (const std::string& word : Words(Ask("system"))) {
        const std::size_t colon = word.find(':');
        if (colon == std::string::npos) continue;
        commands.emplace_back(static_cast<unsigned>(std::strtoul(word.c_str(), nullptr, 10)),
                              std::strtoul(word.c_str() + colon + 1, nullptr, 10));
    }
    return commands;
}

EmulatorControl::MailboxEntry EmulatorControl::Mailbox(int n) {
    MailboxEntry entry;
    const std::string answer = Ask("mailbox " + std::to_string(n));
    EXPECT_TRUE(StartsWithOk(answer)) << answer;
    bool inWrites = false;
    for (const std::string& word : Words(answer)) {
        if (word == "writes") {
            inWrites = true;
        } else if (inWrites) {
            const std::size_t at = word.find('@');
            const std::uint32_t address =
                at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::strtoul(word.c_str() + at + 1, nullptr, 16));
            entry.writes.emplace_back(std::atoi(word.c_str()), address);
        } else {
            entry.bytes.push_back(static_cast<std::uint8_t>(std::strtoul(word.c_str(), nullptr, 16)));
        }
    }
    return entry;
}

Bytes EmulatorControl::ReadMemory(std::uint32_t address, std::size_t length) {
    const std::string answer = Ask("read " + std::to_string(address) + " " + std::to_string(length));
    EXPECT_TRUE(StartsWithOk(answer)) << answer;
    return FromHex(answer.size() > 3 ? answer.substr(3) : std::string());
}

void EmulatorControl::WriteMemory(std::uint32_t address, const Bytes& bytes) {
    std::string line = "write " + std::to_string(address);
    for (const std::uint8_t byte : bytes) line += " " + std::to_string(byte);
    Do(line);
}

Bytes EmulatorControl::Eeprom(std::size_t offset, std::size_t length) {
    const std::string answer = Ask("eeprom " + std::to_string(offset) + " " + std::to_string(length));
    EXPECT_TRUE(StartsWithOk(answer)) << answer;
    return FromHex(answer.size() > 3 ? answer.substr(3) : std::string());
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    return testsupport::WaitUntil(condition, timeoutMs);
}

// ------------------------------------------------------------------ commands

namespace {
Outcome SendNow(const std::string& line, int timeoutMs) {
    Outcome outcome;
    outcome.rc = sendCommand(line.c_str(), timeoutMs);
    const int length = getResultLen();
    const char* result = getResultBuffer();
    if (length > 0 && result != nullptr) {
        outcome.result.assign(reinterpret_cast<const std::uint8_t*>(result),
                              reinterpret_cast<const std::uint8_t*>(result) + length);
    }
    outcome.text = getResultBufferText();
    outcome.failure = getFailureMessage();
    return outcome;
}
}  // namespace

const std::string& BrokenLink() { return g_brokenLink; }

Outcome Send(const std::string& line, int timeoutMs) {
    if (!g_brokenLink.empty()) {
        Outcome refused;
        refused.rc = 1;
        refused.failure = "not sent: " + g_brokenLink;
        return refused;
    }
    const Outcome outcome = SendNow(line, timeoutMs);
    // Only a command that was given the generous time-out was expected to be
    // answered; the probe tells a lost answer from a broken link.
    if (timeoutMs >= kCommandTimeoutMs && IsTimeout(outcome) && IsTimeout(SendNow(kProbeLine, kCommandTimeoutMs))) {
        g_brokenLink = "no answer to \"" + line + "\" within " + std::to_string(timeoutMs) +
                       " ms, nor to a probe after it: the library's link to the emulator is broken";
        ADD_FAILURE() << g_brokenLink;
    }
    return outcome;
}

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes FromHex(const std::string& hexWithBlanks) {
    Bytes bytes;
    std::istringstream in(hexWithBlanks);
    std::string word;
    while (in >> word) bytes.push_back(static_cast<std::uint8_t>(std::strtoul(word.c_str(), nullptr, 16)));
    return bytes;
}

// ------------------------------------------------------------------ session

// Where the emulator runs: inside this program, or outside it.
class LibrarySession::Host {
public:
    bool Start(std::string& error) {
        commandPort_ = testsupport::PortFromEnvironment("TB_EMULATOR_COMMAND_PORT");
        controlPort_ = testsupport::PortFromEnvironment("TB_EMULATOR_CONTROL_PORT");
        if (commandPort_ != 0 && controlPort_ != 0) return true;
#ifdef TB_E2E_IN_PROCESS_EMULATOR
        commandPort_ = controlPort_ = 0;  // free ones
        if (!StartInProcess(error)) return false;
        commandPort_ = emulator_->CommandPort();
        controlPort_ = emulator_->ControlPort();
        return true;
#else
        error = "no emulator: set TB_EMULATOR_COMMAND_PORT and TB_EMULATOR_CONTROL_PORT";
        return false;
#endif
    }

    // An emulator process (run_with_emulator.sh) starts again by itself
    // after "shutdown"; one inside this program is started again here. Both
    // keep their ports and their EEPROM file.
    bool Restart(EmulatorControl& control, std::string& error) {
#ifdef TB_E2E_IN_PROCESS_EMULATOR
        if (emulator_) {
            emulator_->Stop();
            emulator_.reset();
            return StartInProcess(error);
        }
#endif
        if (control.Ask("shutdown") != "ok") {
            error = "the emulator refused to shut down";
            return false;
        }
        // The old process may still hold its port for a moment.
        const bool back = WaitFor([&] {
            EmulatorControl probe;
            return probe.Connect(controlPort_) && probe.Ask("count").rfind("ok", 0) == 0;
        });
        if (!back) error = "the emulator did not come back";
        return back;
    }
    std::uint16_t CommandPort() const { return commandPort_; }
    std::uint16_t ControlPort() const { return controlPort_; }

private:
#ifdef TB_E2E_IN_PROCESS_EMULATOR
    bool StartInProcess(std::string& error) {
        tbemu::EmulatorOptions options;
        options.controlChannel = true;
        options.commandPort = commandPort_;
        options.controlPort = controlPort_;
        options.eepromFile = eepromDir_.File("eeprom.bin");
        const char* verbose = std::getenv("TB_E2E_VERBOSE");
        options.verbosity = verbose != nullptr ? std::atoi(verbose) : 0;
        emulator_ = std::make_unique<tbemu::Emulator>(options);
        return emulator_->Start(error);
    }
    testsupport::TempDir eepromDir_;
    std::unique_ptr<tbemu::Emulator> emulator_;
#endif
    std::uint16_t commandPort_ = 0;
    std::uint16_t controlPort_ = 0;
};

LibrarySession::LibrarySession(std::string listFile, std::string macMap, std::string phyMap)
    : listFile_(std::move(listFile)), macMap_(std::move(macMap)), phyMap_(std::move(phyMap)) {
    g_session = this;
}

LibrarySession::~LibrarySession() = default;

LibrarySession& LibrarySession::Current() { return *g_session; }

std::uint16_t LibrarySession::ControlPort() const { return host_ ? host_->ControlPort() : 0; }

void LibrarySession::WriteRegistry(std::uint16_t commandPort, std::uint16_t libraryPort) {
    ASSERT_TRUE(platform::WriteUserRegistryValue(kPortsKey, "Console_To_Dispatcher", std::to_string(commandPort)));
    ASSERT_TRUE(platform::WriteUserRegistryValue(kPortsKey, "Dispatcher_To_Console", std::to_string(libraryPort)));
    ASSERT_TRUE(platform::WriteUserRegistryValue(kAddressesKey, "Console_To_Dispatcher", "127.0.0.1"));
}

void LibrarySession::SetUp() {
    static testsupport::IsolatedRoot root;  // before the library's first call
    ASSERT_EQ(platform::StartSocketLibrary(), 0);
    host_ = std::make_unique<Host>();
    std::string error;
    ASSERT_TRUE(host_->Start(error)) << error;
    libraryPort_ = FreeTcpPort();
    ASSERT_NE(libraryPort_, 0);
    ASSERT_TRUE(SetUpEmulator()) << "no emulator control port " << host_->ControlPort();
    WriteRegistry(host_->CommandPort(), libraryPort_);
    ASSERT_EQ(initialize(LibraryPath(macMap_).c_str(), LibraryPath(phyMap_).c_str(),
                         LibraryPath(listFile_).c_str()),
              0);
    initialized_ = true;
    // Construction ends with the synchronising system command.
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& command : control_.SystemCommands()) {
            if (command.first == kSystemSync) return true;
        }
        return false;
    })) << "the sync command never reached the emulator";
    // Answers come back: the library took the emulator's event connection.
    const Outcome first = SendNow(kProbeLine, kCommandTimeoutMs);
    ASSERT_EQ(first.rc, 0) << "no answer to the first command (" << first.failure << "); the emulator opened "
                           << control_.Count().connections << " connection(s) to the library's port "
                           << libraryPort_;
    ready_ = true;
}

bool LibrarySession::SetUpEmulator() {
    if (!control_.Connect(host_->ControlPort())) return false;
    control_.Do("reset");
    control_.Do("clear");
    control_.Do("definitions " + listFile_);
    control_.Do("library-port " + std::to_string(libraryPort_));
    return true;
}

bool LibrarySession::RestartEmulator() {
    std::string error;
    if (!host_->Restart(control_, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    return SetUpEmulator();
}

void LibrarySession::TearDown() {
    if (initialized_) {
        EXPECT_EQ(deinitialize(), 0);
        const bool closed = WaitFor([&] {
            const auto commands = control_.SystemCommands();
            return !commands.empty() && commands.back().first == kSystemClose;
        });
        EXPECT_TRUE(closed) << "deinitialize sent no closing system command";
    }
    initialized_ = ready_ = false;
    host_.reset();
    platform::StopSocketLibrary();
}

void EndToEnd::SetUp() {
    ASSERT_TRUE(LibrarySession::Current().Ready()) << "the library did not start";
    ASSERT_TRUE(g_brokenLink.empty()) << "not run: " << g_brokenLink;
    Emulator().Do("reset");
}

Stopped CancelOnceStuck(const std::function<int()>& operation, const std::function<bool()>& stuck) {
    std::packaged_task<int()> task(operation);
    std::future<int> returned = task.get_future();
    std::thread worker(std::move(task));
    EXPECT_TRUE(WaitFor(stuck)) << "the operation never came to the point where it is stopped";
    tbx_cancelOperation();
    if (returned.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        std::fprintf(stderr, "FATAL: the operation was still running 5 s after the cancel\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
    EmulatorControl& emulator = LibrarySession::Current().Emulator();
    Stopped stopped;
    stopped.rc = returned.get();
    stopped.failure = getFailureMessage();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the datagrams sent before it returned
    stopped.packetsSoonAfter = emulator.Count().packets;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped.packetsLater = emulator.Count().packets;
    return stopped;
}

LibrarySession* AddExampleSession() {
    const std::string examples = TB_EXAMPLES_DIR;
    auto* session = new LibrarySession(examples + "/definitions/list.txt", examples + "/maps/mac.map",
                                       examples + "/maps/phy.map");
    ::testing::AddGlobalTestEnvironment(session);  // owned by GoogleTest
    return session;
}

}  // namespace e2e
