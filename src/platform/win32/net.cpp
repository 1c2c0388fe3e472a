// Sockets and waits on Windows: Winsock 2 with one WSAEVENT per waitable
// socket (WSAEventSelect), kernel events, and WaitForMultipleObjects.
#include "platform/net.h"

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <atomic>

namespace platform {

struct EventState {
    HANDLE handle = nullptr;
};

struct WakeState {
    HANDLE semaphore = nullptr;
};

struct SocketState {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;
    // FD_CLOSE is reported once; the event is kept set from then on so that
    // the reader wakes until its read reports the close. Two threads that
    // wait on the same connection may both reset it.
    std::atomic<bool> closeSeen{false};
};

namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    return addr;
}

bool OpenSocket(SocketState& state, int type, int protocol) {
    if (state.socket != INVALID_SOCKET) return true;
    state.socket = socket(AF_INET, type, protocol);
    return state.socket != INVALID_SOCKET;
}

bool BindSocket(const SocketState& state, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in addr = MakeAddress(address, port);
    return bind(state.socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

std::uint16_t BoundPort(const SocketState& state) {
    sockaddr_in addr{};
    int length = sizeof addr;
    if (getsockname(state.socket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohs(addr.sin_port);
}

void CloseSocket(SocketState& state) {
    if (state.socket != INVALID_SOCKET) {
        closesocket(state.socket);
        state.socket = INVALID_SOCKET;
    }
    if (state.event != WSA_INVALID_EVENT) {
        WSACloseEvent(state.event);
        state.event = WSA_INVALID_EVENT;
    }
    state.closeSeen = false;
}

WatchResult Watch(SocketState& state, long networkEvents) {
    if (state.event == WSA_INVALID_EVENT) {
        state.event = WSACreateEvent();
        if (state.event == WSA_INVALID_EVENT) return WatchResult::kEventFailed;
    }
    if (WSAEventSelect(state.socket, state.event, networkEvents) != 0) return WatchResult::kAssociateFailed;
    return WatchResult::kOk;
}

// Clears the socket's event and its recorded network events.
long ResetNetworkEvents(SocketState& state) {
    if (state.event == WSA_INVALID_EVENT) return 0;
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(state.socket, state.event, &happened) != 0) return 0;
    return happened.lNetworkEvents;
}

int ReadResult(int received) {
    if (received != SOCKET_ERROR) return received;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return kSocketWouldBlock;
    // A read after this side's own Shutdown: ended, as POSIX reports it.
    if (error == WSAESHUTDOWN) return kSocketClosed;
    return kSocketError;
}

int CapacityAsInt(std::size_t capacity) {
    return capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
}

// A socket bound to an event is non-blocking; a sender waits for room.
bool WaitWritable(SOCKET socket) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    return select(0, nullptr, &writable, nullptr, nullptr) == 1;
}

// A non-blocking connect, waited for at most timeoutMs (a refusal shows in
// the exception set); the socket is blocking again afterwards.
bool ConnectWithin(SOCKET socket, const sockaddr_in& addr, int timeoutMs) {
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return false;
    bool connected = connect(socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        connected = select(0, nullptr, &writable, &failed, &limit) == 1 && FD_ISSET(socket, &writable);
    }
    u_long blocking = 0;
    return ioctlsocket(socket, FIONBIO, &blocking) == 0 && connected;
}

bool IsTransientAcceptError(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET;
}

}  // namespace

int StartSocketLibrary() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
}
void StopSocketLibrary() { WSACleanup(); }
int LastSocketError() { return WSAGetLastError(); }

bool IsLoopbackAddress(std::uint32_t address) { return (address >> 24) == 127; }

// ---------------------------------------------------------------- WaitEvent

