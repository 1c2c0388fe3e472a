#include "cfwloader.h"

#include <algorithm>
#include <fstream>

#include "consolelogger.h"
#include "packets.h"
#include "platform/platform.h"
#include "trafficmanager.h"

namespace {

constexpr std::size_t kBlockSize = ChunkDescriptor::kMaxLength;

struct AsipWindow {
    std::uint32_t start;
    std::uint32_t end;  // address + length may reach it, not pass it
};
// Indexed by ASIP type 1 to 4.
constexpr AsipWindow kAsipWindows[] = {
    {0xBF3C0000, 0xBF3E0000},
    {0xBF3A0000, 0xBF3B8000},
    {0xBF380000, 0xBF38C000},
    {0xBF4C0000, 0xBF4CA000},
};

bool BeginsWith(const std::string& line, const char* word) { return line.rfind(word, 0) == 0; }

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// The digits of `base` from `text`, up to the first other character; a
// value too large for 32 bits stays at the largest one.
std::uint32_t ParseUnsigned(const std::string& text, std::size_t at, int base) {
    if (base == 16 && text.compare(at, 2, "0x") == 0 && at + 2 < text.size() && DigitValue(text[at + 2]) < 16) {
        at += 2;
    }
    std::uint64_t value = 0;
    for (; at < text.size() && DigitValue(text[at]) < base; ++at) {
        value = std::min<std::uint64_t>(value * static_cast<std::uint64_t>(base) + DigitValue(text[at]), 0xFFFFFFFFu);
    }
    return static_cast<std::uint32_t>(value);
}

const char* LoadStage(std::uint32_t moduleType) {
    switch (moduleType) {
        case MAC_MODULE: return "load MAC";
        case PHY_MODULE: return "load PHY";
        default: return "load ASIP";
    }
}

void LogError(const char* text) { LogMessage(text, LOG_ERROR); }

}  // namespace

CFWLoader::CFWLoader(const std::string& packagePath, TrafficManager* trafficManager) : traffic_(trafficManager) {
    if (traffic_ == nullptr) {
        LogError("<FWLoader>Error!!! Traffic Manager wasn't Initialized");
        LogCrash("Error!!! Traffic Manager wasn't Initialized");
        return;
    }
    // A folder, a pipe or a device is a package that does not open: a pipe
    // would block the open until some writer came.
    std::ifstream file;
    if (platform::IsRegularFile(packagePath)) file.open(packagePath, std::ios::binary);
    std::streamoff size = -1;
    if (file.is_open() && file.seekg(0, std::ios::end)) size = file.tellg();
    if (size > static_cast<std::streamoff>(kMaxPackageSize)) {
        LogError("<FWLoader>Error!!! Firmware file is larger than 64 MiB!");
        size = -1;
    }
    if (size >= 0 && file.seekg(0, std::ios::beg)) {
        package_.resize(static_cast<std::size_t>(size));
        const auto wanted = static_cast<std::streamsize>(package_.size());  // at most 64 MiB
        opened_ = package_.empty() || file.read(reinterpret_cast<char*>(package_.data()), wanted).gcount() == wanted;
    }
    if (!opened_) {
        package_.clear();
        LogError("<FWLoader>Error!!! Couldn't open Firmware file for loading firmware software!!!!");
        LogCrash("Error!!! Couldn't open Firmware file for loading firmware software");
        return;
    }
    budget_ = kBudgetBase + kBudgetPerFileByte * package_.size();
    headerBudget_ = kHeaderBudgetBase + package_.size() / kMinSectionHeader;
}

// ---------------------------------------------------------------- text lines

bool CFWLoader::ReadLine(std::string& line) {
    if (position_ >= package_.size()) {
        endOfInput_ = true;
        return false;
    }
    const auto begin = package_.begin() + static_cast<std::ptrdiff_t>(position_);
    const auto newline = std::find(begin, package_.end(), '\n');
    line.assign(begin, newline);
    if (newline == package_.end()) {
        position_ = package_.size();
        endOfInput_ = true;
    } else {
        position_ = static_cast<std::size_t>(newline - package_.begin()) + 1;
    }
    return true;
}

bool CFWLoader::DropLines(int count) {
    std::string line;
    for (int i = 0; i < count; ++i) {
        if (!ReadLine(line)) return false;
    }
    return true;
}

