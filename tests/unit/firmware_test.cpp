// Firmware packages: cutting into chunks (window, padding, blocks, ASIP
// slots, address adaptation), hostile and truncated packages, the load
// sequence with its fixed order and the failure of each step, read-back
// mismatches, and the version report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cfwloader.h"
#include "consoleapplogic.h"
#include "consolelogger.h"
#include "fakedispatcher.h"
#include "firmwarebuilder.h"
#include "testsupport.h"
#include "trafficmanager.h"

namespace {

using fwbuild::Bytes;
using fwbuild::Elf;
using fwbuild::Package;
using fwbuild::Pattern;
using fwbuild::Section;

AppCollaborators OnlyTransport() {
    AppCollaborators only;
    only.eepromInterface = only.structAccess = only.appAdapter = only.evtAdapter = false;
    return only;
}

// The chip behind the fake dispatcher: byte memory, word reads as text,
// "OK" for the rest. Commands the test refuses stay unanswered; one
// read-back can be spoiled.
class MemoryChip {
public:
    using Match = std::function<bool(const NativeCommand_t&)>;

    // The dispatcher must go before the chip: its thread calls in here.
    void Attach(fake::Dispatcher& dispatcher) {
        dispatcher.SetResponder([this](const fake::ReceivedCommand& received) { return Answer(received); });
    }
    void Refuse(Match match) {
        std::lock_guard<std::mutex> guard(lock_);
        refuse_ = std::move(match);
    }
    void CorruptRead(int number) {
        std::lock_guard<std::mutex> guard(lock_);
        corruptRead_ = number;
    }
    void Poke(std::uint32_t address, const Bytes& bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::size_t i = 0; i < bytes.size(); ++i) memory_[address + static_cast<std::uint32_t>(i)] = bytes[i];
    }
    Bytes Peek(std::uint32_t address, std::size_t length) {
        std::lock_guard<std::mutex> guard(lock_);
        return Read(address, length);
    }

private:
    Bytes Read(std::uint32_t address, std::size_t length) const {
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) {
            const auto found = memory_.find(address + static_cast<std::uint32_t>(i));
            bytes[i] = found == memory_.end() ? 0 : found->second;
        }
        return bytes;
    }
    std::vector<ConsoleEventPacket_t> Answer(const fake::ReceivedCommand& received) {
        const NativeCommand_t& command = received.command;
        std::lock_guard<std::mutex> guard(lock_);
        if (command.Type == NATIVE_SYSTEM_COMMAND || (refuse_ && refuse_(command))) return {};
        Bytes data{'O', 'K'};
        switch (command.Type) {
            case NATIVE_WRITE_BUFFER:
                for (std::size_t i = 0; i < command.Length; ++i) memory_[command.Address + static_cast<std::uint32_t>(i)] = command.Data[i];
                break;
            case NATIVE_WRITE_WORD:
                for (std::uint32_t i = 0; i < 4; ++i) memory_[command.Address + i] = command.Data[3 - i];
                break;
            case NATIVE_READ_BUFFER:
                data = Read(command.Address, command.Length);
                if (++reads_ == corruptRead_) data[0] ^= 0xFF;
                break;
            case NATIVE_READ_WORD: data = {'0', 'x', '0', 0}; break;
            default: break;
        }
        return {fake::MakeEvent(received.number, data)};
    }

    std::mutex lock_;
    std::map<std::uint32_t, std::uint8_t> memory_;
    Match refuse_;
    int reads_ = 0;
    int corruptRead_ = 0;
};

struct Chunk {
    std::uint32_t type;
    std::uint32_t address;
    std::uint16_t length;
    std::uint32_t vector;
    Bytes data = {};  // checked when given
};

struct BuildCase {
    const char* name;
    Bytes package;
    bool builds;
    std::vector<Chunk> chunks;
    std::vector<std::string> messages;  // log lines that must appear
};

Bytes Padded(Bytes bytes, std::size_t length) {
    bytes.resize(length, 0);
    return bytes;
}
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

Bytes MacWith(std::vector<Section> sections, const fwbuild::ElfKnobs& knobs = {}) {
    return Package().Mac(Elf(sections, knobs)).Contents();
}

const std::string kSectionFailed = "<FWLoader>Error!!! Fail to process ELF Data section!";
const std::string kHeaderFailed = "<FWLoader>Error!!! Failed to read section header data from stream!";
const std::string kAsipOutside = "<FWLoader>Error!!! ASIP address is out of memory section!";
const std::string kAsipWidth = "<FWLoader>Error!!! Processing data for ASIP module insruction";

