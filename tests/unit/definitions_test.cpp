// The definition-file parser and the struct database it fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "consolelogger.h"
#include "structaccess.h"
#include "structparser.h"
#include "testsupport.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Text appended to a file since the watch began (the log or the crash file),
// with line ends as "\n" whatever the system wrote.
class FileWatch {
public:
    explicit FileWatch(std::string path) : path_(std::move(path)), start_(ReadFile(path_).size()) {}
    std::string Added() const {
        const std::string text = ReadFile(path_);
        std::string added = text.size() > start_ ? text.substr(start_) : std::string();
        added.erase(std::remove(added.begin(), added.end(), '\r'), added.end());
        return added;
    }

private:
    std::string path_;
    std::size_t start_;
};

// A set of definition files in a temporary folder and the database parsed
// from them.
class DefinitionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static testsupport::IsolatedRoot root;
        SetLogSeverityLevel(LOG_DETAIL);
    }

    StructAccess& Parse(const std::string& definitions) {
        dir_.Write("defs.h", definitions);
        return ParseList(dir_.Write("list.txt", "defs.h\n"));
    }

    StructAccess& ParseList(const std::string& listPath) {
        db_ = std::make_unique<StructAccess>(dir_.File("mac.map"), dir_.File("phy.map"), nullptr);
        parsed_ = db_->structAccessInit(listPath);
        return *db_;
    }

    std::uint32_t Enum(const std::string& name) const {
        std::uint32_t value = 0xDEADBEEF;
        EXPECT_TRUE(db_->getEnumValue(name, value)) << name;
        return value;
    }
    void ExpectField(const std::string& structName, const std::string& field, int offset, int size,
                     bool isSigned) const {
        int gotOffset = 0;
        int gotSize = 0;
        bool gotSigned = !isSigned;
        db_->getFieldInfo(structName, field, gotOffset, gotSize, gotSigned);
        EXPECT_EQ(offset, gotOffset) << field;
        EXPECT_EQ(size, gotSize) << field;
        if (size > 0) {
            EXPECT_EQ(isSigned, gotSigned) << field;
        }
    }
    std::string EventName(std::uint16_t code) const {
        std::string name;
        return db_->getEventName(code, name) ? name : "<none>";
    }
    std::string GeneralEventName(std::uint16_t code) const {
        std::string name;
        return db_->getGeneralEventName(code, name) ? name : "<none>";
    }

    TempDir dir_;
    std::unique_ptr<StructAccess> db_;
    bool parsed_ = false;
    FileWatch log_{ConsoleLogger::Instance().FilePath()};
    FileWatch crash_{CrashFilePath()};
};

// ---------------------------------------------------------------- lines and structures

TEST(StructParserTokens, SplitsAtEveryDelimiterRun) {
    EXPECT_EQ((StructParser::Tokens{"FIELD_UINT8", "flags", "//", "comment"}),
              StructParser::splitLine("  FIELD_UINT8 ( flags ) ; // comment"));
    EXPECT_EQ((StructParser::Tokens{"A", "b", "c"}), StructParser::splitLine("\tA((b,,;c);\t"));
    EXPECT_TRUE(StructParser::splitLine(" \t();, ").empty());
}

