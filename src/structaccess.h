// The database of everything the definition files declare: structures and
// their fields, commands, memory operations, enumerations, predefined values
// and event names. Filled once at start-up, read-only afterwards.
#ifndef TERMBRIDGE_STRUCTACCESS_H
#define TERMBRIDGE_STRUCTACCESS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class EepromInterface;
struct EEpromFieldDefinition_t;

// Command types and map-file types as the definition files name them.
enum CommandType { MAC_CMD_TYPE = 0, PHY_CMD_TYPE = 1, PHY_TUNNEL_CMD_TYPE = 2 };
enum MapFileType { MAC_FILE_TYPE = 0, PHY_FILE_TYPE = 1 };

// Recorded for a definition whose processor, file or wait word was not one of
// the known words: such a command cannot be built, such a memory operation has
// no address.
constexpr std::int32_t kUnknownType = -1;
constexpr std::uint8_t kUnknownWait = 0xFF;

// Names are compared as C strings, case-sensitively.
struct ltstr {
    bool operator()(const std::string& a, const std::string& b) const { return a.compare(b) < 0; }
};

struct FieldDefinition_t {
    std::uint32_t offset = 0;
    std::uint8_t size = 0;  // 1, 2 or 4
    std::uint8_t isSigned = 0;
    std::int64_t defaultValue = 0;
};

struct CommandDefinition_t {
    std::string name;
    std::int32_t commandType = kUnknownType;
    std::string structName;
    std::string opcodeName;
    std::uint8_t waitNeeded = kUnknownWait;
};

struct MemStructDefinition_t {
    std::string name;
    std::int32_t fileType = kUnknownType;
    std::string structName;
    std::string symbolName;
    // Resolved when the operation is declared, 0 when the symbol was not found.
    // Kept per operation: the same symbol name may stand in both map files.
    std::uint32_t address = 0;
};

using FieldMap = std::map<std::string, FieldDefinition_t, ltstr>;

// The symbols of a linker map file: for each first word, the address on the
// last line where the second word is a hexadecimal address.
class MapFileSymbols {
public:
    bool Load(const std::string& mapFilePath);  // false when the file cannot be opened
    std::uint32_t Find(const std::string& symbol) const;  // 0 when absent

private:
    std::unordered_map<std::string, std::uint32_t> addresses_;
};

class StructAccess {
public:
    StructAccess(const std::string& macMapFilePath, const std::string& phyMapFilePath,
                 EepromInterface* eepromInterface);
    virtual ~StructAccess();
    StructAccess(const StructAccess&) = delete;
    StructAccess& operator=(const StructAccess&) = delete;

    bool structAccessInit(const std::string& listFilePath);
    const char* getLastError() const { return lastError_.c_str(); }

    // ------------------------------------------------------------ lookups
    // Each returns false (or the documented value) for an unknown name and
    // leaves its outputs unchanged.
    bool getCommandType(const std::string& commandName, int& type) const;
    bool getCommandOpcode(const std::string& commandName, std::uint32_t& opcode) const;
    bool getEnumValue(const std::string& name, std::uint32_t& value) const;
    // The structure's length: up to the end of its last field.
    bool getCommandLength(const std::string& commandName, std::uint32_t& length) const;
    bool getCommandWait(const std::string& commandName, bool& waitNeeded) const;
    // Every declared command, in name order.
    std::vector<std::string> getCommandNames() const;
    // offset and size are -1 when the structure or field is unknown.
    void getFieldInfo(const std::string& structName, const std::string& fieldName, int& offset,
                      int& size, bool& isSigned) const;
    bool getPredefinedValue(const std::string& name, std::int64_t& value) const;
    // fromMapFile false: `name` is a memory operation, its stored address is
    // returned; true: `name` is a symbol resolved now in the map file that
    // fileWord names ("MAC_FILE_TYPE" or anything else for PHY). 0 on failure.
    std::uint32_t getSymbolAddress(const std::string& name, const std::string& fileWord,
                                   bool fromMapFile) const;
    bool getMemOpStructName(const std::string& memOpName, std::string& structName) const;
    bool getMemOpFileType(const std::string& memOpName, int& fileType) const;
    // PHY events and PHY general events; the MAC sets are recorded only.
    bool getEventName(std::uint16_t code, std::string& name) const;
    bool getGeneralEventName(std::uint16_t code, std::string& name) const;

    // ------------------------------------------------------------ encoding
    // `buffer` holds `bufferSize` bytes; a structure longer than that is
    // refused. swapBytes: 2- and 4-byte fields big-endian, else little-endian.
    void applyDefaults(const std::string& structName, std::uint8_t* buffer, std::size_t bufferSize,
                       bool swapBytes) const;
    bool adaptCommandParams(const std::string& commandName, const std::string& parameterText,
                            std::uint8_t* buffer, std::size_t bufferSize, bool swapBytes) const;

    // ------------------------------------------------------------ recording
    // Called by the definition-file parser, one keyword line at a time. An
    // operation that returns false refused the line, or recorded it with a
    // warning (a field declared twice, an EEPROM field overrunning its
    // section); either way the reason is in getLastError().
    void openStruct();
    bool addField(const std::string& name, std::uint8_t size, bool isSigned);
    bool closeStruct(const std::string& name);
    bool setDefaultValue(const std::string& structName, const std::string& fieldName,
                         std::int64_t value);