std::vector<BuildCase> BuildCases() {
    const Bytes hundred = Pattern(100);
    const Bytes big = Pattern(2502, 9);
    const Bytes asip = Pattern(25, 3);
    std::vector<BuildCase> cases;
    cases.push_back({"MAC section across the interrupt-vector window",
                     MacWith({{fwbuild::kProgramData, 0xBFC00260, hundred}}), true,
                     {{MAC_MODULE, 0xBFC00260, 32, 0, Slice(hundred, 0, 32)},
                      {MAC_MODULE, 0xBFC00280, 63, 1, Slice(hundred, 32, 63)},
                      {MAC_MODULE, 0xBFC002BF, 8, 0, Padded(Slice(hundred, 95, 5), 8)}},
                     {}});
    cases.push_back({"window inside a first block: only the section's end is padded",
                     MacWith({{fwbuild::kProgramData, 0xBFC00260, Pattern(1100)}}), true,
                     {{MAC_MODULE, 0xBFC00260, 32, 0}, {MAC_MODULE, 0xBFC00280, 63, 1}, {MAC_MODULE, 0xBFC002BF, 929, 0},
                      {MAC_MODULE, 0xBFC00660, 76, 0, Slice(Pattern(1100), 1024, 76)}},
                     {}});
    cases.push_back({"MAC section past the end of the address space",
                     MacWith({{fwbuild::kProgramData, 0xFFFFFFF0, Pattern(32)}}), false, {},
                     {"<FWLoader>Error!!! Section runs past the end of the chip's address space!"}});
    cases.push_back({"section ending inside the window is cut at its end",
                     MacWith({{fwbuild::kProgramData, 0xBFC00290, Pattern(14)}}), true,
                     {{MAC_MODULE, 0xBFC00290, 16, 1, Padded(Pattern(14), 16)}}, {}});
    cases.push_back({"PHY addresses adapted, outside PHY memory only reported",
                     Package().Phy(Elf({{fwbuild::kProgramData, 0xBF001000, Pattern(8)},
                                        {fwbuild::kProgramData, 0x00001000, Pattern(4)}}))
                         .Contents(),
                     true, {{PHY_MODULE, 0xBF541000, 8, 0}, {PHY_MODULE, 0x00541000, 4, 0}},
                     {"<FWLoader>Error!!! Chunk is out the PHY Memory Section!"}});
    cases.push_back({"2500 bytes in blocks of 1024",
                     MacWith({{fwbuild::kProgramData, 0xBFC01000, Pattern(2500)}}), true,
                     {{MAC_MODULE, 0xBFC01000, 1024, 0}, {MAC_MODULE, 0xBFC01400, 1024, 0}, {MAC_MODULE, 0xBFC01800, 452, 0}},
                     {}});
    cases.push_back({"2502 bytes padded to a whole word",
                     MacWith({{fwbuild::kProgramData, 0xBFC01000, big}}), true,
                     {{MAC_MODULE, 0xBFC01000, 1024, 0, Slice(big, 0, 1024)},
                      {MAC_MODULE, 0xBFC01400, 1024, 0, Slice(big, 1024, 1024)},
                      {MAC_MODULE, 0xBFC01800, 456, 0, Padded(Slice(big, 2048, 454), 456)}},
                     {}});
    cases.push_back({"ASIP instructions in 64-byte slots",
                     Package().Asip({1, 10, 0xBF3C0000, asip}).Contents(), true,
                     {{ASIP_MODULE, 0xBF3C0000, 10, 0, Slice(asip, 0, 10)},
                      {ASIP_MODULE, 0xBF3C0040, 10, 0, Slice(asip, 10, 10)},
                      {ASIP_MODULE, 0xBF3C0080, 5, 0, Slice(asip, 20, 5)}},
                     {}});
    cases.push_back({"no-data section and the symbol table give no chunk",
                     MacWith({{fwbuild::kNoData, 0xBFC12400, {}, 0x100}, {fwbuild::kProgramData, 0xBFC12000, Pattern(4)}}),
                     true, {{MAC_MODULE, 0xBFC12000, 4, 0}}, {}});
    cases.push_back({"CR LF header lines read the same values",
                     Package(true).Asip({2, 16, 0xBF3A0000, Pattern(16)}).Mac(Elf({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}})).Contents(),
                     true, {{ASIP_MODULE, 0xBF3A0000, 16, 0}, {MAC_MODULE, 0xBFC00000, 4, 0}}, {}});
    fwbuild::ElfKnobs wideEntries;
    wideEntries.sectionHeaderSize = 64;
    cases.push_back({"section header entries above 40 bytes",
                     MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(8)}}, wideEntries), true,
                     {{MAC_MODULE, 0xBFC00000, 8, 0}}, {}});
    fwbuild::ElfKnobs shortestEntries;
    shortestEntries.sectionHeaderSize = 24;  // still holds type, address, offset and size
    cases.push_back({"section header entries of 24 bytes",
                     MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(8)}}, shortestEntries), true,
                     {{MAC_MODULE, 0xBFC00000, 8, 0}}, {}});
    cases.push_back({"preamble only", Package().Contents(), true, {}, {}});
    // Data that ends exactly where the package ends is whole.
    Bytes asipAtEnd = Package().Asip({1, 16, 0xBF3C0000, Pattern(16)}).Contents();
    asipAtEnd.pop_back();
    cases.push_back({"ASIP data ending at the package's end", asipAtEnd, true, {{ASIP_MODULE, 0xBF3C0000, 16, 0}}, {}});
    Bytes asipPastEnd = Package().Asip({1, 16, 0xBF3C0000, Pattern(16), 17}).Contents();
    asipPastEnd.pop_back();
    cases.push_back({"ASIP data one byte past the package's end", asipPastEnd, false, {},
                     {"<FWLoader>Error!!! ASIP data runs past the end of the file!"}});
    // The image is the package's last bytes but one (its line feed): a
    // section of 4 bytes at elf.size() - 3 ends exactly at the package's end.
    const std::size_t elfSize = Elf({{fwbuild::kProgramData, 0xBFC01000, Pattern(8)}}).size();
    for (const std::size_t past : {std::size_t{0}, std::size_t{1}}) {
        fwbuild::ElfKnobs atEnd;
        atEnd.firstSectionOffset = static_cast<long long>(elfSize - 3 + past);
        atEnd.firstSectionSize = 4;
        cases.push_back({past == 0 ? "section data ending at the package's end" : "section data one byte past it",
                         MacWith({{fwbuild::kProgramData, 0xBFC01000, Pattern(8)}}, atEnd), past == 0,
                         past == 0 ? std::vector<Chunk>{{MAC_MODULE, 0xBFC01000, 4, 0}} : std::vector<Chunk>{},
                         past == 0 ? std::vector<std::string>{}
                                   : std::vector<std::string>{"<FWLoader>Error!!! Error seeking section data!"}});
    }
    // An ASIP instruction takes a 64-byte slot: two of width 16 reach 80
    // bytes from the load address, and must end inside the window. (32 bytes
    // ending at the window's end would pass a check on the length alone.)
    cases.push_back({"ASIP slots ending at the window's end", Package().Asip({1, 16, 0xBF3E0000 - 80, Pattern(32)}).Contents(),
                     true, {{ASIP_MODULE, 0xBF3E0000 - 80, 16, 0}, {ASIP_MODULE, 0xBF3E0000 - 16, 16, 0}}, {}});
    cases.push_back({"ASIP slots one byte past the window", Package().Asip({1, 16, 0xBF3E0000 - 79, Pattern(32)}).Contents(),
                     false, {}, {kAsipOutside}});
    cases.push_back({"ASIP data ending at the window's end, its slots past it",
                     Package().Asip({1, 16, 0xBF3E0000 - 32, Pattern(32)}).Contents(), false, {}, {kAsipOutside}});
    cases.push_back({"MAC section outside MAC memory is loaded with a message",
                     MacWith({{fwbuild::kProgramData, 0xBFD00000, Pattern(4)}}), true, {{MAC_MODULE, 0xBFD00000, 4, 0}},
                     {"<FWLoader>Error!!! Chunk is out the MAC Memory Section!"}});

    // Refused packages.
    const std::string noPreamble = "no preamble here\nMAC HEADER\n";
    cases.push_back({"no QUORIL line", Bytes(noPreamble.begin(), noPreamble.end()), false, {}, {}});
    cases.push_back({"stream ends inside a block header", Package().Text("MAC HEADER\n---\n").Contents(), false, {}, {}});
    cases.push_back({"value line without a colon", Package().Text("ASIP HEADER\na\nb\nc\n1\n").Contents(), false, {}, {}});
    cases.push_back({"wrong ELF magic", Package().Mac(Bytes(60, 'x')).Contents(), false, {},
                     {"<FWLoader>Error!!! Not an ELF file - Wrong Magic bytes!"}});
    fwbuild::ElfKnobs shortHeader;
    shortHeader.cutAt = 20;
    cases.push_back({"ELF header cut short", Package().Text("MAC HEADER\n-\nSize: 20\n-\n").Text(std::string(reinterpret_cast<const char*>(Elf({}, shortHeader).data()), 20)).Contents(),
                     false, {}, {"<FWLoader>Error!!! ELF header is cut short by the end of the file!"}});
    fwbuild::ElfKnobs farTable;
    farTable.sectionHeaderOffset = 0x7FFFFFF0;
    cases.push_back({"section header table past the end", MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}}, farTable),
                     false, {}, {kHeaderFailed, kSectionFailed}});
    fwbuild::ElfKnobs hugeCount;
    hugeCount.sectionHeaderCount = 0xFFFF;
    cases.push_back({"huge section count", MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}}, hugeCount), false,
                     {}, {"<FWLoader>Error!!! Error reading section header", kHeaderFailed, kSectionFailed}});
    fwbuild::ElfKnobs narrowEntries;
    narrowEntries.sectionHeaderSize = 20;
    cases.push_back({"section header entries too small", MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}}, narrowEntries),
                     false, {}, {"<FWLoader>Error!!! Error reading section header", kHeaderFailed, kSectionFailed}});
    fwbuild::ElfKnobs farData;
    farData.firstSectionOffset = 0xFFFFFF00;
    cases.push_back({"section data past the end", MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}}, farData), false,
                     {}, {"<FWLoader>Error!!! Error seeking section data!", kSectionFailed}});
    fwbuild::ElfKnobs hugeSize;
    hugeSize.firstSectionSize = 0xFFFFFFFF;
    cases.push_back({"section size past the end", MacWith({{fwbuild::kProgramData, 0xBFC00000, Pattern(4)}}, hugeSize), false,
                     {}, {"<FWLoader>Error!!! Error seeking section data!", kSectionFailed}});
    std::vector<Section> sameData(2000, Section{fwbuild::kProgramData, 0xBFC00000, {}});
    Bytes overlapping = Elf(sameData);
    // Every section claims the same 64 KiB that follow the header.
    Bytes bulk = Pattern(65536);
    overlapping.insert(overlapping.begin() + 52, bulk.begin(), bulk.end());
    const std::uint32_t table = static_cast<std::uint32_t>(52 + bulk.size());
    fwbuild::PutBe(overlapping, 32, table, 4);
    for (std::size_t i = 1; i <= sameData.size(); ++i) {
        fwbuild::PutBe(overlapping, table + i * 40 + 16, 52, 4);
        fwbuild::PutBe(overlapping, table + i * 40 + 20, bulk.size(), 4);
    }
    cases.push_back({"sections sharing their data cannot multiply it", Package().Mac(overlapping).Contents(), false, {},
                     {"<FWLoader>Error!!! Firmware file describes more data than it holds!", kSectionFailed}});
    cases.push_back({"MAC section at address 0", MacWith({{fwbuild::kProgramData, 0, Pattern(4)}}), false, {},
                     {"<FWLoader>Error!!! Chunk is out the MAC Memory Section!",
                      "<FWLoader>Error!!! Couldn't adapt Physical Address!", kSectionFailed}});
    cases.push_back({"ASIP width 0", Package().Asip({1, 0, 0xBF3C0000, Pattern(8)}).Contents(), false, {}, {kAsipWidth}});
    cases.push_back({"ASIP width 65", Package().Asip({1, 65, 0xBF3C0000, Pattern(65)}).Contents(), false, {}, {kAsipWidth}});
    cases.push_back({"ASIP type 5", Package().Asip({5, 16, 0xBF3C0000, Pattern(16)}).Contents(), false, {},
                     {"<FWLoader>Error!!! Unknown ASIP Type", kAsipOutside}});
    cases.push_back({"ASIP block past its window", Package().Asip({4, 64, 0xBF4C9FC0, Pattern(128)}).Contents(), false, {},
                     {kAsipOutside}});
    cases.push_back({"ASIP slots past the window", Package().Asip({3, 1, 0xBF380000, Pattern(1000)}).Contents(), false, {},
                     {kAsipOutside}});
    cases.push_back({"ASIP length past the end of the file",
                     Package().Asip({1, 64, 0xBF3C0000, Pattern(16), 0x10000}).Contents(), false, {},
                     {"<FWLoader>Error!!! ASIP data runs past the end of the file!"}});
    return cases;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConsoleLogger::DestroyInstance();
        chip_.Attach(dispatcher_);
        listenPort_ = fake::FreeTcpPort();
        traffic_ = std::make_unique<TrafficManager>(&owner_, dispatcher_.CommandPort(), "127.0.0.1", listenPort_);
        ASSERT_TRUE(dispatcher_.Connect(listenPort_));
    }
    void TearDown() override {
        traffic_.reset();
        ConsoleLogger::DestroyInstance();
    }
    std::string Write(const Bytes& package) {
        return dir_.Write("package" + std::to_string(++files_) + ".fwp", std::string(package.begin(), package.end()));
    }

    testsupport::IsolatedRoot root_;
    testsupport::TempDir dir_;
    MemoryChip chip_;
    fake::Dispatcher dispatcher_;
    NoExternalOwner owner_;
    std::uint16_t listenPort_ = 0;
    std::unique_ptr<TrafficManager> traffic_;
    int files_ = 0;
};

