// The console command adapter: PHY and MAC command headers, the MAC sequence
// counter, memory commands with their address windows and bytes text.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "consoleappadapter.h"
#include "consolelogger.h"
#include "structaccess.h"
#include "testsupport.h"

using testsupport::ReadFile;

namespace {

// A structure of `bytes` bytes made of 4-byte fields and a 1-byte tail.
std::string StructOfLength(const std::string& name, int bytes) {
    std::string text = "OPEN_STRUCT_DECLARATION\n";
    for (int i = 0; i < bytes / 4; ++i) text += "FIELD_UINT32(w" + std::to_string(i) + ");\n";
    for (int i = 0; i < bytes % 4; ++i) text += "FIELD_UINT8(b" + std::to_string(i) + ");\n";
    return text + "END_STRUCT_DECLARATION(" + name + ")\n";
}

const char* const kCommandDefinitions = R"(// opcodes
START_ENUM
ENUM_WITH_VALUE(OP_SET_GAIN, 0x0123)
ENUM_WITH_VALUE(OP_FULL_PHY, 0x21)
ENUM_WITH_VALUE(OP_LONG_PHY, 0x22)
ENUM_WITH_VALUE(OP_TUNNEL, 0x30)
ENUM_WITH_VALUE(OP_MAC_CFG, 0x0123)
ENUM_WITH_VALUE(OP_MAC_MAX, 0x0201)
ENUM_WITH_VALUE(OP_MAC_OVER, 0x0202)
END_ENUM

OPEN_STRUCT_DECLARATION
FIELD_UINT16(id);
FIELD_INT8(level);
END_STRUCT_DECLARATION(GainParams)
DEFINE_DEFAULT_VALUE(GainParams, id, 7)

DECLARE_COMMAND(SET_GAIN, PHY_CMD_TYPE, GainParams, OP_SET_GAIN, WAIT_NEEDED)
DECLARE_COMMAND(PHY_TWELVE, PHY_CMD_TYPE, Twelve, OP_FULL_PHY, WAIT_NEEDED)
DECLARE_COMMAND(PHY_THIRTEEN, PHY_CMD_TYPE, Thirteen, OP_LONG_PHY, WAIT_NEEDED)
DECLARE_COMMAND(TUNNEL_GAIN, PHY_TUNNEL_CMD_TYPE, GainParams, OP_TUNNEL, WAIT_NOT_NEEDED)
DECLARE_COMMAND(PHY_NO_OPCODE, PHY_CMD_TYPE, GainParams, OP_UNDEFINED, WAIT_NEEDED)
DECLARE_COMMAND(PHY_NO_STRUCT, PHY_CMD_TYPE, NoSuchStruct, OP_SET_GAIN, WAIT_NEEDED)
DECLARE_COMMAND(MAC_CFG, MAC_CMD_TYPE, GainParams, OP_MAC_CFG, WAIT_NEEDED)
DECLARE_COMMAND(MAC_MAX, MAC_CMD_TYPE, Max196, OP_MAC_MAX, WAIT_NOT_NEEDED)
DECLARE_COMMAND(MAC_OVER, MAC_CMD_TYPE, Over197, OP_MAC_OVER, WAIT_NEEDED)
DECLARE_COMMAND(MAC_NO_OPCODE, MAC_CMD_TYPE, GainParams, OP_UNDEFINED, WAIT_NEEDED)
DECLARE_COMMAND(MAC_NO_STRUCT, MAC_CMD_TYPE, NoSuchStruct, OP_MAC_CFG, WAIT_NEEDED)

OPEN_STRUCT_DECLARATION
FIELD_UINT32(count);
FIELD_UINT16(flags);
FIELD_UINT8(mode);
END_STRUCT_DECLARATION(StatsStruct)
DECLARE_MEM_OP(MAC_STATS, MAC_FILE_TYPE, StatsStruct, macStatsBlock)
DECLARE_MEM_OP(PHY_STATS, PHY_FILE_TYPE, StatsStruct, phyStatsBlock)
DECLARE_MEM_OP(LOST_STATS, PHY_FILE_TYPE, StatsStruct, notInAnyMap)
)";

// Symbols just below the 1 MiB boundary show whether a field offset is added
// before (MAC) or after (PHY) the window mask.
const char* const kMacMap =
    "macStatsBlock 0x000FFFFE data\n"
    "sharedVar 0x00123456 data\n"
    "highVar 0x40F12345 data\n";
const char* const kPhyMap =
    "phyStatsBlock 0x000FFFFE data\n"
    "sharedVar 123456 data\n";

