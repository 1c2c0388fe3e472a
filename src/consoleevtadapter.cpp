#include "consoleevtadapter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "consolelogger.h"
#include "errors.h"
#include "packets.h"
#include "strformat.h"
#include "structaccess.h"

namespace {
const char* const kGeneralEvent = "PHYC_GENERAL_EVT";
const char* const kMacGeneralEvent = "UMAC_GENERAL_EVT";
const char* const kCaptureDataEvent = "PHYC_CAPTURE_DATA_EVT";
const char* const kStatusOk = "PHYC_STATUS_OK";

constexpr std::uint8_t kSourceCapture = 1;
constexpr std::uint8_t kSourceConsole = 4;
// Event lengths count the 8 header bytes from the event type on.
constexpr int kCountedHeaderBytes = 8;

void LogHeader(const std::uint8_t* data) { LogHexDump(data, kEventHeaderSize, LOG_NORMAL); }
}  // namespace

ConsoleEvtAdapter::ConsoleEvtAdapter(StructAccess* structAccess) : structAccess_(structAccess) {
    if (structAccess_ == nullptr) {
        PhyConsoleNs::SystemException report(
            "<ConsoleEvtAdapter>Failed to create Console Evt Adapter object,StructAccess =NULL ",
            "consoleevtadapter", __LINE__);
    }
}

void ConsoleEvtAdapter::SetCaptureDataFlag(bool set) { captureDataFlag_.store(set); }

const std::uint8_t* ConsoleEvtAdapter::GetResultBuffer() const { return resultBuffer_.data(); }

std::uint32_t ConsoleEvtAdapter::GetResultLength() const { return resultLength_; }

void ConsoleEvtAdapter::SetResult(const std::uint8_t* bytes, std::size_t count) {
    count = std::min(count, resultBuffer_.size());
    std::copy(bytes, bytes + count, resultBuffer_.begin());
    resultLength_ = static_cast<std::uint32_t>(count);
}

bool ConsoleEvtAdapter::AdaptEvent(const std::uint8_t* data, std::size_t length,
                                   bool& isSubEvent) {
    resultLength_ = 0;
    isSubEvent = false;
    if (structAccess_ == nullptr) {
        LogMessage("<ConsoleEvtAdapter>No struct database to name events with. Discarding Event.",
                   LOG_NORMAL);
        return false;
    }
    if (data == nullptr || length < kEventHeaderSize) {
        LogMessage(Format("<ConsoleEvtAdapter>Event of %d bytes is shorter than its %d-byte "
                          "header. Discarding Event.",
                          static_cast<int>(length), static_cast<int>(kEventHeaderSize)),
                   LOG_NORMAL);
        return false;
    }
    const int type = data[EventHeader::kType];
    std::string eventName;
    if (!structAccess_->getEventName(static_cast<std::uint16_t>(type), eventName)) {
        LogMessage(Format("No event found by type %i", type), LOG_NORMAL);
        return false;
    }
    std::string text;
    const bool headerOk = CheckHeader(data, eventName, text);
    isSubEvent = (data[EventHeader::kSubEvent] == 1);
    if (!headerOk) return false;

    if (eventName == kGeneralEvent) return AdaptGeneralEvent(data, isSubEvent, text);
    if (eventName == kMacGeneralEvent) {
        return CopyPayload(data, length, data[EventHeader::kEventLength]);
    }
    if (eventName == kCaptureDataEvent) return AdaptCaptureEvent(data, length, isSubEvent, text);
    return CopyPayload(data, length, data[EventHeader::kEventLength] - kCountedHeaderBytes);
}

