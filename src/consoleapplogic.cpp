#include "consoleapplogic.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cfwloader.h"
#include "consoleappadapter.h"
#include "consoleevtadapter.h"
#include "consolelogger.h"
#include "consolenativeadapter.h"
#include "eeprominterface.h"
#include "errors.h"
#include "platform/platform.h"
#include "strformat.h"
#include "structaccess.h"
#include "trafficmanager.h"

namespace {

constexpr const char* kStars = "********************************************************";
constexpr std::size_t kTunnelPacketSize = 28;
std::atomic<int> g_defaultTimeout{ConsoleAppLogic::kDefaultCommandTimeoutMs};

// The first blank-separated word of a line and where it ends.
std::string FirstWord(const std::string& line, std::size_t& end) {
    const std::size_t start = line.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string::npos) {
        end = line.size();
        return "";
    }
    end = line.find_first_of(" \t\r\n\v\f", start);
    if (end == std::string::npos) end = line.size();
    return line.substr(start, end - start);
}

std::string Truncated(const std::string& text, std::size_t limit) {
    return text.size() <= limit ? text : text.substr(0, limit);
}

void ReportCreationFailure(const char* text, int line) { PhyConsoleNs::SystemException(text, "consoleapplogic", line); }

}  // namespace

void ConsoleAppLogic::SetDefaultTimeout(int timeoutMs) { g_defaultTimeout.store(timeoutMs == 0 ? -1 : timeoutMs); }
int ConsoleAppLogic::DefaultTimeout() { return g_defaultTimeout.load(); }

ConsoleAppLogic::ConsoleAppLogic(std::uint16_t consoleToDispatcherPort, const std::string& dispatcherAddress,
                                 std::uint16_t dispatcherToConsolePort, const std::string& macMapFile,
                                 const std::string& phyMapFile, const std::string& structListFile,
                                 const AppCollaborators& collaborators)
    : commandTimeout_(DefaultTimeout()) {
    try {
        Construct(consoleToDispatcherPort, dispatcherAddress, dispatcherToConsolePort, macMapFile, phyMapFile,
                  structListFile, collaborators);
    } catch (...) {
        LogCrash("<ConsoleAppLogic> Constructor failed for some reason");
    }
}

// Creates the collaborators in their fixed order. A collaborator that cannot
// be created ends construction there; the later members stay absent and every
// operation that needs one refuses with a failure text.
void ConsoleAppLogic::Construct(std::uint16_t consoleToDispatcherPort, const std::string& dispatcherAddress,
                                std::uint16_t dispatcherToConsolePort, const std::string& macMapFile,
                                const std::string& phyMapFile, const std::string& structListFile,
                                const AppCollaborators& collaborators) {
    SetLogSeverityLevel(LOG_NORMAL);
    LogMessage("Application Started", LOG_NORMAL);

    LogMessage("<ConsoleAppLogic> Creating Traffic Manager Object", LOG_DETAIL);
    if (collaborators.trafficManager) {
        trafficManager_ = std::make_unique<TrafficManager>(this, consoleToDispatcherPort, dispatcherAddress,
                                                           dispatcherToConsolePort);
    }
    if (!trafficManager_) return ReportCreationFailure("<ConsoleAppLogic>Failed to create Traffic Manager Object ", __LINE__);

    LogMessage("<ConsoleAppLogic> Creating EEprom Interface Object", LOG_DETAIL);
    if (collaborators.eepromInterface) eepromInterface_ = std::make_unique<EepromInterface>(trafficManager_.get());
    if (!eepromInterface_) return ReportCreationFailure("<ConsoleAppLogic>Failed to create EEprom Interface Object ", __LINE__);

    LogMessage("<ConsoleAppLogic> Creating Struct Access Object", LOG_DETAIL);
    if (collaborators.structAccess) {
        structAccess_ = std::make_unique<StructAccess>(macMapFile, phyMapFile, eepromInterface_.get());
    }
    if (!structAccess_) return ReportCreationFailure("<ConsoleAppLogic>Failed to create Struct Access Object ", __LINE__);
    structAccess_->structAccessInit(structListFile);

    LogMessage("<ConsoleAppLogic> Creating Console App Adapter Object", LOG_DETAIL);
    if (collaborators.appAdapter) appAdapter_ = std::make_unique<ConsoleAppAdapter>(structAccess_.get());
    if (!appAdapter_) return ReportCreationFailure("<ConsoleAppLogic>Failed to create App Adapter Object ", __LINE__);

    LogMessage("<ConsoleAppLogic> Creating Console Event Adapter Object", LOG_DETAIL);
    if (collaborators.evtAdapter) evtAdapter_ = std::make_unique<ConsoleEvtAdapter>(structAccess_.get());
    if (!evtAdapter_) return ReportCreationFailure("<ConsoleAppLogic>Failed to create Event Adapter Object ", __LINE__);

    resultInvalid_.store(1);
    LogMessage("<ConsoleAppLogic> Creating Event Recieved Event", LOG_DETAIL);
    eventReceived_.Reset();

    SetUpMailboxAddresses();
    SyncChipAccess();
    LogMessage("Initialize Appilcation Successed ", LOG_NORMAL);
}

ConsoleAppLogic::~ConsoleAppLogic() {
    try {
        if (trafficManager_) trafficManager_->SendCloseCommand();
        // The transport's threads call into the adapters and the database, so
        // they are stopped before anything they use goes away.
        trafficManager_.reset();
        structAccess_.reset();
        evtAdapter_.reset();
        appAdapter_.reset();
        eepromInterface_.reset();
        LogMessage("Application Closed", LOG_NORMAL);
        ConsoleLogger::DestroyInstance();
    } catch (...) {
        const std::string text = Format("<ConsoleAppLogic> Destructor failed. Error %d.\n", platform::LastSystemError());
        LogMessage(text, LOG_NORMAL);
        LogCrash(text);
    }
}

