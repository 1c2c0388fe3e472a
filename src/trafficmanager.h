// The traffic manager: the chip's command mailbox, the internal operations
// that wait for their own responses, and the system commands.
#ifndef TERMBRIDGE_TRAFFICMANAGER_H
#define TERMBRIDGE_TRAFFICMANAGER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "packethandler.h"
#include "packets.h"
#include "syncevent.h"
#include "trafficowner.h"

class TrafficManager : public PacketEventReceiver {
public:
    enum CommandState {
        CMD_STATE_IDLE = 0,
        CMD_STATE_READ_COUNTER = 1,
        CMD_STATE_WRITE_COMMAND = 2,
        CMD_STATE_INC_COUNTER = 3,
    };
    // The state of a step whose response did not come in time.
    static constexpr int kCommandStateTimedOut = 5;
    static constexpr int kDefaultInternalTimeoutMs = 1000;
    static constexpr std::size_t kChunkSize = 16;
    // Bulk memory transfers (memory files, firmware verify) move as much as
    // one native command carries.
    static constexpr std::size_t kBulkPiece = kNativeDataSize;
    static constexpr int kMaxCounterReads = 10;
    static constexpr std::uint32_t kDefaultCounterReadAddress = 0xBF108300;
    static constexpr std::uint32_t kDefaultCounterWriteAddress = 0xBF108240;
    static constexpr std::uint32_t kDefaultCommandBufferAddress = 0xBFE30000;
    static constexpr std::uint32_t kSetupReadAddress = 0xBFC00000;
    static constexpr int kSyncPauseMs = 1000;
    // The pause before the first read of the mailbox counter.
    static constexpr int kCounterReadPauseMs = 15;

    using ResponseBuffer = std::array<std::uint8_t, kEventDataSize>;

    // The owner is not owned and must outlive this object.
    TrafficManager(TrafficOwner* owner, std::uint16_t targetPort, const std::string& targetAddress,
                   std::uint16_t listenPort);
    ~TrafficManager() override;
    TrafficManager(const TrafficManager&) = delete;
    TrafficManager& operator=(const TrafficManager&) = delete;

    bool HandleNonNativeCommand(const std::uint8_t* bytes, std::size_t length, bool waitForEvents);
    // How far the last mailbox delivery went: the chip takes a command only
    // once the counter write reaches it.
    enum class Delivery { kNothingWritten, kBufferWritten, kCounterWriteSent, kAcknowledged };
    Delivery LastDelivery() const { return lastDelivery_.load(); }
    // Whether the last native command of an operation left for the dispatcher.
    bool LastCommandWentOut() const { return lastCommandWentOut_.load(); }
    bool SendNativeCommand(const NativeCommand_t& command);
    // The owner stopped waiting (time-out, failed send): later answers to its
    // command are dumped here and never reach it.
    void CloseExternalWait() { externalWait_.store(false); }

    // Event thread: the data of an event that answers the last command.
    void HandleEvent(const std::uint8_t* data, std::uint32_t length) override;

    // Internal operations: while set, every native command waits for its
    // response, and every accepted event is taken as that response.
    void SetInternalOperation(bool internal) { internalOperation_.store(internal); }
    bool InternalOperation() const { return internalOperation_.load(); }
    // Milliseconds; a negative value waits without limit.
    void SetInternalTimeout(int timeoutMs) { internalTimeout_.store(timeoutMs); }
    int InternalTimeout() const { return internalTimeout_.load(); }
    // Stopping an operation (any thread): the wait for an answer in progress
    // ends at once, no further native command of the operation goes out,
    // and every answer that comes until ClearStop is dumped. The operation's
    // steps then fail one after the other. ClearStop (host thread, before
    // the next operation) lets commands out again.
    void RequestStop();
    void ClearStop();
    bool StopRequested() const { return stopRequested_.load(); }
    // Sleeps for the pause, or until a stop; false when stopped.
    bool PauseUnlessStopped(int pauseMs);

    // Test seam: the pause before the first counter read, in milliseconds
    // (kCounterReadPauseMs unless set; 0 leaves it out).
    void SetCounterReadPause(int pauseMs) { counterReadPauseMs_.store(pauseMs); }
    // A copy of the last internal response's data (zeros after its length).
    ResponseBuffer GetResponseBuffer() const;
    // The number of data bytes the last internal response carried.
    std::size_t GetResponseLength() const;

