#include "definitionnames.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "platform/platform.h"
#include "structparser.h"

namespace {

const std::string kFolderPattern = "*.h";
// The parser's field keywords (structparser.cpp).
const std::set<std::string> kFieldKeywords = {
    "FIELD_UINT32", "FIELD_INT32", "FIELD_FIXED_POINT32", "USAGE_SPECIFIC_COUNTER_DEFINITION", "FIELD_UINT16",
    "FIELD_INT16",  "FIELD_FIXED_POINT16", "FIELD_UINT8", "FIELD_INT8"};
const std::set<std::string> kEepromFieldKeywords = {"EEPROM_FIELD_DOUBLE", "EEPROM_FIELD_CHAR",
                                                    "EEPROM_FIELD_REGISTER"};

std::string WithoutLeadingBlanks(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void DropCarriageReturn(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

void DefinitionNames::ReadListFile(const std::string& listFile) {
    const std::string path = WithoutLeadingBlanks(listFile);
    std::ifstream list(path);
    std::string line;
    while (std::getline(list, line)) {
        DropCarriageReturn(line);
        const std::string entry = WithoutLeadingBlanks(line);
        if (!entry.empty()) ReadListEntry(FolderOf(path), entry);
    }
}

void DefinitionNames::ReadListEntry(const std::string& folder, const std::string& entry) {
    const std::string full = folder + entry;
    const std::size_t pattern = full.find(kFolderPattern);
    if (pattern == std::string::npos) return ReadDefinitionFile(full);
    std::vector<std::string> files;
    for (const platform::FileEntry& found : platform::FindFiles(full)) {
        if (!found.isDirectory) files.push_back(found.name);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) ReadDefinitionFile(full.substr(0, pattern) + name);
}

void DefinitionNames::ReadDefinitionFile(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        DropCarriageReturn(line);
        if (line.size() > StructParser::kMaxLineLength) line.resize(StructParser::kMaxLineLength);
        const std::vector<std::string> tokens = StructParser::splitLine(line);
        if (!tokens.empty()) TakeLine(tokens);
    }
}

void DefinitionNames::TakeLine(const std::vector<std::string>& tokens) {
    const std::string& keyword = tokens[0];
    if (keyword == "OPEN_STRUCT_DECLARATION") {
        openFields_.clear();
    } else if (kFieldKeywords.count(keyword) != 0 && tokens.size() >= 2) {
        openFields_.push_back(tokens[1]);
    } else if (keyword == "END_STRUCT_DECLARATION" && tokens.size() >= 2) {
        structFields_[tokens[1]] = openFields_;
        openFields_.clear();
    } else if (keyword == "DECLARE_COMMAND" && tokens.size() >= 6) {
        commandStructs_.emplace(tokens[1], tokens[3]);
    } else if (kEepromFieldKeywords.count(keyword) != 0 && tokens.size() >= 2) {
        eepromFields_.push_back(tokens[1]);
    }
}

std::vector<std::string> DefinitionNames::Commands() const {
    std::vector<std::string> names;
    for (const auto& command : commandStructs_) names.push_back(command.first);
    return names;
}

std::vector<std::string> DefinitionNames::Parameters(const std::string& command) const {
    const auto found = commandStructs_.find(command);
    if (found == commandStructs_.end()) return {};
    const auto fields = structFields_.find(found->second);
    return fields == structFields_.end() ? std::vector<std::string>() : fields->second;
}