void ConsoleAppLogic::SetUpMailboxAddresses() {
    struct Mailbox {
        const char* name;
        void (TrafficManager::*set)(std::uint32_t);
        std::uint32_t (TrafficManager::*get)() const;
    };
    static const Mailbox kMailboxes[] = {
        {"MAC_COMMAND_BUFFER_ADDRESS", &TrafficManager::SetCommandBufferAddress, &TrafficManager::CommandBufferAddress},
        {"MAC_COMMAND_COUNTER_READ_ADDRESS", &TrafficManager::SetCounterReadAddress, &TrafficManager::CounterReadAddress},
        {"MAC_COMMAND_COUNTER_WRITE_ADDRESS", &TrafficManager::SetCounterWriteAddress,
         &TrafficManager::CounterWriteAddress},
    };
    TrafficManager& traffic = *trafficManager_;
    for (const Mailbox& mailbox : kMailboxes) {
        std::int64_t value = 0;
        const bool fromDataBase = structAccess_ && structAccess_->getPredefinedValue(mailbox.name, value);
        if (fromDataBase) (traffic.*mailbox.set)(static_cast<std::uint32_t>(value));
        LogMessage(Format("%s from %s (0x%x)", mailbox.name, fromDataBase ? "DataBase" : "Default",
                          static_cast<unsigned>((traffic.*mailbox.get)())),
                   LOG_NORMAL);
    }
}

bool ConsoleAppLogic::RefuseAbsent(const void* member, const char* what) {
    if (member != nullptr) return false;
    const std::string text = Format("Error!!! %s wasn't Initialized", what);
    LogMessage("<ConsoleAppLogic>" + text, LOG_ERROR);
    SetFailure(text);
    return true;
}

void ConsoleAppLogic::SayIfCancelled(const char* what, const std::string& done) {
    if (!cancelRequested_.load()) return;
    SetFailure(Format("Cancelled: %s stopped by the host", what) + done);
}

bool ConsoleAppLogic::ReportProgress(const char* stage, std::uint64_t done, std::uint64_t total) {
    lastProgress_ = {stage, done, total};
    if (progressCallback_ != nullptr) progressCallback_(stage, done, total, progressUser_);
    if (stoppableCallback_ != nullptr && stoppableCallback_(stage, done, total, progressUser_) != 0) {
        Stop("<ConsoleAppLogic>The progress callback asked to stop the operation");
    }
    return !cancelRequested_.load();
}

void ConsoleAppLogic::RequestCancel() { Stop("<ConsoleAppLogic>The host asked to cancel the running operation"); }

// Every wait of the running operation ends at once: a command's wait for
// its answer, and the traffic manager's waits and pauses; nothing more of
// the operation goes out.
void ConsoleAppLogic::Stop(const char* logText) {
    if (cancelRequested_.exchange(true)) return;
    LogMessage(logText, LOG_NORMAL);
    if (trafficManager_) trafficManager_->RequestStop();
    eventReceived_.Set();
}

void ConsoleAppLogic::BeginOperation() {
    cancelRequested_.store(false);
    lastProgress_ = Progress();
    if (trafficManager_) trafficManager_->ClearStop();
}

// What a stopped operation had done, as the progress reports last told it.
std::string ConsoleAppLogic::ProgressSoFar() const {
    if (lastProgress_.stage == nullptr) return " before any progress";
    if (lastProgress_.total == 0) return Format(" at %s", lastProgress_.stage);
    return Format(" at %s, %llu of %llu bytes", lastProgress_.stage,
                  static_cast<unsigned long long>(lastProgress_.done),
                  static_cast<unsigned long long>(lastProgress_.total));
}

namespace {
void LogHandleLine(const std::string& command) {
    if (LogEnabled(LOG_NORMAL)) {
        LogMessages({kStars, Truncated("<ConsoleAppLogic>Handle command: " + command, ConsoleAppLogic::kMaxLoggedCommand)},
                    LOG_NORMAL);
    }
}
}  // namespace

bool ConsoleAppLogic::TakeCommandSlot(const std::string& command) {
    int state = commandState_.load();
    do {
        if (state == COMMAND_BUSY) {
            LogHandleLine(command);
            LogMessage("<ConsoleAppLogic>Can't handle command. Previous command handling did not finished yet.",
                       LOG_NORMAL);
            return false;
        }
    } while (!commandState_.compare_exchange_weak(state, COMMAND_BUSY));
    return true;
}

int ConsoleAppLogic::HandleCommand(const std::string& command) {
    return TakeCommandSlot(command) ? HandleTakenCommand(command) : 1;
}

