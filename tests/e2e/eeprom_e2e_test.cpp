// The EEPROM exports end to end with the example layout: the image from the
// definitions, field updates, a partial burn checked in the emulated chip's
// EEPROM, reads from the chip before and after the emulator restarts from
// its EEPROM file, and chunk answers that get lost.
#include "e2e_support.h"

#include <string>

#include "termbridge.h"

namespace {

using e2e::Bytes;

[[maybe_unused]] auto* const g_session = e2e::AddExampleSession();

// Where the example layout (examples/definitions/eeprom.h) puts its fields.
constexpr std::size_t kSerialNumberAt = 12;
constexpr std::size_t kCrystalTrimAt = 20;
constexpr std::size_t kTxPowerGainAt = 42;
constexpr std::size_t kDataBaseSize = 69;

const std::string kSerial = "0x5a 0x52 0x58 0x30 0x30 0x30 0x30 0x39";
const Bytes kSerialBytes = {0x5A, 0x52, 0x58, 0x30, 0x30, 0x30, 0x30, 0x39};

using Eeprom = e2e::EndToEnd;

TEST_F(Eeprom, PartialBurnReachesTheChipAndSurvivesARestart) {
    ASSERT_EQ(InitEepromIF(0, ""), 0);
    ASSERT_EQ(UpdateEepromField("TxPowerGain", "20.5"), 0);
    ASSERT_EQ(UpdateEepromField("SerialNumber", kSerial.c_str()), 0);
    EXPECT_EQ(std::string(ReadFieldFromVolatile("TxPowerGain")), "20.500");
    const Bytes before = Emulator().Eeprom(0, kDataBaseSize);

    ASSERT_EQ(BurnEeprom(1), 1) << getFailureMessage();
    // Only the two updated fields were written.
    Bytes expected = before;
    std::copy(kSerialBytes.begin(), kSerialBytes.end(), expected.begin() + kSerialNumberAt);
    expected[kTxPowerGainAt] = 0x14;
    expected[kTxPowerGainAt + 1] = 0x80;
    EXPECT_EQ(Emulator().Eeprom(0, kDataBaseSize), expected);

    const auto readBack = [](const char* when) {
        EXPECT_EQ(std::string(ReadFieldFromEeprom("TxPowerGain")), "20.500") << when;
        EXPECT_EQ(std::string(ReadFieldFromEeprom("SerialNumber")), kSerial + " ") << when;
    };
    readBack("after the burn");
    ASSERT_TRUE(e2e::LibrarySession::Current().RestartEmulator());
    readBack("after the emulator's restart");
    EXPECT_EQ(Emulator().Eeprom(0, kDataBaseSize), expected);

    const std::string listing = ReadEntireEeprom("");
    EXPECT_NE(listing.find("SerialNumber = " + kSerial + " \nCrystalTrim = "), std::string::npos) << listing;
    EXPECT_EQ(getResultLen(), static_cast<int>(listing.size()) + 1);
    EXPECT_EQ(BurnEeprom(1), 0) << "nothing left to burn";
}

TEST_F(Eeprom, LostChunkAnswersFailOneOperation) {
    setInternalCommandTimeout(300);
    ASSERT_EQ(InitEepromIF(0, ""), 0);
    Emulator().Do("eeprom-fault drop 2");
    EXPECT_EQ(BurnEeprom(0), 0);
    EXPECT_EQ(std::string(getFailureMessage()), "Failed to Burn EEprom!!!");
    ASSERT_EQ(BurnEeprom(0), 1) << getFailureMessage();
    EXPECT_EQ(Emulator().Eeprom(kCrystalTrimAt, 2), (Bytes{0xFE, 0x80}));

    Emulator().Do("eeprom-fault drop 1");
    EXPECT_EQ(std::string(ReadFieldFromEeprom("CrystalTrim")), "Failed to Read EEprom!!!");
    EXPECT_EQ(std::string(ReadFieldFromEeprom("CrystalTrim")), "-1.500");
    EXPECT_EQ(std::string(ReadFieldFromEeprom("NoSuchField")), "Failed to Read EEprom!!!");
    setInternalCommandTimeout(1000);
}

}  // namespace
