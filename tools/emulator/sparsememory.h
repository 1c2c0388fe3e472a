// Byte-addressed memory over the whole 32-bit address space, allocated in
// pages on first write. Memory that was never written reads as zeros.
#ifndef TBEMU_SPARSEMEMORY_H
#define TBEMU_SPARSEMEMORY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tbemu {

class SparseMemory {
public:
    // Reads and writes wrap around at the end of the address space.
    void Read(std::uint32_t address, std::uint8_t* out, std::size_t length) const;
    void Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t length);
    std::vector<std::uint8_t> Read(std::uint32_t address, std::size_t length) const;

    std::size_t PageCount() const { return pages_.size(); }
    void Clear() { pages_.clear(); }

private:
    static constexpr std::uint32_t kPageBits = 12;
    static constexpr std::uint32_t kPageSize = 1u << kPageBits;
    using Page = std::array<std::uint8_t, kPageSize>;

    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
};

}  // namespace tbemu

#endif
