// The faults armed in the emulated dispatcher, and what they do to each
// reply: the emulator's worker asks the plan once per answered command and
// builds the packets as it says.
//
// For a command the chip answered, the faults apply in this order:
//  1. The command takes the next command number (from 1; system commands
//     never count), an EEPROM command (read or write chunk) the next EEPROM
//     command number, a buffer read the next read-back number (counted since
//     the last corrupt-read or drop-read was set).
//  2. EEPROM chunk faults: `corrupt` inverts the answer's data bytes, `drop`
//     leaves the answer out.
//  3. The answer is left out when `drop <n>` names the command, else when
//     `drop-next` has answers left: it takes one even when another fault
//     leaves the answer out anyway, but not when `drop <n>` named it.
//  4. A refused run command is left out (the chip did not run it).
//  5. Read-back faults: `corrupt-read` inverts the first byte of an answer
//     that has bytes, `drop-read` leaves the answer out.
//  6. `stale` puts a stale answer first, whether or not the answer is sent.
//  7. `wrong-number` and `oversize` are taken by the next answer that is sent.
//  8. `drop-events` is taken by the next command with events, whether or not
//     its answer is sent, and leaves its events out.
//  9. `reconnect` is taken by the reply, even by one that sends nothing.
// Then, for every reply that sends something (a hostile dispatcher's and a
// replayed one too): `delay` holds it back (a counted delay takes one), and
// `split` cuts the stream into pieces. A hostile dispatcher's answer takes
// `reconnect` as well; no other fault touches it or a replayed answer.
#ifndef TBEMU_FAULTPLAN_H
#define TBEMU_FAULTPLAN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "chip.h"
#include "faults.h"
#include "packets.h"

namespace tbemu {

// What the faults do to one answered command's reply.
struct ReplyFaults {
    std::uint64_t commandNumber = 0;  // from 1
    std::uint64_t eepromCommand = 0;  // its number among the EEPROM commands; 0: not one
    std::uint64_t readBack = 0;       // its number among the read-backs; 0: not one
    bool invertEepromData = false;    // every data byte of the answer inverted
    bool invertFirstByte = false;     // the answer's first byte inverted
    bool refusedRun = false;          // a run command the chip refused
    bool dropAnswer = false;          // the answer is left out
    bool staleFirst = false;          // a stale answer (previous packet number) goes first
    bool wrongNumber = false;         // the answer carries the previous packet number
    bool oversize = false;            // the answer carries kOversizeLength
    bool dropEvents = false;          // the command's events are left out
    bool reconnectFirst = false;      // a second connection replaces the first before the reply
};

class FaultPlan {
public:
    // ---- arming: the control lines and the emulator's fault calls
    void DropAnswerTo(std::uint64_t commandNumber);
    void DropNextAnswers(int count);
    void DropNextEvents(int count);
    // `replies` > 0: only that many more replies leave late.
    void SetAnswerDelay(int milliseconds, int replies);
    void WrongNumberForNextAnswers(int count);
    void StaleAnswerBeforeNext(int count);
    void OversizeNextAnswers(int count);
    void SplitWrites(std::size_t pieceBytes);
    void ReconnectBeforeNextAnswer();
    // The n-th read-back from now (n from 1).
    void CorruptReadBack(std::uint64_t n);
    void DropReadBack(std::uint64_t n);
    void RefuseRun(bool refuse);
    // The n-th EEPROM command from now (n from 1).
    void ArmEepromChunkFault(EepromChunkFault fault, std::uint64_t n);
    void SetHostileMode(HostileMode mode);
    void ConnectFrom(const std::string& sourceAddress);
    // Every fault off; the command counts go on.
    void Clear() { faults_ = AnswerFaults{}; }
    const AnswerFaults& Faults() const { return faults_; }

    // ---- per command
    // A run command the chip is not to see.
    bool RefusesRun(const NativeCommand_t& command) const;
    // The faults of the reply to a command the chip answered; takes the
    // faults it uses.
    ReplyFaults ForChipReply(const NativeCommand_t& command, bool answerHasBytes, bool hasEvents);
    // A replayed answer takes a command number too.
    void CountRecordedAnswer() { ++answeredCommands_; }
    // For the hostile dispatcher's answers.
    bool TakeReconnect();
    HostileMode Hostile() const { return faults_.hostile; }

    // ---- per reply that sends something
    int TakeDelayMs();
    std::size_t SplitBytes() const { return faults_.splitBytes; }
    // Where connections to the library come from; empty: the system's choice.
    const std::string& SourceAddress() const { return faults_.sourceAddress; }

private:
    static bool TakeCountedFault(int& remaining);
    void ApplyEepromChunkFaults(const NativeCommand_t& command, ReplyFaults& reply);
    void ApplyReadBackFaults(bool answerHasBytes, ReplyFaults& reply);

    AnswerFaults faults_;
    std::uint64_t answeredCommands_ = 0;
    std::uint64_t eepromCommands_ = 0;
};

// The answer's bytes as the faults leave them.
void SpoilAnswer(const ReplyFaults& faults, Bytes& answer);

}  // namespace tbemu

#endif
