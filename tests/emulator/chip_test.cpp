// The emulated chip on its own: its memory and the console window, the
// firmware's run command, the EEPROM and its file, and the mailbox.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "chip.h"
#include "emulator_test_support.h"
#include "testsupport.h"

namespace emutest {
namespace {

Bytes Padded(Bytes bytes) {
    bytes.push_back(0);
    return bytes;
}

Bytes Answer(EmulatedChip& chip, const NativeCommand_t& command, std::uint8_t packetNum = 0) {
    return chip.Execute(command, packetNum).answer;
}

TEST(EmulatedChip, MemoryReadsZerosUntilWrittenAndKeepsWordsBigEndian) {
    EmulatedChip chip(256);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0x12345678, {}, 8)), Bytes(8, 0));
    EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, 0xBF540000))), 0u);

    EXPECT_EQ(Answer(chip, WriteWord(0xBF540000, 0x11223344)), EmulatedChip::Acknowledgement());
    const Bytes word = Answer(chip, Command(NATIVE_READ_WORD, 0xBF540000));
    EXPECT_EQ(std::string(word.begin(), word.end()), std::string("0x11223344") + '\0');
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0xBF540000, {}, 4)),
              (Bytes{0x11, 0x22, 0x33, 0x44}));

    // A buffer that crosses a page boundary comes back whole.
    const Bytes bytes = Pattern(300, 3);
    chip.Execute(Command(NATIVE_WRITE_BUFFER, 0x10000F00, bytes), 1);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0x10000F00, {}, 300)), bytes);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0x10000EFF, {}, 1)), Bytes{0});
}

TEST(EmulatedChip, MacMemoryIsTheSameThroughBothWindows) {
    EmulatedChip chip(256);
    chip.Execute(Command(NATIVE_WRITE_BUFFER, 0xBFE30010, Text("console")), 0);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0xBFC30010, {}, 7)), Text("console"));
    chip.Execute(WriteWord(0xBFC23800, 0xCAFE), 0);
    EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, 0xBFE23800))), 0xCAFEu);
    // The windows are 1 MiB each: the bytes above them are ordinary memory.
    chip.Execute(Command(NATIVE_WRITE_BUFFER, 0xBFD00000, Text("x")), 0);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0xBFF00000, {}, 1)), Bytes{0});
    // A range running out of the console window continues above it.
    chip.Execute(Command(NATIVE_WRITE_BUFFER, 0xBFEFFFFE, Text("abcd")), 0);
    EXPECT_EQ(chip.ReadMemory(0xBFCFFFFE, 2), Text("ab"));
    EXPECT_EQ(chip.ReadMemory(0xBFF00000, 2), Text("cd"));
}

TEST(EmulatedChip, RunCommandStartsTheFirmwareWithItsStagedVectorData) {
    EmulatedChip chip(64);
    const Bytes staged = Pattern(63, 5);
    Answer(chip, WriteWord(0xBFC23800, 63));
    Answer(chip, Command(NATIVE_WRITE_BUFFER, 0xBFC23804, staged));
    Answer(chip, Command(NATIVE_COMMAND_PIPE, 0xBFC23800, {}, 0, 2));  // another pipe command
    EXPECT_FALSE(chip.FirmwareRunning());
    EXPECT_EQ(chip.ReadMemory(0xBFC00280, 63), Bytes(63, 0));

    EXPECT_EQ(Answer(chip, Command(NATIVE_COMMAND_PIPE, 0xBFC23800, {}, 0, 1)), EmulatedChip::Acknowledgement());
    EXPECT_TRUE(chip.FirmwareRunning());
    EXPECT_EQ(chip.RunCommands(), 1u);
    EXPECT_EQ(chip.ReadMemory(0xBFE00280, 64), Padded(staged)) << "63 bytes, through the console window too";

    // A size word beyond the staging area's capacity moves no more than it holds.
    Answer(chip, Command(NATIVE_WRITE_BUFFER, 0xBFC23804 + 1784, {0xAA}));
    Answer(chip, WriteWord(0xBFC23800, 0xFFFFFFFF));
    Answer(chip, Command(NATIVE_COMMAND_PIPE, 0xBFC23800, {}, 0, 1));
    EXPECT_EQ(chip.ReadMemory(0xBFC00280 + 1783, 2), (Bytes{0, 0}));
}

