#include "emulator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <utility>

#include "control.h"
#include "describe.h"

namespace tbemu {

namespace {
// How long an answer waits for a connection to the library before it is lost.
constexpr auto kUndeliverableAfter = std::chrono::milliseconds(2000);
constexpr auto kConnectRetry = std::chrono::milliseconds(100);
// Pieces of a split stream leave this far apart, so that they arrive in
// separate reads.
constexpr auto kPieceGap = std::chrono::milliseconds(1);
// The command record keeps the most recent packets only.
constexpr std::size_t kMaxRecordedCommands = 200000;
constexpr std::uint8_t kAnswerSource = 0;
constexpr std::uint8_t kChipSource = 4;
constexpr std::size_t kMaxControlLine = 4096;

const Bytes kStaleData = {'S', 'T', 'A', 'L', 'E'};

int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        when - std::chrono::steady_clock::now());
    // Round up so that the loop never wakes a moment too early and spins.
    return static_cast<int>(std::max<std::int64_t>(0, left.count() + 1));
}
}  // namespace

Emulator::Emulator(EmulatorOptions options)
    : options_(std::move(options)), chip_(options_.eepromSize), libraryPort_(options_.libraryPort) {
    if (options_.mailbox) chip_.SetMailbox(*options_.mailbox);
}

Emulator::~Emulator() { Stop(); }

bool Emulator::Prepare(std::string& error) {
    if (prepared_) return true;
    if (!options_.eepromFile.empty() && !chip_.AttachEepromFile(options_.eepromFile, error)) return false;
    if (!options_.replayFile.empty()) {
        replay_ = Replay::Load(options_.replayFile, options_.replayPorts, error);
        if (replay_) replay_->SetMatch(options_.replayMatch);
        if (!replay_) return false;
        Log(1, "replaying " + options_.replayFile + ": " + std::to_string(replay_->Script().size()) +
                   " commands recorded to UDP port " + std::to_string(replay_->Ports().command) +
                   ", events to TCP port " + std::to_string(replay_->Ports().library) + "; the chip model is off");
    } else if (!options_.definitionListFile.empty() && !LoadDefinitions(options_.definitionListFile, error)) {
        return false;
    }
    prepared_ = true;
    return true;
}

bool Emulator::Start(std::string& error) {
    if (running_) return true;
    if (!Prepare(error)) return false;
    if (!wake_.Open()) {
        error = "pipe: " + ErrnoText();
        return false;
    }
    udp_ = BindUdp(options_.commandAddress, options_.commandPort, error);
    if (!udp_.Valid() || !SetNonBlocking(udp_.Get())) return false;
    commandEndpoint_ = LocalEndpoint(udp_.Get());
    commandPort_ = commandEndpoint_.port;
    if (!options_.pcapFile.empty() && !pcap_.Open(options_.pcapFile, error)) return false;
    if (options_.controlChannel) {
        controlListener_ = ListenTcp("127.0.0.1", options_.controlPort, error);
        if (!controlListener_.Valid()) return false;
        controlPort_ = LocalPort(controlListener_.Get());
    }
    Log(1, "listening for commands on udp " + options_.commandAddress + ":" +
               std::to_string(commandPort_) +
               (controlPort_ ? ", control on tcp 127.0.0.1:" + std::to_string(controlPort_) : ""));
    stopRequested_ = false;
    running_ = true;
    worker_ = std::thread([this] { Run(); });
    return true;
}

void Emulator::Stop() {
    stopRequested_ = true;
    if (worker_.joinable()) {
        wake_.Wake();
        worker_.join();
    }
    running_ = false;
    Notify();
}

bool Emulator::WaitForStop(int timeoutMs) {
    return WaitFor([this] { return !running_; }, timeoutMs);
}

void Emulator::SetLibraryPort(std::uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    libraryPort_ = port;
}

void Emulator::SetCommandHandler(CommandHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    chip_.SetCommandHandler(std::move(handler));
}

void Emulator::SetMailbox(const MailboxAddresses& addresses) {
    std::lock_guard<std::mutex> lock(mutex_);
    chip_.SetMailbox(addresses);
}

