// tb-defcheck: reads a definition set with the library's own parser and
// reports what it declares and every warning it drew, with file and line.
#ifndef TERMBRIDGE_DEFCHECK_H
#define TERMBRIDGE_DEFCHECK_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace defcheck {

struct Options {
    std::string listFile;
    std::string macMap;
    std::string phyMap;
};

// A warning and where it arose; line 0 when it belongs to no single line.
struct Warning {
    std::string file;
    int line = 0;
    std::string text;
};

struct Summary {
    std::size_t files = 0;
    std::size_t structures = 0;
    std::size_t commands = 0;
    std::size_t memoryOperations = 0;
    std::size_t events = 0;         // event names, general ones included
    std::size_t generalEvents = 0;
    std::uint32_t eepromBytes = 0;
    std::size_t eepromRecords = 0;
};

// What a capture's reader needs to name things: console commands by opcode
// (PHY commands by the low 8 bits, MAC commands by 16), event codes and the
// statuses of the general events, the tunnel constants and the mailbox
// addresses the set moves.
struct NameTable {
    std::map<std::uint32_t, std::string> phyCommands;
    std::map<std::uint32_t, std::string> macCommands;
    std::map<std::uint32_t, std::string> events;
    std::map<std::uint32_t, std::string> statuses;
    std::map<std::string, std::uint32_t> values;  // CMD_TUNNEL_TO_PHY, PHY_CONSOLE_CMD, MAC_COMMAND_*_ADDRESS
};

struct Result {
    bool listRead = false;  // false: the list file could not be opened
    Summary summary;
    std::vector<Warning> warnings;
    NameTable names;
};

// The name table as a Lua file for the Wireshark dissector
// (termbridge_names.lua beside termbridge.lua).
void WriteLuaNameTable(const NameTable& names, const std::string& listFile, std::ostream& out);

// Parses the set named by the list file. Points the library's files (log,
// crash file) at a private temporary folder for the rest of the process.
Result Check(const Options& options);

// Text appended to a file since the tail was made or last read, as lines
// without their line ends. A file that is not there reads as empty.
class FileTail {
public:
    explicit FileTail(std::string path);
    std::vector<std::string> NewLines();

private:
    std::string path_;
    std::uint64_t offset_ = 0;
};

}  // namespace defcheck

#endif
