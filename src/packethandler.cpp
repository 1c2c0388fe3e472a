#include "packethandler.h"

#include <algorithm>
#include <chrono>

#include "consoleappsockets.h"
#include "consolelogger.h"
#include "errors.h"
#include "platform/platform.h"

namespace {

constexpr const char* kSource = "packethandler";

// The previous event's header is kept for the whole process, as the library
// always has; the lock only matters when several handlers live at once.
std::mutex lastEventLock;
LastEventHeader lastEvent;

std::uint16_t DumpLength(std::uint16_t length) {
    return static_cast<std::uint16_t>(std::min<std::size_t>(length, kNativeDataSize));
}

void DumpNativePacket(const NativeCommand_t& command, std::uint8_t number) {
    LogMessageAndHexDump(Format("<PacketHandler>Native Command Udp Packet(In Hex Format):\n"
                                "           Version: %x\n"
                                "           TxCmdPacketNum: %x\n"
                                "           Type: %x\n"
                                "           Address: %x\n"
                                "           Length: %x\n"
                                "           AdditionalParam : %x\n"
                                "           Data(See Below): ",
                                1u, static_cast<unsigned>(number), static_cast<unsigned>(command.Type),
                                static_cast<unsigned>(command.Address), static_cast<unsigned>(command.Length),
                                static_cast<unsigned>(command.AdditionalParam)),
                         command.Data.data(), DumpLength(command.Length), LOG_DETAIL);
}

void DumpEventPacket(const ConsoleEventPacket_t& packet) {
    LogMessageAndHexDump(Format("<PacketHandler>Event Udp Packet(In Hex Format):\n"
                                "           Version:%x\n"
                                "           TxEventPacketNum:%x\n"
                                "           Type: %x\n"
                                "           RxCmdPacketNum: %x\n"
                                "           SouceID: %x\n"
                                "           Length: %x\n"
                                "           Data(See Below): ",
                                static_cast<unsigned>(packet.Version), static_cast<unsigned>(packet.TxEventPacketNum),
                                static_cast<unsigned>(packet.Type), static_cast<unsigned>(packet.RxCmdPacketNum),
                                static_cast<unsigned>(packet.SourceID), static_cast<unsigned>(packet.Length)),
                         packet.Data.data(), DumpLength(packet.Length), LOG_DETAIL);
}

}  // namespace

// ---------------------------------------------------------------- queue

bool EventQueue::Push(std::unique_ptr<ConsoleEventPacket_t> packet) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (packets_.size() >= kMaxPackets) return false;
        packets_.push_back(std::move(packet));
    }
    available_.notify_one();
    return true;
}

bool EventQueue::Pop(std::unique_ptr<ConsoleEventPacket_t>& packet) {
    std::unique_lock<std::mutex> guard(lock_);
    // The receiving thread takes a step itself only while nothing is queued,
    // and queues nothing meanwhile, so a queued packet is never overtaken.
    available_.wait(guard, [this] { return stopped_ || !packets_.empty(); });
    if (stopped_) return false;
    packet = std::move(packets_.front());
    packets_.pop_front();
    inStep_ = true;
    return true;
}

bool EventQueue::TakeStepIfIdle() {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_ || inStep_ || !packets_.empty()) return false;
    inStep_ = true;
    return true;
}

void EventQueue::StepDone() {
    bool waiting = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        inStep_ = false;
        waiting = !packets_.empty();
    }
    // Only a backlog needs the event thread; waking it for nothing would
    // cost the hand-over this step saved.
    if (waiting) available_.notify_one();
}

bool EventQueue::TryPop(std::unique_ptr<ConsoleEventPacket_t>& packet) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_ || packets_.empty()) return false;
    packet = std::move(packets_.front());
    packets_.pop_front();
    return true;
}

void EventQueue::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
    }
    available_.notify_all();
}

std::size_t EventQueue::Size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packets_.size();
}

// ---------------------------------------------------------------- repair

