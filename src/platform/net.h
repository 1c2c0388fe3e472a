// Sockets and waits: the part of the OS layer that the dispatcher transport
// uses. IPv4 only. Addresses are 32-bit values in host order (127.0.0.1 is
// 0x7F000001), ports are host-order numbers.
//
// Waits never spin: every blocking wait is on the OS (WaitForMultipleObjects
// on Windows, poll on POSIX) and ends when one of the objects it waits on is
// ready, or at its time-out.
#ifndef TERMBRIDGE_PLATFORM_NET_H
#define TERMBRIDGE_PLATFORM_NET_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

namespace platform {

// Starts the socket library (Winsock 2.2). Returns 0 or the start-up error
// code. Every successful start is paired with one StopSocketLibrary.
int StartSocketLibrary();
void StopSocketLibrary();
// The error code of the calling thread's last failed socket call.
int LastSocketError();

constexpr std::uint32_t kAnyAddress = 0;
constexpr std::uint32_t kLoopbackAddress = 0x7F000001;
bool IsLoopbackAddress(std::uint32_t address);

// Results of reads and accepts.
constexpr int kSocketClosed = 0;       // the peer closed the connection
constexpr int kSocketError = -1;       // the socket failed
constexpr int kSocketWouldBlock = -2;  // nothing to read right now

// How long TcpConnection::Connect tries unless told otherwise.
constexpr int kConnectTimeoutMs = 3000;

enum class WatchResult { kOk, kEventFailed, kAssociateFailed };
enum class AcceptResult { kAccepted, kRetry, kFailed };

struct EventState;
struct SocketState;
struct WakeState;

// A counting wake-up like WakeSignal that WaitForAny can also watch together
// with sockets: a wait that reports it has taken one post.
class WaitableWake {
public:
    WaitableWake();
    ~WaitableWake();
    WaitableWake(const WaitableWake&) = delete;
    WaitableWake& operator=(const WaitableWake&) = delete;
    void Post();

private:
    friend class WaitTarget;
    std::unique_ptr<WakeState> state_;
};

// An event that WaitForAny can wait on together with sockets. Auto-reset: a
// wait that sees it set clears it (one waiter per signal). Manual-reset: it
// stays set until Reset.
class WaitEvent {
public:
    WaitEvent(bool manualReset, bool initiallySet);
    ~WaitEvent();
    WaitEvent(const WaitEvent&) = delete;
    WaitEvent& operator=(const WaitEvent&) = delete;

    bool IsValid() const;
    void Set();
    void Reset();
    // True when the event was set within timeoutMs (-1: no limit).
    bool Wait(int timeoutMs);

private:
    friend class WaitTarget;
    std::unique_ptr<EventState> state_;
};

// A datagram socket: the library only sends; receiving serves test and tool
// dispatchers.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool Open();
    bool IsOpen() const;
    bool Bind(std::uint32_t address, std::uint16_t port);
    std::uint16_t LocalPort() const;
    // One datagram; the bytes sent, or kSocketError.
    int SendTo(const std::uint8_t* bytes, std::size_t length, std::uint32_t address,
               std::uint16_t port);
    // One datagram into the buffer: its size, kSocketWouldBlock or kSocketError.
    int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity);
    // Makes the socket waitable for readability (and non-blocking).
    WatchResult WatchReadable();
    // After a wait reported the socket: re-arms its readiness.
    void ResetReadable();
    void Close();

private:
    friend class WaitTarget;
    std::unique_ptr<SocketState> state_;
};

// A TCP connection: accepted by a TcpListener, or opened with Connect.
// Shutdown and the reads may run on different threads; Close and the
// destructor only when no other thread uses the object.
class TcpConnection {
public:
    TcpConnection();
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool IsOpen() const;
    // Connects (dispatchers played by tests and tools), giving up after
    // timeoutMs: a listener whose backlog is full, or that nobody serves,
    // lets a connect wait for minutes otherwise. The connection is blocking
    // until WatchReadable.
    bool Connect(std::uint32_t address, std::uint16_t port, int timeoutMs = kConnectTimeoutMs);
    // Sends every byte; the count, or kSocketError.
    int Send(const std::uint8_t* bytes, std::size_t length);
    // One read: bytes read, kSocketClosed, kSocketWouldBlock or kSocketError.
    int Receive(std::uint8_t* buffer, std::size_t capacity);
    // Whether a read would find something now (data, the peer's close or an
    // error), without reading and without touching the readiness a wait sees.
    bool ReadableNow() const;
    std::uint32_t PeerAddress() const;
    // The socket's handle value, for log lines.
    int LogId() const;
    // Makes the connection waitable for readability (and non-blocking). A
    // closed peer keeps it ready until a read reports kSocketClosed.
    WatchResult WatchReadable();
    void ResetReadable();
    // Ends both directions; the peer sees the close, a wait on the
    // connection wakes and its read reports the end; the handle stays valid.
    void Shutdown();
    void Close();

private:
    friend class WaitTarget;
    friend class TcpListener;
    std::unique_ptr<SocketState> state_;
};

class TcpListener {
public:
    TcpListener();
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool Open();
    bool IsOpen() const;
    bool Bind(std::uint32_t address, std::uint16_t port);
    bool Listen(int backlog);
    std::uint16_t LocalPort() const;
    // Makes the listener waitable for incoming connections (and non-blocking).
    WatchResult WatchAccept();
    void ResetAcceptReady();
    // kRetry: the pending connection went away before it was taken.
    AcceptResult Accept(TcpConnection& connection);
    void Shutdown();
    void Close();

private:
    friend class WaitTarget;
    std::unique_ptr<SocketState> state_;
};

// One thing to wait for: an event, a wake signal, or a socket's readiness.
class WaitTarget {
public:
    // Implicit, so that a wait list reads {connection, stopEvent}.
    WaitTarget(const WaitEvent& waitEvent);
    WaitTarget(const WaitableWake& wakeable);
    WaitTarget(const UdpSocket& udp);
    WaitTarget(const TcpConnection& connection);
    WaitTarget(const TcpListener& listener);

    EventState* event = nullptr;
    WakeState* wake = nullptr;
    SocketState* socket = nullptr;
};

constexpr std::size_t kMaxWaitTargets = 8;
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
// Waits until one of at most kMaxWaitTargets targets is ready: its index (the lowest of several ready
// ones), kWaitTimeout or kWaitFailed. timeoutMs -1 waits without limit. An
// auto-reset event is cleared by the wait that reports it; socket readiness
// stays until its Reset call.
int WaitForAny(const WaitTarget* targets, std::size_t count, int timeoutMs);
inline int WaitForAny(std::initializer_list<WaitTarget> targets, int timeoutMs) {
    return WaitForAny(targets.begin(), targets.size(), timeoutMs);
}

}  // namespace platform

#endif