int ConsoleAppLogic::HandleTakenCommand(const std::string& command) {
    LogHandleLine(command);
    // Only once this command holds the state: a call refused as busy must not
    // swallow the running command's answer signal or its capture flag.
    if (evtAdapter_) evtAdapter_->SetCaptureDataFlag(false);
    eventReceived_.Reset();
    // A command that sent but did not wait still holds the connection.
    const HostReadingRelease release(trafficManager_ ? &trafficManager_->Packets() : nullptr);

    {
        std::lock_guard<std::mutex> lock(resultLock_);
        failureMessage_[0] = '\0';
        SetResultLength(0);
        eventFailed_ = false;
    }

    int result = 0;
    bool waitNeeded = false;
    const char* outcome = nullptr;  // written with the closing stars
    if (cancelRequested_.load()) {
        const std::string text = Format("Cancelled: command '%s ' was not sent", command.c_str());
        StoreFailure(text);
        LogMessage(text, LOG_NORMAL);
        result = 1;
    } else if (!AdaptAndSendCommand(command, waitNeeded)) {
        const std::string text = cancelRequested_.load()
                                     ? CancelledSendText(command)
                                     : Format("Error: Failed to Send Command : '%s '", command.c_str());
        EndWaitForResponse();
        StoreFailure(text);
        LogMessage(text, LOG_NORMAL);
        result = 1;
    } else if (waitNeeded) {
        LogMessage("<ConsoleAppLogic>Wait For Event as a Response to last Console Command!", LOG_NORMAL);
        // The wait is armed already: a cancel from now on wakes it.
        const bool answered = !cancelRequested_.load() && WaitForResponse(commandTimeout_.load());
        if (cancelRequested_.load()) {
            std::string text = Format("Cancelled: stopped waiting for the answer to command '%s '", command.c_str());
            if (viaMailbox_) text += ": the chip received it";
            EndWaitForResponse();
            StoreFailure(text);
            LogMessage(text, LOG_NORMAL);
            result = 1;
        } else if (!answered) {
            const std::string text = Format("Timeout Error: No Event occur for command : '%s '", command.c_str());
            EndWaitForResponse();
            StoreFailure(text);
            LogMessage(text, LOG_NORMAL);
            result = 1;
        } else {
            result = resultInvalid_.load();
            outcome = result != 0 ? "<ConsoleAppLogic>Event Arrived , Result Buffer contains not valid data!"
                                  : "<ConsoleAppLogic>Event Arrived ,Result Buffer contains valid data!";
        }
    } else {
        LogMessage("<ConsoleAppLogic>No Wait For Event as a Response to last Console Command is Needed! !", LOG_NORMAL);
    }

    responseExpected_.store(false);
    commandState_.store(COMMAND_IDLE);
    if (outcome != nullptr) {
        LogMessages({outcome, kStars}, LOG_NORMAL);
    } else {
        LogMessage(kStars, LOG_NORMAL);
    }
    return result;
}

// A command stopped before it was sent, or while the mailbox took it: what
// reached the chip.
std::string ConsoleAppLogic::CancelledSendText(const std::string& command) const {
    using Delivery = TrafficManager::Delivery;
    const Delivery delivery =
        viaMailbox_ && trafficManager_ ? trafficManager_->LastDelivery() : Delivery::kNothingWritten;
    switch (delivery) {
        case Delivery::kNothingWritten:
            return Format("Cancelled: command '%s ' was not sent", command.c_str());
        case Delivery::kBufferWritten:
            return Format("Cancelled: command '%s ' was not handed to the chip: stopped while it was written into "
                          "the mailbox",
                          command.c_str());
        default:
            return Format("Cancelled: stopped waiting for the mailbox counter write of command '%s ': the chip may "
                          "run it",
                          command.c_str());
    }
}

bool ConsoleAppLogic::WaitForResponse(int timeoutMs) {
    if (!trafficManager_) return eventReceived_.Wait(timeoutMs);
    return trafficManager_->Packets().WaitForAnswer(eventReceived_, timeoutMs);
}

// Closes the wait for the current command's response: an event that arrives
// later is only logged and leaves the result alone.
void ConsoleAppLogic::EndWaitForResponse() {
    {
        std::lock_guard<std::mutex> lock(resultLock_);
        responseExpected_.store(false);
        SetResultLength(0);
    }
    if (trafficManager_) trafficManager_->CloseExternalWait();
}

void ConsoleAppLogic::ArmResponseWait() {
    std::lock_guard<std::mutex> lock(resultLock_);
    eventReceived_.Reset();
    responseExpected_.store(true);
}

// waitNeeded tells whether the command's response is to be awaited; the wait
// itself is armed by the traffic manager once the packet number is taken.
bool ConsoleAppLogic::AdaptAndSendCommand(const std::string& command, bool& waitNeeded) {
    std::array<std::uint8_t, kMacCmdBuffSize> cmdBuff{};
    std::array<std::uint8_t, kPhyConsoleCmdSize> phyConsoleCmd{};
    NativeCommand_t nativeConsoleCmd;
    bool isNative = true;
    bool isMACCommand = false;
    bool isNonConsoleMacPhyCommand = false;
    std::uint32_t commandLen = 0;

    std::size_t nameEnd = 0;
    const std::string cmdName = FirstWord(command, nameEnd);
    bool adapted = false;
    viaMailbox_ = false;
    if (cmdName.size() > kMaxCommandName) {
        LogMessage(Format("<ConsoleAppLogic>Error: the command word is longer than %u characters",
                          static_cast<unsigned>(kMaxCommandName)),
                   LOG_NORMAL);
    } else if (appAdapter_ && appAdapter_->isMemCommand(cmdName)) {
        const std::string rest = nameEnd + 1 < command.size() ? command.substr(nameEnd + 1) : std::string();
        adapted = appAdapter_->adaptMemCommand(cmdName, rest, nativeConsoleCmd);
    } else if (ConsoleNativeAdapter::GetInstance().GetNativeCommandType(cmdName) == -1) {
        LogMessage("<ConsoleAppLogic>The Command is Non Native,Trying to Adapt Command!", LOG_NORMAL);
        isNative = false;
        bool adapterWaits = true;
        adapted = !RefuseAbsent(appAdapter_.get(), "Console App Adapter") &&
                  appAdapter_->adaptCommand(command, phyConsoleCmd, cmdBuff, isMACCommand, commandLen, adapterWaits,
                                            isNonConsoleMacPhyCommand);
        waitNeeded = adapted && adapterWaits;
    } else {
        LogMessage("<ConsoleAppLogic>The Command is Native,Trying to Adapt Native Command!", LOG_NORMAL);
        if (command.size() > kMaxNativeLine) {
            LogMessage(Format("<ConsoleAppLogic>Error: a native command line holds at most %u characters",
                              static_cast<unsigned>(kMaxNativeLine)),
                       LOG_NORMAL);
        } else {
            adapted = ConsoleNativeAdapter::GetInstance().AdaptNativeCommand(command, nativeConsoleCmd);
        }
    }

    if (!adapted) {
        const std::string text = Format("Error: Couldn't adapt command '%s'", command.c_str());
        StoreFailure(text);
        LogMessage(text, LOG_NORMAL);
        return false;
    }

    if (isNative) {
        waitNeeded = true;
        nativeResponse_.store(true);
        {
            std::lock_guard<std::mutex> lock(resultLock_);
            awaitedNative_.Type = nativeConsoleCmd.Type;
            awaitedNative_.Length = nativeConsoleCmd.Length;
        }
        LogMessage("<ConsoleAppLogic>Sending Native Command Struct: ", LOG_NORMAL);
        if (LogEnabled(LOG_DETAIL)) {
            const NativePacketBytes record = EncodeNativeRecord(nativeConsoleCmd);
            LogHexDump(record.data(), record.size(), LOG_DETAIL);
        }
        return SendNativeStruct(nativeConsoleCmd);
    }

    nativeResponse_.store(false);
    viaMailbox_ = true;
    if (isMACCommand) {
        const std::size_t length = std::min<std::size_t>(commandLen, cmdBuff.size());
        LogMessageAndHexDump("<ConsoleAppLogic>Sending Mac Command: ", cmdBuff.data(), length, LOG_NORMAL);
        return SendConsoleData(cmdBuff.data(), length, waitNeeded);
    }

    phyConsoleCmd[2] = commandCounter_++;
    LogMessageAndHexDump("<ConsoleAppLogic>Sending Phy Command: ", phyConsoleCmd.data(),
                         std::min<std::size_t>(phyConsoleCmd[4], phyConsoleCmd.size()), LOG_NORMAL);
    return SendPhyTunnelCommand(phyConsoleCmd, isNonConsoleMacPhyCommand, waitNeeded);
}

