#include "eeprominterface.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>

#include "autobase.h"
#include "consolelogger.h"
#include "platform/platform.h"
#include "strformat.h"
#include "trafficmanager.h"

namespace {

constexpr const char* kReadStage = "eeprom read";
constexpr const char* kBurnStage = "eeprom burn";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void Log(const std::string& text) { LogMessage(text, LOG_NORMAL); }

// The decimal number at the start of a text (after blanks): sign, digits,
// fraction and exponent; no number reads as 0. Hexadecimal, infinities and
// NaN are not numbers here.
double ParseDecimal(const std::string& text) {
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n && std::isspace(static_cast<unsigned char>(text[i])) != 0) ++i;
    const std::size_t start = i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    for (; i < n && IsDigit(text[i]); ++i) ++digits;
    if (i < n && text[i] == '.') {
        for (++i; i < n && IsDigit(text[i]); ++i) ++digits;
    }
    if (digits == 0) return 0.0;
    std::size_t end = i;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < n && IsDigit(text[j])) {
            while (j < n && IsDigit(text[j])) ++j;
            end = j;
        }
    }
    return std::strtod(text.substr(start, end - start).c_str(), nullptr);
}

// A byte token, read as "0x%x" reads it: the token starts with "0x", then
// (after an optional sign and a second 0x/0X) hexadecimal digits up to the
// first other character, which ends the number (a trailing comma or carriage
// return is left over, not refused). The low 8 bits are kept.
bool ParseByteToken(const std::string& token, std::uint8_t& byte) {
    if (token.compare(0, 2, "0x") != 0) return false;
    std::size_t at = 2;
    const bool negative = at < token.size() && token[at] == '-';
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
    if (token.compare(at, 2, "0x") == 0 || token.compare(at, 2, "0X") == 0) {
        if (at + 2 < token.size() && std::isxdigit(static_cast<unsigned char>(token[at + 2])) != 0) at += 2;
    }
    unsigned value = 0;
    std::size_t digits = 0;
    for (; at < token.size() && std::isxdigit(static_cast<unsigned char>(token[at])) != 0; ++at, ++digits) {
        const int c = std::tolower(static_cast<unsigned char>(token[at]));
        value = (value << 4) | static_cast<unsigned>(IsDigit(static_cast<char>(c)) ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0) return false;
    byte = static_cast<std::uint8_t>(negative ? 0u - value : value);
    return true;
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && IsBlank(text[at])) ++at;
        std::size_t end = at;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        if (end > at) tokens.push_back(text.substr(at, end - at));
        at = end;
    }
    return tokens;
}

void SetReason(std::string* reason, const std::string& text) {
    if (reason != nullptr) *reason = text;
}

}  // namespace

EepromInterface::EepromInterface(TrafficManager* trafficManager) : trafficManager_(trafficManager) {}

EepromInterface::~EepromInterface() = default;

// ---------------------------------------------------------------- the table and the image

