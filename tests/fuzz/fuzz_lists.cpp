// The list file: each line names a definition file or a folder pattern
// ("*.h"), relative to the list file's folder. The input is the list file; it
// lives in a scratch folder beside a few small definition files:
//
//   a.h            declares CMD_A
//   sub/b.h        declares CMD_B
//   sub/c.h        declares CMD_C
//   sub/deeper/    an empty folder
//
// Lines that would leave the scratch folder (an absolute path, "..") are
// blanked first, so that a run never reads the machine's own files.
// Afterwards every command a plainly named file declares must be known.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzzsupport.h"
#include "structaccess.h"
#include "structparser.h"

namespace fs = std::filesystem;

namespace {

struct DefinitionFile {
    const char* path;
    const char* command;
};
const DefinitionFile kFiles[] = {{"a.h", "CMD_A"}, {"sub/b.h", "CMD_B"}, {"sub/c.h", "CMD_C"}};

std::string Declaration(const char* command) {
    return std::string("OPEN_STRUCT_DECLARATION\n    FIELD_UINT8(x);\nEND_STRUCT_DECLARATION(S_t);\n"
                       "ENUM_WITH_VALUE(OP, 1)\nDECLARE_COMMAND(") +
           command + ", PHY_CMD_TYPE, S_t, OP, WAIT_NEEDED)\n";
}

// Inside the library root of QuietLibrary, which goes at exit.
const fs::path& ScratchFolder() {
    static const fs::path folder = [] {
        fuzzsupport::QuietLibrary();
        const fs::path made = fs::path(std::getenv("TERMBRIDGE_ROOT")) / "lists";
        fs::create_directories(made / "sub" / "deeper");
        for (const DefinitionFile& file : kFiles) std::ofstream(made / file.path) << Declaration(file.command);
        return made;
    }();
    return folder;
}

std::string Trimmed(const std::string& line) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return "";
    std::string entry = line.substr(start);
    if (!entry.empty() && entry.back() == '\r') entry.pop_back();
    return entry;
}

bool LeavesFolder(const std::string& entry) {
    return entry.find("..") != std::string::npos || (!entry.empty() && (entry[0] == '/' || entry[0] == '\\'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path listPath = ScratchFolder() / "list.txt";

    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream list;
    std::string line;
    bool named[sizeof kFiles / sizeof kFiles[0]] = {};
    while (std::getline(input, line)) {
        const std::string entry = Trimmed(line);
        if (LeavesFolder(entry)) {
            list << '\n';
            continue;
        }
        list << line << '\n';
        for (std::size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) named[i] |= entry == kFiles[i].path;
    }
    std::ofstream(listPath, std::ios::binary | std::ios::trunc) << list.str();

    StructAccess database("", "", nullptr);
    StructParser parser(listPath.string(), &database);
    FUZZ_CHECK(parser.parseStructFiles());
    for (std::size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
        std::uint32_t length = 0;
        if (named[i]) FUZZ_CHECK(database.getCommandLength(kFiles[i].command, length) && length == 1);
    }
    return 0;
}
