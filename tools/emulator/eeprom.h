// The chip's EEPROM: a fixed number of bytes, erased (0xFF) until written,
// optionally kept in a file so that its contents survive the process.
#ifndef TBEMU_EEPROM_H
#define TBEMU_EEPROM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "socketutil.h"

namespace tbemu {

class EmulatedEeprom {
public:
    static constexpr std::uint8_t kErased = 0xFF;

    explicit EmulatedEeprom(std::size_t size);

    // Loads the file's bytes and writes every later change through to it. A
    // missing or empty file is created erased; a file of another size than
    // the EEPROM is refused and left as it is (its bytes belong to another
    // EEPROM). False with the reason when the file cannot be used.
    bool AttachFile(const std::string& path, std::string& error);

    std::size_t Size() const { return bytes_.size(); }
    bool Contains(std::uint32_t address, std::size_t length) const;
    // Both refuse a range outside the EEPROM. A write that does not reach
    // the attached file is refused too and leaves the bytes as they were;
    // TakeWriteError() says why.
    bool Read(std::uint32_t address, std::uint8_t* out, std::size_t length) const;
    bool Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t length);
    // Why the last write-through failed, once; empty when none failed since.
    std::string TakeWriteError();

    const std::vector<std::uint8_t>& Contents() const { return bytes_; }

private:
    bool WriteThrough(std::uint32_t address, std::size_t length);

    std::vector<std::uint8_t> bytes_;
    Fd file_;
    std::string path_;
    std::string writeError_;
};

}  // namespace tbemu

#endif
