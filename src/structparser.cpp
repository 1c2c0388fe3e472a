#include "structparser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <sstream>

#include "autobase.h"
#include "consolelogger.h"
#include "platform/platform.h"

namespace {

constexpr const char* kDelimiters = " (),;\t";
constexpr const char* kDirectoryPattern = "*.h";

std::string WithoutLeadingBlanks(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : text.substr(start);
}

// Lines are compared as if read in text mode: a carriage return before the
// line feed is not part of the line.
void DropCarriageReturn(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

std::string DirectoryPart(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The order of the names a directory pattern finds decides the order of the
// definitions, so it is fixed here rather than left to the file system: by
// name, letters compared without case first.
bool FileNameBefore(const platform::FileEntry& a, const platform::FileEntry& b) {
    const auto folded = [](const std::string& text) {
        std::string lower(text);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return lower;
    };
    const std::string foldedA = folded(a.name);
    const std::string foldedB = folded(b.name);
    return foldedA != foldedB ? foldedA < foldedB : a.name < b.name;
}

std::uint32_t Decimal(const std::string& text) { return ParseUnsigned32(text, 10); }
std::uint32_t Hexadecimal(const std::string& text) { return ParseUnsigned32(text, 16); }

// strtod's reading: the longest numeric prefix ("1e" is 1, "0x10" is 16,
// "inf" and "nan" are read too); no number gives 0.
double DecimalFraction(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Processor words of DECLARE_COMMAND and the event sets; kUnknownType when
// the word is none of them.
std::int32_t CommandTypeOf(const std::string& word, bool allowTunnel) {
    if (word == "MAC_CMD_TYPE") return MAC_CMD_TYPE;
    if (word == "PHY_CMD_TYPE") return PHY_CMD_TYPE;
    if (allowTunnel && word == "PHY_TUNNEL_CMD_TYPE") return PHY_TUNNEL_CMD_TYPE;
    return kUnknownType;
}

void WarnUnknownProcessor(const std::string& word) {
    LogCrash(Format("Warning: %s console command type unrecognizable. Use PHY_CMD_TYPE or "
                    "MAC_CMD_TYPE.",
                    word.c_str()));
}

}  // namespace

StructParser::StructParser(const std::string& listFilePath, StructAccess* structAccess)
    : listFilePath_(listFilePath), structAccess_(structAccess) {
    addKeywords();
}

void StructParser::addKeywords() {
    keywords_ = {
        {"OPEN_STRUCT_DECLARATION", {1, &StructParser::openStruct}},
        {"FIELD_UINT32", {2, &StructParser::fieldUint32}},
        {"FIELD_INT32", {2, &StructParser::fieldInt32}},
        {"FIELD_FIXED_POINT32", {2, &StructParser::fieldInt32}},
        {"USAGE_SPECIFIC_COUNTER_DEFINITION", {2, &StructParser::fieldInt32}},
        {"FIELD_UINT16", {2, &StructParser::fieldUint16}},
        {"FIELD_INT16", {2, &StructParser::fieldInt16}},
        {"FIELD_FIXED_POINT16", {2, &StructParser::fieldInt16}},
        {"FIELD_UINT8", {2, &StructParser::fieldUint8}},
        {"FIELD_INT8", {2, &StructParser::fieldInt8}},
        {"END_STRUCT_DECLARATION", {2, &StructParser::closeStruct}},
        {"DEFINE_DEFAULT_VALUE", {4, &StructParser::defineDefaultValue}},
        {"DECLARE_COMMAND", {6, &StructParser::declareCommand}},
        {"DECLARE_MEM_OP", {5, &StructParser::declareMemOp}},
        {"START_ENUM", {1, &StructParser::startEnum}},
        {"START_STRUCT_ENUM", {1, &StructParser::startEnum}},
        {"ENUM_WITH_VALUE", {3, &StructParser::enumWithValue}},
        {"ENUM_NO_VALUE", {2, &StructParser::enumNoValue}},
        {"ENUM_WITH_ENUM_VALUE", {3, &StructParser::enumWithEnumValue}},
        {"ENUM_OR_VALUE", {4, &StructParser::enumOrValue}},
        {"ENUM_COMBINED_WITH_VALUE", {4, &StructParser::enumCombinedWithValue}},
        {"ENUM_COMBINED_NO_VALUE", {3, &StructParser::enumCombinedNoValue}},
        {"END_ENUM", {1, &StructParser::endEnum}},
        {"END_STRUCT_ENUM", {1, &StructParser::endEnum}},
        {"USER_PREDEFINE_VALUE", {3, &StructParser::userPredefineValue}},
        {"START_EVENTS_ENUM", {2, &StructParser::startEventsEnum}},
        {"ENUM_EVENTS_WITH_VALUE", {3, &StructParser::enumEventsWithValue}},
        {"ENUM_EVENTS_NO_VALUE", {2, &StructParser::enumEventsNoValue}},
        {"ENUM_EVENTS_OR_VALUE", {4, &StructParser::enumEventsOrValue}},
        {"END_EVENTS_ENUM", {1, &StructParser::endEventsEnum}},
        {"START_GNRL_EVNTS_ENUM", {2, &StructParser::startGeneralEventsEnum}},
        {"ENUM_GNRL_EVNTS_WITH_VALUE", {3, &StructParser::enumGeneralEventsWithValue}},
        {"ENUM_GNRL_EVNTS_NO_VALUE", {2, &StructParser::enumGeneralEventsNoValue}},
        {"END_GNRL_EVNTS_ENUM", {1, &StructParser::endGeneralEventsEnum}},
        {"EEPROM_CEM_SECTION", {4, &StructParser::eepromCemSection}},
        {"EEPROM_CER_SECTION", {4, &StructParser::eepromCerSection}},
        {"EEPROM_FIELD_DOUBLE", {7, &StructParser::eepromFieldDouble}},
        {"EEPROM_FIELD_CHAR", {4, &StructParser::eepromFieldChar}},
        {"EEPROM_FIELD_REGISTER", {4, &StructParser::eepromFieldRegister}},
        {"EEPROM_END_SECTION", {1, &StructParser::eepromEndSection}},
        {"EEPROM_EOB_SECTION", {1, &StructParser::eepromEobSection}},
        {"EEPROM_DECLARE_SUB_SECTION", {3, &StructParser::eepromDeclareSubSection}},
        {"EEPROM_END_SUB_SECTION", {1, &StructParser::eepromEndSubSection}},
    };
}

// ---------------------------------------------------------------- files

bool StructParser::parseStructFiles() {
    const std::string path = WithoutLeadingBlanks(listFilePath_);
    // A folder, a pipe or a device does not open: a pipe would block.
    std::ifstream listFile;
    if (platform::IsRegularFile(path)) listFile.open(path);
    if (!listFile.is_open()) {
        LogMessage(Format("The file: %s can't be open for reading.", path.c_str()), LOG_NORMAL);
        return false;
    }
    const std::string directory = DirectoryPart(path);
    LogMessage("Starting to parse struct files.", LOG_NORMAL);
    std::string line;
    while (std::getline(listFile, line)) {
        DropCarriageReturn(line);
        // An empty line names the list file's own directory, which is
        // reported as no definition file.
        parseListEntry(directory, WithoutLeadingBlanks(line));
    }
    LogMessage("End of parsing of struct files.", LOG_NORMAL);
    return true;
}

void StructParser::parseListEntry(const std::string& directory, const std::string& entry) {
    const std::string fullEntry = directory + entry;
    const std::size_t patternAt = fullEntry.find(kDirectoryPattern);
    if (patternAt == std::string::npos) {
        if (platform::IsRegularFile(fullEntry)) {
            parseStructFile(fullEntry);
        } else {
            LogMessage(Format("Given pass \"%s\" is invalid OR EMPTY.", fullEntry.c_str()),
                       LOG_NORMAL);
        }
        return;
    }
    const std::string searchDirectory = fullEntry.substr(0, patternAt);
    std::vector<platform::FileEntry> found = platform::FindFiles(fullEntry);
    found.erase(std::remove_if(found.begin(), found.end(),
                               [](const platform::FileEntry& e) { return e.isDirectory; }),
                found.end());
    if (found.empty()) {
        LogMessage(Format("Given pass \"%s\" is invalid OR EMPTY.", searchDirectory.c_str()),
                   LOG_NORMAL);
        return;
    }
    std::sort(found.begin(), found.end(), FileNameBefore);
    for (const platform::FileEntry& file : found) parseStructFile(searchDirectory + file.name);
}

bool StructParser::parseStructFile(const std::string& path) {
    LogMessage(Format("Start parsing file %s", path.c_str()), LOG_NORMAL);
    std::ifstream file;
    if (platform::IsRegularFile(path)) file.open(path);
    std::string line;
    int lineNumber = 0;
    while (file.is_open() && std::getline(file, line)) {
        ++lineNumber;
        DropCarriageReturn(line);
        if (line.size() > kMaxLineLength) {
            LogCrash(Format("Warning: Line : ' %d ' in file %s is longer than %d characters; the "
                            "rest of it is ignored.",
                            lineNumber, path.c_str(), static_cast<int>(kMaxLineLength)));
            line.resize(kMaxLineLength);
        }
        const Tokens tokens = splitLine(line);
        if (tokens.empty()) continue;
        const auto keyword = keywords_.find(tokens[0]);
        if (keyword == keywords_.end()) {
            LogMessage(Format("Line : ' %d ' in file %s can not be parsed.", lineNumber,
                              path.c_str()),
                       LOG_DETAIL);
            continue;
        }
        if (tokens.size() < keyword->second.minTokens) {
            // The line is skipped: its missing parameters have no value to record.
            LogCrash(Format("Warning: %s number of parameters is less than %d.", tokens[0].c_str(),
                            static_cast<int>(keyword->second.minTokens)));
            continue;
        }
        (this->*(keyword->second.handler))(tokens);
    }
    LogMessage(Format("End parsing file %s", path.c_str()), LOG_NORMAL);
    return true;
}

StructParser::Tokens StructParser::splitLine(const std::string& line) {
    Tokens tokens;
    std::size_t pos = 0;
    while ((pos = line.find_first_not_of(kDelimiters, pos)) != std::string::npos) {
        const std::size_t end = line.find_first_of(kDelimiters, pos);
        tokens.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end;
    }
    return tokens;
}

void StructParser::reportIfFailed(bool recorded) {
    if (!recorded) LogCrash(structAccess_->getLastError());
}

// ---------------------------------------------------------------- structures

void StructParser::openStruct(const Tokens&) { structAccess_->openStruct(); }

void StructParser::fieldUint32(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 4, false));
}
void StructParser::fieldInt32(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 4, true));
}
void StructParser::fieldUint16(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 2, false));
}
void StructParser::fieldInt16(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 2, true));
}
void StructParser::fieldUint8(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 1, false));
}
void StructParser::fieldInt8(const Tokens& tokens) {
    reportIfFailed(structAccess_->addField(tokens[1], 1, true));
}

