#include "memoryfile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/platform.h"
#include "startupcheck.h"

namespace memoryfile {

namespace {

constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 32;

std::string Hex(std::uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

int DigitValue(char c, int base) {
    int value = base;  // not a digit
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < base ? value : -1;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

bool ParseNumber(const std::string& word, std::uint64_t& value) {
    const bool hexadecimal = word.rfind("0x", 0) == 0;
    const int base = hexadecimal ? 16 : 10;
    const std::size_t start = hexadecimal ? 2 : 0;
    if (word.size() == start) return false;
    std::uint64_t parsed = 0;
    for (std::size_t i = start; i < word.size(); ++i) {
        const int digit = DigitValue(word[i], base);
        if (digit < 0 || parsed > (UINT64_MAX - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
            return false;
        }
        parsed = parsed * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    value = parsed;
    return true;
}

std::string RangeProblem(std::uint64_t address, std::uint64_t length) {
    if (address >= kAddressSpaceEnd) return "address " + Hex(address, 8) + " lies past the 32-bit address space";
    if (address % kWordBytes != 0) return "address " + Hex(address, 8) + " is not word-aligned (a multiple of 4)";
    if (length == 0) return "0 bytes: nothing to move";
    if (length % kWordBytes != 0) return std::to_string(length) + " bytes are no whole number of 4-byte words";
    if (length > kMostBytes) {
        return std::to_string(length) + " bytes are more than one transfer takes (at most " +
               std::to_string(kMostBytes) + ", 256 MiB)";
    }
    if (address + length > kAddressSpaceEnd) {
        return Hex(address, 8) + " + " + std::to_string(length) + " bytes runs past the end of the 32-bit address space";
    }
    return "";
}

std::string ReadWhole(const std::string& path, Bytes& bytes) {
    const std::string problem = startupcheck::FileProblem(path);
    if (!problem.empty()) return path + " does not open: " + problem;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return path + " does not open";
    const std::streamoff size = file.tellg();
    if (size == 0) return path + " is empty";
    if (size < 0 || static_cast<std::uint64_t>(size) > kMostBytes) {
        return path + " holds more bytes than one transfer takes (at most " + std::to_string(kMostBytes) +
               ", 256 MiB)";
    }
    bytes.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        return path + " could not be read whole";
    }
    return "";
}

std::string WriteProblem(const std::string& path, int systemError) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        return std::make_error_code(std::errc::is_a_directory).message();
    }
    if (std::filesystem::exists(path, ignored) && !platform::IsRegularFile(path)) return "not a regular file";
    return Trimmed(platform::SystemErrorText(systemError));
}

Difference Compare(const Bytes& expected, const Bytes& found) {
    Difference difference;
    for (std::size_t i = 0; i < expected.size() && i < found.size(); ++i) {
        if (expected[i] == found[i]) continue;
        if (difference.count == 0) difference.first = i;
        ++difference.count;
    }
    return difference;
}

std::string DifferenceText(const std::string& subject, const std::string& path, std::uint32_t address,
                           const Bytes& expected, const Bytes& found, const Difference& difference) {
    const std::size_t at = difference.first;
    return subject + " differs from " + path + ": " + std::to_string(difference.count) + " of " +
           std::to_string(expected.size()) + " bytes, the first at " + Hex(address + at, 8) + " (chip " +
           Hex(found[at], 2) + ", file " + Hex(expected[at], 2) + ")";
}

}  // namespace memoryfile
