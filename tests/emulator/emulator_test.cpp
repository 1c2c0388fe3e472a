// The dispatcher and chip emulator on its own: the chip's memory, EEPROM and
// mailbox directly, and the emulator over real loopback sockets driven by a
// tiny client that plays the library.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "chip.h"
#include "commandexecutor.h"
#include "control.h"
#include "definitions.h"
#include "emulator.h"
#include "packets.h"
#include "pcapwriter.h"
#include "replay.h"
#include "socketutil.h"
#include "structaccess.h"
#include "testsupport.h"

namespace {

using tbemu::Bytes;
using tbemu::EmulatedChip;
using tbemu::Emulator;
using tbemu::Fd;

constexpr int kWaitMs = 5000;  // generous: only reached when something is broken

NativeCommand_t Command(std::uint16_t type, std::uint32_t address, const Bytes& data = {},
                        std::uint16_t length = 0xFFFF, std::uint16_t param = 0) {
    NativeCommand_t command;
    command.Type = type;
    command.Address = address;
    command.Length = length == 0xFFFF ? static_cast<std::uint16_t>(data.size()) : length;
    command.AdditionalParam = param;
    std::copy(data.begin(), data.end(), command.Data.begin());
    return command;
}

NativeCommand_t WriteWord(std::uint32_t address, std::uint32_t value) {
    Bytes data(4);
    PutLe32(data.data(), value);
    return Command(NATIVE_WRITE_WORD, address, data);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The word value an answer carries as hexadecimal text from data offset 2.
std::uint32_t WordValue(const Bytes& answer) {
    const std::string text(answer.begin() + 2, answer.end());
    return static_cast<std::uint32_t>(std::stoul(text.c_str(), nullptr, 16));
}

Bytes Pattern(std::size_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return bytes;
}

// ------------------------------------------------------------------ the chip alone

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

// ------------------------------------------------------------------ command execution

// A small definition set in two files found through a directory pattern.
const char kCommandDefinitions[] = R"(// commands
START_ENUM
ENUM_WITH_VALUE(CMD_TUNNEL_TO_PHY, 0x0123)
ENUM_WITH_VALUE(PHY_CONSOLE_CMD, 0x0004)
ENUM_WITH_VALUE(PHY_SET_GAIN_OP, 0x21)
ENUM_NO_VALUE(PHY_RAW_OP)
ENUM_NO_VALUE(PHY_QUIET_OP)
ENUM_WITH_VALUE(PHYC_CAPTURE_DATA_OP, 0x30)
ENUM_WITH_VALUE(MAC_SET_OP, 0x0456)
ENUM_NO_VALUE(MAC_FIRE_OP)
END_ENUM
OPEN_STRUCT_DECLARATION
FIELD_UINT16(gain);
END_STRUCT_DECLARATION(GainStruct)
DECLARE_COMMAND(PHY_SET_GAIN, PHY_CMD_TYPE, GainStruct, PHY_SET_GAIN_OP, WAIT_NEEDED)
DECLARE_COMMAND(PHY_RAW, PHY_TUNNEL_CMD_TYPE, GainStruct, PHY_RAW_OP, WAIT_NEEDED)
DECLARE_COMMAND(PHY_QUIET, PHY_CMD_TYPE, GainStruct, PHY_QUIET_OP, WAIT_NOT_NEEDED)
DECLARE_COMMAND(PHYC_CAPTURE_DATA_CMD, PHY_CMD_TYPE, GainStruct, PHYC_CAPTURE_DATA_OP, WAIT_NEEDED)
DECLARE_COMMAND(MAC_SET, MAC_CMD_TYPE, GainStruct, MAC_SET_OP, WAIT_NEEDED)
DECLARE_COMMAND(MAC_FIRE, MAC_CMD_TYPE, GainStruct, MAC_FIRE_OP, WAIT_NOT_NEEDED)
)";
const char kEventDefinitions[] = R"(// events and the mailbox
START_EVENTS_ENUM(PHY_CMD_TYPE)
ENUM_EVENTS_WITH_VALUE(PHYC_GENERAL_EVT, 0x10)
ENUM_EVENTS_NO_VALUE(PHYC_CAPTURE_DATA_EVT)
ENUM_EVENTS_WITH_VALUE(UMAC_GENERAL_EVT, 0x40)
END_EVENTS_ENUM
START_GNRL_EVNTS_ENUM(PHY_CMD_TYPE)
ENUM_GNRL_EVNTS_WITH_VALUE(PHYC_STATUS_OK, 0)
ENUM_GNRL_EVNTS_NO_VALUE(PHYC_STATUS_BAD_PARAM)
END_GNRL_EVNTS_ENUM
USER_PREDEFINE_VALUE(MAC_COMMAND_BUFFER_ADDRESS, 0xBFE31000)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_READ_ADDRESS, 0xBF108400)
USER_PREDEFINE_VALUE(MAC_COMMAND_COUNTER_WRITE_ADDRESS, 0xBF108404)
)";

class DefinitionSet {
public:
    DefinitionSet() {
        dir_.Write("defs/commands.h", kCommandDefinitions);
        dir_.Write("defs/events.h", kEventDefinitions);
        listFile_ = dir_.Write("list.txt", "  defs/*.h\n");
    }
    const std::string& ListFile() const { return listFile_; }

private:
    testsupport::TempDir dir_;
    std::string listFile_;
};

// The tunnel packet the library sends for a PHY command, full form.
Bytes PhyTunnel(std::uint8_t opcode, std::uint8_t sequence, const Bytes& parameters) {
    Bytes command{opcode, 0, sequence, 0, static_cast<std::uint8_t>(8 + parameters.size()), 0, 0, 0};
    command.insert(command.end(), parameters.begin(), parameters.end());
    Bytes packet{0x01, 0x23, 0, 0, 0x00, 0x04, 0, static_cast<std::uint8_t>(command.size())};
    packet.insert(packet.end(), command.begin(), command.end());
    return packet;
}

// The header-less form: the opcode and the parameters alone.
Bytes PhyTunnelHeaderless(std::uint8_t opcode, const Bytes& parameters) {
    Bytes packet{0x01, 0x23, 0, 0, 0, opcode, 0, static_cast<std::uint8_t>(parameters.size())};
    packet.insert(packet.end(), parameters.begin(), parameters.end());
    return packet;
}

struct Header {
    std::uint16_t ctrl;
    std::uint8_t source, type, flags, fragment, eventLength, subEvent, status;
    Bytes payload;  // as long as the event length says (for UMAC: the length itself)
};

Header Parse(const Bytes& event, bool lengthIsPayload = false) {
    Header h{};
    if (event.size() < kEventHeaderSize) {
        ADD_FAILURE() << "event of " << event.size() << " bytes";
        return h;
    }
    h.ctrl = GetBe16(&event[0]);
    h.source = event[4];
    h.type = event[8];
    h.flags = event[9];
    h.fragment = event[11];
    h.eventLength = event[12];
    h.subEvent = event[13];
    h.status = event[14];
    const std::size_t payload = lengthIsPayload ? h.eventLength : h.eventLength - 8u;
    EXPECT_EQ(event.size(), kEventHeaderSize + payload) << "event length byte disagrees with the data";
    h.payload.assign(event.begin() + kEventHeaderSize, event.end());
    return h;
}

class ChipExecution : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        definitions_ = tbemu::Definitions::Load(set_.ListFile(), error);
        ASSERT_TRUE(definitions_) << error;
        executor_ = std::make_unique<tbemu::CommandExecutor>(*definitions_);
    }
    std::vector<Bytes> Run(const Bytes& mailbox) { return executor_->Execute(mailbox); }

    testsupport::IsolatedRoot root_;  // the definitions parser writes the library's log
    DefinitionSet set_;
    std::unique_ptr<tbemu::Definitions> definitions_;
    std::unique_ptr<tbemu::CommandExecutor> executor_;
};

TEST_F(ChipExecution, DefinitionsGiveCommandsCodesAndMailbox) {
    const tbemu::MailboxAddresses box = definitions_->Mailbox();
    EXPECT_EQ(box.buffer, 0xBFE31000u);
    EXPECT_EQ(box.counterRead, 0xBF108400u);
    EXPECT_EQ(box.counterWrite, 0xBF108404u);
    EXPECT_EQ(definitions_->Commands().size(), 6u);
    const tbemu::CommandInfo* raw = definitions_->FindPhyCommand(0x22);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->name, "PHY_RAW");
    EXPECT_EQ(raw->type, PHY_TUNNEL_CMD_TYPE);
    const tbemu::CommandInfo* fire = definitions_->FindMacCommand(0x0457);
    ASSERT_NE(fire, nullptr);
    EXPECT_FALSE(fire->waitNeeded);
    EXPECT_EQ(definitions_->FindMacCommand(0x21), nullptr);  // a PHY opcode is no MAC command
    EXPECT_EQ(definitions_->EventCode("PHYC_CAPTURE_DATA_EVT"), std::optional<std::uint8_t>(0x11));
    EXPECT_EQ(definitions_->StatusCode("PHYC_STATUS_BAD_PARAM"), std::optional<std::uint8_t>(1));
    EXPECT_FALSE(definitions_->IsEventCode(*definitions_->UnusedEventCode()));
}