bool Emulator::LoadDefinitions(const std::string& listFile, std::string& error) {
    std::unique_ptr<Definitions> loaded = Definitions::Load(listFile, error);
    if (!loaded) return false;
    Log(1, "definitions: " + std::to_string(loaded->Commands().size()) + " commands from " + listFile);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!options_.mailbox) chip_.SetMailbox(loaded->Mailbox());
    executor_ = std::make_unique<CommandExecutor>(*loaded);
    definitionSets_.push_back(std::move(loaded));
    chip_.SetCommandHandler([this](const Bytes& command) { return ExecuteTakenCommand(command); });
    return true;
}

// Runs on the worker with mutex_ held, from inside the chip.
std::vector<Bytes> Emulator::ExecuteTakenCommand(const Bytes& command) {
    std::vector<Bytes> events = executor_->Execute(command);
    if (options_.verbosity >= 1) {
        const ExecutedCommand& done = executor_->Executed().back();
        std::string text = std::string("chip: ") + CommandFormName(done.form) + " command " +
                           (done.name.empty() ? "(undeclared)" : done.name) + ", " +
                           std::to_string(done.command.size()) + " bytes, " +
                           std::to_string(events.size()) + " events";
        if (!done.note.empty()) text += " (" + done.note + ")";
        Log(1, text);
    }
    return events;
}

// ------------------------------------------------------------------ worker

void Emulator::Run() {
    std::vector<pollfd> fds;  // kept across rounds: no allocation per command
    while (!stopRequested_) {
        fds.clear();
        fds.push_back({wake_.ReadFd(), POLLIN, 0});
        fds.push_back({udp_.Get(), POLLIN, 0});
        fds.push_back({library_.Get(), POLLIN, 0});  // negative fd: ignored
        fds.push_back({controlListener_.Get(), POLLIN, 0});
        for (const auto& client : controlClients_) fds.push_back({client.fd.Get(), POLLIN, 0});

        const int ready = ::poll(fds.data(), fds.size(), PollTimeoutMs());
        if (ready < 0 && errno != EINTR) {
            Log(0, "poll failed: " + ErrnoText());
            break;
        }
        if (fds[0].revents) wake_.Drain();
        TakeDisconnectRequest();
        if (fds[1].revents) ReceiveDatagrams();
        if (fds[2].revents && library_.Valid()) ReadFromLibrary();
        if (fds[3].revents) AcceptControlClient();
        for (std::size_t i = 4; i < fds.size(); ++i) {
            if (fds[i].revents) ServeControlClient(controlClients_[i - 4]);
        }
        controlClients_.erase(std::remove_if(controlClients_.begin(), controlClients_.end(),
                                             [](const ControlClient& c) { return !c.fd.Valid(); }),
                              controlClients_.end());
        SendDueItems();
        MaybeConnectAhead();
    }
    DropConnection("emulator stopping");
    controlClients_.clear();
    Log(1, "stopped");
    running_ = false;
    Notify();
}

void Emulator::TakeDisconnectRequest() {
    std::optional<int> quietMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quietMs = std::exchange(disconnectRequested_, std::nullopt);
    }
    if (quietMs) {
        DropConnection("closed on request");
        nextConnectAttempt_ = Clock::now() + std::chrono::milliseconds(*quietMs);
    }
}

int Emulator::PollTimeoutMs() const {
    int timeout = -1;
    bool connectPending = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outbox_.empty()) timeout = MillisecondsUntil(outbox_.front().due);
        connectPending = !library_.Valid() && libraryPort_ != 0;
    }
    if (connectPending) {
        const int untilConnect = MillisecondsUntil(nextConnectAttempt_);
        timeout = timeout < 0 ? untilConnect : std::min(timeout, untilConnect);
    }
    return timeout;
}

void Emulator::ReceiveDatagrams() {
    // Larger than a command packet, so that an oversized datagram shows as such.
    std::uint8_t buffer[2048];
    for (;;) {
        Endpoint sender;
        const long received = ReceiveFrom(udp_.Get(), buffer, sizeof buffer, sender);
        if (received < 0) return;  // drained (or failed): wait for the next readiness
        const std::size_t kept = std::min(static_cast<std::size_t>(received), sizeof buffer);
        pcap_.Udp(sender, commandEndpoint_, buffer, kept);
        HandleDatagram(buffer, kept);
        if (static_cast<std::size_t>(received) > sizeof buffer) {
            Log(1, "a datagram of " + std::to_string(received) + " bytes was cut");
        }
        // The answer leaves before the next read, which usually only finds
        // the socket drained: a dispatcher answers at once.
        SendDueItems();
    }
}