bool ConsoleAppLogic::SendPhyTunnelCommand(const std::array<std::uint8_t, kPhyConsoleCmdSize>& phyConsoleCmd,
                                           bool isNonConsoleMacPhyCommand, bool waitNeeded) {
    if (RefuseAbsent(structAccess_.get(), "Struct Access")) return false;
    const std::uint8_t commandLength = phyConsoleCmd[4];
    if (commandLength < 8 || commandLength > phyConsoleCmd.size()) {
        SetFailure(Format("<ConsoleAppLogic>Error: PHY command length %u is outside 8..%u", commandLength,
                          static_cast<unsigned>(phyConsoleCmd.size())));
        return false;
    }

    std::uint32_t captureOpcode = 0;
    if (structAccess_->getCommandOpcode("PHYC_CAPTURE_DATA_CMD", captureOpcode) && evtAdapter_ &&
        (captureOpcode & 0xFF) == phyConsoleCmd[0] && captureOpcode <= 0xFF) {
        evtAdapter_->SetCaptureDataFlag(true);
    }

    std::uint32_t tunnelType = 0;
    if (!structAccess_->getEnumValue("CMD_TUNNEL_TO_PHY", tunnelType)) {
        SetFailure("The type PHY_TUNNEL_TYPE wasn't found. Please insert the the type and reload for RVT .");
        return false;
    }
    PutBe16(&tunnelHeader_[0], static_cast<std::uint16_t>(tunnelType));
    tunnelHeader_[2] = 0;
    tunnelHeader_[3] = 0;

    std::array<std::uint8_t, kTunnelPacketSize> packet{};
    std::copy(tunnelHeader_.begin(), tunnelHeader_.end(), packet.begin());
    std::size_t length = 8;
    if (isNonConsoleMacPhyCommand) {
        const std::uint8_t bodyLength = static_cast<std::uint8_t>(commandLength - 8);
        PutBe16(&packet[4], phyConsoleCmd[0]);
        PutBe16(&packet[6], bodyLength);
        std::copy_n(phyConsoleCmd.begin() + 8, bodyLength, packet.begin() + 8);
        length += bodyLength;
    } else {
        std::uint32_t consoleType = 0;
        if (structAccess_->getEnumValue("PHY_CONSOLE_CMD", consoleType)) {
            PutBe16(&packet[4], static_cast<std::uint16_t>(consoleType));
        } else {
            packet[4] = 0x00;
            packet[5] = 0x04;
        }
        PutBe16(&packet[6], commandLength);
        std::copy_n(phyConsoleCmd.begin(), commandLength, packet.begin() + 8);
        length += commandLength;
    }
    return SendConsoleData(packet.data(), length, waitNeeded);
}

bool ConsoleAppLogic::SendConsoleData(const std::uint8_t* bytes, std::size_t length, bool waitNeeded) {
    if (RefuseAbsent(trafficManager_.get(), "Traffic Manager")) return false;
    try {
        return trafficManager_->HandleNonNativeCommand(bytes, length, waitNeeded);
    } catch (...) {
        commandState_.store(COMMAND_SEND_FAILED);
        SetFailure("Send socket error");
        return false;
    }
}

bool ConsoleAppLogic::SendNativeStruct(const NativeCommand_t& nativeConsoleCmd) {
    if (RefuseAbsent(trafficManager_.get(), "Traffic Manager")) return false;
    try {
        // The host's wait reads the answer (HandleCommand hands the
        // connection back should it not wait).
        trafficManager_->Packets().ClaimHostReading();
        return trafficManager_->SendNativeCommand(nativeConsoleCmd);
    } catch (...) {
        commandState_.store(COMMAND_SEND_FAILED);
        SetFailure("Send socket error");
        return false;
    }
}

// The failure text lives in a fixed buffer, so a pointer handed to the host
// never moves; a longer text is cut to the buffer.
void ConsoleAppLogic::CopyFailureText(const std::string& text) {
    const std::size_t length = std::min(text.size(), kMaxFailureLength);
    std::copy_n(text.data(), length, failureMessage_.begin());
    failureMessage_[length] = '\0';
}

void ConsoleAppLogic::ClearFailure() {
    std::lock_guard<std::mutex> lock(resultLock_);
    failureMessage_[0] = '\0';
}

void ConsoleAppLogic::StoreFailure(const std::string& text) {
    std::lock_guard<std::mutex> lock(resultLock_);
    CopyFailureText(text);
}

void ConsoleAppLogic::SetFailure(const std::string& text) {
    SetFailureUnlogged(text);
    LogMessage(text, LOG_NORMAL);
}

