#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "consolelogger.h"
#include "consolenativeadapter.h"
#include "testsupport.h"

namespace {

const ConsoleNativeAdapter& Adapter() { return ConsoleNativeAdapter::GetInstance(); }

// Log lines of the test, written into an isolated library root.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConsoleLogger::DestroyInstance();
        SetLogSeverityLevel(LOG_NORMAL);
    }
    void TearDown() override { ConsoleLogger::DestroyInstance(); }
    std::string Log() const { return testsupport::ReadFile(ConsoleLogger::Instance().FilePath()); }

    testsupport::IsolatedRoot root_;
};

std::vector<std::uint8_t> DataPrefix(const NativeCommand_t& command, std::size_t count) {
    return std::vector<std::uint8_t>(command.Data.begin(), command.Data.begin() + static_cast<std::ptrdiff_t>(count));
}

struct LineCase {
    const char* line;
    std::uint16_t type;
    std::uint32_t address;
    std::uint16_t length;
    std::uint16_t additionalParam;
    std::vector<std::uint8_t> data;
};

class AdaptedLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(AdaptedLine, FillsTheRecord) {
    const LineCase& expected = GetParam();
    NativeCommand_t command;
    command.Data.fill(0xEE);
    ASSERT_TRUE(Adapter().AdaptNativeCommand(expected.line, command)) << expected.line;
    EXPECT_EQ(command.Type, expected.type);
    EXPECT_EQ(command.Address, expected.address);
    EXPECT_EQ(command.Length, expected.length);
    EXPECT_EQ(command.AdditionalParam, expected.additionalParam);
    EXPECT_EQ(command.reserved, 0);
    EXPECT_EQ(DataPrefix(command, expected.data.size()), expected.data);
}

