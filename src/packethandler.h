// The transport engine between the traffic manager and the sockets: numbers
// and sends native command packets; rxDataThread cuts the dispatcher's TCP
// stream into event packets and queues them; the event thread pairs each
// packet with the last command sent and hands its data to the receiver.
#ifndef TERMBRIDGE_PACKETHANDLER_H
#define TERMBRIDGE_PACKETHANDLER_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "consoleappsockets.h"
#include "packets.h"
#include "platform/net.h"
#include "syncevent.h"
#include "trafficcounters.h"

// Whoever receives the accepted events (the traffic manager).
class PacketEventReceiver {
public:
    virtual ~PacketEventReceiver() = default;
    // The packet's Data and Length; length is at most 512.
    virtual void HandleEvent(const std::uint8_t* data, std::uint32_t length) = 0;
};

// Cuts a byte stream into 520-byte event packets, keeping the start of an
// incomplete packet for the next read.
class EventStream {
public:
    static constexpr std::size_t kBufferSize = 5200;

    std::uint8_t* FreeArea() { return buffer_.data() + carried_; }
    std::size_t FreeSpace() const { return kBufferSize - carried_; }
    std::size_t Carried() const { return carried_; }
    void DiscardCarried() { carried_ = 0; }

    // Takes `received` more bytes (written at FreeArea) and calls
    // take(const std::uint8_t* record) for each complete 520-byte record.
    template <typename Take>
    std::size_t Cut(std::size_t received, Take take) {
        const std::size_t total = carried_ + received;
        std::size_t offset = 0;
        for (; total - offset >= kEventPacketSize; offset += kEventPacketSize) take(buffer_.data() + offset);
        carried_ = total - offset;
        for (std::size_t i = 0; i < carried_; ++i) buffer_[i] = buffer_[offset + i];
        return total;
    }

private:
    std::array<std::uint8_t, kBufferSize> buffer_{};
    std::size_t carried_ = 0;
};

// The queue between the two threads: bounded, and a waiting Pop ends on Stop.
// It also knows whether a packet is in its event step: the receiving thread
// may take a packet through the step itself only when no packet is queued or
// in the step, so packets keep their order.
class EventQueue {
public:
    static constexpr std::size_t kMaxPackets = 3000;

    // False when the queue is full: the packet is not taken.
    bool Push(std::unique_ptr<ConsoleEventPacket_t> packet);
    // Waits for a packet, which is then in its step until StepDone; false
    // once Stop was called (it takes precedence).
    bool Pop(std::unique_ptr<ConsoleEventPacket_t>& packet);
    // True (and the step is taken) when nothing is queued or in its step.
    bool TakeStepIfIdle();
    void StepDone();
    // Takes a packet without waiting; false when there is none or after Stop.
    bool TryPop(std::unique_ptr<ConsoleEventPacket_t>& packet);
    void Stop();
    std::size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable available_;
    std::deque<std::unique_ptr<ConsoleEventPacket_t>> packets_;
    bool inStep_ = false;
    bool stopped_ = false;
};

// The header fields of the previous event, used to repair an oversized one.
struct LastEventHeader {
    std::uint8_t Version = 0;
    std::uint8_t Type = 0;
    std::uint8_t RxCmdPacketNum = 0;
    std::uint8_t SourceID = 0;
    std::uint16_t Length = 0;
};

// An event with Length above 512 is logged and rebuilt from the previous
// event: zero data, its Length, its number + 1 (also as TxEventPacketNum), its
// SourceID, Type and Version. Then the packet becomes the previous event.
// True for a repaired packet: its data is zeros of the library's making, so it
// answers no command.
bool RepairAndRemember(ConsoleEventPacket_t& packet, LastEventHeader& last);

// Pairing: the event answers the last command sent when its RxCmdPacketNum is
// (counter - 1) mod 256.
inline bool AnswersLastCommand(std::uint8_t rxCmdPacketNum, std::uint8_t commandCounter) {
    return rxCmdPacketNum == static_cast<std::uint8_t>(commandCounter - 1);
}