TEST_F(LoaderTest, PackagesCutIntoChunksOrRefused) {
    for (const BuildCase& test : BuildCases()) {
        SCOPED_TRACE(test.name);
        const testsupport::LogTail log;
        CFWLoader loader(Write(test.package), traffic_.get());
        EXPECT_EQ(loader.BuildChunkDataBase(), test.builds);
        for (const std::string& message : test.messages) EXPECT_TRUE(log.Has(message)) << message;
        if (!test.builds) continue;
        const std::vector<ChunkDescriptor>& chunks = loader.Chunks();
        ASSERT_EQ(chunks.size(), test.chunks.size());
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(chunks[i].moduleType, test.chunks[i].type);
            EXPECT_EQ(chunks[i].address, test.chunks[i].address);
            EXPECT_EQ(chunks[i].length, test.chunks[i].length);
            EXPECT_EQ(chunks[i].data.size(), chunks[i].length);
            EXPECT_EQ(chunks[i].isInterruptVector, test.chunks[i].vector);
            if (!test.chunks[i].data.empty()) {
                EXPECT_EQ(chunks[i].data, test.chunks[i].data);
            }
        }
    }
    EXPECT_TRUE(dispatcher_.Commands().empty()) << "building never talks to the chip";
}

TEST_F(LoaderTest, UnusablePackagesAndMissingTrafficManager) {
    const testsupport::LogTail log;
    CFWLoader missing(dir_.File("absent.fwp"), traffic_.get());
    EXPECT_FALSE(missing.BuildChunkDataBase());
    EXPECT_TRUE(log.Has("<FWLoader>Error!!! Couldn't open Firmware file for loading firmware software!!!!"));
    // A package of the largest size is read; one byte more is refused.
    const std::string huge = dir_.File("huge.fwp");
    std::filesystem::copy_file(Write(Package().Contents()), huge);
    std::filesystem::resize_file(huge, CFWLoader::kMaxPackageSize);
    CFWLoader largest(huge, traffic_.get());
    EXPECT_TRUE(largest.BuildChunkDataBase());
    EXPECT_FALSE(log.Has("larger than 64 MiB"));
    std::filesystem::resize_file(huge, CFWLoader::kMaxPackageSize + 1);
    CFWLoader tooLarge(huge, traffic_.get());
    EXPECT_FALSE(tooLarge.BuildChunkDataBase());
    EXPECT_TRUE(log.Has("<FWLoader>Error!!! Firmware file is larger than 64 MiB!"));
    CFWLoader orphan(Write(Package().Contents()), nullptr);
    EXPECT_FALSE(orphan.BuildChunkDataBase());
    EXPECT_TRUE(log.Has("<FWLoader>Error!!! Traffic Manager wasn't Initialized"));
}