bool RepairAndRemember(ConsoleEventPacket_t& packet, LastEventHeader& last) {
    const bool oversized = packet.Length > kEventDataSize;
    if (oversized) {
        LogMessageAndHexDump(Format("ERROR: Illegal packet size received: 0x%x, version: %d, SourceID: %d, type: %d, "
                                    "RxCmdPacketNum: %d",
                                    static_cast<unsigned>(packet.Length), packet.Version, packet.SourceID, packet.Type,
                                    packet.RxCmdPacketNum),
                             packet.Data.data(), packet.Data.size(), LOG_NORMAL);
        packet.Data.fill(0);
        packet.Length = last.Length;
        packet.RxCmdPacketNum = static_cast<std::uint8_t>(last.RxCmdPacketNum + 1);
        packet.TxEventPacketNum = packet.RxCmdPacketNum;
        packet.SourceID = last.SourceID;
        packet.Type = last.Type;
        packet.Version = last.Version;
    }
    last.Length = packet.Length;
    last.RxCmdPacketNum = packet.RxCmdPacketNum;
    last.SourceID = packet.SourceID;
    last.Type = packet.Type;
    last.Version = packet.Version;
    return oversized;
}

// ---------------------------------------------------------------- handler

namespace {

// Where the numbering of the next handler with a transport begins: where the
// last one in this process stopped. A library initialized again would
// otherwise number from 0 again, and a late answer to a command of the
// earlier session (one that timed out) would pair with the new session's
// command of the same number, its data taken as the new command's.
std::atomic<std::uint8_t> g_nextPacketNumber{0};

}  // namespace

void PacketHandler::NumberNextHandlerFrom(std::uint8_t first) { g_nextPacketNumber.store(first); }

PacketHandler::PacketHandler(PacketEventReceiver* owner, std::uint16_t targetPort, const std::string& targetAddress,
                             std::uint16_t listenPort)
    : owner_(owner), dumpPackets_(LogSeverity() == LOG_DETAIL) {
    commandCounter_.store(g_nextPacketNumber.load());
    try {
        sockets_ = std::make_unique<ConsoleAppSockets>(targetPort, targetAddress, listenPort, &stopEvent_);
    } catch (...) {
        PhyConsoleNs::GeneralException("ConsoleAppLogic::ConsoleAppLogic() init error", kSource, __LINE__);
        return;
    }
    try {
        rxThread_ = std::thread(&PacketHandler::RxDataThread, this);
    } catch (...) {
        PhyConsoleNs::SystemException("<PacketHandler> Receive Data - CreateThread()", kSource, __LINE__);
        return;
    }
    try {
        eventThread_ = std::thread(&PacketHandler::HandleIncomingEvents, this);
    } catch (...) {
        PhyConsoleNs::SystemException("<PacketHandler> Handle Incoming Event - CreateThread()", kSource, __LINE__);
    }
}

PacketHandler::PacketHandler(PacketEventReceiver* owner, NoTransport) : owner_(owner), stepOnReceive_(false) {}

PacketHandler::~PacketHandler() {
    running_.store(false);
    stopEvent_.Set();
    queue_.Stop();
    WaitForThreadsToEnd();
    if (sockets_) g_nextPacketNumber.store(commandCounter_.load());
    sockets_.reset();
}

// Both threads end promptly on the stop event; the bound only shows in the
// log. They are joined either way: nothing they use may go while they run.
void PacketHandler::WaitForThreadsToEnd() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kShutdownBoundMs);
    const auto remainingMs = [&deadline] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count());
    };
    bool ended = true;
    if (rxThread_.joinable()) ended = rxEnded_.Wait(remainingMs()) && ended;
    if (eventThread_.joinable()) ended = eventsEnded_.Wait(remainingMs()) && ended;
    if (!ended) LogLine("<PacketHandler>Transport threads did not end within 3000 ms", LOG_NORMAL);
    if (rxThread_.joinable()) rxThread_.join();
    if (eventThread_.joinable()) eventThread_.join();
}

std::uint8_t PacketHandler::TakePacketNumber() {
    if (beforeNumberHook_) {
        const std::function<void()> hook = std::move(beforeNumberHook_);
        beforeNumberHook_ = nullptr;
        hook();
    }
    std::lock_guard<std::mutex> step(eventStepLock_);
    return commandCounter_.fetch_add(1);
}

int PacketHandler::SendNumbered(const NativeCommand_t& command, std::uint8_t number) {
    const NativePacketBytes packet = EncodeNativePacket(command, number);
    if (LogSeverity() == LOG_DETAIL) DumpNativePacket(command, number);
    if (!sockets_ || TakeFailingSend()) return -1;
    const int sent = sockets_->Send(packet.data(), packet.size());
    if (sent >= 0) counters_.CountSent(packet.size());
    return sent;
}

