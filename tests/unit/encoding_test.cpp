// Number texts and the encoding of command parameters into structure bytes.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "autobase.h"
#include "consolelogger.h"
#include "structaccess.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- number texts

TEST(AutoBaseNumbers, FollowTheThirtyTwoBitCConversions) {
    EXPECT_EQ(16, AutoBase("25h0x"));
    EXPECT_EQ(10, AutoBase("0X10"));
    EXPECT_EQ(10, AutoBase("010"));

    struct Case {
        const char* text;
        int base;
        std::uint32_t asUnsigned;
        std::int32_t asSigned;
    };
    const std::vector<Case> cases = {
        {"010", 10, 10, 10},
        {"0x10", 16, 16, 16},
        {"0X10", 10, 0, 0},
        {"25h0x", 16, 0x25, 0x25},
        {"12abc", 10, 12, 12},
        {"  -3", 10, 0xFFFFFFFD, -3},
        {"+7", 10, 7, 7},
        {"--5", 10, 0, 0},
        {"0x", 16, 0, 0},
        {"xyz", 10, 0, 0},
        {"4294967295", 10, 0xFFFFFFFF, std::numeric_limits<std::int32_t>::max()},
        {"4294967296", 10, 0xFFFFFFFF, std::numeric_limits<std::int32_t>::max()},
        {"-4294967295", 10, 1, std::numeric_limits<std::int32_t>::min()},
        {"-4294967296", 10, 0xFFFFFFFF, std::numeric_limits<std::int32_t>::min()},
        {"-2147483648", 10, 0x80000000, std::numeric_limits<std::int32_t>::min()},
        {"99999999999999999999999", 10, 0xFFFFFFFF, std::numeric_limits<std::int32_t>::max()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.asUnsigned, ParseUnsigned32(c.text, c.base)) << c.text;
        EXPECT_EQ(c.asSigned, ParseSigned32(c.text, c.base)) << c.text;
    }
    EXPECT_EQ(0x123456789LL, ParseAutoSigned64("0x123456789"));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(), ParseSigned64("9223372036854775808", 10));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), ParseSigned64("-9223372036854775808", 10));
    EXPECT_EQ(-5000000000LL, ParseSigned64("-5000000000", 10));
}

// ---------------------------------------------------------------- parameters

// A database with a few structures declared through the recording operations.
class EncodingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static testsupport::IsolatedRoot root;
        SetLogSeverityLevel(LOG_NORMAL);
    }

    EncodingTest() : db_("", "", nullptr) {
        Declare("ID_CMD", "id_t", {{"id", 2, false}, {"level", 1, true}});
        Declare("WIDE_CMD", "wide_t", {{"u", 4, false}, {"s", 4, true}, {"fx", 2, true}});
        Declare("SMALL_CMD", "small_t", {{"b", 1, false}});
        db_.setDefaultValue("wide_t", "u", 0x1122334455667788LL);
        db_.setDefaultValue("wide_t", "fx", 7);
        db_.addPredefinedValue("BIG", 5000000000LL);
        db_.addPredefinedValue("MINUS_ONE", -1);
        db_.addPredefinedValue("LOWEST", std::numeric_limits<std::int64_t>::min());
        db_.addEnumValue("AN_ENUM", 3);
        db_.declareCommand("NO_STRUCT_CMD", MAC_CMD_TYPE, "absent_t", "OP", 1);
    }

    struct Field {
        const char* name;
        std::uint8_t size;
        bool isSigned;
    };
    void Declare(const std::string& command, const std::string& structName,
                 const std::vector<Field>& fields) {
        db_.openStruct();
        for (const Field& field : fields) db_.addField(field.name, field.size, field.isSigned);
        db_.closeStruct(structName);
        db_.declareCommand(command, PHY_CMD_TYPE, structName, "OP", 1);
    }

    // Encodes into a buffer of `size` bytes preset to 0xEE; the bytes after
    // the structure show whether anything was written past it.
    bool Encode(const std::string& command, const std::string& parameters, bool swapBytes = true,
                std::size_t size = 16) {
        bytes_.assign(size, 0xEE);
        return db_.adaptCommandParams(command, parameters, bytes_.data(), bytes_.size(), swapBytes);
    }
    Bytes First(std::size_t count) const { return Bytes(bytes_.begin(), bytes_.begin() + count); }

    StructAccess db_;
    Bytes bytes_;
};

TEST_F(EncodingTest, FieldsTakeTheirLowBytesInTheChosenOrder) {
    ASSERT_TRUE(Encode("ID_CMD", "id=0x1234,level=-1"));
    EXPECT_EQ((Bytes{0x12, 0x34, 0xFF, 0xEE}), First(4));
    ASSERT_TRUE(Encode("ID_CMD", "id=0x1234,level=-1", false));
    EXPECT_EQ((Bytes{0x34, 0x12, 0xFF, 0xEE}), First(4));

    for (const char* text : {"id=1,level=2", "id 1 level 2", " id = 1 , level = 2 ,", "level=2 id=1"}) {
        ASSERT_TRUE(Encode("ID_CMD", text)) << text;
        EXPECT_EQ((Bytes{0x00, 0x01, 0x02}), First(3)) << text;
    }
    ASSERT_TRUE(Encode("ID_CMD", "id=5 id=6 level=300"));  // later value wins; no range check
    EXPECT_EQ((Bytes{0x00, 0x06, 44}), First(3));
}

