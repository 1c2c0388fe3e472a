#include "sparsememory.h"

#include <algorithm>

namespace tbemu {

namespace {
// The number of bytes from `address` to the end of its page, capped at `left`.
std::size_t SpanInPage(std::uint32_t address, std::size_t left, std::uint32_t pageSize) {
    const std::size_t inPage = pageSize - (address & (pageSize - 1));
    return std::min(inPage, left);
}
}  // namespace

void SparseMemory::Read(std::uint32_t address, std::uint8_t* out, std::size_t length) const {
    while (length > 0) {
        const std::size_t span = SpanInPage(address, length, kPageSize);
        const auto page = pages_.find(address >> kPageBits);
        if (page == pages_.end()) {
            std::fill_n(out, span, std::uint8_t{0});
        } else {
            std::copy_n(page->second->data() + (address & (kPageSize - 1)), span, out);
        }
        out += span;
        length -= span;
        address += static_cast<std::uint32_t>(span);
    }
}

std::vector<std::uint8_t> SparseMemory::Read(std::uint32_t address, std::size_t length) const {
    std::vector<std::uint8_t> bytes(length);
    Read(address, bytes.data(), length);
    return bytes;
}

void SparseMemory::Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const std::size_t span = SpanInPage(address, length, kPageSize);
        auto& page = pages_[address >> kPageBits];
        if (!page) page = std::make_unique<Page>(Page{});
        std::copy_n(bytes, span, page->data() + (address & (kPageSize - 1)));
        bytes += span;
        length -= span;
        address += static_cast<std::uint32_t>(span);
    }
}

}  // namespace tbemu