// A package whose many small images all point at one shared table of
// section headers would have the build read that table once per image. The
// work is bounded by the package's size: such a package is refused after
// reading at most one header per 24 bytes of it (plus a small allowance).
Bytes SharedSectionTablePackage(std::size_t images, std::size_t headers) {
    constexpr std::size_t kEntry = 24;
    Package package;
    std::vector<std::size_t> imageBases;
    for (std::size_t i = 0; i < images; ++i) {
        package.Text("MAC HEADER\n-\nImage Size: 52\n-\n");
        imageBases.push_back(package.Contents().size());
        package.Text(std::string(52, '\0')).Text("\n");
    }
    Bytes bytes = package.Contents();
    const std::size_t table = bytes.size();
    bytes.resize(table + headers * kEntry, 0);
    // The last entry is data of no bytes right after each image's header, so
    // that the search for the next block goes on from there.
    fwbuild::PutBe(bytes, table + (headers - 1) * kEntry + 4, fwbuild::kProgramData, 4);
    fwbuild::PutBe(bytes, table + (headers - 1) * kEntry + 12, 0xBFC01000, 4);
    fwbuild::PutBe(bytes, table + (headers - 1) * kEntry + 16, 52, 4);
    for (const std::size_t base : imageBases) {
        const Bytes magic = {0x7F, 'E', 'L', 'F'};
        std::copy(magic.begin(), magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(base));
        fwbuild::PutBe(bytes, base + 32, table - base, 4);
        fwbuild::PutBe(bytes, base + 46, kEntry, 2);
        fwbuild::PutBe(bytes, base + 48, headers, 2);
    }
    return bytes;
}

