// The EEPROM image: field updates and value texts, the binary and value
// files, and the chip transfers behind the EEPROM operations (burn runs,
// reads from the image and from the chip, lost chunk answers).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "consoleapplogic.h"
#include "consolelogger.h"
#include "eeprominterface.h"
#include "fakedispatcher.h"
#include "structaccess.h"
#include "testsupport.h"
#include "trafficmanager.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// 40 bytes: a 6-byte header, 20 bytes of fields, 11 of padding, "EOB".
const char* kLayout =
    "EEPROM_CEM_SECTION(sec, 0A0001, 31)\n"
    "EEPROM_FIELD_DOUBLE(gain, 2, 4.8, 0, 0, 1.0)\n"    // offset 6
    "EEPROM_FIELD_DOUBLE(sgain, 2, 4.8, 0, 1, -1.0)\n"  // 8
    "EEPROM_FIELD_DOUBLE(shifted, 1, 4.0, 4, 0, 1)\n"   // 10
    "EEPROM_FIELD_DOUBLE(wide, 4, 16.16, 0, 1, 0)\n"    // 11
    "EEPROM_FIELD_CHAR(serial, 3, 0x01, 0x02, 0x03)\n"  // 15
    "EEPROM_FIELD_CHAR(twice, 1, 0x11)\n"               // 18
    "EEPROM_FIELD_CHAR(twice, 1, 0x22)\n"               // 19
    "EEPROM_FIELD_REGISTER(reg, 0x0104, 0x1F3C)\n"      // 20
    "EEPROM_FIELD_CHAR(none, 0, 0x00)\n"                // 26, no bytes
    "EEPROM_END_SECTION\n"                              // padding 26..36
    "EEPROM_EOB_SECTION\n";                             // 37..39

// A section whose padding is far longer than any field.
const char* kLongPaddingLayout =
    "EEPROM_CER_SECTION(big, 05, 150)\n"
    "EEPROM_FIELD_CHAR(tail, 1, 0x07)\n"
    "EEPROM_END_SECTION\n";

void Parse(EepromInterface& eeprom, const testsupport::TempDir& dir, const std::string& layout) {
    dir.Write("eeprom.h", layout);
    StructAccess db("", "", &eeprom);
    ASSERT_TRUE(db.structAccessInit(dir.Write("list.txt", "eeprom.h\n")));
}

Bytes ImageBytes(EepromInterface& eeprom, std::uint32_t offset, std::size_t length) {
    const std::vector<std::uint8_t>& image = eeprom.GetImage();
    return Bytes(image.begin() + offset, image.begin() + offset + length);
}

std::string Formatted(EepromInterface& eeprom, const std::string& name) {
    std::string text;
    EXPECT_EQ(0, eeprom.ReadFieldByName(name, text, EepromInterface::Source::Image)) << name;
    return text;
}

class EepromImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { static testsupport::IsolatedRoot root; }
    void SetUp() override {
        Parse(eeprom_, dir_, kLayout);
        ASSERT_EQ(0, eeprom_.InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
    }

    testsupport::TempDir dir_;
    EepromInterface eeprom_{nullptr};
};

