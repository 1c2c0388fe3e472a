#include "trafficcounters.h"

void TrafficCounters::Reset() {
    commandsSent_.store(0);
    eventsAccepted_.store(0);
    eventsDropped_.store(0);
    bytesSent_.store(0);
    bytesReceived_.store(0);
}

void TrafficCounters::CountSent(std::size_t bytes) {
    commandsSent_.fetch_add(1);
    bytesSent_.fetch_add(bytes);
}

void TrafficCounters::CountEvent(std::size_t bytes, bool accepted) {
    (accepted ? eventsAccepted_ : eventsDropped_).fetch_add(1);
    bytesReceived_.fetch_add(bytes);
}

TrafficSnapshot TrafficCounters::Snapshot() const {
    TrafficSnapshot snapshot;
    snapshot.commandsSent = commandsSent_.load();
    snapshot.eventsAccepted = eventsAccepted_.load();
    snapshot.eventsDropped = eventsDropped_.load();
    snapshot.bytesSent = bytesSent_.load();
    snapshot.bytesReceived = bytesReceived_.load();
    return snapshot;
}