INSTANTIATE_TEST_SUITE_P(
    NativeLines, AdaptedLine,
    ::testing::Values(
        LineCase{"NATIVE_READ_WORD_CMD 0x10", 0, 16, 0, 0, {}},
        LineCase{"NATIVE_READ_WORD_CMD 16", 0, 16, 0, 0, {}},
        LineCase{"  NATIVE_READ_WORD_CMD   0x1000  ", 0, 0x1000, 0, 0, {}},
        LineCase{"NATIVE_READ_WORD_CMD -1", 0, 0xFFFFFFFF, 0, 0, {}},
        LineCase{"NATIVE_WRITE_WORD_CMD 0x20 258", 1, 0x20, 4, 0, {0x02, 0x01, 0x00, 0x00}},
        LineCase{"NATIVE_WRITE_WORD_CMD 0x20 0xA1B2C3D4", 1, 0x20, 4, 0, {0xD4, 0xC3, 0xB2, 0xA1}},
        // Decimal words above 2^31 - 1 are the unsigned value's bits.
        LineCase{"NATIVE_WRITE_WORD_CMD 3217031424 4294967295", 1, 0xBFC00100, 4, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
        LineCase{"NATIVE_READ_WORD_CMD -2147483648", 0, 0x80000000, 0, 0, {}},
        LineCase{"NATIVE_READ_BUFFER_CMD 0x100 16", 2, 0x100, 16, 0, {}},
        LineCase{"NATIVE_READ_BUFFER_CMD 0x100 0x10010", 2, 0x100, 0x10, 0, {}},
        LineCase{"NATIVE_WRITE_BUFFER_CMD 0x100 3 1 2 3", 3, 0x100, 3, 0, {1, 2, 3, 0}},
        LineCase{"NATIVE_WRITE_BUFFER_CMD 0x100 2 0x1FF 7", 3, 0x100, 2, 0, {0xFF, 0x07}},
        LineCase{"NATIVE_WRITE_BUFFER_CMD 0x100 0", 3, 0x100, 0, 0, {0}},
        LineCase{"NATIVE_READ_EEPROM_CMD 0x40 8", 4, 0x40, 8, 0, {}},
        LineCase{"NATIVE_WRITE_EEPROM_CMD 0x40 2 170 0x55", 5, 0x40, 2, 0, {0xAA, 0x55}},
        LineCase{"NATIVE_COMMAND_PIPE_CMD 5 0x100", 6, 256, 0, 5, {}},
        LineCase{"NATIVE_COMMAND_PIPE_CMD 0x10005 7", 6, 7, 0, 5, {}}));

struct RefusedCase {
    const char* line;
    const char* logged;
};

class RefusedLine : public LoggedTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedLine, FailsWithItsMessage) {
    NativeCommand_t command;
    EXPECT_FALSE(Adapter().AdaptNativeCommand(GetParam().line, command)) << GetParam().line;
    EXPECT_NE(Log().find(GetParam().logged), std::string::npos) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    NativeLines, RefusedLine,
    ::testing::Values(
        RefusedCase{"", "<ConsoleNativeAdapter>Error: Wrong Usage for Native Command"},
        RefusedCase{"    ", "<ConsoleNativeAdapter>Error: Wrong Usage for Native Command"},
        RefusedCase{"native_read_word_cmd 0x10", "<ConsoleNativeAdapter>Error: Unknown Native Command"},
        // A word that is no number, or does not fit 32 bits, is not sent as another value.
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x20 value", "<ConsoleNativeAdapter>Error: 'value' is not a number of 32 bits"},
        // Characters after the number are the same typing mistake ("0X" is
        // not the hexadecimal mark, so its reading stops at the X).
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x10000040 0xQQ", "<ConsoleNativeAdapter>Error: '0xQQ' is not a number of 32 bits"},
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x1000004O 1",
                    "<ConsoleNativeAdapter>Error: '0x1000004O' is not a number of 32 bits"},
        RefusedCase{"NATIVE_READ_WORD_CMD 12abc", "<ConsoleNativeAdapter>Error: '12abc' is not a number of 32 bits"},
        RefusedCase{"NATIVE_READ_WORD_CMD 0X10", "<ConsoleNativeAdapter>Error: '0X10' is not a number of 32 bits"},
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x20 4294967296",
                    "<ConsoleNativeAdapter>Error: '4294967296' is not a number of 32 bits"},
        RefusedCase{"NATIVE_READ_WORD_CMD -2147483649",
                    "<ConsoleNativeAdapter>Error: '-2147483649' is not a number of 32 bits"},
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x123456789 1",
                    "Wrong Usage for NATIVE_WRITE_WORD_CMD, try: NATIVE_WRITE_WORD_CMD address value"},
        RefusedCase{"NATIVE_READ_WORD_CMD",
                    "Wrong Usage for NATIVE_READ_WORD_CMD, try: NATIVE_READ_WORD_CMD address"},
        RefusedCase{"NATIVE_READ_WORD_CMD 1 2",
                    "Wrong Usage for NATIVE_READ_WORD_CMD, try: NATIVE_READ_WORD_CMD address"},
        RefusedCase{"NATIVE_WRITE_WORD_CMD 0x10",
                    "Wrong Usage for NATIVE_WRITE_WORD_CMD, try: NATIVE_WRITE_WORD_CMD address value"},
        RefusedCase{"NATIVE_READ_BUFFER_CMD 0x10",
                    "Wrong Usage for NATIVE_READ_BUFFER_CMD, try: NATIVE_READ_BUFFER_CMD address length"},
        RefusedCase{"NATIVE_WRITE_BUFFER_CMD 0x100 3 1 2",
                    "Wrong Usage for NATIVE_WORD_BUFFER_CMD, try: NATIVE_WRITE_BUFFER_CMD address length data"},
        RefusedCase{"NATIVE_WRITE_BUFFER_CMD 0x100",
                    "Wrong Usage for NATIVE_WORD_BUFFER_CMD, try: NATIVE_WRITE_BUFFER_CMD address length data"},
        RefusedCase{"NATIVE_READ_EEPROM_CMD",
                    "Wrong Usage for NATIVE_READ_EEPROM_CMD, try: NATIVE_READ_EEPROM_CMD address length"},
        RefusedCase{"NATIVE_WRITE_EEPROM_CMD 0x40 1 1 2",
                    "Wrong Usage for NATIVE_WRITE_EEPROM_CMD, try: NATIVE_WRITE_EEPROM_CMD address length data"},
        RefusedCase{"NATIVE_COMMAND_PIPE_CMD 5", "Wrong Usage for NATIVE_COMMAND_PIPE_CMD, try: "
                                                 "NATIVE_COMMAND_PIPE_CMD cmd_type parameter(32bit)"}));