// The parsed definitions and a log that the tests read back.
class AdapterEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        root_ = std::make_unique<testsupport::IsolatedRoot>();
        SetLogSeverityLevel(LOG_DETAIL);
        const std::string definitions = kCommandDefinitions + StructOfLength("Twelve", 12) +
                                        StructOfLength("Thirteen", 13) +
                                        StructOfLength("Max196", 196) +
                                        StructOfLength("Over197", 197);
        dir_.Write("defs/commands.h", definitions);
        const std::string listFile = dir_.Write("structs.lst", "defs/commands.h\n");
        database = std::make_unique<StructAccess>(dir_.Write("mac.map", kMacMap),
                                                  dir_.Write("phy.map", kPhyMap), nullptr);
        ASSERT_TRUE(database->structAccessInit(listFile));
    }
    void TearDown() override {
        database.reset();
        ConsoleLogger::DestroyInstance();
        root_.reset();
    }

    static std::unique_ptr<StructAccess> database;

private:
    std::unique_ptr<testsupport::IsolatedRoot> root_;
    testsupport::TempDir dir_;
};
std::unique_ptr<StructAccess> AdapterEnvironment::database;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new AdapterEnvironment);

using testsupport::LogTail;

using PhyCmd = std::array<std::uint8_t, kPhyConsoleCmdSize>;
using MacCmd = std::array<std::uint8_t, kMacCmdBuffSize>;

struct Adapted {
    bool ok = false;
    PhyCmd phy{};
    MacCmd mac{};
    bool isMac = false;
    std::uint32_t length = 0;
    bool responseExpected = false;
    bool headerless = false;
};

class CommandAdapterTest : public ::testing::Test {
protected:
    // Buffers start filled with a marker so that untouched bytes show.
    Adapted Adapt(const std::string& line, std::uint8_t fill = 0xAA) {
        Adapted out;
        out.phy.fill(fill);
        out.mac.fill(fill);
        out.ok = adapter.adaptCommand(line, out.phy, out.mac, out.isMac, out.length,
                                      out.responseExpected, out.headerless);
        return out;
    }

    ConsoleAppAdapter adapter{AdapterEnvironment::database.get()};
};

std::vector<std::uint8_t> Prefix(const std::uint8_t* bytes, std::size_t count) {
    return std::vector<std::uint8_t>(bytes, bytes + count);
}

// ---------------------------------------------------------------- PHY commands

TEST_F(CommandAdapterTest, PhyCommandCarriesHeaderAndBigEndianParameters) {
    const Adapted out = Adapt("SET_GAIN id=0x1234,level=-1");
    ASSERT_TRUE(out.ok);
    EXPECT_FALSE(out.isMac);
    EXPECT_FALSE(out.headerless);
    EXPECT_TRUE(out.responseExpected);
    EXPECT_EQ(out.length, 11u);
    // Opcode 0x0123 keeps its low byte; bytes 5-7 go out as zero.
    const std::vector<std::uint8_t> expected{0x23, 0, 0, 0, 11, 0, 0, 0, 0x12, 0x34, 0xFF};
    EXPECT_EQ(Prefix(out.phy.data(), 11), expected);
    EXPECT_EQ(out.mac[0], 0xAA) << "a PHY command must leave the MAC buffer alone";
}

TEST_F(CommandAdapterTest, PhyCommandWithoutParametersHoldsTheDefaults) {
    const Adapted out = Adapt("SET_GAIN");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(Prefix(out.phy.data() + 8, 3), (std::vector<std::uint8_t>{0x00, 0x07, 0x00}));
}

