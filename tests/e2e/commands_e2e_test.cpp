// Console commands end to end with the example definition set: PHY and MAC
// commands executed by the emulated chip, memory commands by symbol and by
// structure field, captures returned in fragments, and the lines a
// command's road leaves in the log at each severity.
#include "e2e_support.h"

#include <limits>
#include <string>

#include "termbridge.h"
#include "termbridge_ext.h"
#include "testsupport.h"

namespace {

using e2e::AsText;
using e2e::Bytes;
using e2e::Outcome;
using e2e::Send;

[[maybe_unused]] auto* const g_session = e2e::AddExampleSession();

const std::string kStatusOk = "PHYC_STATUS_OK ";
const std::string kAdaptFailure = "Error!!! Failed to adapt console event. ";
// The tunnel packet's header in front of the PHY command, and the offset of
// the command's sequence byte in the packet.
constexpr std::size_t kTunnelHeader = 8;
constexpr std::size_t kSequenceInPacket = kTunnelHeader + 2;

std::string TimeoutText(const std::string& line) {
    return "Timeout Error: No Event occur for command : '" + line + " '";
}

using Commands = e2e::EndToEnd;

TEST_F(Commands, PhyCommandAnswersWithItsStatusText) {
    const Outcome outcome = Send("PHYC_SET_CHANNEL_CMD channel=3");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(AsText(outcome.result), kStatusOk);
    EXPECT_EQ(outcome.failure, "");

    // What reached the mailbox: the full tunnel form around the 12-byte command.
    const Bytes packet = Emulator().Mailbox(-1).bytes;
    ASSERT_EQ(packet.size(), 20u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + kTunnelHeader),
              (Bytes{0x0F, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0C}));
    EXPECT_EQ(packet[kTunnelHeader], 0x10);       // opcode
    EXPECT_EQ(packet[kTunnelHeader + 4], 0x0C);  // length byte
    EXPECT_EQ(Bytes(packet.begin() + 16, packet.end()), (Bytes{0x03, 0x01, 0x00, 0x00}));
}

TEST_F(Commands, PhySequenceByteAdvancesPerCommand) {
    EXPECT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0);
    const Bytes first = Emulator().Mailbox(-1).bytes;
    EXPECT_EQ(Send("PHYC_SET_GAIN_CMD gain=-2").rc, 0);
    const Bytes second = Emulator().Mailbox(-1).bytes;
    ASSERT_GT(first.size(), kSequenceInPacket);
    ASSERT_GT(second.size(), kSequenceInPacket);
    EXPECT_EQ(second[kSequenceInPacket], static_cast<std::uint8_t>(first[kSequenceInPacket] + 1));
    EXPECT_EQ(second[kTunnelHeader + 8], 0xFE) << "gain -2 as a signed byte";
}

TEST_F(Commands, FailingOrUnknownStatusReturnsOne) {
    Emulator().Do("fail PHYC_SET_GAIN_CMD PHYC_STATUS_BUSY");
    Outcome outcome = Send("PHYC_SET_GAIN_CMD gain=1");
    EXPECT_EQ(outcome.rc, 1);
    EXPECT_EQ(outcome.failure, kAdaptFailure);
    EXPECT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0) << "only the named command fails";
    Emulator().Do("succeed PHYC_SET_GAIN_CMD");
    EXPECT_EQ(Send("PHYC_SET_GAIN_CMD gain=1").rc, 0);

    Emulator().Do("event-fault unknown-status");
    outcome = Send("PHYC_GET_STATUS_CMD");
    EXPECT_EQ(outcome.rc, 1);
    EXPECT_EQ(outcome.failure, kAdaptFailure);
}