TEST_F(DefinitionsTest, FieldsArePackedInDeclarationOrderWithTheirSizeAndSign) {
    Parse("OPEN_STRUCT_DECLARATION\n"
          "FIELD_UINT32(a);\n FIELD_UINT8 ( b ) ; // trailing comment\nFIELD_UINT16(c);\n"
          "FIELD_INT32(d);\nFIELD_FIXED_POINT32(e);\nUSAGE_SPECIFIC_COUNTER_DEFINITION(f);\n"
          "FIELD_INT16(g);\nFIELD_FIXED_POINT16(h);\nFIELD_INT8(i);\n"
          "// FIELD_UINT8(commented);\n/*\nFIELD_UINT8(inBlock);\n*/\n"
          "END_STRUCT_DECLARATION(s_t);\n"
          "DECLARE_COMMAND(CMD, MAC_CMD_TYPE, s_t, OP, WAIT_NEEDED)\n");
    EXPECT_TRUE(parsed_);
    ExpectField("s_t", "a", 0, 4, false);
    ExpectField("s_t", "b", 4, 1, false);
    ExpectField("s_t", "c", 5, 2, false);
    ExpectField("s_t", "d", 7, 4, true);
    ExpectField("s_t", "e", 11, 4, true);
    ExpectField("s_t", "f", 15, 4, true);
    ExpectField("s_t", "g", 19, 2, true);
    ExpectField("s_t", "h", 21, 2, true);
    ExpectField("s_t", "i", 23, 1, true);
    ExpectField("s_t", "commented", -1, -1, false);
    ExpectField("s_t", "inBlock", 24, 1, false);  // a keyword line inside a block comment counts
    ExpectField("nope_t", "a", -1, -1, false);
    std::uint32_t length = 0;
    EXPECT_TRUE(db_->getCommandLength("CMD", length));
    EXPECT_EQ(25u, length);
    EXPECT_NE(std::string::npos, log_.Added().find("Line : ' 11 ' in file " + dir_.File("defs.h") +
                                                   " can not be parsed."));
}

TEST_F(DefinitionsTest, StructureDeclarationsOutOfOrderAreRefused) {
    Parse("FIELD_UINT8(early);\nEND_STRUCT_DECLARATION(early_t);\n"
          "OPEN_STRUCT_DECLARATION\nFIELD_UINT16(x);\nEND_STRUCT_DECLARATION(a_t);\n"
          "END_STRUCT_DECLARATION(b_t);\nFIELD_UINT8(late);\n"
          "OPEN_STRUCT_DECLARATION\nFIELD_UINT8(y);\nEND_STRUCT_DECLARATION(a_t);\n");
    ExpectField("early_t", "early", -1, -1, false);
    ExpectField("b_t", "x", -1, -1, false);
    ExpectField("a_t", "x", -1, -1, false);  // replaced by the later a_t
    ExpectField("a_t", "y", 0, 1, false);
    ExpectField("a_t", "late", -1, -1, false);
    const std::string crash = crash_.Added();
    EXPECT_NE(std::string::npos, crash.find("field early is outside a struct declaration"));
    EXPECT_NE(std::string::npos, crash.find("struct b_t is closed without an open struct"));
}

TEST_F(DefinitionsTest, DuplicateFieldKeepsTheLaterOneAndTheLengthCoversEveryByte) {
    Parse("OPEN_STRUCT_DECLARATION\nFIELD_UINT32(a);\nFIELD_UINT8(b);\nFIELD_UINT16(a);\n"
          "END_STRUCT_DECLARATION(d_t);\nDECLARE_COMMAND(CMD, PHY_CMD_TYPE, d_t, OP, WAIT_NEEDED)\n");
    ExpectField("d_t", "a", 5, 2, false);
    std::uint32_t length = 0;
    EXPECT_TRUE(db_->getCommandLength("CMD", length));
    EXPECT_EQ(7u, length);
    EXPECT_NE(std::string::npos, crash_.Added().find("field a is declared twice"));
}

TEST_F(DefinitionsTest, TooFewParametersSkipTheLineWithAWarning) {
    Parse("OPEN_STRUCT_DECLARATION\nFIELD_UINT8\nFIELD_UINT8(ok)\nEND_STRUCT_DECLARATION\n"
          "END_STRUCT_DECLARATION(t)\nDECLARE_COMMAND(C, MAC_CMD_TYPE, t, OP)\n");
    ExpectField("t", "ok", 0, 1, false);
    int type = -1;
    EXPECT_FALSE(db_->getCommandType("C", type));
    const std::string crash = crash_.Added();
    EXPECT_NE(std::string::npos, crash.find("Warning: FIELD_UINT8 number of parameters is less than 2."));
    EXPECT_NE(std::string::npos,
              crash.find("Warning: END_STRUCT_DECLARATION number of parameters is less than 2."));
    EXPECT_NE(std::string::npos,
              crash.find("Warning: DECLARE_COMMAND number of parameters is less than 6."));
}