TEST_F(ChipExecution, PhyCommandsInBothFormsAnswerWithTheirStatus) {
    auto events = Run(PhyTunnel(0x21, 5, {0x12, 0x34}));
    ASSERT_EQ(events.size(), 1u);
    Header h = Parse(events[0]);
    EXPECT_EQ(h.ctrl, 11);
    EXPECT_EQ(h.source, 4);
    EXPECT_EQ(h.type, 0x10);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.subEvent, 0);
    EXPECT_EQ(h.eventLength, 8);
    const tbemu::ExecutedCommand& full = executor_->Executed().back();
    EXPECT_EQ(full.form, tbemu::CommandForm::PhyFull);
    EXPECT_EQ(full.name, "PHY_SET_GAIN");
    EXPECT_EQ(full.command, (Bytes{0x21, 0, 5, 0, 10, 0, 0, 0, 0x12, 0x34}));

    events = Run(PhyTunnelHeaderless(0x22, {0xAB, 0xCD}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(Parse(events[0]).status, 0);
    EXPECT_EQ(executor_->Executed().back().form, tbemu::CommandForm::PhyHeaderless);
    EXPECT_EQ(executor_->Executed().back().name, "PHY_RAW");
    EXPECT_EQ(executor_->Executed().back().command, (Bytes{0xAB, 0xCD}));

    executor_->Settings().failingCommands["PHY_SET_GAIN"] = 1;
    EXPECT_EQ(Parse(Run(PhyTunnel(0x21, 6, {0, 1}))[0]).status, 1);
    EXPECT_EQ(Parse(Run(PhyTunnelHeaderless(0x22, {0, 1}))[0]).status, 0);  // only the named command fails

    EXPECT_TRUE(Run(PhyTunnel(0x23, 7, {0, 0})).empty());  // declared WAIT_NOT_NEEDED
    EXPECT_EQ(executor_->Executed().back().name, "PHY_QUIET");
}

TEST_F(ChipExecution, MalformedTunnelPacketsGetNoEvents) {
    Bytes cut = PhyTunnel(0x21, 0, {1, 2});
    cut.pop_back();  // the length field now runs past the end
    EXPECT_TRUE(Run(cut).empty());
    EXPECT_FALSE(executor_->Executed().back().note.empty());
    EXPECT_TRUE(Run({0x01, 0x23, 0, 0, 0}).empty());
    EXPECT_TRUE(Run({0x04}).empty());  // shorter than any command
}

// Reassembles capture fragments the way a receiver must, checking each header.
Bytes Reassemble(const std::vector<Bytes>& fragments, std::size_t& total) {
    Bytes data;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const Header h = Parse(fragments[i]);
        EXPECT_EQ(h.source, 1);
        EXPECT_EQ(h.type, 0x11);
        EXPECT_EQ(h.fragment, i);
        const bool last = i + 1 == fragments.size();
        EXPECT_EQ(h.flags, last ? 0 : 0x80) << "fragment " << i;
        std::size_t skip = 0;
        if (i == 0) {
            total = GetBe16(&h.payload[0]);
            EXPECT_EQ(GetBe32(&h.payload[4]), tbemu::kCaptureAddress);
            skip = 8;
        }
        data.insert(data.end(), h.payload.begin() + static_cast<long>(skip), h.payload.end());
    }
    return data;
}

