// tb-emulator, the program: its ready line, options and exit statuses.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "emulator_test_support.h"
#include "testsupport.h"

namespace emutest {
namespace {

// tb-emulator as a child process, its standard output on a pipe.
class EmulatorProcess {
public:
    // `errorFile`: where its standard error goes (empty: the test's).
    explicit EmulatorProcess(const std::vector<std::string>& arguments, const std::string& errorFile = "") {
        // Everything the child needs is made before the fork: it may only
        // call async-signal-safe functions.
        std::vector<char*> argv{const_cast<char*>(TB_EMULATOR_PROGRAM)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        int output[2];
        if (::pipe(output) != 0) return;
        Fd errors(errorFile.empty() ? -1 : ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        pid_ = ::fork();
        if (pid_ == 0) {
            if (errors.Valid()) ::dup2(errors.Get(), STDERR_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::close(output[1]);
            ::execv(TB_EMULATOR_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(output[1]);
        output_.Reset(output[0]);
    }
    ~EmulatorProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The first line of standard output; what came of it when the program
    // says nothing more for kWaitMs.
    std::string FirstLine() {
        std::string line;
        char c;
        pollfd readable{output_.Get(), POLLIN, 0};
        while (::poll(&readable, 1, kWaitMs) == 1 && ::read(output_.Get(), &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit status, or -1 when it did not exit normally within the time.
    int ExitStatus() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            ::usleep(10000);
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    Fd output_;
};

std::uint16_t PortIn(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(name + "=");
    return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(line.substr(at + name.size() + 1)));
}

TEST(EmulatorProgram, ReportsItsPortsObeysControlAndStopsCleanly) {
    FakeLibrary library;
    {
        EmulatorProcess program({"--control-port", "0", "-q", "--fault", "drop-next 1", "--library-port",
                                 std::to_string(library.ListenPort())});
        const std::string ready = program.FirstLine();
        ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
        const std::uint16_t commandPort = PortIn(ready, "command-port");
        ControlClient control(PortIn(ready, "control-port"));
        // The fault given on the command line is in force.
        library.Send(Command(NATIVE_READ_WORD, 0), 1, commandPort);
        library.Send(Command(NATIVE_READ_WORD, 0), 2, commandPort);
        const auto event = library.NextEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->RxCmdPacketNum, 2);
        EXPECT_EQ(control.Ask("shutdown"), "ok");
        EXPECT_EQ(program.ExitStatus(), 0);
    }
    {
        EmulatorProcess program({"-q"});
        ASSERT_EQ(program.FirstLine().rfind("ready ", 0), 0u);
        program.Signal(SIGTERM);
        EXPECT_EQ(program.ExitStatus(), 0);
    }
    EXPECT_EQ(EmulatorProcess({"--fault", "drop"}).ExitStatus(), 2);
    EXPECT_EQ(EmulatorProcess({"--command-port", "70000"}).ExitStatus(), 2);
}

// Scripts read the first line of standard output for the ports: the
// definitions parser's start-up lines go to the log, also without -q. The
// execution faults on the command line find the definitions read.
TEST(EmulatorProgram, ReadyIsTheFirstLineOfStandardOutput) {
    testsupport::TempDir dir;
    EmulatorProcess program({"--definitions", testsupport::ExamplesDir() + "/definitions/list.txt", "--fault",
                             "fail PHYC_GET_STATUS_CMD PHYC_STATUS_NOT_SUPPORTED", "--fault", "mac-events 3"},
                            dir.File("stderr.txt"));
    const std::string first = program.FirstLine();
    EXPECT_EQ(first.rfind("ready ", 0), 0u) << first;
    program.Signal(SIGTERM);
    EXPECT_EQ(program.ExitStatus(), 0);
    EXPECT_NE(testsupport::ReadFile(dir.File("stderr.txt")).find("Removing logs"), std::string::npos);
}

// Values that are no values and options that would go unheeded are usage
// errors, said before anything starts.
TEST(EmulatorProgram, RefusesBadValuesAndOptionsThatWouldBeIgnored) {
    testsupport::TempDir dir;
    const std::string errors = dir.File("stderr.txt");
    const struct {
        std::vector<std::string> arguments;
        std::string said;
    } cases[] = {
        {{"--library-address", "127.0.0.300", "--library-port", "1"}, "bad or missing value for --library-address"},
        {{"--bind", "127.1"}, "bad or missing value for --bind"},
        {{"--command-port", "0x"}, "bad or missing value for --command-port"},
        {{"--mailbox", "0x,0x,0x"}, "bad or missing value for --mailbox"},
        {{"--definitions", dir.File("list.txt"), "--replay", dir.File("session.pcap")},
         "--definitions with --replay"},
        {{"--replay-ports", "50000,50001"}, "--replay-ports without --replay"},
        {{"--replay-match", "shape"}, "--replay-match without --replay"},
        {{"--replay", dir.File("session.pcap"), "--replay-match=values"}, "bad or missing value for --replay-match"},
        {{"--replay", dir.File("session.pcap"), "--mailbox", "1,2,3"}, "--mailbox with --replay"},
        {{"--eeprom-size", "16", "--replay", dir.File("session.pcap")}, "--eeprom-file or --eeprom-size with --replay"},
    };
    for (const auto& c : cases) {
        EmulatorProcess program(c.arguments, errors);
        EXPECT_EQ(program.ExitStatus(), 2) << c.arguments[0] << " " << c.arguments[1];
        const std::string text = testsupport::ReadFile(errors);
        EXPECT_EQ(text.rfind("tb-emulator: " + c.said, 0), 0u) << text;
    }
}

TEST(EmulatorProgram, EepromFileOfAnotherSizeStopsTheStartAndIsKept) {
    testsupport::TempDir dir;
    const std::string image(65536, 'x');
    const std::string file = dir.Write("eeprom.bin", image);
    const std::string errors = dir.File("stderr.txt");
    EXPECT_EQ(EmulatorProcess({"-q", "--eeprom-file", file, "--eeprom-size", "16"}, errors).ExitStatus(), 1);
    const std::string text = testsupport::ReadFile(errors);
    EXPECT_NE(text.find("holds 65536 bytes but the EEPROM has 16"), std::string::npos) << text;
    EXPECT_EQ(testsupport::ReadFile(file), image);
}

}  // namespace
}  // namespace emutest
