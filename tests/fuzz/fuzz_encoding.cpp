// Parameter encoding against a small fixed definition set. The input's first
// byte picks the command (or, with bit 1 set, the first line names it) and
// bit 0 the blank after the name; the rest is the parameter text. The structure is
// encoded into a buffer of exactly its length in both byte orders, the two
// results are compared field by field, and the whole command line also goes
// through the command adapter.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "consoleappadapter.h"
#include "fuzzsupport.h"
#include "structaccess.h"
#include "structparser.h"

namespace {

using fuzzsupport::ExactBlock;
using Block = std::unique_ptr<std::uint8_t[]>;

// Every field kind, defaults, predefined values, a structure of exactly the
// PHY limit, an empty one, one over the limit and a command whose structure
// was never declared.
const char* const kDefinitions = R"(
OPEN_STRUCT_DECLARATION
    FIELD_UINT8(u8);
    FIELD_INT8(s8);
    FIELD_UINT16(u16);
    FIELD_INT16(s16);
    FIELD_FIXED_POINT16(f16);
    FIELD_UINT32(u32);
END_STRUCT_DECLARATION(Mixed_t);
DEFINE_DEFAULT_VALUE(Mixed_t, u16, 0x1234)
DEFINE_DEFAULT_VALUE(Mixed_t, s8, -2)

OPEN_STRUCT_DECLARATION
    FIELD_INT32(s32);
    FIELD_FIXED_POINT32(f32);
    USAGE_SPECIFIC_COUNTER_DEFINITION(counter);
END_STRUCT_DECLARATION(Wide_t);
DEFINE_DEFAULT_VALUE(Wide_t, counter, 0xFFFFFFFF)

OPEN_STRUCT_DECLARATION
END_STRUCT_DECLARATION(Empty_t);

OPEN_STRUCT_DECLARATION
    FIELD_UINT32(a);
    FIELD_UINT32(b);
    FIELD_UINT32(c);
    FIELD_UINT8(overflow);
END_STRUCT_DECLARATION(TooLong_t);

START_ENUM
    ENUM_WITH_VALUE(OP_MIXED, 0x10)
    ENUM_NO_VALUE(OP_WIDE)
    ENUM_NO_VALUE(OP_EMPTY)
    ENUM_NO_VALUE(OP_LONG)
    ENUM_COMBINED_WITH_VALUE(OP_MAC, OP_MIXED, 0x01)
END_ENUM

USER_PREDEFINE_VALUE(SMALL, 7)
USER_PREDEFINE_VALUE(NEGATIVE, -129)
USER_PREDEFINE_VALUE(HUGE, 0x7FFFFFFFFFFFFFFF)
USER_PREDEFINE_VALUE(TINY, -9223372036854775808)

DECLARE_COMMAND(PHY_MIXED, PHY_CMD_TYPE, Mixed_t, OP_MIXED, WAIT_NEEDED)
DECLARE_COMMAND(PHY_WIDE, PHY_CMD_TYPE, Wide_t, OP_WIDE, WAIT_NEEDED)
DECLARE_COMMAND(PHY_EMPTY, PHY_TUNNEL_CMD_TYPE, Empty_t, OP_EMPTY, WAIT_NOT_NEEDED)
DECLARE_COMMAND(PHY_LONG, PHY_CMD_TYPE, TooLong_t, OP_LONG, WAIT_NEEDED)
DECLARE_COMMAND(MAC_MIXED, MAC_CMD_TYPE, Mixed_t, OP_MAC, WAIT_NEEDED)
DECLARE_COMMAND(MAC_LONG, MAC_CMD_TYPE, TooLong_t, OP_MAC, WAIT_NOT_NEEDED)
DECLARE_COMMAND(PHY_UNDECLARED, PHY_CMD_TYPE, Missing_t, OP_MIXED, WAIT_NEEDED)
)";

struct Command {
    const char* name;
    const char* structName;
};
const Command kCommands[] = {
    {"PHY_MIXED", "Mixed_t"},  {"PHY_WIDE", "Wide_t"},     {"PHY_EMPTY", "Empty_t"},
    {"PHY_LONG", "TooLong_t"}, {"MAC_MIXED", "Mixed_t"},   {"MAC_LONG", "TooLong_t"},
    {"PHY_UNDECLARED", "Missing_t"},
};
constexpr std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