TEST_F(DefinitionsTest, DefaultValuesNeedAKnownStructAndField) {
    Parse("OPEN_STRUCT_DECLARATION\nFIELD_UINT16(f);\nEND_STRUCT_DECLARATION(t);\n"
          "DEFINE_DEFAULT_VALUE(t, f, 0x7)\nDEFINE_DEFAULT_VALUE(u, f, 1)\n"
          "DEFINE_DEFAULT_VALUE(t, g, 1)\n");
    const std::string crash = crash_.Added();
    EXPECT_NE(std::string::npos,
              crash.find("<StructAccess>Error. Couldn't find struct by name &u to insert default "
                         "value. \n"));
    EXPECT_NE(std::string::npos,
              crash.find("<StructAccess>Error. Couldn't find field by name g for struct t to "
                         "insert default value. \n"));
    std::uint8_t bytes[2] = {0xAA, 0xAA};
    db_->applyDefaults("t", bytes, sizeof bytes, true);
    EXPECT_EQ(0x00, bytes[0]);
    EXPECT_EQ(0x07, bytes[1]);
}

TEST_F(DefinitionsTest, LongLineIsCutAndTheFileGoesOn) {
    Parse("START_ENUM\nENUM_NO_VALUE(A)" + std::string(1200, ' ') + "x\nENUM_NO_VALUE(B)\n\r\n");
    EXPECT_EQ(0u, Enum("A"));
    EXPECT_EQ(1u, Enum("B"));
    EXPECT_NE(std::string::npos, crash_.Added().find("is longer than 999 characters"));
}

// ---------------------------------------------------------------- enumerations and commands

TEST_F(DefinitionsTest, EnumerationsCountAndCombine) {
    Parse("START_ENUM\nENUM_NO_VALUE(A)\nENUM_WITH_VALUE(B, 0x10)\nENUM_NO_VALUE(C)\n"
          "ENUM_COMBINED_WITH_VALUE(X, B, 3)\nENUM_NO_VALUE(D)\nENUM_OR_VALUE(Y, 0x100, B)\n"
          "ENUM_NO_VALUE(E)\nENUM_COMBINED_NO_VALUE(Z, A)\nENUM_WITH_ENUM_VALUE(F, X)\n"
          "ENUM_NO_VALUE(G)\nENUM_WITH_ENUM_VALUE(H, MISSING)\nENUM_NO_VALUE(I)\n"
          "END_ENUM\nSTART_STRUCT_ENUM\nENUM_NO_VALUE(J)\nENUM_WITH_VALUE(K, 010)\n"
          "ENUM_WITH_VALUE(L, 25h0x)\nENUM_WITH_VALUE(M, -1)\nEND_STRUCT_ENUM\n"
          "USER_PREDEFINE_VALUE(P, 0x123456789)\n");
    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"A", 0},     {"B", 16},    {"C", 17}, {"X", 4099}, {"D", 19},   {"Y", 16},
        {"E", 17},    {"Z", 18},    {"F", 4099}, {"G", 4100}, {"I", 4101}, {"J", 0},
        {"K", 10},    {"L", 37},    {"M", 0xFFFFFFFF}};
    for (const auto& entry : expected) EXPECT_EQ(entry.second, Enum(entry.first)) << entry.first;
    std::uint32_t unused = 0;
    EXPECT_FALSE(db_->getEnumValue("H", unused));
    EXPECT_FALSE(db_->getEnumValue("P", unused));  // predefined values are kept apart
    std::int64_t predefined = 0;
    EXPECT_TRUE(db_->getPredefinedValue("P", predefined));
    EXPECT_EQ(0x123456789LL, predefined);
    EXPECT_NE(std::string::npos,
              crash_.Added().find("<StructAccess>Warning: The name MISSING is not inserted to "
                                  "enum. So H will no be inserted."));
}

