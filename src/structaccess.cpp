#include "structaccess.h"

#include <cctype>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "autobase.h"
#include "consolelogger.h"
#include "eeprominterface.h"
#include "platform/platform.h"
#include "structparser.h"

namespace {

bool IsBlankText(const std::string& text) {
    return text.find_first_not_of(' ') == std::string::npos;
}

// The bytes a field takes: its low `size` bytes, most significant first when
// swapBytes is set, otherwise least significant first (the host order of both
// targets).
void StoreField(std::uint8_t* destination, std::uint32_t size, std::uint64_t value,
                bool swapBytes) {
    for (std::uint32_t i = 0; i < size; ++i) {
        const std::uint32_t byteIndex = swapBytes ? size - 1 - i : i;
        destination[i] = static_cast<std::uint8_t>(value >> (8 * byteIndex));
    }
}

// Where the structure's last field ends: the bytes a caller must supply.
std::uint32_t StructExtent(const FieldMap& fields) {
    std::uint32_t extent = 0;
    for (const auto& entry : fields) {
        const std::uint32_t end = entry.second.offset + entry.second.size;
        if (end > extent) extent = end;
    }
    return extent;
}

std::vector<std::string> SplitParameters(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(" =,", pos);
        if (pos == std::string::npos) break;
        const std::size_t end = text.find_first_of(" =,", pos);
        tokens.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end;
    }
    return tokens;
}

bool StartsLikeNumber(const std::string& value) {
    const auto first = static_cast<unsigned char>(value[0]);
    return std::isdigit(first) || value[0] == '-';
}

}  // namespace

StructAccess::StructAccess(const std::string& macMapFilePath, const std::string& phyMapFilePath,
                           EepromInterface* eepromInterface)
    : eepromInterface_(eepromInterface),
      phyMapFilePath_(phyMapFilePath),
      macMapFilePath_(macMapFilePath) {}

// Every record is held by value; the EEPROM interface keeps its own copies of
// the EEPROM records, so nothing here reaches into it.
StructAccess::~StructAccess() = default;

bool StructAccess::structAccessInit(const std::string& listFilePath) {
    LogMessage("<StructAccess>StructAccess.structAccessInit()", LOG_DETAIL);
    if (IsBlankText(listFilePath)) {
        LogMessage("<StructAccess>No path have been supplied for command structs.", LOG_DETAIL);
        return false;
    }
    StructParser parser(listFilePath, this);
    const bool parsed = parser.parseStructFiles();
    // Later lookups read the map files afresh: the firmware may have changed.
    mapFilesDuringParse_.clear();
    return parsed;
}

// Memory operations resolve their symbols while the definition files are
// parsed; each map file is read once for all of them.
bool StructAccess::resolveDuringParse(const std::string& mapFilePath, const std::string& symbol,
                                      std::uint32_t& address) {
    auto found = mapFilesDuringParse_.find(mapFilePath);
    if (found == mapFilesDuringParse_.end()) {
        MapFileSymbols symbols;
        const bool opened = symbols.Load(mapFilePath);
        found = mapFilesDuringParse_.emplace(mapFilePath, std::make_pair(opened, std::move(symbols))).first;
    }
    address = 0;
    if (!found->second.first) return false;
    address = found->second.second.Find(symbol);
    return true;
}

bool StructAccess::fail(const std::string& text) {
    lastError_ = text;
    LogMessage(lastError_, LOG_NORMAL);
    return false;
}

// ---------------------------------------------------------------- lookups

const FieldMap* StructAccess::findStruct(const std::string& structName) const {
    const auto found = structures_.find(structName);
    return found == structures_.end() ? nullptr : &found->second;
}

const CommandDefinition_t* StructAccess::findCommand(const std::string& commandName) const {
    const auto found = commands_.find(commandName);
    return found == commands_.end() ? nullptr : &found->second;
}

