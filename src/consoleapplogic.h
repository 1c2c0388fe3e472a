// The one application object: owns the collaborators, handles one host
// command at a time and keeps its result and failure text.
#ifndef TERMBRIDGE_CONSOLEAPPLOGIC_H
#define TERMBRIDGE_CONSOLEAPPLOGIC_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "consoleappadapter.h"
#include "packets.h"
#include "syncevent.h"
#include "trafficowner.h"

class TrafficManager;
class EepromInterface;
class StructAccess;
class ConsoleEvtAdapter;
class CFWLoader;
struct ChunkDescriptor;

// Which collaborators construction creates; a test may stop early to see the
// application answer with its collaborators absent.
struct AppCollaborators {
    bool trafficManager = true;
    bool eepromInterface = true;
    bool structAccess = true;
    bool appAdapter = true;
    bool evtAdapter = true;
};

class ConsoleAppLogic : public TrafficOwner {
public:
    static constexpr std::size_t kResultBufferSize = 65536;
    static constexpr std::uint32_t kMaxResultLength = 65535;
    static constexpr std::size_t kMaxFailureLength = 65534;
    static constexpr std::size_t kMaxResultText = 131070;  // MAX_RESULT_BUFFER_LIMIT
    static constexpr std::size_t kMaxCommandName = 99;
    static constexpr std::size_t kMaxNativeLine = 199;
    static constexpr std::size_t kMaxLoggedCommand = 999;

    enum CommandState { COMMAND_IDLE = 0, COMMAND_BUSY = 1, COMMAND_SEND_FAILED = 2 };

    ConsoleAppLogic(std::uint16_t consoleToDispatcherPort, const std::string& dispatcherAddress,
                    std::uint16_t dispatcherToConsolePort, const std::string& macMapFile,
                    const std::string& phyMapFile, const std::string& structListFile,
                    const AppCollaborators& collaborators = AppCollaborators());
    ~ConsoleAppLogic() override;
    ConsoleAppLogic(const ConsoleAppLogic&) = delete;
    ConsoleAppLogic& operator=(const ConsoleAppLogic&) = delete;

    // Host thread. One command at a time: TakeCommandSlot is false (and
    // logs the refusal) while another runs, and then changes nothing of it;
    // HandleTakenCommand runs a command whose slot the caller took.
    // HandleCommand does both.
    bool TakeCommandSlot(const std::string& command);
    int HandleTakenCommand(const std::string& command);
    int HandleCommand(const std::string& command);
    const char* GetResultBufferText();
    void SetFailure(const std::string& text);
    void SetCommandTimeout(int timeoutMs) { commandTimeout_.store(timeoutMs); }
    int CommandTimeout() const { return commandTimeout_.load(); }
    void SetLogSeverity(int level);
    void SetInternalCommandTimeout(int timeoutMs);
    int SyncChipAccess();

    // The library's default time-out (0 is stored as -1), which
    // sendCommandDefaultTimeout and each new instance take.
    static constexpr int kDefaultCommandTimeoutMs = 15000;
    static void SetDefaultTimeout(int timeoutMs);
    static int DefaultTimeout();
    void ApplyDefaultTimeout() { SetCommandTimeout(DefaultTimeout()); }

    // Through the traffic manager, once the command's packet number is taken.
    void ArmResponseWait() override;
    // Event thread, through the traffic manager.
    bool HandleIncomingEvents(const std::uint8_t* data, std::uint32_t length, bool& isSubEvent,
                              bool& accepted) override;
    void SetResultInvalid(int value) override { resultInvalid_.store(value); }
    void SignalEventReceived() override { eventReceived_.Set(); }
    bool ResponseExpected() const { return responseExpected_.load(); }

    // Result accessors for the exports.
    const char* ResultBuffer() const { return reinterpret_cast<const char*>(resultBuffer_.data()); }
    std::uint32_t ResultLength() const { return resultLength_.load(); }
    // Points into a fixed member buffer: the pointer stays valid as long as
    // this object lives; the text is replaced by the next failure.
    const char* FailureMessage() const { return failureMessage_.data(); }
    int GetCommandState() const { return commandState_.load(); }

