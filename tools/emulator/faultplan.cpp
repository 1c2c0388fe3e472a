#include "faultplan.h"

#include <algorithm>
#include <utility>

namespace tbemu {

void FaultPlan::DropAnswerTo(std::uint64_t commandNumber) { faults_.dropAnswerTo.insert(commandNumber); }
void FaultPlan::DropNextAnswers(int count) { faults_.dropNext = count; }
void FaultPlan::DropNextEvents(int count) { faults_.dropEventsNext = count; }

void FaultPlan::SetAnswerDelay(int milliseconds, int replies) {
    faults_.delayMs = std::max(0, milliseconds);
    faults_.delayedLeft = std::max(0, replies);
}

void FaultPlan::WrongNumberForNextAnswers(int count) { faults_.wrongNumberNext = count; }
void FaultPlan::StaleAnswerBeforeNext(int count) { faults_.staleBeforeNext = count; }
void FaultPlan::OversizeNextAnswers(int count) { faults_.oversizeNext = count; }
void FaultPlan::SplitWrites(std::size_t pieceBytes) { faults_.splitBytes = pieceBytes; }
void FaultPlan::ReconnectBeforeNextAnswer() { faults_.reconnectBeforeNext = true; }

void FaultPlan::CorruptReadBack(std::uint64_t n) {
    faults_.corruptReadBack = n;
    faults_.readBacksSeen = 0;
}

void FaultPlan::DropReadBack(std::uint64_t n) {
    faults_.dropReadBack = n;
    faults_.readBacksSeen = 0;
}

void FaultPlan::RefuseRun(bool refuse) { faults_.refuseRun = refuse; }

void FaultPlan::ArmEepromChunkFault(EepromChunkFault fault, std::uint64_t n) {
    auto& chunks = fault == EepromChunkFault::Drop ? faults_.dropEepromAnswerTo : faults_.corruptEepromAnswerTo;
    chunks.insert(eepromCommands_ + n);
}

void FaultPlan::SetHostileMode(HostileMode mode) { faults_.hostile = mode; }
void FaultPlan::ConnectFrom(const std::string& sourceAddress) { faults_.sourceAddress = sourceAddress; }

bool FaultPlan::RefusesRun(const NativeCommand_t& command) const {
    return faults_.refuseRun && command.Type == NATIVE_COMMAND_PIPE && command.AdditionalParam == kRunCommandType;
}

bool FaultPlan::TakeCountedFault(int& remaining) {
    if (remaining <= 0) return false;
    --remaining;
    return true;
}

// The steps are those of the header's list, in its order.
ReplyFaults FaultPlan::ForChipReply(const NativeCommand_t& command, bool answerHasBytes, bool hasEvents) {
    ReplyFaults reply;
    reply.commandNumber = ++answeredCommands_;
    ApplyEepromChunkFaults(command, reply);
    const bool dropAsked = faults_.dropAnswerTo.erase(reply.commandNumber) > 0 || TakeCountedFault(faults_.dropNext);
    reply.dropAnswer = reply.dropAnswer || dropAsked;
    reply.refusedRun = RefusesRun(command);
    reply.dropAnswer = reply.dropAnswer || reply.refusedRun;
    if (command.Type == NATIVE_READ_BUFFER) ApplyReadBackFaults(answerHasBytes, reply);
    reply.staleFirst = TakeCountedFault(faults_.staleBeforeNext);
    if (!reply.dropAnswer) {
        reply.wrongNumber = TakeCountedFault(faults_.wrongNumberNext);
        reply.oversize = TakeCountedFault(faults_.oversizeNext);
    }
    reply.dropEvents = hasEvents && TakeCountedFault(faults_.dropEventsNext);
    reply.reconnectFirst = TakeReconnect();
    return reply;
}

void FaultPlan::ApplyEepromChunkFaults(const NativeCommand_t& command, ReplyFaults& reply) {
    if (command.Type != NATIVE_READ_EEPROM && command.Type != NATIVE_WRITE_EEPROM) return;
    reply.eepromCommand = ++eepromCommands_;
    reply.invertEepromData = faults_.corruptEepromAnswerTo.erase(reply.eepromCommand) > 0;
    reply.dropAnswer = faults_.dropEepromAnswerTo.erase(reply.eepromCommand) > 0;
}

void FaultPlan::ApplyReadBackFaults(bool answerHasBytes, ReplyFaults& reply) {
    reply.readBack = ++faults_.readBacksSeen;
    if (reply.readBack == faults_.corruptReadBack && answerHasBytes) {
        reply.invertFirstByte = true;
        faults_.corruptReadBack = 0;
    }
    if (reply.readBack == faults_.dropReadBack) {
        reply.dropAnswer = true;
        faults_.dropReadBack = 0;
    }
}

bool FaultPlan::TakeReconnect() { return std::exchange(faults_.reconnectBeforeNext, false); }

// A counted delay ends with its last reply.
int FaultPlan::TakeDelayMs() {
    const int delay = faults_.delayMs;
    if (faults_.delayedLeft > 0 && --faults_.delayedLeft == 0) faults_.delayMs = 0;
    return delay;
}

void SpoilAnswer(const ReplyFaults& faults, Bytes& answer) {
    if (faults.invertEepromData) {
        for (std::uint8_t& byte : answer) byte = static_cast<std::uint8_t>(~byte);
    }
    if (faults.invertFirstByte && !answer.empty()) answer[0] ^= 0xFF;
}

}  // namespace tbemu
