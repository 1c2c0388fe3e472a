// Linker map files. The input is used as both map files; the first words of
// its first lines become the symbols of memory operations, declared by a
// small definition text that is parsed against the input. Then, for each:
// the address recorded at declaration, the address found when the symbol is
// looked up later and the map reader's own answer agree, and MEM_READ by
// structure field and by symbol build a record exactly when that address is
// not 0.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "consoleappadapter.h"
#include "fuzzsupport.h"
#include "packets.h"
#include "structaccess.h"
#include "structparser.h"

namespace {

constexpr std::size_t kMaxSymbols = 8;

// First words that a definition line can name: a single token there too.
std::vector<std::string> Symbols(const std::string& text) {
    std::vector<std::string> symbols;
    std::istringstream lines(text);
    std::string line;
    while (symbols.size() < kMaxSymbols && std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word)) continue;
        const std::vector<std::string> tokens = StructParser::splitLine(word);
        if (tokens.size() == 1 && tokens[0] == word) symbols.push_back(word);
    }
    return symbols;
}

std::string OperationName(std::size_t i) { return "OP_" + std::to_string(i); }
const char* FileWord(std::size_t i) { return i % 2 == 0 ? "MAC_FILE_TYPE" : "PHY_FILE_TYPE"; }

std::string Definitions(const std::vector<std::string>& symbols) {
    std::string text =
        "OPEN_STRUCT_DECLARATION\n FIELD_UINT32(a);\n FIELD_UINT16(b);\nEND_STRUCT_DECLARATION(S_t);\n";
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        text += "DECLARE_MEM_OP(" + OperationName(i) + ", " + FileWord(i) + ", S_t, " + symbols[i] + ")\n";
    }
    return text;
}

bool MemRead(StructAccess& database, const std::string& rest) {
    ConsoleAppAdapter adapter(&database);
    NativeCommand_t record;
    return adapter.adaptMemCommand("MEM_READ", rest, record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLibrary();
    static fuzzsupport::MemoryFile map;
    static fuzzsupport::MemoryFile definitions;
    const std::string text(reinterpret_cast<const char*>(data), size);
    map.Assign(text);
    const std::vector<std::string> symbols = Symbols(text);
    definitions.Assign(Definitions(symbols));

    MapFileSymbols reader;
    FUZZ_CHECK(reader.Load(map.Path()));
    StructAccess database(map.Path(), map.Path(), nullptr);
    StructParser parser(definitions.Path(), &database);
    parser.parseStructFile(definitions.Path());

    for (std::size_t i = 0; i < symbols.size(); ++i) {
        const std::uint32_t expected = reader.Find(symbols[i]);
        FUZZ_CHECK(database.getSymbolAddress(OperationName(i), "", false) == expected);
        FUZZ_CHECK(database.getSymbolAddress(symbols[i], FileWord(i), true) == expected);
        std::uint32_t resolved = 1;
        FUZZ_CHECK(ResolveMapFileSymbol(map.Path(), symbols[i], resolved) && resolved == expected);
        FUZZ_CHECK(MemRead(database, "STRUCT " + OperationName(i) + " b") == (expected != 0));
        FUZZ_CHECK(MemRead(database, std::string(FileWord(i)) + " " + symbols[i] + " 4") == (expected != 0));
    }
    return 0;
}
