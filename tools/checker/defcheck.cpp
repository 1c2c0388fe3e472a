#include "defcheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "consolelogger.h"
#include "eeprominterface.h"
#include "platform/platform_tools.h"
#include "structaccess.h"
#include "structparser.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace defcheck {

namespace {

// The parser's own words in the log, from which the files it read and the
// list entries it could not use are taken.
const std::string kStartParsing = "Start parsing file ";
const std::string kInvalidEntryStart = "Given pass \"";
const std::string kInvalidEntryEnd = "\" is invalid OR EMPTY.";
const char* const kDirectoryPattern = "*.h";

// The library's log and crash file go here while the checker runs.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() / ("tb-defcheck-" + std::to_string(stamp));
        fs::create_directories(path_);
    }
    ~ScratchFolder() {
        // The log file must be closed before its folder can go everywhere.
        ConsoleLogger::DestroyInstance();
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path() const { return path_.string(); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Standard output goes nowhere for the life of the object: the logger greets
// it when it is created, which is not part of the checker's report.
class SilencedStdout {
public:
    SilencedStdout() {
        std::fflush(stdout);
#ifdef _WIN32
        saved_ = ::_dup(1);
        const int nowhere = ::_open("NUL", _O_WRONLY);
        if (nowhere >= 0) {
            ::_dup2(nowhere, 1);
            ::_close(nowhere);
        }
#else
        saved_ = ::dup(1);
        const int nowhere = ::open("/dev/null", O_WRONLY);
        if (nowhere >= 0) {
            ::dup2(nowhere, 1);
            ::close(nowhere);
        }
#endif
    }
    ~SilencedStdout() {
        std::fflush(stdout);
        if (saved_ < 0) return;
#ifdef _WIN32
        ::_dup2(saved_, 1);
        ::_close(saved_);
#else
        ::dup2(saved_, 1);
        ::close(saved_);
#endif
    }
    SilencedStdout(const SilencedStdout&) = delete;
    SilencedStdout& operator=(const SilencedStdout&) = delete;

private:
    int saved_ = -1;
};

std::string StartLogger() {
    SilencedStdout silenced;
    return ConsoleLogger::Instance().FilePath();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> NonEmpty(std::vector<std::string> lines) {
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

// A log line is "hh:mm:ss : text".
std::string LogText(const std::string& line) {
    const std::size_t mark = line.find(" : ");
    return mark == std::string::npos ? line : line.substr(mark + 3);
}

// Each line of a file as the parser reads it.
std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
}

// The files the parser read, in its order, and the list entries it refused.
struct ParseTrace {
    std::vector<std::string> files;
    std::vector<std::string> invalidEntries;
};

ParseTrace ReadTrace(const std::vector<std::string>& logLines) {
    ParseTrace trace;
    for (const std::string& line : logLines) {
        const std::string text = LogText(line);
        if (StartsWith(text, kStartParsing)) {
            trace.files.push_back(text.substr(kStartParsing.size()));
        } else if (StartsWith(text, kInvalidEntryStart) && text.size() >= kInvalidEntryEnd.size() &&
                   text.compare(text.size() - kInvalidEntryEnd.size(), std::string::npos,
                                kInvalidEntryEnd) == 0) {
            trace.invalidEntries.push_back(text.substr(
                kInvalidEntryStart.size(),
                text.size() - kInvalidEntryStart.size() - kInvalidEntryEnd.size()));
        }
    }
    return trace;
}

std::string WithoutLeadingBlanks(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : text.substr(start);
}

// The list file line whose entry the parser named `path` (a pattern entry by
// its folder), 0 when none matches.
int ListLineOf(const std::string& listFile, const std::string& path) {
    const std::string list = WithoutLeadingBlanks(listFile);
    const std::size_t slash = list.find_last_of("/\\");
    const std::string directory = slash == std::string::npos ? std::string() : list.substr(0, slash + 1);
    const std::vector<std::string> lines = ReadLines(list);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string entry = WithoutLeadingBlanks(lines[i]);
        if (!entry.empty() && entry.back() == '\r') entry.pop_back();
        const std::string full = directory + entry;
        const std::size_t pattern = full.find(kDirectoryPattern);
        if (full == path || (pattern != std::string::npos && full.substr(0, pattern) == path)) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

// Where a warning arose: the index of its file in parse order, and its line.
struct Place {
    std::size_t file = 0;
    int line = 0;
    bool operator<(const Place& other) const {
        return file != other.file ? file < other.file : line < other.line;
    }
};

// Feeds the set to a parser of its own one line at a time, each line as a
// one-line file of its own: the crash lines a line adds are its warnings.
// The database carries its state from line to line exactly as it does from
// file to file, so the warnings come out as in one parse of the whole set.
std::vector<Place> ReplayLines(const std::vector<std::string>& files, const Options& options,
                               const std::string& scratchFile, FileTail& crash) {
    EepromInterface eeprom(nullptr);
    StructAccess database(options.macMap, options.phyMap, &eeprom);
    StructParser parser(options.listFile, &database);
    std::vector<Place> places;
    crash.NewLines();
    for (std::size_t f = 0; f < files.size(); ++f) {
        const std::vector<std::string> lines = ReadLines(files[f]);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            // Lines without words draw no warning, unless they are too long.
            if (line.size() <= StructParser::kMaxLineLength && StructParser::splitLine(line).empty()) {
                continue;
            }
            std::ofstream(scratchFile, std::ios::trunc) << line << '\n';
            parser.parseStructFile(scratchFile);
            for (std::size_t n = NonEmpty(crash.NewLines()).size(); n > 0; --n) {
                places.push_back({f, static_cast<int>(i + 1)});
            }
        }
    }
    return places;
}

bool IsEventKeyword(const std::string& word, bool& general) {
    general = word == "ENUM_GNRL_EVNTS_WITH_VALUE" || word == "ENUM_GNRL_EVNTS_NO_VALUE";
    return general || word == "ENUM_EVENTS_WITH_VALUE" || word == "ENUM_EVENTS_NO_VALUE" ||
           word == "ENUM_EVENTS_OR_VALUE";
}

bool IsEnumKeyword(const std::string& word) {
    return word == "ENUM_WITH_VALUE" || word == "ENUM_NO_VALUE" || word == "ENUM_WITH_ENUM_VALUE" ||
           word == "ENUM_OR_VALUE" || word == "ENUM_COMBINED_WITH_VALUE" || word == "ENUM_COMBINED_NO_VALUE";
}

// Counts what the lines without warnings declare, and checks what the
// parser takes without a word: each memory operation found its symbol in its
// map file, each command names a structure and an opcode the set declares,
// and no command or named value is declared twice (the later declaration
// silently replaces the earlier one).
class Census {
public:
    Census(const StructAccess& database, const Options& options, const std::set<Place>& warned)
        : database_(database), options_(options), warned_(warned) {}

    // After every file is counted: a command may name a structure or an
    // opcode declared further on.
    void CheckCommands() {
        for (const DeclaredCommand& command : commands_) {
            if (structures_.count(command.structName) == 0) {
                Warn(command.where, "Warning: command " + command.name + ": structure " + command.structName +
                                        " is not declared.");
            }
            std::uint32_t opcode = 0;
            if (!database_.getEnumValue(command.opcodeName, opcode)) {
                Warn(command.where, "Warning: command " + command.name + ": opcode " + command.opcodeName +
                                        " is not a declared value.");
            }
        }
    }

    void CountFile(std::size_t fileIndex, const std::string& path) {
        const std::vector<std::string> lines = ReadLines(path);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Place place{fileIndex, static_cast<int>(i + 1)};
            if (warned_.count(place) != 0) continue;
            std::string line = lines[i];
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > StructParser::kMaxLineLength) line.resize(StructParser::kMaxLineLength);
            const StructParser::Tokens tokens = StructParser::splitLine(line);
            if (!tokens.empty()) CountLine(tokens, path, place);
        }
    }

    const Summary& Counts() const { return summary_; }
    std::vector<std::pair<Place, Warning>>& OwnWarnings() { return ownWarnings_; }

private:
    // A file and line, and their place in the parse order.
    struct Where {
        Place place;
        std::string path;
    };
    struct DeclaredCommand {
        Where where;
        std::string name;
        std::string structName;
        std::string opcodeName;
    };

    void CountLine(const StructParser::Tokens& tokens, const std::string& path, const Place& place) {
        bool general = false;
        if (tokens[0] == "END_STRUCT_DECLARATION" && tokens.size() >= 2) {
            ++summary_.structures;
            structures_.insert(tokens[1]);
            NoteDeclaration(structurePlaces_, "structure ", tokens[1], {place, path});
        } else if (tokens[0] == "DECLARE_COMMAND" && tokens.size() >= 6) {
            commands_.push_back({{place, path}, tokens[1], tokens[3], tokens[4]});
            NoteDeclaration(commandPlaces_, "command ", tokens[1], {place, path});
        } else if (IsEnumKeyword(tokens[0]) && tokens.size() >= 2) {
            NoteDeclaration(valuePlaces_, "value ", tokens[1], {place, path});
        } else if (IsEventKeyword(tokens[0], general)) {
            ++summary_.events;
            if (general) ++summary_.generalEvents;
        } else if (tokens[0] == "DECLARE_MEM_OP" && tokens.size() >= 5) {
            ++summary_.memoryOperations;
            CheckSymbol(tokens, path, place);
        } else if (tokens[0] == "EEPROM_FIELD_DOUBLE" && tokens.size() >= 4) {
            CheckNumericFieldWidth(tokens, {place, path});
        }
    }

    // The parser leaves a numeric EEPROM field out without a word when its
    // format needs more bits than its size holds; the section's padding then
    // grows, so every later field of the section lands where another was meant.
    void CheckNumericFieldWidth(const StructParser::Tokens& tokens, const Where& where) {
        const unsigned long size = std::strtoul(tokens[2].c_str(), nullptr, 10);
        const std::size_t dot = tokens[3].find('.');
        const unsigned long integerBits = std::strtoul(tokens[3].c_str(), nullptr, 10);
        const unsigned long fractionBits =
            dot == std::string::npos ? 0 : std::strtoul(tokens[3].c_str() + dot + 1, nullptr, 10);
        if (size * 8 >= integerBits + fractionBits) return;
        Warn(where, "Warning: EEPROM field " + tokens[1] + ": format " + tokens[3] + " needs " +
                        std::to_string(integerBits + fractionBits) + " bits where its size gives " +
                        std::to_string(size * 8) + "; the field is left out and the later fields of its section move.");
    }

    void NoteDeclaration(std::map<std::string, Where>& declared, const std::string& kind, const std::string& name,
                         const Where& where) {
        const auto earlier = declared.find(name);
        if (earlier == declared.end()) {
            declared.emplace(name, where);
            return;
        }
        Warn(where, "Warning: " + kind + name + " is declared again; this declaration replaces the one at " +
                        earlier->second.path + ":" + std::to_string(earlier->second.place.line) + ".");
        earlier->second = where;
    }

    void Warn(const Where& where, const std::string& text) {
        ownWarnings_.push_back({where.place, {where.path, where.place.line, text}});
    }

    void CheckSymbol(const StructParser::Tokens& tokens, const std::string& path, const Place& place) {
        if (database_.getSymbolAddress(tokens[1], "", false) != 0) return;
        const bool mac = tokens[2] == "MAC_FILE_TYPE";
        const std::string& map = mac ? options_.macMap : options_.phyMap;
        ownWarnings_.push_back(
            {place,
             {path, place.line,
              "Warning: memory operation " + tokens[1] + ": symbol " + tokens[4] + " is not in the " +
                  (mac ? "MAC" : "PHY") + " map file " + map + "."}});
    }

    const StructAccess& database_;
    const Options& options_;
    const std::set<Place>& warned_;
    Summary summary_;
    std::vector<std::pair<Place, Warning>> ownWarnings_;
    std::set<std::string> structures_;
    std::vector<DeclaredCommand> commands_;
    std::map<std::string, Where> structurePlaces_;  // the declaration in force, by name
    std::map<std::string, Where> commandPlaces_;
    std::map<std::string, Where> valuePlaces_;
};

// The parser's warnings with their places, the checker's own merged in by
// place. When the replay did not see the same warnings as the parse (it
// always should), the warnings are reported without places.
std::vector<Warning> PlaceWarnings(const std::vector<std::string>& texts,
                                   const std::vector<Place>& places,
                                   const std::vector<std::string>& files,
                                   std::vector<std::pair<Place, Warning>> own,
                                   const std::string& listFile) {
    if (places.size() == texts.size()) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            own.push_back({places[i], {files[places[i].file], places[i].line, texts[i]}});
        }
    } else {
        for (const std::string& text : texts) own.push_back({Place{files.size(), 0}, {listFile, 0, text}});
    }
    std::stable_sort(own.begin(), own.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Warning> warnings;
    for (auto& entry : own) warnings.push_back(std::move(entry.second));
    return warnings;
}

