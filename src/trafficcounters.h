// The traffic of one host operation: packets and bytes each way. The host's
// thread counts what it sends and resets the counts; the event thread counts
// what it receives. Each count is atomic on its own.
#ifndef TERMBRIDGE_TRAFFICCOUNTERS_H
#define TERMBRIDGE_TRAFFICCOUNTERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

struct TrafficSnapshot {
    std::uint32_t commandsSent = 0;
    std::uint32_t eventsAccepted = 0;
    std::uint32_t eventsDropped = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
};

class TrafficCounters {
public:
    void Reset();
    void CountSent(std::size_t bytes);
    void CountEvent(std::size_t bytes, bool accepted);
    TrafficSnapshot Snapshot() const;

private:
    std::atomic<std::uint32_t> commandsSent_{0};
    std::atomic<std::uint32_t> eventsAccepted_{0};
    std::atomic<std::uint32_t> eventsDropped_{0};
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<std::uint64_t> bytesReceived_{0};
};

#endif