TEST_F(ChipExecution, CaptureComesAsGeneralEventThenNumberedFragments) {
    executor_->Settings().captureLength = 450;
    auto events = Run(PhyTunnel(0x30, 0, {0, 0}));
    ASSERT_EQ(events.size(), 4u);  // general event, then 200 + 200 + 50 bytes
    const Header general = Parse(events[0]);
    EXPECT_EQ(general.type, 0x10);
    EXPECT_EQ(general.subEvent, 1);
    EXPECT_EQ(Parse(events[1]).eventLength, 216);
    EXPECT_EQ(Parse(events[3]).eventLength, 58);
    std::size_t total = 0;
    const Bytes data = Reassemble({events.begin() + 1, events.end()}, total);
    EXPECT_EQ(total, 450u);
    EXPECT_EQ(data, tbemu::CapturePattern(450));

    // The largest fragments the event length byte allows, and an empty capture.
    executor_->Settings().fragmentBytes = 1000;
    executor_->Settings().captureLength = 3000;
    events = Run(PhyTunnel(0x30, 1, {0, 0}));
    EXPECT_EQ(Parse(events[1]).eventLength, 255);
    EXPECT_EQ(Reassemble({events.begin() + 1, events.end()}, total), tbemu::CapturePattern(3000));
    executor_->Settings().captureLength = 0;
    events = Run(PhyTunnel(0x30, 2, {0, 0}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(Reassemble({events.begin() + 1, events.end()}, total), Bytes{});
    EXPECT_EQ(total, 0u);
}

TEST_F(ChipExecution, CaptureFaultsSpoilOnlyTheNextCapture) {
    executor_->Settings().captureLength = 600;
    auto fragmentNumbers = [&](const std::vector<Bytes>& events) {
        std::vector<int> numbers;
        for (std::size_t i = 1; i < events.size(); ++i) numbers.push_back(events[i][11]);
        return numbers;
    };
    executor_->Settings().armed[tbemu::EventFault::FragmentsOutOfOrder] = 1;
    EXPECT_EQ(fragmentNumbers(Run(PhyTunnel(0x30, 0, {0, 0}))), (std::vector<int>{1, 0, 2}));
    executor_->Settings().armed[tbemu::EventFault::MissingFragment] = 1;
    EXPECT_EQ(fragmentNumbers(Run(PhyTunnel(0x30, 0, {0, 0}))), (std::vector<int>{0, 2}));
    executor_->Settings().armed[tbemu::EventFault::LastFragmentBitSet] = 1;
    EXPECT_EQ(Run(PhyTunnel(0x30, 0, {0, 0})).back()[9], 0x80);
    const auto clean = Run(PhyTunnel(0x30, 0, {0, 0}));
    EXPECT_EQ(fragmentNumbers(clean), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(clean.back()[9], 0);
}

TEST_F(ChipExecution, MacCommandsAreEchoedInUmacEvents) {
    const Bytes command{0x04, 0x56, 0x07, 0x00, 0x12, 0x34};
    auto events = Run(command);
    ASSERT_EQ(events.size(), 1u);
    Header h = Parse(events[0], true);
    EXPECT_EQ(h.type, 0x40);
    EXPECT_EQ(h.source, 4);
    EXPECT_EQ(h.eventLength, 6);
    EXPECT_EQ(h.payload, command);
    EXPECT_EQ(executor_->Executed().back().name, "MAC_SET");

    executor_->Settings().macEvents = 3;
    events = Run(command);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(Parse(events[0], true).subEvent, 1);
    EXPECT_EQ(Parse(events[1], true).subEvent, 1);
    h = Parse(events[2], true);
    EXPECT_EQ(h.subEvent, 0);
    EXPECT_EQ(h.payload, command);  // the final event carries the echo

    EXPECT_TRUE(Run({0x04, 0x57, 0x08, 0x00, 0, 0}).empty());  // MAC_FIRE needs no response
    EXPECT_EQ(Run({0x7E, 0x7F, 0, 0}).size(), 3u);  // undeclared opcodes are echoed as well
}

TEST_F(ChipExecution, HeaderFaultsHitTheFirstEventOfTheNextCommandOnly) {
    using tbemu::EventFault;
    const Bytes phy = PhyTunnel(0x21, 0, {0, 0});
    executor_->Settings().armed[EventFault::BadCtrl] = 1;
    EXPECT_EQ(Parse(Run(phy)[0]).ctrl, 12);
    executor_->Settings().armed[EventFault::BadSource] = 1;
    EXPECT_EQ(Parse(Run(phy)[0]).source, 7);
    executor_->Settings().armed[EventFault::UnknownEventType] = 1;
    EXPECT_FALSE(definitions_->IsEventCode(Parse(Run(phy)[0]).type));
    executor_->Settings().armed[EventFault::UnknownStatus] = 1;
    EXPECT_FALSE(definitions_->IsStatusCode(Parse(Run(phy)[0]).status));
    const Header clean = Parse(Run(phy)[0]);
    EXPECT_EQ(clean.ctrl, 11);
    EXPECT_EQ(clean.source, 4);
    EXPECT_EQ(clean.type, 0x10);
    EXPECT_EQ(clean.status, 0);
}

// ------------------------------------------------------------------ over sockets

// Plays the library: sends command packets over UDP and accepts the
// emulator's TCP connections, reading event packets from the newest one.
class FakeLibrary {
public:
    FakeLibrary() {
        std::string error;
        listener_ = tbemu::ListenTcp("127.0.0.1", 0, error);
        udp_ = tbemu::BindUdp("127.0.0.1", 0, error);
    }
    std::uint16_t ListenPort() const { return tbemu::LocalPort(listener_.Get()); }

    void SendRaw(const std::uint8_t* bytes, std::size_t length, std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(udp_.Get(), bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(length));
    }
    void Send(const NativeCommand_t& command, std::uint8_t packetNum, std::uint16_t port) {
        const NativePacketBytes packet = EncodeNativePacket(command, packetNum);
        SendRaw(packet.data(), packet.size(), port);
    }

    // Waits for the next connection and makes it the one events are read from.
    bool Accept(int timeoutMs = kWaitMs) {
        if (!Readable(listener_.Get(), timeoutMs)) return false;
        previous_ = std::move(connection_);
        connection_.Reset(::accept(listener_.Get(), nullptr, nullptr));
        return connection_.Valid();
    }

    // The next event packet, read across as many reads as it takes.
    std::optional<ConsoleEventPacket_t> NextEvent(int timeoutMs = kWaitMs) {
        if (!connection_.Valid() && !Accept(timeoutMs)) return std::nullopt;
        EventPacketBytes bytes{};
        std::size_t have = 0;
        while (have < bytes.size()) {
            if (!Readable(connection_.Get(), timeoutMs)) return std::nullopt;
            const ssize_t got = ::recv(connection_.Get(), bytes.data() + have, bytes.size() - have, 0);
            if (got <= 0) return std::nullopt;
            have += static_cast<std::size_t>(got);
        }
        return DecodeEventPacket(bytes.data());
    }

    // True when nothing arrives on the current connection within the time.
    bool Quiet(int milliseconds) { return !Readable(connection_.Get(), milliseconds); }
    // True when the given connection was closed by the emulator.
    static bool ClosedByPeer(const Fd& fd) {
        if (!Readable(fd.Get(), kWaitMs)) return false;
        char byte;
        return ::recv(fd.Get(), &byte, 1, 0) == 0;
    }
    const Fd& Current() const { return connection_; }
    const Fd& Previous() const { return previous_; }
    void CloseCurrent() { connection_.Reset(); }
    // Everything the current connection carries until its peer closes it.
    Bytes ReadToClose() {
        Bytes bytes;
        std::uint8_t buffer[4096];
        ssize_t got = 0;
        while (Readable(connection_.Get(), kWaitMs) && (got = ::recv(connection_.Get(), buffer, sizeof buffer, 0)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    // The peer's address of the current connection (host order).
    std::uint32_t PeerAddress() const { return tbemu::PeerEndpoint(connection_.Get()).address; }

private:
    static bool Readable(int fd, int timeoutMs) {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) == 1;
    }

    Fd listener_;
    Fd udp_;
    Fd connection_;
    Fd previous_;
};

class EmulatorOverSockets : public ::testing::Test {
protected:
    void SetUp() override {
        tbemu::EmulatorOptions options;
        options.libraryPort = library_.ListenPort();
        options.controlChannel = true;
        options.eepromSize = 256;
        Configure(options);
        emulator_ = std::make_unique<Emulator>(options);
        std::string error;
        ASSERT_TRUE(emulator_->Start(error)) << error;
    }

    // Sends a command and returns the data of its answer.
    Bytes RoundTrip(const NativeCommand_t& command) {
        const std::uint8_t number = next_++;
        library_.Send(command, number, emulator_->CommandPort());
        const auto event = library_.NextEvent();
        if (!event) {
            ADD_FAILURE() << "no answer to packet " << int(number);
            return {};
        }
        EXPECT_EQ(event->RxCmdPacketNum, number);
        EXPECT_LE(event->Length, kEventDataSize);
        return Bytes(event->Data.begin(), event->Data.begin() + std::min<std::size_t>(event->Length, 512));
    }

    virtual void Configure(tbemu::EmulatorOptions&) {}

    FakeLibrary library_;
    std::unique_ptr<Emulator> emulator_;
    std::uint8_t next_ = 250;  // the numbers wrap within the tests
};

TEST_F(EmulatorOverSockets, AnswersEachCommandWithItsPacketNumber) {
    EXPECT_EQ(RoundTrip(WriteWord(0xBFE00100, 0xDEADBEEF)), EmulatedChip::Acknowledgement());
    EXPECT_EQ(WordValue(RoundTrip(Command(NATIVE_READ_WORD, 0xBFC00100))), 0xDEADBEEFu);
    const Bytes data = Pattern(512, 9);
    EXPECT_EQ(RoundTrip(Command(NATIVE_WRITE_BUFFER, 0xBF540000, data)), EmulatedChip::Acknowledgement());
    EXPECT_EQ(RoundTrip(Command(NATIVE_READ_BUFFER, 0xBF540000, {}, 512)), data);
    EXPECT_EQ(RoundTrip(Command(NATIVE_WRITE_EEPROM, 0x20, Text("ee"))), EmulatedChip::Acknowledgement());
    EXPECT_EQ(RoundTrip(Command(NATIVE_READ_EEPROM, 0x1F, {}, 4)), (Bytes{0xFF, 'e', 'e', 0xFF}));
    EXPECT_EQ(RoundTrip(Command(NATIVE_COMMAND_PIPE, 0xBFC23800, {}, 0, 1)), EmulatedChip::Acknowledgement());
    EXPECT_EQ(emulator_->Eeprom()[0x20], 'e');
    EXPECT_EQ(emulator_->ReadMemory(0xBFC00100, 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

    const auto commands = emulator_->Commands();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(commands[6].type, NATIVE_COMMAND_PIPE);
    EXPECT_EQ(commands[6].additionalParam, 1);
    EXPECT_EQ(commands[6].packetNum, 0);  // 250 + 6 wrapped
    EXPECT_EQ(emulator_->ConnectionsOpened(), 1u);
}

TEST_F(EmulatorOverSockets, SystemCommandsAreRecordedAndNeverAnswered) {
    library_.Send(Command(NATIVE_SYSTEM_COMMAND, 0, {}, 0, SYSTEM_SYNC), 1, emulator_->CommandPort());
    library_.Send(Command(NATIVE_SYSTEM_COMMAND, 3, {}, 0, SYSTEM_LOG_SEVERITY), 2, emulator_->CommandPort());
    library_.Send(Command(NATIVE_READ_WORD, 0), 3, emulator_->CommandPort());
    const auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 3);  // nothing came for the system commands
    const auto system = emulator_->SystemCommands();
    ASSERT_EQ(system.size(), 2u);
    EXPECT_EQ(system[0].code, SYSTEM_SYNC);
    EXPECT_EQ(system[1].code, SYSTEM_LOG_SEVERITY);
    EXPECT_EQ(system[1].value, 3u);
    EXPECT_EQ(system[1].packetNum, 2);
}

TEST_F(EmulatorOverSockets, IgnoresDatagramsThatAreNotCommandPackets) {
    const NativePacketBytes packet = EncodeNativePacket(Command(NATIVE_READ_WORD, 0), 40);
    library_.SendRaw(packet.data(), 100, emulator_->CommandPort());
    library_.SendRaw(packet.data(), packet.size() - 1, emulator_->CommandPort());
    std::vector<std::uint8_t> longer(packet.begin(), packet.end());
    longer.push_back(0);
    library_.SendRaw(longer.data(), longer.size(), emulator_->CommandPort());
    library_.SendRaw(packet.data(), packet.size(), emulator_->CommandPort());
    const auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 40);
    EXPECT_EQ(emulator_->PacketsReceived(), 1u);
}

TEST_F(EmulatorOverSockets, MailboxCommandEventsFollowTheCounterWriteAnswer) {
    emulator_->SetCommandHandler([](const Bytes& command) {
        return std::vector<Bytes>{Bytes(command.rbegin(), command.rend()), Text("done")};
    });
    const tbemu::MailboxAddresses box;
    RoundTrip(Command(NATIVE_WRITE_BUFFER, box.buffer, Text("abc")));
    EXPECT_EQ(RoundTrip(WriteWord(box.counterWrite, 1)), EmulatedChip::Acknowledgement());
    for (const Bytes& expected : {Text("cba"), Text("done")}) {
        const auto event = library_.NextEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->RxCmdPacketNum, static_cast<std::uint8_t>(next_ - 1));
        EXPECT_EQ(Bytes(event->Data.begin(), event->Data.begin() + event->Length), expected);
    }
    // Free again once the events have left.
    EXPECT_TRUE(emulator_->WaitFor([&] { return emulator_->AnswersSent() == 4; }, kWaitMs));
    EXPECT_EQ(WordValue(RoundTrip(Command(NATIVE_READ_WORD, box.counterRead))), 0u);
}

TEST_F(EmulatorOverSockets, DropsWrongNumbersStaleAndOversizedAnswersOnRequest) {
    emulator_->DropAnswerTo(2);
    RoundTrip(Command(NATIVE_READ_WORD, 0));  // command 1
    library_.Send(Command(NATIVE_READ_WORD, 0), 77, emulator_->CommandPort());  // command 2
    EXPECT_EQ(WordValue(RoundTrip(Command(NATIVE_READ_WORD, 0))), 0u);  // command 3 answered

    emulator_->WrongNumberForNextAnswers(1);
    library_.Send(Command(NATIVE_READ_WORD, 0), 0, emulator_->CommandPort());
    auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 255);

    emulator_->StaleAnswerBeforeNext(1);
    library_.Send(Command(NATIVE_READ_BUFFER, 0, {}, 2), 10, emulator_->CommandPort());
    event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 9);
    EXPECT_EQ(Bytes(event->Data.begin(), event->Data.begin() + event->Length), Text("STALE"));
    event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 10);
    EXPECT_EQ(event->Length, 2);

    emulator_->OversizeNextAnswers(1);
    library_.Send(Command(NATIVE_READ_WORD, 0), 11, emulator_->CommandPort());
    event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->Length, tbemu::kOversizeLength);

    emulator_->DropNextAnswers(1);
    library_.Send(Command(NATIVE_READ_WORD, 0), 12, emulator_->CommandPort());
    library_.Send(Command(NATIVE_READ_WORD, 0), 13, emulator_->CommandPort());
    event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 13);
    EXPECT_EQ(event->Length, 11);  // the faults were used up
}