std::int64_t EepromInterface::ToFixedPoint(double value, int fractionBits) {
    const double product = std::ldexp(value, fractionBits);
    const double rounded = product < 0 ? std::ceil(product - 0.5) : std::floor(product + 0.5);
    if (std::isnan(rounded)) return 0;
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (rounded >= kLimit) return std::numeric_limits<std::int64_t>::max();
    if (rounded < -kLimit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

std::vector<std::uint8_t>& EepromInterface::GetImage() {
    if (!imageCreated_) {
        eepromImage_.assign(static_cast<std::size_t>(dataBaseSize_) + 2, 0);
        imageCreated_ = true;
    }
    return eepromImage_;
}

// The image's size is fixed at its creation; a record declared later lies
// outside it.
bool EepromInterface::RecordInImage(const EEpromFieldDefinition_t& record) {
    return static_cast<std::uint64_t>(record.offset) + record.size <= GetImage().size();
}

// The data base the image holds: its size was fixed when it was created,
// and records declared later lie outside it.
std::size_t EepromInterface::ImageDataBaseSize() {
    return std::min<std::size_t>(dataBaseSize_, GetImage().size() - 2);
}

int EepromInterface::InitEepromInterface(int mode, const std::string& path) {
    switch (mode) {
        case INIT_FROM_CONSOLE_DB:
            Log("<EepromInterface>Init Eeprom Interface from Console DB");
            return InitFromConsoleDb();
        case INIT_FROM_BINARY_FILE:
            Log(Format("<EepromInterface>Init Eeprom Interface from Eeprom File: %s", path.c_str()));
            return LoadBinaryFile(path);
        case INIT_FROM_SETUP_EEPROM:
            Log("<EepromInterface>Init Eeprom Interface from Setup Eeprom");
            return InitFromSetupEeprom();
        case INIT_FROM_VALUE_FILE:
            Log(Format("<EepromInterface>Init Eeprom Interface from Eeprom File: %s", path.c_str()));
            return LoadValueFile(path);
        default:
            Log(Format("<EepromInterface>Unknown Operation Mode: %d", mode));
            return 1;
    }
}

int EepromInterface::InitFromConsoleDb() {
    std::vector<std::uint8_t>& image = GetImage();
    for (const EEpromFieldDefinition_t& record : fieldTable_) {
        if (!RecordInImage(record)) continue;
        const std::size_t count = std::min<std::size_t>(record.data.size(), record.size);
        std::copy_n(record.data.begin(), count, image.begin() + record.offset);
    }
    return 0;
}

const EEpromFieldDefinition_t* EepromInterface::FindField(const std::string& name) const {
    for (const EEpromFieldDefinition_t& record : fieldTable_) {
        if (record.name == name) return &record;
    }
    return nullptr;
}

int EepromInterface::UpdateField(const std::string& name, const std::string& value, std::string* reason) {
    auto found = std::find_if(fieldTable_.begin(), fieldTable_.end(),
                              [&name](const EEpromFieldDefinition_t& record) { return record.name == name; });
    if (found == fieldTable_.end()) {
        SetReason(reason, "there is no EEPROM field " + name);
        return 1;
    }
    EEpromFieldDefinition_t& record = *found;
    if (IsStructural(record)) {
        SetReason(reason, name + " is a section header, padding or end mark and cannot be updated");
        return 1;
    }
    if (!RecordInImage(record)) {
        SetReason(reason, name + " lies outside the EEPROM image");
        return 1;
    }
    const int result = record.isNumeric != 0 ? UpdateNumeric(record, value, reason)
                                             : UpdateByteList(record, value, reason);
    if (result == 0) record.isUpdated = 1;
    return result;
}

// The number x 2^F, rounded, shifted, as 32 bits big-endian; a field keeps
// the last `size` of the four bytes, a register record all four after its
// address.
int EepromInterface::UpdateNumeric(EEpromFieldDefinition_t& record, const std::string& value, std::string* reason) {
    const bool isRegister = IsRegister(record);
    if (!isRegister && (record.size < 1 || record.size > 4)) {
        SetReason(reason, Format("%s has %u bytes; a number takes 1 to 4", record.name.c_str(),
                                 static_cast<unsigned>(record.size)));
        return 1;
    }
    // A register value is a number as the definition files write them: hex
    // with "0x" (its 32 bits as given), else decimal like every field.
    auto bits = isRegister && AutoBase(value) == 16
                    ? static_cast<std::uint64_t>(ParseUnsigned32(value, 16))
                    : static_cast<std::uint64_t>(ToFixedPoint(ParseDecimal(value), record.fractionBits));
    if (record.shift > 0 && record.shift < 64) bits <<= record.shift;
    const std::uint8_t word[4] = {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                                  static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
    std::vector<std::uint8_t>& image = GetImage();
    if (isRegister) {
        std::copy_n(word, 4, image.begin() + record.offset + kRegisterAddressSize);
    } else {
        std::copy_n(word + (4 - record.size), record.size, image.begin() + record.offset);
    }
    return 0;
}

int EepromInterface::UpdateByteList(EEpromFieldDefinition_t& record, const std::string& value, std::string* reason) {
    if (value.size() > kMaxByteListText) {
        SetReason(reason, Format("the value of %s holds %u characters; at most %u are taken", record.name.c_str(),
                                 static_cast<unsigned>(value.size()), static_cast<unsigned>(kMaxByteListText)));
        return 1;
    }
    const std::vector<std::string> tokens = SplitAtBlanks(value);
    std::vector<std::uint8_t> bytes(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!ParseByteToken(tokens[i], bytes[i])) {
            SetReason(reason, "the value " + tokens[i] + " of " + record.name + " is not a byte written 0x..");
            return 1;
        }
    }
    if (bytes.size() != record.size) {
        SetReason(reason, Format("%s takes %u bytes, the value gives %u", record.name.c_str(),
                                 static_cast<unsigned>(record.size), static_cast<unsigned>(bytes.size())));
        return 1;
    }
    std::copy(bytes.begin(), bytes.end(), GetImage().begin() + record.offset);
    return 0;
}

bool EepromInterface::FormatFieldValue(const EEpromFieldDefinition_t& record, const std::uint8_t* bytes,
                                       std::string& out) {
    if (record.isNumeric == 0) {
        if (static_cast<std::uint64_t>(record.size) * 5 > kMaxFormattedValue) return false;
        std::string text;
        for (std::uint32_t i = 0; i < record.size; ++i) text += Format("0x%02x ", bytes[i]);
        out = text;
        return true;
    }
    // A register record shows its value, the last four bytes; a field its
    // own (at most four) bytes.
    const std::uint32_t count = std::min<std::uint32_t>(record.size, 4);
    const std::uint8_t* first = bytes + (record.size - count);
    std::uint32_t raw = 0;
    for (std::uint32_t i = 0; i < count; ++i) raw = (raw << 8) | first[i];
    std::int64_t value = raw;
    const std::uint32_t bits = count * 8;
    if (record.isSigned != 0 && count > 0 && (raw >> (bits - 1)) != 0) {
        value -= static_cast<std::int64_t>(1) << bits;
    }
    const double scaled = std::ldexp(static_cast<double>(value), -(record.fractionBits + record.shift));
    out = Format("%4.3f", scaled);
    return true;
}

// ---------------------------------------------------------------- files

int EepromInterface::CreateBinaryFile(const std::string& path) {
    const std::unique_ptr<platform::ReplacingFile> file = platform::OpenReplacingFile(path);
    if (!file) {
        Log(Format("<EepromInterface>Couldn't Open Eeprom File: %s", path.c_str()));
        return 1;
    }
    Log(Format("<EepromInterface>Creating Eeprom Binary File: %s", path.c_str()));
    const std::vector<std::uint8_t>& image = GetImage();
    if (!file->Commit(image.data(), ImageDataBaseSize())) {
        Log(Format("<EepromInterface>Couldn't Write Eeprom File: %s", path.c_str()));
        return 1;
    }
    return 0;
}

int EepromInterface::LoadBinaryFile(const std::string& path) {
    // A folder, a pipe or a device is a file that does not open: a pipe
    // would block the open until some writer came.
    std::ifstream file;
    if (platform::IsRegularFile(path)) file.open(path, std::ios::binary | std::ios::ate);
    const std::streamoff fileSize = file.is_open() ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (fileSize < 0) {
        Log(Format("<EepromInterface>Couldn't Open Eeprom File: %s", path.c_str()));
        return 1;
    }
    file.seekg(0);
    if (static_cast<std::uint64_t>(fileSize) > dataBaseSize_) {
        Log(Format("<EepromInterface>Eeprom File Size(%lld)> EEprom Data Base Size(%u)",
                   static_cast<long long>(fileSize), static_cast<unsigned>(dataBaseSize_)));
    }
    // The image holds the data base only: a longer file gives its first
    // dataBaseSize bytes.
    std::vector<std::uint8_t>& image = GetImage();
    const auto taken = static_cast<std::streamsize>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(fileSize), ImageDataBaseSize()));
    file.read(reinterpret_cast<char*>(image.data()), taken);
    if (file.gcount() != taken) {
        Log(Format("<EepromInterface>Couldn't Read Eeprom File: %s", path.c_str()));
        return 1;
    }
    for (EEpromFieldDefinition_t& record : fieldTable_) record.isUpdated = 1;
    return 0;
}