bool CFWLoader::ReadValueLine(int base, std::uint32_t& value) {
    std::string line;
    if (!ReadLine(line)) return false;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    const std::size_t start = line.find_first_not_of(' ', colon + 1);
    if (start == std::string::npos) return false;
    value = ParseUnsigned(line, start, base);
    return true;
}

bool CFWLoader::FindPreamble() {
    std::string line;
    do {
        if (!ReadLine(line)) return false;
    } while (!BeginsWith(line, "QUORIL"));
    std::uint32_t unused = 0;
    return DropLines(1) && ReadValueLine(10, unused) && DropLines(2);
}

CFWLoader::BlockKind CFWLoader::FindNextHeader() {
    std::string line;
    while (ReadLine(line)) {
        if (BeginsWith(line, "ASIP HEADER")) return BlockKind::Asip;
        if (BeginsWith(line, "PHY HEADER")) return BlockKind::Phy;
        if (BeginsWith(line, "MAC HEADER")) return BlockKind::Mac;
    }
    return BlockKind::None;
}

bool CFWLoader::ReadAsipHeader(asipHeader& header) {
    return DropLines(3) && ReadValueLine(10, header.asipType) && ReadValueLine(10, header.instructionWidth) &&
           ReadValueLine(16, header.loadAddress) && ReadValueLine(10, header.dataLength);
}

bool CFWLoader::ReadElfBlockHeader() {
    std::uint32_t unused = 0;
    return DropLines(1) && ReadValueLine(10, unused) && DropLines(1);
}

// ---------------------------------------------------------------- the build

bool CFWLoader::BuildChunkDataBase() {
    if (!opened_ || !FindPreamble()) return false;
    for (;;) {
        if (endOfInput_) return Report("build", package_.size(), package_.size());  // false: the host stopped it
        bool built = true;
        switch (FindNextHeader()) {
            case BlockKind::None: break;
            case BlockKind::Asip: {
                asipHeader header;
                built = ReadAsipHeader(header) && ProcessAsipModule(header);
                break;
            }
            case BlockKind::Phy: built = ReadElfBlockHeader() && ProcessElfModule(PHY_MODULE); break;
            case BlockKind::Mac: built = ReadElfBlockHeader() && ProcessElfModule(MAC_MODULE); break;
        }
        if (!built) return false;
    }
}

bool CFWLoader::ProcessElfModule(std::uint32_t moduleType) {
    const std::size_t imageBase = position_;
    ElfHeaderData header;
    if (!ReadElfHeader(imageBase, header)) return false;
    for (std::uint32_t i = 0; i < header.sectionHeaderCount; ++i) {
        if (!ProcessSection(moduleType, imageBase, header, i)) {
            LogError("<FWLoader>Error!!! Fail to process ELF Data section!");
            return false;
        }
    }
    return true;
}

bool CFWLoader::ReadElfHeader(std::size_t imageBase, ElfHeaderData& header) {
    const std::size_t available = package_.size() - imageBase;
    const std::uint8_t* image = package_.data() + imageBase;
    static const std::uint8_t kMagic[] = {0x7F, 'E', 'L', 'F'};
    if (available < sizeof kMagic || !std::equal(kMagic, kMagic + sizeof kMagic, image)) {
        LogError("<FWLoader>Error!!! Not an ELF file - Wrong Magic bytes!");
        return false;
    }
    if (available < kElfHeaderSize) {
        LogError("<FWLoader>Error!!! ELF header is cut short by the end of the file!");
        return false;
    }
    std::copy_n(image, header.identification.size(), header.identification.begin());
    header.sectionHeaderOffset = GetBe32(image + 32);
    header.sectionHeaderSize = GetBe16(image + 46);
    header.sectionHeaderCount = GetBe16(image + 48);
    position_ = imageBase + kElfHeaderSize;
    return true;
}

bool CFWLoader::ProcessSection(std::uint32_t moduleType, std::size_t imageBase, const ElfHeaderData& header,
                               std::uint32_t index) {
    ShdrData section;
    if (!ReadSectionHeader(imageBase, header, index, section)) {
        LogError("<FWLoader>Error!!! Failed to read section header data from stream!");
        return false;
    }
    if (section.type != kProgramDataSection) return true;
    const std::uint64_t dataStart = static_cast<std::uint64_t>(imageBase) + section.offset;
    if (dataStart + section.size > package_.size()) {
        LogError("<FWLoader>Error!!! Error seeking section data!");
        return false;
    }
    position_ = static_cast<std::size_t>(dataStart);
    return CutSection(moduleType, section);
}