TEST(EmulatedChip, RefusesLengthsBeyondTheDataArea) {
    EmulatedChip chip(1024);
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0, {}, 513)), EmulatedChip::Refusal());
    EXPECT_EQ(Answer(chip, Command(NATIVE_WRITE_BUFFER, 0, {}, 513)), EmulatedChip::Refusal());
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_EEPROM, 0, {}, 513)), EmulatedChip::Refusal());
    EXPECT_EQ(Answer(chip, Command(NATIVE_READ_BUFFER, 0, {}, 512)).size(), 512u);
    EXPECT_EQ(Answer(chip, Command(7, 0)), EmulatedChip::Refusal());
}

TEST(EmulatedChip, EepromStartsErasedStaysInBoundsAndPersistsInItsFile) {
    testsupport::TempDir dir;
    const std::string file = dir.File("eeprom.bin");
    {
        EmulatedChip chip(64);
        std::string error;
        ASSERT_TRUE(chip.AttachEepromFile(file, error)) << error;
        EXPECT_EQ(Answer(chip, Command(NATIVE_READ_EEPROM, 0, {}, 4)), Bytes(4, 0xFF));
        EXPECT_EQ(Answer(chip, Command(NATIVE_WRITE_EEPROM, 60, Text("tail"))),
                  EmulatedChip::Acknowledgement());
        EXPECT_EQ(Answer(chip, Command(NATIVE_WRITE_EEPROM, 61, Text("tail"))), EmulatedChip::Refusal());
        EXPECT_EQ(Answer(chip, Command(NATIVE_READ_EEPROM, 0xFFFFFFFF, {}, 2)), EmulatedChip::Refusal());
        chip.Execute(Command(NATIVE_WRITE_EEPROM, 0x10, Text("serial")), 0);
    }
    EXPECT_EQ(testsupport::ReadFile(file).size(), 64u);
    EmulatedChip again(64);
    std::string error;
    ASSERT_TRUE(again.AttachEepromFile(file, error)) << error;
    EXPECT_EQ(Answer(again, Command(NATIVE_READ_EEPROM, 0x10, {}, 6)), Text("serial"));
    EXPECT_EQ(Answer(again, Command(NATIVE_READ_EEPROM, 60, {}, 4)), Text("tail"));
    EXPECT_EQ(again.Eeprom()[0], 0xFF);
}

// A file holds one EEPROM's bytes: one of another size is refused and kept
// as it is; a missing or empty one starts erased.
TEST(EmulatedChip, EepromFileOfAnotherSizeIsRefusedAndLeftAsItIs) {
    const std::string erased(64, '\xFF');
    const std::string image = std::string(32, 'a') + std::string(32, 'b');
    struct Case {
        std::optional<std::string> content;  // none: no file
        bool attaches;
        std::string eeprom;  // what the chip then holds (attached) or the file still holds
    } cases[] = {
        {std::nullopt, true, erased},
        {"", true, erased},
        {image, true, image},
        {std::string(16, 'c'), false, std::string(16, 'c')},
        {image + image, false, image + image},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        const std::string file = c.content ? dir.Write("eeprom.bin", *c.content) : dir.File("eeprom.bin");
        EmulatedChip chip(64);
        std::string error;
        const std::size_t size = c.content ? c.content->size() : 0;
        ASSERT_EQ(chip.AttachEepromFile(file, error), c.attaches) << size << " bytes: " << error;
        EXPECT_EQ(testsupport::ReadFile(file), c.eeprom) << size << " bytes";
        if (c.attaches) {
            EXPECT_EQ(std::string(chip.Eeprom().begin(), chip.Eeprom().end()), c.eeprom) << size << " bytes";
        } else {
            const std::string sizes = " " + std::to_string(size) + " bytes but the EEPROM has 64 ";
            EXPECT_NE(error.find(sizes), std::string::npos) << error;
            EXPECT_EQ(chip.Eeprom(), Bytes(64, 0xFF));
        }
    }
}