NameTable CollectNames(const StructAccess& database) {
    NameTable names;
    for (const std::string& command : database.getCommandNames()) {
        int type = 0;
        std::uint32_t opcode = 0;
        if (!database.getCommandType(command, type) || !database.getCommandOpcode(command, opcode)) continue;
        if (type == MAC_CMD_TYPE) {
            names.macCommands.emplace(opcode & 0xFFFF, command);
        } else {
            names.phyCommands.emplace(opcode & 0xFF, command);
        }
    }
    for (std::uint16_t code = 0; code < 256; ++code) {
        std::string name;
        if (database.getEventName(code, name)) names.events.emplace(code, name);
        if (database.getGeneralEventName(code, name)) names.statuses.emplace(code, name);
    }
    for (const char* name : {"CMD_TUNNEL_TO_PHY", "PHY_CONSOLE_CMD"}) {
        std::uint32_t value = 0;
        if (database.getEnumValue(name, value)) names.values[name] = value;
    }
    for (const char* name : {"MAC_COMMAND_BUFFER_ADDRESS", "MAC_COMMAND_COUNTER_READ_ADDRESS",
                             "MAC_COMMAND_COUNTER_WRITE_ADDRESS"}) {
        std::int64_t value = 0;
        if (database.getPredefinedValue(name, value)) names.values[name] = static_cast<std::uint32_t>(value);
    }
    return names;
}