WaitEvent::WaitEvent(bool manualReset, bool initiallySet) : state_(new EventState) {
    state_->handle = CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
}
WaitEvent::~WaitEvent() {
    if (state_->handle != nullptr) CloseHandle(state_->handle);
}
bool WaitEvent::IsValid() const { return state_->handle != nullptr; }
void WaitEvent::Set() { SetEvent(state_->handle); }
void WaitEvent::Reset() { ResetEvent(state_->handle); }
bool WaitEvent::Wait(int timeoutMs) { return WaitForAny({*this}, timeoutMs) == 0; }

// ---------------------------------------------------------------- WaitableWake

// A semaphore: a wait that WaitForMultipleObjects satisfies has taken one post.
WaitableWake::WaitableWake() : state_(new WakeState) {
    state_->semaphore = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
}
WaitableWake::~WaitableWake() {
    if (state_->semaphore != nullptr) CloseHandle(state_->semaphore);
}
void WaitableWake::Post() { ReleaseSemaphore(state_->semaphore, 1, nullptr); }

// ---------------------------------------------------------------- UdpSocket

UdpSocket::UdpSocket() : state_(new SocketState) {}
UdpSocket::~UdpSocket() { Close(); }
bool UdpSocket::Open() { return OpenSocket(*state_, SOCK_DGRAM, IPPROTO_UDP); }
bool UdpSocket::IsOpen() const { return state_->socket != INVALID_SOCKET; }
bool UdpSocket::Bind(std::uint32_t address, std::uint16_t port) {
    return BindSocket(*state_, address, port);
}
std::uint16_t UdpSocket::LocalPort() const { return BoundPort(*state_); }

int UdpSocket::SendTo(const std::uint8_t* bytes, std::size_t length, std::uint32_t address,
                      std::uint16_t port) {
    const sockaddr_in addr = MakeAddress(address, port);
    const int sent = sendto(state_->socket, reinterpret_cast<const char*>(bytes), CapacityAsInt(length), 0,
                            reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent == SOCKET_ERROR ? kSocketError : sent;
}

int UdpSocket::ReceiveFrom(std::uint8_t* buffer, std::size_t capacity) {
    const int received = recvfrom(state_->socket, reinterpret_cast<char*>(buffer), CapacityAsInt(capacity), 0,
                                  nullptr, nullptr);
    // A datagram larger than the buffer still counts as received (cut).
    if (received == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) return CapacityAsInt(capacity);
    return ReadResult(received);
}

WatchResult UdpSocket::WatchReadable() { return Watch(*state_, FD_READ); }
void UdpSocket::ResetReadable() { ResetNetworkEvents(*state_); }
void UdpSocket::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- TcpConnection

TcpConnection::TcpConnection() : state_(new SocketState) {}
TcpConnection::~TcpConnection() { Close(); }
bool TcpConnection::IsOpen() const { return state_->socket != INVALID_SOCKET; }

bool TcpConnection::Connect(std::uint32_t address, std::uint16_t port, int timeoutMs) {
    if (!OpenSocket(*state_, SOCK_STREAM, IPPROTO_TCP)) return false;
    const sockaddr_in addr = MakeAddress(address, port);
    if (ConnectWithin(state_->socket, addr, timeoutMs)) return true;
    CloseSocket(*state_);
    return false;
}

int TcpConnection::Send(const std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const int sent = send(state_->socket, reinterpret_cast<const char*>(bytes + done),
                              CapacityAsInt(length - done), 0);
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!WaitWritable(state_->socket)) return kSocketError;
            continue;
        }
        if (sent <= 0) return kSocketError;
        done += static_cast<std::size_t>(sent);
    }
    return static_cast<int>(done);
}

int TcpConnection::Receive(std::uint8_t* buffer, std::size_t capacity) {
    return ReadResult(recv(state_->socket, reinterpret_cast<char*>(buffer), CapacityAsInt(capacity), 0));
}

bool TcpConnection::ReadableNow() const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(state_->socket, &readable);
    timeval now{0, 0};
    return select(0, &readable, nullptr, nullptr, &now) == 1;
}