// An entry too short for the fields used (type, address, offset and size
// end at byte 24) is refused; of a longer one those fields are used.
//
// Each image's section headers lie in the package, so a package holds at
// most one header per kMinSectionHeader bytes; reading more means images
// share one table, and a crafted package of many tiny images could make
// the build read it over and over. Such a package is refused.
bool CFWLoader::ReadSectionHeader(std::size_t imageBase, const ElfHeaderData& header, std::uint32_t index,
                                  ShdrData& section) {
    if (sectionHeadersRead_ >= headerBudget_) {
        LogError("<FWLoader>Error!!! Firmware file holds more section headers than it has room for!");
        return false;
    }
    ++sectionHeadersRead_;
    const std::uint64_t at = static_cast<std::uint64_t>(imageBase) + header.sectionHeaderOffset +
                             static_cast<std::uint64_t>(index) * header.sectionHeaderSize;
    if (at > package_.size()) return false;  // the seek fails
    if (header.sectionHeaderSize < kMinSectionHeader || at + header.sectionHeaderSize > package_.size()) {
        LogError("<FWLoader>Error!!! Error reading section header");
        return false;
    }
    const std::uint8_t* entry = package_.data() + at;
    section.type = GetBe32(entry + 4);
    section.address = GetBe32(entry + 12);
    section.offset = GetBe32(entry + 16);
    section.size = GetBe32(entry + 20);
    position_ = static_cast<std::size_t>(at + header.sectionHeaderSize);
    return true;
}

// Cuts the section, read from position_, into chunks of at most 1024 bytes;
// MAC data of the interrupt-vector window gets chunks of its own, and the
// section's end is padded to a whole word.
bool CFWLoader::CutSection(std::uint32_t moduleType, const ShdrData& section) {
    if (section.size == 0) return true;
    std::uint64_t consumed = 0;
    std::size_t remaining = section.size;
    while (remaining > 0) {
        std::size_t block = std::min(kBlockSize, remaining);
        remaining -= block;
        const bool lastBlock = remaining == 0;
        while (block > 0) {
            std::size_t piece = block;
            std::uint32_t vector = 0;
            const std::uint64_t here = section.address + consumed;
            if (moduleType == MAC_MODULE && here >= kVectorWindowStart && here < kVectorWindowEnd) {
                // A block that ends inside the window is cut at its own end.
                piece = std::min<std::size_t>(block, static_cast<std::size_t>(kVectorWindowEnd - here));
                vector = 1;
            } else if (moduleType == MAC_MODULE && here < kVectorWindowStart && here + piece > kVectorWindowStart) {
                piece = static_cast<std::size_t>(kVectorWindowStart - here);
            }
            block -= piece;
            std::size_t length = piece;
            if (lastBlock && block == 0 && piece % 4 != 0) length += 4 - piece % 4;
            // Adapted (and checked against its memory) for every chunk, on
            // the section's start address.
            const std::uint32_t base = AdaptPhysicalAddress(moduleType, section.address);
            if (base == 0) {
                LogError("<FWLoader>Error!!! Couldn't adapt Physical Address!");
                return false;
            }
            // The chip's addresses are 32 bits: a chunk past their end would
            // wrap around to address 0.
            if (base + consumed + length > kAddressSpaceEnd) {
                LogError("<FWLoader>Error!!! Section runs past the end of the chip's address space!");
                return false;
            }
            const auto address = static_cast<std::uint32_t>(base + consumed);
            if (!AddChunk(moduleType, address, piece, length, vector)) return false;
            consumed += length;
        }
    }
    return true;
}