TEST_F(CommandAdapterTest, TwelveByteStructureMakesTheLongestPhyCommand) {
    const Adapted out = Adapt("PHY_TWELVE w2=0x01020304");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.length, 20u);
    EXPECT_EQ(out.phy[4], 20);
    EXPECT_EQ(Prefix(out.phy.data() + 16, 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST_F(CommandAdapterTest, ThirteenByteStructureIsRefusedNotTruncated) {
    LogTail log;
    const Adapted out = Adapt("PHY_THIRTEEN");
    EXPECT_FALSE(out.ok);
    EXPECT_NE(log.Text().find("<ConsoleAppAdapter>Unable to handle PHY_THIRTEEN because command's "
                              "length 13 exceed the console command's max length 12 \n\t\t\t"
                              "Please check struct definition."),
              std::string::npos);
}

TEST_F(CommandAdapterTest, TunnelCommandTravelsWithoutHeaderAndNeedsNoResponse) {
    const Adapted out = Adapt("TUNNEL_GAIN level=5");
    ASSERT_TRUE(out.ok);
    EXPECT_FALSE(out.isMac);
    EXPECT_TRUE(out.headerless);
    EXPECT_FALSE(out.responseExpected);
    EXPECT_EQ(out.phy[0], 0x30);
}

struct RefusalCase {
    const char* line;
    const char* logText;  // a line of the log that explains the refusal
};
std::ostream& operator<<(std::ostream& out, const RefusalCase& c) { return out << c.line; }

class CommandRefusalTest : public CommandAdapterTest,
                           public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CommandRefusalTest, RefusesWithItsMessage) {
    LogTail log;
    EXPECT_FALSE(Adapt(GetParam().line).ok);
    EXPECT_NE(log.Text().find(GetParam().logText), std::string::npos) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CommandRefusalTest,
    ::testing::Values(
        RefusalCase{"NO_SUCH_CMD a=1", "<StructAccess>Command type for NO_SUCH_CMD not found."},
        RefusalCase{"PHY_NO_OPCODE", " : Bad PHY command type."},
        RefusalCase{"PHY_NO_STRUCT", "<ConsoleAppAdapter>Unable to count PHY_NO_STRUCT command's "
                                     "length please check struct definition."},
        // The MAC form of this message carries no class tag.
        RefusalCase{"MAC_NO_STRUCT", " : Unable to count MAC_NO_STRUCT command's length please "
                                     "check struct definition."},
        RefusalCase{"SET_GAIN bogus=1", "doesn't contain the field: bogus"},
        RefusalCase{"MAC_OVER", "<ConsoleAppAdapter>Unable to handle MAC_OVER because command's "
                                "length 197 exceed the MAC command's max length 196"}));

TEST_F(CommandAdapterTest, ParameterTextIsLimitedTo255Characters) {
    const std::string fits = "id=1" + std::string(251, ' ');
    EXPECT_TRUE(Adapt("SET_GAIN " + fits).ok);

    LogTail log;
    EXPECT_FALSE(Adapt("SET_GAIN " + fits + " ").ok);
    EXPECT_NE(log.Text().find("<ConsoleAppAdapter>Parameters of SET_GAIN are longer than 255 "
                              "characters."),
              std::string::npos);
}

// ---------------------------------------------------------------- MAC commands

TEST_F(CommandAdapterTest, MacCommandCarriesSixteenBitOpcodeAndSequence) {
    const Adapted out = Adapt("MAC_CFG id=0x1234,level=-1");
    ASSERT_TRUE(out.ok);
    EXPECT_TRUE(out.isMac);
    EXPECT_FALSE(out.headerless);
    EXPECT_TRUE(out.responseExpected);
    EXPECT_EQ(out.length, 7u);
    const std::vector<std::uint8_t> expected{0x01, 0x23, 0x00, 0x00, 0x12, 0x34, 0xFF};
    EXPECT_EQ(Prefix(out.mac.data(), 7), expected);
    EXPECT_EQ(out.phy[0], 0xAA) << "a MAC command must leave the PHY buffer alone";
}

TEST_F(CommandAdapterTest, MacSequenceByteCountsBuiltCommandsAndWraps) {
    for (int i = 0; i < 258; ++i) {
        const Adapted out = Adapt("MAC_CFG");
        ASSERT_TRUE(out.ok);
        ASSERT_EQ(out.mac[2], static_cast<std::uint8_t>(i)) << "command " << i;
    }
}

TEST_F(CommandAdapterTest, RefusedMacCommandDoesNotAdvanceTheSequence) {
    EXPECT_EQ(Adapt("MAC_CFG").mac[2], 0);
    EXPECT_FALSE(Adapt("MAC_NO_OPCODE").ok);
    EXPECT_FALSE(Adapt("MAC_CFG nofield=1").ok);
    EXPECT_EQ(Adapt("MAC_CFG").mac[2], 1);
}

TEST_F(CommandAdapterTest, MacStructureOf196BytesFillsTheBufferExactly) {
    const Adapted out = Adapt("MAC_MAX w48=0x0A0B0C0D");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.length, 200u);
    EXPECT_FALSE(out.responseExpected);
    EXPECT_EQ(Prefix(out.mac.data() + 196, 4), (std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST_F(CommandAdapterTest, MacStructureOver196BytesWritesNothing) {
    const Adapted out = Adapt("MAC_OVER");
    EXPECT_FALSE(out.ok);
    for (std::uint8_t byte : out.mac) ASSERT_EQ(byte, 0xAA);
    EXPECT_EQ(Adapt("MAC_CFG").mac[2], 0) << "the refused command took a sequence number";
}

// ---------------------------------------------------------------- memory commands

struct NativeLineCase {
    const char* source;  // STRUCT, MAC_FILE_TYPE or PHY_FILE_TYPE
    bool write;
    const char* text;
    const char* nativeLine;
};
std::ostream& operator<<(std::ostream& out, const NativeLineCase& c) {
    return out << (c.write ? "write " : "read ") << c.source << " " << c.text;
}

class MemoryLineTest : public ::testing::TestWithParam<NativeLineCase> {
protected:
    ConsoleAppAdapter adapter{AdapterEnvironment::database.get()};
};

TEST_P(MemoryLineTest, RewritesIntoNativeLine) {
    const NativeLineCase& c = GetParam();
    std::string line;
    bool ok = false;
    if (std::string(c.source) == "STRUCT") {
        ok = c.write ? adapter.adaptSetMemOperStruct(c.text, line)
                     : adapter.adaptGetMemOperStruct(c.text, line);
    } else {
        ok = c.write ? adapter.adaptWriteMemSymbol(c.source, c.text, line)
                     : adapter.adaptReadMemSymbol(c.source, c.text, line);
    }
    ASSERT_TRUE(ok) << c.text;
    EXPECT_EQ(line, c.nativeLine);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MemoryLineTest,
    ::testing::Values(
        NativeLineCase{"PHY_FILE_TYPE", false, "sharedVar 4", "NATIVE_READ_BUFFER_CMD 0x563456 4"},
        NativeLineCase{"MAC_FILE_TYPE", false, "sharedVar 4", "NATIVE_READ_BUFFER_CMD 0xe23456 4"},
        NativeLineCase{"MAC_FILE_TYPE", false, "highVar 16", "NATIVE_READ_BUFFER_CMD 0xe12345 16"},
        NativeLineCase{"MAC_FILE_TYPE", true, "sharedVar 2 0x1234",
                       "NATIVE_WRITE_BUFFER_CMD 0xe23456 2 0x12 0x34"},
        NativeLineCase{"MAC_FILE_TYPE", true, "sharedVar 2 300",
                       "NATIVE_WRITE_BUFFER_CMD 0xe23456 2 0x01 0x2c"},
        NativeLineCase{"PHY_FILE_TYPE", true, "sharedVar 1 -1",
                       "NATIVE_WRITE_BUFFER_CMD 0x563456 1 0xff"},
        NativeLineCase{"PHY_FILE_TYPE", true, "sharedVar 4 4294967295",
                       "NATIVE_WRITE_BUFFER_CMD 0x563456 4 0xff 0xff 0xff 0xff"},
        NativeLineCase{"PHY_FILE_TYPE", true, "sharedVar 4 -2147483648",
                       "NATIVE_WRITE_BUFFER_CMD 0x563456 4 0x80 0x00 0x00 0x00"},
        NativeLineCase{"PHY_FILE_TYPE", false, "sharedVar 4\r\n",
                       "NATIVE_READ_BUFFER_CMD 0x563456 4"},
        // A size is read as %d reads it; words after the ones read are ignored.
        NativeLineCase{"PHY_FILE_TYPE", false, "sharedVar 4abc", "NATIVE_READ_BUFFER_CMD 0x563456 4"},
        NativeLineCase{"PHY_FILE_TYPE", false, "sharedVar 4 extra", "NATIVE_READ_BUFFER_CMD 0x563456 4"},
        NativeLineCase{"MAC_FILE_TYPE", true, "sharedVar 2x 0x1234 extra",
                       "NATIVE_WRITE_BUFFER_CMD 0xe23456 2 0x12 0x34"},
        NativeLineCase{"STRUCT", false, "MAC_STATS flags extra", "NATIVE_READ_BUFFER_CMD 0xe00002 2"},
        NativeLineCase{"STRUCT", false, "MAC_STATS flags", "NATIVE_READ_BUFFER_CMD 0xe00002 2"},
        NativeLineCase{"STRUCT", false, "PHY_STATS flags", "NATIVE_READ_BUFFER_CMD 0x600002 2"},
        NativeLineCase{"STRUCT", false, "MAC_STATS count", "NATIVE_READ_BUFFER_CMD 0xeffffe 4"},
        NativeLineCase{"STRUCT", true, "PHY_STATS mode 0x7f",
                       "NATIVE_WRITE_BUFFER_CMD 0x600004 1 0x7f"},
        NativeLineCase{"STRUCT", true, "MAC_STATS flags 300",
                       "NATIVE_WRITE_BUFFER_CMD 0xe00002 2 0x01 0x2c"}));

struct MemoryRefusalCase {
    const char* line;
    const char* logText;  // "" when the refusal has no message of its own
};
std::ostream& operator<<(std::ostream& out, const MemoryRefusalCase& c) { return out << c.line; }

class MemoryRefusalTest : public ::testing::TestWithParam<MemoryRefusalCase> {
protected:
    ConsoleAppAdapter adapter{AdapterEnvironment::database.get()};
};

// The line is split as the application splits it: the command word, then the
// rest after one separator.
TEST_P(MemoryRefusalTest, RefusesTheLine) {
    const std::string line = GetParam().line;
    const std::size_t blank = line.find(' ');
    LogTail log;
    NativeCommand_t native;
    EXPECT_FALSE(adapter.adaptMemCommand(line.substr(0, blank), line.substr(blank + 1), native));
    EXPECT_NE(log.Text().find(GetParam().logText), std::string::npos) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MemoryRefusalTest,
    ::testing::Values(
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar 17", ""},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar -4", ""},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar -4abc", ""},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar 99999999999", ""},
        MemoryRefusalCase{"MEM_WRITE PHY_FILE_TYPE sharedVar 5 1", ""},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar four", "Size four is not a decimal number."},
        MemoryRefusalCase{"MEM_WRITE MAC_FILE_TYPE sharedVar 1 256", "Value 256 does not fit in 1 bytes."},
        MemoryRefusalCase{"MEM_WRITE MAC_FILE_TYPE sharedVar 1 -129", "Value -129 does not fit in 1 bytes."},
        MemoryRefusalCase{"MEM_WRITE MAC_FILE_TYPE sharedVar 4 0x100000000", "does not fit in 4 bytes."},
        MemoryRefusalCase{"MEM_WRITE STRUCT MAC_STATS mode 0x100", "does not fit in 1 bytes."},
        MemoryRefusalCase{"MEM_WRITE MAC_FILE_TYPE sharedVar 2 12abc", "Value 12abc is not a number."},
        MemoryRefusalCase{"MEM_READ  PHY_FILE_TYPE sharedVar 4", "separated by single blanks"},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar\t4", "separated by single blanks"},
        MemoryRefusalCase{"MEM_WRITE STRUCT MAC_STATS flags  1", "separated by single blanks"},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE sharedVar", "Wrong Usage"},
        MemoryRefusalCase{"MEM_WRITE STRUCT MAC_STATS flags", "Wrong Usage"},
        MemoryRefusalCase{"MEM_READ ROM_FILE_TYPE sharedVar 4", "Unknown memory source ROM_FILE_TYPE"},
        MemoryRefusalCase{"MEM_READ PHY_FILE_TYPE highVar 4", ""},  // only in the MAC map
        MemoryRefusalCase{"MEM_READ STRUCT LOST_STATS count", ""},  // symbol not found: address 0
        MemoryRefusalCase{"MEM_READ STRUCT NO_SUCH_OP count", "<StructAccess>Unable to count NO_SUCH_OP"},
        MemoryRefusalCase{"MEM_READ STRUCT MAC_STATS nosuch",
                          "adaptGetMemOperStruct: Bad field offset or size: offset=-1, size=-1\n"},
        MemoryRefusalCase{"MEM_WRITE STRUCT MAC_STATS nosuch 1",
                          "adaptSetMemOperStruct: Bad field offset or size: offset=-1, size=-1\n"}));

// Through the native adapter into the record that is sent.
TEST(MemoryCommandRecord, ReadAndWriteBecomeNativeBufferCommands) {
    ConsoleAppAdapter adapter(AdapterEnvironment::database.get());
    NativeCommand_t read;
    ASSERT_TRUE(adapter.adaptMemCommand("MEM_READ", "STRUCT PHY_STATS flags", read));
    EXPECT_EQ(read.Type, NATIVE_READ_BUFFER);
    EXPECT_EQ(read.Address, 0x600002u);
    EXPECT_EQ(read.Length, 2);

    NativeCommand_t write;
    ASSERT_TRUE(adapter.adaptMemCommand("MEM_WRITE", "MAC_FILE_TYPE sharedVar 4 0x0A0B0C0D", write));
    EXPECT_EQ(write.Type, NATIVE_WRITE_BUFFER);
    EXPECT_EQ(write.Address, 0xE23456u);
    EXPECT_EQ(write.Length, 4);
    EXPECT_EQ(Prefix(write.Data.data(), 4), (std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C, 0x0D}));
}

}  // namespace