void Emulator::HandleDatagram(const std::uint8_t* bytes, std::size_t length) {
    if (length != kNativePacketSize) {
        Log(1, "ignored a datagram of " + std::to_string(length) + " bytes (a command packet has " +
                   std::to_string(kNativePacketSize) + ")");
        return;
    }
    NativeCommand_t command;
    std::uint8_t version = 0;
    std::uint8_t packetNum = 0;
    DecodeNativePacket(bytes, length, version, packetNum, command);
    if (version != 1) Log(1, "command packet with version " + std::to_string(version));
    if (options_.verbosity >= 1) Log(1, "<- " + DescribeCommand(command, packetNum));
    const bool writesBytes = command.Type == NATIVE_WRITE_BUFFER || command.Type == NATIVE_WRITE_EEPROM;
    if (options_.verbosity >= 2 && writesBytes && command.Length > 16) {
        const std::size_t shown = std::min<std::size_t>(command.Length, kNativeDataSize);
        Log(2, "   data " + HexBytes(command.Data.data(), shown, kNativeDataSize));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Record(command, version, packetNum);
        if (faultPlan_.Hostile() != HostileMode::Off && command.Type != NATIVE_SYSTEM_COMMAND) {
            QueueHostileAnswer(command, packetNum);
        } else if (replay_) {
            QueueRecordedReply(command, packetNum);
        } else {
            ExecuteOnChip(command, packetNum);
        }
    }
    Notify();
}

void Emulator::ExecuteOnChip(const NativeCommand_t& command, std::uint8_t packetNum) {
    ChipReply reply;
    reply.answered = true;  // a refused run is left unanswered by QueueReply
    if (!faultPlan_.RefusesRun(command)) reply = chip_.Execute(command, packetNum);
    // A write the EEPROM file did not take is refused (the library sees the
    // burn fail) and said even when quiet; the emulator goes on.
    const std::string eepromError = chip_.TakeEepromError();
    if (!eepromError.empty()) Log(0, eepromError + "; the write is refused");
    if (reply.answered) {
        QueueReply(command, packetNum, reply);
    } else {
        systemCommands_.push_back({command.AdditionalParam, command.Address, packetNum});
        // The load set-up stops the running firmware.
        if (command.AdditionalParam == SYSTEM_SETUP_SECOND && command.Address == 1) chip_.StopFirmware();
    }
}

void Emulator::Record(const NativeCommand_t& command, std::uint8_t version,
                      std::uint8_t packetNum) {
    ReceivedCommand record;
    record.version = version;
    record.packetNum = packetNum;
    record.type = command.Type;
    record.address = command.Address;
    record.length = command.Length;
    record.additionalParam = command.AdditionalParam;
    const std::size_t valid = std::min<std::size_t>(command.Length, kNativeDataSize);
    record.data.assign(command.Data.begin(), command.Data.begin() + static_cast<long>(valid));
    if (commands_.size() >= kMaxRecordedCommands) {
        commands_.erase(commands_.begin(), commands_.begin() + kMaxRecordedCommands / 10);
    }
    commands_.push_back(std::move(record));
}

void Emulator::QueueReply(const NativeCommand_t& command, std::uint8_t packetNum,
                          ChipReply& reply) {
    const ReplyFaults faults = faultPlan_.ForChipReply(command, !reply.answer.empty(), !reply.events.empty());
    SpoilAnswer(faults, reply.answer);
    LogFaults(faults, command);
    std::vector<Bytes> packets;
    if (faults.staleFirst) {
        packets.push_back(Packet(static_cast<std::uint8_t>(packetNum - 1), kAnswerSource, kStaleData));
    }
    if (faults.dropAnswer) {
        Log(1, "dropped the answer to command " + std::to_string(faults.commandNumber) + " (" +
                   NativeTypeName(command.Type) + " #" + std::to_string(packetNum) + ")");
    } else {
        const std::uint8_t rxNum = faults.wrongNumber ? static_cast<std::uint8_t>(packetNum - 1) : packetNum;
        std::optional<std::uint16_t> length;
        if (faults.oversize) length = kOversizeLength;
        packets.push_back(Packet(rxNum, kAnswerSource, reply.answer, length));
    }
    if (faults.dropEvents) {
        Log(1, "dropped the events of command " + std::to_string(faults.commandNumber));
        reply.events.clear();
    }
    for (const Bytes& event : reply.events) packets.push_back(Packet(packetNum, kChipSource, event));
    if (packets.empty()) {
        if (reply.tookCommand) chip_.CommandDone();
        return;
    }
    Schedule(std::move(packets), faults.reconnectFirst, reply.tookCommand);
}

