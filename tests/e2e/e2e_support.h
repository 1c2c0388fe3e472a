// End-to-end test support: the library's exports driven against the
// dispatcher and chip emulator, which the tests steer through its text
// control channel. On Linux the emulator runs inside the test program; a
// Windows test program (under Wine) talks to a native emulator process whose
// ports it finds in TB_EMULATOR_COMMAND_PORT and TB_EMULATOR_CONTROL_PORT.
#ifndef TERMBRIDGE_E2E_SUPPORT_H
#define TERMBRIDGE_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "controlconnection.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

// Generous: reached only when something is broken.
constexpr int kCommandTimeoutMs = 5000;
constexpr int kWaitMs = 5000;

// One connection to the emulator's control port.
class EmulatorControl {
public:
    // Connects, closing an earlier connection first.
    bool Connect(std::uint16_t port);
    // The answer line to one control line ("ok ...", "error ...").
    std::string Ask(const std::string& line);
    // A line that must be accepted; a refusal is a test failure.
    void Do(const std::string& line);

    struct Counts {
        std::size_t packets = 0;
        std::size_t answers = 0;
        std::size_t counterReads = 0;
        std::size_t mailbox = 0;
        std::size_t system = 0;
        std::size_t connections = 0;
    };
    Counts Count();
    // code, value of every system command received.
    std::vector<std::pair<unsigned, unsigned long>> SystemCommands();
    struct MailboxEntry {
        Bytes bytes;
        // The writes that filled the buffer: length and address of each.
        std::vector<std::pair<int, std::uint32_t>> writes;
    };
    // Command n taken from the mailbox (from 1; -1 is the last).
    MailboxEntry Mailbox(int n);
    Bytes ReadMemory(std::uint32_t address, std::size_t length);
    void WriteMemory(std::uint32_t address, const Bytes& bytes);
    Bytes Eeprom(std::size_t offset, std::size_t length);

private:
    testsupport::ControlConnection connection_;
};

// Re-tests `condition` every few milliseconds until it holds.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = kWaitMs);

// What one sendCommand left behind.
struct Outcome {
    int rc = -1;
    Bytes result;         // getResultBuffer, getResultLen bytes
    std::string text;     // getResultBufferText
    std::string failure;  // getFailureMessage
};
// A command with the generous time-out that goes unanswered, and a probe
// after it too, marks the link broken: later commands then fail at once
// ("not sent: ...") and so does the next test's set-up.
Outcome Send(const std::string& line, int timeoutMs = kCommandTimeoutMs);
// Why the link is taken for broken; empty while it is not.
const std::string& BrokenLink();
std::string AsText(const Bytes& bytes);
// A Linux path as the library under test sees it (through drive Z: under Wine).
std::string LibraryPath(const std::string& linuxPath);
Bytes FromHex(const std::string& hexWithBlanks);

// What an operation stopped from another thread left behind.
struct Stopped {
    int rc = -1;
    std::string failure;
    std::size_t packetsSoonAfter = 0;  // packets the emulator had a moment after the call returned
    std::size_t packetsLater = 0;      // and a while later
};
// Runs the operation on a thread of its own, cancels it (tbx_cancelOperation)
// once `stuck` holds and waits for it to return. A call still running
// seconds after the cancel would hang the test program: it ends the program
// with the reason instead.
Stopped CancelOnceStuck(const std::function<int()>& operation, const std::function<bool()>& stuck);

// The library, initialised once per test program against the emulator, with
// the given definition set. Register it with AddGlobalTestEnvironment.
class LibrarySession : public ::testing::Environment {
public:
    // Paths are Linux paths; a Windows test program hands them to the
    // library through drive Z:.
    LibrarySession(std::string listFile, std::string macMap, std::string phyMap);
    ~LibrarySession() override;

    void SetUp() override;
    void TearDown() override;

    static LibrarySession& Current();
    EmulatorControl& Emulator() { return control_; }
    // For a second control connection, from another thread.
    std::uint16_t ControlPort() const;
    bool Ready() const { return ready_; }
    // Stops the emulator and starts it again on the same ports with the
    // same EEPROM file (set up as at the session's start); false when it
    // does not come back.
    bool RestartEmulator();

private:
    class Host;
    void WriteRegistry(std::uint16_t commandPort, std::uint16_t libraryPort);
    bool SetUpEmulator();

    std::string listFile_;
    std::string macMap_;
    std::string phyMap_;
    std::unique_ptr<Host> host_;
    EmulatorControl control_;
    std::uint16_t libraryPort_ = 0;
    bool initialized_ = false;
    bool ready_ = false;
};

// Registers, as the test program's global environment, a session with the
// example definition set and map files.
LibrarySession* AddExampleSession();

// Base fixture: every test starts with the emulator's faults off and the
// library ready.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override;
    EmulatorControl& Emulator() { return LibrarySession::Current().Emulator(); }
};

}  // namespace e2e

#endif