TEST_F(EepromImageTest, UpdatesStoreAndFormatBitExact) {
    struct Case {
        const char* name;
        const char* value;
        int result;
        std::uint32_t offset;
        Bytes bytes;       // the field's image bytes afterwards
        const char* text;  // its value text afterwards
    };
    const Case cases[] = {
        {"gain", "1.5", 0, 6, {0x01, 0x80}, "1.500"},
        {"gain", "1.501", 0, 6, {0x01, 0x80}, "1.500"},  // 384.256 rounds to 384
        {"gain", "  2.25xyz", 0, 6, {0x02, 0x40}, "2.250"},
        {"gain", "0.001953125", 0, 6, {0x00, 0x01}, "0.004"},  // half a step rounds up
        {"gain", "0x10", 0, 6, {0x00, 0x00}, "0.000"},         // a field's number is decimal only: reads 0
        {"gain", "abc", 0, 6, {0x00, 0x00}, "0.000"},
        {"sgain", "-1.5", 0, 8, {0xFE, 0x80}, "-1.500"},
        {"sgain", "-0.001953125", 0, 8, {0xFF, 0xFF}, "-0.004"},  // away from zero
        {"shifted", "3", 0, 10, {0x30}, "3.000"},
        {"wide", "-2.5", 0, 11, {0xFF, 0xFD, 0x80, 0x00}, "-2.500"},
        {"serial", "0x01 0x02", 1, 15, {0x01, 0x02, 0x03}, "0x01 0x02 0x03 "},
        {"serial", "0x0a 0xff 0x3", 0, 15, {0x0A, 0xFF, 0x03}, "0x0a 0xff 0x03 "},
        {"serial", "1 2 3", 1, 15, {0x0A, 0xFF, 0x03}, "0x0a 0xff 0x03 "},
        {"serial", "0X01 0x02 0x03", 1, 15, {0x0A, 0xFF, 0x03}, "0x0a 0xff 0x03 "},
        {"serial", "0x1FF\t0x02 0x10 ", 0, 15, {0xFF, 0x02, 0x10}, "0xff 0x02 0x10 "},
        {"twice", "0x33", 0, 18, {0x33, 0x22}, "0x33 "},  // only the first record of the name
        {"serial", "0x0a, 0xff, 0x3", 0, 15, {0x0A, 0xFF, 0x03}, "0x0a 0xff 0x03 "},  // read as "0x%x" reads
        {"serial", "0x0b 0xfe 0x04\r", 0, 15, {0x0B, 0xFE, 0x04}, "0x0b 0xfe 0x04 "},
        {"serial", "0x 0x02 0x03", 1, 15, {0x0B, 0xFE, 0x04}, "0x0b 0xfe 0x04 "},  // a token without digits
        {"wide", "1.5e1", 0, 11, {0x00, 0x0F, 0x00, 0x00}, "15.000"},
        {"wide", "2E+1", 0, 11, {0x00, 0x14, 0x00, 0x00}, "20.000"},
        {"wide", "1e-1", 0, 11, {0x00, 0x00, 0x19, 0x9A}, "0.100"},
        {"wide", "-3e0", 0, 11, {0xFF, 0xFD, 0x00, 0x00}, "-3.000"},
        {"wide", "1e", 0, 11, {0x00, 0x01, 0x00, 0x00}, "1.000"},  // an exponent without digits is no exponent
        {"wide", "2e+", 0, 11, {0x00, 0x02, 0x00, 0x00}, "2.000"},
        {"reg", "0x1F3D", 0, 20, {0x01, 0x04, 0x00, 0x00, 0x1F, 0x3D}, "7997.000"},  // hex as definitions write it
        {"reg", "305419896", 0, 20, {0x01, 0x04, 0x12, 0x34, 0x56, 0x78}, "305419896.000"},
        {"reg", "-2", 0, 20, {0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFE}, "-2.000"},
        {"sec", "0x01 0x00 0x22 0x0a 0x00 0x02", 1, 0, {0x01, 0x00, 0x22, 0x0A, 0x00, 0x01}, nullptr},
        {"Padding Section", "0", 1, 26, Bytes(11, 0), nullptr},
        {"EOB", "0x00 0x00 0x00", 1, 37, {0x04, 0x00, 0x00}, "0x04 0x00 0x00 "},
        {"nosuch", "1", 1, 0, {0x01}, nullptr},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(c.result, eeprom_.UpdateField(c.name, c.value, &reason)) << c.name << " = " << c.value;
        EXPECT_EQ(c.bytes, ImageBytes(eeprom_, c.offset, c.bytes.size())) << c.name << " = " << c.value;
        if (c.text != nullptr) {
            EXPECT_EQ(c.text, Formatted(eeprom_, c.name)) << c.name << " = " << c.value;
        }
        if (c.result != 0) {
            EXPECT_NE(std::string::npos, reason.find(c.name)) << reason;
        }
    }
    // Updated marks: only the records that took a value.
    for (const EEpromFieldDefinition_t& record : eeprom_.FieldTable()) {
        const bool taken = record.offset >= 6 && record.offset <= 20 && record.offset != 19;
        EXPECT_EQ(taken ? 1 : 0, record.isUpdated) << record.name << " at " << record.offset;
    }
}

TEST_F(EepromImageTest, ValueTextLimits) {
    const EEpromFieldDefinition_t& sgain = *eeprom_.FindField("sgain");
    std::string text;
    const std::uint8_t lowByteOnly[] = {0x00, 0x80};  // the low byte carries no sign
    ASSERT_TRUE(EepromInterface::FormatFieldValue(sgain, lowByteOnly, text));
    EXPECT_EQ("0.500", text);

    // A byte-list text of 99 characters is taken, one of 100 refused.
    EEpromFieldDefinition_t list;
    list.name = "list";
    list.size = 20;
    list.isListed = 1;
    std::string value;
    for (int i = 0; i < 20; ++i) value += "0x0a ";
    EXPECT_EQ(100u, value.size());
    EepromInterface other(nullptr);
    other.AppendFieldDefinition(list);
    other.SetDataBaseSize(20);
    EXPECT_EQ(1, other.UpdateField("list", value));
    value.pop_back();
    EXPECT_EQ(0, other.UpdateField("list", value));

    // A value text longer than 999 characters is refused, not cut.
    Bytes bytes(200, 0xAB);
    list.size = 199;
    ASSERT_TRUE(EepromInterface::FormatFieldValue(list, bytes.data(), text));
    EXPECT_EQ(995u, text.size());
    list.size = 200;
    EXPECT_FALSE(EepromInterface::FormatFieldValue(list, bytes.data(), text));
}

TEST_F(EepromImageTest, UnknownModeAndEmptyTable) {
    testsupport::LogTail log;
    EXPECT_EQ(1, eeprom_.InitEepromInterface(7, ""));
    EXPECT_TRUE(log.Has("<EepromInterface>Unknown Operation Mode: 7"));
    EepromInterface empty(nullptr);
    EXPECT_EQ(2u, empty.GetImage().size());
    std::string listing;
    EXPECT_EQ(0, empty.WriteListing(listing, ""));
    EXPECT_EQ(std::string(1, '\0'), listing);
}