void ConsoleAppLogic::SetFailureUnlogged(const std::string& text) {
    std::lock_guard<std::mutex> lock(resultLock_);
    SetResultLength(0);
    CopyFailureText(text);
}

// Called with resultLock_ held. A failed answer leaves no result bytes.
bool ConsoleAppLogic::NativeAnswerIsData(const std::uint8_t* data, std::uint32_t length) {
    const AnswerFault fault = CheckAnswer(awaitedNative_, data, length);
    if (fault == AnswerFault::kNone) return true;
    const std::string text =
        fault == AnswerFault::kRefused
            ? std::string("Error!!! The dispatcher refused the Native Command!!!")
            : Format("Error!!! The answer holds %u bytes where the read asked for %u: no data!!!",
                     static_cast<unsigned>(length), static_cast<unsigned>(awaitedNative_.Length));
    SetResultLength(0);
    CopyFailureText(text);
    LogMessage(text, LOG_NORMAL);
    return false;
}

bool ConsoleAppLogic::HandleIncomingEvents(const std::uint8_t* data, std::uint32_t length, bool& isSubEvent,
                                           bool& accepted) {
    std::lock_guard<std::mutex> lock(resultLock_);
    accepted = responseExpected_.load();
    if (!accepted) {
        LogMessageAndHexDump("<ConsoleAppLogic>HandleIncomingEvents-Dumping Unexpected Event: ", data, length,
                             LOG_NORMAL);
        return false;
    }
    if (nativeResponse_.load()) {
        LogMessageAndHexDump("<ConsoleAppLogic>Handling Incoming Native Response Event: ", data, length, LOG_NORMAL);
        if (!NativeAnswerIsData(data, length)) return false;
        const std::uint32_t kept = std::min<std::uint32_t>(length, kMaxResultLength);
        std::copy_n(data, kept, resultBuffer_.begin());
        SetResultLength(kept);
        return true;
    }

    LogMessageAndHexDump("<ConsoleAppLogic>Handling Incoming Non Native Response Event: ", data, length, LOG_NORMAL);
    if (!evtAdapter_ || !evtAdapter_->AdaptEvent(data, length, isSubEvent)) {
        CopyFailureText("Error!!! Failed to adapt console event. ");
        LogMessage(failureMessage_.data(), LOG_NORMAL);
        eventFailed_ = true;
        return false;
    }
    // A broken sub-event (a capture's refused acceptance header, say) keeps
    // its failure: the data after it must not turn the command into a success.
    if (eventFailed_) {
        LogMessage("<ConsoleAppLogic>An earlier event of this command failed to adapt; the command fails.",
                   LOG_NORMAL);
        return false;
    }
    const std::uint32_t adaptedLength = evtAdapter_->GetResultLength();
    if (adaptedLength > kMaxResultLength) {
        LogMessage("<ConsoleAppLogic>Error! Result length is exceed the Results Buffer size limit!!!!", LOG_NORMAL);
        CopyFailureText(Format("Result length(%u) is exceed the Results Buffer size limit(%u)!!!!", adaptedLength,
                               kMaxResultLength));
        SetResultLength(0);
        return false;
    }
    std::copy_n(evtAdapter_->GetResultBuffer(), adaptedLength, resultBuffer_.begin());
    SetResultLength(adaptedLength);
    LogMessageAndHexDump("<ConsoleAppLogic>Result Buffer:", resultBuffer_.data(), adaptedLength, LOG_DETAIL);
    return true;
}

const char* ConsoleAppLogic::GetResultBufferText() {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    {
        std::lock_guard<std::mutex> lock(resultLock_);
        const std::uint32_t length = resultLength_.load();
        text.reserve(static_cast<std::size_t>(length) * 2);
        for (std::uint32_t i = 0; i < length; ++i) {
            text += kDigits[resultBuffer_[i] >> 4];
            text += kDigits[resultBuffer_[i] & 0x0F];
        }
    }
    if (text.size() + 1 < kMaxResultText) {
        resultText_ = std::move(text);
    } else {
        SetFailure("Results Exceed the MAX_RESULT_BUFFER_LIMIT");
        resultText_.clear();
    }
    return resultText_.c_str();
}

void ConsoleAppLogic::SetLogSeverity(int level) {
    SetLogSeverityLevel(level);
    if (trafficManager_) trafficManager_->SetChipLogSeverity(level);
}

void ConsoleAppLogic::SetInternalCommandTimeout(int timeoutMs) {
    if (!trafficManager_) {
        LogMessage("<ConsoleAppLogic>Error!!! Traffic Manager wasn't Initialized", LOG_ERROR);
        LogCrash("Error!!! Traffic Manager wasn't Initialized");
        return;
    }
    trafficManager_->SetInternalTimeout(timeoutMs);
}

int ConsoleAppLogic::SyncChipAccess() {
    if (trafficManager_) trafficManager_->SendSyncCommand();
    return 0;
}

// ---------------------------------------------------------------- firmware
namespace {
constexpr int kVersionCommandTimeoutMs = 1000;
constexpr std::uint32_t kUnreadVersionWord = 0xCDCDCDCD;
constexpr std::size_t kVersionLineBuffer = 100;

struct VersionField {
    const char* symbol;
    const char* line;
    bool macOnly;
};
// The order of the version record and of the report.
constexpr VersionField kVersionFields[] = {
    {"majorVersion", "Major Version:  %d\n", false},
    {"minorVersion", "Minor Version:  %d\n", false},
    {"versionBranch", "Branch Version: %d\n", false},
    {"buildNumber", "Build Number:   %d\n", false},
    {"systemRepoRevisionNumber", "System Repo Revision Number:        %d\n", false},
    {"componentRepoRevisionNumber", "Component Repo Revision Number:     %d\n", false},
    {"hostFwInterfaceRevision", "Host-FW Interface Revision Number:  %d\n", true},
    {"phyMacInterfaceRevision", "Phy-Mac Interface Revision Number:  %d\n", false},
    {"uartPhyInterfaceRevision", "Uart-Phy Interface Revision Number: %d\n", false},
};
constexpr std::size_t kMajor = 0, kMinor = 1, kBranch = 2, kPhyMacInterface = 7;

constexpr const char* kIncompatibleTop = "\n!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!\n";
constexpr const char* kIncompatibleBottom = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
}  // namespace

