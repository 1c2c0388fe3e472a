// tb-defcheck <list file> [--mac <map file>] [--phy <map file>] [--names <file>]
//
// Parses a definition set as the library does at start-up and prints every
// warning as "file:line: text", then a summary. Exit status: 0 when the set
// drew no warning, 1 when it drew some, 2 when the arguments or the list file
// are unusable or the report cannot be written. With --names, the set's name
// table for the Wireshark dissector is written to the file as well.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "defcheck.h"

namespace {

constexpr int kClean = 0;
constexpr int kWarnings = 1;
constexpr int kUnusable = 2;

#ifndef TB_VERSION_TEXT
#define TB_VERSION_TEXT "unknown"
#endif

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: tb-defcheck <list file> [--mac <map file>] [--phy <map file>] [--names <file>] [--version]\n"
                 "Parses the definition files the list names, prints each warning with its file\n"
                 "and line and a summary. --names writes the set's name table for the Wireshark\n"
                 "dissector (termbridge_names.lua).\n"
                 "Exit status: 0 no warning, 1 warnings, 2 a usage error, a list file that does not open, or a\n"
                 "report or name table that cannot be written.\n");
}

// False, with the reason printed, when the arguments do not make a check.
bool ParseArguments(int argc, char** argv, defcheck::Options& options, std::string& namesFile, bool& help,
                    bool& version) {
    help = version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            help = true;
            return true;
        }
        if (argument == "--version") {
            version = true;
            return true;
        }
        if (argument == "--mac" || argument == "--phy" || argument == "--names") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tb-defcheck: %s needs a file\n", argument.c_str());
                return false;
            }
            std::string& value = argument == "--mac" ? options.macMap
                                 : argument == "--phy" ? options.phyMap
                                                       : namesFile;
            value = argv[++i];
        } else if (argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "tb-defcheck: unknown option %s\n", argument.c_str());
            return false;
        } else if (options.listFile.empty()) {
            options.listFile = argument;
        } else {
            std::fprintf(stderr, "tb-defcheck: more than one list file given\n");
            return false;
        }
    }
    if (options.listFile.empty()) {
        std::fprintf(stderr, "tb-defcheck: no list file given\n");
        return false;
    }
    return true;
}

void PrintWarning(const defcheck::Warning& warning) {
    if (warning.line > 0) {
        std::printf("%s:%d: %s\n", warning.file.c_str(), warning.line, warning.text.c_str());
    } else {
        std::printf("%s: %s\n", warning.file.c_str(), warning.text.c_str());
    }
}

void PrintSummary(const std::string& listFile, const defcheck::Result& result) {
    const defcheck::Summary& s = result.summary;
    std::printf("%s:\n", listFile.c_str());
    std::printf("  files              %zu\n", s.files);
    std::printf("  structures         %zu\n", s.structures);
    std::printf("  commands           %zu\n", s.commands);
    std::printf("  memory operations  %zu\n", s.memoryOperations);
    std::printf("  events             %zu (%zu general)\n", s.events, s.generalEvents);
    std::printf("  EEPROM bytes       %u (%zu records)\n", static_cast<unsigned>(s.eepromBytes),
                s.eepromRecords);
    std::printf("  warnings           %zu\n", result.warnings.size());
}

// A report lost on the way (a full disk, a closed pipe) is no clean check.
bool ReportWritten() {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    const int error = errno;
    std::fprintf(stderr, "tb-defcheck: cannot write the report to standard output: %s\n",
                 error != 0 ? std::strerror(error) : "a write failed");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    defcheck::Options options;
    std::string namesFile;
    bool help = false;
    bool version = false;
    if (!ParseArguments(argc, argv, options, namesFile, help, version)) {
        PrintUsage(stderr);
        return kUnusable;
    }
    if (help || version) {
        if (help) PrintUsage(stdout);
        if (version) std::printf("tb-defcheck %s\n", TB_VERSION_TEXT);
        return ReportWritten() ? kClean : kUnusable;
    }
    const defcheck::Result result = defcheck::Check(options);
    if (!result.listRead) {
        std::fprintf(stderr, "tb-defcheck: cannot read the list file %s\n", options.listFile.c_str());
        return kUnusable;
    }
    if (!namesFile.empty()) {
        std::ofstream names(namesFile, std::ios::trunc);
        defcheck::WriteLuaNameTable(result.names, options.listFile, names);
        if (!names.flush()) {
            std::fprintf(stderr, "tb-defcheck: cannot write the name table %s\n", namesFile.c_str());
            return kUnusable;
        }
    }
    for (const defcheck::Warning& warning : result.warnings) PrintWarning(warning);
    PrintSummary(options.listFile, result);
    if (!ReportWritten()) return kUnusable;
    return result.warnings.empty() ? kClean : kWarnings;
}
