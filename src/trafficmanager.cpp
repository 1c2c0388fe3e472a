#include "trafficmanager.h"

#include <algorithm>
#include <cctype>

#include "consolelogger.h"
#include "consolenativeadapter.h"

TrafficManager::TrafficManager(TrafficOwner* owner, std::uint16_t targetPort, const std::string& targetAddress,
                               std::uint16_t listenPort)
    : owner_(owner),
      packetHandler_(std::make_unique<PacketHandler>(this, targetPort, targetAddress, listenPort)) {}

TrafficManager::~TrafficManager() {
    // The event thread must be gone before anything it calls into.
    packetHandler_.reset();
}

// ---------------------------------------------------------------- sending

// The packet number is taken before any wait is armed: an answer to an
// earlier command that arrives meanwhile is then either handled before the
// number changes (and its signal cleared by the arming) or dumped as not
// answering the last command.
bool TrafficManager::SendNativeAndWait(const NativeCommand_t& command, bool external) {
    LogLine("<TrafficManager>Sending Native Command!!!", LOG_DETAIL);
    lastCommandWentOut_.store(false);
    const std::uint8_t number = packetHandler_->TakePacketNumber();
    const bool internal = internalOperation_.load();
    if (internal) responseEvent_.Reset();
    // Looked at after the reset: a stop that comes later sets the event
    // again, so the wait below cannot miss it.
    if (StoppedBeforeSending()) return false;
    if (external) OpenExternalWait();
    // This thread reads the answer from before it leaves: should the answer
    // come before the wait begins, it wakes nobody.
    if (internal) packetHandler_->ClaimHostReading();
    if (packetHandler_->SendNumbered(command, number) < 0) {
        // Nothing went out: no answer can come, so none is awaited.
        if (internal) packetHandler_->ReleaseHostReading();
        LogLine("<TrafficManager>Error!!! The Native Command could not be sent!!!", LOG_ERROR);
        return false;
    }
    lastCommandWentOut_.store(true);
    if (!internal) return true;

    LogLine("<TrafficManager>In the middle of Internal Operation", LOG_DETAIL);
    const bool answered = packetHandler_->WaitForAnswer(responseEvent_, internalTimeout_.load());
    if (StoppedWhileWaiting()) return false;
    if (!answered) {
        LogLine("<TrafficManager>Timeout Occur - No Response for Native Command (Internal Operation)!!!",
                   LOG_NORMAL);
        commandState_.store(kCommandStateTimedOut);
        internalOperation_.store(false);
        return false;
    }
    LogLine("<TrafficManager>Response for Native Command arrived(Internal Operation)!!!", LOG_NORMAL);
    return AnswerIsData(command);
}

bool TrafficManager::StoppedBeforeSending() {
    if (!stopRequested_.load()) return false;
    LogLine("<TrafficManager>The operation was stopped by the host: the Native Command was not sent", LOG_NORMAL);
    return true;
}

// A stop ends the wait whether or not the answer came meanwhile: the step
// counts as not confirmed. An event step that took the answer before the
// stop ends first; later answers are dumped (HandleEvent).
bool TrafficManager::StoppedWhileWaiting() {
    if (!stopRequested_.load()) return false;
    packetHandler_->AwaitEventStep();
    LogLine("<TrafficManager>The operation was stopped by the host while it waited for an answer (Internal "
            "Operation)",
            LOG_NORMAL);
    internalOperation_.store(false);
    return true;
}

void TrafficManager::RequestStop() {
    stopRequested_.store(true);
    stopSignal_.Set();
    responseEvent_.Set();  // an internal wait ends at once
}

void TrafficManager::ClearStop() {
    stopRequested_.store(false);
    stopSignal_.Reset();
}

bool TrafficManager::PauseUnlessStopped(int pauseMs) {
    if (pauseMs > 0) stopSignal_.Wait(pauseMs);
    return !stopRequested_.load();
}

