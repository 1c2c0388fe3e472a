// Chip memory to and from files, the console's side of :savemem, :loadmem
// and :verifymem: their words read strictly, the rule on address ranges,
// memory files read whole, and the comparison of what the chip holds with a
// file. The Python package applies the same rule with the same texts
// (tests/data/memoryfiles.json holds the cases both test suites check).
//
// A range is whole 4-byte words from a word-aligned address, as the chip's
// memory bus moves them, at most kMostBytes at once (a transfer is held in
// the host's memory whole), and ends within the 32-bit address space.
#ifndef TB_CONSOLE_MEMORYFILE_H
#define TB_CONSOLE_MEMORYFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace memoryfile {

constexpr std::uint64_t kWordBytes = 4;
constexpr std::uint64_t kMostBytes = std::uint64_t{256} << 20;

using Bytes = std::vector<std::uint8_t>;

// A number as a native command takes it: decimal digits, or hexadecimal
// digits after 0x; false for anything else (or more than 64 bits).
bool ParseNumber(const std::string& word, std::uint64_t& value);
// "" when `length` bytes from `address` may be moved, otherwise why not.
std::string RangeProblem(std::uint64_t address, std::uint64_t length);

// Reads a whole memory file: "" when done, otherwise why it serves as none
// (it does not open, is no regular file, is empty, or is larger than one
// transfer takes).
std::string ReadWhole(const std::string& path, Bytes& bytes);
// Why a file cannot be written, once the replacing writer has refused it
// with the system's error code `systemError`.
std::string WriteProblem(const std::string& path, int systemError);

// Where the chip's bytes differ from the file's.
struct Difference {
    std::size_t count = 0;  // bytes that differ
    std::size_t first = 0;  // offset of the first of them
};
Difference Compare(const Bytes& expected, const Bytes& found);
// "SUBJECT differs from FILE: 3 of 64 bytes, the first at 0x10000010 (chip
// 0x5a, file 0x00)"; `subject` names what was read ("chip memory", "read-back").
std::string DifferenceText(const std::string& subject, const std::string& path, std::uint32_t address,
                           const Bytes& expected, const Bytes& found, const Difference& difference);

}  // namespace memoryfile

#endif
