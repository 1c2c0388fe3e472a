// Events answering console commands, named by the example definition set.
// The input is a sequence of blocks, each
//
//   flags (1 byte: bit 0 sets the capture flag), received length (2 bytes,
//   little-endian, at most the 512-byte Data area), then that many Data bytes
//
// handed to one event adapter in order (so that captures can span several
// fragments) and to a fragment buffer of its own. Each block lies in a heap
// block of exactly its received length: reading past it is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "consoleevtadapter.h"
#include "fragmentbuffer.h"
#include "fuzzsupport.h"
#include "packets.h"
#include "structaccess.h"

namespace {

struct Block {
    bool captureFlag = false;
    std::size_t length = 0;
    std::unique_ptr<std::uint8_t[]> data;
};

Block NextBlock(fuzzsupport::InputReader& input) {
    Block block;
    block.captureFlag = (input.Byte() & 1) != 0;
    const std::size_t wanted = std::min<std::size_t>(input.Le16(), kEventDataSize);
    const std::string bytes = input.Bytes(wanted);
    block.length = bytes.size();
    block.data = fuzzsupport::ExactBlock(block.length);
    std::copy(bytes.begin(), bytes.end(), block.data.get());
    return block;
}

void CheckFragments(const PhyConsoleNs::FragmentBuffer& fragments) {
    FUZZ_CHECK(fragments.GetLength() <= fragments.GetTotalLength());
    if (fragments.IsComplete()) FUZZ_CHECK(fragments.GetLength() == fragments.GetTotalLength());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StructAccess& database = fuzzsupport::ExampleDatabase();
    // Both are built afresh for every input, in place: each holds a 64 KB
    // buffer, and a heap block of that size per input (allocated, poisoned,
    // quarantined by the address sanitizer) would cost more than the input.
    static std::optional<ConsoleEvtAdapter> adapter;
    static std::optional<PhyConsoleNs::FragmentBuffer> fragments;
    adapter.emplace(&database);
    fragments.emplace();

    fuzzsupport::InputReader input(data, size);
    while (!input.AtEnd()) {
        const Block block = NextBlock(input);
        adapter->SetCaptureDataFlag(block.captureFlag);
        bool isSubEvent = false;
        adapter->AdaptEvent(block.data.get(), block.length, isSubEvent);
        FUZZ_CHECK(adapter->GetResultLength() <= ConsoleEvtAdapter::kResultBufferSize);

        std::string errorText;
        if (!fragments->AddFragment(block.data.get(), block.length, errorText)) {
            FUZZ_CHECK(!errorText.empty());
        }
        CheckFragments(*fragments);
        if (fragments->IsComplete()) fragments->Reset();
    }
    return 0;
}
