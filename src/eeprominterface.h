// The EEPROM field table built from the definition files, the volatile
// EEPROM image laid out from it, the EEPROM files and the chip transfers.
#ifndef TERMBRIDGE_EEPROMINTERFACE_H
#define TERMBRIDGE_EEPROMINTERFACE_H

#include <cstddef>
#include <cstdint>
#include <functional>
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
    enum InitMode { INIT_FROM_CONSOLE_DB = 0, INIT_FROM_BINARY_FILE = 1, INIT_FROM_SETUP_EEPROM = 2,
                    INIT_FROM_VALUE_FILE = 3 };
    enum class Source { Chip, Image };

    // A register record: a 16-bit register address, then its 32-bit value.
    static constexpr std::uint32_t kRegisterRecordSize = 6;
    static constexpr std::uint32_t kRegisterAddressSize = 2;
    // A byte-list value text holds at most this many characters.
    static constexpr std::size_t kMaxByteListText = 99;
    // A formatted value holds at most this many characters.
    static constexpr std::size_t kMaxFormattedValue = 999;
    // Burns and whole reads report their progress after each slice this long.
    static constexpr std::size_t kProgressSlice = 1024;

    // stage, bytes done, bytes in all; false stops the transfer at the next
    // slice.
    using ProgressSink = std::function<bool(const char*, std::uint64_t, std::uint64_t)>;

    // The traffic manager is not owned; without one every chip transfer fails.
    explicit EepromInterface(TrafficManager* trafficManager);
    ~EepromInterface();
    EepromInterface(const EepromInterface&) = delete;
    EepromInterface& operator=(const EepromInterface&) = delete;

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

    // ---- the table and the image
    // 0 success, 1 failure (an unknown mode among them).
    int InitEepromInterface(int mode, const std::string& path);
    int InitFromConsoleDb();
    const EEpromFieldDefinition_t* FindField(const std::string& name) const;
    // 0 success, 1 failure; `reason` (when given) receives why it failed.
    int UpdateField(const std::string& name, const std::string& value, std::string* reason = nullptr);
    // The value text of a record's bytes (`record.size` of them); false when
    // the text would pass kMaxFormattedValue characters.
    static bool FormatFieldValue(const EEpromFieldDefinition_t& record, const std::uint8_t* bytes,
                                 std::string& out);
    // The image, created with dataBaseSize + 2 bytes on its first use.
    std::vector<std::uint8_t>& GetImage();

    // value x 2^fractionBits, rounded half away from zero, kept inside 64 bits.
    static std::int64_t ToFixedPoint(double value, int fractionBits);
    // A record that is neither a user field nor a register: a section header,
    // padding or the end-of-block mark.
    static bool IsStructural(const EEpromFieldDefinition_t& record) {
        return record.isNumeric == 0 && record.isListed == 0;
    }
    static bool IsRegister(const EEpromFieldDefinition_t& record) {
        return record.isNumeric != 0 && record.size == kRegisterRecordSize;
    }

    // ---- files
    int CreateBinaryFile(const std::string& path);
    int LoadBinaryFile(const std::string& path);
    int LoadValueFile(const std::string& path);

    // ---- chip transfers
    int InitFromSetupEeprom();
    int ReadField(const EEpromFieldDefinition_t& record, std::string& out, Source source);
    int ReadFieldByName(const std::string& name, std::string& out, Source source);
    // 1 written, 0 not.
    int Burn(bool partial);
    // What the last burn wrote, by field: those the chip confirmed and those
    // it did not (which, for a partial burn, keep their marks).
    std::string BurnSummary() const;
    // The listing of every listed field as read from the chip, into `stream`
    // and (when `path` is not empty) into that file. 0 success, 1 failure.
    int WriteListing(std::string& stream, const std::string& path);

    void SetProgressSink(ProgressSink sink) { progress_ = std::move(sink); }

private:
    bool RecordInImage(const EEpromFieldDefinition_t& record);
    std::size_t ImageDataBaseSize();
    int UpdateNumeric(EEpromFieldDefinition_t& record, const std::string& value, std::string* reason);
    int UpdateByteList(EEpromFieldDefinition_t& record, const std::string& value, std::string* reason);
    bool LoadValueLine(const std::string& name, const std::string& value);
    bool ReadFromChip(std::uint32_t address, std::size_t length, std::uint8_t* out);
    bool WriteToChip(std::uint32_t address, std::size_t length, std::uint64_t& done, std::uint64_t total,
                     std::size_t& confirmed);
    void NoteBurnt(std::size_t firstRecord, std::size_t endRecord, std::size_t confirmed, bool mark);
    bool Report(const char* stage, std::uint64_t done, std::uint64_t total) const {
        return !progress_ || progress_(stage, done, total);
    }

    TrafficManager* trafficManager_;
    std::vector<EEpromFieldDefinition_t> fieldTable_;
    std::uint32_t sectionRemaining_ = 0;
    std::uint32_t dataBaseSize_ = 0;
    std::vector<std::uint8_t> eepromImage_;
    bool imageCreated_ = false;
    bool stopped_ = false;  // the host stopped the burn in progress
    struct BurnOutcome {
        bool partial = false;
        std::uint64_t bytes = 0;
        std::uint64_t bytesWritten = 0;
        std::vector<std::string> written;
        std::vector<std::string> unwritten;
    };
    BurnOutcome lastBurn_;
    ProgressSink progress_;
};

#endif
