#include "eeprom.h"

#include <algorithm>

namespace tbemu {

EmulatedEeprom::EmulatedEeprom(std::size_t size) : bytes_(size, kErased) {}

bool EmulatedEeprom::AttachFile(const std::string& path) {
    {
        std::ifstream existing(path, std::ios::binary);
        if (existing) {
            existing.read(reinterpret_cast<char*>(bytes_.data()),
                          static_cast<std::streamsize>(bytes_.size()));
        }
    }
    file_.close();
    // Rewrite the file at exactly the EEPROM's size, then keep it open for
    // write-through of the changed ranges.
    {
        std::ofstream fresh(path, std::ios::binary | std::ios::trunc);
        if (!fresh) return false;
        fresh.write(reinterpret_cast<const char*>(bytes_.data()),
                    static_cast<std::streamsize>(bytes_.size()));
        if (!fresh) return false;
    }
    file_.open(path, std::ios::binary | std::ios::in | std::ios::out);
    return static_cast<bool>(file_);
}

bool EmulatedEeprom::Contains(std::uint32_t address, std::size_t length) const {
    return address <= bytes_.size() && length <= bytes_.size() - address;
}

bool EmulatedEeprom::Read(std::uint32_t address, std::uint8_t* out, std::size_t length) const {
    if (!Contains(address, length)) return false;
    std::copy_n(bytes_.begin() + address, length, out);
    return true;
}

bool EmulatedEeprom::Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t length) {
    if (!Contains(address, length)) return false;
    std::copy_n(bytes, length, bytes_.begin() + address);
    WriteThrough(address, length);
    return true;
}

void EmulatedEeprom::WriteThrough(std::uint32_t address, std::size_t length) {
    if (!file_.is_open() || length == 0) return;
    file_.seekp(static_cast<std::streamoff>(address));
    file_.write(reinterpret_cast<const char*>(bytes_.data() + address),
                static_cast<std::streamsize>(length));
    file_.flush();
}

}  // namespace tbemu
