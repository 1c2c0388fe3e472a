// What the traffic manager needs of its owner for the events of an external
// operation (a host command waiting for its response). The application object
// is the owner; tests may play it.
#ifndef TERMBRIDGE_TRAFFICOWNER_H
#define TERMBRIDGE_TRAFFICOWNER_H

#include <cstdint>

class TrafficOwner {
public:
    virtual ~TrafficOwner() = default;
    // Sending thread or event thread: the command's packet number has been
    // taken and no older answer can reach the owner any more; the wait for
    // its response opens now (a signal left by an earlier answer is cleared).
    virtual void ArmResponseWait() = 0;
    // Event thread: adapts one event into the result; isSubEvent tells that
    // more events belong to the same command. accepted is false when no
    // command waits for the event: it then changes nothing and wakes nobody.
    virtual bool HandleIncomingEvents(const std::uint8_t* data, std::uint32_t length, bool& isSubEvent,
                                      bool& accepted) = 0;
    virtual void SetResultInvalid(int value) = 0;
    virtual void SignalEventReceived() = 0;
};

// An owner for a traffic manager that runs internal operations only (the
// firmware loader's and EEPROM tools, benchmarks, tests): no host command ever
// waits, so every external event is refused.
class NoExternalOwner final : public TrafficOwner {
public:
    void ArmResponseWait() override {}
    bool HandleIncomingEvents(const std::uint8_t*, std::uint32_t, bool& isSubEvent, bool& accepted) override {
        isSubEvent = false;
        accepted = false;
        return false;
    }
    void SetResultInvalid(int) override {}
    void SignalEventReceived() override {}
};

#endif