// What the faults did before the reply's packets are made.
void Emulator::LogFaults(const ReplyFaults& faults, const NativeCommand_t& command) const {
    if (faults.invertEepromData) {
        Log(1, "corrupted the answer to EEPROM command " + std::to_string(faults.eepromCommand));
    }
    if (faults.refusedRun) Log(1, "refused the run command");
    if (faults.invertFirstByte) {
        Log(1, "spoiled read-back " + std::to_string(faults.readBack) + " (" + DescribeCommand(command, 0) + ")");
    }
}

// In place of the chip's answer; the chip never sees the command.
void Emulator::QueueHostileAnswer(const NativeCommand_t& command, std::uint8_t packetNum) {
    Bytes stream = HostileAnswer(faultPlan_.Hostile(), packetNum, command, hostileRandom_);
    if (stream.empty()) return;
    const bool reconnect = faultPlan_.TakeReconnect();
    Schedule({std::move(stream)}, reconnect, false);
}

// Replay: the recorded events stand in for the chip; system commands are
// recorded and go unanswered as ever.
void Emulator::QueueRecordedReply(const NativeCommand_t& command, std::uint8_t packetNum) {
    if (command.Type == NATIVE_SYSTEM_COMMAND) {
        systemCommands_.push_back({command.AdditionalParam, command.Address, packetNum});
        return;
    }
    const bool divergedBefore = replay_->Diverged();
    const auto recorded = replay_->Answer(command, packetNum);
    if (!recorded) {
        // The host fails at once instead of waiting out its time-out.
        if (!divergedBefore) {
            Log(0, "replay: " + replay_->Divergence() + "; the dispatcher refuses it and every command after it");
        }
        Schedule({Packet(packetNum, kAnswerSource, EmulatedChip::Refusal())}, false, false);
        return;
    }
    faultPlan_.CountRecordedAnswer();
    std::vector<Bytes> packets;
    for (const EventPacketBytes& event : *recorded) {
        if (options_.verbosity >= 1) Log(1, "-> (recorded) " + DescribeEvent(DecodeEventPacket(event.data())));
        packets.emplace_back(event.begin(), event.end());
    }
    if (!packets.empty()) Schedule(std::move(packets), false, false);
}

std::string Emulator::ReplayStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ ? replay_->Status() : std::string();
}

bool Emulator::ReplaySucceeded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ && replay_->Succeeded();
}

Bytes Emulator::Packet(std::uint8_t rxNum, std::uint8_t sourceId, const Bytes& data,
                       std::optional<std::uint16_t> lengthOverride) {
    ConsoleEventPacket_t event;
    event.Version = 1;
    event.Type = sourceId == kChipSource ? 1 : 0;
    event.TxEventPacketNum = eventCounter_++;
    event.RxCmdPacketNum = rxNum;
    event.SourceID = sourceId;
    const std::size_t length = std::min(data.size(), kEventDataSize);
    std::copy_n(data.begin(), length, event.Data.begin());
    event.Length = lengthOverride.value_or(static_cast<std::uint16_t>(length));
    if (options_.verbosity >= 1) Log(1, "-> " + DescribeEvent(event));
    const EventPacketBytes bytes = EncodeEventPacket(event);
    return Bytes(bytes.begin(), bytes.end());
}

