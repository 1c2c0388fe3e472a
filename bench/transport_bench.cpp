// The transport's round trip against the raw loopback one.
//
// raw:       one 524-byte UDP datagram out, one 520-byte TCP record back,
//            strictly in turn, plain sockets and a plain echo thread, no
//            library code.
// echo:      the traffic manager's ReadWord as an internal operation (the
//            packet handler, its two threads, the queue and the response
//            event) against the same kind of echo thread, so the difference
//            to raw is the library's own cost.
// emulator:  ReadEeprom of 64 KiB (4096 round trips of 16 bytes) against the
//            emulated dispatcher and chip, timed per round trip.
//
// The three alternate in blocks so that they share the machine's mood. Each
// runs with the log at severity 1 (quiet) and at the library's default 2.
// Prints the medians per round trip and their ratios to raw; the aim is a
// library round trip within 1.5 times the raw one.
//
// Run: bench_transport [blocks]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if __has_include("emulator.h")

#include <netinet/in.h>
#include <sys/socket.h>

#include "benchsupport.h"
#include "consolelogger.h"
#include "emulator.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "socketutil.h"
#include "trafficmanager.h"

namespace fs = std::filesystem;

namespace {

using namespace benchsupport;

constexpr int kDefaultBlocks = 10;
constexpr int kRoundTripsPerBlock = 500;
constexpr std::size_t kEepromBytes = 65536;
constexpr std::size_t kCommandPacketBytes = 524;
constexpr std::size_t kEventPacketBytes = 520;

std::uint16_t FreeTcpPort() {
    std::string error;
    tbemu::Fd probe = tbemu::ListenTcp("127.0.0.1", 0, error);
    return probe.Valid() ? tbemu::LocalPort(probe.Get()) : 0;
}

// A dispatcher reduced to an echo: every 524-byte datagram is answered with
// one 520-byte record carrying the datagram's packet number, over a TCP
// connection the echo opened.
class Echo {
public:
    bool Bind(std::string& error) {
        udp_ = tbemu::BindUdp("127.0.0.1", 0, error);
        return udp_.Valid();
    }
    // Connects (retrying while the listener starts) and starts answering.
    bool Connect(std::uint16_t tcpPort, std::string& error) {
        for (int attempt = 0; attempt < 250 && !tcp_.Valid(); ++attempt) {
            tcp_ = tbemu::ConnectTcp("127.0.0.1", tcpPort, error);
            if (!tcp_.Valid()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!tcp_.Valid()) return false;
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    ~Echo() {
        stop_ = true;
        if (!thread_.joinable()) return;
        tbemu::Fd waker = tbemu::BindUdp("127.0.0.1", 0, wakeError_);
        std::uint8_t datagram[kCommandPacketBytes] = {};
        sockaddr_in to = Address(Port());
        ::sendto(waker.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        thread_.join();
    }
    std::uint16_t Port() const { return tbemu::LocalPort(udp_.Get()); }

    static sockaddr_in Address(std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return to;
    }

private:
    void Run() {
        std::uint8_t datagram[2048];
        std::uint8_t record[kEventPacketBytes] = {1, 0, 0, 0, 0, 0, 16, 0};
        for (;;) {
            const ssize_t got = ::recv(udp_.Get(), datagram, sizeof datagram, 0);
            if (stop_) return;
            if (got != static_cast<ssize_t>(kCommandPacketBytes)) continue;
            record[4] = datagram[1];  // RxCmdPacketNum = TxCmdPacketNum
            if (!tbemu::SendAll(tcp_.Get(), record, sizeof record)) return;
        }
    }

    tbemu::Fd udp_;
    tbemu::Fd tcp_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::string wakeError_;
};

// The raw exchange: this thread sends and reads; the echo answers.
class RawLoopback {
public:
    bool Open(std::string& error) {
        tbemu::Fd listener = tbemu::ListenTcp("127.0.0.1", 0, error);
        sender_ = tbemu::BindUdp("127.0.0.1", 0, error);
        if (!listener.Valid() || !sender_.Valid()) return false;
        if (!echo_.Bind(error) || !echo_.Connect(tbemu::LocalPort(listener.Get()), error)) return false;
        receiver_ = tbemu::Fd(::accept(listener.Get(), nullptr, nullptr));
        to_ = Echo::Address(echo_.Port());
        return receiver_.Valid();
    }

    bool RoundTrip() {
        std::uint8_t datagram[kCommandPacketBytes] = {};
        if (::sendto(sender_.Get(), datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to_),
                     sizeof to_) != static_cast<ssize_t>(sizeof datagram)) {
            return false;
        }
        std::uint8_t record[kEventPacketBytes];
        for (std::size_t have = 0; have < sizeof record;) {
            const ssize_t got = ::recv(receiver_.Get(), record + have, sizeof record - have, 0);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    Echo echo_;
    tbemu::Fd sender_;
    tbemu::Fd receiver_;
    sockaddr_in to_{};
};

// Internal operations never reach the owner.
class NoOwner : public TrafficOwner {
public:
    void ArmResponseWait() override {}
    bool HandleIncomingEvents(const std::uint8_t*, std::uint32_t, bool& isSubEvent, bool& accepted) override {
        isSubEvent = false;
        accepted = false;
        return false;
    }
    void SetResultInvalid(int) override {}
    void SignalEventReceived() override {}
};

// Retries until the far end's connection is up and answers.
bool WaitUntilAnswering(TrafficManager& traffic) {
    traffic.SetInternalTimeout(100);
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
        traffic.SetInternalOperation(true);
        answered = traffic.ReadWord(0xBFC00000);
    }
    traffic.SetInternalOperation(true);
    traffic.SetInternalTimeout(5000);
    return answered;
}

struct Figures {
    std::vector<double> raw, echo, emulator;
};

bool RunBlock(RawLoopback& raw, TrafficManager& echoTraffic, TrafficManager& emulatorTraffic,
              std::vector<std::uint8_t>& eeprom, Figures& figures) {
    for (int i = 0; i < kRoundTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!raw.RoundTrip()) return false;
        figures.raw.push_back(Microseconds(Clock::now() - start));
    }
    for (int i = 0; i < kRoundTripsPerBlock; ++i) {
        const auto start = Clock::now();
        if (!echoTraffic.ReadWord(0x100)) return false;
        figures.echo.push_back(Microseconds(Clock::now() - start));
    }
    const auto start = Clock::now();
    if (!emulatorTraffic.ReadEeprom(0, eeprom.size(), eeprom.data())) return false;
    figures.emulator.push_back(Microseconds(Clock::now() - start) / static_cast<double>(eeprom.size() / 16));
    return true;
}

void Print(int severity, const Figures& figures) {
    const double raw = Median(figures.raw);
    const double echo = Median(figures.echo);
    const double emulator = Median(figures.emulator);
    std::printf("log severity %d\n", severity);
    std::printf("  raw loopback round trip          median %8.1f us  (%u trips)\n", raw,
                static_cast<unsigned>(figures.raw.size()));
    std::printf("  library ReadWord, echo far end   median %8.1f us  ratio %.2f\n", echo, echo / raw);
    std::printf("  library ReadEeprom 64 KiB, emu   median %8.1f us per round trip  ratio %.2f  (%u runs)\n",
                emulator, emulator / raw, static_cast<unsigned>(figures.emulator.size()));
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultBlocks;
    ScratchFolder scratch;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", scratch.Path());
    platform::StartSocketLibrary();
    std::string error;

    RawLoopback raw;
    if (!raw.Open(error)) {
        std::fprintf(stderr, "raw loopback: %s\n", error.c_str());
        return 1;
    }

    NoOwner owner;
    const std::uint16_t echoPort = FreeTcpPort();
    Echo echo;
    if (!echo.Bind(error)) {
        std::fprintf(stderr, "echo: %s\n", error.c_str());
        return 1;
    }
    auto echoTraffic = std::make_unique<TrafficManager>(&owner, echo.Port(), "127.0.0.1", echoPort);
    if (!echo.Connect(echoPort, error)) {
        std::fprintf(stderr, "echo: %s\n", error.c_str());
        return 1;
    }

    const std::uint16_t emulatorPort = FreeTcpPort();
    tbemu::EmulatorOptions options;
    options.libraryPort = emulatorPort;
    tbemu::Emulator emulator(options);
    if (!emulator.Start(error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    auto emulatorTraffic = std::make_unique<TrafficManager>(&owner, emulator.CommandPort(), "127.0.0.1", emulatorPort);
    if (!WaitUntilAnswering(*echoTraffic) || !WaitUntilAnswering(*emulatorTraffic)) {
        std::fprintf(stderr, "the far ends do not answer\n");
        return 1;
    }

    std::vector<std::uint8_t> eeprom(kEepromBytes);
    for (int severity : {LOG_ERROR, LOG_NORMAL}) {
        SetLogSeverityLevel(severity);
        Figures figures;
        for (int block = 0; block < blocks; ++block) {
            if (!RunBlock(raw, *echoTraffic, *emulatorTraffic, eeprom, figures)) {
                std::fprintf(stderr, "a round trip failed\n");
                return 1;
            }
        }
        Print(severity, figures);
    }
    emulatorTraffic.reset();
    echoTraffic.reset();
    emulator.Stop();
    return 0;
}

#else

int main() {
    std::printf("bench_transport needs the emulator (a native Linux build with the tools)\n");
    return 0;
}

#endif