TEST_F(EncodingTest, ValuesConvertBySignAndSaturate) {
    struct Case {
        const char* parameters;
        Bytes expected;  // u (4), s (4), fx (2)
    };
    const std::vector<Case> cases = {
        {"u=4294967295", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x00, 0x07}},
        {"u=4294967296 s=-3000000000", {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0, 0x00, 0x07}},
        {"u=010 s=3000000000", {0, 0, 0, 10, 0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x07}},
        {"u=0X10 s=0x10 fx=1.5", {0, 0, 0, 0, 0, 0, 0, 0x10, 0x00, 0x01}},
        {"u=12abc fx=-3", {0, 0, 0, 12, 0, 0, 0, 0, 0xFF, 0xFD}},
        {"u=BIG s=BIG", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x07}},
        {"u=MINUS_ONE s=LOWEST", {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0, 0x00, 0x07}},
        {"u=-1", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x00, 0x07}},
    };
    for (const Case& c : cases) {
        // u's default 0x...55667788 is overwritten in every case; s keeps 0.
        ASSERT_TRUE(Encode("WIDE_CMD", c.parameters)) << c.parameters;
        EXPECT_EQ(c.expected, First(10)) << c.parameters;
        EXPECT_EQ(0xEE, bytes_[10]) << c.parameters;
    }
}

TEST_F(EncodingTest, DefaultsFillFieldsThatAreNotNamed) {
    ASSERT_TRUE(Encode("WIDE_CMD", " ,, = "));
    EXPECT_EQ((Bytes{0x55, 0x66, 0x77, 0x88, 0, 0, 0, 0, 0x00, 0x07, 0xEE}), First(11));
    ASSERT_TRUE(Encode("WIDE_CMD", "", false));
    EXPECT_EQ((Bytes{0x88, 0x77, 0x66, 0x55, 0, 0, 0, 0, 0x07, 0x00, 0xEE}), First(11));

    bytes_.assign(4, 0xEE);
    db_.applyDefaults("unknown_t", bytes_.data(), bytes_.size(), true);
    EXPECT_EQ(Bytes(4, 0xEE), bytes_);
}

TEST_F(EncodingTest, BadParametersFailWithTheirMessage) {
    struct Case {
        const char* command;
        const char* parameters;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"ID_CMD", "id=1,gain=2", "<StructAccess>Error!,Struct: id_t doesn't contain the field: gain"},
        {"ID_CMD", "id=1,level", "<StructAccess>Error!,No Value was defined for the field: $s"},
        {"ID_CMD", "id=NOPE", "<StructAccess>Error!,Enum for value NOPE not found."},
        {"ID_CMD", "id=AN_ENUM", "<StructAccess>Error!,Enum for value AN_ENUM not found."},
        {"ID_CMD", "id=+1", "<StructAccess>Error!,Enum for value +1 not found."},
        {"ID_CMD", "id=12345678901234567890", "longer than 19 characters"},
        {"NO_CMD", "id=1", "<StructAccess>Struct for command name NO_CMD not found."},
        {"NO_STRUCT_CMD", "", "<StructAccess>Struct for struct name absent_t not found."},
    };
    for (const Case& c : cases) {
        const std::string logPath = ConsoleLogger::Instance().FilePath();
        const std::size_t before = testsupport::ReadFile(logPath).size();
        EXPECT_FALSE(Encode(c.command, c.parameters)) << c.parameters;
        const std::string added = testsupport::ReadFile(logPath).substr(before);
        EXPECT_NE(std::string::npos, added.find(c.message)) << c.parameters << "\n" << added;
    }
    ASSERT_TRUE(Encode("ID_CMD", "id=1234567890123456789"));  // 19 characters pass
    EXPECT_EQ((Bytes{0xFF, 0xFF}), First(2));
}

TEST_F(EncodingTest, StructureLongerThanTheBufferIsRefusedUntouched) {
    EXPECT_FALSE(Encode("WIDE_CMD", "u=1", true, 9));
    EXPECT_EQ(Bytes(9, 0xEE), bytes_);
    db_.applyDefaults("wide_t", bytes_.data(), bytes_.size(), true);
    EXPECT_EQ(Bytes(9, 0xEE), bytes_);
    EXPECT_TRUE(Encode("WIDE_CMD", "u=1", true, 10));
    EXPECT_FALSE(db_.adaptCommandParams("SMALL_CMD", "b=1", nullptr, 8, true));
}

TEST_F(EncodingTest, BytesOfAReplacedFieldKeepTheCallersValue) {
    db_.openStruct();
    db_.addField("a", 2, false);
    db_.addField("b", 1, false);
    db_.addField("a", 1, false);
    db_.closeStruct("hole_t");
    db_.declareCommand("HOLE_CMD", MAC_CMD_TYPE, "hole_t", "OP", 0);
    std::uint32_t length = 0;
    ASSERT_TRUE(db_.getCommandLength("HOLE_CMD", length));
    EXPECT_EQ(4u, length);
    ASSERT_TRUE(Encode("HOLE_CMD", "a=9 b=8", true, 4));
    EXPECT_EQ((Bytes{0xEE, 0xEE, 0x08, 0x09}), bytes_);
}

}  // namespace