TEST_F(LoaderTest, WorkIsBoundedByThePackagesSize) {
    struct Case {
        std::size_t images, headers;
        bool builds;
    };
    // Two images sharing a small table read it twice within the allowance;
    // thousands sharing the largest table are refused early.
    for (const Case& c : {Case{2, 100, true}, Case{4000, 0xFFFF, false}}) {
        SCOPED_TRACE(c.images);
        const testsupport::LogTail log;
        const Bytes package = SharedSectionTablePackage(c.images, c.headers);
        CFWLoader loader(Write(package), traffic_.get());
        EXPECT_EQ(c.builds, loader.BuildChunkDataBase());
        EXPECT_LE(loader.SectionHeadersRead(),
                  package.size() / CFWLoader::kMinSectionHeader + CFWLoader::kHeaderBudgetBase);
        EXPECT_EQ(!c.builds, log.Has("<FWLoader>Error!!! Firmware file holds more section headers than it has room for!"));
        if (c.builds) {
            EXPECT_EQ(c.images * c.headers, loader.SectionHeadersRead());
        }
    }
}

// The memory check is made per chunk, on the section's address, as each
// chunk is cut: a section of three chunks outside its memory says so three
// times.
TEST_F(LoaderTest, OutsideItsMemoryEachChunkSaysSo) {
    const testsupport::LogTail log;
    CFWLoader loader(Write(Package().Phy(Elf({{fwbuild::kProgramData, 0x00001000, Pattern(2500)}})).Contents()),
                     traffic_.get());
    ASSERT_TRUE(loader.BuildChunkDataBase());
    ASSERT_EQ(3u, loader.Chunks().size());
    const std::string text = log.Text();
    const std::string message = "<FWLoader>Error!!! Chunk is out the PHY Memory Section!";
    std::size_t count = 0;
    for (std::size_t at = text.find(message); at != std::string::npos; at = text.find(message, at + 1)) ++count;
    EXPECT_EQ(3u, count);
}

TEST_F(LoaderTest, KindWithoutChunksAndMissingVectorData) {
    CFWLoader loader(Write(MacWith({{fwbuild::kProgramData, 0xBFC01000, Pattern(8)}})), traffic_.get());
    ASSERT_TRUE(loader.BuildChunkDataBase());
    traffic_->SetInternalOperation(true);
    EXPECT_TRUE(loader.LoadChunks(0, PHY_MODULE, true));
    EXPECT_TRUE(loader.LoadChunks(0, ASIP_MODULE, true));
    EXPECT_TRUE(dispatcher_.Commands().empty());
    EXPECT_FALSE(loader.LoadInterruptVectorData()) << "the image has nothing in the window";
    EXPECT_TRUE(dispatcher_.Commands().empty());
}

// The unused MAC memory takes exactly its capacity: that many bytes are
// staged with their count, one more is refused before anything is sent.
TEST_F(LoaderTest, StagingTakesTheUnusedMacCapacityAndNoMore) {
    CFWLoader loader(Write(MacWith({{fwbuild::kProgramData, 0xBFC01000, Pattern(8)}})), traffic_.get());
    traffic_->SetInternalOperation(true);
    const struct {
        std::size_t size;
        bool staged;
    } cases[] = {{CFWLoader::kUnusedMacCapacity, true}, {CFWLoader::kUnusedMacCapacity + 1, false}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.size);
        const testsupport::LogTail log;
        const std::size_t sentBefore = dispatcher_.Commands().size();
        const Bytes bytes = Pattern(test.size, 3);
        EXPECT_EQ(loader.StageInUnusedMac(bytes), test.staged);
        if (test.staged) {
            Bytes count(4);
            fwbuild::PutBe(count, 0, static_cast<std::uint32_t>(test.size), 4);
            EXPECT_EQ(chip_.Peek(CFWLoader::kUnusedMacSizeWord, 4), count);
            EXPECT_EQ(chip_.Peek(CFWLoader::kUnusedMacData, test.size), bytes);
        } else {
            EXPECT_TRUE(log.Has("<FWLoader>Error!!! Failed to load data into Mac Unused Memory section because Chunk "
                                "size is bigger then section size!"));
            EXPECT_EQ(dispatcher_.Commands().size(), sentBefore);
        }
    }
}

// ---------------------------------------------------------------- the load sequence