TEST_F(EmulatorOverSockets, EepromChunkFaultsSpoilOnlyTheNamedChunk) {
    RoundTrip(Command(NATIVE_READ_WORD, 0));  // not an EEPROM command: not counted
    emulator_->ArmEepromChunkFault(tbemu::EepromChunkFault::Corrupt, 1);
    emulator_->ArmEepromChunkFault(tbemu::EepromChunkFault::Drop, 2);
    EXPECT_EQ(RoundTrip(Command(NATIVE_READ_EEPROM, 0x10, {}, 2)), (Bytes{0x00, 0x00}));  // 0xFF inverted
    library_.Send(Command(NATIVE_WRITE_EEPROM, 0x10, Text("ab")), 20, emulator_->CommandPort());
    EXPECT_EQ(RoundTrip(Command(NATIVE_READ_EEPROM, 0x10, {}, 2)), Text("ab"));  // carried out, not answered
    Bytes range;
    ASSERT_TRUE(emulator_->EepromRange(0x0F, 3, range));
    EXPECT_EQ(range, (Bytes{0xFF, 'a', 'b'}));
    EXPECT_FALSE(emulator_->EepromRange(250, 7, range));
    EXPECT_EQ(emulator_->Commands().size(), 4u);
    EXPECT_EQ(emulator_->AnswersSent(), 3u);
}

// The EEPROM in a file, the log kept for the test.
class EmulatorWithEepromFile : public EmulatorOverSockets {
protected:
    void Configure(tbemu::EmulatorOptions& options) override {
        options.eepromSize = 64;
        options.eepromFile = file_;
        options.verbosity = 0;
        options.logSink = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_ += line + "\n";
        };
    }
    std::string Log() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }

    testsupport::TempDir dir_;
    const std::string file_ = dir_.File("eeprom.bin");
    void TearDown() override { emulator_.reset(); }  // before the log it writes to goes

    std::mutex logMutex_;
    std::string log_;
};

// Holds the process's file size limit (writes beyond it fail with EFBIG
// instead of raising SIGXFSZ) for the life of the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &savedAction_);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::sigaction(SIGXFSZ, &savedAction_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    struct sigaction savedAction_ {};
};

TEST_F(EmulatorWithEepromFile, WriteTheFileDoesNotTakeIsRefusedLoggedAndLeftOut) {
    {
        FileSizeLimit limit(32);
        EXPECT_EQ(RoundTrip(Command(NATIVE_WRITE_EEPROM, 40, Text("lost"))), EmulatedChip::Refusal());
        EXPECT_EQ(RoundTrip(Command(NATIVE_WRITE_EEPROM, 0, Text("kept"))), EmulatedChip::Acknowledgement());
    }
    EXPECT_EQ(RoundTrip(Command(NATIVE_READ_EEPROM, 40, {}, 4)), Bytes(4, 0xFF));
    const std::string log = Log();
    EXPECT_NE(log.find("EEPROM write of 4 bytes at 40 did not reach the file " + file_), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    // The file takes writes again once it can.
    EXPECT_EQ(RoundTrip(Command(NATIVE_WRITE_EEPROM, 40, Text("late"))), EmulatedChip::Acknowledgement());
    const std::string written = testsupport::ReadFile(file_);
    ASSERT_EQ(written.size(), 64u);
    EXPECT_EQ(written.substr(0, 4), "kept");
    EXPECT_EQ(written.substr(40, 4), "late");
}

TEST_F(EmulatorOverSockets, DelayedAndSplitAnswersArriveWholeAndInOrder) {
    emulator_->SetAnswerDelay(150);
    const auto start = std::chrono::steady_clock::now();
    RoundTrip(Command(NATIVE_READ_WORD, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    emulator_->SetAnswerDelay(0);

    const Bytes data = Pattern(200, 5);
    RoundTrip(Command(NATIVE_WRITE_BUFFER, 0x1000, data));
    emulator_->SplitWrites(7);
    emulator_->SetCommandHandler([](const Bytes&) { return std::vector<Bytes>{Text("e1"), Text("e2")}; });
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(RoundTrip(Command(NATIVE_READ_BUFFER, 0x1000, {}, 200)), data);
    }
    // Several packets of one reply cut across their boundaries.
    RoundTrip(WriteWord(tbemu::MailboxAddresses{}.counterWrite, 1));
    for (const char expected : {'1', '2'}) {
        const auto event = library_.NextEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->Data[1], expected);
    }
    // Packets are counted once, however many pieces they left in: two
    // whole answers before the split, then 3 + 1 answers and 2 events.
    EXPECT_TRUE(emulator_->WaitFor([&] { return emulator_->AnswersSent() == 8; }, kWaitMs))
        << emulator_->AnswersSent();
}

// A packet the library has read is already counted, whether it left whole
// or in pieces, as an answer or as a mailbox command's event.
TEST_F(EmulatorOverSockets, CountsEachPacketByTheTimeTheLibraryHasReadIt) {
    emulator_->SetCommandHandler([](const Bytes&) { return std::vector<Bytes>{Text("e1"), Text("e2")}; });
    const std::uint32_t counterWrite = tbemu::MailboxAddresses{}.counterWrite;
    std::size_t read = 0;
    for (int round = 0; round < 30; ++round) {
        emulator_->SplitWrites(round % 3 == 0 ? 0 : 130);
        RoundTrip(Command(NATIVE_READ_WORD, 0));
        ++read;
        EXPECT_GE(emulator_->AnswersSent(), read) << "answer, round " << round;
        RoundTrip(WriteWord(counterWrite, 1));
        ++read;
        EXPECT_GE(emulator_->AnswersSent(), read) << "counter write, round " << round;
        for (int event = 0; event < 2; ++event) {
            ASSERT_TRUE(library_.NextEvent());
            ++read;
            EXPECT_GE(emulator_->AnswersSent(), read) << "event " << event << ", round " << round;
        }
    }
    EXPECT_EQ(emulator_->AnswersSent(), read);  // and nothing twice
}

TEST_F(EmulatorOverSockets, ReplacesClosesAndReopensItsConnection) {
    RoundTrip(Command(NATIVE_READ_WORD, 0));
    emulator_->ReconnectBeforeNextAnswer();
    library_.Send(Command(NATIVE_READ_WORD, 0), 20, emulator_->CommandPort());
    ASSERT_TRUE(library_.Accept());
    auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 20);
    EXPECT_TRUE(FakeLibrary::ClosedByPeer(library_.Previous()));
    EXPECT_EQ(emulator_->ConnectionsOpened(), 2u);

    emulator_->Disconnect();
    EXPECT_TRUE(FakeLibrary::ClosedByPeer(library_.Current()));
    ASSERT_TRUE(library_.Accept());  // it comes back by itself
    library_.Send(Command(NATIVE_READ_WORD, 0), 21, emulator_->CommandPort());
    event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 21);

    // When the library closes the connection, the emulator connects again.
    library_.CloseCurrent();
    ASSERT_TRUE(library_.Accept());
    EXPECT_TRUE(emulator_->WaitFor([&] { return emulator_->ConnectionsOpened() == 4; }, kWaitMs));
    next_ = 30;
    EXPECT_EQ(WordValue(RoundTrip(Command(NATIVE_READ_WORD, 0))), 0u);
}

