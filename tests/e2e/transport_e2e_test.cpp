// The dispatcher transport end to end: native commands and console commands
// through the exports, against the emulated dispatcher and its faults.
#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform_tools.h"
#include "termbridge.h"

namespace {

using e2e::AsText;
using e2e::Bytes;
using e2e::Outcome;
using e2e::Send;

const std::string kData = TB_E2E_DATA_DIR "/transport/";
auto* const g_session = ::testing::AddGlobalTestEnvironment(
    new e2e::LibrarySession(kData + "list.txt", kData + "mac.map", kData + "phy.map"));

constexpr std::uint32_t kBufferAddress = 0xBFE30000;
constexpr int kShortTimeoutMs = 300;

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

std::string TimeoutText(const std::string& line) {
    return "Timeout Error: No Event occur for command : '" + line + " '";
}

class Transport : public e2e::EndToEnd {
protected:
    // The word a NATIVE_READ_WORD_CMD answer carries as text from byte 2.
    std::uint32_t ReadWord(std::uint32_t address) {
        const Outcome outcome = Send("NATIVE_READ_WORD_CMD " + Hex(address));
        EXPECT_EQ(outcome.rc, 0) << outcome.failure;
        if (outcome.result.size() < 3) {
            ADD_FAILURE() << "word answer of " << outcome.result.size() << " bytes";
            return 0;
        }
        return static_cast<std::uint32_t>(std::stoul(AsText(outcome.result).substr(2), nullptr, 16));
    }
    void WriteWord(std::uint32_t address, std::uint32_t value) {
        const Outcome outcome = Send("NATIVE_WRITE_WORD_CMD " + Hex(address) + " " + Hex(value));
        EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    }
};

TEST_F(Transport, NativeWordAndBufferCommandsRoundTrip) {
    WriteWord(0xBFC00100, 0x12345678);
    EXPECT_EQ(Emulator().ReadMemory(0xBFC00100, 4), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(ReadWord(0xBFE00100), 0x12345678u);  // the console window shows the same word

    Outcome outcome = Send("NATIVE_WRITE_BUFFER_CMD 0xBF540010 5 1 2 3 0x1FF 7");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    outcome = Send("NATIVE_READ_BUFFER_CMD 0xBF540010 5");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, (Bytes{1, 2, 3, 0xFF, 7}));
    EXPECT_EQ(outcome.text, "010203ff07");
    EXPECT_EQ(outcome.failure, "");

    // A long answer: memory the chip already holds.
    Bytes block(300);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 5 + 1);
    Emulator().WriteMemory(0xBF541000, block);
    outcome = Send("NATIVE_READ_BUFFER_CMD 0xBF541000 300");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, block);
}

TEST_F(Transport, EepromAndPipeCommandsRoundTrip) {
    Outcome outcome = Send("NATIVE_WRITE_EEPROM_CMD 0x10 3 0xaa 0xbb 0xcc");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(Emulator().Eeprom(0x10, 3), (Bytes{0xAA, 0xBB, 0xCC}));
    outcome = Send("NATIVE_READ_EEPROM_CMD 0x0F 5");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, (Bytes{0xFF, 0xAA, 0xBB, 0xCC, 0xFF}));
    outcome = Send("NATIVE_COMMAND_PIPE_CMD 1 0xBFC23800");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(AsText(outcome.result), "OK");
}

TEST_F(Transport, DroppedAnswerTimesOutAndTheNextCommandWorks) {
    WriteWord(0xBF540100, 0xA1);
    Emulator().Do("drop-next");
    const std::string line = "NATIVE_READ_WORD_CMD 0xBF540100";
    const Outcome lost = Send(line, kShortTimeoutMs);
    EXPECT_EQ(lost.rc, 1);
    EXPECT_EQ(lost.failure, TimeoutText(line));
    EXPECT_TRUE(lost.result.empty());
    EXPECT_EQ(ReadWord(0xBF540100), 0xA1u);
}

TEST_F(Transport, AnswersCarryingAnotherPacketNumberAreDropped) {
    WriteWord(0xBF540200, 0xB2);
    WriteWord(0xBF540204, 0xC3);

    Emulator().Do("wrong-number");
    EXPECT_EQ(Send("NATIVE_READ_WORD_CMD 0xBF540200", kShortTimeoutMs).rc, 1);

    // A stale answer ahead of the right one is passed over.
    Emulator().Do("stale");
    const Outcome outcome = Send("NATIVE_READ_BUFFER_CMD 0xBF540200 4");
    EXPECT_EQ(outcome.rc, 0) << outcome.failure;
    EXPECT_EQ(outcome.result, (Bytes{0, 0, 0, 0xB2}));

    // An answer that comes after its command timed out is not taken for the
    // next command's.
    Emulator().Do("delay 800");
    EXPECT_EQ(Send("NATIVE_READ_WORD_CMD 0xBF540200", 200).rc, 1);
    Emulator().Do("delay 0");
    EXPECT_EQ(ReadWord(0xBF540204), 0xC3u);
}

