// The emulated chip's command handling: a command taken from the mailbox is
// recognised (PHY tunnel packet in either form, or MAC command) and answered
// with events built from the definition set's codes.
#ifndef TBEMU_COMMANDEXECUTOR_H
#define TBEMU_COMMANDEXECUTOR_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "chip.h"
#include "definitions.h"

namespace tbemu {

// Faults in the events the chip sends; each is armed for a number of the
// commands (or captures) that follow.
enum class EventFault {
    FragmentsOutOfOrder,  // the first two capture fragments swap places
    LastFragmentBitSet,   // the last capture fragment still says more follow
    MissingFragment,      // capture fragment 1 (or the only one) is not sent
    BadCtrl,              // the first event's ctrl word is 12 instead of 11
    BadSource,            // the first event's source is 7
    UnknownEventType,     // the first event's type names no event
    UnknownStatus,        // the general event's status names no status
};
const char* EventFaultName(EventFault fault);
bool EventFaultFromName(const std::string& name, EventFault& fault);

struct ExecutionSettings {
    std::map<std::string, std::uint8_t> failingCommands;  // command name -> status code
    std::size_t captureLength = 1000;                     // bytes a capture returns
    std::size_t fragmentBytes = 200;                      // captured bytes per fragment
    int macEvents = 1;  // events per MAC command; all but the last are sub-events
    std::map<EventFault, int> armed;
};

enum class CommandForm { PhyFull, PhyHeaderless, Mac, Unrecognised };
const char* CommandFormName(CommandForm form);

struct ExecutedCommand {
    CommandForm form = CommandForm::Unrecognised;
    std::string name;  // empty when the opcode is not declared
    Bytes command;     // the PHY command (header included in the full form) or MAC command
    std::size_t events = 0;
    std::string note;  // why a command got no events, for the log
};

// The bytes of a capture of `length` bytes: a pattern that does not repeat
// within 64 KiB, so misplaced fragments show.
Bytes CapturePattern(std::size_t length);
constexpr std::uint32_t kCaptureAddress = 0xBF560000;
// Captured bytes one fragment can carry (its event length byte tops out at 255).
constexpr std::size_t kMaxFragmentBytes = 255 - 16;
constexpr std::size_t kMaxCaptureLength = 0xFFFF;

class CommandExecutor {
public:
    explicit CommandExecutor(const Definitions& definitions);

    std::vector<Bytes> Execute(const Bytes& mailboxBytes);

    ExecutionSettings& Settings() { return settings_; }
    const std::vector<ExecutedCommand>& Executed() const { return executed_; }
    void ClearRecords() { executed_.clear(); }

private:
    std::vector<Bytes> ExecutePhy(const Bytes& packet, ExecutedCommand& record);
    std::vector<Bytes> ExecuteMac(const Bytes& command, ExecutedCommand& record);
    std::vector<Bytes> CaptureFragments(std::uint8_t captureEvent);
    std::uint8_t StatusFor(const CommandInfo* command, std::uint8_t okStatus);
    void ApplyFirstEventFaults(Bytes& event);
    bool TakeFault(EventFault fault);

    const Definitions& definitions_;
    ExecutionSettings settings_;
    std::vector<ExecutedCommand> executed_;
};

}  // namespace tbemu

#endif