TEST_F(EepromImageTest, BinaryFileRoundTripsAndSizes) {
    ASSERT_EQ(0, eeprom_.UpdateField("gain", "3.75"));
    const std::string dump = dir_.File("image.bin");
    ASSERT_EQ(0, eeprom_.CreateBinaryFile(dump));
    const Bytes dumped = ImageBytes(eeprom_, 0, 40);
    EXPECT_EQ(40u, testsupport::ReadFile(dump).size());

    eeprom_.InitFromConsoleDb();
    ASSERT_EQ(0, eeprom_.InitEepromInterface(EepromInterface::INIT_FROM_BINARY_FILE, dump));
    EXPECT_EQ(dumped, ImageBytes(eeprom_, 0, 40));
    for (const EEpromFieldDefinition_t& record : eeprom_.FieldTable()) EXPECT_EQ(1, record.isUpdated) << record.name;

    // A short file changes its own length of the image only.
    eeprom_.InitFromConsoleDb();
    const Bytes before = ImageBytes(eeprom_, 0, 42);
    ASSERT_EQ(0, eeprom_.LoadBinaryFile(dir_.Write("short.bin", std::string(10, '\x5A'))));
    Bytes expected = before;
    std::fill_n(expected.begin(), 10, 0x5A);
    EXPECT_EQ(expected, ImageBytes(eeprom_, 0, 42));

    // A long file gives its first 40 bytes; the image's own size stays.
    testsupport::LogTail log;
    ASSERT_EQ(0, eeprom_.LoadBinaryFile(dir_.Write("long.bin", std::string(50, '\x66'))));
    expected = Bytes(40, 0x66);
    expected.insert(expected.end(), before.end() - 2, before.end());
    EXPECT_EQ(expected, ImageBytes(eeprom_, 0, 42));
    EXPECT_EQ(42u, eeprom_.GetImage().size());
    EXPECT_TRUE(log.Has("<EepromInterface>Eeprom File Size(50)> EEprom Data Base Size(40)"));

    // Records declared after the image exists lie outside it; the files
    // keep to the image.
    eeprom_.SetDataBaseSize(48);
    ASSERT_EQ(0, eeprom_.CreateBinaryFile(dump));
    EXPECT_EQ(40u, testsupport::ReadFile(dump).size());
    ASSERT_EQ(0, eeprom_.LoadBinaryFile(dir_.Write("long.bin", std::string(50, '\x77'))));
    EXPECT_EQ(42u, eeprom_.GetImage().size());

    EXPECT_EQ(1, eeprom_.LoadBinaryFile(dir_.File("missing.bin")));
    EXPECT_EQ(1, eeprom_.CreateBinaryFile(dir_.File("no/such/folder/image.bin")));
    EXPECT_TRUE(log.Has("<EepromInterface>Couldn't Open Eeprom File: " + dir_.File("missing.bin")));
}

TEST_F(EepromImageTest, ValueFileSetsFieldsByName) {
    ASSERT_EQ(0, eeprom_.UpdateField("wide", "7"));  // the load starts from the definitions
    const std::string file = dir_.Write("values.txt",
                                        "first line without an equals sign\r\n"
                                        "gain = 2.25\r\n"
                                        "serial = 0x0a 0xff 0x01 \r\n"
                                        "sgain=1.5\r\n"
                                        "shifted = \r\n"
                                        "nosuch = 1\r\n"
                                        "none = \r\n"
                                        "reg = 0x10");
    testsupport::LogTail log;
    ASSERT_EQ(0, eeprom_.InitEepromInterface(EepromInterface::INIT_FROM_VALUE_FILE, file));
    EXPECT_EQ("2.250", Formatted(eeprom_, "gain"));
    EXPECT_EQ("0x0a 0xff 0x01 ", Formatted(eeprom_, "serial"));
    EXPECT_EQ("-1.000", Formatted(eeprom_, "sgain"));
    EXPECT_EQ("1.000", Formatted(eeprom_, "shifted"));
    EXPECT_EQ("0.000", Formatted(eeprom_, "wide"));
    EXPECT_EQ("16.000", Formatted(eeprom_, "reg"));
    for (const char* line : {"sgain=1.5", "shifted = ", "nosuch = 1"}) {
        EXPECT_TRUE(log.Has(std::string("<EepromInterface>Failed to load line: ") + line + "\n")) << line;
    }
    EXPECT_FALSE(log.Has("Failed to load line: gain"));
    EXPECT_FALSE(log.Has("Failed to load line: none")) << "an empty value fills a field of no bytes";
    EXPECT_TRUE(log.Has(" : serial\n")) << "each line logs the bare field name";
    EXPECT_FALSE(log.Has("<EepromInterface>serial\n"));
    EXPECT_EQ(1, eeprom_.LoadValueFile(dir_.File("missing.txt")));
}

// ---------------------------------------------------------------- against a chip

