// The names a definition set declares, for completion, suggestions, value
// checks and readable results at the console: command words with the fields
// of their structures, named values, and EEPROM fields with their kinds.
//
// The lines are split with the library's own tokenizer, but only names are
// taken: the library's parser also writes the library's log and crash files,
// which the library running in the same process owns.
#ifndef TB_CONSOLE_DEFINITIONNAMES_H
#define TB_CONSOLE_DEFINITIONNAMES_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class DefinitionNames {
public:
    struct EepromField {
        enum class Kind { Number, Bytes };
        Kind kind = Kind::Number;
        std::size_t bytes = 0;  // of a byte list, or of a number with a format
        // A number's format (EEPROM_FIELD_DOUBLE): bytes is its size then.
        bool hasFormat = false;
        unsigned fractionBits = 0;
        unsigned shift = 0;
        bool isSigned = false;
    };
    // A field of a command's structure (FIELD_UINT8 ... FIELD_INT32).
    struct Parameter {
        std::string name;
        std::size_t bytes = 0;
        bool isSigned = false;
    };

    // Reads the files the list file names (an entry "folder/*.h" names every
    // .h file in that folder). Files that do not open, and patterns that
    // name no file, are remembered (Unreadable) and contribute nothing;
    // false when the list file itself does not open.
    bool ReadListFile(const std::string& listFile);
    // Reads one definition file; false when it does not open.
    bool ReadDefinitionFile(const std::string& path);

    std::vector<std::string> Commands() const;
    bool HasCommand(const std::string& command) const { return commands_.count(command) != 0; }
    // The fields of the command's structure, in declaration order.
    std::vector<std::string> Parameters(const std::string& command) const;
    // The field of that name in the command's structure (the later one when
    // the structure declares the name twice, as the library keeps it).
    const Parameter* FindParameter(const std::string& command, const std::string& name) const;
    // The value of a predefined name (USER_PREDEFINE_VALUE) as the library
    // reads it, which a command parameter may take in place of a number.
    std::optional<std::int64_t> PredefinedValue(const std::string& name) const;
    const std::vector<std::string>& EepromFields() const { return eepromFieldNames_; }
    const EepromField* FindEepromField(const std::string& name) const;
    // The value of a named value of the enumerations, and the name of the
    // command's opcode with its value.
    std::optional<std::uint32_t> EnumValue(const std::string& name) const;
    std::optional<std::pair<std::string, std::uint32_t>> Opcode(const std::string& command) const;
    bool IsMacCommand(const std::string& command) const;
    // The definition files named by the list that did not open.
    const std::vector<std::string>& Unreadable() const { return unreadable_; }

private:
    static EepromField NumberWithFormat(const std::vector<std::string>& tokens);
    struct Command {
        std::string structName;
        std::string type;
        std::string opcodeName;
    };
    void ReadListEntry(const std::string& folder, const std::string& entry);
    void TakeLine(const std::vector<std::string>& tokens);
    void TakeEnumLine(const std::vector<std::string>& tokens);
    void SetEnum(const std::string& name, std::uint32_t value) { enumValues_[name] = value; }

    std::map<std::string, Command> commands_;
    std::map<std::string, std::vector<Parameter>> structFields_;  // structure -> fields
    std::vector<Parameter> openFields_;                           // of the structure being declared
    std::map<std::string, std::int64_t> predefinedValues_;
    std::vector<std::string> eepromFieldNames_;
    std::map<std::string, EepromField> eepromFields_;
    std::map<std::string, std::uint32_t> enumValues_;
    std::uint32_t enumCounter_ = 0;
    std::vector<std::string> unreadable_;
};

#endif