// MAC code across the window, MAC data, a PHY image and one ASIP block.
Bytes LoadablePackage() {
    return Package()
        .Mac(Elf({{fwbuild::kProgramData, 0xBFC00200, Pattern(0x100)},
                  {fwbuild::kProgramData, 0xBFC12000, Pattern(36, 5)},
                  {fwbuild::kNoData, 0xBFC12400, {}, 0x40}}))
        .Phy(Elf({{fwbuild::kProgramData, 0xBF000000, Pattern(64, 7)}}))
        .Asip({1, 16, 0xBF3C0000, Pattern(40, 11)})
        .Contents();
}

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        chip_.Attach(dispatcher_);
        listenPort_ = fake::FreeTcpPort();
        app_ = std::make_unique<ConsoleAppLogic>(dispatcher_.CommandPort(), "127.0.0.1", listenPort_, "", "", "",
                                                 OnlyTransport());
        ASSERT_TRUE(dispatcher_.Connect(listenPort_));
        app_->SetInternalCommandTimeout(200);
        const Bytes package = LoadablePackage();
        package_ = dir_.Write("load.fwp", std::string(package.begin(), package.end()));
    }
    // Index of the first command matching, or -1.
    int First(const std::function<bool(const NativeCommand_t&)>& match) {
        const std::vector<fake::ReceivedCommand> commands = dispatcher_.Commands();
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (match(commands[i].command)) return static_cast<int>(i);
        }
        return -1;
    }
    bool SetupSent(std::uint32_t speed) {
        return First([speed](const NativeCommand_t& c) {
                   return c.Type == NATIVE_SYSTEM_COMMAND && c.AdditionalParam == SYSTEM_SETUP_FIRST && c.Address == speed;
               }) >= 0;
    }
    std::size_t CountOf(std::uint16_t type) {
        const std::vector<fake::ReceivedCommand> commands = dispatcher_.Commands();
        return static_cast<std::size_t>(std::count_if(commands.begin(), commands.end(),
                                                      [type](const fake::ReceivedCommand& r) { return r.command.Type == type; }));
    }

    testsupport::IsolatedRoot root_;
    testsupport::TempDir dir_;
    MemoryChip chip_;
    fake::Dispatcher dispatcher_;
    std::uint16_t listenPort_ = 0;
    std::unique_ptr<ConsoleAppLogic> app_;
    std::string package_;
};

auto WriteTo(std::uint16_t type, std::uint32_t low, std::uint32_t high) {
    return [=](const NativeCommand_t& c) { return c.Type == type && c.Address >= low && c.Address < high; };
}

TEST_F(LoadTest, LoadsInTheFixedOrderAndStartsTheFirmware) {
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> progress;
    app_->SetProgressCallback(
        [](const char* stage, std::uint64_t done, std::uint64_t total, void* user) {
            (*static_cast<decltype(progress)*>(user))[stage] = {done, total};
        },
        &progress);
    ASSERT_EQ(app_->LoadFirmware(package_), 0) << app_->FailureMessage();

    const int steps[] = {
        First([](const NativeCommand_t& c) { return c.Type == NATIVE_SYSTEM_COMMAND && c.Address == 57600; }),
        First(WriteTo(NATIVE_WRITE_BUFFER, 0xBFC00000, 0xBFC23800)),
        First(WriteTo(NATIVE_WRITE_BUFFER, 0xBF540000, 0xBF55C000)),
        First(WriteTo(NATIVE_WRITE_WORD, 0xBF5E0000, 0xBF5E0001)),
        First(WriteTo(NATIVE_WRITE_BUFFER, 0xBF3C0000, 0xBF3E0000)),
        First(WriteTo(NATIVE_WRITE_WORD, 0xBFC23800, 0xBFC23801)),
        First(WriteTo(NATIVE_WRITE_BUFFER, 0xBFC23804, 0xBFC23805)),
        First([](const NativeCommand_t& c) { return c.Type == NATIVE_COMMAND_PIPE && c.Address == 0xBFC23800 && c.AdditionalParam == 1; }),
        First([](const NativeCommand_t& c) { return c.Type == NATIVE_SYSTEM_COMMAND && c.Address == 115200; }),
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_GE(steps[i], 0) << "step " << i;
        if (i > 0) {
            EXPECT_GT(steps[i], steps[i - 1]) << "step " << i;
        }
    }

    // What landed where: the window's 63 bytes are staged, not loaded.
    const Bytes code = Pattern(0x100);
    EXPECT_EQ(chip_.Peek(0xBFC00200, 0x80), Slice(code, 0, 0x80));
    EXPECT_EQ(chip_.Peek(0xBFC00280, 63), Bytes(63, 0));
    EXPECT_EQ(chip_.Peek(0xBFC002BF, 0x41), Slice(code, 0xBF, 0x41));
    EXPECT_EQ(chip_.Peek(0xBFC23800, 4), (Bytes{0, 0, 0, 63}));
    EXPECT_EQ(chip_.Peek(0xBFC23804, 63), Slice(code, 0x80, 63));
    EXPECT_EQ(chip_.Peek(0xBF540000, 64), Pattern(64, 7));
    EXPECT_EQ(chip_.Peek(0xBF3C0040, 16), Slice(Pattern(40, 11), 16, 16));
    EXPECT_EQ(chip_.Peek(0xBF5E0000, 4), (Bytes{0, 0, 0, 20}));

    // Two round trips per 16 bytes: MAC 0x80 + 0x44 + 36, PHY 64, ASIP 16+16+8.
    const std::size_t verifiedPieces = 8 + 5 + 3 + 4 + 3;
    EXPECT_EQ(CountOf(NATIVE_READ_BUFFER), verifiedPieces);
    EXPECT_EQ(CountOf(NATIVE_WRITE_BUFFER), verifiedPieces + 4) << "the staged 63 bytes are not read back";

    EXPECT_EQ(progress["load MAC"], (std::pair<std::uint64_t, std::uint64_t>{0x80 + 0x44 + 36, 0x80 + 0x44 + 36}));
    EXPECT_EQ(progress["load ASIP"], (std::pair<std::uint64_t, std::uint64_t>{40, 40}));
    EXPECT_EQ(progress["build"].first, progress["build"].second);
    EXPECT_EQ(progress.count("verify"), 1u);
}