// Every answer comes a little later than its command's time-out; the next
// command is sent at once or a moment later, while the late answer is on its
// way. A late answer must never become the next command's result, nor end
// its wait early.
TEST_F(Transport, LateAnswersNeverBecomeTheNextCommandsResult) {
    constexpr int kDelayMs = 10;
    constexpr int kTrials = 150;
    WriteWord(0xBF540600, 0x11111111);
    WriteWord(0xBF540604, 0x22222222);
    Emulator().Do("delay " + std::to_string(kDelayMs));
    int wrong = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        const Outcome first = Send("NATIVE_READ_WORD_CMD 0xBF540600", kDelayMs - 1);
        if (first.rc == 0) {
            EXPECT_EQ(AsText(first.result).substr(2, 8), "11111111");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (trial % 4)));
        const Outcome second = Send("NATIVE_READ_WORD_CMD 0xBF540604");
        if (second.rc != 0 || second.result.size() < 10 || AsText(second.result).substr(2, 8) != "22222222") {
            ++wrong;
            ADD_FAILURE() << "trial " << trial << ": rc " << second.rc << ", result '" << AsText(second.result)
                          << "', failure '" << second.failure << "'";
        }
        if (wrong > 3) break;
    }
    Emulator().Do("delay 0");
}

// Repaired from the previous event, the oversized answer would be zeros of
// the previous event's length passed off as the word: it answers nothing.
TEST_F(Transport, OversizedAnswerFailsItsCommand) {
    WriteWord(0xBF540300, 0xD4);
    EXPECT_EQ(ReadWord(0xBF540300), 0xD4u);  // an answer of 11 bytes
    Emulator().Do("oversize");
    const std::string line = "NATIVE_READ_WORD_CMD 0xBF540300";
    const Outcome outcome = Send(line, kShortTimeoutMs);
    EXPECT_EQ(outcome.rc, 1);
    EXPECT_EQ(outcome.failure, TimeoutText(line));
    EXPECT_TRUE(outcome.result.empty());
    EXPECT_EQ(ReadWord(0xBF540300), 0xD4u);
}

TEST_F(Transport, AnswersSplitAcrossWritesAreReassembled) {
    Bytes block(200);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(255 - i);
    Emulator().WriteMemory(0xBF542000, block);
    for (const char* split : {"split 7", "split 519", "split 1000"}) {
        Emulator().Do(split);
        for (int round = 0; round < 2; ++round) {
            const Outcome outcome = Send("NATIVE_READ_BUFFER_CMD 0xBF542000 200");
            EXPECT_EQ(outcome.rc, 0) << split << ": " << outcome.failure;
            EXPECT_EQ(outcome.result, block) << split;
        }
        // A console command's answer and event cut across their boundary.
        EXPECT_EQ(Send("MAC_BLOCK_CMD").rc, 0) << split;
    }
}

TEST_F(Transport, SecondDispatcherConnectionReplacesTheFirst) {
    WriteWord(0xBF540400, 0xE5);
    const std::size_t before = Emulator().Count().connections;
    Emulator().Do("reconnect");
    EXPECT_EQ(ReadWord(0xBF540400), 0xE5u);
    EXPECT_EQ(Emulator().Count().connections, before + 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadWord(0xBF540400), 0xE5u);
}

TEST_F(Transport, ClosedDispatcherConnectionIsLeftWithoutSpinning) {
    WriteWord(0xBF540500, 0xF6);
    Emulator().Do("disconnect 3000");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpuBefore = platform::ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // A thread reading a closed socket in a loop would burn the whole second.
    EXPECT_LT(platform::ProcessCpuSeconds() - cpuBefore, 0.5);
    EXPECT_EQ(ReadWord(0xBF540500), 0xF6u);  // the emulator connects again to answer
}