class PacketHandler {
public:
    static constexpr int kShutdownBoundMs = 3000;

    PacketHandler(PacketEventReceiver* owner, std::uint16_t targetPort, const std::string& targetAddress,
                  std::uint16_t listenPort);
    ~PacketHandler();
    PacketHandler(const PacketHandler&) = delete;
    PacketHandler& operator=(const PacketHandler&) = delete;

    // Takes the next packet number. An event step in progress ends first, and
    // from here on only answers carrying this number are handed on, so a wait
    // armed after this call can only be met by its own command's answer.
    std::uint8_t TakePacketNumber();
    // Returns once an event step in progress (if any) has ended.
    void AwaitEventStep() { std::lock_guard<std::mutex> step(eventStepLock_); }
    // Sends the record with a number taken before: the socket's result, or -1.
    int SendNumbered(const NativeCommand_t& command, std::uint8_t number);
    // Numbers the record's packet and sends it.
    int SendNativeCommand(const NativeCommand_t& command) { return SendNumbered(command, TakePacketNumber()); }

    // Test seam: runs once, on the sending thread, just before the next
    // number is taken.
    void SetBeforeNumberHook(std::function<void()> hook) { beforeNumberHook_ = std::move(hook); }
    // Test seam: the next `count` sends fail as a refused socket send does
    // (nothing leaves, -1).
    void FailNextSends(int count) { failingSends_.store(count); }

    // The host's wait for an answer (an event its step sets). The waiting
    // thread also watches the dispatcher connection and, when no other
    // reader is at it, reads, cuts and steps what comes itself, exactly as
    // the receiving thread would: the answer then costs no hand-over between
    // threads. Otherwise it sleeps until a step on another thread sets the
    // event.
    bool WaitForAnswer(SyncEvent& answered, int timeoutMs);
    // Makes the calling thread the connection's reader from now until its
    // next WaitForAnswer ends (or ReleaseHostReading), so that an answer
    // that comes before the wait begins is left to that wait.
    // Called just before sending a command whose answer this thread awaits.
    // False when another thread reads already or there is no connection.
    bool ClaimHostReading();
    // Hands the connection back to the receiving thread if the calling
    // thread holds it; nothing otherwise.
    void ReleaseHostReading();
    // How often the receiving thread, aside for a host reader, looks whether
    // the host let go (see ClaimHostReading); a test may set it.
    static constexpr int kAsideLookMs = 2;
    static constexpr int kLongestAsideLookMs = 64;
    void SetAsideLookMs(int ms) { asideLookMs_.store(ms); }
    // Test seam: runs once, on the receiving thread, when it next finds the
    // connection readable, before it reads.
    void SetBeforeReceiveHook(std::function<void()> hook);

    // Without a transport: no sockets and no threads. The bytes a dispatcher's
    // stream would carry are handed in with ReceiveBytes and their events are
    // delivered on the caller's thread by DeliverQueuedEvents, through the
    // same cutting, queue and event step the two threads run (the stream
    // fuzz target drives the handler this way).
    struct NoTransport {};
    PacketHandler(PacketEventReceiver* owner, NoTransport);
    void ReceiveBytes(const std::uint8_t* bytes, std::size_t size);
    // Returns the number of packets taken from the queue.
    std::size_t DeliverQueuedEvents();
    std::size_t QueuedEvents() const { return queue_.Size(); }
    std::size_t CarriedBytes() const { return stream_.Carried(); }

