#include "fragmentbuffer.h"

#include <algorithm>

#include "consolelogger.h"
#include "packets.h"
#include "strformat.h"

namespace PhyConsoleNs {

namespace {
// The event length byte counts the 8 header bytes from the event type on.
constexpr int kCountedHeaderBytes = 8;
constexpr std::size_t kInfoTotalLength = EventHeader::kPayload;
constexpr std::size_t kInfoAddress = EventHeader::kPayload + 4;
}  // namespace

void FragmentBuffer::Reset() {
    receivedLength_ = 0;
    totalLength_ = 0;
    expectedFragment_ = 0;
    complete_ = false;
}

bool FragmentBuffer::Refuse(const std::string& text, std::string& errorText) {
    errorText = text;
    LogMessage("<FragmentBuffer>" + text, LOG_NORMAL);
    Reset();
    return false;
}

bool FragmentBuffer::AddFragment(const std::uint8_t* data, std::size_t length,
                                 std::string& errorText) {
    errorText.clear();
    if (complete_) {
        errorText = "Fragment arrived after the capture was complete";
        return false;
    }
    if (data == nullptr || length < kEventHeaderSize) {
        return Refuse(Format("Fragment of %d bytes is shorter than its header",
                             static_cast<int>(length)),
                      errorText);
    }
    // The fragment number is one byte: long captures wrap it, so only the
    // low byte of the expected number is compared.
    const int arrived = data[EventHeader::kFragmentNum];
    const int expected = expectedFragment_ & 0xFF;
    if (arrived != expected) {
        errorText = Format("Invalid fragment. expecting %d, arrived %d", expected, arrived);
        LogMessage("Invalid fragment", LOG_DETAIL);
        Reset();
        return false;
    }
    const bool isFirst = (expectedFragment_ == 0);
    ++expectedFragment_;

    std::size_t start = 0;
    std::size_t fragmentLength = 0;
    if (!CheckFragmentLength(data, length, isFirst, start, fragmentLength, errorText)) {
        return false;
    }
    if (isFirst) {
        totalLength_ = GetBe16(data + kInfoTotalLength);
        address_ = GetBe32(data + kInfoAddress);
        LogMessage(Format("pInfo - address: %d, totalLength: %d, fragBufflength: %d",
                          static_cast<int>(address_), static_cast<int>(totalLength_),
                          static_cast<int>(fragmentLength)),
                   LOG_DETAIL);
    }
    if (receivedLength_ + fragmentLength > totalLength_) {
        return Refuse(Format("Fragment of %d bytes runs past the capture's total length %d "
                             "(%d received)",
                             static_cast<int>(fragmentLength), static_cast<int>(totalLength_),
                             static_cast<int>(receivedLength_)),
                      errorText);
    }
    std::copy(data + start, data + start + fragmentLength, data_.begin() + receivedLength_);
    receivedLength_ = static_cast<std::uint16_t>(receivedLength_ + fragmentLength);

    if (receivedLength_ != totalLength_) return true;
    if ((data[EventHeader::kFlags] & EventHeader::kFragmentBit) != 0) {
        expectedFragment_ = 0;
        errorText = "Last fragment arrived but fragment bit is on";
        LogMessage(errorText, LOG_NORMAL);
        Reset();
        return false;
    }
    complete_ = true;
    return true;
}

bool FragmentBuffer::CheckFragmentLength(const std::uint8_t* data, std::size_t length,
                                         bool isFirst, std::size_t& start,
                                         std::size_t& fragmentLength, std::string& errorText) {
    const int eventLength = data[EventHeader::kEventLength];
    const int counted = eventLength - kCountedHeaderBytes;
    LogMessage(Format("Total Len: %d, Rcvd Len: %d, Fragment buffer length: %d, Counter: ",
                      static_cast<int>(totalLength_), static_cast<int>(receivedLength_), counted),
               LOG_DETAIL);
    const int minimum = kCountedHeaderBytes + (isFirst ? static_cast<int>(kInfoBlockSize) : 0);
    if (eventLength < minimum) {
        return Refuse(Format("Event length %d is below the %d bytes a %s fragment needs",
                             eventLength, minimum, isFirst ? "first" : "later"),
                      errorText);
    }
    start = EventHeader::kPayload + (isFirst ? kInfoBlockSize : 0);
    fragmentLength = static_cast<std::size_t>(eventLength) - (start - kCountedHeaderBytes);
    if (start + fragmentLength > length) {
        return Refuse(Format("Fragment of %d bytes runs past the %d bytes received",
                             static_cast<int>(fragmentLength), static_cast<int>(length)),
                      errorText);
    }
    return true;
}

}  // namespace PhyConsoleNs