// The hostile dispatcher answers in place of the chip, which never sees the
// commands; `off` gives the chip back.
TEST_F(EmulatorOverSockets, HostileModesAnswerInsteadOfTheChip) {
    RoundTrip(Command(NATIVE_READ_WORD, 0));  // the connection is up
    const std::uint16_t port = emulator_->CommandPort();
    const NativeCommand_t counterWrite = WriteWord(0xBF108240, 1);

    emulator_->SetHostileMode(tbemu::HostileMode::Silent);
    library_.Send(WriteWord(0xBFC00100, 0x1234), 1, port);
    EXPECT_TRUE(library_.Quiet(200)) << "silent";

    emulator_->SetHostileMode(tbemu::HostileMode::MaxLength);
    library_.Send(Command(NATIVE_READ_WORD, 0), 2, port);
    for (const std::uint16_t length : {std::uint16_t{0xFFFF}, std::uint16_t{512}}) {
        const auto event = library_.NextEvent();
        ASSERT_TRUE(event) << "max-length " << length;
        EXPECT_EQ(event->RxCmdPacketNum, 2);
        EXPECT_EQ(event->Length, length);
        EXPECT_EQ(event->Data.back(), 0xFF);
    }

    // Capture: a free counter, acknowledgements, and after the counter write
    // 300 fragments claiming 65535 bytes, out of order (fragment 0 second),
    // numbers past 255.
    emulator_->SetHostileMode(tbemu::HostileMode::Capture);
    library_.Send(Command(NATIVE_READ_WORD, 0xBF108300), 3, port);
    auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(Bytes(event->Data.begin(), event->Data.begin() + event->Length), (Bytes{0, 0, '0', 0}));
    library_.Send(counterWrite, 4, port);
    ASSERT_TRUE((event = library_.NextEvent()));
    EXPECT_EQ(event->Length, 0);
    std::vector<std::uint8_t> numbers;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE((event = library_.NextEvent())) << "fragment " << i;
        EXPECT_EQ(event->Data[EventHeader::kType], 0x41);
        EXPECT_EQ((event->Data[EventHeader::kFlags] & EventHeader::kFragmentBit) != 0, i < 299);
        numbers.push_back(event->Data[EventHeader::kFragmentNum]);
    }
    EXPECT_EQ(numbers[1], 0);
    EXPECT_FALSE(std::is_sorted(numbers.begin(), numbers.begin() + 256));
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 0), 2);

    emulator_->SetHostileMode(tbemu::HostileMode::Flood);
    library_.Send(Command(NATIVE_READ_WORD, 0), 5, port);
    int copies = 0;
    while (copies < 5000 && (event = library_.NextEvent()) && event->RxCmdPacketNum == 5) ++copies;
    EXPECT_EQ(copies, 5000);

    emulator_->SetHostileMode(tbemu::HostileMode::Garbage);
    library_.Send(Command(NATIVE_READ_WORD, 0), 6, port);
    EXPECT_FALSE(library_.Quiet(kWaitMs)) << "garbage";

    emulator_->SetHostileMode(tbemu::HostileMode::Off);
    emulator_->ReconnectBeforeNextAnswer();  // past the garbage
    library_.Send(WriteWord(0xBFC00104, 0x5678), 7, port);
    ASSERT_TRUE(library_.Accept());
    ASSERT_TRUE((event = library_.NextEvent()));
    EXPECT_EQ(event->RxCmdPacketNum, 7);
    EXPECT_EQ(emulator_->ReadMemory(0xBFC00100, 8), (Bytes{0, 0, 0, 0, 0, 0, 0x56, 0x78}));
    EXPECT_EQ(emulator_->MailboxCommands().size(), 0u);
}

// Connections opened and dropped in a loop, each with a piece of a packet,
// every other one from 127.0.0.2; a chosen source address for the next one.
TEST_F(EmulatorOverSockets, ChurnsConnectionsAndConnectsFromAChosenAddress) {
    RoundTrip(Command(NATIVE_READ_WORD, 0));
    std::string error;
    ASSERT_TRUE(emulator_->ChurnConnections(5, error)) << error;
    for (std::size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(library_.Accept()) << "connection " << i;
        EXPECT_EQ(library_.PeerAddress(), i % 2 == 0 ? 0x7F000001u : 0x7F000002u) << i;
        EXPECT_EQ(library_.ReadToClose().size(), 1 + 5 * i) << i;
    }

    emulator_->ConnectFrom("127.0.0.3");
    emulator_->ReconnectBeforeNextAnswer();
    library_.Send(Command(NATIVE_READ_WORD, 0), 40, emulator_->CommandPort());
    ASSERT_TRUE(library_.Accept());
    EXPECT_EQ(library_.PeerAddress(), 0x7F000003u);
    const auto event = library_.NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->RxCmdPacketNum, 40);
}

// ------------------------------------------------------------------ control channel

