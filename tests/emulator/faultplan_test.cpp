// The emulator's fault plan without sockets: faults armed, then the commands
// the chip answered, and what the plan decided for each reply, several
// faults at once included (the order faultplan.h writes down).

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "faultplan.h"

namespace {

using tbemu::FaultPlan;
using tbemu::ReplyFaults;

// A command the chip answered, as far as the faults care.
struct Answered {
    std::uint16_t type;
    std::uint16_t param;
    bool answerHasBytes;
    bool hasEvents;
};

const Answered kWord{NATIVE_READ_WORD, 0, true, false};
const Answered kWithEvents{NATIVE_WRITE_WORD, 0, true, true};  // a counter write the chip executes
const Answered kReadBack{NATIVE_READ_BUFFER, 0, true, false};
const Answered kEmptyReadBack{NATIVE_READ_BUFFER, 0, false, false};
const Answered kEeprom{NATIVE_READ_EEPROM, 0, true, false};
const Answered kRun{NATIVE_COMMAND_PIPE, tbemu::kRunCommandType, false, false};

ReplyFaults Answer(FaultPlan& plan, const Answered& answered) {
    NativeCommand_t command{};
    command.Type = answered.type;
    command.AdditionalParam = answered.param;
    return plan.ForChipReply(command, answered.answerHasBytes, answered.hasEvents);
}

// The decisions in words, in a fixed order; "-" for none.
std::string Decided(const ReplyFaults& reply) {
    std::string words;
    const std::pair<bool, const char*> flags[] = {
        {reply.invertEepromData, "invert-data"}, {reply.refusedRun, "refused"},
        {reply.invertFirstByte, "invert-first"}, {reply.staleFirst, "stale"},
        {reply.dropAnswer, "drop"},              {reply.wrongNumber, "wrong-number"},
        {reply.oversize, "oversize"},            {reply.dropEvents, "drop-events"},
        {reply.reconnectFirst, "reconnect"},
    };
    for (const auto& [set, word] : flags) {
        if (set) words += (words.empty() ? "" : " ") + std::string(word);
    }
    return words.empty() ? "-" : words;
}

struct PlanCase {
    const char* name;
    std::function<void(FaultPlan&)> arm;
    std::vector<Answered> commands;
    std::vector<const char*> decisions;  // one per command
};

const PlanCase kCases[] = {
    {"drop <n> does not take drop-next", [](FaultPlan& p) { p.DropAnswerTo(1); p.DropNextAnswers(1); },
     {kWord, kWord, kWord}, {"drop", "drop", "-"}},
    {"an EEPROM drop takes drop-next too",
     [](FaultPlan& p) { p.ArmEepromChunkFault(tbemu::EepromChunkFault::Drop, 1); p.DropNextAnswers(1); },
     {kEeprom, kWord}, {"drop", "-"}},
    {"EEPROM commands are counted apart",
     [](FaultPlan& p) {
         p.ArmEepromChunkFault(tbemu::EepromChunkFault::Corrupt, 2);
         p.ArmEepromChunkFault(tbemu::EepromChunkFault::Drop, 2);
     },
     {kEeprom, kWord, kEeprom, kEeprom}, {"-", "-", "invert-data drop", "-"}},
    {"a refused run takes drop-next", [](FaultPlan& p) { p.RefuseRun(true); p.DropNextAnswers(1); },
     {kRun, kWord, kRun}, {"refused drop", "-", "refused drop"}},
    {"read-back faults count buffer reads only",
     [](FaultPlan& p) { p.CorruptReadBack(1); p.DropReadBack(2); },
     {kWord, kReadBack, kReadBack, kReadBack}, {"-", "invert-first", "drop", "-"}},
    {"a read-back without bytes keeps them", [](FaultPlan& p) { p.CorruptReadBack(1); },
     {kEmptyReadBack, kReadBack}, {"-", "-"}},
    {"stale goes before a dropped answer too", [](FaultPlan& p) { p.StaleAnswerBeforeNext(1); p.DropNextAnswers(1); },
     {kWord, kWord}, {"stale drop", "-"}},
    {"wrong-number and oversize wait for an answer that is sent",
     [](FaultPlan& p) { p.DropNextAnswers(1); p.WrongNumberForNextAnswers(1); p.OversizeNextAnswers(2); },
     {kWord, kWord, kWord, kWord}, {"drop", "wrong-number oversize", "oversize", "-"}},
    {"drop-events waits for events, answered or not",
     [](FaultPlan& p) { p.DropNextEvents(2); p.DropNextAnswers(2); },
     {kWord, kWithEvents, kWithEvents, kWithEvents}, {"drop", "drop drop-events", "drop-events", "-"}},
    {"reconnect is taken by a reply that sends nothing",
     [](FaultPlan& p) { p.ReconnectBeforeNextAnswer(); p.DropNextAnswers(1); },
     {kWord, kWord}, {"drop reconnect", "-"}},
    {"reset ends every fault; the command count goes on",
     [](FaultPlan& p) {
         Answer(p, kWord);
         p.StaleAnswerBeforeNext(3);
         p.DropAnswerTo(3);
         p.Clear();
         p.DropAnswerTo(2);
     },
     {kWord, kWord}, {"drop", "-"}},
};

TEST(FaultPlan, DecidesEachReplyInTheWrittenOrder) {
    for (const PlanCase& c : kCases) {
        FaultPlan plan;
        c.arm(plan);
        ASSERT_EQ(c.commands.size(), c.decisions.size()) << c.name;
        for (std::size_t i = 0; i < c.commands.size(); ++i) {
            EXPECT_EQ(Decided(Answer(plan, c.commands[i])), c.decisions[i]) << c.name << ", command " << i + 1;
        }
    }
}

// A counted delay ends with its last reply; without a count it stays.
TEST(FaultPlan, DelaysRepliesWhileCounted) {
    FaultPlan plan;
    plan.SetAnswerDelay(50, 2);
    EXPECT_EQ(plan.TakeDelayMs(), 50);
    EXPECT_EQ(plan.TakeDelayMs(), 50);
    EXPECT_EQ(plan.TakeDelayMs(), 0);
    plan.SetAnswerDelay(30, 0);
    for (int reply = 0; reply < 3; ++reply) EXPECT_EQ(plan.TakeDelayMs(), 30);
}

}  // namespace