bool ConsoleEvtAdapter::CheckHeader(const std::uint8_t* data, const std::string& eventName,
                                    std::string& text) {
    // The ctrl word is taken into host order in the header itself, so the
    // header dump shows it converted.
    std::array<std::uint8_t, kEventHeaderSize> header{};
    std::copy_n(data, kEventHeaderSize, header.begin());
    const std::uint16_t ctrl = GetBe16(data + EventHeader::kCtrl);
    std::memcpy(header.data() + EventHeader::kCtrl, &ctrl, sizeof ctrl);
    if (ctrl != EventHeader::kValidCtrl) {
        text += "Invalid event ctrl - " + std::to_string(ctrl) +
                " Discarding Event. Dumping header data\n";
        LogMessage(text, LOG_NORMAL);
        LogHeader(header.data());
        return false;
    }
    const std::uint8_t source = data[EventHeader::kSource];
    if (source == kSourceCapture) {
        if (eventName == kCaptureDataEvent) return true;
        text += "Invalid event source - " + std::to_string(source) +
                " for PHY CAPTURE DATA EVT. Discarding Event. Dumping header data \n";
        LogMessage(text, LOG_NORMAL);
        return false;
    }
    if (source == kSourceConsole) return true;
    text += "Invalid event source - " + std::to_string(source) +
            " Discarding Event. Dumping header data\n";
    LogMessage(text, LOG_NORMAL);
    LogHeader(header.data());
    return false;
}

bool ConsoleEvtAdapter::AdaptGeneralEvent(const std::uint8_t* data, bool& isSubEvent,
                                          std::string& text) {
    const int status = data[EventHeader::kStatus];
    std::string statusName;
    bool ok = false;
    if (structAccess_->getGeneralEventName(static_cast<std::uint16_t>(status), statusName)) {
        text += statusName + " ";
        ok = (statusName == kStatusOk);
        if (!ok) LogMessage("<ConsoleEvtAdapter>The chip answered the command with " + statusName, LOG_NORMAL);
    } else {
        const std::string unknown = Format("No event found by type %i", status);
        text += "Unknown error code " + unknown;
        LogMessage(unknown, LOG_NORMAL);
    }
    SetResult(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // Capture data follows only a capture command that the chip accepted; a
    // refused one ends the command now with its status.
    if (captureDataFlag_.load() && ok) {
        fragmentBuffer_.Reset();
        isSubEvent = true;
    }
    return ok;
}

bool ConsoleEvtAdapter::AdaptCaptureEvent(const std::uint8_t* data, std::size_t length,
                                          bool& isSubEvent, std::string& text) {
    LogMessage("Capture Data Event Rcvd\n", LOG_NORMAL);
    isSubEvent = true;
    std::string errorText;
    if (!fragmentBuffer_.AddFragment(data, length, errorText)) {
        const char* const failure = "No fragment buffer - ERROR.";
        text += failure;
        LogMessage(failure, LOG_NORMAL);
        if (!errorText.empty()) LogMessage(errorText, LOG_DETAIL);
        return false;
    }
    LogMessage(Format("Capture Event packet %d arrived",
                      static_cast<int>(data[EventHeader::kFragmentNum])),
               LOG_NORMAL);
    if (fragmentBuffer_.IsComplete()) {
        LogMessage("All captured data arrived OK.", LOG_NORMAL);
        isSubEvent = false;
        SetResult(fragmentBuffer_.GetData(), fragmentBuffer_.GetLength());
        fragmentBuffer_.Reset();
    }
    return true;
}

bool ConsoleEvtAdapter::CopyPayload(const std::uint8_t* data, std::size_t length,
                                    int payloadLength) {
    const int eventLength = data[EventHeader::kEventLength];
    if (payloadLength < 0) {
        LogMessage(Format("<ConsoleEvtAdapter>Event length %d is below the %d header bytes it "
                          "counts. Discarding Event.",
                          eventLength, kCountedHeaderBytes),
                   LOG_NORMAL);
        return false;
    }
    const std::size_t end = kEventHeaderSize + static_cast<std::size_t>(payloadLength);
    if (end > length) {
        LogMessage(Format("<ConsoleEvtAdapter>Event length %d runs past the %d bytes received. "
                          "Discarding Event.",
                          eventLength, static_cast<int>(length)),
                   LOG_NORMAL);
        return false;
    }
    SetResult(data + kEventHeaderSize, static_cast<std::size_t>(payloadLength));
    return true;
}