bool PacketHandler::TakeFailingSend() {
    int left = failingSends_.load();
    while (left > 0 && !failingSends_.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

// ---------------------------------------------------------------- rxDataThread

void PacketHandler::RxDataThread() {
    if (!platform::RaiseCurrentThreadPriority()) {
        LogLine("<PacketHandler>rxDataThread stays at normal priority: the system refused a higher one", LOG_DETAIL);
    }
    try {
        if (platform::WaitForAny({sockets_->ConnectionEvent(), stopEvent_}, -1) == 0) {
            ReceiveLoop();
            LogLine("<PacketHandler>rxDataThread Thread Ends", LOG_NORMAL);
        }
    } catch (...) {
        LogCrash("<PacketHandler>rxDataThread failed for some reason");
    }
    // Also when no dispatcher ever connected, so that shut-down need not wait.
    rxEnded_.Set();
}

void PacketHandler::ReceiveLoop() {
    int lookMs = asideLookMs_.load();
    while (running_.load()) {
        const std::uint32_t readsBefore = reads_.load();
        const int reason = steppedAside_ ? sockets_->SignalUponRx(stopEvent_, false, lookMs)
                                         : sockets_->SignalUponRx(stopEvent_);
        if (reason == ConsoleAppSockets::RX_NEW_CONNECTION) continue;
        if (reason == ConsoleAppSockets::RX_RESUMED) {
            steppedAside_ = false;
            continue;
        }
        if (reason == ConsoleAppSockets::RX_QUIET) {
            // Stays aside while a host still reads, looking less often the
            // longer it keeps reading: a run of commands over a slow link
            // costs this thread a wake-up every kLongestAsideLookMs at most,
            // not one per command.
            // A host that claimed since the last look is taken for still
            // reading even when the look falls between two of its commands
            // (while it writes its log lines, say).
            const std::uint32_t claims = hostClaims_.load();
            const bool claimedSince = claims != claimsAtLastLook_;
            claimsAtLastLook_ = claims;
            const bool stillAside = StepAsideForHostReader() || claimedSince;
            steppedAside_ = stillAside;
            lookMs = stillAside ? std::min(lookMs * 2, std::max(asideLookMs_.load(), kLongestAsideLookMs))
                                : asideLookMs_.load();
            continue;
        }
        if (reason != ConsoleAppSockets::RX_DATA) {
            LogLine("<PacketHandler>Stop waiting for Rx events!", LOG_DETAIL);
            running_.store(false);
            break;
        }
        const ConsoleAppSockets::ConnectionRef ready = sockets_->TakeReadyConnection();
        if (StepAsideForHostReader()) {
            lookMs = asideLookMs_.load();
            claimsAtLastLook_ = hostClaims_.load();
            continue;
        }
        RunBeforeReceiveHook();
        std::lock_guard<std::mutex> reader(readLock_);
        ReadOnce(ready, readsBefore);
    }
}

void PacketHandler::ReadOnce(const ConsoleAppSockets::ConnectionRef& connection, std::uint32_t readsBefore) {
    if (!connection) return;
    ConsoleAppSockets::Rearm(*connection);
    if (reads_.load() != readsBefore && !ConsoleAppSockets::IsReadable(*connection)) return;
    reads_.fetch_add(1);
    if (sockets_->TakeStreamRestart(*connection) && stream_.Carried() > 0) {
        LogMessage(Format("<PacketHandler>Dropping %u bytes left from the previous connection",
                          static_cast<unsigned>(stream_.Carried())),
                   LOG_NORMAL);
        stream_.DiscardCarried();
    }
    const int received = sockets_->Recv(connection, stream_.FreeArea(), stream_.FreeSpace());
    if (received == -1) {
        if (running_.load()) LogLine("<PacketHandler>HandleIncomingEvents Thread - SOCKET_ERROR", LOG_NORMAL);
        return;
    }
    if (received == 0) {
        LogLine("<PacketHandler>HandleIncomingEvents Thread - No Event", LOG_NORMAL);
        return;
    }
    if (received < 0) return;  // woken without data
    QueuePackets(static_cast<std::size_t>(received));
}

// While a host thread reads, the receiving thread leaves the connection to
// it, and claim and release cost no system call: the receiving thread steps
// aside by itself the first time data wakes it while a host reads (its wait
// then leaves the data out), and watches again when a look finds no host
// reading, or at once when the host lets go while another wait sleeps. The
// looks come kAsideLookMs after stepping aside, then twice as far apart each
// time a host still reads or claimed since the last look, up to
// kLongestAsideLookMs. In a run of commands it so stays aside throughout,
// waking a few times a second whatever the link's latency; an event that
// comes after the host's last command waits at most two of the longest looks.
bool PacketHandler::ClaimHostReading() {
    if (!sockets_) return false;
    const std::thread::id self = std::this_thread::get_id();
    if (hostReader_.load() == self) return true;
    std::thread::id none;
    if (!hostReader_.compare_exchange_strong(none, self)) return false;
    hostClaims_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void PacketHandler::ReleaseHostReading() {
    if (hostReader_.load() != std::this_thread::get_id()) return;
    hostReader_.store(std::thread::id());
    // A sleeping wait needs the receiving thread for its answer now.
    if (sleepingWaits_.load() > 0) sockets_->ResumeReceiving();
}

// The receiving thread's: true (and aside from now on) when a host thread
// reads and will take the data.
bool PacketHandler::StepAsideForHostReader() {
    steppedAside_ = hostReader_.load() != std::thread::id();
    return steppedAside_;
}

namespace {

// Counts a host wait that sleeps while another thread reads, for the time it
// sleeps (see ReleaseHostReading).
class SleepingWait {
public:
    explicit SleepingWait(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~SleepingWait() { count_.fetch_sub(1); }
    SleepingWait(const SleepingWait&) = delete;
    SleepingWait& operator=(const SleepingWait&) = delete;

private:
    std::atomic<int>& count_;
};

}  // namespace

// A wait that finds the read lock taken leaves the reading to the receiving
// thread for the rest of its time.
bool PacketHandler::WaitForAnswer(SyncEvent& answered, int timeoutMs) {
    {
        // Counted before the claim: should it fail, the reader's release
        // then sees this wait.
        const SleepingWait sleeping(sleepingWaits_);
        // One host reader at a time; another waiter sleeps until a step sets
        // its event.
        if (!ClaimHostReading()) return answered.Wait(timeoutMs);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto leftMs = [&] { return timeoutMs < 0 ? -1 : SyncEvent::MillisecondsUntil(deadline); };
    const SyncEvent::WaitOutcome outcome = ReadUntilAnswered(answered, leftMs);
    ReleaseHostReading();
    if (outcome != SyncEvent::kAlsoReady) return outcome == SyncEvent::kTaken;
    const SleepingWait sleeping(sleepingWaits_);
    return answered.Wait(leftMs());
}

// kAlsoReady: this thread stopped reading (no connection, or the receiving
// thread is at it) and the caller waits on without reading.
template <typename LeftMs>
SyncEvent::WaitOutcome PacketHandler::ReadUntilAnswered(SyncEvent& answered, LeftMs leftMs) {
    for (;;) {
        const std::uint32_t readsBefore = reads_.load();
        const ConsoleAppSockets::ConnectionRef connection = sockets_->CurrentConnection();
        if (!connection) return SyncEvent::kAlsoReady;
        const SyncEvent::WaitOutcome outcome =
            answered.WaitOr(ConsoleAppSockets::WaitTargetOf(*connection), leftMs());
        if (outcome != SyncEvent::kAlsoReady) return outcome;
        std::unique_lock<std::mutex> reader(readLock_, std::try_to_lock);
        if (!reader.owns_lock()) return SyncEvent::kAlsoReady;
        ReadOnce(connection, readsBefore);
    }
}

void PacketHandler::SetBeforeReceiveHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(receiveHookLock_);
    beforeReceiveHook_ = std::move(hook);
    hasReceiveHook_.store(true);
}

void PacketHandler::RunBeforeReceiveHook() {
    if (!hasReceiveHook_.load()) return;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(receiveHookLock_);
        hook = std::move(beforeReceiveHook_);
        beforeReceiveHook_ = nullptr;
        hasReceiveHook_.store(false);
    }
    if (hook) hook();
}

void PacketHandler::QueuePackets(std::size_t received) {
    if (LogEnabled(LOG_DETAIL)) {
        LogMessage(Format("<PacketHandler>RX Buffer's Len=%d", static_cast<int>(stream_.Carried() + received)),
                   LOG_DETAIL);
    }
    stream_.Cut(received, [this](const std::uint8_t* record) { TakeRecord(record); });
}

// When the event thread is idle and nothing waits in the queue, the reader
// takes the packet through the event step itself: one thread hand-over less
// per answer. The step is the same, under the same lock, in the same order.
void PacketHandler::TakeRecord(const std::uint8_t* record) {
    auto packet = std::make_unique<ConsoleEventPacket_t>(DecodeEventPacket(record));
    if (packet->Length > kEventDataSize && LogEnabled(LOG_NORMAL)) {
        LogMessage(Format("<rxDataThread ERROR> Illegal packet size received: 0x%x",
                          static_cast<unsigned>(packet->Length)),
                   LOG_NORMAL);
    }
    if (stepOnReceive_ && queue_.TakeStepIfIdle()) {
        try {
            HandleOnePacket(*packet, dumpPackets_);
        } catch (...) {
            LogCrash("<PacketHandler>rxDataThread failed to handle an event");
        }
        queue_.StepDone();
        return;
    }
    if (!queue_.Push(std::move(packet)) && LogEnabled(LOG_ERROR)) {
        LogMessage(Format("<rxDataThread ERROR> Event queue full (%u packets), event packet dropped",
                          static_cast<unsigned>(EventQueue::kMaxPackets)),
                   LOG_ERROR);
    }
}

void PacketHandler::ReceiveBytes(const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const std::size_t taken = std::min(size, stream_.FreeSpace());
        std::copy_n(bytes, taken, stream_.FreeArea());
        QueuePackets(taken);
        bytes += taken;
        size -= taken;
    }
}

// ---------------------------------------------------------------- event thread

std::size_t PacketHandler::DeliverQueuedEvents() {
    const bool dumpPackets = LogSeverity() == LOG_DETAIL;
    std::size_t delivered = 0;
    std::unique_ptr<ConsoleEventPacket_t> packet;
    while (queue_.TryPop(packet)) {
        HandleOnePacket(*packet, dumpPackets);
        packet.reset();
        ++delivered;
    }
    return delivered;
}

void PacketHandler::HandleIncomingEvents() {
    try {
        std::unique_ptr<ConsoleEventPacket_t> packet;
        while (running_.load() && queue_.Pop(packet)) {
            HandleOnePacket(*packet, dumpPackets_);
            packet.reset();
            queue_.StepDone();
        }
        LogLine("<PacketHandler>HandleIncomingEvents Thread Ends", LOG_NORMAL);
    } catch (...) {
        LogCrash("<PacketHandler>HandleIncomingEvents failed for some reason");
    }
    eventsEnded_.Set();
}

void PacketHandler::HandleOnePacket(ConsoleEventPacket_t& packet, bool dumpPackets) {
    std::lock_guard<std::mutex> step(eventStepLock_);
    bool repaired = false;
    {
        std::lock_guard<std::mutex> guard(lastEventLock);
        repaired = RepairAndRemember(packet, lastEvent);
    }
    if (dumpPackets) DumpEventPacket(packet);
    const std::uint32_t count = receivedEvents_.fetch_add(1) + 1;
    const std::uint8_t counter = commandCounter_.load();
    if (LogEnabled(LOG_NORMAL)) {
        LogMessage(Format("<PacketHandler>Received Event #%d with RxCmdPacketNum = %d that should be equal to "
                          "TxCmdPktNum = %d",
                          static_cast<int>(count), packet.RxCmdPacketNum, static_cast<std::uint8_t>(counter - 1)),
                   LOG_NORMAL);
    }
    // A repaired packet carries zeros instead of the chip's answer: taken as
    // the answer it would pass for a success, so the command waits on.
    const bool accepted = !repaired && AnswersLastCommand(packet.RxCmdPacketNum, counter);
    // Counted before the hand-over, so that the host sees the answer counted
    // once its wait ends.
    counters_.CountEvent(kEventPacketSize, accepted);
    if (repaired) {
        LogLine("<PacketHandler>Dumping the repaired oversized Event: it answers no command", LOG_NORMAL);
        return;
    }
    if (!accepted) {
        LogLine("<PacketHandler>Dumping Event due to wrong RxCmdPacketNum", LOG_NORMAL);
        return;
    }
    if (owner_ != nullptr) owner_->HandleEvent(packet.Data.data(), packet.Length);
}
