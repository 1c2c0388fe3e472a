#include "eeprom.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tbemu {

namespace {
// pwrite/pread until the whole range is done; false with errno set.
bool WriteAllAt(int fd, const std::uint8_t* bytes, std::size_t length, off_t offset) {
    while (length > 0) {
        const ssize_t written = ::pwrite(fd, bytes, length, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

bool ReadAllAt(int fd, std::uint8_t* bytes, std::size_t length, off_t offset) {
    while (length > 0) {
        const ssize_t read = ::pread(fd, bytes, length, offset);
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) {
            if (read == 0) errno = EIO;  // the file shrank under us
            return false;
        }
        bytes += read;
        length -= static_cast<std::size_t>(read);
        offset += read;
    }
    return true;
}
}  // namespace

EmulatedEeprom::EmulatedEeprom(std::size_t size) : bytes_(size, kErased) {}

bool EmulatedEeprom::AttachFile(const std::string& path, std::string& error) {
    file_.Reset();
    path_.clear();
    Fd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    struct stat status {};
    if (!file.Valid() || ::fstat(file.Get(), &status) != 0) {
        error = "cannot open the EEPROM file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "the EEPROM file " + path + " is not a regular file";
        return false;
    }
    const auto size = static_cast<std::uintmax_t>(status.st_size);
    if (size != 0 && size != bytes_.size()) {
        error = "the EEPROM file " + path + " holds " + std::to_string(size) + " bytes but the EEPROM has " +
                std::to_string(bytes_.size()) + " (--eeprom-size); the file is left as it is";
        return false;
    }
    // A new or empty file starts erased; one of the EEPROM's size is loaded.
    const bool loaded = size == 0 ? WriteAllAt(file.Get(), bytes_.data(), bytes_.size(), 0)
                                  : ReadAllAt(file.Get(), bytes_.data(), bytes_.size(), 0);
    if (!loaded) {
        error = std::string(size == 0 ? "cannot write" : "cannot read") + " the EEPROM file " + path + ": " +
                std::strerror(errno);
        std::fill(bytes_.begin(), bytes_.end(), kErased);
        return false;
    }
    file_ = std::move(file);
    path_ = path;
    return true;
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
    const auto at = bytes_.begin() + address;
    const std::vector<std::uint8_t> before(at, at + static_cast<long>(length));
    std::copy_n(bytes, length, at);
    if (WriteThrough(address, length)) return true;
    // What the file did not take is not kept in memory either: the refused
    // write leaves the EEPROM as it was.
    std::copy(before.begin(), before.end(), at);
    return false;
}

std::string EmulatedEeprom::TakeWriteError() { return std::exchange(writeError_, std::string()); }

bool EmulatedEeprom::WriteThrough(std::uint32_t address, std::size_t length) {
    if (!file_.Valid() || length == 0) return true;
    if (WriteAllAt(file_.Get(), bytes_.data() + address, length, static_cast<off_t>(address))) return true;
    writeError_ = "EEPROM write of " + std::to_string(length) + " bytes at " + std::to_string(address) +
                  " did not reach the file " + path_ + ": " + std::strerror(errno);
    return false;
}

}  // namespace tbemu
