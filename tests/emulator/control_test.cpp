// The emulator's control channel: lines that set faults and report, and a
// definition set given at run time.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "control.h"
#include "emulator_test_support.h"
#include "testsupport.h"

namespace emutest {
namespace {

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

}  // namespace
}  // namespace emutest