TEST_F(DefinitionsTest, CommandsRecordTypeOpcodeAndWait) {
    Parse("START_ENUM\nENUM_WITH_VALUE(OP_A, 0x123)\nEND_ENUM\n"
          "OPEN_STRUCT_DECLARATION\nFIELD_UINT8(x);\nEND_STRUCT_DECLARATION(t);\n"
          "DECLARE_COMMAND(MAC_A, MAC_CMD_TYPE, t, OP_A, WAIT_NEEDED)\n"
          "DECLARE_COMMAND(PHY_B, PHY_CMD_TYPE, t, OP_A, WAIT_NOT_NEEDED)\n"
          "DECLARE_COMMAND(TUN_C, PHY_TUNNEL_CMD_TYPE, t, NO_OP, WAIT_NEEDED)\n"
          "DECLARE_COMMAND(BAD_D, DSP_CMD_TYPE, t, OP_A, MAYBE)\n"
          "DECLARE_COMMAND(NOSTRUCT, MAC_CMD_TYPE, none_t, OP_A, WAIT_NEEDED)\n");
    int type = -1;
    bool wait = false;
    std::uint32_t opcode = 0;
    EXPECT_TRUE(db_->getCommandType("MAC_A", type));
    EXPECT_EQ(MAC_CMD_TYPE, type);
    EXPECT_TRUE(db_->getCommandWait("MAC_A", wait));
    EXPECT_TRUE(wait);
    EXPECT_TRUE(db_->getCommandOpcode("MAC_A", opcode));
    EXPECT_EQ(0x123u, opcode);
    EXPECT_TRUE(db_->getCommandType("PHY_B", type));
    EXPECT_EQ(PHY_CMD_TYPE, type);
    EXPECT_TRUE(db_->getCommandWait("PHY_B", wait));
    EXPECT_FALSE(wait);
    EXPECT_TRUE(db_->getCommandType("TUN_C", type));
    EXPECT_EQ(PHY_TUNNEL_CMD_TYPE, type);
    EXPECT_FALSE(db_->getCommandOpcode("TUN_C", opcode));
    EXPECT_FALSE(db_->getCommandOpcode("UNKNOWN", opcode));

    // A command whose processor or wait word was unrecognised cannot be built.
    type = 42;
    wait = true;
    EXPECT_FALSE(db_->getCommandType("BAD_D", type));
    EXPECT_FALSE(db_->getCommandWait("BAD_D", wait));
    EXPECT_EQ(42, type);
    std::uint32_t length = 99;
    EXPECT_TRUE(db_->getCommandLength("BAD_D", length));
    EXPECT_EQ(1u, length);
    EXPECT_FALSE(db_->getCommandLength("NOSTRUCT", length));
    EXPECT_EQ(0u, length);
    EXPECT_FALSE(db_->getCommandLength("UNKNOWN", length));
    EXPECT_EQ((std::vector<std::string>{"BAD_D", "MAC_A", "NOSTRUCT", "PHY_B", "TUN_C"}),
              db_->getCommandNames());

    const std::string crash = crash_.Added();
    EXPECT_NE(std::string::npos, crash.find("Warning: DSP_CMD_TYPE console command type "
                                            "unrecognizable. Use PHY_CMD_TYPE or MAC_CMD_TYPE."));
    EXPECT_NE(std::string::npos, crash.find("Warning: MAYBE console wait type unrecognizable. Use "
                                            "WAIT_NEEDED or WAIT_NOT_NEEDED_STR."));
    const std::string log = log_.Added();
    EXPECT_NE(std::string::npos, log.find("<StructAccess>Command type for BAD_D not found. Please "
                                          "check your input files."));
    EXPECT_NE(std::string::npos, log.find("<StructAccess>Warning: BAD_D console wait type "
                                          "unrecognizable."));
    EXPECT_NE(std::string::npos, log.find("<StructAccess>Struct for struct name none_t not found."));
    EXPECT_NE(std::string::npos, log.find("<StructAccess>Command name UNKNOWN not found."));
}

