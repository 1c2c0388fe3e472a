// Sockets and waits on POSIX: poll() over the socket descriptors, a pipe per
// event whose read end is readable exactly while the event is set, and an
// eventfd per wake signal.
#include "platform/net.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

struct EventState {
    int readFd = -1;
    int writeFd = -1;
    bool manualReset = false;
    bool set = false;
    std::mutex lock;

    void Drain() {
        char bytes[16];
        while (read(readFd, bytes, sizeof bytes) > 0) {
        }
    }
    // Called by a waiter that saw the pipe readable: whether the event counts
    // as signalled for it (another waiter may have taken an auto-reset signal).
    bool TryConsume() {
        std::lock_guard<std::mutex> guard(lock);
        if (!set) return false;
        if (!manualReset) {
            set = false;
            Drain();
        }
        return true;
    }
};

struct SocketState {
    int fd = -1;
};

// A counting eventfd: each read takes one post. Non-blocking, so that a
// waiter that finds the post taken by another goes back to its wait.
struct WakeState {
    int fd = -1;

    bool TryTake() {
        std::uint64_t value = 0;
        return read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
    }
};

namespace {

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    return addr;
}

bool OpenSocket(SocketState& state, int type, int protocol) {
    if (state.fd >= 0) return true;
    state.fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    return state.fd >= 0;
}