bool CFWLoader::ProcessAsipModule(const asipHeader& header) {
    if (!AsipAddressInWindow(header)) {
        LogError("<FWLoader>Error!!! ASIP address is out of memory section!");
        return false;
    }
    // A width of 0 would cut nothing and never end.
    if (header.instructionWidth > kMaxInstructionWidth || header.instructionWidth == 0) {
        LogError("<FWLoader>Error!!! Processing data for ASIP module insruction");
        return false;
    }
    // Each instruction takes a slot of 64 bytes, so the slots written reach
    // further than the data length: 32 bytes of width 16 ending at the
    // window's end would put the second instruction 48 bytes past it, into
    // memory that is not this ASIP's. The slots must lie in the window too.
    const std::uint64_t instructions = (header.dataLength + header.instructionWidth - 1) / header.instructionWidth;
    const std::uint64_t lastPiece = header.dataLength - (instructions == 0 ? 0 : (instructions - 1) * header.instructionWidth);
    const std::uint64_t footprint = instructions == 0 ? 0 : (instructions - 1) * kAsipSlot + lastPiece;
    if (static_cast<std::uint64_t>(header.loadAddress) + footprint > kAsipWindows[header.asipType - 1].end) {
        LogError("<FWLoader>Error!!! ASIP address is out of memory section!");
        return false;
    }
    if (header.dataLength > package_.size() - position_) {
        LogError("<FWLoader>Error!!! ASIP data runs past the end of the file!");
        return false;
    }
    std::uint64_t slot = 0;
    for (std::size_t remaining = header.dataLength; remaining > 0; slot += kAsipSlot) {
        const std::size_t piece = std::min<std::size_t>(header.instructionWidth, remaining);
        if (!AddChunk(ASIP_MODULE, static_cast<std::uint32_t>(header.loadAddress + slot), piece, piece, 0)) {
            return false;
        }
        remaining -= piece;
    }
    return true;
}

bool CFWLoader::AsipAddressInWindow(const asipHeader& header) const {
    if (header.asipType < 1 || header.asipType > 4) {
        LogError("<FWLoader>Error!!! Unknown ASIP Type");
        return false;
    }
    const AsipWindow& window = kAsipWindows[header.asipType - 1];
    return header.loadAddress >= window.start &&
           static_cast<std::uint64_t>(header.loadAddress) + header.dataLength <= window.end;
}

// Takes `dataBytes` from position_ into a new zero-filled chunk of `length`.
bool CFWLoader::AddChunk(std::uint32_t moduleType, std::uint32_t address, std::size_t dataBytes, std::size_t length,
                         std::uint32_t vector) {
    const std::size_t cost = length + kChunkBookkeeping;
    if (cost > budget_) {
        LogError("<FWLoader>Error!!! Firmware file describes more data than it holds!");
        return false;
    }
    budget_ -= cost;
    ChunkDescriptor chunk;
    chunk.moduleType = moduleType;
    chunk.address = address;
    chunk.length = static_cast<std::uint16_t>(length);
    chunk.isInterruptVector = vector;
    chunk.data.assign(length, 0);
    const auto from = package_.begin() + static_cast<std::ptrdiff_t>(position_);
    std::copy(from, from + static_cast<std::ptrdiff_t>(dataBytes), chunk.data.begin());
    position_ += dataBytes;
    chunks_.push_back(std::move(chunk));
    return true;
}

std::uint32_t CFWLoader::AdaptPhysicalAddress(std::uint32_t moduleType, std::uint32_t address) {
    if (moduleType == PHY_MODULE) {
        const std::uint32_t physical = (address & 0xBF0FFFFFu) | 0x00540000u;
        if (physical < kPhyMemoryStart || physical > kPhyMemoryEnd) {
            LogError("<FWLoader>Error!!! Chunk is out the PHY Memory Section!");
        }
        return physical;
    }
    if (moduleType == MAC_MODULE) {
        if (address < kMacMemoryStart || address > kMacMemoryEnd) {
            LogError("<FWLoader>Error!!! Chunk is out the MAC Memory Section!");
        }
        return address;
    }
    LogError("<FWLoader>Error!!! Unknown Module Type");
    return 0;
}

// ---------------------------------------------------------------- the chip

bool CFWLoader::LoadChunks(std::uint32_t vectorMark, std::uint32_t moduleType, bool verify) {
    const std::uint64_t total = BytesOfKind(vectorMark, moduleType);
    std::uint64_t done = 0;
    for (const ChunkDescriptor& chunk : chunks_) {
        if (chunk.moduleType != moduleType || chunk.isInterruptVector != vectorMark) continue;
        if (traffic_ == nullptr || !traffic_->WriteBuffer(chunk.address, chunk.data.data(), chunk.length)) {
            return false;
        }
        if (verify && !VerifyChunk(chunk)) return false;
        done += chunk.length;
        if (!Report(LoadStage(moduleType), done, total)) return false;
        if (verify && !Report("verify", done, total)) return false;
    }
    return true;
}