void StructParser::closeStruct(const Tokens& tokens) {
    reportIfFailed(structAccess_->closeStruct(tokens[1]));
}

void StructParser::defineDefaultValue(const Tokens& tokens) {
    reportIfFailed(
        structAccess_->setDefaultValue(tokens[1], tokens[2], ParseAutoSigned64(tokens[3])));
}

// ---------------------------------------------------------------- commands

void StructParser::declareCommand(const Tokens& tokens) {
    const std::int32_t type = CommandTypeOf(tokens[2], true);
    if (type == kUnknownType) WarnUnknownProcessor(tokens[2]);
    std::uint8_t wait = kUnknownWait;
    if (tokens[5] == "WAIT_NEEDED") {
        wait = 1;
    } else if (tokens[5] == "WAIT_NOT_NEEDED") {
        wait = 0;
    } else {
        LogCrash(Format("Warning: %s console wait type unrecognizable. Use WAIT_NEEDED or "
                        "WAIT_NOT_NEEDED_STR.",
                        tokens[5].c_str()));
    }
    structAccess_->declareCommand(tokens[1], type, tokens[3], tokens[4], wait);
}

void StructParser::declareMemOp(const Tokens& tokens) {
    std::int32_t fileType = kUnknownType;
    if (tokens[2] == "MAC_FILE_TYPE") {
        fileType = MAC_FILE_TYPE;
    } else if (tokens[2] == "PHY_FILE_TYPE") {
        fileType = PHY_FILE_TYPE;
    } else {
        LogCrash(Format("Warning: %s unrecognizable file type. Use PHY_FILE_TYPE or "
                        "MAC_FILE_TYPE.",
                        tokens[2].c_str()));
    }
    reportIfFailed(structAccess_->declareMemOp(tokens[1], fileType, tokens[3], tokens[4]));
}