// An answer is taken for what its command asked only when it can be (see
// CheckAnswer); the event's length says how many bytes came.
bool TrafficManager::AnswerIsData(const NativeCommand_t& command) {
    std::size_t length = 0;
    AnswerFault fault = AnswerFault::kNone;
    {
        std::lock_guard<std::mutex> guard(responseLock_);
        length = responseLength_;
        fault = CheckAnswer(command, responseBuffer_.data(), length);
    }
    if (fault == AnswerFault::kShort) {
        LogMessage(Format("<TrafficManager>Error!!! The answer holds %u bytes where the read asked for %u: no data "
                          "(Internal Operation)!!!",
                          static_cast<unsigned>(length), static_cast<unsigned>(command.Length)),
                   LOG_ERROR);
        return false;
    }
    if (fault == AnswerFault::kRefused) {
        LogLine("<TrafficManager>Error!!! The dispatcher refused the Native Command (Internal Operation)!!!",
                LOG_ERROR);
        return false;
    }
    return true;
}

bool TrafficManager::SendNativeCommand(const NativeCommand_t& command) { return SendNativeAndWait(command, true); }

void TrafficManager::OpenExternalWait() {
    if (owner_ != nullptr) owner_->ArmResponseWait();
    externalWait_.store(true);
}

// ---------------------------------------------------------------- events

void TrafficManager::HandleEvent(const std::uint8_t* data, std::uint32_t length) {
    const std::size_t kept = std::min<std::size_t>(length, kEventDataSize);
    if (stopRequested_.load()) {
        LogLine("<TrafficManager>The operation was stopped by the host: the event is dumped", LOG_NORMAL);
    } else if (internalOperation_.load()) {
        LogLine("<TrafficManager>HandleEvent : Event caused by Internal Operation", LOG_DETAIL);
        {
            std::lock_guard<std::mutex> guard(responseLock_);
            // Cleared first: a short answer must not read as the longer one before it.
            responseBuffer_.fill(0);
            std::copy_n(data, kept, responseBuffer_.begin());
            responseLength_ = kept;
        }
        if (counterWriteWaiting_.load()) {
            internalOperation_.store(false);
            // This event step holds the counter write's number: the chip's
            // answers that follow carry it.
            if (requestedExternalWait_.load()) OpenExternalWait();
            else externalWait_.store(false);
        }
        responseEvent_.Set();
    } else if (externalWait_.load()) {
        HandleExternalEvent(data, static_cast<std::uint32_t>(kept));
    } else {
        LogLine("<TrafficManager>The event was dump we don't wait for event!", LOG_NORMAL);
    }
}

void TrafficManager::HandleExternalEvent(const std::uint8_t* data, std::uint32_t length) {
    LogLine("<TrafficManager>HandleEvent : Event caused by External Operation", LOG_DETAIL);
    if (owner_ == nullptr) return;
    bool isSubEvent = false;
    bool accepted = true;
    const bool handled = owner_->HandleIncomingEvents(data, length, isSubEvent, accepted);
    if (!accepted) return;
    if (isSubEvent) {
        LogLine("<TrafficManager>The event that arrived is a subEvent!", LOG_DETAIL);
        return;
    }
    LogLine(handled ? "<TrafficManager>HandleEvent After Handling Event STATUS_OK"
                    : "<TrafficManager>HandleEvent After Handling Event STATUS_FAILED",
            LOG_DETAIL);
    owner_->SetResultInvalid(handled ? 0 : 1);
    externalWait_.store(false);
    owner_->SignalEventReceived();
}

TrafficManager::ResponseBuffer TrafficManager::GetResponseBuffer() const {
    std::lock_guard<std::mutex> guard(responseLock_);
    return responseBuffer_;
}

std::size_t TrafficManager::GetResponseLength() const {
    std::lock_guard<std::mutex> guard(responseLock_);
    return responseLength_;
}

