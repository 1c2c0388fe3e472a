// The EEPROM keywords of the definition files and the field table they build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "consolelogger.h"
#include "eeprominterface.h"
#include "structaccess.h"
#include "testsupport.h"

using testsupport::ReadFile;

namespace {

using Bytes = std::vector<std::uint8_t>;

class EepromRowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { static testsupport::IsolatedRoot root; }

    void Parse(const std::string& definitions) {
        dir_.Write("defs.h", definitions);
        StructAccess db("", "", &eeprom_);
        ASSERT_TRUE(db.structAccessInit(dir_.Write("list.txt", "defs.h\n")));
    }
    const std::vector<EEpromFieldDefinition_t>& Eeprom() const { return eeprom_.FieldTable(); }
    std::string CrashAdded() const { return ReadFile(CrashFilePath()).substr(crashStart_); }

    testsupport::TempDir dir_;
    EepromInterface eeprom_{nullptr};
    std::size_t crashStart_ = ReadFile(CrashFilePath()).size();
};

TEST_F(EepromRowsTest, BuildRecordsAtRunningOffsets) {
    Parse("EEPROM_CEM_SECTION(sec, 1A2B3C, 100)\n"
          "EEPROM_FIELD_DOUBLE(gain, 2, 4.8, 0, 1, -1.5)\n"
          "EEPROM_FIELD_DOUBLE(g, 1, 4.8, 0, 0, 1.0)\n"
          "EEPROM_FIELD_DOUBLE(shifted, 1, 4.0, 4, 0, 3)\n"
          "EEPROM_FIELD_DOUBLE(half, 1, 8.0, 0, 1, -0.5)\n"
          "EEPROM_FIELD_CHAR(mac, 4, 0x01, 0x1FF)\n"
          "EEPROM_FIELD_CHAR(big, 21, 0x01, 0x02)\n"
          "EEPROM_FIELD_REGISTER(reg, 0x1234, -2)\n"
          "EEPROM_END_SECTION\n"
          "EEPROM_CER_SECTION(cer, 1FF, 200)\n"
          "EEPROM_FIELD_CHAR(inside, 3, 0x1, 0x2, 0x3)\n"
          "EEPROM_END_SECTION\n"
          "EEPROM_CER_SECTION(tiny, 5, 2)\n"
          "EEPROM_FIELD_CHAR(over, 3, 0x1, 0x2, 0x3)\n"
          "EEPROM_END_SECTION\nEEPROM_EOB_SECTION\n");
    struct Expected {
        const char* name;
        std::uint32_t offset;
        Bytes data;
        int isNumeric, isSigned, isListed;
    };
    const std::vector<Expected> expected = {
        {"sec", 0, {0x01, 0x00, 0x67, 0x1A, 0x2B, 0x3C}, 0, 0, 0},
        {"gain", 6, {0xFE, 0x80}, 1, 1, 1},
        {"shifted", 8, {0x30}, 1, 0, 1},
        {"half", 9, {0xFF}, 1, 1, 1},
        {"mac", 10, {0x01, 0xFF, 0x00, 0x00}, 0, 0, 1},
        {"reg", 14, {0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE}, 1, 1, 0},
        {"Padding Section", 20, Bytes(86, 0), 0, 0, 0},
        {"cer", 106, {0x02, 0x00, 0xC9, 0xFF}, 0, 0, 0},
        {"inside", 110, {0x01, 0x02, 0x03}, 0, 0, 1},
        {"Padding Section", 113, Bytes(197, 0), 0, 0, 0},
        {"tiny", 310, {0x02, 0x00, 0x03, 0x05}, 0, 0, 0},
        {"over", 314, {0x01, 0x02, 0x03}, 0, 0, 1},
        {"EOB", 317, {0x04, 0x00, 0x00}, 0, 0, 0},
    };
    ASSERT_EQ(expected.size(), Eeprom().size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const EEpromFieldDefinition_t& record = Eeprom()[i];
        EXPECT_EQ(expected[i].name, record.name);
        EXPECT_EQ(expected[i].offset, record.offset) << record.name;
        EXPECT_EQ(expected[i].data.size(), record.size) << record.name;
        EXPECT_EQ(expected[i].data, record.data) << record.name;
        EXPECT_EQ(expected[i].isNumeric, record.isNumeric) << record.name;
        EXPECT_EQ(expected[i].isSigned, record.isSigned) << record.name;
        EXPECT_EQ(expected[i].isListed, record.isListed) << record.name;
    }
    EXPECT_EQ(4, Eeprom()[1].integerBits);
    EXPECT_EQ(8, Eeprom()[1].fractionBits);
    EXPECT_EQ(4, Eeprom()[2].shift);
    EXPECT_EQ(320u, eeprom_.GetDataBaseSize());
    EXPECT_EQ(0u, eeprom_.GetSectionRemaining());
    const std::string crash = CrashAdded();
    // A format too wide for its field leaves the field out without a word.
    EXPECT_EQ(std::string::npos, crash.find("EEPROM field g "));
    EXPECT_NE(std::string::npos, crash.find("EEPROM field big has 21 bytes"));
    EXPECT_NE(std::string::npos, crash.find("EEPROM field over (3 bytes) overruns its section"));
}

// The fixed-point value is read as strtod reads it: its longest numeric prefix.
TEST_F(EepromRowsTest, FixedPointValueIsReadAsStrtodReadsIt) {
    struct Case {
        const char* value;
        Bytes data;  // 4 bytes, format 16.8: the value times 256
    };
    const Case cases[] = {{"1e", {0x00, 0x00, 0x01, 0x00}},   {"0x10", {0x00, 0x00, 0x10, 0x00}},
                          {"1.5abc", {0x00, 0x00, 0x01, 0x80}}, {"-1", {0xFF, 0xFF, 0xFF, 0x00}},
                          {"nan", {0x00, 0x00, 0x00, 0x00}},    {"abc", {0x00, 0x00, 0x00, 0x00}},
                          {"inf", {0xFF, 0xFF, 0xFF, 0xFF}}};
    std::string definitions;
    for (const Case& c : cases) definitions += "EEPROM_FIELD_DOUBLE(v, 4, 16.8, 0, 1, " + std::string(c.value) + ")\n";
    Parse(definitions);
    ASSERT_EQ(std::size(cases), Eeprom().size());
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].data, Eeprom()[i].data) << cases[i].value;
}

TEST_F(EepromRowsTest, ExampleSetLaysOutItsSections) {
    const std::string examples = testsupport::ExamplesDir();
    StructAccess db(examples + "/maps/mac.map", examples + "/maps/phy.map", &eeprom_);
    ASSERT_TRUE(db.structAccessInit(examples + "/definitions/list.txt"));
    EXPECT_EQ("", CrashAdded());
    std::vector<std::string> names;
    std::uint32_t end = 0;
    for (const EEpromFieldDefinition_t& record : Eeprom()) {
        names.push_back(record.name);
        EXPECT_EQ(end, record.offset) << record.name;
        end = record.offset + record.size;
    }
    EXPECT_EQ((std::vector<std::string>{"ManufacturingSection", "MacAddress", "SerialNumber",
                                        "CrystalTrim", "Padding Section", "RadioSection",
                                        "TxPowerGain", "RxGainStep", "AgcThreshold", "RfControl",
                                        "Padding Section", "EOB"}),
              names);
    // Each section header counts its declared length: 6 + 32 and 4 + 24 bytes.
    EXPECT_EQ(38u, Eeprom()[5].offset);
    EXPECT_EQ(69u, eeprom_.GetDataBaseSize());
}

}  // namespace