// An empty value sets nothing, except for a byte-list field of no bytes,
// whose listing line ("name = ") reads back as the field's whole value.
bool EepromInterface::LoadValueLine(const std::string& name, const std::string& value) {
    if (value.empty()) {
        const EEpromFieldDefinition_t* record = FindField(name);
        if (record == nullptr || record->isNumeric != 0 || record->size != 0) return false;
    }
    return UpdateField(name, value) == 0;
}

int EepromInterface::LoadValueFile(const std::string& path) {
    InitFromConsoleDb();
    std::ifstream file;
    if (platform::IsRegularFile(path)) file.open(path);
    if (!file.is_open()) {
        Log(Format("<EepromInterface>Couldn't Open Eeprom File: %s", path.c_str()));
        return 1;
    }
    std::string line;
    std::string currentName;
    while (file.good()) {
        std::getline(file, line);
        // Text mode drops a carriage return before the line feed only where
        // the system writes one; a file from another system keeps it.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            // The line form is "name = value": the name ends one before the "=".
            currentName = equals > 0 ? line.substr(0, equals - 1) : std::string();
            std::size_t valueAt = equals + 1;
            while (valueAt < line.size() && IsBlank(line[valueAt])) ++valueAt;
            if (!LoadValueLine(currentName, line.substr(valueAt))) {
                Log(Format("<EepromInterface>Failed to load line: %s", line.c_str()));
            }
        }
        Log(currentName);
    }
    return 0;
}