// An EEPROM behind the fake dispatcher: answers reads and writes, records
// the EEPROM commands, and can leave the answer to one of them out. Like the
// dispatcher it refuses ("ERR") a range past its end; it can also answer a
// read with one byte short.
class EepromChip {
public:
    explicit EepromChip(fake::Dispatcher& dispatcher, std::size_t size = 4096) : bytes_(size, 0xFF), end_(size) {
        dispatcher.SetResponder([this](const fake::ReceivedCommand& received) { return Answer(received); });
    }
    void EndAt(std::size_t end) {
        std::lock_guard<std::mutex> guard(lock_);
        end_ = std::min(end, bytes_.size());
    }
    void ShortReads(bool on) {
        std::lock_guard<std::mutex> guard(lock_);
        shortReads_ = on;
    }
    // The answer to the n-th EEPROM command from now (from 1) is not sent.
    void DropEepromCommand(std::size_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        drops_.push_back(commands_.size() + n);
    }
    std::vector<NativeCommand_t> Commands() {
        std::lock_guard<std::mutex> guard(lock_);
        return commands_;
    }
    void ClearCommands() {
        std::lock_guard<std::mutex> guard(lock_);
        commands_.clear();
        drops_.clear();
    }
    Bytes Contents(std::size_t offset, std::size_t length) {
        std::lock_guard<std::mutex> guard(lock_);
        return Bytes(bytes_.begin() + static_cast<long>(offset), bytes_.begin() + static_cast<long>(offset + length));
    }

private:
    std::vector<ConsoleEventPacket_t> Answer(const fake::ReceivedCommand& received) {
        const NativeCommand_t& command = received.command;
        if (command.Type == NATIVE_SYSTEM_COMMAND) return {};
        std::lock_guard<std::mutex> guard(lock_);
        Bytes data = {'O', 'K'};
        if (command.Type == NATIVE_READ_EEPROM || command.Type == NATIVE_WRITE_EEPROM) {
            commands_.push_back(command);
            if (std::find(drops_.begin(), drops_.end(), commands_.size()) != drops_.end()) return {};
            const auto at = bytes_.begin() + command.Address;
            if (command.Address + command.Length > end_) {
                data = {'E', 'R', 'R'};
            } else if (command.Type == NATIVE_READ_EEPROM) {
                data.assign(at, at + command.Length - (shortReads_ ? 1 : 0));
            } else {
                std::copy_n(command.Data.begin(), command.Length, at);
            }
        }
        return {fake::MakeEvent(received.number, data)};
    }

    std::mutex lock_;
    Bytes bytes_;
    std::vector<NativeCommand_t> commands_;
    std::vector<std::size_t> drops_;
    std::size_t end_;
    bool shortReads_ = false;
};

struct Progress {
    std::string stage;
    std::uint64_t done = 0, total = 0;
    int calls = 0;
};

void RecordProgress(const char* stage, std::uint64_t done, std::uint64_t total, void* user) {
    auto* progress = static_cast<Progress*>(user);
    progress->stage = stage;
    progress->done = done;
    progress->total = total;
    ++progress->calls;
}

class EepromChipTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static testsupport::IsolatedRoot root;
        dir_ = new testsupport::TempDir;
        dir_->Write("eeprom.h", kLayout);
        const std::string list = dir_->Write("list.txt", "eeprom.h\n");
        dispatcher_ = new fake::Dispatcher;
        chip_ = new EepromChip(*dispatcher_);
        const std::uint16_t listenPort = fake::FreeTcpPort();
        app_ = new ConsoleAppLogic(dispatcher_->CommandPort(), "127.0.0.1", listenPort, "", "", list);
        ASSERT_TRUE(dispatcher_->Connect(listenPort));
        app_->SetInternalCommandTimeout(200);
    }
    static void TearDownTestSuite() {
        delete app_;
        // The dispatcher's thread answers through the chip until it stops.
        delete dispatcher_;
        delete chip_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_EQ(0, app_->InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
        Eeprom().Burn(false);
        Eeprom().Burn(true);  // clears every mark
        chip_->ClearCommands();
    }
    static EepromInterface& Eeprom() { return *app_->GetEepromInterface(); }
    // (address, length) of each EEPROM command sent since the test began.
    static std::vector<std::pair<std::uint32_t, std::uint16_t>> Sent(std::uint16_t type) {
        std::vector<std::pair<std::uint32_t, std::uint16_t>> sent;
        for (const NativeCommand_t& command : chip_->Commands()) {
            if (command.Type == type) sent.emplace_back(command.Address, command.Length);
        }
        return sent;
    }

    static testsupport::TempDir* dir_;
    static fake::Dispatcher* dispatcher_;
    static EepromChip* chip_;
    static ConsoleAppLogic* app_;
};
testsupport::TempDir* EepromChipTest::dir_ = nullptr;
fake::Dispatcher* EepromChipTest::dispatcher_ = nullptr;
EepromChip* EepromChipTest::chip_ = nullptr;
ConsoleAppLogic* EepromChipTest::app_ = nullptr;

using Runs = std::vector<std::pair<std::uint32_t, std::uint16_t>>;