TEST_F(Commands, BrokenEventHeadersFailTheCommand) {
    for (const char* fault : {"event-fault bad-ctrl", "event-fault bad-source", "event-fault unknown-event"}) {
        Emulator().Do(fault);
        const Outcome outcome = Send("PHYC_GET_STATUS_CMD");
        EXPECT_EQ(outcome.rc, 1) << fault;
        EXPECT_EQ(outcome.failure, kAdaptFailure) << fault;
    }
    EXPECT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0);
}

TEST_F(Commands, MacCommandResultIsTheEncodedCommand) {
    Outcome outcome = Send("UMAC_SET_MODE_CMD mode=3, powerOffset=-2");
    ASSERT_EQ(outcome.rc, 0) << outcome.failure;
    ASSERT_EQ(outcome.result.size(), 12u);
    EXPECT_EQ(outcome.result[0], 0x01);  // opcode 0x0101, big-endian
    EXPECT_EQ(outcome.result[1], 0x01);
    EXPECT_EQ(Bytes(outcome.result.begin() + 4, outcome.result.end()),
              (Bytes{0x03, 0x00, 0x03, 0xE8, 0xFF, 0xFF, 0xFF, 0xFE}))
        << "mode, reserved, the default timeout 1000, powerOffset";
    const std::uint8_t sequence = outcome.result[2];

    // Answered in several events: the result is the final one's.
    Emulator().Do("mac-events 3");
    outcome = Send("UMAC_SET_ADDRESS_CMD addressHigh=0x1234, addressLow=0x56789ABC");
    ASSERT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, (Bytes{0x01, 0x00, static_cast<std::uint8_t>(sequence + 1), 0x00, 0x12,
                                     0x34, 0x56, 0x78, 0x9A, 0xBC}));
}

TEST_F(Commands, MemoryCommandsRoundTripThroughChipMemory) {
    // By symbol: the MAC symbol through the console window, the PHY one
    // through the PHY window.
    EXPECT_EQ(Send("MEM_WRITE MAC_FILE_TYPE majorVersion 4 0x01020304").rc, 0);
    EXPECT_EQ(Emulator().ReadMemory(0xBFC12000, 4), (Bytes{1, 2, 3, 4}));
    Outcome outcome = Send("MEM_READ MAC_FILE_TYPE majorVersion 4");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, (Bytes{1, 2, 3, 4}));

    EXPECT_EQ(Send("MEM_WRITE PHY_FILE_TYPE g_phyState 2 300").rc, 0);
    EXPECT_EQ(Emulator().ReadMemory(0xBF548100, 2), (Bytes{0x01, 0x2C}));
    outcome = Send("MEM_READ PHY_FILE_TYPE g_phyState 2");
    EXPECT_EQ(outcome.result, (Bytes{0x01, 0x2C}));

    // By structure field.
    EXPECT_EQ(Send("MEM_WRITE STRUCT MAC_STATS crcErrors 0x11223344").rc, 0);
    EXPECT_EQ(Emulator().ReadMemory(0xBFC12348, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    outcome = Send("MEM_READ STRUCT MAC_STATS crcErrors");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.text, "11223344");

    EXPECT_EQ(Send("MEM_WRITE STRUCT PHY_STATE agcState 0x0102").rc, 0);
    EXPECT_EQ(Emulator().ReadMemory(0xBF548102, 2), (Bytes{0x01, 0x02}));
    outcome = Send("MEM_READ STRUCT PHY_STATE agcState");
    EXPECT_EQ(outcome.result, (Bytes{0x01, 0x02}));
}

// The dispatcher's refusal and a read that brings fewer bytes than asked
// fail the command: neither is data.
TEST_F(Commands, RefusedOrShortAnswerFailsTheCommand) {
    const struct {
        const char* line;
        const char* failure;
    } cases[] = {
        {"NATIVE_WRITE_EEPROM_CMD 0xFFFF 2 0x01 0x02", "Error!!! The dispatcher refused the Native Command!!!"},
        {"NATIVE_READ_EEPROM_CMD 0xFFF0 32", "Error!!! The answer holds 3 bytes where the read asked for 32: no data!!!"},
    };
    for (const auto& test : cases) {
        const Outcome outcome = Send(test.line);
        EXPECT_EQ(outcome.rc, 1) << test.line;
        EXPECT_EQ(outcome.failure, test.failure) << test.line;
        EXPECT_TRUE(outcome.result.empty()) << test.line;
    }
    const Outcome read = Send("NATIVE_READ_EEPROM_CMD 0x10 4");
    EXPECT_EQ(read.rc, 0) << read.failure;
    EXPECT_EQ(read.result.size(), 4u);
}

