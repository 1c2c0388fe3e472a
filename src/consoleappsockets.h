// Every socket between the library and the dispatcher: commands leave through
// one UDP socket; events come back over the TCP connection that the
// dispatcher opens to the library's listener, one connection at a time.
#ifndef TERMBRIDGE_CONSOLEAPPSOCKETS_H
#define TERMBRIDGE_CONSOLEAPPSOCKETS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/net.h"

class ConsoleAppSockets {
    struct Connection;

public:
    // A dispatcher connection, held by whoever waits on it or reads it: its
    // socket stays valid until the last holder lets go.
    using ConnectionRef = std::shared_ptr<Connection>;

    static constexpr int kListenBacklog = 10;

    // Why SignalUponRx returned (RX_QUIET: its time ran out; RX_RESUMED:
    // ResumeReceiving was called).
    enum RxReason {
        RX_WAIT_FAILED = 0,
        RX_DATA = 1,
        RX_STOP = 2,
        RX_NEW_CONNECTION = 3,
        RX_QUIET = 4,
        RX_RESUMED = 5
    };
    // Recv: the readiness was spurious, nothing was read.
    static constexpr int kRecvNoData = platform::kSocketWouldBlock;

    // The stop event belongs to the caller and must outlive this object.
    ConsoleAppSockets(std::uint16_t targetPort, const std::string& targetAddress, std::uint16_t listenPort,
                      platform::WaitEvent* stopEvent);
    ~ConsoleAppSockets();
    ConsoleAppSockets(const ConsoleAppSockets&) = delete;
    ConsoleAppSockets& operator=(const ConsoleAppSockets&) = delete;

    // One datagram to the dispatcher: the bytes sent, or -1.
    int Send(const std::uint8_t* bytes, std::size_t length);

    // The receiving thread's calls. Recv reads from the connection that the
    // last SignalUponRx reported: bytes read, 0 when the dispatcher closed the
    // connection, -1 on a socket error (both drop the connection), or
    // kRecvNoData.
    int Recv(std::uint8_t* buffer, std::size_t capacity);
    // Without watchData, data on the connection does not end the wait (a
    // host thread reads it); timeoutMs -1 waits without limit.
    int SignalUponRx(platform::WaitEvent& stopEvent, bool watchData = true, int timeoutMs = -1);
    // Any thread: ends the receiving thread's wait with RX_RESUMED (or its
    // next wait, when it is not waiting).
    void ResumeReceiving() { rxResume_.Set(); }
    // True once after the reading side moved to another connection: bytes
    // kept from the previous connection's stream no longer belong to it.
    bool TakeStreamRestart();
    // The connection the last SignalUponRx reported as readable, handed
    // over (the receiving thread keeps no hold on it afterwards).
    ConnectionRef TakeReadyConnection() { return std::move(rxConnection_); }

    // Reading from any thread: the receiving thread, or a host thread that
    // waits for its answer. One reader at a time (the caller's lock) calls
    // Rearm, IsReadable, TakeStreamRestart and Recv.
    ConnectionRef CurrentConnection() const;
    static platform::WaitTarget WaitTargetOf(const Connection& connection);
    // Re-arms the readiness that woke a waiter: before the reader's look or
    // read, so that what comes after it wakes again.
    static void Rearm(Connection& connection);
    // Whether a read would find anything (without reading or logging): false
    // for a connection already given up.
    static bool IsReadable(const Connection& connection);
    bool TakeStreamRestart(const Connection& connection);
    int Recv(const ConnectionRef& connection, std::uint8_t* buffer, std::size_t capacity);
    // Signalled by the listener each time a dispatcher connection is taken.
    platform::WaitEvent& ConnectionEvent() { return connectionEvent_; }

    bool HasSendSocket() const { return sendSocket_.IsOpen(); }
    std::uint32_t TargetAddress() const { return targetAddress_; }
    std::uint16_t TargetPort() const { return targetPort_; }
    // The port the library listens on; 0 once the listener could not be
    // opened (the port held by another program, say): then no dispatcher
    // can connect, whatever the configuration says.
    std::uint16_t ListenPort() const { return listenerFailed_.load() ? 0 : listenPort_; }
    // The link as a host asks about it (any thread): whether a dispatcher
    // connection is open and not given up, and how many were taken.
    bool IsConnected() const;
    std::uint32_t ConnectionsTaken() const { return connectionsTaken_.load(); }

    // Strict dotted-decimal IPv4 text ("a.b.c.d", each 0-255). The all-ones
    // address is refused: it is the conversion's failure value.
    static bool ParseDottedIpv4(const std::string& text, std::uint32_t& address);
    // Only the dispatcher may connect: its own address, or any loopback
    // address when the dispatcher runs on this machine's loopback.
    static bool IsDispatcherPeer(std::uint32_t peer, std::uint32_t dispatcher);

private:
    // Who ended a connection, for the line logged when the receiving side
    // lets go of it.
    enum ClosedBy { CLOSED_BY_PEER = 0, CLOSED_BY_REPLACEMENT = 1, CLOSED_AFTER_FAILED_ACCEPT = 2 };
    struct Connection {
        platform::TcpConnection socket;
        std::uint32_t id = 0;
        std::atomic<int> closedBy{CLOSED_BY_PEER};
        // Read as closed (or failed) and let go: still readable, but there
        // is nothing more to take from it.
        std::atomic<bool> dropped{false};
    };

    void InitSocket();
    void SetTargetAddress(const std::string& text, std::uint16_t port);
    void TcpListenerThread();
    bool OpenListener();
    void ListenLoop();
    bool TakeConnection(std::unique_ptr<Connection> fresh);
    void ReplaceConnection(std::shared_ptr<Connection> fresh);
    void DropConnection(const std::shared_ptr<Connection>& dropped, int received);
    void CloseCurrentConnection();
    void CloseListener();

    bool libraryStarted_ = false;
    platform::WaitEvent connectionEvent_{false, false};
    // Ends the listener when this object goes, whatever the stop event does.
    platform::WaitEvent closing_{true, false};
    platform::UdpSocket sendSocket_;
    std::uint32_t targetAddress_ = 0;
    // False until an address parses: nothing is sent to the unset 0.0.0.0,
    // which some systems take for this machine.
    bool targetValid_ = false;
    std::uint16_t targetPort_ = 0;
    platform::WaitEvent* stopEvent_ = nullptr;
    std::uint16_t listenPort_ = 0;
    platform::TcpListener listener_;  // the listener thread's

    // The current connection is replaced by the listener thread and read by
    // the receiving thread. It is shared so that a replaced connection's
    // socket and wait handle stay valid until the receiving thread has let go
    // of them; the replacement shuts it down at once, so the dispatcher sees
    // the close immediately.
    mutable std::mutex connectionLock_;
    std::shared_ptr<Connection> connection_;
    std::uint32_t nextConnectionId_ = 1;
    std::atomic<std::uint32_t> connectionsTaken_{0};
    std::atomic<bool> listenerFailed_{false};

    // The receiving thread's: the connection it found readable.
    std::shared_ptr<Connection> rxConnection_;
    platform::WaitEvent rxResume_{false, false};
    // The reader's (whoever holds the caller's read lock).
    std::uint32_t lastReadConnectionId_ = 0;

    std::thread listenerThread_;
};

#endif
