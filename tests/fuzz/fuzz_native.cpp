// Native command lines and memory command lines. The input's first byte
// chooses: bit 0 clear, the rest is a native command line; bit 0 set, the
// rest follows MEM_READ (bit 1 clear) or MEM_WRITE (bit 1 set) and resolves
// against the example definition set and map files. Every record built is
// checked against the limits of its type and sent through the packet codec.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "consoleappadapter.h"
#include "consolenativeadapter.h"
#include "fuzzsupport.h"
#include "packets.h"
#include "structaccess.h"

namespace {

bool SameRecord(const NativeCommand_t& a, const NativeCommand_t& b) {
    return a.Type == b.Type && a.Address == b.Address && a.Length == b.Length &&
           a.AdditionalParam == b.AdditionalParam && a.Data == b.Data;
}

// The record survives the trip through the 524-byte packet.
void CheckPacket(const NativeCommand_t& record) {
    const NativePacketBytes packet = EncodeNativePacket(record, 0x5A);
    std::uint8_t version = 0;
    std::uint8_t number = 0;
    NativeCommand_t decoded;
    FUZZ_CHECK(DecodeNativePacket(packet.data(), packet.size(), version, number, decoded));
    FUZZ_CHECK(number == 0x5A);
    FUZZ_CHECK(SameRecord(record, decoded));
}

// What a successful native line may build.
void CheckNativeRecord(const NativeCommand_t& record) {
    FUZZ_CHECK(record.Type <= NATIVE_COMMAND_PIPE);
    switch (record.Type) {
        case NATIVE_WRITE_WORD:
            FUZZ_CHECK(record.Length == 4);
            break;
        case NATIVE_WRITE_BUFFER:
        case NATIVE_WRITE_EEPROM:
            FUZZ_CHECK(record.Length <= kNativeDataSize);
            break;
        case NATIVE_READ_WORD:
        case NATIVE_COMMAND_PIPE:
            FUZZ_CHECK(record.Length == 0);
            break;
        default:
            break;
    }
    // Nothing is written past the bytes the record announces.
    const std::size_t used = record.Type == NATIVE_WRITE_WORD || record.Type == NATIVE_WRITE_BUFFER ||
                                     record.Type == NATIVE_WRITE_EEPROM
                                 ? record.Length
                                 : 0;
    FUZZ_CHECK(std::all_of(record.Data.begin() + static_cast<std::ptrdiff_t>(used),
                           record.Data.end(), [](std::uint8_t b) { return b == 0; }));
    CheckPacket(record);
}

void NativeLine(const std::string& line) {
    NativeCommand_t record;
    if (ConsoleNativeAdapter::GetInstance().AdaptNativeCommand(line, record)) {
        CheckNativeRecord(record);
    }
}

// Memory commands read at most 16 bytes and write at most 4, through one
// buffer record.
void MemoryLine(StructAccess& database, bool isWrite, const std::string& rest) {
    ConsoleAppAdapter adapter(&database);
    NativeCommand_t record;
    if (!adapter.adaptMemCommand(isWrite ? "MEM_WRITE" : "MEM_READ", rest, record)) return;
    CheckNativeRecord(record);
    if (isWrite) {
        FUZZ_CHECK(record.Type == NATIVE_WRITE_BUFFER);
        FUZZ_CHECK(record.Length >= 1 && record.Length <= ConsoleAppAdapter::kMaxWriteSize);
    } else {
        FUZZ_CHECK(record.Type == NATIVE_READ_BUFFER);
        FUZZ_CHECK(record.Length >= 1 && record.Length <= ConsoleAppAdapter::kMaxReadSize);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StructAccess& database = fuzzsupport::ExampleDatabase();
    fuzzsupport::InputReader input(data, size);
    const std::uint8_t selector = input.Byte();
    const std::string rest = input.Rest();
    if ((selector & 1) == 0) {
        NativeLine(rest);
    } else {
        MemoryLine(database, (selector & 2) != 0, rest);
    }
    return 0;
}