// A host that reads the result buffer as text sees this command's bytes
// only: never the tail of a longer earlier result, nothing after a failure.
TEST_F(Commands, ResultBufferReadAsTextEndsWithThisCommandsBytes) {
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    Emulator().WriteMemory(0x10000040, Bytes(letters.begin(), letters.end()));
    ASSERT_EQ(Send("NATIVE_READ_BUFFER_CMD 0x10000040 36").rc, 0);
    EXPECT_EQ(std::string(getResultBuffer()), letters);
    ASSERT_EQ(Send("NATIVE_READ_BUFFER_CMD 0x10000044 4").rc, 0);
    EXPECT_EQ(std::string(getResultBuffer()), "EFGH");
    ASSERT_EQ(Send("NATIVE_WRITE_EEPROM_CMD 0xFFFF 2 0x01 0x02").rc, 1);
    EXPECT_EQ(std::string(getResultBuffer()), "");
}

TEST_F(Commands, CaptureInManyFragmentsComesBackWhole) {
    Emulator().Do("capture-length 3000");
    Emulator().Do("fragment-bytes 100");
    const Outcome outcome = Send("PHYC_CAPTURE_DATA_CMD length=3000");
    ASSERT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, testsupport::EmulatorCapturePattern(3000));
}

TEST_F(Commands, SpoiltCaptureEndsInTheTimeoutAndTheNextCommandWorks) {
    Emulator().Do("capture-length 600");
    const std::string line = "PHYC_CAPTURE_DATA_CMD";
    for (const char* fault :
         {"event-fault missing-fragment", "event-fault out-of-order", "event-fault last-fragment-bit"}) {
        Emulator().Do(fault);
        const Outcome outcome = Send(line, 500);
        EXPECT_EQ(outcome.rc, 1) << fault;
        EXPECT_EQ(outcome.failure, TimeoutText(line)) << fault;
        EXPECT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0) << "after " << fault;
    }
    const Outcome whole = Send(line);
    EXPECT_EQ(whole.rc, 0) << whole.failure;
    EXPECT_EQ(whole.result, testsupport::EmulatorCapturePattern(600));
}

TEST_F(Commands, CommandNeedingNoResponseReturnsAtOnce) {
    // Declared WAIT_NOT_NEEDED: no event comes, so waiting for one would end
    // in the time-out.
    const Outcome outcome = Send("PHYC_RESET_CMD");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_TRUE(outcome.result.empty());
    // The tunnel type travels header-less: opcode and parameter length only.
    EXPECT_EQ(Emulator().Mailbox(-1).bytes, (Bytes{0x0F, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00}));
    EXPECT_EQ(Send("PHYC_GET_STATUS_CMD").rc, 0);
}