StructAccess& Database() {
    struct Set {
        fuzzsupport::MemoryFile file;
        StructAccess database{"", "", nullptr};
    };
    static Set* set = [] {
        fuzzsupport::QuietLibrary();
        auto* made = new Set;  // lives as long as the process
        made->file.Assign(kDefinitions);
        StructParser parser(made->file.Path(), &made->database);
        parser.parseStructFile(made->file.Path());
        return made;
    }();
    return set->database;
}

const char* StructOf(const std::string& command) {
    for (const Command& known : kCommands) {
        if (command == known.name) return known.structName;
    }
    return nullptr;
}

struct Encoded {
    bool ok = false;
    Block bytes;
};

Encoded Encode(const StructAccess& database, const std::string& name, const std::string& text,
               std::uint32_t length, bool swapBytes) {
    Encoded encoded;
    encoded.bytes = ExactBlock(length);
    encoded.ok = database.adaptCommandParams(name, text, encoded.bytes.get(), length, swapBytes);
    return encoded;
}

// The field names of a parameter text: every other word, words split at
// blanks, '=' and ','.
std::vector<std::string> FieldNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t pos = 0;
    bool isName = true;
    while ((pos = text.find_first_not_of(" =,", pos)) != std::string::npos) {
        const std::size_t end = text.find_first_of(" =,", pos);
        if (isName) names.push_back(text.substr(pos, end == std::string::npos ? end : end - pos));
        isName = !isName;
        pos = end;
    }
    return names;
}

// Swapping the byte order reverses the bytes of each field and moves nothing.
void CheckByteOrders(const StructAccess& database, const std::string& structName,
                     const std::string& text, const Encoded& little, const Encoded& big) {
    for (const std::string& field : FieldNames(text)) {
        int offset = -1;
        int size = -1;
        bool isSigned = false;
        database.getFieldInfo(structName, field, offset, size, isSigned);
        FUZZ_CHECK(offset >= 0 && size > 0);
        const std::uint8_t* first = little.bytes.get() + offset;
        FUZZ_CHECK(std::equal(first, first + size,
                              std::reverse_iterator<const std::uint8_t*>(big.bytes.get() + offset +
                                                                         size)));
    }
}

void EncodeBothOrders(const StructAccess& database, const std::string& name,
                      const std::string& text) {
    std::uint32_t length = 0;
    if (!database.getCommandLength(name, length)) {
        std::uint8_t spare[16] = {};
        FUZZ_CHECK(!database.adaptCommandParams(name, text, spare, sizeof spare, false));
        return;
    }
    const Encoded little = Encode(database, name, text, length, false);
    const Encoded big = Encode(database, name, text, length, true);
    FUZZ_CHECK(little.ok == big.ok);
    if (!little.ok) return;
    const Encoded again = Encode(database, name, text, length, false);
    FUZZ_CHECK(again.ok && std::equal(again.bytes.get(), again.bytes.get() + length,
                                      little.bytes.get()));
    const char* structName = StructOf(name);
    FUZZ_CHECK(structName != nullptr);
    CheckByteOrders(database, structName, text, little, big);
}

void AdaptCommandLine(StructAccess& database, const std::string& line) {
    ConsoleAppAdapter adapter(&database);
    std::array<std::uint8_t, kPhyConsoleCmdSize> phy{};
    std::array<std::uint8_t, kMacCmdBuffSize> mac{};
    bool isMac = false;
    std::uint32_t length = 0;
    bool responseExpected = false;
    bool isTunnel = false;
    if (!adapter.adaptCommand(line, phy, mac, isMac, length, responseExpected, isTunnel)) return;
    FUZZ_CHECK(length <= (isMac ? mac.size() : phy.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StructAccess& database = Database();
    fuzzsupport::InputReader input(data, size);
    const std::uint8_t selector = input.Byte();
    const std::string name = (selector & 2) != 0 ? input.Line()
                                                 : kCommands[(selector >> 2) % kCommandCount].name;
    const std::string text = input.Rest();

    EncodeBothOrders(database, name, text);
    AdaptCommandLine(database, name + ((selector & 1) != 0 ? "\t" : " ") + text);
    return 0;
}