// A failed step leaves everything as it is (chunks written stay written, the
// link stays in the load set-up) and becomes the host's failure text.
bool ConsoleAppLogic::FailLoad(const char* text) {
    LogMessage(text, LOG_ERROR);  // once, at its own level
    SetFailureUnlogged(text);
    return false;
}

int ConsoleAppLogic::LoadFirmware(const std::string& path) {
    ClearFailure();
    if (!trafficManager_) {
        LogCrash("Error!!! Traffic Manager wasn't Initialized");
        FailLoad("<ConsoleAppLogic>Error!!! Traffic Manager wasn't Initialized");
        return 1;
    }
    TrafficManager& traffic = *trafficManager_;
    CFWLoader loader(path, &traffic);
    loader.SetProgress([this](const char* stage, std::uint64_t done, std::uint64_t total) {
        return ReportProgress(stage, done, total);
    });
    // The package is read and cut before the chip is touched: one that does
    // not build (a wrong path, a broken image) leaves the running firmware
    // and the link's set-up alone.
    constexpr const char* kUntouched = ": nothing was sent to the chip";
    if (!loader.BuildChunkDataBase()) {
        FailLoad("<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!");
        SayIfCancelled("firmware load", ProgressSoFar() + kUntouched);
        return 1;
    }
    // A stop asked since the build must not reach the chip as a load set-up.
    if (traffic.StopRequested()) {
        SayIfCancelled("firmware load", ProgressSoFar() + kUntouched);
        return 1;
    }
    traffic.SendSystemSetup(57600, 1);
    traffic.SetInternalOperation(true);
    std::string reached;
    const bool started = LoadFirmwareSteps(loader, traffic, reached);
    traffic.SetInternalOperation(false);
    if (reached.empty()) reached = ProgressSoFar() + ": the firmware was not started; what was written stays written";
    if (!started) SayIfCancelled("firmware load", reached);
    return started ? 0 : 1;
}

// MAC, PHY, ASIP, interrupt-vector data, run: each step only after all
// earlier ones succeeded. `reached` says how far the chip got once the run
// command went out, for a stop.
bool ConsoleAppLogic::LoadFirmwareSteps(CFWLoader& loader, TrafficManager& traffic, std::string& reached) {
    if (!loader.LoadChunks(0, MAC_MODULE, true)) return FailLoad("<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!");
    if (!loader.LoadChunks(0, PHY_MODULE, true)) return FailLoad("<ConsoleAppLogic>Error!!! Failed to Load PHY Firmware data!");
    if (!loader.PrepareAsipLoad() || !loader.LoadChunks(0, ASIP_MODULE, true)) {
        return FailLoad("<ConsoleAppLogic>Error!!! Failed to Load ASIPs Firmware data!");
    }
    if (!loader.LoadInterruptVectorData()) {
        return FailLoad("<ConsoleAppLogic>Error!!! Failed to Load MAC data that should be loaded to the BootRom's "
                        "Interrupt Vector #2 section!");
    }
    traffic.SetInternalOperation(false);
    if (!loader.RunFirmware()) {
        if (traffic.LastCommandWentOut()) {
            reached = " while it waited for the run command's answer: the firmware may be running, and the link "
                      "keeps the load set-up";
        }
        return FailLoad("<ConsoleAppLogic>Error!!! Failed to run the Firmware after code was loaded!");
    }
    if (!traffic.PauseUnlessStopped(firmwareStartPauseMs_.load())) {
        reached = " after the run command: the firmware was started, but the link keeps the load set-up";
        return false;
    }
    traffic.SendSystemSetup(115200, 0);
    return true;
}

// ---------------------------------------------------------------- verify and memory

namespace {
const char* ChunkKind(const ChunkDescriptor& chunk) {
    if (chunk.isInterruptVector != 0) return "MAC interrupt-vector";
    switch (chunk.moduleType) {
        case MAC_MODULE: return "MAC";
        case PHY_MODULE: return "PHY";
        default: return "ASIP";
    }
}
// A verify that finds many differing chunks lists the first ones.
constexpr std::size_t kListedChunks = 20;
constexpr std::uint64_t kAddressSpaceEnd = 0x100000000ULL;
}  // namespace

// Empty when the chip holds the chunk; else where it first differs. `read`
// is false when the chip's memory could not be read.
std::string ConsoleAppLogic::CompareChunk(const ChunkDescriptor& chunk, TrafficManager& traffic, bool& read) {
    std::vector<std::uint8_t> chip(chunk.length);
    read = traffic.ReadMemory(chunk.address, chip.size(), chip.data());
    if (!read) return std::string();
    std::size_t first = chip.size();
    std::size_t differing = 0;
    for (std::size_t i = 0; i < chip.size(); ++i) {
        if (chip[i] == chunk.data[i]) continue;
        first = std::min(first, i);
        ++differing;
    }
    if (differing == 0) return std::string();
    return Format("%s chunk at 0x%08x (%u bytes): byte %u at 0x%08x reads 0x%02x, the package has 0x%02x (%u of %u "
                  "bytes differ)",
                  ChunkKind(chunk), static_cast<unsigned>(chunk.address), static_cast<unsigned>(chunk.length),
                  static_cast<unsigned>(first), static_cast<unsigned>(chunk.address + first), chip[first],
                  chunk.data[first], static_cast<unsigned>(differing), static_cast<unsigned>(chunk.length));
}