TEST_F(EepromChipTest, PartialBurnWritesRunsOfUpdatedRecords) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> updates;
        int result;
        Runs writes;
    };
    const Case cases[] = {
        {{{"gain", "2"}, {"sgain", "2"}}, 1, {{6, 4}}},             // adjacent: one run
        {{{"gain", "2"}, {"shifted", "2"}}, 1, {{6, 2}, {10, 1}}},  // sgain between: two runs
        // The second "twice" is not marked, so reg starts a run of its own.
        {{{"serial", "0x01 0x02 0x03"}, {"twice", "0x44"}, {"reg", "2"}}, 1, {{15, 4}, {20, 6}}},
        {{}, 0, {}},  // nothing marked: nothing sent
    };
    for (const Case& c : cases) {
        chip_->ClearCommands();
        for (const auto& update : c.updates) ASSERT_EQ(0, app_->UpdateEepromField(update.first, update.second));
        EXPECT_EQ(c.result, app_->BurnEeprom(true)) << c.updates.size();
        EXPECT_EQ(c.writes, Sent(NATIVE_WRITE_EEPROM)) << c.updates.size();
        EXPECT_EQ(0, app_->BurnEeprom(true)) << "a second partial burn has nothing to write";
    }
    EXPECT_EQ(Bytes({0x01, 0x04, 0x00, 0x00, 0x00, 0x02}), chip_->Contents(20, 6));
    EXPECT_EQ("EEprom wasn't burnt: no field was updated since the last partial burn",
              std::string(app_->FailureMessage()));
}

TEST_F(EepromChipTest, FullBurnWritesTheWholeImageInChunks) {
    Progress progress;
    app_->SetProgressCallback(RecordProgress, &progress);
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "5"));
    EXPECT_EQ(1, app_->BurnEeprom(false));
    app_->SetProgressCallback(nullptr, nullptr);
    EXPECT_EQ((Runs{{0, 16}, {16, 16}, {32, 8}}), Sent(NATIVE_WRITE_EEPROM));
    EXPECT_EQ(ImageBytes(Eeprom(), 0, 40), chip_->Contents(0, 40));
    EXPECT_EQ(1, Eeprom().FindField("gain")->isUpdated) << "a full burn keeps the marks";
    EXPECT_EQ("eeprom burn", progress.stage);
    EXPECT_EQ(40u, progress.done);
    EXPECT_EQ(40u, progress.total);
}

TEST_F(EepromChipTest, ReadsFromTheImageOrTheChip) {
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "3"));
    ASSERT_EQ(0, app_->ReadFieldFromVolatile("gain"));
    EXPECT_EQ("3.000", std::string(app_->ResultBuffer()));
    EXPECT_TRUE(chip_->Commands().empty());

    ASSERT_EQ(0, app_->ReadFieldFromEeprom("gain"));
    EXPECT_EQ("1.000", std::string(app_->ResultBuffer()));
    EXPECT_EQ((Runs{{6, 2}}), Sent(NATIVE_READ_EEPROM));
    ASSERT_EQ(1, app_->BurnEeprom(true));
    ASSERT_EQ(0, app_->ReadFieldFromEeprom("gain"));
    EXPECT_EQ("3.000", std::string(app_->ResultBuffer()));
    chip_->ClearCommands();
    ASSERT_EQ(0, app_->ReadFieldFromEeprom("wide"));
    EXPECT_EQ((Runs{{11, 4}}), Sent(NATIVE_READ_EEPROM));

    EXPECT_EQ(1, app_->ReadFieldFromVolatile("nosuch"));
    EXPECT_EQ("Failed to Read EEprom!!!", std::string(app_->FailureMessage()));
}

TEST_F(EepromChipTest, ListingReadsBackAsAValueFile) {
    ASSERT_EQ(0, app_->UpdateEepromField("sgain", "-2.5"));
    ASSERT_EQ(0, app_->UpdateEepromField("serial", "0x0a 0xff 0x00"));
    ASSERT_EQ(1, app_->BurnEeprom(true));
    const std::string path = dir_->Write("listing.txt", std::string(1000, '#'));  // replaced
    ASSERT_EQ(0, app_->ReadEntireEeprom(path));
    const std::string expected =
        "gain = 1.000\nsgain = -2.500\nshifted = 1.000\nwide = 0.000\nserial = 0x0a 0xff 0x00 \n"
        "twice = 0x11 \ntwice = 0x22 \nnone = \n" + std::string(1, '\0');
    EXPECT_EQ(expected, std::string(app_->ResultBuffer(), app_->ResultLength()));
    EXPECT_EQ(expected, testsupport::ReadFile(path));

    const Bytes burnt = ImageBytes(Eeprom(), 6, 12);
    const testsupport::LogTail log;
    ASSERT_EQ(0, app_->InitEepromInterface(EepromInterface::INIT_FROM_VALUE_FILE, path));
    EXPECT_FALSE(log.Has("Failed to load line")) << "every listed line loads back";
    EXPECT_EQ(burnt, ImageBytes(Eeprom(), 6, 12));
    // Both "twice" lines name the first record: it ends with the second value.
    EXPECT_EQ(Bytes({0x22, 0x22}), ImageBytes(Eeprom(), 18, 2));

    // Without a path only the text; with a folder that does not exist nothing
    // is read from the chip.
    ASSERT_EQ(0, app_->ReadEntireEeprom(""));
    EXPECT_EQ(expected.size(), app_->ResultLength());
    chip_->ClearCommands();
    EXPECT_EQ(1, app_->ReadEntireEeprom(dir_->File("no/such/folder/listing.txt")));
    EXPECT_EQ("Failed to Read EEprom!!!", std::string(app_->FailureMessage()));
    EXPECT_TRUE(chip_->Commands().empty());
}