bool CFWLoader::VerifyChunk(const ChunkDescriptor& chunk) {
    if (traffic_ == nullptr) return false;
    for (std::size_t offset = 0; offset < chunk.length; offset += kVerifyPiece) {
        const std::size_t piece = std::min<std::size_t>(kVerifyPiece, chunk.length - offset);
        if (!traffic_->ReadBuffer(static_cast<std::uint32_t>(chunk.address + offset),
                                  static_cast<std::uint16_t>(piece))) {
            return false;
        }
        const TrafficManager::ResponseBuffer response = traffic_->GetResponseBuffer();
        if (!std::equal(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(piece),
                        chunk.data.begin() + static_cast<std::ptrdiff_t>(offset))) {
            return false;
        }
    }
    return true;
}

// The MAC data of the interrupt-vector window, as one piece: the boot ROM
// copies the staged bytes to the window's start. Sections that each reach
// into the window give several chunks; they are merged in address order (a
// later chunk over an earlier one where they overlap), counted from the
// window's start, with zeros where no chunk lies, so that every byte of the
// image lands at its own address.
std::vector<std::uint8_t> CFWLoader::InterruptVectorData() const {
    std::vector<const ChunkDescriptor*> pieces;
    for (const ChunkDescriptor& chunk : chunks_) {
        if (chunk.isInterruptVector == 1) pieces.push_back(&chunk);
    }
    if (pieces.empty()) return {};
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const ChunkDescriptor* a, const ChunkDescriptor* b) { return a->address < b->address; });
    // Vector chunks are cut only from inside the window.
    const std::uint32_t start = kVectorWindowStart;
    std::uint64_t end = start;
    for (const ChunkDescriptor* chunk : pieces) end = std::max<std::uint64_t>(end, chunk->address + chunk->length);
    // The window is 63 bytes, and pieces start inside it: a gap past the
    // staging area's size is refused below, never allocated.
    std::vector<std::uint8_t> data(static_cast<std::size_t>(std::min<std::uint64_t>(end - start, kUnusedMacCapacity + 1)));
    for (const ChunkDescriptor* chunk : pieces) {
        if (chunk->address < start) continue;
        const std::size_t offset = chunk->address - start;
        if (offset >= data.size()) continue;
        const std::size_t count = std::min<std::size_t>(chunk->length, data.size() - offset);
        std::copy_n(chunk->data.begin(), count, data.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return data;
}

bool CFWLoader::LoadInterruptVectorData() {
    const std::vector<std::uint8_t> staged = InterruptVectorData();
    return !staged.empty() && StageInUnusedMac(staged);
}

bool CFWLoader::StageInUnusedMac(const std::vector<std::uint8_t>& staged) {
    if (traffic_ == nullptr) return false;
    if (staged.size() > kUnusedMacCapacity) {
        LogError("<FWLoader>Error!!! Failed to load data into Mac Unused Memory section because Chunk size is bigger "
                 "then section size!");
        return false;
    }
    if (!traffic_->WriteWord(kUnusedMacSizeWord, static_cast<std::uint32_t>(staged.size()))) {
        LogError("<FWLoader>Error!!! Failed to load data into Mac Unused Memory section -couldn't set chunk size!");
        return false;
    }
    if (!traffic_->WriteBuffer(kUnusedMacData, staged.data(), staged.size())) {
        LogError("<FWLoader>Error!!! Failed to load data into Mac Unused Memory section -couldn't Load chunk code!");
        return false;
    }
    return true;
}

bool CFWLoader::PrepareAsipLoad() {
    return traffic_ != nullptr && traffic_->WriteWord(kAsipControlWord, kAsipControlValue);
}

// The run command waits for the dispatcher's answer, so that a refused or
// lost run shows as a failure instead of a started firmware.
bool CFWLoader::RunFirmware() {
    if (traffic_ == nullptr) return false;
    traffic_->SetInternalOperation(true);
    const bool sent = traffic_->CommandPipe(kRunCommandType, kRunParameter);
    traffic_->SetInternalOperation(false);
    return sent;
}

std::uint64_t CFWLoader::BytesOfKind(std::uint32_t vectorMark, std::uint32_t moduleType) const {
    std::uint64_t total = 0;
    for (const ChunkDescriptor& chunk : chunks_) {
        if (chunk.moduleType == moduleType && chunk.isInterruptVector == vectorMark) total += chunk.length;
    }
    return total;
}

bool CFWLoader::Report(const char* stage, std::uint64_t done, std::uint64_t total) const {
    return !progress_ || progress_(stage, done, total);
}