int ConsoleAppLogic::VerifyFirmware(const std::string& path) {
    ClearFailure();
    if (RefuseAbsent(trafficManager_.get(), "Traffic Manager")) return 1;
    TrafficManager& traffic = *trafficManager_;
    CFWLoader loader(path, &traffic);
    loader.SetProgress([this](const char* stage, std::uint64_t done, std::uint64_t total) {
        return ReportProgress(stage, done, total);
    });
    if (!loader.BuildChunkDataBase()) {
        FailLoad("<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!");
        SayIfCancelled("firmware verify", ProgressSoFar() + ": nothing was read");
        return 1;
    }
    std::uint64_t total = 0;
    for (const ChunkDescriptor& chunk : loader.Chunks()) total += chunk.length;
    std::uint64_t done = 0;
    std::vector<std::string> differing;
    const ChunkDescriptor* unread = nullptr;
    traffic.SetInternalOperation(true);
    for (const ChunkDescriptor& chunk : loader.Chunks()) {
        bool read = false;
        std::string difference = CompareChunk(chunk, traffic, read);
        if (!read) {
            unread = &chunk;
            break;
        }
        if (!difference.empty()) differing.push_back(std::move(difference));
        done += chunk.length;
        if (!ReportProgress("verify", done, total)) break;
    }
    traffic.SetInternalOperation(false);
    const std::size_t chunks = loader.Chunks().size();
    if (cancelRequested_.load()) {
        SayIfCancelled("firmware verify", ProgressSoFar() + ": nothing was written");
        return 1;
    }
    if (unread != nullptr) {
        SetFailure(Format("Error!!! Failed to read the chip's memory for the %s chunk at 0x%08x: no verdict",
                          ChunkKind(*unread), static_cast<unsigned>(unread->address)));
        return 1;
    }
    if (differing.empty()) {
        const std::string summary = Format("the chip holds %s: %u chunks, %llu bytes compared", path.c_str(),
                                           static_cast<unsigned>(chunks), static_cast<unsigned long long>(total));
        LogMessage("<ConsoleAppLogic>" + summary, LOG_NORMAL);
        StoreTextResult(summary, true);
        return 0;
    }
    std::string text = Format("The chip's memory differs from %s in %u of %u chunks:", path.c_str(),
                              static_cast<unsigned>(differing.size()), static_cast<unsigned>(chunks));
    for (std::size_t i = 0; i < differing.size() && i < kListedChunks; ++i) text += "\n  " + differing[i];
    if (differing.size() > kListedChunks) {
        text += Format("\n  and %u more", static_cast<unsigned>(differing.size() - kListedChunks));
    }
    SetFailure(text);
    return 1;
}

bool ConsoleAppLogic::MemoryRangeRefused(std::uint32_t address, std::uint32_t length, const void* bytes,
                                         const char* what) {
    if (RefuseAbsent(trafficManager_.get(), "Traffic Manager")) return true;
    if (bytes == nullptr && length > 0) {
        SetFailure(Format("Error!!! No buffer given for the memory %s", what));
        return true;
    }
    if (static_cast<std::uint64_t>(address) + length > kAddressSpaceEnd) {
        SetFailure(Format("Error!!! The memory %s of %u bytes from 0x%08x runs past the end of the chip's address "
                          "space",
                          what, static_cast<unsigned>(length), static_cast<unsigned>(address)));
        return true;
    }
    return false;
}

int ConsoleAppLogic::ReadMemory(std::uint32_t address, std::uint32_t length, std::uint8_t* out) {
    ClearFailure();
    if (MemoryRangeRefused(address, length, out, "read")) return 1;
    TrafficManager& traffic = *trafficManager_;
    std::size_t confirmed = 0;
    traffic.SetInternalOperation(true);
    const bool read = traffic.ReadMemory(address, length, out, &confirmed,
                                         [&](std::size_t done) { return ReportProgress("memory read", done, length); });
    traffic.SetInternalOperation(false);
    if (read) return 0;
    SetFailure(Format("Failed to read chip memory at 0x%08x: %u of %u bytes read",
                      static_cast<unsigned>(address + confirmed), static_cast<unsigned>(confirmed),
                      static_cast<unsigned>(length)));
    SayIfCancelled("memory read", Format(" after %u of %u bytes", static_cast<unsigned>(confirmed),
                                         static_cast<unsigned>(length)));
    return 1;
}

int ConsoleAppLogic::WriteMemory(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    ClearFailure();
    if (MemoryRangeRefused(address, length, bytes, "write")) return 1;
    TrafficManager& traffic = *trafficManager_;
    std::size_t confirmed = 0;
    traffic.SetInternalOperation(true);
    const bool written = traffic.WriteMemory(
        address, bytes, length, &confirmed, [&](std::size_t done) { return ReportProgress("memory write", done, length); });
    traffic.SetInternalOperation(false);
    if (written) return 0;
    SetFailure(Format("Failed to write chip memory at 0x%08x: %u of %u bytes written",
                      static_cast<unsigned>(address + confirmed), static_cast<unsigned>(confirmed),
                      static_cast<unsigned>(length)));
    SayIfCancelled("memory write", Format(" after %u of %u bytes: what was written stays written",
                                          static_cast<unsigned>(confirmed), static_cast<unsigned>(length)));
    return 1;
}

// The word a memory-read command left in the result, big-endian; a command
// that failed or brought fewer than 4 bytes reads as 0xCDCDCDCD.
std::uint32_t ConsoleAppLogic::ReadVersionWord(const std::string& command) {
    if (HandleCommand(command) != 0 || ResultLength() < 4) return kUnreadVersionWord;
    return GetBe32(reinterpret_cast<const std::uint8_t*>(ResultBuffer()));
}

std::string ConsoleAppLogic::VersionPart(bool mac, VersionValues& values) {
    const std::string base = std::string("MEM_READ ") + (mac ? "MAC_FILE_TYPE " : "PHY_FILE_TYPE ");
    std::string text = "\n*********************************\n";
    text += mac ? "Mac Version:\n" : "Phy Version:\n";
    text += "*********************************\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        const VersionField& field = kVersionFields[i];
        if (!mac && field.macOnly) continue;
        values[i] = static_cast<std::int32_t>(ReadVersionWord(base + field.symbol + " 4"));
        text += Truncated(Format(field.line, values[i]), kVersionLineBuffer - 1);
    }
    return text;
}