TEST_F(EepromChipTest, SetupReadTakesTheChipsBytesRecordByRecord) {
    ASSERT_EQ(0, app_->UpdateEepromField("wide", "1.25"));
    ASSERT_EQ(1, app_->BurnEeprom(true));
    ASSERT_EQ(0, app_->InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
    ASSERT_EQ(0, app_->InitEepromInterface(EepromInterface::INIT_FROM_SETUP_EEPROM, ""));
    EXPECT_EQ(chip_->Contents(0, 40), ImageBytes(Eeprom(), 0, 40));

    // Padding longer than 100 bytes comes whole, in chunks.
    testsupport::TempDir dir;
    EepromInterface padded(app_->GetTrafficManager());
    Parse(padded, dir, kLongPaddingLayout);
    ASSERT_EQ(154u, padded.GetDataBaseSize());
    ASSERT_EQ(0, padded.InitEepromInterface(EepromInterface::INIT_FROM_SETUP_EEPROM, ""));
    EXPECT_EQ(chip_->Contents(0, 154), ImageBytes(padded, 0, 154));
}

TEST_F(EepromChipTest, LostChunkAnswersFailTheOperationNotTheNext) {
    // A full burn stops at the chunk whose answer is lost.
    chip_->DropEepromCommand(2);
    EXPECT_EQ(0, app_->BurnEeprom(false));
    EXPECT_EQ("Failed to Burn EEprom!!!", std::string(app_->FailureMessage()));
    EXPECT_EQ((Runs{{0, 16}, {16, 16}}), Sent(NATIVE_WRITE_EEPROM));

    chip_->DropEepromCommand(1);
    EXPECT_EQ(1, app_->ReadFieldFromEeprom("reg"));
    EXPECT_EQ("Failed to Read EEprom!!!", std::string(app_->FailureMessage()));
    ASSERT_EQ(0, app_->ReadFieldFromEeprom("reg"));
    EXPECT_EQ("7996.000", std::string(app_->ResultBuffer()));

    chip_->DropEepromCommand(3);
    const std::string listing = dir_->Write("lost.txt", "an earlier listing");
    EXPECT_EQ(1, app_->ReadEntireEeprom(listing));
    EXPECT_EQ("Failed to Read EEprom!!!", std::string(app_->FailureMessage()));
    EXPECT_EQ("an earlier listing", testsupport::ReadFile(listing)) << "a failed listing leaves the file as it was";
    EXPECT_EQ(0, app_->ReadEntireEeprom(""));

    // Every run of a partial burn waits for its own answers: two lost runs
    // are not written.
    chip_->ClearCommands();
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "2"));
    ASSERT_EQ(0, app_->UpdateEepromField("shifted", "2"));
    chip_->DropEepromCommand(1);
    chip_->DropEepromCommand(2);
    EXPECT_EQ(0, app_->BurnEeprom(true));
    EXPECT_EQ((Runs{{6, 2}, {10, 1}}), Sent(NATIVE_WRITE_EEPROM));
    // Their records stay marked: the next partial burn writes them again.
    chip_->ClearCommands();
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "2"));
    EXPECT_EQ(1, app_->BurnEeprom(true));
    EXPECT_EQ((Runs{{6, 2}, {10, 1}}), Sent(NATIVE_WRITE_EEPROM));

    // One lost run of two fails the burn, whichever it is; the other run is
    // still written.
    for (const std::size_t lost : {std::size_t{1}, std::size_t{2}}) {
        chip_->ClearCommands();
        ASSERT_EQ(0, app_->UpdateEepromField("gain", "3"));
        ASSERT_EQ(0, app_->UpdateEepromField("shifted", "3"));
        chip_->DropEepromCommand(lost);
        EXPECT_EQ(0, app_->BurnEeprom(true)) << "run " << lost << " lost";
        EXPECT_EQ("Failed to Burn EEprom!!!", std::string(app_->FailureMessage()));
        EXPECT_EQ((Runs{{6, 2}, {10, 1}}), Sent(NATIVE_WRITE_EEPROM));
    }
}

