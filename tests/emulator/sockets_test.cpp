// The emulator over real loopback sockets, driven by a tiny client that
// plays the library: answers and their numbers, the faults on answers and
// connections, the EEPROM file, and the hostile dispatcher.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "emulator_test_support.h"
#include "testsupport.h"

namespace emutest {
namespace {

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

}  // namespace
}  // namespace emutest
