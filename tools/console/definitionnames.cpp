#include "definitionnames.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

#include "autobase.h"
#include "platform/platform.h"
#include "startupcheck.h"
#include "structparser.h"

namespace {

const std::string kFolderPattern = "*.h";
// The parser's field keywords (structparser.cpp) with the size and sign of
// the field each declares.
struct FieldKind {
    std::size_t bytes;
    bool isSigned;
};
const std::map<std::string, FieldKind> kFieldKeywords = {
    {"FIELD_UINT32", {4, false}},
    {"FIELD_INT32", {4, true}},
    {"FIELD_FIXED_POINT32", {4, true}},
    {"USAGE_SPECIFIC_COUNTER_DEFINITION", {4, true}},
    {"FIELD_UINT16", {2, false}},
    {"FIELD_INT16", {2, true}},
    {"FIELD_FIXED_POINT16", {2, true}},
    {"FIELD_UINT8", {1, false}},
    {"FIELD_INT8", {1, true}},
};

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

bool DefinitionNames::ReadListFile(const std::string& listFile) {
    const std::string path = WithoutLeadingBlanks(listFile);
    if (!startupcheck::FileProblem(path).empty()) return false;
    std::ifstream list(path);
    if (!list) return false;
    std::string line;
    while (std::getline(list, line)) {
        DropCarriageReturn(line);
        const std::string entry = WithoutLeadingBlanks(line);
        if (!entry.empty()) ReadListEntry(FolderOf(path), entry);
    }
    return true;
}

void DefinitionNames::ReadListEntry(const std::string& folder, const std::string& entry) {
    const std::string full = folder + entry;
    const std::size_t pattern = full.find(kFolderPattern);
    if (pattern == std::string::npos) {
        if (!ReadDefinitionFile(full)) unreadable_.push_back(full);
        return;
    }
    std::vector<std::string> files;
    for (const platform::FileEntry& found : platform::FindFiles(full)) {
        if (!found.isDirectory) files.push_back(found.name);
    }
    // A pattern that names no file (its folder missing or empty) is as
    // missing as a file that does not open.
    if (files.empty()) unreadable_.push_back(full);
    std::sort(files.begin(), files.end());
    for (const std::string& name : files) ReadDefinitionFile(full.substr(0, pattern) + name);
}

bool DefinitionNames::ReadDefinitionFile(const std::string& path) {
    if (!startupcheck::FileProblem(path).empty()) return false;
    std::ifstream file(path);
    if (!file) return false;
    std::string line;
    while (std::getline(file, line)) {
        DropCarriageReturn(line);
        if (line.size() > StructParser::kMaxLineLength) line.resize(StructParser::kMaxLineLength);
        const std::vector<std::string> tokens = StructParser::splitLine(line);
        if (!tokens.empty()) TakeLine(tokens);
    }
    return true;
}

void DefinitionNames::TakeLine(const std::vector<std::string>& tokens) {
    const std::string& keyword = tokens[0];
    if (keyword == "OPEN_STRUCT_DECLARATION") {
        openFields_.clear();
    } else if (kFieldKeywords.count(keyword) != 0 && tokens.size() >= 2) {
        const FieldKind& kind = kFieldKeywords.at(keyword);
        openFields_.push_back(Parameter{tokens[1], kind.bytes, kind.isSigned});
    } else if (keyword == "END_STRUCT_DECLARATION" && tokens.size() >= 2) {
        structFields_[tokens[1]] = openFields_;
        openFields_.clear();
    } else if (keyword == "DECLARE_COMMAND" && tokens.size() >= 6) {
        commands_.emplace(tokens[1], Command{tokens[3], tokens[2], tokens[4]});
    } else if (keyword == "EEPROM_FIELD_DOUBLE" && tokens.size() >= 6) {
        eepromFieldNames_.push_back(tokens[1]);
        eepromFields_[tokens[1]] = NumberWithFormat(tokens);
    } else if ((keyword == "EEPROM_FIELD_DOUBLE" || keyword == "EEPROM_FIELD_REGISTER") && tokens.size() >= 2) {
        eepromFieldNames_.push_back(tokens[1]);
        eepromFields_[tokens[1]] = EepromField{EepromField::Kind::Number, 0};
    } else if (keyword == "EEPROM_FIELD_CHAR" && tokens.size() >= 3) {
        eepromFieldNames_.push_back(tokens[1]);
        eepromFields_[tokens[1]] = EepromField{EepromField::Kind::Bytes, std::strtoul(tokens[2].c_str(), nullptr, 10)};
    } else if (keyword == "USER_PREDEFINE_VALUE" && tokens.size() >= 3) {
        predefinedValues_[tokens[1]] = ParseAutoSigned64(tokens[2]);
    } else {
        TakeEnumLine(tokens);
    }
}

// EEPROM_FIELD_DOUBLE(name, size, I.F, shift, signed, value).
DefinitionNames::EepromField DefinitionNames::NumberWithFormat(const std::vector<std::string>& tokens) {
    EepromField field;
    field.bytes = std::strtoul(tokens[2].c_str(), nullptr, 10);
    const std::size_t dot = tokens[3].find('.');
    const unsigned long fractionBits = dot == std::string::npos ? 0 : std::strtoul(tokens[3].c_str() + dot + 1, nullptr, 10);
    const unsigned long shift = std::strtoul(tokens[4].c_str(), nullptr, 10);
    field.fractionBits = static_cast<unsigned>(std::min(fractionBits, 64ul));
    field.shift = static_cast<unsigned>(std::min(shift, 64ul));
    field.isSigned = std::strtol(tokens[5].c_str(), nullptr, 10) != 0;
    field.hasFormat = field.bytes >= 1 && field.bytes <= 4 && field.fractionBits + field.shift < 64;
    return field;
}

// The enumeration keywords, as the library numbers them.
void DefinitionNames::TakeEnumLine(const std::vector<std::string>& tokens) {
    const std::string& keyword = tokens[0];
    const auto known = [this](const std::string& name) { return enumValues_.find(name); };
    if (keyword == "START_ENUM" || keyword == "START_STRUCT_ENUM") {
        enumCounter_ = 0;
    } else if (keyword == "ENUM_WITH_VALUE" && tokens.size() >= 3) {
        SetEnum(tokens[1], ParseAutoUnsigned32(tokens[2]));
        enumCounter_ = ParseAutoUnsigned32(tokens[2]) + 1;
    } else if (keyword == "ENUM_NO_VALUE" && tokens.size() >= 2) {
        SetEnum(tokens[1], enumCounter_++);
    } else if (keyword == "ENUM_WITH_ENUM_VALUE" && tokens.size() >= 3 && known(tokens[2]) != enumValues_.end()) {
        const std::uint32_t value = known(tokens[2])->second;
        SetEnum(tokens[1], value);
        enumCounter_ = value + 1;
    } else if (keyword == "ENUM_OR_VALUE" && tokens.size() >= 4 && known(tokens[3]) != enumValues_.end()) {
        const std::uint32_t value = (known(tokens[3])->second | ParseAutoUnsigned32(tokens[2])) & 0xFFu;
        SetEnum(tokens[1], value);
        enumCounter_ = (value + 1) & 0xFFu;
    } else if (keyword == "ENUM_COMBINED_WITH_VALUE" && tokens.size() >= 4 &&
               known(tokens[2]) != enumValues_.end()) {
        SetEnum(tokens[1], known(tokens[2])->second * 256 + ParseAutoUnsigned32(tokens[3]));
        ++enumCounter_;
    } else if (keyword == "ENUM_COMBINED_NO_VALUE" && tokens.size() >= 3 && known(tokens[2]) != enumValues_.end()) {
        SetEnum(tokens[1], known(tokens[2])->second * 256 + enumCounter_++);
    }
}

std::vector<std::string> DefinitionNames::Commands() const {
    std::vector<std::string> names;
    for (const auto& command : commands_) names.push_back(command.first);
    return names;
}

std::vector<std::string> DefinitionNames::Parameters(const std::string& command) const {
    const auto found = commands_.find(command);
    if (found == commands_.end()) return {};
    const auto fields = structFields_.find(found->second.structName);
    std::vector<std::string> names;
    if (fields == structFields_.end()) return names;
    for (const Parameter& field : fields->second) names.push_back(field.name);
    return names;
}

const DefinitionNames::Parameter* DefinitionNames::FindParameter(const std::string& command,
                                                                 const std::string& name) const {
    const auto found = commands_.find(command);
    if (found == commands_.end()) return nullptr;
    const auto fields = structFields_.find(found->second.structName);
    if (fields == structFields_.end()) return nullptr;
    for (auto field = fields->second.rbegin(); field != fields->second.rend(); ++field) {
        if (field->name == name) return &*field;
    }
    return nullptr;
}

std::optional<std::int64_t> DefinitionNames::PredefinedValue(const std::string& name) const {
    const auto found = predefinedValues_.find(name);
    if (found == predefinedValues_.end()) return std::nullopt;
    return found->second;
}

const DefinitionNames::EepromField* DefinitionNames::FindEepromField(const std::string& name) const {
    const auto found = eepromFields_.find(name);
    return found == eepromFields_.end() ? nullptr : &found->second;
}

std::optional<std::uint32_t> DefinitionNames::EnumValue(const std::string& name) const {
    const auto found = enumValues_.find(name);
    if (found == enumValues_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::pair<std::string, std::uint32_t>> DefinitionNames::Opcode(const std::string& command) const {
    const auto found = commands_.find(command);
    if (found == commands_.end()) return std::nullopt;
    const std::optional<std::uint32_t> value = EnumValue(found->second.opcodeName);
    if (!value) return std::nullopt;
    return std::make_pair(found->second.opcodeName, *value);
}

bool DefinitionNames::IsMacCommand(const std::string& command) const {
    const auto found = commands_.find(command);
    return found != commands_.end() && found->second.type == "MAC_CMD_TYPE";
}