struct StepFailure {
    const char* step;
    MemoryChip::Match refuse;  // the command the chip leaves unanswered
    std::string text;
};

TEST_F(LoadTest, EachFailingStepReturnsOneWithItsText) {
    const std::vector<StepFailure> failures = {
        {"MAC", WriteTo(NATIVE_WRITE_BUFFER, 0xBFC12000, 0xBFC12010), "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!"},
        {"PHY", WriteTo(NATIVE_READ_BUFFER, 0xBF540000, 0xBF55C000), "<ConsoleAppLogic>Error!!! Failed to Load PHY Firmware data!"},
        {"ASIP control", WriteTo(NATIVE_WRITE_WORD, 0xBF5E0000, 0xBF5E0001), "<ConsoleAppLogic>Error!!! Failed to Load ASIPs Firmware data!"},
        {"ASIP data", WriteTo(NATIVE_WRITE_BUFFER, 0xBF3C0080, 0xBF3C0081), "<ConsoleAppLogic>Error!!! Failed to Load ASIPs Firmware data!"},
        {"vector staging", WriteTo(NATIVE_WRITE_BUFFER, 0xBFC23804, 0xBFC23805),
         "<ConsoleAppLogic>Error!!! Failed to Load MAC data that should be loaded to the BootRom's Interrupt Vector #2 section!"},
        {"run", WriteTo(NATIVE_COMMAND_PIPE, 0, 0xFFFFFFFF), "<ConsoleAppLogic>Error!!! Failed to run the Firmware after code was loaded!"},
    };
    for (const StepFailure& failure : failures) {
        SCOPED_TRACE(failure.step);
        const testsupport::LogTail log;
        const std::size_t before = dispatcher_.Commands().size();
        chip_.Refuse(failure.refuse);
        EXPECT_EQ(app_->LoadFirmware(package_), 1);
        EXPECT_EQ(std::string(app_->FailureMessage()), failure.text);
        const std::string text = log.Text();
        const std::size_t at = text.find(failure.text);
        EXPECT_NE(at, std::string::npos);
        EXPECT_EQ(text.find(failure.text, at + 1), std::string::npos) << "logged once";
        // Nothing follows the refused command, and the link stays in the load set-up.
        const std::vector<fake::ReceivedCommand> commands = dispatcher_.Commands();
        ASSERT_GT(commands.size(), before);
        EXPECT_TRUE(failure.refuse(commands.back().command));
        EXPECT_FALSE(SetupSent(115200));
        EXPECT_FALSE(app_->GetTrafficManager()->InternalOperation());
    }
    chip_.Refuse(nullptr);
    const testsupport::LogTail log;
    const std::size_t before = dispatcher_.Commands().size();
    EXPECT_EQ(app_->LoadFirmware(dir_.File("absent.fwp")), 1);
    EXPECT_EQ(dispatcher_.Commands().size(), before) << "a package that does not build leaves the chip alone";
    EXPECT_EQ(std::string(app_->FailureMessage()), "<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!");
    EXPECT_TRUE(log.Has("<FWLoader>Error!!! Couldn't open Firmware file for loading firmware software!!!!"));
}

TEST_F(LoadTest, ReadBackMismatchStopsAtThatChunk) {
    // Reads 1-8 verify the first MAC chunk; read 9 is the first of the second.
    chip_.CorruptRead(9);
    EXPECT_EQ(app_->LoadFirmware(package_), 1);
    EXPECT_EQ(std::string(app_->FailureMessage()), "<ConsoleAppLogic>Error!!! Failed to Load MAC Firmware data!");
    const std::vector<fake::ReceivedCommand> commands = dispatcher_.Commands();
    EXPECT_EQ(commands.back().command.Type, NATIVE_READ_BUFFER);
    EXPECT_EQ(commands.back().command.Address, 0xBFC002BFu);
    EXPECT_LT(First(WriteTo(NATIVE_WRITE_BUFFER, 0xBFC12000, 0xBFC12100)), 0) << "the next chunk is never written";
}

// Every byte of the image inside the interrupt-vector window is staged, at
// its offset from the window's start: the bytes of two sections that reach
// into it, in address order, and a section that starts inside it.
TEST_F(LoadTest, EveryVectorByteOfTheImageIsStaged) {
    const Bytes first = Pattern(0x90, 3), second = Pattern(0x40, 9);
    const Bytes firstInWindow = Slice(first, 0x80, 16), secondInWindow = Slice(second, 0, 47);
    Bytes both = firstInWindow, secondOnly(16, 0);
    both.insert(both.end(), secondInWindow.begin(), secondInWindow.end());
    secondOnly.insert(secondOnly.end(), secondInWindow.begin(), secondInWindow.end());
    const struct {
        const char* name;
        std::vector<Section> sections;
        Bytes staged;
    } cases[] = {
        {"two sections", {{fwbuild::kProgramData, 0xBFC00290, second}, {fwbuild::kProgramData, 0xBFC00200, first}}, both},
        {"a section starting inside the window", {{fwbuild::kProgramData, 0xBFC00290, second}}, secondOnly},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const Bytes package =
            Package().Mac(Elf(test.sections)).Phy(Elf({{fwbuild::kProgramData, 0xBF000000, Pattern(16)}})).Contents();
        ASSERT_EQ(app_->LoadFirmware(dir_.Write("vector.fwp", std::string(package.begin(), package.end()))), 0)
            << app_->FailureMessage();
        EXPECT_EQ(chip_.Peek(0xBFC23800, 4), (Bytes{0, 0, 0, 63}));
        EXPECT_EQ(chip_.Peek(0xBFC23804, 63), test.staged);
        EXPECT_EQ(chip_.Peek(0xBFC002BF, 17), Slice(second, 47, 17)) << "the rest is loaded where it belongs";
    }
}

