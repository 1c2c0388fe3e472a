// A capture of the emulator's traffic in the classic pcap format, as a
// loopback capture would show it: every datagram and every piece of the
// event stream in an Ethernet frame with zero addresses, with synthetic IPv4
// and UDP or TCP headers on the real addresses and ports. TCP connections get
// a handshake and a close, and running sequence numbers, so that tools
// reassemble the stream. Each record is flushed as it is written, so the
// file can be read while the emulator runs.
#ifndef TBEMU_PCAPWRITER_H
#define TBEMU_PCAPWRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "socketutil.h"

namespace tbemu {

// One captured TCP connection, opened by `client`.
struct TcpFlow {
    Endpoint client;
    Endpoint server;
    std::uint32_t clientSeq = 0;  // next sequence number of each side
    std::uint32_t serverSeq = 0;
    bool open = false;
};

// Not thread-safe: the emulator writes from its worker thread only.
class PcapWriter {
public:
    // Creates (or replaces) the file and writes its header.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return file_ != nullptr; }

    void Udp(const Endpoint& from, const Endpoint& to, const std::uint8_t* data, std::size_t length);
    // The handshake of a new connection; the flow then carries its numbers.
    void TcpOpened(TcpFlow& flow);
    void TcpData(TcpFlow& flow, bool fromClient, const std::uint8_t* data, std::size_t length);
    // The client's close and the server's answer to it.
    void TcpClosed(TcpFlow& flow);

private:
    using Bytes = std::vector<std::uint8_t>;
    void TcpSegment(TcpFlow& flow, bool fromClient, std::uint8_t flags, const std::uint8_t* data,
                    std::size_t length);
    void WriteIpv4(std::uint8_t protocol, const Endpoint& from, const Endpoint& to, const Bytes& transport);
    void WriteRecord(const Bytes& frame);

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint16_t ipId_ = 0;
    std::uint32_t nextIsn_ = 0x1000;
};

}  // namespace tbemu

#endif