    void declareCommand(const std::string& name, std::int32_t type, const std::string& structName,
                        const std::string& opcodeName, std::uint8_t waitNeeded);
    // False only when the map file of fileType cannot be opened; any other
    // fileType searches no file and records the address 0.
    bool declareMemOp(const std::string& name, std::int32_t fileType,
                      const std::string& structName, const std::string& symbolName);

    void startEnum() { enumCounter_ = 0; }
    void addEnumValue(const std::string& name, std::uint32_t value);
    void addEnumNext(const std::string& name);
    bool addEnumFromEnum(const std::string& name, const std::string& otherName);
    bool addEnumOr(const std::string& name, std::uint32_t value, const std::string& otherName);
    bool addEnumCombined(const std::string& name, const std::string& otherName,
                         std::uint32_t value);
    bool addEnumCombinedNext(const std::string& name, const std::string& otherName);
    void endEnum() {}
    void addPredefinedValue(const std::string& name, std::int64_t value);

    // processor: PHY_CMD_TYPE or MAC_CMD_TYPE; anything else leaves no set
    // selected, so that the lines that follow are refused.
    void selectEventSet(int processor);
    bool addEventValue(const std::string& name, std::uint32_t code);
    bool addEventNext(const std::string& name);
    bool addEventOr(const std::string& name, std::uint32_t value, const std::string& otherName);
    void endEventSet() {}
    void selectGeneralEventSet(int processor);
    bool addGeneralEventValue(const std::string& name, std::uint32_t code);
    bool addGeneralEventNext(const std::string& name);
    void endGeneralEventSet() {}

    // EEPROM field table rows, appended to the EEPROM interface's table in
    // definition order; without an EEPROM interface they are passed over. Each returns false, with the reason in getLastError(),
    // when the row was refused or could not be recorded exactly as written.
    bool addEepromCemSection(const std::string& name, std::uint32_t identifier,
                             std::uint16_t length);
    bool addEepromCerSection(const std::string& name, std::uint8_t identifier,
                             std::uint16_t length);
    bool addEepromDoubleField(const std::string& name, std::uint32_t size,
                              std::uint32_t integerBits, std::uint32_t fractionBits,
                              std::uint32_t shift, bool isSigned, double value);
    // `bytes` holds the bytes the definition gives; the rest of `count` is 0.
    bool addEepromCharField(const std::string& name, std::uint32_t count,
                            const std::vector<std::uint8_t>& bytes);
    bool addEepromRegisterField(const std::string& name, std::uint16_t address,
                                std::uint32_t value);
    bool closeEepromSection();
    bool addEepromEob();

    static constexpr std::uint32_t kMaxEepromCharBytes = 20;
    static constexpr std::uint32_t kMaxEepromShift = 31;
    static constexpr std::size_t kMaxValueText = 19;

private:
    bool resolveDuringParse(const std::string& mapFilePath, const std::string& symbol, std::uint32_t& address);
    struct EventSet {
        std::map<std::uint16_t, std::string> names;
        std::int32_t counter = 0;
    };

    const FieldMap* findStruct(const std::string& structName) const;
    const CommandDefinition_t* findCommand(const std::string& commandName) const;
    bool lookUpReferencedEnum(const std::string& otherName, const std::string& name,
                              std::uint32_t& value);
    bool recordEvent(EventSet* set, const std::string& name, std::uint16_t code,
                     const char* family);
    bool hasEepromTable() const;
    bool appendEepromRecord(EEpromFieldDefinition_t record, bool countsInSection);
    bool fail(const std::string& text);
    bool encodeParameter(const std::string& structName, const FieldMap& fields,
                         const std::string& fieldName, const std::string& valueToken,
                         std::uint8_t* buffer, bool swapBytes) const;

    EepromInterface* eepromInterface_;
    std::int32_t runningOffset_ = -1;
    FieldMap currentFields_;
    std::map<std::string, FieldMap, ltstr> structures_;
    std::map<std::string, CommandDefinition_t, ltstr> commands_;
    std::map<std::string, MemStructDefinition_t, ltstr> memOps_;
    std::map<std::string, std::uint32_t, ltstr> enumValues_;
    std::map<std::string, std::int64_t, ltstr> predefinedValues_;
    EventSet phyEvents_;
    EventSet macEvents_;
    EventSet phyGeneralEvents_;
    EventSet macGeneralEvents_;
    EventSet* selectedEvents_ = nullptr;
    EventSet* selectedGeneralEvents_ = nullptr;
    std::string phyMapFilePath_;
    std::string macMapFilePath_;
    std::uint32_t enumCounter_ = 0;
    std::string lastError_;
    // Map files read while the definition files are parsed: opened, symbols.
    std::map<std::string, std::pair<bool, MapFileSymbols>> mapFilesDuringParse_;
};

// Resolves `symbol` in a linker map file: the address of the last line whose
// first word is the symbol and whose second word is a hexadecimal address.
// False when the file cannot be opened; `address` is 0 when no line matched.
bool ResolveMapFileSymbol(const std::string& mapFilePath, const std::string& symbol,
                          std::uint32_t& address);

#endif