// A Lua string literal: names come from definition files, so quote everything.
std::string LuaString(const std::string& text) {
    std::string quoted = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(c));  // three digits: no digit after it joins in
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

void WriteCodes(std::ostream& out, const char* key, const std::map<std::uint32_t, std::string>& codes) {
    out << "    " << key << " = {\n";
    for (const auto& [code, name] : codes) out << "        [" << code << "] = " << LuaString(name) << ",\n";
    out << "    },\n";
}

}  // namespace

void WriteLuaNameTable(const NameTable& names, const std::string& listFile, std::ostream& out) {
    out << "-- termbridge name table, made by tb-defcheck --names from " << listFile << "\n"
        << "-- Read by termbridge.lua from beside it (or from its names_file preference).\n"
        << "return {\n";
    WriteCodes(out, "phy_commands", names.phyCommands);
    WriteCodes(out, "mac_commands", names.macCommands);
    WriteCodes(out, "events", names.events);
    WriteCodes(out, "statuses", names.statuses);
    const auto value = [&](const char* key, const char* name) {
        const auto found = names.values.find(name);
        if (found != names.values.end()) out << "    " << key << " = " << found->second << ",\n";
    };
    value("tunnel", "CMD_TUNNEL_TO_PHY");
    value("phy_console", "PHY_CONSOLE_CMD");
    out << "    mailbox = {\n";
    value("    buffer", "MAC_COMMAND_BUFFER_ADDRESS");
    value("    counter_read", "MAC_COMMAND_COUNTER_READ_ADDRESS");
    value("    counter_write", "MAC_COMMAND_COUNTER_WRITE_ADDRESS");
    out << "    },\n}\n";
}