// A refusal or a short answer is never taken as data: the operation fails
// with its text, a burn is not reported as written, the image keeps what it
// held past the failing record.
TEST_F(EepromChipTest, AnswersThatAreNotDataFailTheOperation) {
    const std::string refused = "<TrafficManager>Error!!! The dispatcher refused the Native Command";
    const std::string shortAnswer = "<TrafficManager>Error!!! The answer holds 1 bytes where the read asked for 2";
    struct Case {
        const char* name;
        std::size_t chipEnd;
        bool shortReads;
        std::function<int()> operation;
        int result;
        const char* failure;
        std::string logged;
    };
    const Case cases[] = {
        {"full burn past the chip's end", 30, false, [] { return app_->BurnEeprom(false); }, 0,
         "Failed to Burn EEprom!!!", refused},
        {"partial burn past the chip's end", 10, false,
         [] { return app_->UpdateEepromField("wide", "0") == 0 ? app_->BurnEeprom(true) : -1; }, 0,
         "Failed to Burn EEprom!!!", refused},
        {"field read past the chip's end", 10, false, [] { return app_->ReadFieldFromEeprom("wide"); }, 1,
         "Failed to Read EEprom!!!", "where the read asked for 4"},
        {"setup read past the chip's end", 10, false, [] { return app_->InitEepromInterface(2, ""); }, 1,
         "Failed to Init EEprom Interface (mode 2) ", refused},  // a 1-byte record: "ERR" is longer
        {"2-byte field read past the chip's end", 6, false, [] { return app_->ReadFieldFromEeprom("gain"); }, 1,
         "Failed to Read EEprom!!!", refused},
        {"short field read", 4096, true, [] { return app_->ReadFieldFromEeprom("gain"); }, 1,
         "Failed to Read EEprom!!!", shortAnswer},
        {"short listing read", 4096, true, [] { return app_->ReadEntireEeprom("") == 0 ? 0 : 1; }, 1,
         "Failed to Read EEprom!!!", shortAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, app_->InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
        ASSERT_EQ(0, app_->UpdateEepromField("sgain", "3"));  // in the image, never on the chip
        const Bytes image = ImageBytes(Eeprom(), 0, 40);
        chip_->EndAt(c.chipEnd);
        chip_->ShortReads(c.shortReads);
        const testsupport::LogTail log;
        EXPECT_EQ(c.result, c.operation());
        chip_->EndAt(4096);
        chip_->ShortReads(false);
        EXPECT_EQ(c.failure, std::string(app_->FailureMessage()));
        EXPECT_TRUE(log.Has(c.logged)) << c.logged;
        EXPECT_EQ(Bytes(image.begin() + 10, image.end()), ImageBytes(Eeprom(), 10, 30)) << "the image keeps its bytes";
        Eeprom().Burn(true);  // clears the marks
    }
}

// A partial burn the host stops after its first run writes no later run,
// says which fields it wrote and which not, and leaves those it did not
// write marked: the next partial burn writes them.
TEST_F(EepromChipTest, AStoppedPartialBurnKeepsWhatItDidNotWrite) {
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "2"));
    ASSERT_EQ(0, app_->UpdateEepromField("shifted", "2"));
    app_->SetStoppableProgressCallback([](const char*, std::uint64_t, std::uint64_t, void*) { return 1; }, nullptr);
    EXPECT_EQ(0, app_->BurnEeprom(true));
    app_->SetStoppableProgressCallback(nullptr, nullptr);
    EXPECT_EQ("Cancelled: EEprom burn stopped by the host: 2 of 3 bytes written; fields written: gain; fields not "
              "written: shifted (marked for the next partial burn)",
              std::string(app_->FailureMessage()));
    EXPECT_EQ((Runs{{6, 2}}), Sent(NATIVE_WRITE_EEPROM)) << "the second run is not written";
    chip_->ClearCommands();
    app_->BeginOperation();  // as every export starts: no stop requested
    EXPECT_EQ(1, app_->BurnEeprom(true));
    EXPECT_EQ((Runs{{10, 1}}), Sent(NATIVE_WRITE_EEPROM));
    EXPECT_EQ(ImageBytes(Eeprom(), 6, 5), chip_->Contents(6, 5));
}

TEST_F(EepromChipTest, DumpWritesTheImageOrSaysWhy) {
    ASSERT_EQ(0, app_->UpdateEepromField("gain", "4.25"));
    const std::string path = dir_->File("dump.bin");
    EXPECT_EQ(0, app_->DumpEepromTable(path));
    EXPECT_EQ("", std::string(app_->FailureMessage()));
    const std::string written = testsupport::ReadFile(path);
    EXPECT_EQ(ImageBytes(Eeprom(), 0, 40), Bytes(written.begin(), written.end()));

    const std::string nowhere = dir_->File("no/such/folder/dump.bin");
    EXPECT_EQ(1, app_->DumpEepromTable(nowhere));
    EXPECT_EQ("Failed to Dump EEprom Table to File: " + nowhere, std::string(app_->FailureMessage()));
    EXPECT_TRUE(chip_->Commands().empty()) << "a dump never talks to the chip";
}