    bool ReadWord(std::uint32_t address);
    bool WriteWord(std::uint32_t address, std::uint32_t value);
    bool ReadBuffer(std::uint32_t address, std::uint16_t length);
    bool CommandPipe(std::uint16_t cmdType, std::uint32_t parameter);
    bool WriteBuffer(std::uint32_t address, const std::uint8_t* bytes, std::size_t length);
    // `confirmed` (when given) receives the bytes whose chunks the dispatcher
    // acknowledged, up to the first that failed.
    bool WriteEeprom(std::uint32_t address, std::size_t length, const std::uint8_t* bytes,
                     std::size_t* confirmed = nullptr);
    // `out` receives `length` bytes.
    bool ReadEeprom(std::uint32_t address, std::size_t length, std::uint8_t* out);
    // Chip memory in pieces of kBulkPiece bytes, each waiting for its answer
    // (an internal operation); `confirmed` (when given) receives the bytes
    // done before the first piece that failed. The range must lie inside the
    // 32-bit address space. `piece` (when given) runs after each piece with
    // the bytes done; false stops the transfer there.
    using PieceDone = std::function<bool(std::size_t)>;
    bool ReadMemory(std::uint32_t address, std::size_t length, std::uint8_t* out, std::size_t* confirmed = nullptr,
                    const PieceDone& piece = PieceDone());
    bool WriteMemory(std::uint32_t address, const std::uint8_t* bytes, std::size_t length,
                     std::size_t* confirmed = nullptr, const PieceDone& piece = PieceDone());

    // System commands: sent without waiting, whatever the flags.
    bool SendSystemCommand(std::uint16_t code, std::uint32_t value);
    bool SendSystemSetup(std::uint32_t firstValue, std::uint32_t secondValue);
    bool SetChipLogSeverity(int severity);
    bool SendSyncCommand();
    bool SendCloseCommand();

    // Mailbox addresses (set up by the owner from the definitions).
    void SetCommandBufferAddress(std::uint32_t address) { commandBufferAddress_.store(address); }
    void SetCounterReadAddress(std::uint32_t address) { counterReadAddress_.store(address); }
    void SetCounterWriteAddress(std::uint32_t address) { counterWriteAddress_.store(address); }
    std::uint32_t CommandBufferAddress() const { return commandBufferAddress_.load(); }
    std::uint32_t CounterReadAddress() const { return counterReadAddress_.load(); }
    std::uint32_t CounterWriteAddress() const { return counterWriteAddress_.load(); }

    int GetCommandState() const { return commandState_.load(); }
    bool ExternalWait() const { return externalWait_.load(); }
    const PacketHandler& Packets() const { return *packetHandler_; }
    PacketHandler& Packets() { return *packetHandler_; }
    // The traffic of the current host operation; the exports reset it at the
    // start of each operation.
    void ResetTrafficCounters() { packetHandler_->Counters().Reset(); }
    TrafficSnapshot TrafficCounts() const { return packetHandler_->Counters().Snapshot(); }

    // The mailbox counter in a word-read response: hexadecimal text from data
    // byte 2 (blanks and a 0x first allowed; no digits reads as 0).
    static std::uint32_t ParseCounterText(const ResponseBuffer& response);

private:
    bool SendNativeAndWait(const NativeCommand_t& command, bool external = false);
    bool ReadInto(const NativeCommand_t& command, std::uint8_t* out, std::size_t length);
    bool StoppedBeforeSending();
    bool StoppedWhileWaiting();
    bool AnswerIsData(const NativeCommand_t& command);
    void OpenExternalWait();
    bool ReadCounterUntilFree();
    bool DeliverThroughMailbox(const std::uint8_t* bytes, std::size_t length);
    void EnterState(int state, const char* logText);
    void HandleExternalEvent(const std::uint8_t* data, std::uint32_t length);
    template <typename ChunkStep>
    bool ForEachChunk(std::uint32_t address, std::size_t length, ChunkStep step, std::size_t* confirmed = nullptr,
                      std::size_t chunkSize = kChunkSize);

    TrafficOwner* owner_;
    std::atomic<int> commandState_{CMD_STATE_IDLE};
    std::atomic<bool> internalOperation_{false};
    std::atomic<bool> externalWait_{false};
    std::atomic<bool> requestedExternalWait_{false};
    // Set only while the mailbox counter write waits for its answer: a failed
    // delivery leaves the state at its step, and the next operation's answers
    // must not be taken for that write's acknowledgement.
    std::atomic<bool> counterWriteWaiting_{false};
    std::atomic<Delivery> lastDelivery_{Delivery::kNothingWritten};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> lastCommandWentOut_{false};
    // Set with stopRequested_: the pauses of an operation wait on it.
    SyncEvent stopSignal_{true, false};
    mutable std::mutex responseLock_;
    ResponseBuffer responseBuffer_{};
    std::size_t responseLength_ = 0;
    SyncEvent responseEvent_;
    std::atomic<int> internalTimeout_{kDefaultInternalTimeoutMs};
    std::atomic<int> counterReadPauseMs_{kCounterReadPauseMs};
    std::atomic<std::uint32_t> counterReadAddress_{kDefaultCounterReadAddress};
    std::atomic<std::uint32_t> counterWriteAddress_{kDefaultCounterWriteAddress};
    std::atomic<std::uint32_t> commandBufferAddress_{kDefaultCommandBufferAddress};
    // Last: its threads call back into the members above.
    std::unique_ptr<PacketHandler> packetHandler_;
};

#endif