    std::uint8_t CommandCounter() const { return commandCounter_.load(); }
    // The first packet number of the next handler with a transport (by
    // default where the last one in this process stopped); tests start each
    // case from 0, as a fresh process does.
    static void NumberNextHandlerFrom(std::uint8_t first);
    std::uint32_t ReceivedEventCount() const { return receivedEvents_.load(); }
    bool HasSockets() const { return sockets_ != nullptr; }
    // The dispatcher link, for a host's questions; null without a transport.
    const ConsoleAppSockets* Sockets() const { return sockets_.get(); }
    // Commands sent and events received since the last reset.
    TrafficCounters& Counters() { return counters_; }
    const TrafficCounters& Counters() const { return counters_; }

private:
    void RxDataThread();
    void ReceiveLoop();
    void RunBeforeReceiveHook();
    bool StepAsideForHostReader();
    bool TakeFailingSend();
    // One read from a connection that a wait found readable, and the cutting
    // and stepping of what it brings. Read lock held. readsBefore: the count
    // of reads when that wait began; when another reader read since, the
    // readiness may have been its data, and only a socket still readable is
    // read (nothing is logged otherwise).
    void ReadOnce(const ConsoleAppSockets::ConnectionRef& connection, std::uint32_t readsBefore);
    template <typename LeftMs>
    SyncEvent::WaitOutcome ReadUntilAnswered(SyncEvent& answered, LeftMs leftMs);
    void QueuePackets(std::size_t received);
    void TakeRecord(const std::uint8_t* record);
    void HandleIncomingEvents();
    void HandleOnePacket(ConsoleEventPacket_t& packet, bool dumpPackets);
    void WaitForThreadsToEnd();

    PacketEventReceiver* owner_;
    // Held for a whole event step (repair, pairing, hand-over) and while a
    // packet number is taken: pairing and numbering never interleave.
    std::mutex eventStepLock_;
    std::atomic<std::uint8_t> commandCounter_{0};
    std::atomic<std::uint32_t> receivedEvents_{0};
    TrafficCounters counters_;
    std::atomic<bool> running_{true};
    // Whether event packets are dumped: the severity when the handler started.
    bool dumpPackets_ = false;
    // Whether the receiving thread may run an answer's event step itself;
    // without a transport every packet goes through the queue.
    const bool stepOnReceive_ = true;
    platform::WaitEvent stopEvent_{true, false};
    SyncEvent rxEnded_;
    SyncEvent eventsEnded_;
    EventQueue queue_;
    // One reader at a time takes a read, its cutting and its event steps:
    // the receiving thread, or a host thread waiting for its answer.
    std::mutex readLock_;
    std::atomic<std::uint32_t> reads_{0};
    EventStream stream_;  // the reader's
    // The host thread that reads for itself (one at a time; none: empty id).
    std::atomic<std::thread::id> hostReader_{};
    // Host waits that sleep while another thread reads.
    std::atomic<int> sleepingWaits_{0};
    // The receiving thread's: whether it leaves the data to a host reader.
    bool steppedAside_ = false;
    // Successful claims by host threads, and their count at the receiving
    // thread's last look (its own).
    std::atomic<std::uint32_t> hostClaims_{0};
    std::uint32_t claimsAtLastLook_ = 0;
    std::atomic<int> asideLookMs_{kAsideLookMs};
    std::atomic<bool> hasReceiveHook_{false};
    std::mutex receiveHookLock_;
    std::function<void()> beforeReceiveHook_;
    std::unique_ptr<ConsoleAppSockets> sockets_;
    std::thread rxThread_;
    std::thread eventThread_;
    std::function<void()> beforeNumberHook_;
    std::atomic<int> failingSends_{0};
};

// Hands the connection back to the receiving thread when the scope ends, if
// the thread that sent a command still holds it (the command did not wait).
class HostReadingRelease {
public:
    explicit HostReadingRelease(PacketHandler* handler) : handler_(handler) {}
    ~HostReadingRelease() {
        if (handler_ != nullptr) handler_->ReleaseHostReading();
    }
    HostReadingRelease(const HostReadingRelease&) = delete;
    HostReadingRelease& operator=(const HostReadingRelease&) = delete;

private:
    PacketHandler* handler_;
};

#endif