// ---------------------------------------------------------------- the mailbox

void TrafficManager::EnterState(int state, const char* logText) {
    commandState_.store(state);
    LogLine(logText, LOG_DETAIL);
}

bool TrafficManager::HandleNonNativeCommand(const std::uint8_t* bytes, std::size_t length, bool waitForEvents) {
    internalOperation_.store(true);
    requestedExternalWait_.store(waitForEvents);
    LogLine("<TrafficManager>Start Internal Operation Section - Handling Non Native Command!", LOG_DETAIL);
    if (!DeliverThroughMailbox(bytes, length)) {
        // Left set, the flag would make the next host command wait as an
        // internal operation and swallow its response.
        internalOperation_.store(false);
        return false;
    }
    EnterState(CMD_STATE_IDLE, "<TrafficManager>CommandState = CMD_STATE_IDLE");
    LogLine("<TrafficManager>End Internal Operation Section - Handling Non Native Command!", LOG_DETAIL);
    return true;
}

bool TrafficManager::DeliverThroughMailbox(const std::uint8_t* bytes, std::size_t length) {
    lastDelivery_.store(Delivery::kNothingWritten);
    EnterState(CMD_STATE_READ_COUNTER, "<TrafficManager>CommandState = CMD_STATE_READ_COUNTER");
    if (!ReadCounterUntilFree()) return false;

    EnterState(CMD_STATE_WRITE_COMMAND, "<TrafficManager>CommandState = CMD_STATE_WRITE_COMMAND");
    LogLine("<TrafficManager>Sending Console Command!", LOG_DETAIL);
    if (StoppedBeforeSending()) return false;
    lastDelivery_.store(Delivery::kBufferWritten);
    if (!WriteBuffer(commandBufferAddress_.load(), bytes, length)) return false;

    EnterState(CMD_STATE_INC_COUNTER, "<TrafficManager>CommandState = CMD_STATE_INC_COUNTER");
    LogLine("<TrafficManager>Increment Mac Command Counter", LOG_DETAIL);
    if (StoppedBeforeSending()) return false;
    counterWriteWaiting_.store(true);
    lastDelivery_.store(Delivery::kCounterWriteSent);
    const bool written = WriteWord(counterWriteAddress_.load(), 1);
    counterWriteWaiting_.store(false);
    if (written) lastDelivery_.store(Delivery::kAcknowledged);
    return written;
}

bool TrafficManager::ReadCounterUntilFree() {
    for (int read = 1; read <= kMaxCounterReads; ++read) {
        LogLine("<TrafficManager>Reading MAC_COMMAND_COUNTER value", LOG_DETAIL);
        if (read == 1 && !PauseUnlessStopped(counterReadPauseMs_.load())) return false;
        if (!ReadWord(counterReadAddress_.load())) return false;
        if (ParseCounterText(GetResponseBuffer()) != 1) {
            LogLine("<TrafficManager>We can send the Command because MAC_COMMAND_COUNTER==0", LOG_DETAIL);
            return true;
        }
    }
    LogLine("<TrafficManager>Error , Couldn't Send Command because MAC_COMMAND_COUNTER != 0", LOG_DETAIL);
    return false;
}