TEST(LoadWithoutTransport, RefusedWithItsText) {
    testsupport::IsolatedRoot root;
    AppCollaborators none = OnlyTransport();
    none.trafficManager = false;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", none);
    EXPECT_EQ(app.LoadFirmware("any.fwp"), 1);
    EXPECT_STREQ(app.FailureMessage(), "<ConsoleAppLogic>Error!!! Traffic Manager wasn't Initialized");
}

// ---------------------------------------------------------------- the version report

// MAC words through the console window, PHY words through the PHY window,
// at the example map files' symbols.
constexpr std::uint32_t kMacWords = 0xBFE12000;
constexpr std::uint32_t kPhyWords = 0xBF548000;

Bytes Words(const std::vector<std::int32_t>& values) {
    Bytes bytes(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) fwbuild::PutBe(bytes, 4 * i, static_cast<std::uint32_t>(values[i]), 4);
    return bytes;
}

class ReportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new testsupport::IsolatedRoot();
        chip_ = new MemoryChip();
        dispatcher_ = new fake::Dispatcher();
        chip_->Attach(*dispatcher_);
        const std::uint16_t listenPort = fake::FreeTcpPort();
        const std::string examples = testsupport::ExamplesDir();
        std::thread connect([listenPort] { dispatcher_->Connect(listenPort); });
        app_ = new ConsoleAppLogic(dispatcher_->CommandPort(), "127.0.0.1", listenPort, examples + "/maps/mac.map",
                                   examples + "/maps/phy.map", examples + "/definitions/list.txt");
        connect.join();
    }
    static void TearDownTestSuite() {
        delete app_;
        // The dispatcher's thread answers through the chip until it stops.
        delete dispatcher_;
        delete chip_;
        delete root_;
    }
    static std::string Report(const std::vector<std::int32_t>& mac, const std::vector<std::int32_t>& phy) {
        chip_->Poke(kMacWords, Words(mac));
        chip_->Poke(kPhyWords, Words(phy));
        return app_->BuildVersionReport();
    }

    static testsupport::IsolatedRoot* root_;
    static fake::Dispatcher* dispatcher_;
    static MemoryChip* chip_;
    static ConsoleAppLogic* app_;
};
testsupport::IsolatedRoot* ReportTest::root_ = nullptr;
fake::Dispatcher* ReportTest::dispatcher_ = nullptr;
MemoryChip* ReportTest::chip_ = nullptr;
ConsoleAppLogic* ReportTest::app_ = nullptr;

const std::string kBranchBlock = "\n!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!\n"
                                 "!! PHY and Mac are from different release branch !!\n"
                                 "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
const std::string kInterfaceBlock = "\n!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!\n"
                                    "!! PHY and Mac use different Phy-Mac IF Release  !!\n"
                                    "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

TEST_F(ReportTest, WarningBlocksFollowTheComparedValues) {
    struct Case {
        std::vector<std::int32_t> mac, phy;
        std::string warnings;
    };
    const std::vector<Case> cases = {
        {{3, 1, 2, 1, 1, 1, 1, 5, 1}, {3, 1, 2, 9, 9, 9, 9, 5, 9}, ""},
        {{3, 1, 2, 0, 0, 0, 0, 5, 0}, {3, 1, 4, 0, 0, 0, 0, 5, 0}, kBranchBlock},
        {{4, 1, 2, 0, 0, 0, 0, 5, 0}, {3, 1, 2, 0, 0, 0, 0, 6, 0}, kBranchBlock + kInterfaceBlock},
        {{3, -1, 2, 0, 0, 0, 0, 5, 0}, {3, 1, 2, 0, 0, 0, 0, 5, 0}, kBranchBlock},
    };
    app_->SetCommandTimeout(7000);
    for (const Case& test : cases) {
        const std::string report = Report(test.mac, test.phy);
        const std::size_t warnings = report.find("\n!!!");
        EXPECT_EQ(warnings == std::string::npos ? "" : report.substr(warnings), test.warnings);
        EXPECT_NE(report.find("Minor Version:  " + std::to_string(test.mac[1]) + "\n"), std::string::npos);
    }
    EXPECT_EQ(app_->CommandTimeout(), 1000) << "the report's time-out stays";
}

TEST(ReportWithoutDispatcher, EveryValueUnreadAndNoWarning) {
    testsupport::IsolatedRoot root;
    AppCollaborators none = OnlyTransport();
    none.trafficManager = false;
    ConsoleAppLogic app(1, "127.0.0.1", 0, "", "", "", none);
    const std::string report = app.BuildVersionReport();
    std::size_t unread = 0;
    for (std::size_t at = report.find("-842150451"); at != std::string::npos; at = report.find("-842150451", at + 1)) ++unread;
    EXPECT_EQ(unread, 17u);
    EXPECT_EQ(report.find("Incompatible"), std::string::npos);
    EXPECT_EQ(app.CommandTimeout(), 1000);
}

}  // namespace
