// Command execution behind the mailbox: the definition set's commands,
// PHY commands in both forms, captures in fragments, MAC commands echoed,
// and the faults that spoil the next events.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commandexecutor.h"
#include "definitions.h"
#include "emulator_test_support.h"
#include "packets.h"
#include "structaccess.h"
#include "testsupport.h"

namespace emutest {
namespace {

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

}  // namespace
}  // namespace emutest