void Emulator::Schedule(std::vector<Bytes> packets, bool reconnectFirst, bool completesCommand) {
    Clock::time_point due = std::max(Clock::now() + std::chrono::milliseconds(faultPlan_.TakeDelayMs()), lastDue_);
    const std::size_t pieceBytes = faultPlan_.SplitBytes();
    std::vector<Outgoing> items;
    if (pieceBytes == 0) {
        for (Bytes& packet : packets) items.push_back({due, std::move(packet), 1});
    } else {
        Bytes stream;
        for (const Bytes& packet : packets) stream.insert(stream.end(), packet.begin(), packet.end());
        for (std::size_t at = 0; at < stream.size(); at += pieceBytes) {
            const std::size_t piece = std::min(pieceBytes, stream.size() - at);
            const auto begin = stream.begin() + static_cast<long>(at);
            const std::size_t packetsEnding = (at + piece) / kEventPacketSize - at / kEventPacketSize;
            items.push_back({due, Bytes(begin, begin + static_cast<long>(piece)), packetsEnding});
            due += kPieceGap;
        }
    }
    items.front().reconnectFirst = reconnectFirst;
    items.back().completesCommand = completesCommand;
    lastDue_ = items.back().due;
    for (Outgoing& item : items) outbox_.push_back(std::move(item));
}

// ------------------------------------------------------------------ sending

void Emulator::SendDueItems() {
    for (;;) {
        Outgoing item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (outbox_.empty() || outbox_.front().due > Clock::now()) return;
            item = std::move(outbox_.front());
            outbox_.pop_front();
        }
        if (!SendItem(item)) {
            if (Clock::now() - item.due < kUndeliverableAfter) {
                // Keep it first in line and retry when a connection comes up.
                item.reconnectFirst = false;
                std::lock_guard<std::mutex> lock(mutex_);
                outbox_.push_front(std::move(item));
                outbox_.front().due = std::max(outbox_.front().due, Clock::now() + kConnectRetry);
                return;
            }
            Log(0, "no connection to the library: " + std::to_string(item.bytes.size()) +
                       " bytes of answers lost");
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (item.completesCommand) chip_.CommandDone();
        }
        Notify();
    }
}

bool Emulator::SendItem(Outgoing& item) {
    if (item.reconnectFirst) OpenReplacementConnection();
    if (!EnsureConnected()) return false;
    // Counted before the bytes can reach the library, so that whoever has
    // read a packet finds it counted; taken back when the send fails (the
    // item is sent again, whole, on the next connection).
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answersSent_ += item.packetsEnding;
    }
    if (!SendAll(library_.Get(), item.bytes.data(), item.bytes.size())) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answersSent_ -= item.packetsEnding;
        }
        DropConnection("send failed");
        return false;
    }
    pcap_.TcpData(libraryFlow_, true, item.bytes.data(), item.bytes.size());
    return true;
}

bool Emulator::EnsureConnected() {
    if (library_.Valid()) return true;
    std::uint16_t port = 0;
    std::string source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        port = libraryPort_;
        source = faultPlan_.SourceAddress();
    }
    if (port == 0) return false;
    nextConnectAttempt_ = Clock::now() + kConnectRetry;
    std::string error;
    library_ = ConnectTcp(options_.libraryAddress, port, error, source);
    if (!library_.Valid()) {
        // Said once per outage; the retries go on quietly.
        if (!connectFailureLogged_) Log(1, error + " (retrying)");
        connectFailureLogged_ = true;
        return false;
    }
    connectFailureLogged_ = false;
    libraryFlow_ = TcpFlow{LocalEndpoint(library_.Get()), PeerEndpoint(library_.Get())};
    pcap_.TcpOpened(libraryFlow_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connectionsOpened_;
        connected_ = true;
    }
    Log(1, "connected to the library at " + options_.libraryAddress + ":" + std::to_string(port));
    Notify();
    return true;
}

void Emulator::OpenReplacementConnection() {
    Fd old = std::move(library_);
    TcpFlow oldFlow = libraryFlow_;
    if (!EnsureConnected()) {
        library_ = std::move(old);
        libraryFlow_ = oldFlow;
        return;
    }
    if (old.Valid()) Log(1, "replaced the connection to the library by a new one");
    pcap_.TcpClosed(oldFlow);
    // The old connection closes here, after the new one is up.
}

