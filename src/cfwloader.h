// The firmware package reader and loader: cuts the MAC, PHY and ASIP
// modules of a package file into chunks bound to chip addresses, writes
// them into chip memory through the traffic manager with read-back, stages
// the interrupt-vector data and starts the firmware. One loader serves one
// load.
#ifndef TERMBRIDGE_CFWLOADER_H
#define TERMBRIDGE_CFWLOADER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TrafficManager;

// Module kinds, as a chunk's moduleType.
enum FirmwareModuleType : std::uint32_t { ASIP_MODULE = 0, PHY_MODULE = 1, MAC_MODULE = 2 };

struct ChunkDescriptor {
    static constexpr std::size_t kMaxLength = 1024;

    std::uint32_t moduleType = 0;
    std::uint32_t address = 0;  // physical chip address of the first byte
    std::uint16_t length = 0;   // valid bytes, padding included
    std::uint32_t isInterruptVector = 0;
    // Exactly `length` bytes: a package full of tiny sections must not cost
    // a kilobyte per chunk.
    std::vector<std::uint8_t> data;
};

struct ElfHeaderData {
    std::array<std::uint8_t, 16> identification{};
    std::uint32_t sectionHeaderOffset = 0;
    std::uint16_t sectionHeaderSize = 0;
    std::uint16_t sectionHeaderCount = 0;
};

struct ShdrData {
    std::uint32_t type = 0;
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
};

struct asipHeader {
    std::uint32_t asipType = 0;
    std::uint32_t instructionWidth = 0;
    std::uint32_t loadAddress = 0;
    std::uint32_t dataLength = 0;
};

class CFWLoader {
public:
    // Chip memory map.
    static constexpr std::uint32_t kMacMemoryStart = 0xBFC00000;
    static constexpr std::uint32_t kMacMemoryEnd = 0xBFC23800;  // inclusive
    static constexpr std::uint32_t kVectorWindowStart = 0xBFC00280;
    static constexpr std::uint32_t kVectorWindowEnd = 0xBFC002BF;  // exclusive
    static constexpr std::uint64_t kAddressSpaceEnd = 0x100000000;
    static constexpr std::uint32_t kUnusedMacSizeWord = 0xBFC23800;
    static constexpr std::uint32_t kUnusedMacData = 0xBFC23804;
    static constexpr std::uint32_t kUnusedMacCapacity = 1784;
    static constexpr std::uint32_t kPhyMemoryStart = 0xBF540000;
    static constexpr std::uint32_t kPhyMemoryEnd = 0xBF55BFFF;  // inclusive
    static constexpr std::uint32_t kAsipControlWord = 0xBF5E0000;
    static constexpr std::uint32_t kAsipControlValue = 20;
    static constexpr std::uint32_t kRunParameter = 0xBFC23800;
    static constexpr std::uint16_t kRunCommandType = 1;
    static constexpr std::uint32_t kMaxInstructionWidth = 64;
    static constexpr std::uint32_t kAsipSlot = 64;
    static constexpr std::size_t kElfHeaderSize = 52;
    // Section header entries shorter than this cannot hold the fields used.
    static constexpr std::size_t kMinSectionHeader = 24;
    // Section header reads allowed beyond one per kMinSectionHeader bytes.
    static constexpr std::size_t kHeaderBudgetBase = 1024;
    static constexpr std::uint32_t kProgramDataSection = 1;
    static constexpr std::size_t kVerifyPiece = 16;
    // What the chunk list may cost: data bytes plus this much per chunk,
    // at most kBudgetPerFileByte per byte of the package and kBudgetBase.
    static constexpr std::size_t kChunkBookkeeping = 64;
    static constexpr std::size_t kBudgetPerFileByte = 8;
    static constexpr std::size_t kBudgetBase = 1u << 20;
    // Far above any chip's memory, and small enough that the budget above
    // cannot overflow on a 32-bit host.
    static constexpr std::uint64_t kMaxPackageSize = 64u << 20;

    // stage, bytes done, bytes in the stage; false stops the load at the
    // next chunk
    using Progress = std::function<bool(const char*, std::uint64_t, std::uint64_t)>;

    // The traffic manager is not owned; null makes the loader unusable.
    CFWLoader(const std::string& packagePath, TrafficManager* trafficManager);
    CFWLoader(const CFWLoader&) = delete;
    CFWLoader& operator=(const CFWLoader&) = delete;

    void SetProgress(Progress progress) { progress_ = std::move(progress); }

    bool BuildChunkDataBase();
    bool LoadChunks(std::uint32_t vectorMark, std::uint32_t moduleType, bool verify);
    bool VerifyChunk(const ChunkDescriptor& chunk);
    bool LoadInterruptVectorData();
    // Writes the bytes and their count into the unused MAC memory, which
    // holds at most kUnusedMacCapacity of them. (A package's vector data is
    // at most the window's 63 bytes and a word's padding.)
    bool StageInUnusedMac(const std::vector<std::uint8_t>& staged);
    bool PrepareAsipLoad();
    bool RunFirmware();
    // The physical address of a section; 0 for an unknown module kind.
    static std::uint32_t AdaptPhysicalAddress(std::uint32_t moduleType, std::uint32_t address);

    const std::vector<ChunkDescriptor>& Chunks() const { return chunks_; }
    // The bytes LoadInterruptVectorData stages (empty without vector data).
    std::vector<std::uint8_t> InterruptVectorData() const;
    // Section headers read by the build: the work it did, bounded by the
    // package's size.
    std::size_t SectionHeadersRead() const { return sectionHeadersRead_; }
    bool EndOfInput() const { return endOfInput_; }

private:
    enum class BlockKind { None, Asip, Phy, Mac };

    // The package, read once; lines and images are taken from here.
    bool ReadLine(std::string& line);
    bool DropLines(int count);
    bool ReadValueLine(int base, std::uint32_t& value);
    bool FindPreamble();
    BlockKind FindNextHeader();
    bool ReadAsipHeader(asipHeader& header);
    bool ReadElfBlockHeader();

    bool ProcessElfModule(std::uint32_t moduleType);
    bool ReadElfHeader(std::size_t imageBase, ElfHeaderData& header);
    bool ProcessSection(std::uint32_t moduleType, std::size_t imageBase, const ElfHeaderData& header,
                        std::uint32_t index);
    bool ReadSectionHeader(std::size_t imageBase, const ElfHeaderData& header, std::uint32_t index,
                           ShdrData& section);
    bool CutSection(std::uint32_t moduleType, const ShdrData& section);
    bool ProcessAsipModule(const asipHeader& header);
    bool AsipAddressInWindow(const asipHeader& header) const;
    bool AddChunk(std::uint32_t moduleType, std::uint32_t address, std::size_t dataBytes,
                  std::size_t paddedLength, std::uint32_t vector);
    std::uint64_t BytesOfKind(std::uint32_t vectorMark, std::uint32_t moduleType) const;
    // False when the progress asked to stop.
    bool Report(const char* stage, std::uint64_t done, std::uint64_t total) const;

    TrafficManager* traffic_;
    bool opened_ = false;
    std::vector<std::uint8_t> package_;
    std::size_t position_ = 0;
    bool endOfInput_ = false;
    std::size_t budget_ = 0;
    std::size_t headerBudget_ = 0;
    std::size_t sectionHeadersRead_ = 0;
    std::vector<ChunkDescriptor> chunks_;
    Progress progress_;
};

#endif