TEST(EmulatedChip, MailboxTakesTheWrittenCommandAndStaysBusyUntilDone) {
    EmulatedChip chip(64);
    const tbemu::MailboxAddresses box;
    const Bytes command = Pattern(40, 1);
    std::vector<Bytes> handled;
    chip.SetCommandHandler([&](const Bytes& bytes) {
        handled.push_back(bytes);
        return std::vector<Bytes>{Text("first"), Text("second")};
    });
    EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, box.counterRead))), 0u);
    for (std::size_t at = 0; at < command.size(); at += 16) {
        const Bytes chunk(command.begin() + static_cast<long>(at),
                          command.begin() + static_cast<long>(std::min<std::size_t>(at + 16, 40)));
        chip.Execute(Command(NATIVE_WRITE_BUFFER, box.buffer + static_cast<std::uint32_t>(at), chunk), 5);
    }
    // Writing anything but 1 to the counter hands nothing over.
    EXPECT_FALSE(chip.Execute(WriteWord(box.counterWrite, 2), 6).tookCommand);
    const tbemu::ChipReply reply = chip.Execute(WriteWord(box.counterWrite, 1), 7);
    EXPECT_TRUE(reply.tookCommand);
    EXPECT_EQ(reply.answer, EmulatedChip::Acknowledgement());
    EXPECT_EQ(reply.events, (std::vector<Bytes>{Text("first"), Text("second")}));
    EXPECT_EQ(handled, std::vector<Bytes>{command});

    ASSERT_EQ(chip.MailboxCommands().size(), 1u);
    const tbemu::MailboxCommand& taken = chip.MailboxCommands()[0];
    EXPECT_EQ(taken.bytes, command);
    EXPECT_EQ(taken.packetNum, 7);
    ASSERT_EQ(taken.writes.size(), 3u);
    EXPECT_EQ(taken.writes[0].address, box.buffer);
    EXPECT_EQ(taken.writes[1].address, box.buffer + 16);
    EXPECT_EQ(taken.writes[2].address, box.buffer + 32);
    EXPECT_EQ(taken.writes[2].length, 8);

    EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, box.counterRead))), 1u);
    chip.CommandDone();
    EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, box.counterRead))), 0u);

    // The next command holds only what was written for it.
    chip.Execute(Command(NATIVE_WRITE_BUFFER, box.buffer, Text("short")), 8);
    chip.Execute(WriteWord(box.counterWrite, 1), 9);
    ASSERT_EQ(chip.MailboxCommands().size(), 2u);
    EXPECT_EQ(chip.MailboxCommands()[1].bytes, Text("short"));
}

TEST(EmulatedChip, MailboxFollowsConfiguredAddressesAndForcedBusyReads) {
    EmulatedChip chip(64);
    tbemu::MailboxAddresses box;
    box.buffer = 0xA0001000;
    box.counterRead = 0xA0000010;
    box.counterWrite = 0xA0000020;
    chip.SetMailbox(box);

    chip.Execute(Command(NATIVE_WRITE_BUFFER, 0xBFE30000, Text("elsewhere")), 0);
    chip.Execute(Command(NATIVE_WRITE_BUFFER, box.buffer, Text("here")), 0);
    EXPECT_FALSE(chip.Execute(WriteWord(0xBF108240, 1), 0).tookCommand);
    EXPECT_TRUE(chip.Execute(WriteWord(box.counterWrite, 1), 1).tookCommand);
    ASSERT_EQ(chip.MailboxCommands().size(), 1u);
    EXPECT_EQ(chip.MailboxCommands()[0].bytes, Text("here"));
    chip.CommandDone();

    chip.ForceBusyReads(2);
    std::vector<std::uint32_t> reads;
    for (int i = 0; i < 3; ++i) reads.push_back(WordValue(Answer(chip, Command(NATIVE_READ_WORD, box.counterRead))));
    EXPECT_EQ(reads, (std::vector<std::uint32_t>{1, 1, 0}));
    chip.ForceBusyReads(-1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(WordValue(Answer(chip, Command(NATIVE_READ_WORD, box.counterRead))), 1u);
    EXPECT_EQ(chip.CounterReads(), 15u);
}

}  // namespace
}  // namespace emutest
