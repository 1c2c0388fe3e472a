// What the traffic manager needs of its owner for the events of an external
// operation (a host command waiting for its response). The application object
// is the owner; tests may play it.
#ifndef TERMBRIDGE_TRAFFICOWNER_H
#define TERMBRIDGE_TRAFFICOWNER_H

#include <cstdint>

class TrafficOwner {
public:
    virtual ~TrafficOwner() = default;
    // Event thread: adapts one event into the result; isSubEvent tells that
    // more events belong to the same command.
    virtual bool HandleIncomingEvents(const std::uint8_t* data, std::uint32_t length, bool& isSubEvent) = 0;
    virtual void SetResultInvalid(int value) = 0;
    virtual void SignalEventReceived() = 0;
};

#endif