class ControlClient {
public:
    explicit ControlClient(std::uint16_t port) {
        std::string error;
        fd_ = tbemu::ConnectTcp("127.0.0.1", port, error);
        // An emulator that does not answer ends the read with what came.
        const timeval limit{kWaitMs / 1000, 0};
        ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    std::string Ask(const std::string& line) {
        const std::string sent = line + "\n";
        if (!tbemu::SendAll(fd_.Get(), reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size())) {
            return "<send failed>";
        }
        std::string answer;
        char c;
        while (::recv(fd_.Get(), &c, 1, 0) == 1 && c != '\n') answer += c;
        return answer;
    }

private:
    Fd fd_;
};

TEST_F(EmulatorOverSockets, ControlLinesSetFaultsAndReport) {
    ControlClient control(emulator_->ControlPort());
    EXPECT_EQ(control.Ask("drop-next 2"), "ok");
    EXPECT_EQ(control.Ask("delay 0x10"), "ok");
    EXPECT_EQ(control.Ask("split 13"), "ok");
    EXPECT_EQ(control.Ask("busy always"), "ok");
    EXPECT_EQ(control.Ask("hostile max-length"), "ok");
    EXPECT_EQ(control.Ask("source-address 127.0.0.2"), "ok");
    tbemu::AnswerFaults faults = emulator_->Faults();
    EXPECT_EQ(faults.dropNext, 2);
    EXPECT_EQ(faults.delayMs, 16);
    EXPECT_EQ(faults.splitBytes, 13u);
    EXPECT_EQ(faults.hostile, tbemu::HostileMode::MaxLength);
    EXPECT_EQ(faults.sourceAddress, "127.0.0.2");

    EXPECT_EQ(control.Ask("reset"), "ok");
    faults = emulator_->Faults();
    EXPECT_EQ(faults.dropNext, 0);
    EXPECT_EQ(faults.splitBytes, 0u);
    EXPECT_EQ(faults.hostile, tbemu::HostileMode::Off);
    EXPECT_EQ(faults.sourceAddress, "");
    EXPECT_EQ(WordValue(RoundTrip(Command(NATIVE_READ_WORD, tbemu::MailboxAddresses{}.counterRead))), 0u);

    EXPECT_EQ(control.Ask("write 0xBFE00000 1 2 0xff"), "ok");
    EXPECT_EQ(control.Ask("read 0xBFC00000 4"), "ok 01 02 ff 00");
    EXPECT_EQ(control.Ask("eeprom 0 2"), "ok ff ff");
    EXPECT_EQ(control.Ask("eeprom-fault corrupt 3"), "ok");
    EXPECT_EQ(emulator_->Faults().corruptEepromAnswerTo, std::set<std::uint64_t>{3});
    library_.Send(Command(NATIVE_SYSTEM_COMMAND, 57600, {}, 0, SYSTEM_SETUP_SECOND), 99, emulator_->CommandPort());
    EXPECT_TRUE(emulator_->WaitFor([&] { return emulator_->SystemCommands().size() == 1; }, kWaitMs));
    EXPECT_EQ(control.Ask("system"), "ok 0:57600");
    EXPECT_EQ(control.Ask("count"), "ok packets=2 answers=1 counter-reads=1 mailbox=0 system=1 connections=1");
    EXPECT_EQ(control.Ask("mailbox"), "ok 0");

    // Malformed lines are refused and change nothing.
    for (const char* bad : {"drop 0", "delay -5", "split x", "busy", "read 0x10", "write 0x10 256",
                            "eeprom 250 7", "eeprom-fault drop 0", "eeprom-fault lose 1", "mailbox 1", "frobnicate", "reset now",
                            "hostile", "hostile loud", "source-address 1.2.3", "churn 0", "churn many"}) {
        EXPECT_EQ(control.Ask(bad).rfind("error", 0), 0u) << bad;
    }
    EXPECT_EQ(emulator_->Faults().dropAnswerTo.size(), 0u);

    EXPECT_EQ(control.Ask("shutdown"), "ok");
    EXPECT_TRUE(emulator_->WaitForStop(kWaitMs));
}

TEST(EmulatorWithDefinitions, ExecutesMailboxCommandsAtTheDefinedAddresses) {
    testsupport::IsolatedRoot root;
    DefinitionSet set;
    FakeLibrary library;
    tbemu::EmulatorOptions options;
    options.controlChannel = true;
    Emulator emulator(options);
    std::string error;
    ASSERT_TRUE(emulator.Start(error)) << error;
    ControlClient control(emulator.ControlPort());
    // Both the library's port and the definition set can come at run time.
    EXPECT_EQ(control.Ask("fail PHY_SET_GAIN 1").rfind("error", 0), 0u);
    EXPECT_EQ(control.Ask("library-port " + std::to_string(library.ListenPort())), "ok");
    EXPECT_EQ(control.Ask("definitions " + set.ListFile() + ".missing").rfind("error", 0), 0u);
    EXPECT_EQ(control.Ask("definitions " + set.ListFile()), "ok");
    ASSERT_TRUE(emulator.ExecutesCommands());
    const tbemu::MailboxAddresses box = emulator.Mailbox();
    EXPECT_EQ(box.counterWrite, 0xBF108404u);

    std::uint8_t number = 0;
    auto deliver = [&](const Bytes& command) {
        library.Send(Command(NATIVE_WRITE_BUFFER, box.buffer, command), number++, emulator.CommandPort());
        library.Send(WriteWord(box.counterWrite, 1), number++, emulator.CommandPort());
        std::vector<ConsoleEventPacket_t> events;
        while (auto event = library.NextEvent(events.size() < 3 ? kWaitMs : 200)) {
            events.push_back(*event);
            if (events.size() == 3) break;
        }
        return events;
    };
    auto events = deliver(PhyTunnel(0x21, 0, {0, 1}));
    ASSERT_EQ(events.size(), 3u);  // write answer, counter write answer, general event
    EXPECT_EQ(events[2].RxCmdPacketNum, 1);
    EXPECT_EQ(events[2].Data[8], 0x10);
    EXPECT_EQ(events[2].Data[14], 0);

    EXPECT_EQ(control.Ask("fail PHY_SET_GAIN PHYC_STATUS_BAD_PARAM"), "ok");
    EXPECT_EQ(control.Ask("fail PHY_SET_GAIN PHYC_STATUS_NONE"), "error unknown status PHYC_STATUS_NONE");
    EXPECT_EQ(control.Ask("event-fault bad-source"), "ok");
    EXPECT_EQ(control.Ask("event-fault sideways").rfind("error usage", 0), 0u);
    events = deliver(PhyTunnel(0x21, 1, {0, 2}));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].RxCmdPacketNum, 3);
    EXPECT_EQ(events[2].Data[14], 1);
    EXPECT_EQ(events[2].Data[4], 7);
    EXPECT_EQ(control.Ask("mailbox -1"),
              "ok 01 23 00 00 00 04 00 0a 21 00 01 00 0a 00 00 00 00 02 writes 18@0xbfe31000");
    EXPECT_EQ(control.Ask("executed"), "ok 2");
    EXPECT_EQ(control.Ask("executed -1"), "ok phy PHY_SET_GAIN events 1 bytes 21 00 01 00 0a 00 00 00 00 02");
}

// ------------------------------------------------------------------ the program

