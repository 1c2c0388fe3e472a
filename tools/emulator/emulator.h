// The dispatcher and the chip behind it, over real loopback sockets.
//
// Native command packets arrive on a UDP port; each (system commands aside)
// is answered with one event packet over a TCP connection that the emulator
// opens to the library's listening port and reopens when it is lost. Commands
// handed to the chip through its mailbox are answered with further events
// after the counter write's answer. Faults can be set before and during a
// run; the fault plan (faultplan.h) says what they do to each reply.
// Everything received is recorded for inspection. One worker thread does all
// the socket work; the public operations may be called from any thread.
#ifndef TBEMU_EMULATOR_H
#define TBEMU_EMULATOR_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chip.h"
#include "commandexecutor.h"
#include "definitions.h"
#include "faultplan.h"
#include "pcapwriter.h"
#include "replay.h"
#include "socketutil.h"

namespace tbemu {

struct EmulatorOptions {
    std::string commandAddress = "127.0.0.1";  // where the UDP command port is bound
    std::uint16_t commandPort = 0;             // 0 picks a free port
    std::string libraryAddress = "127.0.0.1";  // the library's TCP listener
    std::uint16_t libraryPort = 0;             // 0: never connect
    bool controlChannel = false;               // a TCP text control port on loopback
    std::uint16_t controlPort = 0;             // 0 picks a free port
    std::size_t eepromSize = 0x10000;
    std::string eepromFile;                    // empty: the EEPROM lives in memory only
    std::optional<MailboxAddresses> mailbox;   // empty: the definitions' or the defaults
    // The definition set whose commands the chip executes; without one the
    // chip only records what it takes from its mailbox.
    std::string definitionListFile;
    std::string pcapFile;  // a capture of every packet received and sent; empty: none
    // A recorded session to play back instead of running the chip; empty: none.
    std::string replayFile;
    ReplayPorts replayPorts;  // its ports; 0: found from the packets
    ReplayMatch replayMatch = ReplayMatch::kData;
    int verbosity = 0;  // 0 quiet, 1 each packet in one line, 2 with data dumps
    std::function<void(const std::string&)> logSink;  // default: standard error
};

// A native command as it arrived (system commands included).
struct ReceivedCommand {
    std::uint8_t version = 0;
    std::uint8_t packetNum = 0;
    std::uint16_t type = 0;
    std::uint32_t address = 0;
    std::uint16_t length = 0;
    std::uint16_t additionalParam = 0;
    Bytes data;  // the first Length data bytes (at most 512)
};

struct SystemCommand {
    std::uint16_t code = 0;
    std::uint32_t value = 0;
    std::uint8_t packetNum = 0;
};

class Emulator {
public:
    explicit Emulator(EmulatorOptions options);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Reads what the run starts from: the EEPROM file, the recording to
    // replay or the definition set; false with a reason. Start does it when
    // it was not done: calling it first lets settings that need the
    // definitions (FailCommand, SetMacEventCount) be made before any packet.
    bool Prepare(std::string& error);
    // Binds the ports and starts the worker thread; false with a reason.
    bool Start(std::string& error);
    void Stop();
    bool Running() const { return running_; }
    // Blocks until Stop() or a control "shutdown", or until the time passes.
    bool WaitForStop(int timeoutMs);

    std::uint16_t CommandPort() const { return commandPort_; }
    std::uint16_t ControlPort() const { return controlPort_; }
    // Where the library listens; takes effect at the next connection.
    void SetLibraryPort(std::uint16_t port);
    // Executes commands taken from the mailbox (set before Start).
    void SetCommandHandler(CommandHandler handler);
    // Makes the chip execute commands with this definition set from now on
    // (and take its mailbox addresses unless they were given); false with a
    // reason when the list file cannot be read.
    bool LoadDefinitions(const std::string& listFile, std::string& error);
    void SetMailbox(const MailboxAddresses& addresses);

    // ---- faults
    void DropAnswerTo(std::uint64_t commandNumber);
    void DropNextAnswers(int count);
    // The next `count` commands the chip executes send their answer but no events.
    void DropNextEvents(int count);
    // `replies` > 0: only that many more replies (an answer with the events
    // behind it) leave late, then the delay is off again.
    void SetAnswerDelay(int milliseconds, int replies = 0);
    void WrongNumberForNextAnswers(int count);
    void StaleAnswerBeforeNext(int count);
    void OversizeNextAnswers(int count);
    void SplitWrites(std::size_t pieceBytes);
    void ReconnectBeforeNextAnswer();
    // Closes the connection now. It is reopened by the next answer, or by
    // itself once `quietMs` have passed.
    void Disconnect(int quietMs = 100);
    void KeepCounterBusy(int reads);  // negative: until changed
    // The n-th buffer read from now (n from 1) answers with its first byte
    // inverted, or not at all.
    void CorruptReadBack(std::uint64_t n);
    void DropReadBack(std::uint64_t n);
    // Run commands stay unanswered and leave the firmware stopped.
    void RefuseRun(bool refuse);
    // Spoils the answer to the n-th EEPROM command (a read or write chunk)
    // from now on, n from 1.
    void ArmEepromChunkFault(EepromChunkFault fault, std::uint64_t n);
    // A hostile dispatcher (hostile.h) answers from now on; Off: the chip.
    void SetHostileMode(HostileMode mode);
    // Connections to the library come from this local address from the next
    // one on (empty: the system's choice).
    void ConnectFrom(const std::string& sourceAddress);
    // Opens and drops `count` connections to the library at once, each with
    // a piece of a packet, every other one from 127.0.0.2 (hostile.h).
    bool ChurnConnections(int count, std::string& error);
    void ClearFaults();
    AnswerFaults Faults() const;

