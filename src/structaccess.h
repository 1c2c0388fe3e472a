// The database of everything the definition files declare: structures and
// their fields, commands, memory operations, enumerations, predefined values
// and event names. Filled once at start-up, read-only afterwards.
#ifndef TERMBRIDGE_STRUCTACCESS_H
#define TERMBRIDGE_STRUCTACCESS_H

#include <cstdint>
#include <string>

class EepromInterface;

// Command types and map-file types as the definition files name them.
enum CommandType { MAC_CMD_TYPE = 0, PHY_CMD_TYPE = 1, PHY_TUNNEL_CMD_TYPE = 2 };
enum MapFileType { MAC_FILE_TYPE = 0, PHY_FILE_TYPE = 1 };

class StructAccess {
public:
    StructAccess(const std::string& macMapFilePath, const std::string& phyMapFilePath,
                 EepromInterface* eepromInterface);
    virtual ~StructAccess();

    bool structAccessInit(const std::string& listFilePath);
    const char* getLastError() const;

    // Lookups; each returns false (or the documented value) for an unknown name
    // and leaves its outputs unchanged.
    bool getCommandType(const std::string& commandName, int& type) const;
    bool getCommandOpcode(const std::string& commandName, std::uint32_t& opcode) const;
    bool getEnumValue(const std::string& name, std::uint32_t& value) const;
    bool getCommandLength(const std::string& commandName, std::uint32_t& length) const;
    bool getCommandWait(const std::string& commandName, bool& waitNeeded) const;
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
    bool getEventName(std::uint16_t code, std::string& name) const;
    bool getGeneralEventName(std::uint16_t code, std::string& name) const;

    // Encoding of a command's parameter text into its structure's bytes.
    // `buffer` holds `bufferSize` bytes; a structure longer than that is refused.
    void applyDefaults(const std::string& structName, std::uint8_t* buffer, std::size_t bufferSize,
                       bool swapBytes) const;
    bool adaptCommandParams(const std::string& commandName, const std::string& parameterText,
                            std::uint8_t* buffer, std::size_t bufferSize, bool swapBytes) const;
};

#endif
