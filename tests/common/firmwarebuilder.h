// Firmware packages made in memory for the tests and benchmarks: 32-bit
// big-endian ELF images with chosen sections, and the package text around
// them (preamble, MAC, PHY and ASIP blocks). Knobs let a test spoil any
// number the reader depends on.
#ifndef TERMBRIDGE_FIRMWAREBUILDER_H
#define TERMBRIDGE_FIRMWAREBUILDER_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace fwbuild {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kProgramData = 1;
constexpr std::uint32_t kNoData = 8;  // .bss: takes no room in the file
constexpr std::uint32_t kSymbolTable = 2;

struct Section {
    std::uint32_t type = kProgramData;
    std::uint32_t address = 0;
    Bytes data;                 // the bytes in the file (none for kNoData)
    std::uint32_t noDataSize = 0;
};

// Overrides of the numbers an image would carry; -1 keeps the true one.
struct ElfKnobs {
    long long sectionHeaderOffset = -1;
    long long sectionHeaderSize = -1;
    long long sectionHeaderCount = -1;
    long long firstSectionOffset = -1;  // sh_offset of the first given section
    long long firstSectionSize = -1;
    std::size_t cutAt = 0;  // keep only this many bytes (0: all)
};

inline void PutBe(Bytes& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

// Bytes that differ from one position to the next, so misplaced data shows.
inline Bytes Pattern(std::size_t length, std::uint8_t seed = 1) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// Header, section data, then the section header table (entry 0 empty, a
// symbol table last, as linkers leave it).
inline Bytes Elf(const std::vector<Section>& sections, const ElfKnobs& knobs = {}) {
    constexpr std::size_t kHeader = 52;
    constexpr std::size_t kEntry = 40;
    Bytes image(kHeader, 0);
    image[0] = 0x7F;
    image[1] = 'E';
    image[2] = 'L';
    image[3] = 'F';
    image[4] = 1;  // 32-bit
    image[5] = 2;  // big-endian
    image[6] = 1;
    std::vector<std::uint32_t> offsets;
    for (const Section& section : sections) {
        offsets.push_back(static_cast<std::uint32_t>(image.size()));
        image.insert(image.end(), section.data.begin(), section.data.end());
    }
    const std::size_t entrySize = knobs.sectionHeaderSize >= 0 ? static_cast<std::size_t>(knobs.sectionHeaderSize) : kEntry;
    const std::size_t tableAt = image.size();
    const std::size_t entries = sections.size() + 2;
    image.resize(tableAt + entries * std::max<std::size_t>(entrySize, kEntry), 0);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::size_t at = tableAt + (i + 1) * entrySize;
        const Section& section = sections[i];
        const bool first = i == 0;
        const std::uint64_t size = section.type == kNoData ? section.noDataSize : section.data.size();
        PutBe(image, at + 4, section.type, 4);
        PutBe(image, at + 12, section.address, 4);
        PutBe(image, at + 16, first && knobs.firstSectionOffset >= 0 ? knobs.firstSectionOffset : offsets[i], 4);
        PutBe(image, at + 20, first && knobs.firstSectionSize >= 0 ? knobs.firstSectionSize : size, 4);
    }
    PutBe(image, tableAt + (entries - 1) * entrySize + 4, kSymbolTable, 4);
    PutBe(image, 32, knobs.sectionHeaderOffset >= 0 ? knobs.sectionHeaderOffset : tableAt, 4);
    PutBe(image, 46, entrySize, 2);
    PutBe(image, 48, knobs.sectionHeaderCount >= 0 ? knobs.sectionHeaderCount : entries, 2);
    if (knobs.cutAt > 0 && knobs.cutAt < image.size()) image.resize(knobs.cutAt);
    return image;
}

struct AsipBlock {
    std::uint32_t type = 1;
    std::uint32_t width = 64;
    std::uint32_t address = 0xBF3C0000;
    Bytes data;
    long long declaredLength = -1;  // -1: the data's own length
};

// A package: the preamble, then the blocks in the order they are added.
class Package {
public:
    explicit Package(bool crlf = false) : end_(crlf ? "\r\n" : "\n") {
        Line("Firmware package for the ZRX4620");
        Line("QUORIL SEMICONDUCTOR FIRMWARE PACKAGE");
        Line("Created by the package builder");
        Line("Package Version: 3");
        Line("--------------------------------");
        Line("--------------------------------");
    }
    Package& Mac(const Bytes& elf) { return Image("MAC HEADER", elf); }
    Package& Phy(const Bytes& elf) { return Image("PHY HEADER", elf); }
    Package& Asip(const AsipBlock& block) {
        Line("ASIP HEADER");
        Line("--------------------------------");
        Line("ASIP module");
        Line("--------------------------------");
        Line("ASIP Type: " + std::to_string(block.type));
        Line("Instruction Width: " + std::to_string(block.width));
        Line("Load Address: 0x" + Hex(block.address));
        Line("Data Length: " + std::to_string(block.declaredLength >= 0 ? static_cast<std::uint64_t>(block.declaredLength)
                                                                       : block.data.size()));
        bytes_.insert(bytes_.end(), block.data.begin(), block.data.end());
        Text(end_);
        return *this;
    }
    Package& Text(const std::string& text) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        return *this;
    }
    const Bytes& Contents() const { return bytes_; }
    std::string AsString() const { return std::string(bytes_.begin(), bytes_.end()); }

private:
    static std::string Hex(std::uint32_t value) {
        static const char kDigits[] = "0123456789ABCDEF";
        std::string text;
        for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
        return text;
    }
    void Line(const std::string& text) { Text(text + end_); }
    Package& Image(const char* header, const Bytes& elf) {
        Line(header);
        Line("--------------------------------");
        Line("Image Size: " + std::to_string(elf.size()));
        Line("--------------------------------");
        bytes_.insert(bytes_.end(), elf.begin(), elf.end());
        Text(end_);
        return *this;
    }

    std::string end_;
    Bytes bytes_;
};

}  // namespace fwbuild

#endif