// tb-emulator as a child process, its standard output on a pipe.
class EmulatorProcess {
public:
    // `errorFile`: where its standard error goes (empty: the test's).
    explicit EmulatorProcess(const std::vector<std::string>& arguments, const std::string& errorFile = "") {
        // Everything the child needs is made before the fork: it may only
        // call async-signal-safe functions.
        std::vector<char*> argv{const_cast<char*>(TB_EMULATOR_PROGRAM)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        int output[2];
        if (::pipe(output) != 0) return;
        Fd errors(errorFile.empty() ? -1 : ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        pid_ = ::fork();
        if (pid_ == 0) {
            if (errors.Valid()) ::dup2(errors.Get(), STDERR_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::close(output[1]);
            ::execv(TB_EMULATOR_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(output[1]);
        output_.Reset(output[0]);
    }
    ~EmulatorProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The first line of standard output; what came of it when the program
    // says nothing more for kWaitMs.
    std::string FirstLine() {
        std::string line;
        char c;
        pollfd readable{output_.Get(), POLLIN, 0};
        while (::poll(&readable, 1, kWaitMs) == 1 && ::read(output_.Get(), &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit status, or -1 when it did not exit normally within the time.
    int ExitStatus() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            ::usleep(10000);
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    Fd output_;
};

std::uint16_t PortIn(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(name + "=");
    return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(line.substr(at + name.size() + 1)));
}

TEST(EmulatorProgram, ReportsItsPortsObeysControlAndStopsCleanly) {
    FakeLibrary library;
    {
        EmulatorProcess program({"--control-port", "0", "-q", "--fault", "drop-next 1", "--library-port",
                                 std::to_string(library.ListenPort())});
        const std::string ready = program.FirstLine();
        ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
        const std::uint16_t commandPort = PortIn(ready, "command-port");
        ControlClient control(PortIn(ready, "control-port"));
        // The fault given on the command line is in force.
        library.Send(Command(NATIVE_READ_WORD, 0), 1, commandPort);
        library.Send(Command(NATIVE_READ_WORD, 0), 2, commandPort);
        const auto event = library.NextEvent();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->RxCmdPacketNum, 2);
        EXPECT_EQ(control.Ask("shutdown"), "ok");
        EXPECT_EQ(program.ExitStatus(), 0);
    }
    {
        EmulatorProcess program({"-q"});
        ASSERT_EQ(program.FirstLine().rfind("ready ", 0), 0u);
        program.Signal(SIGTERM);
        EXPECT_EQ(program.ExitStatus(), 0);
    }
    EXPECT_EQ(EmulatorProcess({"--fault", "drop"}).ExitStatus(), 2);
    EXPECT_EQ(EmulatorProcess({"--command-port", "70000"}).ExitStatus(), 2);
}

// Values that are no values and options that would go unheeded are usage
// errors, said before anything starts.
TEST(EmulatorProgram, RefusesBadValuesAndOptionsThatWouldBeIgnored) {
    testsupport::TempDir dir;
    const std::string errors = dir.File("stderr.txt");
    const struct {
        std::vector<std::string> arguments;
        std::string said;
    } cases[] = {
        {{"--library-address", "127.0.0.300", "--library-port", "1"}, "bad or missing value for --library-address"},
        {{"--bind", "127.1"}, "bad or missing value for --bind"},
        {{"--command-port", "0x"}, "bad or missing value for --command-port"},
        {{"--mailbox", "0x,0x,0x"}, "bad or missing value for --mailbox"},
        {{"--definitions", dir.File("list.txt"), "--replay", dir.File("session.pcap")},
         "--definitions with --replay"},
        {{"--replay-ports", "50000,50001"}, "--replay-ports without --replay"},
        {{"--replay", dir.File("session.pcap"), "--mailbox", "1,2,3"}, "--mailbox with --replay"},
        {{"--eeprom-size", "16", "--replay", dir.File("session.pcap")}, "--eeprom-file or --eeprom-size with --replay"},
    };
    for (const auto& c : cases) {
        EmulatorProcess program(c.arguments, errors);
        EXPECT_EQ(program.ExitStatus(), 2) << c.arguments[0] << " " << c.arguments[1];
        const std::string text = testsupport::ReadFile(errors);
        EXPECT_EQ(text.rfind("tb-emulator: " + c.said, 0), 0u) << text;
    }
}

TEST(EmulatorProgram, EepromFileOfAnotherSizeStopsTheStartAndIsKept) {
    testsupport::TempDir dir;
    const std::string image(65536, 'x');
    const std::string file = dir.Write("eeprom.bin", image);
    const std::string errors = dir.File("stderr.txt");
    EXPECT_EQ(EmulatorProcess({"-q", "--eeprom-file", file, "--eeprom-size", "16"}, errors).ExitStatus(), 1);
    const std::string text = testsupport::ReadFile(errors);
    EXPECT_NE(text.find("holds 65536 bytes but the EEPROM has 16"), std::string::npos) << text;
    EXPECT_EQ(testsupport::ReadFile(file), image);
}

}  // namespace


// ------------------------------------------------------------------ capture file

namespace {
std::uint32_t Little32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}
std::uint32_t Big(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}
// The ones' complement sum of a checksummed range: 0xFFFF when the checksum in it is right.
std::uint32_t OnesSum(const std::string& bytes, std::size_t at, std::size_t length, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i < length; i += 2) {
        sum += i + 1 < length ? Big(bytes, at + i, 2) : Big(bytes, at + i, 1) << 8;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}
// The frames of a capture file, after checking its header.
std::vector<std::string> CaptureFrames(const std::string& file) {
    EXPECT_EQ(Little32(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Little32(file, 20), 1u);  // Ethernet
    std::vector<std::string> frames;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::uint32_t length = Little32(file, at + 8);
        frames.push_back(file.substr(at + 16, length));
        at += 16 + length;
    }
    return frames;
}
}  // namespace

TEST(PcapWriter, FramesCarryValidIpv4UdpAndTcpWithRunningSequenceNumbers) {
    testsupport::TempDir dir;
    const std::string path = dir.Path() + "/capture.pcap";
    const tbemu::Endpoint library{0x7F000001, 40000};
    const tbemu::Endpoint dispatcher{0x7F000001, 50000};
    const std::vector<std::uint8_t> command(kNativePacketSize, 0x5A);
    const std::vector<std::uint8_t> events(3 * kEventPacketSize, 0xA5);
    {
        tbemu::PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, error)) << error;
        writer.Udp(library, dispatcher, command.data(), command.size());
        tbemu::TcpFlow flow{dispatcher, library};
        writer.TcpOpened(flow);
        writer.TcpData(flow, true, events.data(), kEventPacketSize);
        writer.TcpData(flow, true, events.data(), 2 * kEventPacketSize);
        writer.TcpClosed(flow);
    }
    const std::vector<std::string> frames = CaptureFrames(testsupport::ReadFile(path));
    ASSERT_EQ(frames.size(), 1u + 3 + 2 + 3);

    const std::size_t ip = 14;
    for (const std::string& frame : frames) {
        ASSERT_EQ(Big(frame, 12, 2), 0x0800u);
        EXPECT_EQ(OnesSum(frame, ip, 20), 0xFFFFu);             // IPv4 header checksum
        EXPECT_EQ(Big(frame, ip + 2, 2), frame.size() - ip);     // total length
        const std::size_t transport = frame.size() - ip - 20;
        const std::uint32_t pseudo = 2 * (0x7F00 + 0x0001) + Big(frame, ip + 9, 1) + static_cast<std::uint32_t>(transport);
        EXPECT_EQ(OnesSum(frame, ip + 20, transport, pseudo), 0xFFFFu);  // UDP or TCP checksum
    }
    const std::string& udp = frames[0];
    EXPECT_EQ(Big(udp, ip + 9, 1), 17u);
    EXPECT_EQ(Big(udp, ip + 20, 2), 40000u);
    EXPECT_EQ(Big(udp, ip + 22, 2), 50000u);
    EXPECT_EQ(udp.substr(ip + 28), std::string(command.begin(), command.end()));

    // SYN, SYN+ACK, ACK; then the data continues from the SYN's number plus one.
    const std::size_t tcp = ip + 20;
    const std::uint32_t isn = Big(frames[1], tcp + 4, 4);
    EXPECT_EQ(Big(frames[1], tcp + 13, 1), 0x02u);
    EXPECT_EQ(Big(frames[2], tcp + 13, 1), 0x12u);
    EXPECT_EQ(Big(frames[2], tcp + 8, 4), isn + 1);
    EXPECT_EQ(Big(frames[4], tcp + 4, 4), isn + 1);
    EXPECT_EQ(Big(frames[5], tcp + 4, 4), isn + 1 + kEventPacketSize);
    EXPECT_EQ(frames[5].size() - tcp - 20, 2 * kEventPacketSize);
    EXPECT_EQ(Big(frames[6], tcp + 13, 1), 0x11u);  // FIN+ACK from the emulator's side first
    EXPECT_EQ(Big(frames[6], tcp + 4, 4), isn + 1 + 3 * kEventPacketSize);
}

// ---------------------------------------------------------------- captures and replay

namespace {

std::string Le(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
}
std::string Be(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    return out;
}

// The link-layer header of each type this reader knows, before an IPv4 packet.
std::string LinkHeader(std::uint32_t linkType) {
    switch (linkType) {
        case 0: return Le(2, 4);                                        // BSD loopback, host order
        case 1: return std::string(12, '\0') + Be(0x0800, 2);           // Ethernet
        case 108: return Be(2, 4);                                      // OpenBSD loopback, network order
        case 113: return std::string(14, '\0') + Be(0x0800, 2);         // Linux cooked
        case 276: return Be(0x0800, 2) + std::string(18, '\0');         // Linux cooked v2
        default: return "";                                             // raw IPv4
    }
}

std::string Pcap(std::uint32_t linkType, const std::vector<std::string>& packets, bool big, bool nano) {
    const auto put = [big](std::uint32_t value, int bytes) { return big ? Be(value, bytes) : Le(value, bytes); };
    std::string file = put(nano ? 0xA1B23C4D : 0xA1B2C3D4, 4) + put(2, 2) + put(4, 2) + put(0, 4) + put(0, 4) +
                       put(65535, 4) + put(linkType, 4);
    std::uint32_t second = 100;
    for (const std::string& packet : packets) {
        const std::string frame = LinkHeader(linkType) + packet;
        const auto length = static_cast<std::uint32_t>(frame.size());
        file += put(second++, 4) + put(0, 4) + put(length, 4) + put(length, 4) + frame;
    }
    return file;
}

std::string Block(std::uint32_t type, const std::string& body) {
    std::string padded = body + std::string((4 - body.size() % 4) % 4, '\0');
    const auto length = static_cast<std::uint32_t>(padded.size() + 12);
    return Le(type, 4) + Le(length, 4) + padded + Le(length, 4);
}

// pcapng: a section, one interface with nanosecond stamps, an enhanced packet block each.
std::string Pcapng(std::uint32_t linkType, const std::vector<std::string>& packets) {
    std::string file = Block(0x0A0D0D0A, Le(0x1A2B3C4D, 4) + Le(1, 2) + Le(0, 2) + std::string(8, '\xff'));
    file += Block(1, Le(linkType, 2) + Le(0, 2) + Le(0, 4) + Le(9, 2) + Le(1, 2) + std::string(1, '\x09') +
                         std::string(3, '\0') + Le(0, 4));
    std::uint64_t stamp = 5000000000ull;
    for (const std::string& packet : packets) {
        const std::string frame = LinkHeader(linkType) + packet;
        const auto length = static_cast<std::uint32_t>(frame.size());
        file += Block(6, Le(0, 4) + Le(static_cast<std::uint32_t>(stamp >> 32), 4) +
                             Le(static_cast<std::uint32_t>(stamp), 4) + Le(length, 4) + Le(length, 4) + frame);
        stamp += 1000;
    }
    return file;
}

std::vector<std::uint8_t> Bytes8(const std::string& text) { return {text.begin(), text.end()}; }

std::string EventRecord(std::uint8_t rxNumber, const std::string& text) {
    ConsoleEventPacket_t event;
    event.Version = 1;
    event.RxCmdPacketNum = rxNumber;
    event.Length = static_cast<std::uint16_t>(text.size());
    std::copy(text.begin(), text.end(), event.Data.begin());
    const EventPacketBytes bytes = EncodeEventPacket(event);
    return std::string(bytes.begin(), bytes.end());
}

std::string CommandRecord(std::uint16_t type, std::uint32_t address, std::uint16_t length, std::uint8_t number) {
    NativeCommand_t command;
    command.Type = type;
    command.Address = address;
    command.Length = length;
    const NativePacketBytes bytes = EncodeNativePacket(command, number);
    return std::string(bytes.begin(), bytes.end());
}

// A recorded session, as the emulator's own capture writer lays it out: a
// system command, a word read (#7) whose answer comes in three pieces behind
// a stale one, and the event connection's handshake and close.
std::vector<std::string> RecordedIpv4Packets(const testsupport::TempDir& dir) {
    const std::string path = dir.Path() + "/session.pcap";
    const tbemu::Endpoint library{0x7F000001, 40000};
    const tbemu::Endpoint dispatcher{0x7F000001, 50000};
    const tbemu::Endpoint libraryEvents{0x7F000001, 41000};
    const std::string sync = CommandRecord(NATIVE_SYSTEM_COMMAND, 0, 0, 6);
    const std::string read = CommandRecord(NATIVE_READ_WORD, 0x10000040, 0, 7);
    const std::string stream = EventRecord(6, "STALE") + EventRecord(7, std::string("0x00001234") + '\0');
    {
        tbemu::PcapWriter writer;
        std::string error;
        EXPECT_TRUE(writer.Open(path, error)) << error;
        tbemu::TcpFlow flow{dispatcher, libraryEvents};
        writer.TcpOpened(flow);
        writer.Udp(library, dispatcher, reinterpret_cast<const std::uint8_t*>(sync.data()), sync.size());
        writer.Udp(library, dispatcher, reinterpret_cast<const std::uint8_t*>(read.data()), read.size());
        for (std::size_t at = 0; at < stream.size(); at += 400) {
            const std::string piece = stream.substr(at, 400);
            writer.TcpData(flow, true, reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
        }
        writer.TcpClosed(flow);
    }
    std::vector<std::string> packets;
    for (const std::string& frame : CaptureFrames(testsupport::ReadFile(path))) packets.push_back(frame.substr(14));
    return packets;
}

}  // namespace

TEST(Replay, ReadsPcapAndPcapngOfEveryLinkTypeAndFindsThePorts) {
    testsupport::TempDir dir;
    const std::vector<std::string> packets = RecordedIpv4Packets(dir);
    struct Case {
        const char* name;
        std::string file;
    };
    const Case cases[] = {
        {"pcap, Ethernet", Pcap(1, packets, false, false)},
        {"pcap big-endian, nanoseconds, BSD loopback", Pcap(0, packets, true, true)},
        {"pcap, OpenBSD loopback", Pcap(108, packets, false, false)},
        {"pcap, Linux cooked", Pcap(113, packets, false, true)},
        {"pcapng, Linux cooked v2", Pcapng(276, packets)},
        {"pcapng, raw IPv4", Pcapng(101, packets)},
        {"pcapng, Ethernet", Pcapng(1, packets)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<tbemu::CapturedSegment> segments;
        std::string error;
        ASSERT_TRUE(tbemu::ParseCapture(Bytes8(test.file), segments, error)) << error;
        EXPECT_EQ(segments.size(), packets.size());
        const auto replay = tbemu::Replay::FromSegments(segments, {}, error);
        ASSERT_TRUE(replay) << error;
        EXPECT_EQ(replay->Ports().command, 50000);
        EXPECT_EQ(replay->Ports().library, 41000);
        ASSERT_EQ(replay->Script().size(), 1u);  // the system command takes no part
        const tbemu::RecordedExchange& read = replay->Script()[0];
        EXPECT_EQ(read.number, 7);
        EXPECT_EQ(read.type, NATIVE_READ_WORD);
        EXPECT_EQ(read.address, 0x10000040u);
        ASSERT_EQ(read.events.size(), 2u);
        EXPECT_EQ(read.events[1][4], 7);
    }
}

TEST(Replay, ReassemblesTheStreamOutOfOrderAndAnswersWithLiveNumbers) {
    const std::string read = CommandRecord(NATIVE_READ_WORD, 0x10000040, 0, 7);
    const std::string stream = EventRecord(6, "STALE") + EventRecord(7, "ok");
    const auto segment = [](bool tcp, std::uint32_t seq, std::uint8_t flags, const std::string& payload) {
        tbemu::CapturedSegment s;
        s.tcp = tcp;
        s.from = {0x7F000001, tcp ? std::uint16_t{50000} : std::uint16_t{40000}};
        s.to = {0x7F000001, tcp ? std::uint16_t{41000} : std::uint16_t{50000}};
        s.seq = seq;
        s.flags = flags;
        s.payload = Bytes8(payload);
        return s;
    };
    // The SYN, the command, then the stream's pieces out of order and one sent twice.
    const std::vector<tbemu::CapturedSegment> segments = {
        segment(true, 999, 0x02, ""), segment(false, 0, 0, read),
        segment(true, 1000 + 600, 0x18, stream.substr(600)), segment(true, 1000, 0x18, stream.substr(0, 300)),
        segment(true, 1000 + 300, 0x18, stream.substr(300, 300)), segment(true, 1000, 0x18, stream.substr(0, 300))};
    std::string error;
    auto replay = tbemu::Replay::FromSegments(segments, {50000, 41000}, error);
    ASSERT_TRUE(replay) << error;
    ASSERT_EQ(replay->Script().size(), 1u);
    ASSERT_EQ(replay->Script()[0].events.size(), 2u);

    NativeCommand_t live;
    live.Type = NATIVE_READ_WORD;
    live.Address = 0x10000040;
    const auto answer = replay->Answer(live, 42);
    ASSERT_TRUE(answer.has_value());
    // The stale answer keeps its distance from the command it came before.
    EXPECT_EQ((*answer)[0][4], 41);
    EXPECT_EQ((*answer)[1][4], 42);
    EXPECT_EQ(std::string((*answer)[1].begin() + 8, (*answer)[1].begin() + 10), "ok");
    EXPECT_TRUE(replay->Succeeded());

    EXPECT_FALSE(replay->Answer(live, 43).has_value());
    EXPECT_EQ(replay->Divergence(),
              "command 2 is past the end of the recording (1 commands): live NATIVE_READ_WORD_CMD address "
              "0x10000040 length 0 (#43)");
    EXPECT_FALSE(replay->Succeeded());
}

TEST(Replay, FirstDifferingCommandEndsTheReplay) {
    testsupport::TempDir dir;
    std::vector<tbemu::CapturedSegment> segments;
    std::string error;
    ASSERT_TRUE(tbemu::ParseCapture(Bytes8(Pcap(1, RecordedIpv4Packets(dir), false, false)), segments, error));
    auto replay = tbemu::Replay::FromSegments(segments, {}, error);
    ASSERT_TRUE(replay) << error;
    NativeCommand_t other;
    other.Type = NATIVE_READ_BUFFER;
    other.Address = 0x10000040;
    other.Length = 4;
    EXPECT_FALSE(replay->Answer(other, 3).has_value());
    EXPECT_EQ(replay->Status(),
              "played 0 of 1 recorded commands; diverged: command 1 of 1 differs: recorded NATIVE_READ_WORD_CMD "
              "address 0x10000040 length 0 (#7), live NATIVE_READ_BUFFER_CMD address 0x10000040 length 4 (#3)");
    other.Type = NATIVE_READ_WORD;
    other.Length = 0;
    EXPECT_FALSE(replay->Answer(other, 4).has_value()) << "nothing is answered after a divergence";
}

TEST(Replay, RefusesWhatIsNotASession) {
    testsupport::TempDir dir;
    const std::vector<std::string> packets = RecordedIpv4Packets(dir);
    const std::string whole = Pcap(1, packets, false, false);
    struct Case {
        std::string file;
        const char* error;
    };
    const Case cases[] = {
        {"ab", "too short for a capture file"},
        {"hello, world", "not a pcap or pcapng file"},
        {whole.substr(0, 20), "the pcap file header is cut short"},
        {whole.substr(0, 30), "the capture ends inside a record header at byte 24"},
        {whole.substr(0, 24 + 16 + 10), "the capture ends inside a packet at byte 24"},
        {Pcapng(1, packets).substr(0, 28) + Le(6, 4) + Le(7, 4) + Le(0, 4), "has an impossible length"},
        {Pcap(1, {packets[0]}, false, false), "no command packets (524-byte datagrams of version 1) in the capture"},
        {Pcap(1, {packets[4]}, false, false), "no event stream"},
    };
    for (const Case& test : cases) {
        std::vector<tbemu::CapturedSegment> segments;
        std::string error;
        const bool parsed = tbemu::ParseCapture(Bytes8(test.file), segments, error);
        if (parsed) {
            EXPECT_FALSE(tbemu::Replay::FromSegments(segments, {}, error));
        }
        EXPECT_NE(error.find(test.error), std::string::npos) << "got: " << error << "\nexpected: " << test.error;
    }
}