// ---------------------------------------------------------------- events

TEST_F(DefinitionsTest, EventCodesCountPerProcessorAndFamily) {
    Parse("START_ENUM\nENUM_WITH_VALUE(BASE, 0x1F0)\nEND_ENUM\n"
          "ENUM_EVENTS_NO_VALUE(ORPHAN)\n"
          "START_EVENTS_ENUM(PHY_CMD_TYPE)\nENUM_EVENTS_NO_VALUE(P1)\n"
          "ENUM_EVENTS_WITH_VALUE(P5, 5)\nENUM_EVENTS_NO_VALUE(P6)\nEND_EVENTS_ENUM\n"
          "START_EVENTS_ENUM(MAC_CMD_TYPE)\nENUM_EVENTS_WITH_VALUE(M9, 9)\nEND_EVENTS_ENUM\n"
          "START_EVENTS_ENUM(PHY_CMD_TYPE)\nENUM_EVENTS_NO_VALUE(P7)\n"
          "ENUM_EVENTS_OR_VALUE(POR, 0x3, BASE)\nENUM_EVENTS_NO_VALUE(PF4)\n"
          "ENUM_EVENTS_WITH_VALUE(PBIG, 0x10005)\nEND_EVENTS_ENUM\n"
          "START_EVENTS_ENUM(DSP_CMD_TYPE)\nENUM_EVENTS_NO_VALUE(LOST)\n"
          "START_GNRL_EVNTS_ENUM(PHY_CMD_TYPE)\nENUM_GNRL_EVNTS_NO_VALUE(G1)\n"
          "ENUM_GNRL_EVNTS_WITH_VALUE(G20, 0x20)\nEEPROM_DECLARE_SUB_SECTION(SUB, x)\n"
          "EEPROM_END_SUB_SECTION\nEND_GNRL_EVNTS_ENUM\n");
    EXPECT_EQ("P1", EventName(1));
    EXPECT_EQ("P6", EventName(6));
    EXPECT_EQ("P7", EventName(7));  // the PHY counter survived the MAC set
    EXPECT_EQ("POR", EventName(0xF3));
    EXPECT_EQ("PF4", EventName(0xF4));
    EXPECT_EQ("PBIG", EventName(5));  // kept as 16 bits, replacing P5
    EXPECT_EQ("<none>", EventName(9));  // MAC only
    EXPECT_EQ("<none>", EventName(8));
    EXPECT_EQ("G1", GeneralEventName(1));
    EXPECT_EQ("G20", GeneralEventName(0x20));
    EXPECT_EQ("SUB", GeneralEventName(0x21));
    const std::string crash = crash_.Added();
    EXPECT_NE(std::string::npos, crash.find("ORPHAN will no be inserted"));
    EXPECT_NE(std::string::npos, crash.find("Warning: DSP_CMD_TYPE console command type "
                                            "unrecognizable."));
    EXPECT_NE(std::string::npos, crash.find("LOST will no be inserted"));
}

// ---------------------------------------------------------------- memory operations and map files