// Burns go in slices of 1024 bytes with progress between them: a layout of
// 2.5 KiB puts fields in the second and third slice.
TEST_F(EepromChipTest, BurnsLongerThanOneSliceLandWhereTheyBelong) {
    testsupport::TempDir dir;
    EepromInterface wide(app_->GetTrafficManager());
    Parse(wide, dir,
          "EEPROM_CER_SECTION(a, 01, 1100)\nEEPROM_FIELD_DOUBLE(early, 2, 8.8, 0, 0, 1)\nEEPROM_END_SECTION\n"
          "EEPROM_CER_SECTION(b, 02, 1000)\nEEPROM_FIELD_CHAR(middle, 4, 0x01, 0x02, 0x03, 0x04)\n"
          "EEPROM_END_SECTION\nEEPROM_CER_SECTION(c, 03, 400)\nEEPROM_FIELD_DOUBLE(late, 2, 8.8, 0, 0, 2)\n"
          "EEPROM_END_SECTION\n");
    const std::uint32_t size = wide.GetDataBaseSize();
    ASSERT_EQ(2512u, size);
    ASSERT_GT(wide.FindField("late")->offset, 2048u);

    std::string pattern(size, '\0');
    for (std::uint32_t i = 0; i < size; ++i) pattern[i] = static_cast<char>(i * 7 + i / 256);
    ASSERT_EQ(0, wide.LoadBinaryFile(dir.Write("pattern.bin", pattern)));  // marks every record
    for (const bool partial : {false, true}) {
        SCOPED_TRACE(partial ? "partial burn: one run of every record" : "full burn");
        chip_->ClearCommands();
        EXPECT_EQ(1, wide.Burn(partial));
        EXPECT_EQ(ImageBytes(wide, 0, size), chip_->Contents(0, size));
        Runs expected;
        for (std::uint32_t at = 0; at < size; at += 16) expected.emplace_back(at, std::min<std::uint32_t>(16, size - at));
        EXPECT_EQ(expected, Sent(NATIVE_WRITE_EEPROM));
        for (std::size_t i = 0; i < size; ++i) pattern[i] = static_cast<char>(~pattern[i]);
        ASSERT_EQ(0, wide.LoadBinaryFile(dir.Write("pattern.bin", pattern)));
    }
}

// The listing's text, its NUL counted, may fill the result buffer to its
// last byte: 65535 is taken whole, 65536 refused.
TEST(EepromListingLimit, ExactlyTheResultBuffersLength) {
    testsupport::IsolatedRoot root;
    testsupport::TempDir dir;
    // 601 lines of 109 characters, one of 15 and "d = <value>": 65524 + the value.
    std::string layout = "EEPROM_CEM_SECTION(s, 000001, 12100)\n";
    for (int i = 0; i < 601; ++i) {
        layout += Format("EEPROM_FIELD_CHAR(f%04d, 20", i);
        for (int b = 0; b < 20; ++b) layout += ", 0x00";
        layout += ")\n";
    }
    layout += "EEPROM_FIELD_CHAR(c, 2, 0x00, 0x00)\nEEPROM_FIELD_DOUBLE(d, 2, 8.8, 0, 0, 0)\nEEPROM_END_SECTION\n";
    dir.Write("eeprom.h", layout);
    // The dispatcher's thread answers through the chip: it goes first.
    std::unique_ptr<EepromChip> chipOwner;
    auto dispatcher = std::make_unique<fake::Dispatcher>();
    chipOwner = std::make_unique<EepromChip>(*dispatcher, 16384);
    const std::uint16_t listenPort = fake::FreeTcpPort();
    ConsoleAppLogic app(dispatcher->CommandPort(), "127.0.0.1", listenPort, "", "", dir.Write("list.txt", "eeprom.h\n"));
    ASSERT_TRUE(dispatcher->Connect(listenPort));
    const struct Teardown {
        std::unique_ptr<fake::Dispatcher>& dispatcher;
        ~Teardown() { dispatcher.reset(); }
    } teardown{dispatcher};
    ASSERT_EQ(0, app.InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
    const struct {
        const char* value;
        int result;
        std::uint32_t length;
    } cases[] = {{"1", 0, 65535}, {"10", 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(0, app.UpdateEepromField("d", c.value));
        ASSERT_EQ(1, app.BurnEeprom(true));
        EXPECT_EQ(c.result, app.ReadEntireEeprom(""));
        EXPECT_EQ(c.length, app.ResultLength());
        if (c.result == 0) {
            EXPECT_EQ(0, app.ResultBuffer()[65534]);
            EXPECT_EQ("d = 1.000\n", std::string(app.ResultBuffer() + 65524, 10));
        } else {
            EXPECT_EQ("Failed to Read EEprom!!,Data length exceed the buffer size", std::string(app.FailureMessage()));
        }
    }
}

TEST(EepromWithoutInterface, EveryOperationRefuses) {
    testsupport::IsolatedRoot root;
    AppCollaborators onlyTraffic;
    onlyTraffic.eepromInterface = onlyTraffic.structAccess = onlyTraffic.appAdapter = onlyTraffic.evtAdapter = false;
    ConsoleAppLogic app(1, "127.0.0.1", fake::FreeTcpPort(), "", "", "", onlyTraffic);
    const std::string refused = "Error!!! EEprom Interface wasn't Initialized";
    EXPECT_EQ(1, app.InitEepromInterface(0, ""));
    EXPECT_EQ(1, app.UpdateEepromField("gain", "1"));
    EXPECT_EQ(0, app.BurnEeprom(false));
    EXPECT_EQ(1, app.DumpEepromTable("x.bin"));
    EXPECT_EQ(1, app.ReadEntireEeprom(""));
    EXPECT_EQ(1, app.ReadFieldFromEeprom("gain"));
    EXPECT_EQ(1, app.ReadFieldFromVolatile("gain"));
    EXPECT_EQ(refused, std::string(app.FailureMessage()));
}

}  // namespace