// ---------------------------------------------------------------- enumerations

void StructParser::startEnum(const Tokens&) { structAccess_->startEnum(); }

void StructParser::enumWithValue(const Tokens& tokens) {
    structAccess_->addEnumValue(tokens[1], ParseAutoUnsigned32(tokens[2]));
}

void StructParser::enumNoValue(const Tokens& tokens) { structAccess_->addEnumNext(tokens[1]); }

void StructParser::enumWithEnumValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEnumFromEnum(tokens[1], tokens[2]));
}

void StructParser::enumOrValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEnumOr(tokens[1], ParseAutoUnsigned32(tokens[2]), tokens[3]));
}

void StructParser::enumCombinedWithValue(const Tokens& tokens) {
    reportIfFailed(
        structAccess_->addEnumCombined(tokens[1], tokens[2], ParseAutoUnsigned32(tokens[3])));
}

void StructParser::enumCombinedNoValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEnumCombinedNext(tokens[1], tokens[2]));
}

void StructParser::endEnum(const Tokens&) { structAccess_->endEnum(); }

void StructParser::userPredefineValue(const Tokens& tokens) {
    structAccess_->addPredefinedValue(tokens[1], ParseAutoSigned64(tokens[2]));
}

// ---------------------------------------------------------------- events