// ---------------------------------------------------------------- FileTail

FileTail::FileTail(std::string path) : path_(std::move(path)) {
    std::error_code error;
    const auto size = fs::file_size(path_, error);
    offset_ = error ? 0 : static_cast<std::uint64_t>(size);
}

std::vector<std::string> FileTail::NewLines() {
    std::vector<std::string> lines;
    std::ifstream file(path_, std::ios::binary);
    if (!file.is_open()) return lines;
    file.seekg(static_cast<std::streamoff>(offset_));
    std::string line;
    while (std::getline(file, line)) {
        offset_ += line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// ---------------------------------------------------------------- Check

Result Check(const Options& options) {
    ScratchFolder root;
    platform::SetEnvironmentValue("TERMBRIDGE_ROOT", root.Path());
    FileTail log(StartLogger());
    SetLogSeverityLevel(LOG_NORMAL);
    FileTail crash(CrashFilePath());

    Result result;
    EepromInterface eeprom(nullptr);
    StructAccess database(options.macMap, options.phyMap, &eeprom);
    result.listRead = database.structAccessInit(options.listFile);
    if (!result.listRead) return result;

    const std::vector<std::string> texts = NonEmpty(crash.NewLines());
    const ParseTrace trace = ReadTrace(log.NewLines());
    for (const std::string& entry : trace.invalidEntries) {
        result.warnings.push_back({options.listFile, ListLineOf(options.listFile, entry),
                                   "Warning: the entry " + entry + " names no definition file."});
    }

    std::vector<Place> places;
    if (!texts.empty()) {
        SetLogSeverityLevel(LOG_ERROR);
        places = ReplayLines(trace.files, options, root.File("line.h"), crash);
        SetLogSeverityLevel(LOG_NORMAL);
    }
    const std::set<Place> warned(places.begin(), places.end());
    Census census(database, options, warned);
    for (std::size_t f = 0; f < trace.files.size(); ++f) census.CountFile(f, trace.files[f]);
    census.CheckCommands();

    for (Warning& warning :
         PlaceWarnings(texts, places, trace.files, std::move(census.OwnWarnings()), options.listFile)) {
        result.warnings.push_back(std::move(warning));
    }
    result.summary = census.Counts();
    result.summary.files = trace.files.size();
    result.summary.commands = database.getCommandNames().size();
    result.summary.eepromBytes = eeprom.GetDataBaseSize();
    result.summary.eepromRecords = eeprom.FieldTable().size();
    result.names = CollectNames(database);
    return result;
}

}  // namespace defcheck
