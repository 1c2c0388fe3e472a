// The EEPROM field table built from the definition files and the volatile
// EEPROM image laid out from it.
#ifndef TERMBRIDGE_EEPROMINTERFACE_H
#define TERMBRIDGE_EEPROMINTERFACE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TrafficManager;

// One EEPROM field, as the definition files declare it. Records are held by
// value: the table owns its copies of the name and the initial data.
struct EEpromFieldDefinition_t {
    std::string name;
    std::uint32_t offset = 0;  // in the EEPROM and in the image
    std::uint32_t size = 0;    // bytes; a padding record may exceed 127
    std::int8_t integerBits = 0;
    std::int8_t fractionBits = 0;
    std::int8_t shift = 0;
    std::uint8_t isSigned = 0;
    std::uint8_t isNumeric = 0;
    std::uint8_t isUpdated = 0;
    std::uint8_t isListed = 0;
    std::vector<std::uint8_t> data;  // `size` initial bytes, multi-byte values big-endian
};

class EepromInterface {
public:
    explicit EepromInterface(TrafficManager* trafficManager);
    ~EepromInterface();

    // Table building, used by the struct database while it parses the
    // definition files: records are appended in definition order, and the
    // database moves the running offset and the section's remaining length.
    void AppendFieldDefinition(EEpromFieldDefinition_t record) {
        fieldTable_.push_back(std::move(record));
    }
    std::uint32_t GetDataBaseSize() const { return dataBaseSize_; }
    void SetDataBaseSize(std::uint32_t size) { dataBaseSize_ = size; }
    std::uint32_t GetSectionRemaining() const { return sectionRemaining_; }
    void SetSectionRemaining(std::uint32_t remaining) { sectionRemaining_ = remaining; }
    const std::vector<EEpromFieldDefinition_t>& FieldTable() const { return fieldTable_; }

private:
    std::vector<EEpromFieldDefinition_t> fieldTable_;
    std::uint32_t sectionRemaining_ = 0;
    std::uint32_t dataBaseSize_ = 0;
};

#endif