    // Collaborators (null when absent).
    TrafficManager* GetTrafficManager() const { return trafficManager_.get(); }
    StructAccess* GetStructAccess() const { return structAccess_.get(); }
    EepromInterface* GetEepromInterface() const { return eepromInterface_.get(); }

    // Progress of long operations (firmware load, EEPROM burn and whole reads),
    // reported on the host's own thread. `stage` names the step; done and total
    // count bytes. A null callback reports nothing. A stoppable callback
    // answers nonzero to stop the operation; setting either replaces the other.
    using ProgressCallback = void (*)(const char* stage, std::uint64_t done, std::uint64_t total, void* user);
    using StoppableProgressCallback = int (*)(const char* stage, std::uint64_t done, std::uint64_t total,
                                              void* user);
    void SetProgressCallback(ProgressCallback callback, void* user) {
        progressCallback_ = callback;
        stoppableCallback_ = nullptr;
        progressUser_ = user;
    }
    void SetStoppableProgressCallback(StoppableProgressCallback callback, void* user) {
        stoppableCallback_ = callback;
        progressCallback_ = nullptr;
        progressUser_ = user;
    }
    // False when the operation is to stop: the callback asked so, or the
    // host cancelled it.
    bool ReportProgress(const char* stage, std::uint64_t done, std::uint64_t total);

    // Cancelling: each operation export starts with no request; RequestCancel
    // (any thread) ends every wait of the running operation at once (a
    // command's wait for its answer, the traffic manager's waits for its
    // chunks and its pauses) and nothing more of it is sent; the operation
    // fails with a text that begins with "Cancelled:" and says what was done.
    void BeginOperation();
    void RequestCancel();

    // Firmware and EEPROM operations behind their exports.
    int LoadFirmware(const std::string& path);
    // Reads the chip's memory for every chunk the package would load and
    // compares, writing nothing: 0 when the chip holds the package (a
    // summary in the result buffer), 1 with the differing chunks (or why the
    // package did not build) as the failure text.
    int VerifyFirmware(const std::string& path);
    // Chip memory in bulk, for memory files: 0 success, 1 failure with its
    // text. The range must lie inside the 32-bit address space.
    int ReadMemory(std::uint32_t address, std::uint32_t length, std::uint8_t* out);
    int WriteMemory(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);
    // The wait after the run command, for the firmware to start.
    static constexpr int kDefaultFirmwareStartPauseMs = 2000;
    void SetFirmwareStartPause(int milliseconds) { firmwareStartPauseMs_.store(milliseconds); }
    const char* BuildVersionReport();
    int InitEepromInterface(int mode, const std::string& path);
    int UpdateEepromField(const std::string& name, const std::string& value);
    int BurnEeprom(bool partial);
    int DumpEepromTable(const std::string& path);
    int ReadEntireEeprom(const std::string& path);
    int ReadFieldFromEeprom(const std::string& name);
    int ReadFieldFromVolatile(const std::string& name);

private:
    void Construct(std::uint16_t consoleToDispatcherPort, const std::string& dispatcherAddress,
                   std::uint16_t dispatcherToConsolePort, const std::string& macMapFile,
                   const std::string& phyMapFile, const std::string& structListFile,
                   const AppCollaborators& collaborators);
    void SetUpMailboxAddresses();
    bool AdaptAndSendCommand(const std::string& command, bool& waitNeeded);
    bool SendPhyTunnelCommand(const std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                              bool isNonConsoleMacPhyCommand, bool waitNeeded);
    bool SendConsoleData(const std::uint8_t* bytes, std::size_t length, bool waitNeeded);
    bool SendNativeStruct(const NativeCommand_t& nativeConsoleCmd);
    // An operation export starts with no failure text, as a command does:
    // a success must not show an earlier failure's text.
    void ClearFailure();
    void StoreFailure(const std::string& text);  // failure text only, result untouched
    void SetFailureUnlogged(const std::string& text);  // SetFailure for a text already logged
    void CopyFailureText(const std::string& text);  // resultLock_ held
    bool NativeAnswerIsData(const std::uint8_t* data, std::uint32_t length);  // resultLock_ held
    // The host's wait for the command's response (the traffic manager's
    // connection is read meanwhile where that pays).
    bool WaitForResponse(int timeoutMs);
    void EndWaitForResponse();
    bool RefuseAbsent(const void* member, const char* what);
    // After a failed operation: when it was cancelled, the failure text says
    // that instead (`what` names the operation, `done` what it had done).
    void SayIfCancelled(const char* what, const std::string& done = std::string());
    void Stop(const char* logText);
    std::string ProgressSoFar() const;
    std::string CancelledSendText(const std::string& command) const;
    // Firmware loading and the version report.
    // The values of a version record (VersionInfo), in the report's order.
    using VersionValues = std::array<std::int32_t, 9>;
    bool LoadFirmwareSteps(CFWLoader& loader, TrafficManager& traffic, std::string& reached);
    bool FailLoad(const char* text);
    std::string CompareChunk(const ChunkDescriptor& chunk, TrafficManager& traffic, bool& read);
    bool MemoryRangeRefused(std::uint32_t address, std::uint32_t length, const void* bytes, const char* what);
    std::uint32_t ReadVersionWord(const std::string& command);
    std::string VersionPart(bool mac, VersionValues& values);
    // EEPROM operations: the interface with progress reporting attached, or
    // null (with a failure text) when it is absent.
    EepromInterface* EepromForHost();
    int ReadEepromField(const std::string& name, bool fromChip);
    // Puts a text and its NUL into the result buffer; `countLength` sets the
    // result length to the text's length.
    void SetResultLength(std::uint32_t length);
    void StoreTextResult(const std::string& text, bool countLength);