const char* ConsoleAppLogic::BuildVersionReport() {
    SetCommandTimeout(kVersionCommandTimeoutMs);  // stays so afterwards
    VersionValues macVersion{};
    VersionValues phyVersion{};
    std::string text = VersionPart(true, macVersion);
    text += VersionPart(false, phyVersion);
    if (macVersion[kMajor] != phyVersion[kMajor] || macVersion[kMinor] != phyVersion[kMinor] ||
        macVersion[kBranch] != phyVersion[kBranch]) {
        text += kIncompatibleTop;
        text += "!! PHY and Mac are from different release branch !!\n";
        text += kIncompatibleBottom;
    }
    if (macVersion[kPhyMacInterface] != phyVersion[kPhyMacInterface]) {
        text += kIncompatibleTop;
        text += "!! PHY and Mac use different Phy-Mac IF Release  !!\n";
        text += kIncompatibleBottom;
    }
    LogMessage(text, LOG_NORMAL);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);

    StoreTextResult(text, false);  // the length stays what the last version command left
    return ResultBuffer();
}

// ---------------------------------------------------------------- EEPROM

EepromInterface* ConsoleAppLogic::EepromForHost() {
    ClearFailure();
    if (RefuseAbsent(eepromInterface_.get(), "EEprom Interface")) return nullptr;
    eepromInterface_->SetProgressSink([this](const char* stage, std::uint64_t done, std::uint64_t total) {
        return ReportProgress(stage, done, total);
    });
    return eepromInterface_.get();
}

// Called with resultLock_ held. A NUL follows the bytes, so that a host that
// reads the buffer as text never sees the tail of an earlier result.
void ConsoleAppLogic::SetResultLength(std::uint32_t length) {
    if (length < resultBuffer_.size()) resultBuffer_[length] = 0;
    resultLength_.store(length);
}

void ConsoleAppLogic::StoreTextResult(const std::string& text, bool countLength) {
    std::lock_guard<std::mutex> lock(resultLock_);
    // At most 65535 bytes with the NUL: a text that brings its own NUL (a
    // listing) may fill all of them.
    const bool endsWithNul = !text.empty() && text.back() == '\0';
    const std::size_t kept = std::min<std::size_t>(text.size(), endsWithNul ? kMaxResultLength : kMaxResultLength - 1);
    std::copy_n(text.begin(), kept, resultBuffer_.begin());
    resultBuffer_[kept] = 0;
    if (countLength) resultLength_.store(static_cast<std::uint32_t>(kept));
}

int ConsoleAppLogic::InitEepromInterface(int mode, const std::string& path) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 1;
    if (eeprom->InitEepromInterface(mode, path) == 0) return 0;
    SetFailure(Format("Failed to Init EEprom Interface (mode %d) %s", mode, path.c_str()));
    SayIfCancelled("EEprom read", ProgressSoFar() + ": the image holds the chip's bytes up to there, its earlier "
                                                    "bytes from there on");
    return 1;
}

int ConsoleAppLogic::UpdateEepromField(const std::string& name, const std::string& value) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 1;
    std::string reason;
    if (eeprom->UpdateField(name, value, &reason) == 0) return 0;
    SetFailure("Failed to Update EEprom field " + name + ": " + reason);
    return 1;
}

int ConsoleAppLogic::BurnEeprom(bool partial) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 0;  // 1 would read as written
    const auto& table = eeprom->FieldTable();
    const bool anyMarked = std::any_of(table.begin(), table.end(),
                                       [](const EEpromFieldDefinition_t& record) { return record.isUpdated != 0; });
    if (eeprom->Burn(partial) == 1) return 1;
    SetFailure(partial && !anyMarked ? "EEprom wasn't burnt: no field was updated since the last partial burn"
                                     : "Failed to Burn EEprom!!!");
    SayIfCancelled("EEprom burn", ": " + eeprom->BurnSummary());
    return 0;
}

int ConsoleAppLogic::DumpEepromTable(const std::string& path) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 1;
    if (eeprom->CreateBinaryFile(path) == 0) return 0;
    SetFailure("Failed to Dump EEprom Table to File: " + path);
    return 1;
}

int ConsoleAppLogic::ReadEntireEeprom(const std::string& path) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 1;
    std::string listing;
    if (eeprom->WriteListing(listing, path) != 0) {
        SetFailure("Failed to Read EEprom!!!");
        SayIfCancelled("EEprom read", ProgressSoFar() + ": no listing was written");
        return 1;
    }
    if (listing.size() >= kResultBufferSize) {
        SetFailure("Failed to Read EEprom!!,Data length exceed the buffer size");
        return 1;
    }
    LogMessage(listing.c_str(), LOG_NORMAL);
    StoreTextResult(listing, true);  // the listing ends with its NUL, counted
    return 0;
}

int ConsoleAppLogic::ReadEepromField(const std::string& name, bool fromChip) {
    EepromInterface* eeprom = EepromForHost();
    if (eeprom == nullptr) return 1;
    std::string value;
    const auto source = fromChip ? EepromInterface::Source::Chip : EepromInterface::Source::Image;
    if (eeprom->ReadFieldByName(name, value, source) != 0) {
        SetFailure("Failed to Read EEprom!!!");
        return 1;
    }
    StoreTextResult(value, false);
    LogMessage("Eeprom Value:", LOG_NORMAL);
    LogMessage(value, LOG_NORMAL);
    return 0;
}

int ConsoleAppLogic::ReadFieldFromEeprom(const std::string& name) { return ReadEepromField(name, true); }

int ConsoleAppLogic::ReadFieldFromVolatile(const std::string& name) { return ReadEepromField(name, false); }