void Emulator::DropConnection(const char* reason) {
    if (!library_.Valid()) return;
    pcap_.TcpClosed(libraryFlow_);
    library_.Reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
    }
    nextConnectAttempt_ = Clock::now() + kConnectRetry;
    Log(1, std::string("connection to the library closed: ") + reason);
    Notify();
}

void Emulator::ReadFromLibrary() {
    std::uint8_t buffer[512];
    const ssize_t received = ::recv(library_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (received == 0) {
        DropConnection("the library closed it");
    } else if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        DropConnection("receive failed");
    } else if (received > 0) {
        pcap_.TcpData(libraryFlow_, false, buffer, static_cast<std::size_t>(received));
        Log(1, "ignored " + std::to_string(received) + " bytes sent by the library");
    }
}

void Emulator::MaybeConnectAhead() {
    if (library_.Valid() || Clock::now() < nextConnectAttempt_) return;
    EnsureConnected();
}

// ------------------------------------------------------------------ control channel

void Emulator::AcceptControlClient() {
    Fd client(::accept4(controlListener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.Valid()) return;
    // A client that stops reading its answers must not hold the emulator.
    timeval sendTimeout{2, 0};
    ::setsockopt(client.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    controlClients_.push_back({std::move(client), {}});
}

void Emulator::ServeControlClient(ControlClient& client) {
    char buffer[1024];
    const ssize_t received = ::recv(client.fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (received <= 0) {
        if (received == 0 || (errno != EAGAIN && errno != EINTR)) client.fd.Reset();
        return;
    }
    client.pending.append(buffer, static_cast<std::size_t>(received));
    std::size_t end;
    while ((end = client.pending.find('\n')) != std::string::npos) {
        std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (options_.verbosity >= 1) Log(1, "control: " + line);
        bool shutdown = false;
        const std::string answer = ExecuteControlLine(*this, line, shutdown) + "\n";
        SendAll(client.fd.Get(), reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
        if (shutdown) stopRequested_ = true;
    }
    if (client.pending.size() > kMaxControlLine) {
        const std::string answer = "error line too long\n";
        SendAll(client.fd.Get(), reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
        client.fd.Reset();
    }
}

// ------------------------------------------------------------------ faults

void Emulator::DropAnswerTo(std::uint64_t commandNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.DropAnswerTo(commandNumber);
}
void Emulator::DropNextAnswers(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.DropNextAnswers(count);
}
void Emulator::DropNextEvents(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.DropNextEvents(count);
}
void Emulator::SetAnswerDelay(int milliseconds, int replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.SetAnswerDelay(milliseconds, replies);
}
void Emulator::WrongNumberForNextAnswers(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.WrongNumberForNextAnswers(count);
}
void Emulator::StaleAnswerBeforeNext(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.StaleAnswerBeforeNext(count);
}
void Emulator::OversizeNextAnswers(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.OversizeNextAnswers(count);
}
void Emulator::SplitWrites(std::size_t pieceBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.SplitWrites(pieceBytes);
}
void Emulator::ReconnectBeforeNextAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.ReconnectBeforeNextAnswer();
}
void Emulator::Disconnect(int quietMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disconnectRequested_ = std::max(0, quietMs);
    }
    wake_.Wake();
}
void Emulator::KeepCounterBusy(int reads) {
    std::lock_guard<std::mutex> lock(mutex_);
    chip_.ForceBusyReads(reads);
}
void Emulator::CorruptReadBack(std::uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.CorruptReadBack(n);
}
void Emulator::DropReadBack(std::uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.DropReadBack(n);
}
void Emulator::RefuseRun(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.RefuseRun(refuse);
}
void Emulator::ArmEepromChunkFault(EepromChunkFault fault, std::uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.ArmEepromChunkFault(fault, n);
}
void Emulator::SetHostileMode(HostileMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.SetHostileMode(mode);
}
void Emulator::ConnectFrom(const std::string& sourceAddress) {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.ConnectFrom(sourceAddress);
}
bool Emulator::ChurnConnections(int count, std::string& error) {
    std::uint16_t port = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        port = libraryPort_;
    }
    if (port == 0) {
        error = "no library port";
        return false;
    }
    return tbemu::ChurnConnections(options_.libraryAddress, port, count, "127.0.0.2", error);
}
void Emulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faultPlan_.Clear();
    chip_.ForceBusyReads(0);
    if (executor_) executor_->Settings() = ExecutionSettings{};
}
AnswerFaults Emulator::Faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faultPlan_.Faults();
}

