// Turns the data of an event that answers a console command into its result.
#ifndef TERMBRIDGE_CONSOLEEVTADAPTER_H
#define TERMBRIDGE_CONSOLEEVTADAPTER_H

#include <cstddef>
#include <cstdint>

class StructAccess;

class ConsoleEvtAdapter {
public:
    explicit ConsoleEvtAdapter(StructAccess* structAccess);

    void SetCaptureDataFlag(bool set);
    // `data` holds `length` valid bytes of the event packet's Data.
    bool AdaptEvent(const std::uint8_t* data, std::size_t length, bool& isSubEvent);
    const std::uint8_t* GetResultBuffer() const;
    std::uint32_t GetResultLength() const;
};

#endif
