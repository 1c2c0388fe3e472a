// Reading capture files: classic pcap (either byte order, microsecond or
// nanosecond stamps) and pcapng, with Ethernet, BSD loopback (NULL, LOOP),
// Linux cooked (SLL, SLL2) or raw IPv4 link types. What comes out is the
// IPv4 UDP datagrams and TCP segments, in file order; everything else
// (IPv6, ARP, fragments of IP packets) is passed over. Every length in the
// file is checked before it is used.
#ifndef TBEMU_CAPTUREREADER_H
#define TBEMU_CAPTUREREADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "socketutil.h"

namespace tbemu {

struct CapturedSegment {
    double time = 0;  // seconds since the epoch
    bool tcp = false;
    Endpoint from;
    Endpoint to;
    std::uint32_t seq = 0;   // TCP only
    std::uint8_t flags = 0;  // TCP only: FIN 0x01, SYN 0x02
    std::vector<std::uint8_t> payload;
};

// The segments of a capture held in memory; false with a reason when the
// bytes are not a capture this reader knows.
bool ParseCapture(const std::vector<std::uint8_t>& file, std::vector<CapturedSegment>& segments,
                  std::string& error);
bool ReadCapture(const std::string& path, std::vector<CapturedSegment>& segments, std::string& error);

}  // namespace tbemu

#endif