TEST_F(DefinitionsTest, MemoryOperationsResolveTheirSymbolInTheirOwnMapFile) {
    dir_.Write("mac.map", "myTable 0x2F00 data\nmyTableEnd 0x3F00\nfoo 1A00\nshared 0x100\n"
                          "tabbed\t0x4000\nwide 0x00000000801000a0\nbad 0x12zz\nhuge 0x123456789\n"
                          "comma 0x2000,\n");
    dir_.Write("phy.map", "shared 0x200\nother 0x300 shared.o\n");
    Parse("DECLARE_MEM_OP(T, MAC_FILE_TYPE, t_t, myTable)\n"
          "DECLARE_MEM_OP(MS, MAC_FILE_TYPE, s_t, shared)\n"
          "DECLARE_MEM_OP(PS, PHY_FILE_TYPE, s_t, shared)\n"
          "DECLARE_MEM_OP(US, DSP_FILE_TYPE, s_t, shared)\n");
    EXPECT_EQ(0x2F00u, db_->getSymbolAddress("T", "", false));
    EXPECT_EQ(0x100u, db_->getSymbolAddress("MS", "", false));
    EXPECT_EQ(0x200u, db_->getSymbolAddress("PS", "", false));
    EXPECT_EQ(0u, db_->getSymbolAddress("US", "", false));
    EXPECT_EQ(0u, db_->getSymbolAddress("NONE", "", false));

    const std::vector<std::pair<std::string, std::uint32_t>> macSymbols = {
        // A tab does not separate words; the address word is read up to its
        // first character that is no hexadecimal digit, saturating.
        {"foo", 0x1A00}, {"tabbed", 0},       {"wide", 0x801000a0}, {"bad", 0x12},
        {"huge", 0xFFFFFFFF}, {"comma", 0x2000}, {"absent", 0}};
    for (const auto& symbol : macSymbols) {
        EXPECT_EQ(symbol.second, db_->getSymbolAddress(symbol.first, "MAC_FILE_TYPE", true))
            << symbol.first;
    }
    EXPECT_EQ(0x200u, db_->getSymbolAddress("shared", "PHY_FILE_TYPE", true));
    EXPECT_EQ(0x200u, db_->getSymbolAddress("shared", "anything", true));

    std::string structName;
    int fileType = -5;
    EXPECT_TRUE(db_->getMemOpStructName("PS", structName));
    EXPECT_EQ("s_t", structName);
    EXPECT_TRUE(db_->getMemOpFileType("PS", fileType));
    EXPECT_EQ(PHY_FILE_TYPE, fileType);
    EXPECT_TRUE(db_->getMemOpFileType("US", fileType));
    EXPECT_EQ(kUnknownType, fileType);
    EXPECT_FALSE(db_->getMemOpFileType("NONE", fileType));
    EXPECT_NE(std::string::npos,
              crash_.Added().find("Warning: DSP_FILE_TYPE unrecognizable file type. Use "
                                  "PHY_FILE_TYPE or MAC_FILE_TYPE."));
    EXPECT_NE(std::string::npos,
              log_.Added().find("<StructAccess>Unable to count NONE command's length please "
                                "check struct definition."));
}

TEST_F(DefinitionsTest, MissingMapFileIsReportedAndLeavesAddressZero) {
    Parse("DECLARE_MEM_OP(T, PHY_FILE_TYPE, t_t, sym)\n");
    EXPECT_EQ(0u, db_->getSymbolAddress("T", "", false));
    EXPECT_EQ(0u, db_->getSymbolAddress("sym", "MAC_FILE_TYPE", true));
    const std::string expected = "<StructAccess>ERROR: the map file \"" + dir_.File("phy.map") +
                                 "\" does not exist\n";
    EXPECT_NE(std::string::npos, crash_.Added().find(expected));
    EXPECT_NE(std::string::npos, log_.Added().find("<StructAccess>ERROR: the map file \"" +
                                                   dir_.File("mac.map") + "\" does not exist"));
}

// ---------------------------------------------------------------- the list file

