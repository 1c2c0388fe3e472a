// EEPROM binary image files: the input is the file, loaded into the image of
// the example layout and dumped again. The load takes at most the data
// base's length, leaves the rest of the image alone and marks every record;
// the dump gives back exactly the data base; every record still formats.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "eeprominterface.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EepromInterface& eeprom = fuzzsupport::ExampleEeprom();
    static fuzzsupport::MemoryFile input;
    static fuzzsupport::MemoryFile dump;
    eeprom.InitFromConsoleDb();
    const std::vector<std::uint8_t> before = eeprom.GetImage();
    const std::size_t dataBase = eeprom.GetDataBaseSize();
    input.Assign(data, size);

    FUZZ_CHECK(eeprom.LoadBinaryFile(input.Path()) == 0);
    const std::vector<std::uint8_t>& image = eeprom.GetImage();
    FUZZ_CHECK(image.size() == before.size());
    const std::size_t taken = std::min(size, dataBase);
    FUZZ_CHECK(std::equal(data, data + taken, image.begin()));
    FUZZ_CHECK(std::equal(before.begin() + static_cast<long>(taken), before.end(), image.begin() + static_cast<long>(taken)));

    std::string text;
    for (const EEpromFieldDefinition_t& record : eeprom.FieldTable()) {
        FUZZ_CHECK(record.isUpdated == 1);
        FUZZ_CHECK(eeprom.ReadField(record, text, EepromInterface::Source::Image) == 0);
    }

    FUZZ_CHECK(eeprom.CreateBinaryFile(dump.Path()) == 0);
    const std::string file = fuzzsupport::ReadAll(dump.Path());
    const std::vector<std::uint8_t> dumped(file.begin(), file.end());
    FUZZ_CHECK(dumped.size() == dataBase);
    FUZZ_CHECK(std::equal(dumped.begin(), dumped.end(), image.begin()));
    return 0;
}
