// EEPROM value files: the input is the file, loaded into the image of the
// example layout. Whatever the lines say, the image keeps its size, section
// headers, padding, the end mark and register addresses keep their
// definitions, and every listed field's value text reads back to its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "eeprominterface.h"
#include "fuzzsupport.h"

namespace {

// A value text that loads back exactly: byte lists always, numbers when the
// three printed decimals keep the fraction (at most 8 fraction bits, no shift).
bool RoundTrips(const EEpromFieldDefinition_t& record) {
    return record.isNumeric == 0 || (record.shift == 0 && record.fractionBits <= 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EepromInterface& eeprom = fuzzsupport::ExampleEeprom();
    static fuzzsupport::MemoryFile file;
    file.Assign(data, size);
    const std::size_t imageSize = eeprom.GetImage().size();
    FUZZ_CHECK(eeprom.LoadValueFile(file.Path()) == 0);
    const std::vector<std::uint8_t>& image = eeprom.GetImage();
    FUZZ_CHECK(image.size() == imageSize);

    for (const EEpromFieldDefinition_t& record : eeprom.FieldTable()) {
        const auto at = image.begin() + record.offset;
        if (EepromInterface::IsStructural(record)) {
            FUZZ_CHECK(std::equal(record.data.begin(), record.data.end(), at));
            continue;
        }
        if (EepromInterface::IsRegister(record)) {
            FUZZ_CHECK(std::equal(record.data.begin(), record.data.begin() + 2, at));
        }
        std::string text;
        FUZZ_CHECK(eeprom.ReadField(record, text, EepromInterface::Source::Image) == 0);
        if (record.isListed == 0 || !RoundTrips(record)) continue;
        const std::vector<std::uint8_t> before(at, at + record.size);
        FUZZ_CHECK(eeprom.UpdateField(record.name, text) == 0);
        FUZZ_CHECK(std::equal(before.begin(), before.end(), eeprom.GetImage().begin() + record.offset));
    }
    return 0;
}