TEST(NativeCommandTypes, NamesMatchExactly) {
    const char* names[] = {"NATIVE_READ_WORD_CMD",   "NATIVE_WRITE_WORD_CMD",   "NATIVE_READ_BUFFER_CMD",
                           "NATIVE_WRITE_BUFFER_CMD", "NATIVE_READ_EEPROM_CMD", "NATIVE_WRITE_EEPROM_CMD",
                           "NATIVE_COMMAND_PIPE_CMD"};
    for (int type = 0; type < 7; ++type) EXPECT_EQ(Adapter().GetNativeCommandType(names[type]), type);
    EXPECT_EQ(Adapter().GetNativeCommandType("Native_Read_Word_Cmd"), -1);
    EXPECT_EQ(Adapter().GetNativeCommandType("NATIVE_READ_WORD_CMD "), -1);
    EXPECT_EQ(Adapter().GetNativeCommandType("MEM_READ"), -1);
}

TEST(NativeArguments, TabsBelongToTheTokenAndEveryTokenMustBeWhollyANumber) {
    std::vector<std::int32_t> values;
    std::string refused;
    // "1\t2" is one token, and not a number; blanks after a number are no more than blanks.
    EXPECT_FALSE(ConsoleNativeAdapter::ParseArguments(" 1\t2 3", values, refused));
    EXPECT_EQ(refused, "1\t2");
    ASSERT_TRUE(ConsoleNativeAdapter::ParseArguments(" 1\t 3\r", values, refused));
    EXPECT_EQ(values, (std::vector<std::int32_t>{1, 3}));
    ASSERT_TRUE(ConsoleNativeAdapter::ParseArguments("", values, refused));
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(ConsoleNativeAdapter::ParseArguments("0x10 -7 z", values, refused));
    EXPECT_EQ(refused, "z");
}

// ---------------------------------------------------------------- the Data bound

class DataBound : public LoggedTest {};

TEST_F(DataBound, WriteOfMoreThan512BytesIsRefusedBeforeFilling) {
    std::string line = "NATIVE_WRITE_BUFFER_CMD 0x100 513";
    for (int i = 0; i < 513; ++i) line += " 1";
    NativeCommand_t command;
    command.Address = 0x1234;
    EXPECT_FALSE(Adapter().AdaptNativeCommand(line, command));
    EXPECT_EQ(command.Address, 0x1234u);
    EXPECT_NE(Log().find("exceeds the 512 bytes of the Data area"), std::string::npos);

    const std::vector<std::uint8_t> bytes(600, 0x5A);
    EXPECT_FALSE(Adapter().BuildWriteBufferCmd(0, 513, bytes.data(), command));
    EXPECT_FALSE(Adapter().BuildWriteEepromCmd(0, 600, bytes.data(), command));
    EXPECT_EQ(command.Address, 0x1234u);
}

TEST_F(DataBound, ExactlyFullDataAreaIsAccepted) {
    std::vector<std::uint8_t> bytes(512);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    NativeCommand_t command;
    ASSERT_TRUE(Adapter().BuildWriteEepromCmd(0x80, 512, bytes.data(), command));
    EXPECT_EQ(command.Type, NATIVE_WRITE_EEPROM);
    EXPECT_EQ(command.Length, 512);
    EXPECT_EQ(DataPrefix(command, 512), bytes);
}

TEST(NativeBuilders, ListFormsNeedAValuePerByte) {
    NativeCommand_t command;
    EXPECT_FALSE(Adapter().BuildWriteBufferCmd(0, 3, std::vector<std::int32_t>{1, 2}, command));
    ASSERT_TRUE(Adapter().BuildWriteBufferCmd(0x10, 2, std::vector<std::int32_t>{0x1FF, -1, 9}, command));
    EXPECT_EQ(command.Length, 2);
    EXPECT_EQ(DataPrefix(command, 3), (std::vector<std::uint8_t>{0xFF, 0xFF, 0x00}));
}

}  // namespace