    // ---- command execution (needs a definition set)
    bool ExecutesCommands() const;
    // Commands of this name answer with the named status (a status name of
    // the definitions, or a number); false for an unknown status name.
    bool FailCommand(const std::string& commandName, const std::string& status);
    void SucceedCommand(const std::string& commandName);
    void SetCaptureLength(std::size_t bytes);
    void SetCaptureFragmentBytes(std::size_t bytes);
    void SetMacEventCount(int events);
    void ArmEventFault(EventFault fault, int count);
    std::vector<ExecutedCommand> ExecutedCommands() const;

    // ---- replay (with a replay file)
    bool Replaying() const { return replay_ != nullptr; }
    // "played P of N recorded commands", and the divergence when there was one.
    std::string ReplayStatus() const;
    // Every recorded command was played and none differed.
    bool ReplaySucceeded() const;

    // ---- the loaded firmware
    bool FirmwareRunning() const;
    std::size_t RunCommands() const;

    // ---- inspection
    Bytes ReadMemory(std::uint32_t address, std::size_t length) const;
    void WriteMemory(std::uint32_t address, const Bytes& bytes);
    Bytes Eeprom() const;
    // The EEPROM bytes of a range; false when it lies outside the EEPROM.
    bool EepromRange(std::uint32_t offset, std::size_t length, Bytes& out) const;
    MailboxAddresses Mailbox() const;
    std::vector<MailboxCommand> MailboxCommands() const;
    std::vector<SystemCommand> SystemCommands() const;
    std::vector<ReceivedCommand> Commands() const;  // every packet, in order
    std::size_t PacketsReceived() const;
    // Answers and events written to the stream; a packet the library has
    // read is always counted.
    std::size_t AnswersSent() const;
    std::size_t CounterReads() const;
    std::size_t ConnectionsOpened() const;
    bool Connected() const;
    void ClearRecords();

    // Waits until `condition` holds, re-testing it whenever the emulator
    // changes; false when the time runs out first.
    bool WaitFor(const std::function<bool()>& condition, int timeoutMs) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Outgoing {
        Clock::time_point due;
        Bytes bytes;
        std::size_t packetsEnding = 0;  // event packets whose last byte is in `bytes`
        bool reconnectFirst = false;
        bool completesCommand = false;
    };
    struct ControlClient {
        Fd fd;
        std::string pending;
    };

    void Run();
    int PollTimeoutMs() const;
    void TakeDisconnectRequest();
    void ReceiveDatagrams();
    void HandleDatagram(const std::uint8_t* bytes, std::size_t length);
    void Record(const NativeCommand_t& command, std::uint8_t version, std::uint8_t packetNum);
    void QueueReply(const NativeCommand_t& command, std::uint8_t packetNum, ChipReply& reply);
    void QueueHostileAnswer(const NativeCommand_t& command, std::uint8_t packetNum);
    void ExecuteOnChip(const NativeCommand_t& command, std::uint8_t packetNum);
    void QueueRecordedReply(const NativeCommand_t& command, std::uint8_t packetNum);
    Bytes Packet(std::uint8_t rxNum, std::uint8_t sourceId, const Bytes& data,
                 std::optional<std::uint16_t> lengthOverride = std::nullopt);
    void Schedule(std::vector<Bytes> packets, bool reconnectFirst, bool completesCommand);
    void LogFaults(const ReplyFaults& faults, const NativeCommand_t& command) const;

    void SendDueItems();
    bool SendItem(Outgoing& item);
    bool EnsureConnected();
    void OpenReplacementConnection();
    void DropConnection(const char* reason);
    void ReadFromLibrary();
    void MaybeConnectAhead();

    void AcceptControlClient();
    void ServeControlClient(ControlClient& client);

    std::vector<Bytes> ExecuteTakenCommand(const Bytes& command);
    void Log(int level, const std::string& text) const;
    void Notify();

    EmulatorOptions options_;
    std::atomic<bool> running_{false};
    bool prepared_ = false;
    std::atomic<bool> stopRequested_{false};
    std::thread worker_;
    WakePipe wake_;
    Fd udp_;
    Fd library_;
    Fd controlListener_;
    std::vector<ControlClient> controlClients_;
    std::uint16_t commandPort_ = 0;
    std::uint16_t controlPort_ = 0;
    Endpoint commandEndpoint_;
    // The capture and the connection it follows: worker thread only.
    PcapWriter pcap_;
    TcpFlow libraryFlow_;
    Clock::time_point nextConnectAttempt_{};
    bool connectFailureLogged_ = false;

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    EmulatedChip chip_;
    // Every set loaded stays until the end: an executor refers to its set.
    std::vector<std::unique_ptr<Definitions>> definitionSets_;
    std::unique_ptr<CommandExecutor> executor_;
    std::unique_ptr<Replay> replay_;
    FaultPlan faultPlan_;
    std::mt19937 hostileRandom_{20261207};
    std::deque<Outgoing> outbox_;
    Clock::time_point lastDue_{};
    std::optional<int> disconnectRequested_;  // the quiet time asked for
    std::uint16_t libraryPort_ = 0;
    std::uint16_t eventCounter_ = 0;
    std::size_t answersSent_ = 0;
    std::size_t connectionsOpened_ = 0;
    bool connected_ = false;
    std::vector<ReceivedCommand> commands_;
    std::vector<SystemCommand> systemCommands_;

    mutable std::mutex waitMutex_;
    mutable std::condition_variable changed_;
    std::uint64_t generation_ = 0;  // guarded by waitMutex_
};

}  // namespace tbemu

#endif
