// Thin RAII and helper layer over POSIX sockets for the emulator.
#ifndef TBEMU_SOCKETUTIL_H
#define TBEMU_SOCKETUTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tbemu {

// Owns one file descriptor; closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// An IPv4 address (host order) and port.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// A UDP socket bound to address:port (port 0 picks a free one).
Fd BindUdp(const std::string& address, std::uint16_t port, std::string& error);
// A listening TCP socket bound to address:port (port 0 picks a free one).
Fd ListenTcp(const std::string& address, std::uint16_t port, std::string& error);
// A TCP connection to address:port with TCP_NODELAY set, from the local
// address `source` when one is given; invalid on failure, or when the
// connect takes longer than timeoutMs.
Fd ConnectTcp(const std::string& address, std::uint16_t port, std::string& error,
              const std::string& source = std::string(), int timeoutMs = 2000);
std::uint16_t LocalPort(int fd);
// The two ends of a socket (zero when unknown). A socket bound to the any
// address reports the loopback address, where the emulator's peers are.
Endpoint LocalEndpoint(int fd);
Endpoint PeerEndpoint(int fd);
// A datagram with its sender; the received length (larger than `capacity`
// when the datagram was cut), or -1 when none is waiting.
long ReceiveFrom(int fd, std::uint8_t* buffer, std::size_t capacity, Endpoint& sender);
bool SetNonBlocking(int fd);
// Writes all bytes (blocking); false when the peer is gone or the send failed.
bool SendAll(int fd, const std::uint8_t* bytes, std::size_t length);
std::string ErrnoText();

// A pipe whose read end wakes a poll loop.
class WakePipe {
public:
    bool Open();
    int ReadFd() const { return read_.Get(); }
    void Wake();
    void Drain();

private:
    Fd read_;
    Fd write_;
};

}  // namespace tbemu

#endif
