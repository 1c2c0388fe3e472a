// The definition-file parser: the input is one definition file, read through
// the tokenizer and every keyword handler into a fresh database. The input
// doubles as both map files, so that a line "symbol 0xaddress" in it resolves
// the memory operations that name the symbol. Afterwards every lookup runs on
// what was recorded, and each recorded command is encoded with the input's
// last line as its parameter text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "eeprominterface.h"
#include "fuzzsupport.h"
#include "structaccess.h"
#include "structparser.h"

namespace {

using fuzzsupport::ExactBlock;

// Blanks are delimiters, so no recorded name can contain one.
const std::string kUnknownName = "no such name";

std::string LastLine(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t feed = text.rfind('\n');
    return feed == std::string::npos ? text : text.substr(feed + 1);
}

// Lookups of a name nothing declared fail and leave their outputs alone.
void CheckUnknownNameLookups(const StructAccess& database) {
    int type = 77;
    FUZZ_CHECK(!database.getCommandType(kUnknownName, type) && type == 77);
    std::uint32_t value = 77;
    FUZZ_CHECK(!database.getCommandOpcode(kUnknownName, value) && value == 77);
    FUZZ_CHECK(!database.getCommandLength(kUnknownName, value) && value == 77);
    FUZZ_CHECK(!database.getEnumValue(kUnknownName, value) && value == 77);
    std::int64_t predefined = 77;
    FUZZ_CHECK(!database.getPredefinedValue(kUnknownName, predefined) && predefined == 77);
    std::string structName = "unchanged";
    FUZZ_CHECK(!database.getMemOpStructName(kUnknownName, structName) && structName == "unchanged");
    FUZZ_CHECK(database.getSymbolAddress(kUnknownName, "MAC_FILE_TYPE", false) == 0);
}

// A command's structure fits a buffer of exactly its length, in both byte
// orders, and is refused by a buffer one byte shorter.
void EncodeCommand(const StructAccess& database, const std::string& name,
                   const std::string& parameters) {
    std::uint32_t length = 0;
    if (!database.getCommandLength(name, length)) return;
    for (const bool swapBytes : {false, true}) {
        auto exact = ExactBlock(length);
        database.adaptCommandParams(name, parameters, exact.get(), length, swapBytes);
        if (length == 0) continue;
        auto shorter = ExactBlock(length - 1);
        FUZZ_CHECK(!database.adaptCommandParams(name, parameters, shorter.get(), length - 1,
                                                swapBytes));
    }
}

void LookUpCommands(const StructAccess& database, const std::string& parameters) {
    const std::vector<std::string> names = database.getCommandNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        FUZZ_CHECK(i == 0 || names[i - 1] < names[i]);
        int type = -1;
        if (database.getCommandType(names[i], type)) FUZZ_CHECK(type >= 0 && type <= 2);
        std::uint32_t opcode = 0;
        database.getCommandOpcode(names[i], opcode);
        bool wait = false;
        database.getCommandWait(names[i], wait);
        EncodeCommand(database, names[i], parameters);
    }
}

// The first names of the input's lines, up to a limit.
std::vector<std::string> InputTokens(const std::string& text) {
    constexpr std::size_t kLimit = 64;
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start < text.size() && tokens.size() < kLimit) {
        const std::size_t feed = text.find('\n', start);
        const std::size_t end = feed == std::string::npos ? text.size() : feed;
        for (std::string& token : StructParser::splitLine(text.substr(start, end - start))) {
            if (tokens.size() < kLimit) tokens.push_back(std::move(token));
        }
        start = end + 1;
    }
    return tokens;
}

// Each name the input mentions, tried as every kind of name.
void LookUpTokens(const StructAccess& database, const std::vector<std::string>& tokens) {
    constexpr std::size_t kMapLookups = 8;  // each reads the whole map file
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        std::uint32_t value = 0;
        database.getEnumValue(token, value);
        std::int64_t predefined = 0;
        database.getPredefinedValue(token, predefined);
        std::string structName;
        if (database.getMemOpStructName(token, structName)) {
            int offset = 0;
            int size = 0;
            bool isSigned = false;
            const std::string& field = tokens[(i + 1) % tokens.size()];
            database.getFieldInfo(structName, field, offset, size, isSigned);
            FUZZ_CHECK((offset < 0) == (size < 0));
            FUZZ_CHECK(size < 0 || size == 1 || size == 2 || size == 4);
        }
        int fileType = 0;
        database.getMemOpFileType(token, fileType);
        database.getSymbolAddress(token, "MAC_FILE_TYPE", false);
        if (i < kMapLookups) database.getSymbolAddress(token, "PHY_FILE_TYPE", true);
    }
}

void LookUpEvents(const StructAccess& database) {
    for (std::uint16_t code = 0; code < 0x100; ++code) {
        std::string name;
        if (database.getEventName(code, name)) FUZZ_CHECK(!name.empty());
        if (database.getGeneralEventName(code, name)) FUZZ_CHECK(!name.empty());
    }
}

// The EEPROM records follow one another without gaps, each holding its bytes.
void CheckEepromTable(const EepromInterface& eeprom) {
    std::uint64_t offset = 0;
    for (const EEpromFieldDefinition_t& record : eeprom.FieldTable()) {
        FUZZ_CHECK(record.offset == offset);
        FUZZ_CHECK(record.data.size() == record.size);
        offset += record.size;
    }
    FUZZ_CHECK(eeprom.GetDataBaseSize() == offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLibrary();
    static fuzzsupport::MemoryFile file;
    file.Assign(data, size);

    EepromInterface eeprom(nullptr);
    StructAccess database(file.Path(), file.Path(), &eeprom);
    StructParser parser(file.Path(), &database);
    parser.parseStructFile(file.Path());

    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckUnknownNameLookups(database);
    LookUpCommands(database, LastLine(data, size));
    LookUpTokens(database, InputTokens(text));
    LookUpEvents(database);
    CheckEepromTable(eeprom);
    return 0;
}
