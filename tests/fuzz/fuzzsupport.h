// Helpers shared by the fuzz targets: a library that writes no files, inputs
// handed to the library's file readers without touching the disk, the
// example definition set, and a reader that cuts an input into pieces.
#ifndef TERMBRIDGE_FUZZSUPPORT_H
#define TERMBRIDGE_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class EepromInterface;
class StructAccess;

namespace fuzzsupport {

// Points the library's root at a private temporary folder (removed at exit),
// sends the crash and start-up trace files to /dev/null and turns file
// logging off, keeping every message's formatting at the most detailed
// level. Idempotent.
void QuietLibrary();

// A file that lives in memory (on /dev/shm when there is one), reachable by
// a path that the library's readers open like any other file.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void Assign(const std::uint8_t* data, std::size_t size);
    void Assign(const std::string& text);
    const std::string& Path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// A path inside the source tree, such as "examples/maps/mac.map".
std::string SourcePath(const char* relative);

// The example definition set and map files, parsed once through the list
// file. Stays alive until the process ends.
StructAccess& ExampleDatabase();
// The EEPROM layout of that set (its field table, filled by the parse).
EepromInterface& ExampleEeprom();

// A whole file's bytes; empty when it cannot be read.
std::string ReadAll(const std::string& path);

// Reads an input front to back. Reading past the end yields zeros and empty
// texts, so a target never needs to check the size first.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool AtEnd() const { return position_ >= size_; }
    std::uint8_t Byte();
    std::uint16_t Le16();
    // The next `count` bytes, or what is left.
    std::string Bytes(std::size_t count);
    // Up to the next line feed (dropped) or the end.
    std::string Line();
    std::string Rest();

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A heap block of exactly `size` bytes, so that the address sanitizer
// reports any access past it.
std::unique_ptr<std::uint8_t[]> ExactBlock(std::size_t size);

// Stops the run with a message when a property that must hold does not.
[[noreturn]] void Fail(const char* condition, const char* file, int line);

}  // namespace fuzzsupport

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzzsupport::Fail(#condition, __FILE__, __LINE__))

#endif
