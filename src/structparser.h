// Reads the struct definition files named by a list file and records every
// known macro line in the struct database. Used once, at start-up.
#ifndef TERMBRIDGE_STRUCTPARSER_H
#define TERMBRIDGE_STRUCTPARSER_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "structaccess.h"

class StructParser {
public:
    using Tokens = std::vector<std::string>;

    static constexpr std::size_t kMaxLineLength = 999;

    StructParser(const std::string& listFilePath, StructAccess* structAccess);

    // False only when the list file cannot be opened.
    bool parseStructFiles();
    // Always true; a file that cannot be opened contributes no lines.
    bool parseStructFile(const std::string& path);

    // A line's tokens: the runs between blanks, tabs, '(', ')', ',' and ';'.
    static Tokens splitLine(const std::string& line);

private:
    using Handler = void (StructParser::*)(const Tokens& tokens);
    struct Keyword {
        std::size_t minTokens;  // keyword included
        Handler handler;
    };

    void addKeywords();
    void parseListEntry(const std::string& directory, const std::string& entry);
    void parseLine(const Tokens& tokens);
    // Repeats the database's reason for a refused line in the crash file.
    void reportIfFailed(bool recorded);

    void openStruct(const Tokens& tokens);
    void fieldUint32(const Tokens& tokens);
    void fieldInt32(const Tokens& tokens);
    void fieldUint16(const Tokens& tokens);
    void fieldInt16(const Tokens& tokens);
    void fieldUint8(const Tokens& tokens);
    void fieldInt8(const Tokens& tokens);
    void closeStruct(const Tokens& tokens);
    void defineDefaultValue(const Tokens& tokens);
    void declareCommand(const Tokens& tokens);
    void declareMemOp(const Tokens& tokens);
    void startEnum(const Tokens& tokens);
    void enumWithValue(const Tokens& tokens);
    void enumNoValue(const Tokens& tokens);
    void enumWithEnumValue(const Tokens& tokens);
    void enumOrValue(const Tokens& tokens);
    void enumCombinedWithValue(const Tokens& tokens);
    void enumCombinedNoValue(const Tokens& tokens);
    void endEnum(const Tokens& tokens);
    void userPredefineValue(const Tokens& tokens);
    void startEventsEnum(const Tokens& tokens);
    void enumEventsWithValue(const Tokens& tokens);
    void enumEventsNoValue(const Tokens& tokens);
    void enumEventsOrValue(const Tokens& tokens);
    void endEventsEnum(const Tokens& tokens);
    void startGeneralEventsEnum(const Tokens& tokens);
    void enumGeneralEventsWithValue(const Tokens& tokens);
    void enumGeneralEventsNoValue(const Tokens& tokens);
    void endGeneralEventsEnum(const Tokens& tokens);
    void eepromCemSection(const Tokens& tokens);
    void eepromCerSection(const Tokens& tokens);
    void eepromFieldDouble(const Tokens& tokens);
    void eepromFieldChar(const Tokens& tokens);
    void eepromFieldRegister(const Tokens& tokens);
    void eepromEndSection(const Tokens& tokens);
    void eepromEobSection(const Tokens& tokens);
    void eepromDeclareSubSection(const Tokens& tokens);
    void eepromEndSubSection(const Tokens& tokens);

    std::string listFilePath_;
    StructAccess* structAccess_;
    std::map<std::string, Keyword, ltstr> keywords_;
};

#endif