TEST_F(DefinitionsTest, ListEntriesAreRelativeAndPatternsParseInNameOrder) {
    // Made in reverse so that the parse order does not follow creation order.
    dir_.Write("defs/B.h", "ENUM_NO_VALUE(B)\nEND_STRUCT_DECLARATION(split_t)\n");
    dir_.Write("defs/a.h", "START_ENUM\nENUM_NO_VALUE(A)\nOPEN_STRUCT_DECLARATION\n"
                           "FIELD_UINT8(x)\n");
    dir_.Write("defs/c.txt", "ENUM_NO_VALUE(NOT_PARSED)\n");
    dir_.Write("more/d.h.bak", "ENUM_NO_VALUE(D)\n");
    dir_.Write("single.h", "ENUM_NO_VALUE(S)\n");
    const std::string list =
        dir_.Write("list.txt", "defs/*.h\r\n\t  more/*.h.bak\nmissing.h\nempty/*.h\n\n" +
                                   dir_.File("single.h") + "\nsingle.h\n");
    ParseList(list);
    EXPECT_TRUE(parsed_);
    EXPECT_EQ(0u, Enum("A"));
    EXPECT_EQ(1u, Enum("B"));
    EXPECT_EQ(2u, Enum("D"));
    EXPECT_EQ(3u, Enum("S"));
    ExpectField("split_t", "x", 0, 1, false);  // state carries from one file to the next
    std::uint32_t unused = 0;
    EXPECT_FALSE(db_->getEnumValue("NOT_PARSED", unused));
    const std::string log = log_.Added();
    const std::string directory = dir_.File("list.txt").substr(0, dir_.Path().size() + 1);
    EXPECT_NE(std::string::npos, log.find("Starting to parse struct files."));
    EXPECT_NE(std::string::npos, log.find("Start parsing file " + directory + "more/d.h.bak"));
    EXPECT_NE(std::string::npos, log.find("Given pass \"" + directory + "missing.h\" is invalid OR EMPTY."));
    EXPECT_NE(std::string::npos, log.find("Given pass \"" + directory + "empty/\" is invalid OR EMPTY."));
    // An empty line names the list file's directory, which is no file.
    EXPECT_NE(std::string::npos, log.find("Given pass \"" + directory + "\" is invalid OR EMPTY."));
    EXPECT_NE(std::string::npos, log.find("Given pass \"" + directory + dir_.File("single.h") +
                                          "\" is invalid OR EMPTY."));
    EXPECT_NE(std::string::npos, log.find("End of parsing of struct files."));
}

TEST_F(DefinitionsTest, ListFileMustBeReadable) {
    ParseList(dir_.File("absent.txt"));
    EXPECT_FALSE(parsed_);
    EXPECT_NE(std::string::npos, log_.Added().find("The file: " + dir_.File("absent.txt") +
                                                   " can't be open for reading."));
    StructAccess blank("", "", nullptr);
    EXPECT_FALSE(blank.structAccessInit("   "));
    EXPECT_NE(std::string::npos,
              log_.Added().find("<StructAccess>No path have been supplied for command structs."));
}

// ---------------------------------------------------------------- the shipped example set

TEST_F(DefinitionsTest, ExampleSetParsesWithoutWarnings) {
    const std::string examples = testsupport::ExamplesDir();
    db_ = std::make_unique<StructAccess>(examples + "/maps/mac.map", examples + "/maps/phy.map",
                                         nullptr);
    ASSERT_TRUE(db_->structAccessInit(examples + "/definitions/list.txt"));
    EXPECT_EQ("", crash_.Added());
    EXPECT_EQ(0x0F00u, Enum("CMD_TUNNEL_TO_PHY"));
    EXPECT_EQ(0x90u, Enum("PHYC_DEBUG_OP"));
    EXPECT_EQ(0x0200u, Enum("UMAC_GET_STATS_OP"));
    EXPECT_EQ("PHYC_GENERAL_EVT", EventName(0x40));
    EXPECT_EQ("UMAC_GENERAL_EVT", EventName(0x42));
    EXPECT_EQ("PHYC_STATUS_OK", GeneralEventName(0));
    EXPECT_EQ(0xBFC12340u, db_->getSymbolAddress("MAC_STATS", "", false));
    EXPECT_EQ(0xBF548000u, db_->getSymbolAddress("majorVersion", "PHY_FILE_TYPE", true));
    for (const std::string& command : db_->getCommandNames()) {
        int type = -1;
        std::uint32_t length = 0;
        std::uint32_t opcode = 0;
        EXPECT_TRUE(db_->getCommandType(command, type)) << command;
        EXPECT_TRUE(db_->getCommandOpcode(command, opcode)) << command;
        ASSERT_TRUE(db_->getCommandLength(command, length)) << command;
        EXPECT_LE(length, type == MAC_CMD_TYPE ? 196u : 12u) << command;
    }
    EXPECT_EQ(8u, db_->getCommandNames().size());
}

}  // namespace