void StructParser::startEventsEnum(const Tokens& tokens) {
    const std::int32_t processor = CommandTypeOf(tokens[1], false);
    if (processor == kUnknownType) WarnUnknownProcessor(tokens[1]);
    structAccess_->selectEventSet(processor);
}

void StructParser::enumEventsWithValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEventValue(tokens[1], ParseAutoUnsigned32(tokens[2])));
}

void StructParser::enumEventsNoValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEventNext(tokens[1]));
}

void StructParser::enumEventsOrValue(const Tokens& tokens) {
    reportIfFailed(
        structAccess_->addEventOr(tokens[1], ParseAutoUnsigned32(tokens[2]), tokens[3]));
}

void StructParser::endEventsEnum(const Tokens&) { structAccess_->endEventSet(); }

void StructParser::startGeneralEventsEnum(const Tokens& tokens) {
    const std::int32_t processor = CommandTypeOf(tokens[1], false);
    if (processor == kUnknownType) WarnUnknownProcessor(tokens[1]);
    structAccess_->selectGeneralEventSet(processor);
}

void StructParser::enumGeneralEventsWithValue(const Tokens& tokens) {
    reportIfFailed(
        structAccess_->addGeneralEventValue(tokens[1], ParseAutoUnsigned32(tokens[2])));
}

void StructParser::enumGeneralEventsNoValue(const Tokens& tokens) {
    reportIfFailed(structAccess_->addGeneralEventNext(tokens[1]));
}

void StructParser::endGeneralEventsEnum(const Tokens&) { structAccess_->endGeneralEventSet(); }

// ---------------------------------------------------------------- EEPROM

void StructParser::eepromCemSection(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEepromCemSection(
        tokens[1], Hexadecimal(tokens[2]), static_cast<std::uint16_t>(Decimal(tokens[3]))));
}

void StructParser::eepromCerSection(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEepromCerSection(
        tokens[1], static_cast<std::uint8_t>(Hexadecimal(tokens[2])),
        static_cast<std::uint16_t>(Decimal(tokens[3]))));
}

void StructParser::eepromFieldDouble(const Tokens& tokens) {
    const std::string& format = tokens[3];
    const std::size_t dot = format.find('.');
    const std::uint32_t integerBits = Decimal(format);
    const std::uint32_t fractionBits = dot == std::string::npos ? 0 : Decimal(format.substr(dot + 1));
    reportIfFailed(structAccess_->addEepromDoubleField(
        tokens[1], Decimal(tokens[2]), integerBits, fractionBits, Decimal(tokens[4]),
        Decimal(tokens[5]) != 0, DecimalFraction(tokens[6])));
}

void StructParser::eepromFieldChar(const Tokens& tokens) {
    const std::uint32_t count = Decimal(tokens[2]);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 3; i < tokens.size() && bytes.size() < count; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(Hexadecimal(tokens[i])));
    }
    reportIfFailed(structAccess_->addEepromCharField(tokens[1], count, bytes));
}

void StructParser::eepromFieldRegister(const Tokens& tokens) {
    reportIfFailed(structAccess_->addEepromRegisterField(
        tokens[1], static_cast<std::uint16_t>(ParseAutoUnsigned32(tokens[2])),
        static_cast<std::uint32_t>(ParseAutoSigned64(tokens[3]))));
}

void StructParser::eepromEndSection(const Tokens&) {
    reportIfFailed(structAccess_->closeEepromSection());
}

void StructParser::eepromEobSection(const Tokens&) {
    reportIfFailed(structAccess_->addEepromEob());
}

void StructParser::eepromDeclareSubSection(const Tokens& tokens) {
    reportIfFailed(structAccess_->addGeneralEventNext(tokens[1]));
}

void StructParser::eepromEndSubSection(const Tokens&) {}
