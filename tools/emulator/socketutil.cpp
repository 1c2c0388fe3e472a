#include "socketutil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tbemu {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int Fd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::string ErrnoText() { return std::strerror(errno); }

namespace {
bool MakeAddress(const std::string& address, std::uint16_t port, sockaddr_in& out,
                 std::string& error) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    return true;
}

const sockaddr* AsSockaddr(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

Fd BoundSocket(int type, const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_in local{};
    if (!MakeAddress(address, port, local, error)) return Fd();
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = "socket: " + ErrnoText();
        return Fd();
    }
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.Get(), AsSockaddr(local), sizeof local) != 0) {
        error = "bind " + address + ":" + std::to_string(port) + ": " + ErrnoText();
        return Fd();
    }
    return fd;
}
}  // namespace

Fd BindUdp(const std::string& address, std::uint16_t port, std::string& error) {
    return BoundSocket(SOCK_DGRAM, address, port, error);
}

Fd ListenTcp(const std::string& address, std::uint16_t port, std::string& error) {
    Fd fd = BoundSocket(SOCK_STREAM, address, port, error);
    if (fd.Valid() && ::listen(fd.Get(), 8) != 0) {
        error = "listen: " + ErrnoText();
        return Fd();
    }
    return fd;
}

Fd ConnectTcp(const std::string& address, std::uint16_t port, std::string& error, const std::string& source,
              int timeoutMs) {
    sockaddr_in remote{};
    if (!MakeAddress(address, port, remote, error)) return Fd();
    Fd fd = source.empty() ? Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) : BoundSocket(SOCK_STREAM, source, 0, error);
    if (!fd.Valid()) {
        if (source.empty()) error = "socket: " + ErrnoText();
        return Fd();
    }
    // On Linux the send time limit bounds the connect too: a listener whose
    // backlog is full drops the handshake, and the connect would wait
    // seconds to minutes for its retries.
    const timeval connectLimit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &connectLimit, sizeof connectLimit);
    if (::connect(fd.Get(), AsSockaddr(remote), sizeof remote) != 0) {
        error = "connect " + address + ":" + std::to_string(port) + ": " + ErrnoText();
        return Fd();
    }
    // A library that stops reading must not hold the emulator forever.
    const timeval sendTimeout{2, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

std::uint16_t LocalPort(int fd) { return LocalEndpoint(fd).port; }

namespace {
Endpoint FromAddress(const sockaddr_in& address) {
    Endpoint endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
    if (endpoint.address == INADDR_ANY) endpoint.address = INADDR_LOOPBACK;
    return endpoint;
}
}  // namespace

Endpoint LocalEndpoint(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
    return FromAddress(local);
}

Endpoint PeerEndpoint(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
    return FromAddress(peer);
}

long ReceiveFrom(int fd, std::uint8_t* buffer, std::size_t capacity, Endpoint& sender) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t received =
        ::recvfrom(fd, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
    if (received >= 0) sender = FromAddress(from);
    return static_cast<long>(received);
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SendAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool WakePipe::Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
    return true;
}

void WakePipe::Wake() {
    const char byte = 1;
    // A full pipe already wakes the loop; the result needs no check.
    [[maybe_unused]] const ssize_t written = ::write(write_.Get(), &byte, 1);
}

void WakePipe::Drain() {
    char buffer[64];
    while (::read(read_.Get(), buffer, sizeof buffer) > 0) {
    }
}

}  // namespace tbemu
