// Firmware packages: the whole input is a package file. The reader must
// refuse or cut it without reading past its end (the address sanitizer
// watches the loader's single copy of the file), and whatever it builds must
// keep the chunk rules: at most 1024 bytes each, data of exactly the chunk's
// length, interrupt-vector chunks inside their window, and no more memory
// than the package's size allows; nor may it read more section headers than
// the package has room for (images that share one table).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "cfwloader.h"
#include "fuzzsupport.h"
#include "trafficmanager.h"

namespace {

// Building never talks to the chip; the traffic manager only has to exist.
TrafficManager& Traffic() {
    static NoExternalOwner owner;
    static TrafficManager* traffic = new TrafficManager(&owner, 9, "127.0.0.1", 0);
    return *traffic;
}

void CheckChunks(const CFWLoader& loader, std::size_t packageSize) {
    std::size_t cost = 0;
    for (const ChunkDescriptor& chunk : loader.Chunks()) {
        FUZZ_CHECK(chunk.length >= 1 && chunk.length <= ChunkDescriptor::kMaxLength);
        FUZZ_CHECK(chunk.data.size() == chunk.length);
        FUZZ_CHECK(chunk.moduleType <= MAC_MODULE);
        if (chunk.isInterruptVector == 1) {
            FUZZ_CHECK(chunk.moduleType == MAC_MODULE);
            FUZZ_CHECK(chunk.address >= CFWLoader::kVectorWindowStart && chunk.address < CFWLoader::kVectorWindowEnd);
        }
        cost += chunk.length + CFWLoader::kChunkBookkeeping;
    }
    FUZZ_CHECK(cost <= CFWLoader::kBudgetBase + CFWLoader::kBudgetPerFileByte * packageSize);
    // The build's work grows with the package, never faster: section headers
    // read are bounded by what the package has room for.
    FUZZ_CHECK(loader.SectionHeadersRead() <= packageSize / CFWLoader::kMinSectionHeader + CFWLoader::kHeaderBudgetBase);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLibrary();
    static fuzzsupport::MemoryFile file;
    file.Assign(data, size);
    CFWLoader loader(file.Path(), &Traffic());
    const bool built = loader.BuildChunkDataBase();
    if (built) FUZZ_CHECK(loader.EndOfInput());
    CheckChunks(loader, size);
    return 0;
}