TEST_F(Transport, ConsoleCommandGoesThroughTheMailboxInChunks) {
    const e2e::EmulatorControl::Counts before = Emulator().Count();
    const Outcome outcome = Send("MAC_BLOCK_CMD w8=0x55667788");
    ASSERT_EQ(outcome.rc, 0) << outcome.failure;
    // The chip echoes what it took from the mailbox: the 4-byte header and
    // the 36-byte structure, big-endian.
    ASSERT_EQ(outcome.result.size(), 40u);
    EXPECT_EQ(outcome.result[0], 0x0A);
    EXPECT_EQ(outcome.result[1], 0x01);
    EXPECT_EQ(Bytes(outcome.result.begin() + 4, outcome.result.begin() + 8), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(Bytes(outcome.result.begin() + 36, outcome.result.end()), (Bytes{0x55, 0x66, 0x77, 0x88}));

    const e2e::EmulatorControl::MailboxEntry taken = Emulator().Mailbox(-1);
    EXPECT_EQ(taken.bytes, outcome.result);
    const std::vector<std::pair<int, std::uint32_t>> chunks{
        {16, kBufferAddress}, {16, kBufferAddress + 16}, {8, kBufferAddress + 32}};
    EXPECT_EQ(taken.writes, chunks);
    const e2e::EmulatorControl::Counts after = Emulator().Count();
    EXPECT_EQ(after.mailbox, before.mailbox + 1);
    // One counter read, three chunks, the counter write.
    EXPECT_EQ(after.packets - before.packets, 5u);

    // The next MAC command carries the next sequence number; one that needs
    // no response returns at once with an empty result.
    const Outcome quiet = Send("MAC_BLOCK_QUIET_CMD");
    EXPECT_EQ(quiet.rc, 0) << quiet.failure;
    EXPECT_TRUE(quiet.result.empty());
    const Bytes quietTaken = Emulator().Mailbox(-1).bytes;
    ASSERT_EQ(quietTaken.size(), 40u);
    EXPECT_EQ(quietTaken[1], 0x02);
    EXPECT_EQ(quietTaken[2], static_cast<std::uint8_t>(outcome.result[2] + 1));
}

TEST_F(Transport, BusyMailboxCounterIsReadTenTimesAndNothingIsWritten) {
    e2e::EmulatorControl::Counts before = Emulator().Count();
    Emulator().Do("busy always");
    const Outcome refused = Send("MAC_BLOCK_CMD");
    EXPECT_EQ(refused.rc, 1);
    EXPECT_EQ(refused.failure, "Error: Failed to Send Command : 'MAC_BLOCK_CMD '");
    e2e::EmulatorControl::Counts after = Emulator().Count();
    EXPECT_EQ(after.counterReads - before.counterReads, 10u);
    EXPECT_EQ(after.packets - before.packets, 10u) << "only the counter reads, no writes";
    EXPECT_EQ(after.mailbox, before.mailbox);

    // A counter that frees up after three reads lets the command through.
    Emulator().Do("busy 3");
    before = after;
    EXPECT_EQ(Send("MAC_BLOCK_CMD").rc, 0);
    after = Emulator().Count();
    EXPECT_EQ(after.counterReads - before.counterReads, 4u);
    EXPECT_EQ(after.mailbox, before.mailbox + 1);
}

TEST_F(Transport, LostChunkAnswerEndsTheCommandWithinTheInternalTimeout) {
    setInternalCommandTimeout(kShortTimeoutMs);
    const e2e::EmulatorControl::Counts before = Emulator().Count();
    // Answered commands are counted from 1; the second of this command is its
    // first chunk (after the counter read).
    const std::size_t answered = before.packets - before.system;
    Emulator().Do("drop " + std::to_string(answered + 2));
    const Outcome outcome = Send("MAC_BLOCK_CMD");
    setInternalCommandTimeout(1000);
    EXPECT_EQ(outcome.rc, 1);
    EXPECT_EQ(Emulator().Count().mailbox, before.mailbox) << "the counter was never written";
    EXPECT_EQ(Send("MAC_BLOCK_CMD").rc, 0);
}

TEST_F(Transport, SystemCommandsReachTheDispatcher) {
    using Commands = std::vector<std::pair<unsigned, unsigned long>>;
    const Commands atStart = Emulator().SystemCommands();
    ASSERT_FALSE(atStart.empty());
    EXPECT_EQ(atStart.front(), (std::pair<unsigned, unsigned long>{3, 0})) << "the start-up sync";

    setLogSeverity(3);
    setLogSeverity(2);
    EXPECT_EQ(SyncChipAccess(), 0);
    ASSERT_TRUE(e2e::WaitFor([&] { return Emulator().SystemCommands().size() == atStart.size() + 3; }));
    const Commands now = Emulator().SystemCommands();
    const Commands added(now.end() - 3, now.end());
    EXPECT_EQ(added, (Commands{{2, 3}, {2, 2}, {3, 0}}));
}

}  // namespace