bool StructAccess::getCommandType(const std::string& commandName, int& type) const {
    const CommandDefinition_t* command = findCommand(commandName);
    const bool known = command != nullptr && command->commandType >= MAC_CMD_TYPE &&
                       command->commandType <= PHY_TUNNEL_CMD_TYPE;
    if (!known) {
        LogMessage(Format("<StructAccess>Command type for %s not found. Please check your input "
                          "files.",
                          commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    type = command->commandType;
    return true;
}

bool StructAccess::getCommandOpcode(const std::string& commandName, std::uint32_t& opcode) const {
    const CommandDefinition_t* command = findCommand(commandName);
    return command != nullptr && getEnumValue(command->opcodeName, opcode);
}

bool StructAccess::getEnumValue(const std::string& name, std::uint32_t& value) const {
    const auto found = enumValues_.find(name);
    if (found == enumValues_.end()) return false;
    value = found->second;
    return true;
}

bool StructAccess::getCommandLength(const std::string& commandName, std::uint32_t& length) const {
    const CommandDefinition_t* command = findCommand(commandName);
    if (command == nullptr) {
        LogMessage(Format("<StructAccess>Command name %s not found.", commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    length = 0;
    const FieldMap* fields = findStruct(command->structName);
    if (fields == nullptr) {
        LogMessage(Format("<StructAccess>Struct for struct name %s not found.",
                          command->structName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    length = StructExtent(*fields);
    return true;
}

bool StructAccess::getCommandWait(const std::string& commandName, bool& waitNeeded) const {
    const CommandDefinition_t* command = findCommand(commandName);
    if (command == nullptr || command->waitNeeded > 1) {
        LogMessage(Format("<StructAccess>Warning: %s console wait type unrecognizable.",
                          commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    waitNeeded = command->waitNeeded == 1;
    return true;
}

std::vector<std::string> StructAccess::getCommandNames() const {
    std::vector<std::string> names;
    names.reserve(commands_.size());
    for (const auto& command : commands_) names.push_back(command.first);
    return names;
}

void StructAccess::getFieldInfo(const std::string& structName, const std::string& fieldName,
                                int& offset, int& size, bool& isSigned) const {
    offset = -1;
    size = -1;
    const FieldMap* fields = findStruct(structName);
    if (fields == nullptr) return;
    const auto field = fields->find(fieldName);
    if (field == fields->end()) return;
    offset = static_cast<int>(field->second.offset);
    size = field->second.size;
    isSigned = field->second.isSigned != 0;
}

bool StructAccess::getPredefinedValue(const std::string& name, std::int64_t& value) const {
    const auto found = predefinedValues_.find(name);
    if (found == predefinedValues_.end()) return false;
    value = found->second;
    return true;
}

std::uint32_t StructAccess::getSymbolAddress(const std::string& name, const std::string& fileWord,
                                             bool fromMapFile) const {
    if (!fromMapFile) {
        const auto memOp = memOps_.find(name);
        if (memOp == memOps_.end()) {
            LogMessage(Format("<StructAccess>Unable to count %s command's length please check "
                              "struct definition.",
                              name.c_str()),
                       LOG_NORMAL);
            return 0;
        }
        return memOp->second.address;
    }
    const std::string& mapFile = fileWord == "MAC_FILE_TYPE" ? macMapFilePath_ : phyMapFilePath_;
    std::uint32_t address = 0;
    if (!ResolveMapFileSymbol(mapFile, name, address)) {
        LogMessage(Format("<StructAccess>ERROR: the map file \"%s\" does not exist\n",
                          mapFile.c_str()),
                   LOG_NORMAL);
        return 0;
    }
    return address;
}

bool StructAccess::getMemOpStructName(const std::string& memOpName, std::string& structName) const {
    const auto found = memOps_.find(memOpName);
    if (found == memOps_.end()) return false;
    structName = found->second.structName;
    return true;
}

bool StructAccess::getMemOpFileType(const std::string& memOpName, int& fileType) const {
    const auto found = memOps_.find(memOpName);
    if (found == memOps_.end()) return false;
    fileType = found->second.fileType;
    return true;
}

namespace {
bool FindEventName(const std::map<std::uint16_t, std::string>& names, std::uint16_t code,
                   std::string& name) {
    const auto found = names.find(code);
    if (found == names.end()) return false;
    name = found->second;
    return true;
}
}  // namespace

bool StructAccess::getEventName(std::uint16_t code, std::string& name) const {
    return FindEventName(phyEvents_.names, code, name);
}

bool StructAccess::getGeneralEventName(std::uint16_t code, std::string& name) const {
    return FindEventName(phyGeneralEvents_.names, code, name);
}

// ---------------------------------------------------------------- map files

namespace {
// The first two words of a map-file line. Only blanks separate them (a tab
// does not): a tab-separated line has no second word and is skipped.
bool FirstTwoWords(const std::string& line, std::string& first, std::string& second) {
    static const char kBlanks[] = " \n";
    const std::size_t firstStart = line.find_first_not_of(kBlanks);
    if (firstStart == std::string::npos) return false;
    const std::size_t firstEnd = line.find_first_of(kBlanks, firstStart);
    if (firstEnd == std::string::npos) return false;
    const std::size_t secondStart = line.find_first_not_of(kBlanks, firstEnd);
    if (secondStart == std::string::npos) return false;
    const std::size_t secondEnd = std::min(line.find_first_of(kBlanks, secondStart), line.size());
    first.assign(line, firstStart, firstEnd - firstStart);
    second.assign(line, secondStart, secondEnd - secondStart);
    return true;
}
}  // namespace

bool MapFileSymbols::Load(const std::string& mapFilePath) {
    addresses_.clear();
    std::ifstream file;
    if (platform::IsRegularFile(mapFilePath)) file.open(mapFilePath);  // a pipe would block
    if (!file.is_open()) return false;
    std::string line;
    std::string name;
    std::string addressText;
    while (std::getline(file, line)) {
        // The address word is read as hexadecimal up to its first other
        // character ("0x2000," is 0x2000); the last line of a symbol wins.
        if (FirstTwoWords(line, name, addressText)) addresses_[name] = ParseUnsigned32(addressText, 16);
    }
    return true;
}

std::uint32_t MapFileSymbols::Find(const std::string& symbol) const {
    const auto found = addresses_.find(symbol);
    return found == addresses_.end() ? 0 : found->second;
}

bool ResolveMapFileSymbol(const std::string& mapFilePath, const std::string& symbol,
                          std::uint32_t& address) {
    MapFileSymbols symbols;
    address = 0;
    if (!symbols.Load(mapFilePath)) return false;
    address = symbols.Find(symbol);
    return true;
}

// ---------------------------------------------------------------- encoding

void StructAccess::applyDefaults(const std::string& structName, std::uint8_t* buffer,
                                 std::size_t bufferSize, bool swapBytes) const {
    const FieldMap* fields = findStruct(structName);
    if (fields == nullptr || buffer == nullptr || StructExtent(*fields) > bufferSize) return;
    for (const auto& entry : *fields) {
        const FieldDefinition_t& field = entry.second;
        StoreField(buffer + field.offset, field.size, static_cast<std::uint64_t>(field.defaultValue),
                   swapBytes);
    }
}

bool StructAccess::adaptCommandParams(const std::string& commandName,
                                      const std::string& parameterText, std::uint8_t* buffer,
                                      std::size_t bufferSize, bool swapBytes) const {
    const CommandDefinition_t* command = findCommand(commandName);
    if (command == nullptr) {
        LogMessage(Format("<StructAccess>Struct for command name %s not found.",
                          commandName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    const std::string& structName = command->structName;
    const FieldMap* fields = findStruct(structName);
    if (fields == nullptr) {
        LogMessage(Format("<StructAccess>Struct for struct name %s not found.", structName.c_str()),
                   LOG_NORMAL);
        return false;
    }
    const std::uint32_t extent = StructExtent(*fields);
    if (buffer == nullptr || extent > bufferSize) {
        LogMessage(Format("<StructAccess>Error!,Struct: %s needs %u bytes, the command holds %u.",
                          structName.c_str(), static_cast<unsigned>(extent),
                          static_cast<unsigned>(buffer == nullptr ? 0 : bufferSize)),
                   LOG_NORMAL);
        return false;
    }
    applyDefaults(structName, buffer, bufferSize, swapBytes);
    if (LogEnabled(LOG_NORMAL)) {
        LogMessage(Format("<StructAccess>Adapting %s command parameters:", commandName.c_str()), LOG_NORMAL);
    }

    const std::vector<std::string> tokens = SplitParameters(parameterText);
    for (std::size_t i = 0; i < tokens.size(); i += 2) {
        const std::string& fieldName = tokens[i];
        if (fields->find(fieldName) == fields->end()) {
            LogMessage(Format("<StructAccess>Error!,Struct: %s doesn't contain the field: %s",
                              structName.c_str(), fieldName.c_str()),
                       LOG_NORMAL);
            return false;
        }
        if (i + 1 >= tokens.size()) {
            LogMessage("<StructAccess>Error!,No Value was defined for the field: $s", LOG_NORMAL);
            return false;
        }
        if (!encodeParameter(structName, *fields, fieldName, tokens[i + 1], buffer, swapBytes)) {
            return false;
        }
    }
    return true;
}

bool StructAccess::encodeParameter(const std::string& structName, const FieldMap& fields,
                                   const std::string& fieldName, const std::string& valueToken,
                                   std::uint8_t* buffer, bool swapBytes) const {
    if (valueToken.size() > kMaxValueText) {
        LogMessage(Format("<StructAccess>Error!,Value %s for the field %s of struct %s is longer "
                          "than %u characters.",
                          valueToken.c_str(), fieldName.c_str(), structName.c_str(),
                          static_cast<unsigned>(kMaxValueText)),
                   LOG_NORMAL);
        return false;
    }
    std::string valueText = valueToken;
    if (!StartsLikeNumber(valueToken)) {
        std::int64_t predefined = 0;
        if (!getPredefinedValue(valueToken, predefined)) {
            LogMessage(Format("<StructAccess>Error!,Enum for value %s not found.",
                              valueToken.c_str()),
                       LOG_NORMAL);
            return false;
        }
        valueText = std::to_string(predefined);
    }
    const FieldDefinition_t& field = fields.at(fieldName);
    const int base = AutoBase(valueText);
    if (LogEnabled(LOG_NORMAL)) {
        LogMessage(Format("<StructAccess> %s=%s , base = %d,fieldSize = %d", fieldName.c_str(), valueText.c_str(),
                          base, static_cast<int>(field.size)),
                   LOG_NORMAL);
    }
    const std::uint32_t value =
        field.isSigned != 0 ? static_cast<std::uint32_t>(ParseSigned32(valueText, base))
                            : ParseUnsigned32(valueText, base);
    if (field.size != 1 && field.size != 2 && field.size != 4) {
        LogMessage(Format("<StructAccess>Field size %i not found.", static_cast<int>(field.size)),
                   LOG_NORMAL);
        return false;
    }
    StoreField(buffer + field.offset, field.size, value, swapBytes);
    return true;
}

// ---------------------------------------------------------------- structures

void StructAccess::openStruct() {
    runningOffset_ = 0;
    currentFields_.clear();
}

bool StructAccess::addField(const std::string& name, std::uint8_t size, bool isSigned) {
    if (runningOffset_ < 0) {
        return fail(Format("<StructAccess>Warning: field %s is outside a struct declaration and "
                           "is ignored.",
                           name.c_str()));
    }
    FieldDefinition_t field;
    field.offset = static_cast<std::uint32_t>(runningOffset_);
    field.size = size;
    field.isSigned = isSigned ? 1 : 0;
    const bool replaced = currentFields_.count(name) != 0;
    currentFields_[name] = field;
    runningOffset_ += size;
    if (replaced) {
        return fail(Format("<StructAccess>Warning: field %s is declared twice in one struct; the "
                           "later one is kept.",
                           name.c_str()));
    }
    return true;
}

bool StructAccess::closeStruct(const std::string& name) {
    if (runningOffset_ < 0) {
        return fail(Format("<StructAccess>Warning: struct %s is closed without an open struct "
                           "declaration and is ignored.",
                           name.c_str()));
    }
    structures_[name] = std::move(currentFields_);
    currentFields_.clear();
    runningOffset_ = -1;
    return true;
}

bool StructAccess::setDefaultValue(const std::string& structName, const std::string& fieldName,
                                   std::int64_t value) {
    const auto structure = structures_.find(structName);
    if (structure == structures_.end()) {
        return fail(Format("<StructAccess>Error. Couldn't find struct by name &%s to insert "
                           "default value. ",
                           structName.c_str()));
    }
    const auto field = structure->second.find(fieldName);
    if (field == structure->second.end()) {
        return fail(Format("<StructAccess>Error. Couldn't find field by name %s for struct %s to "
                           "insert default value. ",
                           fieldName.c_str(), structName.c_str()));
    }
    field->second.defaultValue = value;
    return true;
}

// ---------------------------------------------------------------- commands

void StructAccess::declareCommand(const std::string& name, std::int32_t type,
                                  const std::string& structName, const std::string& opcodeName,
                                  std::uint8_t waitNeeded) {
    CommandDefinition_t command;
    command.name = name;
    command.commandType = type;
    command.structName = structName;
    command.opcodeName = opcodeName;
    command.waitNeeded = waitNeeded;
    commands_[name] = std::move(command);
}

bool StructAccess::declareMemOp(const std::string& name, std::int32_t fileType,
                                const std::string& structName, const std::string& symbolName) {
    MemStructDefinition_t memOp;
    memOp.name = name;
    memOp.fileType = fileType;
    memOp.structName = structName;
    memOp.symbolName = symbolName;
    bool opened = true;
    if (fileType == MAC_FILE_TYPE || fileType == PHY_FILE_TYPE) {
        const std::string& mapFile = fileType == MAC_FILE_TYPE ? macMapFilePath_ : phyMapFilePath_;
        opened = resolveDuringParse(mapFile, symbolName, memOp.address);
        if (!opened) {
            fail(Format("<StructAccess>ERROR: the map file \"%s\" does not exist\n",
                        mapFile.c_str()));
        }
    }
    memOps_[name] = std::move(memOp);
    return opened;
}

// ---------------------------------------------------------------- enumerations

void StructAccess::addEnumValue(const std::string& name, std::uint32_t value) {
    enumValues_[name] = value;
    enumCounter_ = value + 1;
}

void StructAccess::addEnumNext(const std::string& name) {
    enumValues_[name] = enumCounter_;
    ++enumCounter_;
}

bool StructAccess::lookUpReferencedEnum(const std::string& otherName, const std::string& name,
                                        std::uint32_t& value) {
    if (getEnumValue(otherName, value)) return true;
    return fail(Format("<StructAccess>Warning: The name %s is not inserted to enum. So %s will no "
                       "be inserted.",
                       otherName.c_str(), name.c_str()));
}

bool StructAccess::addEnumFromEnum(const std::string& name, const std::string& otherName) {
    std::uint32_t other = 0;
    if (!lookUpReferencedEnum(otherName, name, other)) return false;
    addEnumValue(name, other);
    return true;
}

bool StructAccess::addEnumOr(const std::string& name, std::uint32_t value,
                             const std::string& otherName) {
    std::uint32_t other = 0;
    if (!lookUpReferencedEnum(otherName, name, other)) return false;
    const std::uint32_t combined = (other | value) & 0xFFU;
    enumValues_[name] = combined;
    enumCounter_ = (combined + 1) & 0xFFU;
    return true;
}

bool StructAccess::addEnumCombined(const std::string& name, const std::string& otherName,
                                   std::uint32_t value) {
    std::uint32_t other = 0;
    if (!lookUpReferencedEnum(otherName, name, other)) return false;
    enumValues_[name] = other * 256U + value;
    ++enumCounter_;
    return true;
}

bool StructAccess::addEnumCombinedNext(const std::string& name, const std::string& otherName) {
    std::uint32_t other = 0;
    if (!lookUpReferencedEnum(otherName, name, other)) return false;
    enumValues_[name] = other * 256U + enumCounter_;
    ++enumCounter_;
    return true;
}

void StructAccess::addPredefinedValue(const std::string& name, std::int64_t value) {
    predefinedValues_[name] = value;
}

// ---------------------------------------------------------------- events

void StructAccess::selectEventSet(int processor) {
    selectedEvents_ = processor == PHY_CMD_TYPE   ? &phyEvents_
                      : processor == MAC_CMD_TYPE ? &macEvents_
                                                  : nullptr;
}

void StructAccess::selectGeneralEventSet(int processor) {
    selectedGeneralEvents_ = processor == PHY_CMD_TYPE   ? &phyGeneralEvents_
                             : processor == MAC_CMD_TYPE ? &macGeneralEvents_
                                                         : nullptr;
}

bool StructAccess::recordEvent(EventSet* set, const std::string& name, std::uint16_t code,
                               const char* family) {
    if (set == nullptr) {
        return fail(Format("<StructAccess>Warning: no %s set is selected, so %s will no be "
                           "inserted.",
                           family, name.c_str()));
    }
    set->names[code] = name;
    set->counter = code;
    return true;
}

bool StructAccess::addEventValue(const std::string& name, std::uint32_t code) {
    return recordEvent(selectedEvents_, name, static_cast<std::uint16_t>(code), "event");
}

bool StructAccess::addEventNext(const std::string& name) {
    if (selectedEvents_ == nullptr) return recordEvent(nullptr, name, 0, "event");
    const auto code = static_cast<std::uint16_t>(selectedEvents_->counter + 1);
    return recordEvent(selectedEvents_, name, code, "event");
}

bool StructAccess::addEventOr(const std::string& name, std::uint32_t value,
                              const std::string& otherName) {
    std::uint32_t other = 0;
    if (!lookUpReferencedEnum(otherName, name, other)) return false;
    return recordEvent(selectedEvents_, name, static_cast<std::uint16_t>((other | value) & 0xFFU),
                       "event");
}

bool StructAccess::addGeneralEventValue(const std::string& name, std::uint32_t code) {
    return recordEvent(selectedGeneralEvents_, name, static_cast<std::uint16_t>(code),
                       "general event");
}

bool StructAccess::addGeneralEventNext(const std::string& name) {
    if (selectedGeneralEvents_ == nullptr) return recordEvent(nullptr, name, 0, "general event");
    const auto code = static_cast<std::uint16_t>(selectedGeneralEvents_->counter + 1);
    return recordEvent(selectedGeneralEvents_, name, code, "general event");
}

// ---------------------------------------------------------------- EEPROM rows

// A database made without an EEPROM interface (a tool that needs only the
// commands and events) passes over the EEPROM rows.
bool StructAccess::hasEepromTable() const {
    if (eepromInterface_ == nullptr) {
        LogMessage("<StructAccess>No EEPROM interface: the EEPROM row is passed over.", LOG_DETAIL);
    }
    return eepromInterface_ != nullptr;
}

namespace {

void AppendBigEndian(std::vector<std::uint8_t>& data, std::uint64_t value, std::uint32_t bytes) {
    for (std::uint32_t i = bytes; i > 0; --i) {
        data.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
    }
}

EEpromFieldDefinition_t MakeRecord(const std::string& name, std::vector<std::uint8_t> data) {
    EEpromFieldDefinition_t record;
    record.name = name;
    record.size = static_cast<std::uint32_t>(data.size());
    record.data = std::move(data);
    return record;
}

}  // namespace

bool StructAccess::appendEepromRecord(EEpromFieldDefinition_t record, bool countsInSection) {
    const std::uint32_t offset = eepromInterface_->GetDataBaseSize();
    if (record.size > std::numeric_limits<std::uint32_t>::max() - offset) {
        return fail(Format("<StructAccess>Warning: the EEPROM field %s does not fit the EEPROM "
                           "address range and is not inserted.",
                           record.name.c_str()));
    }
    record.offset = offset;
    const std::string name = record.name;
    const std::uint32_t size = record.size;
    eepromInterface_->AppendFieldDefinition(std::move(record));
    eepromInterface_->SetDataBaseSize(offset + size);
    if (!countsInSection) return true;
    const std::uint32_t remaining = eepromInterface_->GetSectionRemaining();
    if (size > remaining) {
        eepromInterface_->SetSectionRemaining(0);
        return fail(Format("<StructAccess>Warning: the EEPROM field %s (%u bytes) overruns its "
                           "section, which had %u bytes left.",
                           name.c_str(), static_cast<unsigned>(size),
                           static_cast<unsigned>(remaining)));
    }
    eepromInterface_->SetSectionRemaining(remaining - size);
    return true;
}

bool StructAccess::addEepromCemSection(const std::string& name, std::uint32_t identifier,
                                       std::uint16_t length) {
    if (!hasEepromTable()) return true;
    std::vector<std::uint8_t> data{1};
    AppendBigEndian(data, static_cast<std::uint16_t>(length + 3U), 2);
    AppendBigEndian(data, identifier & 0xFFFFFFU, 3);
    if (!appendEepromRecord(MakeRecord(name, std::move(data)), false)) return false;
    eepromInterface_->SetSectionRemaining(length);
    return true;
}

bool StructAccess::addEepromCerSection(const std::string& name, std::uint8_t identifier,
                                       std::uint16_t length) {
    if (!hasEepromTable()) return true;
    std::vector<std::uint8_t> data{2};
    AppendBigEndian(data, static_cast<std::uint16_t>(length + 1U), 2);
    data.push_back(identifier);
    if (!appendEepromRecord(MakeRecord(name, std::move(data)), false)) return false;
    eepromInterface_->SetSectionRemaining(length);
    return true;
}

bool StructAccess::addEepromDoubleField(const std::string& name, std::uint32_t size,
                                        std::uint32_t integerBits, std::uint32_t fractionBits,
                                        std::uint32_t shift, bool isSigned, double value) {
    if (!hasEepromTable()) return true;
    if (size < 1 || size > 4) {
        return fail(Format("<StructAccess>Warning: the EEPROM field %s has %u bytes; 1 to 4 are "
                           "allowed. It is not inserted.",
                           name.c_str(), static_cast<unsigned>(size)));
    }
    // A format wider than the field: the field is left out without a word.
    if (static_cast<std::uint64_t>(size) * 8 < static_cast<std::uint64_t>(integerBits) + fractionBits) {
        return true;
    }
    if (shift > kMaxEepromShift) {
        return fail(Format("<StructAccess>Warning: the EEPROM field %s has the shift %u; at most "
                           "%u is allowed. It is not inserted.",
                           name.c_str(), static_cast<unsigned>(shift),
                           static_cast<unsigned>(kMaxEepromShift)));
    }
    auto bits = static_cast<std::uint64_t>(EepromInterface::ToFixedPoint(value, static_cast<int>(fractionBits)));
    bits <<= shift;
    std::vector<std::uint8_t> data;
    AppendBigEndian(data, bits, size);
    EEpromFieldDefinition_t record = MakeRecord(name, std::move(data));
    record.integerBits = static_cast<std::int8_t>(integerBits);
    record.fractionBits = static_cast<std::int8_t>(fractionBits);
    record.shift = static_cast<std::int8_t>(shift);
    record.isSigned = isSigned ? 1 : 0;
    record.isNumeric = 1;
    record.isListed = 1;
    return appendEepromRecord(std::move(record), true);
}

bool StructAccess::addEepromCharField(const std::string& name, std::uint32_t count,
                                      const std::vector<std::uint8_t>& bytes) {
    if (!hasEepromTable()) return true;
    if (count > kMaxEepromCharBytes) {
        return fail(Format("<StructAccess>Warning: the EEPROM field %s has %u bytes; at most %u "
                           "are allowed. It is not inserted.",
                           name.c_str(), static_cast<unsigned>(count),
                           static_cast<unsigned>(kMaxEepromCharBytes)));
    }
    std::vector<std::uint8_t> data(count, 0);
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) data[i] = bytes[i];
    EEpromFieldDefinition_t record = MakeRecord(name, std::move(data));
    record.isListed = 1;
    return appendEepromRecord(std::move(record), true);
}

bool StructAccess::addEepromRegisterField(const std::string& name, std::uint16_t address,
                                          std::uint32_t value) {
    if (!hasEepromTable()) return true;
    std::vector<std::uint8_t> data;
    AppendBigEndian(data, address, 2);
    AppendBigEndian(data, value, 4);
    EEpromFieldDefinition_t record = MakeRecord(name, std::move(data));
    record.isSigned = 1;
    record.isNumeric = 1;
    return appendEepromRecord(std::move(record), true);
}

bool StructAccess::closeEepromSection() {
    if (!hasEepromTable()) return true;
    const std::uint32_t remaining = eepromInterface_->GetSectionRemaining();
    if (remaining == 0) return true;
    const bool added =
        appendEepromRecord(MakeRecord("Padding Section", std::vector<std::uint8_t>(remaining, 0)),
                           false);
    eepromInterface_->SetSectionRemaining(0);
    return added;
}

bool StructAccess::addEepromEob() {
    if (!hasEepromTable()) return true;
    return appendEepromRecord(MakeRecord("EOB", {4, 0, 0}), false);
}