// ------------------------------------------------------------------ execution

bool Emulator::ExecutesCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return executor_ != nullptr;
}

bool Emulator::FailCommand(const std::string& commandName, const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!executor_) return false;
    std::optional<std::uint8_t> code = definitionSets_.back()->StatusCode(status);
    if (!code) {
        char* end = nullptr;
        const bool hex = status.rfind("0x", 0) == 0;
        const char* digits = status.c_str() + (hex ? 2 : 0);
        const unsigned char first = static_cast<unsigned char>(*digits);
        if (!(hex ? std::isxdigit(first) : std::isdigit(first))) return false;  // "0x" alone is no number
        const unsigned long number = std::strtoul(digits, &end, hex ? 16 : 10);
        if (*end != '\0' || number > 0xFF) return false;
        code = static_cast<std::uint8_t>(number);
    }
    executor_->Settings().failingCommands[commandName] = *code;
    return true;
}

void Emulator::SucceedCommand(const std::string& commandName) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (executor_) executor_->Settings().failingCommands.erase(commandName);
}

void Emulator::SetCaptureLength(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (executor_) executor_->Settings().captureLength = std::min(bytes, kMaxCaptureLength);
}

void Emulator::SetCaptureFragmentBytes(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (executor_) executor_->Settings().fragmentBytes = std::clamp<std::size_t>(bytes, 1, kMaxFragmentBytes);
}

void Emulator::SetMacEventCount(int events) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (executor_) executor_->Settings().macEvents = std::max(1, events);
}

void Emulator::ArmEventFault(EventFault fault, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (executor_) executor_->Settings().armed[fault] = std::max(0, count);
}

std::vector<ExecutedCommand> Emulator::ExecutedCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return executor_ ? executor_->Executed() : std::vector<ExecutedCommand>{};
}

// ------------------------------------------------------------------ inspection

bool Emulator::FirmwareRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.FirmwareRunning();
}
std::size_t Emulator::RunCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.RunCommands();
}

Bytes Emulator::ReadMemory(std::uint32_t address, std::size_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.ReadMemory(address, length);
}
void Emulator::WriteMemory(std::uint32_t address, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    chip_.WriteMemory(address, bytes);
}
Bytes Emulator::Eeprom() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.Eeprom();
}
bool Emulator::EepromRange(std::uint32_t offset, std::size_t length, Bytes& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Bytes& eeprom = chip_.Eeprom();
    if (offset > eeprom.size() || length > eeprom.size() - offset) return false;
    out.assign(eeprom.begin() + offset, eeprom.begin() + static_cast<long>(offset + length));
    return true;
}
MailboxAddresses Emulator::Mailbox() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.Mailbox();
}
std::vector<MailboxCommand> Emulator::MailboxCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.MailboxCommands();
}
std::vector<SystemCommand> Emulator::SystemCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return systemCommands_;
}
std::vector<ReceivedCommand> Emulator::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}
std::size_t Emulator::PacketsReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_.size();
}
std::size_t Emulator::AnswersSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answersSent_;
}
std::size_t Emulator::CounterReads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chip_.CounterReads();
}
std::size_t Emulator::ConnectionsOpened() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectionsOpened_;
}
bool Emulator::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}
void Emulator::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
    systemCommands_.clear();
    chip_.ClearRecords();
    if (executor_) executor_->ClearRecords();
}

bool Emulator::WaitFor(const std::function<bool()>& condition, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(waitMutex_);
    for (;;) {
        const std::uint64_t seen = generation_;
        lock.unlock();
        if (condition()) return true;
        lock.lock();
        if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
            lock.unlock();
            return condition();
        }
    }
}

void Emulator::Notify() {
    {
        std::lock_guard<std::mutex> lock(waitMutex_);
        ++generation_;
    }
    changed_.notify_all();
}

void Emulator::Log(int level, const std::string& text) const {
    if (level > options_.verbosity) return;
    if (options_.logSink) {
        options_.logSink(text);
    } else {
        std::cerr << "[tb-emulator] " << text << std::endl;
    }
}

}  // namespace tbemu