// ---------------------------------------------------------------- chip transfers

bool EepromInterface::ReadFromChip(std::uint32_t address, std::size_t length, std::uint8_t* out) {
    if (trafficManager_ == nullptr) return false;
    trafficManager_->SetInternalOperation(true);
    const bool read = trafficManager_->ReadEeprom(address, length, out);
    trafficManager_->SetInternalOperation(false);
    return read;
}

// Writes a range of the image in slices, reporting after each; stops at the
// first chunk that fails or at a stop. `confirmed` receives the bytes from
// `address` on whose chunks the dispatcher acknowledged.
bool EepromInterface::WriteToChip(std::uint32_t address, std::size_t length, std::uint64_t& done,
                                  std::uint64_t total, std::size_t& confirmed) {
    confirmed = 0;
    const std::vector<std::uint8_t>& image = GetImage();
    if (trafficManager_ == nullptr || static_cast<std::uint64_t>(address) + length > image.size()) return false;
    // Set for every range: a time-out in an earlier range cleared it, and a
    // range sent without it would not wait for its answers.
    trafficManager_->SetInternalOperation(true);
    bool going = true;
    while (going && confirmed < length) {
        const std::size_t slice = std::min(kProgressSlice, length - confirmed);
        const auto sliceAddress = static_cast<std::uint32_t>(address + confirmed);
        std::size_t sliceConfirmed = 0;
        going = trafficManager_->WriteEeprom(sliceAddress, slice, image.data() + sliceAddress, &sliceConfirmed);
        confirmed += sliceConfirmed;
        done += sliceConfirmed;
        if (going) going = Report(kBurnStage, done, total);
    }
    if (trafficManager_->StopRequested()) stopped_ = true;
    trafficManager_->SetInternalOperation(false);
    return confirmed == length;
}

int EepromInterface::InitFromSetupEeprom() {
    std::vector<std::uint8_t>& image = GetImage();
    std::uint64_t done = 0;
    for (const EEpromFieldDefinition_t& record : fieldTable_) {
        // Padding may be far larger than any field: each record is read whole.
        std::vector<std::uint8_t> buffer(record.size);
        if (!RecordInImage(record) || !ReadFromChip(record.offset, buffer.size(), buffer.data())) return 1;
        std::copy(buffer.begin(), buffer.end(), image.begin() + record.offset);
        done += record.size;
        if (!Report(kReadStage, done, dataBaseSize_)) return 1;
    }
    return 0;
}

int EepromInterface::ReadField(const EEpromFieldDefinition_t& record, std::string& out, Source source) {
    std::vector<std::uint8_t> buffer(record.size, 0);
    if (source == Source::Image) {
        if (!RecordInImage(record)) return 1;
        const auto begin = GetImage().begin() + record.offset;
        std::copy(begin, begin + record.size, buffer.begin());
    } else if (!ReadFromChip(record.offset, buffer.size(), buffer.data())) {
        return 1;
    }
    std::string text;
    if (!FormatFieldValue(record, buffer.data(), text)) return 1;
    out = text;
    return 0;
}

int EepromInterface::ReadFieldByName(const std::string& name, std::string& out, Source source) {
    const EEpromFieldDefinition_t* record = FindField(name);
    return record == nullptr ? 1 : ReadField(*record, out, source);
}