bool BindSocket(const SocketState& state, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in addr = MakeAddress(address, port);
    return bind(state.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

std::uint16_t BoundPort(const SocketState& state) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (getsockname(state.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohs(addr.sin_port);
}

void CloseSocket(SocketState& state) {
    if (state.fd < 0) return;
    close(state.fd);
    state.fd = -1;
}

int ReadResult(ssize_t received) {
    if (received >= 0) return static_cast<int>(received);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kSocketWouldBlock;
    return kSocketError;
}

bool IsTransientAcceptError(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED ||
           error == EPROTO;
}

// A non-blocking connect, waited for at most timeoutMs; the socket is
// blocking again afterwards.
bool ConnectWithin(int fd, const sockaddr_in& addr, int timeoutMs) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd writable{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        connected = poll(&writable, 1, timeoutMs) == 1 &&
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    return fcntl(fd, F_SETFL, flags) == 0 && connected;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

int StartSocketLibrary() { return 0; }
void StopSocketLibrary() {}
int LastSocketError() { return errno; }

bool IsLoopbackAddress(std::uint32_t address) { return (address >> 24) == 127; }

// ---------------------------------------------------------------- WaitEvent

WaitEvent::WaitEvent(bool manualReset, bool initiallySet) : state_(new EventState) {
    int fds[2];
    if (pipe(fds) != 0) return;
    for (int fd : fds) {
        SetNonBlocking(fd);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    state_->readFd = fds[0];
    state_->writeFd = fds[1];
    state_->manualReset = manualReset;
    if (initiallySet) Set();
}

WaitEvent::~WaitEvent() {
    if (state_->readFd >= 0) close(state_->readFd);
    if (state_->writeFd >= 0) close(state_->writeFd);
}

bool WaitEvent::IsValid() const { return state_->readFd >= 0; }

void WaitEvent::Set() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->set || state_->writeFd < 0) return;
    state_->set = true;
    const char byte = 1;
    // The pipe is empty while the event is clear, so this write cannot block.
    if (write(state_->writeFd, &byte, 1) != 1) state_->set = false;
}

void WaitEvent::Reset() {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (!state_->set) return;
    state_->set = false;
    state_->Drain();
}

bool WaitEvent::Wait(int timeoutMs) { return WaitForAny({*this}, timeoutMs) == 0; }

// ---------------------------------------------------------------- WaitableWake

WaitableWake::WaitableWake() : state_(new WakeState) {
    state_->fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
}
WaitableWake::~WaitableWake() {
    if (state_->fd >= 0) close(state_->fd);
}

void WaitableWake::Post() {
    const std::uint64_t one = 1;
    while (write(state_->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------- UdpSocket

UdpSocket::UdpSocket() : state_(new SocketState) {}
UdpSocket::~UdpSocket() { Close(); }
bool UdpSocket::Open() { return OpenSocket(*state_, SOCK_DGRAM, 0); }
bool UdpSocket::IsOpen() const { return state_->fd >= 0; }
bool UdpSocket::Bind(std::uint32_t address, std::uint16_t port) {
    return BindSocket(*state_, address, port);
}
std::uint16_t UdpSocket::LocalPort() const { return BoundPort(*state_); }

int UdpSocket::SendTo(const std::uint8_t* bytes, std::size_t length, std::uint32_t address,
                      std::uint16_t port) {
    const sockaddr_in addr = MakeAddress(address, port);
    const ssize_t sent = sendto(state_->fd, bytes, length, 0,
                                reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent < 0 ? kSocketError : static_cast<int>(sent);
}

int UdpSocket::ReceiveFrom(std::uint8_t* buffer, std::size_t capacity) {
    return ReadResult(recvfrom(state_->fd, buffer, capacity, 0, nullptr, nullptr));
}

WatchResult UdpSocket::WatchReadable() {
    return SetNonBlocking(state_->fd) ? WatchResult::kOk : WatchResult::kAssociateFailed;
}
void UdpSocket::ResetReadable() {}
void UdpSocket::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- TcpConnection

TcpConnection::TcpConnection() : state_(new SocketState) {}
TcpConnection::~TcpConnection() { Close(); }
bool TcpConnection::IsOpen() const { return state_->fd >= 0; }

bool TcpConnection::Connect(std::uint32_t address, std::uint16_t port, int timeoutMs) {
    if (!OpenSocket(*state_, SOCK_STREAM, IPPROTO_TCP)) return false;
    const sockaddr_in addr = MakeAddress(address, port);
    if (ConnectWithin(state_->fd, addr, timeoutMs)) return true;
    CloseSocket(*state_);
    return false;
}

int TcpConnection::Send(const std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t sent = send(state_->fd, bytes + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A watched socket is non-blocking: wait for room.
            pollfd writable{state_->fd, POLLOUT, 0};
            if (poll(&writable, 1, -1) < 0 && errno != EINTR) return kSocketError;
            continue;
        }
        if (sent <= 0) return kSocketError;
        done += static_cast<std::size_t>(sent);
    }
    return static_cast<int>(done);
}

int TcpConnection::Receive(std::uint8_t* buffer, std::size_t capacity) {
    return ReadResult(recv(state_->fd, buffer, capacity, 0));
}

bool TcpConnection::ReadableNow() const {
    pollfd readable{state_->fd, POLLIN, 0};
    return poll(&readable, 1, 0) > 0;
}

std::uint32_t TcpConnection::PeerAddress() const {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (getpeername(state_->fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohl(addr.sin_addr.s_addr);
}

int TcpConnection::LogId() const { return state_->fd; }

WatchResult TcpConnection::WatchReadable() {
    return SetNonBlocking(state_->fd) ? WatchResult::kOk : WatchResult::kAssociateFailed;
}
void TcpConnection::ResetReadable() {}

void TcpConnection::Shutdown() {
    if (state_->fd >= 0) shutdown(state_->fd, SHUT_RDWR);
}
void TcpConnection::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- TcpListener

TcpListener::TcpListener() : state_(new SocketState) {}
TcpListener::~TcpListener() { Close(); }

bool TcpListener::Open() {
    if (!OpenSocket(*state_, SOCK_STREAM, IPPROTO_TCP)) return false;
    // A restarted library must get its port back while old connections linger.
    const int on = 1;
    setsockopt(state_->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return true;
}
bool TcpListener::IsOpen() const { return state_->fd >= 0; }
bool TcpListener::Bind(std::uint32_t address, std::uint16_t port) {
    return BindSocket(*state_, address, port);
}
bool TcpListener::Listen(int backlog) { return listen(state_->fd, backlog) == 0; }
std::uint16_t TcpListener::LocalPort() const { return BoundPort(*state_); }

WatchResult TcpListener::WatchAccept() {
    return SetNonBlocking(state_->fd) ? WatchResult::kOk : WatchResult::kAssociateFailed;
}
void TcpListener::ResetAcceptReady() {}

AcceptResult TcpListener::Accept(TcpConnection& connection) {
    const int fd = accept(state_->fd, nullptr, nullptr);
    if (fd < 0) return IsTransientAcceptError(errno) ? AcceptResult::kRetry : AcceptResult::kFailed;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    connection.Close();
    connection.state_->fd = fd;
    return AcceptResult::kAccepted;
}

void TcpListener::Shutdown() {
    if (state_->fd >= 0) shutdown(state_->fd, SHUT_RDWR);
}
void TcpListener::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- waits

WaitTarget::WaitTarget(const WaitEvent& waitEvent) : event(waitEvent.state_.get()) {}
WaitTarget::WaitTarget(const WaitableWake& wakeable) : wake(wakeable.state_.get()) {}
WaitTarget::WaitTarget(const UdpSocket& udp) : socket(udp.state_.get()) {}
WaitTarget::WaitTarget(const TcpConnection& connection) : socket(connection.state_.get()) {}
WaitTarget::WaitTarget(const TcpListener& listener) : socket(listener.state_.get()) {}

namespace {

constexpr int kNoneReady = -3;

// The index of the first ready target in list order, or kNoneReady when every
// event that looked ready was taken by another waiter in the meantime.
int FirstReady(const WaitTarget* targets, const pollfd* polled, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const short events = polled[i].revents;
        if (events == 0) continue;
        if (events & POLLNVAL) return kWaitFailed;
        if (targets[i].event != nullptr) {
            if (targets[i].event->TryConsume()) return static_cast<int>(i);
        } else if (targets[i].wake != nullptr) {
            if (targets[i].wake->TryTake()) return static_cast<int>(i);
        } else {
            return static_cast<int>(i);
        }
    }
    return kNoneReady;
}

}  // namespace

int WaitForAny(const WaitTarget* targets, std::size_t count, int timeoutMs) {
    std::array<pollfd, kMaxWaitTargets> polled{};
    if (count == 0 || count > polled.size()) return kWaitFailed;
    for (std::size_t i = 0; i < count; ++i) {
        const int fd = targets[i].event != nullptr  ? targets[i].event->readFd
                       : targets[i].wake != nullptr   ? targets[i].wake->fd
                       : targets[i].socket != nullptr ? targets[i].socket->fd
                                                      : -1;
        if (fd < 0) return kWaitFailed;
        polled[i] = pollfd{fd, POLLIN, 0};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int waitMs = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        const int ready = poll(polled.data(), static_cast<nfds_t>(count), waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return kWaitFailed;
        if (ready == 0) return kWaitTimeout;
        const int index = FirstReady(targets, polled.data(), count);
        if (index != kNoneReady) return index;
        if (timeoutMs >= 0 && RemainingMs(deadline) == 0) return kWaitTimeout;
    }
}

}  // namespace platform
