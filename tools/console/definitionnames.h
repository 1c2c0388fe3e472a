// The names a definition set declares, for completion at the prompt: command
// words with the fields of their structures, and EEPROM field names.
//
// The lines are split with the library's own tokenizer, but only names are
// taken: the library's parser also writes the library's log and crash files,
// which the library running in the same process owns.
#ifndef TB_CONSOLE_DEFINITIONNAMES_H
#define TB_CONSOLE_DEFINITIONNAMES_H

#include <map>
#include <string>
#include <vector>

class DefinitionNames {
public:
    // Reads the files the list file names (an entry "folder/*.h" names every
    // .h file in that folder). Unreadable files contribute nothing.
    void ReadListFile(const std::string& listFile);
    // Reads one definition file.
    void ReadDefinitionFile(const std::string& path);

    std::vector<std::string> Commands() const;
    // The fields of the command's structure, in declaration order.
    std::vector<std::string> Parameters(const std::string& command) const;
    const std::vector<std::string>& EepromFields() const { return eepromFields_; }

private:
    void ReadListEntry(const std::string& folder, const std::string& entry);
    void TakeLine(const std::vector<std::string>& tokens);

    std::map<std::string, std::string> commandStructs_;            // command -> structure
    std::map<std::string, std::vector<std::string>> structFields_;  // structure -> fields
    std::vector<std::string> openFields_;                           // of the structure being declared
    std::vector<std::string> eepromFields_;
};

#endif