std::uint32_t TrafficManager::ParseCounterText(const ResponseBuffer& response) {
    const auto isHexDigit = [&response](std::size_t i) {
        return i < response.size() && std::isxdigit(response[i]) != 0;
    };
    std::size_t i = 2;
    while (i < response.size() && std::isspace(response[i]) != 0) ++i;
    if (i + 2 < response.size() && response[i] == '0' && (response[i + 1] == 'x' || response[i + 1] == 'X') &&
        isHexDigit(i + 2)) {
        i += 2;
    }
    std::uint32_t value = 0;
    for (; isHexDigit(i); ++i) {
        const int c = std::tolower(response[i]);
        value = (value << 4) | static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

// ---------------------------------------------------------------- single commands

bool TrafficManager::ReadWord(std::uint32_t address) {
    NativeCommand_t command;
    return ConsoleNativeAdapter::GetInstance().BuildReadWordCmd(address, command) && SendNativeAndWait(command);
}

bool TrafficManager::WriteWord(std::uint32_t address, std::uint32_t value) {
    NativeCommand_t command;
    return ConsoleNativeAdapter::GetInstance().BuildWriteWordCmd(address, value, command) &&
           SendNativeAndWait(command);
}

bool TrafficManager::ReadBuffer(std::uint32_t address, std::uint16_t length) {
    NativeCommand_t command;
    return ConsoleNativeAdapter::GetInstance().BuildReadBufferCmd(address, length, command) &&
           SendNativeAndWait(command);
}

bool TrafficManager::CommandPipe(std::uint16_t cmdType, std::uint32_t parameter) {
    NativeCommand_t command;
    return ConsoleNativeAdapter::GetInstance().BuildCommandPipeCmd(cmdType, parameter, command) &&
           SendNativeAndWait(command);
}

// ---------------------------------------------------------------- chunked transfers

// step(chunkAddress, offset, chunkLength) for each 16-byte chunk; stops at
// the first that fails.
template <typename ChunkStep>
bool TrafficManager::ForEachChunk(std::uint32_t address, std::size_t length, ChunkStep step,
                                  std::size_t* confirmed, std::size_t chunkSize) {
    if (confirmed != nullptr) *confirmed = 0;
    for (std::size_t offset = 0; offset < length; offset += chunkSize) {
        const auto chunkLength = static_cast<std::uint16_t>(std::min(chunkSize, length - offset));
        const auto chunkAddress = static_cast<std::uint32_t>(address + offset);
        if (!step(chunkAddress, offset, chunkLength)) return false;
        if (confirmed != nullptr) *confirmed = offset + chunkLength;
    }
    return true;
}

bool TrafficManager::WriteBuffer(std::uint32_t address, const std::uint8_t* bytes, std::size_t length) {
    if (length > 0 && bytes == nullptr) return false;
    return ForEachChunk(address, length, [&](std::uint32_t chunkAddress, std::size_t offset, std::uint16_t chunk) {
        LogLine("<TrafficManager>Sending Chunck of Data from the Console Command", LOG_DETAIL);
        NativeCommand_t command;
        return ConsoleNativeAdapter::GetInstance().BuildWriteBufferCmd(chunkAddress, chunk, bytes + offset,
                                                                       command) &&
               SendNativeAndWait(command);
    });
}

bool TrafficManager::WriteEeprom(std::uint32_t address, std::size_t length, const std::uint8_t* bytes,
                                 std::size_t* confirmed) {
    if (confirmed != nullptr) *confirmed = 0;
    if (length > 0 && bytes == nullptr) return false;
    const auto writeChunk = [&](std::uint32_t chunkAddress, std::size_t offset, std::uint16_t chunk) {
        if (LogEnabled(LOG_NORMAL)) {
            LogMessages({"********************************************************",
                         Format("<TrafficManager>Write to Eeprom's address= 0x%x,length = %d , Data:",
                                static_cast<unsigned>(chunkAddress), static_cast<int>(chunk)),
                         ConsoleLogger::HexDumpText(bytes + offset, chunk)},
                        LOG_NORMAL);
        }
        NativeCommand_t command;
        return ConsoleNativeAdapter::GetInstance().BuildWriteEepromCmd(chunkAddress, chunk, bytes + offset,
                                                                       command) &&
               SendNativeAndWait(command);
    };
    return ForEachChunk(address, length, writeChunk, confirmed);
}

// A read sent and waited for; its answer's first `length` bytes go to `out`.
bool TrafficManager::ReadInto(const NativeCommand_t& command, std::uint8_t* out, std::size_t length) {
    if (!SendNativeAndWait(command)) return false;
    const ResponseBuffer response = GetResponseBuffer();
    std::copy_n(response.begin(), length, out);
    return true;
}

bool TrafficManager::ReadEeprom(std::uint32_t address, std::size_t length, std::uint8_t* out) {
    if (length > 0 && out == nullptr) return false;
    return ForEachChunk(address, length, [&](std::uint32_t chunkAddress, std::size_t offset, std::uint16_t chunk) {
        LogLine("<TrafficManager>Reading Chunck of Data from the Eeprom", LOG_DETAIL);
        NativeCommand_t command;
        return ConsoleNativeAdapter::GetInstance().BuildReadEepromCmd(chunkAddress, chunk, command) &&
               ReadInto(command, out + offset, chunk);
    });
}

bool TrafficManager::ReadMemory(std::uint32_t address, std::size_t length, std::uint8_t* out,
                                std::size_t* confirmed, const PieceDone& piece) {
    if (confirmed != nullptr) *confirmed = 0;
    if ((length > 0 && out == nullptr) || static_cast<std::uint64_t>(address) + length > 0x100000000ULL) return false;
    const auto readPiece = [&](std::uint32_t pieceAddress, std::size_t offset, std::uint16_t pieceLength) {
        NativeCommand_t command;
        return ConsoleNativeAdapter::GetInstance().BuildReadBufferCmd(pieceAddress, pieceLength, command) &&
               ReadInto(command, out + offset, pieceLength) && (!piece || piece(offset + pieceLength));
    };
    return ForEachChunk(address, length, readPiece, confirmed, kBulkPiece);
}

bool TrafficManager::WriteMemory(std::uint32_t address, const std::uint8_t* bytes, std::size_t length,
                                 std::size_t* confirmed, const PieceDone& piece) {
    if (confirmed != nullptr) *confirmed = 0;
    if ((length > 0 && bytes == nullptr) || static_cast<std::uint64_t>(address) + length > 0x100000000ULL) {
        return false;
    }
    const auto writePiece = [&](std::uint32_t pieceAddress, std::size_t offset, std::uint16_t pieceLength) {
        NativeCommand_t command;
        return ConsoleNativeAdapter::GetInstance().BuildWriteBufferCmd(pieceAddress, pieceLength, bytes + offset,
                                                                       command) &&
               SendNativeAndWait(command) && (!piece || piece(offset + pieceLength));
    };
    return ForEachChunk(address, length, writePiece, confirmed, kBulkPiece);
}

// ---------------------------------------------------------------- system commands

bool TrafficManager::SendSystemCommand(std::uint16_t code, std::uint32_t value) {
    LogLine("<TrafficManager>Building System Command Struct", LOG_NORMAL);
    NativeCommand_t command;
    command.Type = NATIVE_SYSTEM_COMMAND;
    command.Address = value;
    command.AdditionalParam = code;
    packetHandler_->SendNativeCommand(command);
    return true;
}

bool TrafficManager::SendSystemSetup(std::uint32_t firstValue, std::uint32_t secondValue) {
    SendSystemCommand(SYSTEM_SETUP_SECOND, secondValue);
    SendSystemCommand(SYSTEM_SETUP_FIRST, firstValue);
    internalOperation_.store(true);
    ReadWord(kSetupReadAddress);
    internalOperation_.store(false);
    return true;
}

bool TrafficManager::SetChipLogSeverity(int severity) {
    return SendSystemCommand(SYSTEM_LOG_SEVERITY, static_cast<std::uint32_t>(severity));
}

bool TrafficManager::SendSyncCommand() {
    SendSystemCommand(SYSTEM_SYNC, 0);
    PauseUnlessStopped(kSyncPauseMs);
    return true;
}

bool TrafficManager::SendCloseCommand() { return SendSystemCommand(SYSTEM_CLOSE, 0); }