    std::unique_ptr<TrafficManager> trafficManager_;
    std::uint8_t commandCounter_ = 0;
    std::unique_ptr<StructAccess> structAccess_;
    std::unique_ptr<ConsoleAppAdapter> appAdapter_;
    std::unique_ptr<ConsoleEvtAdapter> evtAdapter_;
    std::unique_ptr<EepromInterface> eepromInterface_;
    std::array<std::uint8_t, 4> tunnelHeader_{};

    // The result hand-over between the event thread and the host thread: the
    // wait is armed (ArmResponseWait) once the command's packet number is
    // taken, the event thread fills the result and then signals
    // eventReceived_. resultLock_ keeps a late event (after the host gave up
    // waiting) from writing while the host reads.
    mutable std::mutex resultLock_;
    std::atomic<std::uint32_t> resultLength_{0};
    std::array<std::uint8_t, kResultBufferSize> resultBuffer_{};
    std::array<char, kMaxFailureLength + 1> failureMessage_{};
    std::atomic<int> commandTimeout_;
    std::atomic<bool> responseExpected_{false};
    std::atomic<bool> nativeResponse_{false};
    SyncEvent eventReceived_;
    std::atomic<int> resultInvalid_{1};
    // An event of the running command failed to adapt (resultLock_ held):
    // the command fails even when later events of it adapt.
    bool eventFailed_ = false;
    // The native command whose answer is awaited (its type and length; under
    // resultLock_): a refusal or a short read is no data for the host.
    NativeCommand_t awaitedNative_;
    std::atomic<int> commandState_{COMMAND_IDLE};
    std::string resultText_;
    ProgressCallback progressCallback_ = nullptr;
    StoppableProgressCallback stoppableCallback_ = nullptr;
    void* progressUser_ = nullptr;
    std::atomic<bool> cancelRequested_{false};
    // The running operation's last progress report (host thread).
    struct Progress {
        const char* stage = nullptr;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
    };
    Progress lastProgress_;
    // Whether the running command goes through the chip's mailbox (host thread).
    bool viaMailbox_ = false;
    std::atomic<int> firmwareStartPauseMs_{kDefaultFirmwareStartPauseMs};
};

#endif
