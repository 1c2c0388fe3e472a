// Reassembles the fragments of one capture (PHYC_CAPTURE_DATA_EVT events).
#ifndef TERMBRIDGE_FRAGMENTBUFFER_H
#define TERMBRIDGE_FRAGMENTBUFFER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace PhyConsoleNs {

class FragmentBuffer {
public:
    static constexpr std::size_t kCapacity = 65536;
    static constexpr std::size_t kInfoBlockSize = 8;  // pInfo at the start of fragment 0

    FragmentBuffer() = default;
    virtual ~FragmentBuffer() = default;

    void Reset();
    // `data` holds `length` valid bytes of the event's data, header included.
    // On refusal `errorText` says why.
    bool AddFragment(const std::uint8_t* data, std::size_t length, std::string& errorText);
    bool IsComplete() const { return complete_; }
    std::uint16_t GetLength() const { return receivedLength_; }
    std::uint16_t GetTotalLength() const { return totalLength_; }
    std::uint32_t GetAddress() const { return address_; }
    const std::uint8_t* GetData() const { return data_.data(); }

private:
    bool Refuse(const std::string& text, std::string& errorText);
    bool CheckFragmentLength(const std::uint8_t* data, std::size_t length, bool isFirst,
                             std::size_t& start, std::size_t& fragmentLength,
                             std::string& errorText);

    bool complete_ = false;
    std::uint16_t receivedLength_ = 0;
    std::uint16_t totalLength_ = 0;
    std::uint32_t address_ = 0;
    std::uint16_t expectedFragment_ = 0;
    std::array<std::uint8_t, kCapacity> data_{};
};

}  // namespace PhyConsoleNs

#endif
