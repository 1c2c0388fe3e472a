// The chip's EEPROM: a fixed number of bytes, erased (0xFF) until written,
// optionally kept in a file so that its contents survive the process.
#ifndef TBEMU_EEPROM_H
#define TBEMU_EEPROM_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tbemu {

class EmulatedEeprom {
public:
    static constexpr std::uint8_t kErased = 0xFF;

    explicit EmulatedEeprom(std::size_t size);

    // Loads the file's bytes (a shorter file leaves the rest erased, a longer
    // one is cut) and writes every later change through to it; a missing file
    // is created. False when the file cannot be opened or created.
    bool AttachFile(const std::string& path);

    std::size_t Size() const { return bytes_.size(); }
    bool Contains(std::uint32_t address, std::size_t length) const;
    // Both refuse a range outside the EEPROM.
    bool Read(std::uint32_t address, std::uint8_t* out, std::size_t length) const;
    bool Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t length);

    const std::vector<std::uint8_t>& Contents() const { return bytes_; }

private:
    void WriteThrough(std::uint32_t address, std::size_t length);

    std::vector<std::uint8_t> bytes_;
    std::fstream file_;
};

}  // namespace tbemu

#endif
