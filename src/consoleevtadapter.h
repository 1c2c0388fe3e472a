// Turns the data of an event that answers a console command into its result.
#ifndef TERMBRIDGE_CONSOLEEVTADAPTER_H
#define TERMBRIDGE_CONSOLEEVTADAPTER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fragmentbuffer.h"

class StructAccess;

class ConsoleEvtAdapter {
public:
    static constexpr std::size_t kResultBufferSize = 65536;

    explicit ConsoleEvtAdapter(StructAccess* structAccess);

    // Set by the host's thread for a capture command, read on the event thread.
    void SetCaptureDataFlag(bool set);
    // `data` holds `length` valid bytes of the event packet's Data.
    bool AdaptEvent(const std::uint8_t* data, std::size_t length, bool& isSubEvent);
    const std::uint8_t* GetResultBuffer() const;
    std::uint32_t GetResultLength() const;

private:
    bool CheckHeader(const std::uint8_t* data, const std::string& eventName, std::string& text);
    bool AdaptGeneralEvent(const std::uint8_t* data, bool& isSubEvent, std::string& text);
    bool AdaptCaptureEvent(const std::uint8_t* data, std::size_t length, bool& isSubEvent,
                           std::string& text);
    // Copies `payloadLength` bytes from the payload, if the event holds them.
    bool CopyPayload(const std::uint8_t* data, std::size_t length, int payloadLength);
    void SetResult(const std::uint8_t* bytes, std::size_t count);

    PhyConsoleNs::FragmentBuffer fragmentBuffer_;
    std::array<std::uint8_t, kResultBufferSize> resultBuffer_{};
    std::uint32_t resultLength_ = 0;
    std::atomic<bool> captureDataFlag_{false};
    StructAccess* structAccess_;
};

#endif