int EepromInterface::Burn(bool partial) {
    GetImage();
    std::uint64_t done = 0;
    stopped_ = false;
    lastBurn_ = BurnOutcome();
    lastBurn_.partial = partial;
    if (!partial) {
        std::size_t confirmed = 0;
        lastBurn_.bytes = dataBaseSize_;
        const bool written = WriteToChip(0, dataBaseSize_, done, dataBaseSize_, confirmed);
        NoteBurnt(0, fieldTable_.size(), confirmed, false);
        return written ? 1 : 0;
    }

    // Adjacent marked records form one run; every mark is cleared.
    struct Run {
        std::uint32_t start = 0;
        std::size_t length = 0;
        std::size_t firstRecord = 0, endRecord = 0;
    };
    std::vector<Run> runs;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < fieldTable_.size(); ++i) {
        EEpromFieldDefinition_t& record = fieldTable_[i];
        if (record.isUpdated != 0) {
            if (runs.empty() || runs.back().endRecord != i) runs.push_back({record.offset, 0, i, i});
            runs.back().length += record.size;
            runs.back().endRecord = i + 1;
            total += record.size;
        }
        record.isUpdated = 0;
    }
    // A run that fails does not stop the later ones, but the burn then
    // reports failure: a later run's success must not hide an earlier run the
    // chip never confirmed. The records the chip did not confirm keep their
    // marks, so that the next partial burn writes them again instead of
    // reporting success for the chip's old bytes. A burn the host stops
    // writes nothing more, and the records it did not write keep their marks
    // too.
    lastBurn_.bytes = total;
    bool allWritten = true;
    for (const Run& run : runs) {
        std::size_t confirmed = 0;
        if (!stopped_ && WriteToChip(run.start, run.length, done, total, confirmed)) {
            NoteBurnt(run.firstRecord, run.endRecord, confirmed, true);
            continue;
        }
        allWritten = false;
        NoteBurnt(run.firstRecord, run.endRecord, confirmed, true);
    }
    return !runs.empty() && allWritten ? 1 : 0;
}

// The records of a range written from the first one's offset: those the
// chip confirmed whole are written; the others keep (or get) their marks
// when `mark` is set.
void EepromInterface::NoteBurnt(std::size_t firstRecord, std::size_t endRecord, std::size_t confirmed, bool mark) {
    lastBurn_.bytesWritten += confirmed;
    if (firstRecord >= endRecord) return;
    const std::uint64_t confirmedEnd = static_cast<std::uint64_t>(fieldTable_[firstRecord].offset) + confirmed;
    for (std::size_t i = firstRecord; i < endRecord; ++i) {
        EEpromFieldDefinition_t& record = fieldTable_[i];
        const bool written = static_cast<std::uint64_t>(record.offset) + record.size <= confirmedEnd;
        if (!written && mark) record.isUpdated = 1;
        if (IsStructural(record)) continue;
        (written ? lastBurn_.written : lastBurn_.unwritten).push_back(record.name);
    }
}

namespace {
// At most a few names, then how many more.
std::string NameList(const std::vector<std::string>& names) {
    constexpr std::size_t kShown = 8;
    if (names.empty()) return "none";
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kShown) text += Format(" and %u more", static_cast<unsigned>(names.size() - kShown));
    return text;
}
}  // namespace

std::string EepromInterface::BurnSummary() const {
    std::string text = Format("%llu of %llu bytes written; fields written: ",
                              static_cast<unsigned long long>(lastBurn_.bytesWritten),
                              static_cast<unsigned long long>(lastBurn_.bytes)) +
                       NameList(lastBurn_.written) + "; fields not written: " + NameList(lastBurn_.unwritten);
    if (lastBurn_.unwritten.empty()) return text;
    return text + (lastBurn_.partial ? " (marked for the next partial burn)" : " (a full burn writes them)");
}

int EepromInterface::WriteListing(std::string& stream, const std::string& path) {
    // Opened first, so that a path that cannot be written costs no chip
    // reads; the listing then replaces the file whole, or leaves it as it
    // was should a read fail.
    std::unique_ptr<platform::ReplacingFile> file;
    if (!path.empty()) {
        file = platform::OpenReplacingFile(path);
        if (!file) {
            Log("<EepromInterface>Error! Failed to open file.");
            return 1;
        }
    }
    std::uint64_t total = 0;
    for (const EEpromFieldDefinition_t& record : fieldTable_) {
        if (record.isListed != 0) total += record.size;
    }
    std::uint64_t done = 0;
    std::string text;
    std::string value;
    for (const EEpromFieldDefinition_t& record : fieldTable_) {
        if (record.isListed == 0) continue;
        if (ReadField(record, value, Source::Chip) != 0) {
            Log("<EepromInterface>Error! Failed to Read Eeprom.");
            return 1;
        }
        text += record.name + " = " + value + "\n";
        done += record.size;
        if (!Report(kReadStage, done, total)) return 1;
    }
    text.push_back('\0');
    stream += text;
    if (file && !file->Commit(text.data(), text.size())) {
        Log("<EepromInterface>Error! Failed to write file.");
        return 1;
    }
    return 0;
}