std::uint32_t TcpConnection::PeerAddress() const {
    sockaddr_in addr{};
    int length = sizeof addr;
    if (getpeername(state_->socket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
    return ntohl(addr.sin_addr.s_addr);
}

int TcpConnection::LogId() const { return static_cast<int>(state_->socket); }

WatchResult TcpConnection::WatchReadable() { return Watch(*state_, FD_READ | FD_CLOSE); }

void TcpConnection::ResetReadable() {
    if (ResetNetworkEvents(*state_) & FD_CLOSE) state_->closeSeen = true;
    if (state_->closeSeen) WSASetEvent(state_->event);
}

void TcpConnection::Shutdown() {
    if (state_->socket == INVALID_SOCKET) return;
    shutdown(state_->socket, SD_BOTH);
    // Our own shutdown reports no FD_CLOSE until the peer closes too: a thread
    // waiting on this connection is woken now, as by the peer's close, and
    // its read finds the connection ended (a replaced connection's waiter
    // then moves on to the new one).
    state_->closeSeen = true;
    if (state_->event != WSA_INVALID_EVENT) WSASetEvent(state_->event);
}
void TcpConnection::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- TcpListener

TcpListener::TcpListener() : state_(new SocketState) {}
TcpListener::~TcpListener() { Close(); }
bool TcpListener::Open() { return OpenSocket(*state_, SOCK_STREAM, IPPROTO_TCP); }
bool TcpListener::IsOpen() const { return state_->socket != INVALID_SOCKET; }
bool TcpListener::Bind(std::uint32_t address, std::uint16_t port) {
    return BindSocket(*state_, address, port);
}
bool TcpListener::Listen(int backlog) { return listen(state_->socket, backlog) == 0; }
std::uint16_t TcpListener::LocalPort() const { return BoundPort(*state_); }
WatchResult TcpListener::WatchAccept() { return Watch(*state_, FD_ACCEPT); }
void TcpListener::ResetAcceptReady() { ResetNetworkEvents(*state_); }

AcceptResult TcpListener::Accept(TcpConnection& connection) {
    const SOCKET accepted = accept(state_->socket, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        return IsTransientAcceptError(WSAGetLastError()) ? AcceptResult::kRetry : AcceptResult::kFailed;
    }
    connection.Close();
    connection.state_->socket = accepted;
    // The accepted socket inherits the listener's event selection; it gets
    // its own with WatchReadable.
    WSAEventSelect(accepted, nullptr, 0);
    return AcceptResult::kAccepted;
}

void TcpListener::Shutdown() {
    if (state_->socket != INVALID_SOCKET) shutdown(state_->socket, SD_BOTH);
}
void TcpListener::Close() { CloseSocket(*state_); }

// ---------------------------------------------------------------- waits

WaitTarget::WaitTarget(const WaitEvent& waitEvent) : event(waitEvent.state_.get()) {}
WaitTarget::WaitTarget(const WaitableWake& wakeable) : wake(wakeable.state_.get()) {}
WaitTarget::WaitTarget(const UdpSocket& udp) : socket(udp.state_.get()) {}
WaitTarget::WaitTarget(const TcpConnection& connection) : socket(connection.state_.get()) {}
WaitTarget::WaitTarget(const TcpListener& listener) : socket(listener.state_.get()) {}

int WaitForAny(const WaitTarget* targets, std::size_t count, int timeoutMs) {
    std::array<HANDLE, kMaxWaitTargets> handles{};
    if (count == 0 || count > handles.size()) return kWaitFailed;
    for (std::size_t i = 0; i < count; ++i) {
        HANDLE handle = targets[i].event != nullptr    ? targets[i].event->handle
                        : targets[i].wake != nullptr   ? targets[i].wake->semaphore
                        : targets[i].socket != nullptr ? targets[i].socket->event
                                                       : nullptr;
        if (handle == nullptr || handle == WSA_INVALID_EVENT) return kWaitFailed;
        handles[i] = handle;
    }
    const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), FALSE, timeout);
    if (result == WAIT_TIMEOUT) return kWaitTimeout;
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) return static_cast<int>(result - WAIT_OBJECT_0);
    return kWaitFailed;
}

}  // namespace platform
