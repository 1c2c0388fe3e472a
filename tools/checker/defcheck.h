// tb-defcheck: reads a definition set with the library's own parser and
// reports what it declares and every warning it drew, with file and line.
#ifndef TERMBRIDGE_DEFCHECK_H
#define TERMBRIDGE_DEFCHECK_H

#include <cstddef>
#include <cstdint>
#include <map>
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

struct Result {
    bool listRead = false;  // false: the list file could not be opened
    Summary summary;
    std::vector<Warning> warnings;
};

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