// The log is the user's record of what the library did. A row's line is
// written from its level on, a native command's packet dump at severity 3
// itself only, and an event packet's dump never: the transport decides once,
// when it starts, at the application's starting severity 2.
TEST_F(Commands, LogLinesFollowTheSeverity) {
    constexpr int kNever = std::numeric_limits<int>::max();
    const struct {
        const char* line;
        int from;                                      // the lowest severity that writes it
        int upTo = std::numeric_limits<int>::max();  // the highest
    } rows[] = {
        {"<FWLoader>Error!!! Couldn't open Firmware file for loading firmware software!!!!", 1},
        {"<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!", 1},
        {"<ConsoleAppLogic>Handle command: NATIVE_READ_WORD_CMD 0xbf540400", 2},
        {"<ConsoleAppLogic>Sending Native Command Struct: ", 2},
        {"<ConsoleAppSockets> sendto() method", 2},
        {"<PacketHandler>Received Event #", 2},
        {"<ConsoleAppLogic>Handling Incoming Native Response Event: ", 2},
        {"<StructAccess> channel=3 , base = 10,fieldSize = 1", 2},
        {"<ConsoleAppLogic>Sending Phy Command: ", 2},
        {"<ConsoleNativeAdapter>Building NATIVE_READ_WORD_CMD Struct", 3},
        {" : 00 00 00 00 00 04 54 bf 00 00 00 00 ", 3},  // the native command's record
        {"<TrafficManager>Sending Native Command!!!", 3},
        {"<TrafficManager>Reading MAC_COMMAND_COUNTER value", 3},
        {"<PacketHandler>RX Buffer's Len=", 3},
        {"<TrafficManager>HandleEvent : Event caused by External Operation", 3},
        {"<PacketHandler>Native Command Udp Packet(In Hex Format):", 3, 3},
        {"<PacketHandler>Event Udp Packet(In Hex Format):", kNever},
    };
    const testsupport::TempDir dir;
    const std::string missingPackage = dir.File("missing.fwp");
    for (int severity = 1; severity <= 4; ++severity) {
        SCOPED_TRACE("severity " + std::to_string(severity));
        setLogSeverity(severity);
        const std::string log = tbx_getLogFilePath();
        ASSERT_FALSE(log.empty()) << "the library writes no log";
        const std::size_t before = testsupport::ReadFile(log).size();
        EXPECT_EQ(LoadFW(missingPackage.c_str()), 1);
        EXPECT_EQ(Send("NATIVE_READ_WORD_CMD 0xbf540400").rc, 0);
        EXPECT_EQ(Send("PHYC_SET_CHANNEL_CMD channel=3").rc, 0);
        const std::string written = testsupport::ReadFile(log).substr(before);
        for (const auto& row : rows) {
            const bool expected = severity >= row.from && severity <= row.upTo;
            EXPECT_EQ(written.find(row.line) != std::string::npos, expected) << row.line;
        }
    }
    setLogSeverity(2);
}

}  // namespace

// The result text holds two digits per byte and a terminator within 131070
// characters: a 65534-byte capture still fits, a 65535-byte one does not.
TEST_F(Commands, LargestCaptureAndTheResultTextLimit) {
    Emulator().Do("fragment-bytes 239");
    Emulator().Do("capture-length 65534");
    ASSERT_EQ(sendCommand("PHYC_CAPTURE_DATA_CMD", 30000), 0) << getFailureMessage();
    ASSERT_EQ(getResultLen(), 65534);
    const std::string text = getResultBufferText();
    EXPECT_EQ(text.size(), 2u * 65534);
    const Bytes expected = testsupport::EmulatorCapturePattern(65534);
    std::string expectedText;
    for (const std::uint8_t byte : expected) {
        static const char kDigits[] = "0123456789abcdef";
        expectedText += kDigits[byte >> 4];
        expectedText += kDigits[byte & 0x0F];
    }
    EXPECT_EQ(text, expectedText);

    Emulator().Do("capture-length 65535");
    ASSERT_EQ(sendCommand("PHYC_CAPTURE_DATA_CMD", 30000), 0) << getFailureMessage();
    ASSERT_EQ(getResultLen(), 65535);
    EXPECT_STREQ(getResultBufferText(), "");
    EXPECT_STREQ(getFailureMessage(), "Results Exceed the MAX_RESULT_BUFFER_LIMIT");
    EXPECT_EQ(getResultLen(), 0);
    Emulator().Do("fragment-bytes 200");
    Emulator().Do("capture-length 1000");
}
