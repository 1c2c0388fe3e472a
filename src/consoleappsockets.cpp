#include "consoleappsockets.h"

#include <cctype>
#include <utility>

#include "consolelogger.h"
#include "errors.h"

namespace {

constexpr const char* kSource = "consoleappsockets";

std::string AddressText(std::uint32_t address) {
    return Format("%u.%u.%u.%u", static_cast<unsigned>(address >> 24), static_cast<unsigned>((address >> 16) & 0xFF),
                  static_cast<unsigned>((address >> 8) & 0xFF), static_cast<unsigned>(address & 0xFF));
}

// One component of a dotted address: 1 to 3 decimal digits, at most 255.
bool ParseComponent(const std::string& text, std::size_t& position, std::uint32_t& value) {
    value = 0;
    std::size_t digits = 0;
    while (position < text.size() && std::isdigit(static_cast<unsigned char>(text[position])) && digits < 4) {
        value = value * 10 + static_cast<std::uint32_t>(text[position] - '0');
        ++position;
        ++digits;
    }
    return digits >= 1 && digits <= 3 && value <= 255;
}

}  // namespace

bool ConsoleAppSockets::ParseDottedIpv4(const std::string& text, std::uint32_t& address) {
    std::size_t position = 0;
    std::uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') return false;
            ++position;
        }
        std::uint32_t component = 0;
        if (!ParseComponent(text, position, component)) return false;
        result = (result << 8) | component;
    }
    if (position != text.size() || result == 0xFFFFFFFFu) return false;
    address = result;
    return true;
}

bool ConsoleAppSockets::IsDispatcherPeer(std::uint32_t peer, std::uint32_t dispatcher) {
    if (platform::IsLoopbackAddress(dispatcher)) return platform::IsLoopbackAddress(peer);
    return dispatcher != 0 && peer == dispatcher;
}

// ---------------------------------------------------------------- construction

ConsoleAppSockets::ConsoleAppSockets(std::uint16_t targetPort, const std::string& targetAddress,
                                     std::uint16_t listenPort, platform::WaitEvent* stopEvent)
    : listenPort_(listenPort) {
    try {
        const int startError = platform::StartSocketLibrary();
        if (startError != 0) {
            LogCrash("<ConsoleAppSockets>WSAStartup failed");
            return;
        }
        libraryStarted_ = true;
        LogLine("<ConsoleAppSockets> Init Sockets", LOG_NORMAL);
        InitSocket();
        SetTargetAddress(targetAddress, targetPort);
        stopEvent_ = stopEvent;
        listenerThread_ = std::thread(&ConsoleAppSockets::TcpListenerThread, this);
    } catch (...) {
        if (libraryStarted_) platform::StopSocketLibrary();
        libraryStarted_ = false;
        LogLine("<ConsoleAppSockets> Constructor failed for some reason", LOG_NORMAL);
        LogCrash("<ConsoleAppSockets> Constructor failed for some reason");
    }
}

void ConsoleAppSockets::InitSocket() {
    try {
        if (!sendSocket_.Open()) PhyConsoleNs::SocketException("socket()", kSource, __LINE__);
    } catch (...) {
        LogCrash("<ConsoleAppSockets>initSocket() failed for some reason");
    }
}

void ConsoleAppSockets::SetTargetAddress(const std::string& text, std::uint16_t port) {
    try {
        targetPort_ = port;
        std::uint32_t address = 0;
        if (ParseDottedIpv4(text, address)) {
            targetAddress_ = address;
            targetValid_ = true;
        } else {
            PhyConsoleNs::GeneralException("Illegal IP address argument", kSource, __LINE__);
        }
    } catch (...) {
        LogCrash("<ConsoleAppSockets>setTargetAddress() failed for some reason");
    }
}

ConsoleAppSockets::~ConsoleAppSockets() {
    try {
        closing_.Set();
        if (listenerThread_.joinable()) listenerThread_.join();
        sendSocket_.Close();
        std::shared_ptr<Connection> last;
        {
            std::lock_guard<std::mutex> guard(connectionLock_);
            last = std::move(connection_);
        }
        if (last) last->socket.Shutdown();
        last.reset();
        rxConnection_.reset();
        CloseListener();
        if (libraryStarted_) platform::StopSocketLibrary();
    } catch (...) {
        LogCrash("<ConsoleAppSockets>Destructor failed for some reason");
    }
}

// ---------------------------------------------------------------- sending

int ConsoleAppSockets::Send(const std::uint8_t* bytes, std::size_t length) {
    try {
        LogLine("<ConsoleAppSockets> sendto() method", LOG_NORMAL);
        if (!targetValid_) {
            LogLine("<ConsoleAppSockets>Error!!! The dispatcher's address is not a valid IPv4 address: nothing is sent",
                    LOG_ERROR);
            return platform::kSocketError;
        }
        const int sent = sendSocket_.IsOpen() ? sendSocket_.SendTo(bytes, length, targetAddress_, targetPort_)
                                              : platform::kSocketError;
        if (sent < 0) PhyConsoleNs::SocketException("sendto()", kSource, __LINE__);
        return sent;
    } catch (...) {
        LogCrash("<ConsoleAppSockets>Send() failed for some reason");
        return -1;
    }
}

// ---------------------------------------------------------------- the listener

void ConsoleAppSockets::TcpListenerThread() {
    try {
        if (OpenListener()) {
            ListenLoop();
        } else {
            listenerFailed_.store(true);
            LogMessage(Format("<ConsoleAppSockets>Error!!! The library does not listen for the dispatcher: port %u "
                              "could not be opened",
                              static_cast<unsigned>(listenPort_)),
                       LOG_ERROR);
        }
    } catch (...) {
        LogCrash("<ConsoleAppSockets>TcpListenerThread() failed for some reason");
    }
}

bool ConsoleAppSockets::OpenListener() {
    if (!listener_.Open()) {
        PhyConsoleNs::SocketException("<ConsoleAppSockets>TcpListenerThread() Create socket", kSource, __LINE__);
        return false;
    }
    if (!listener_.Bind(platform::kAnyAddress, listenPort_)) {
        PhyConsoleNs::SocketException("<ConsoleAppSockets>TcpListenerThread() Bind", kSource, __LINE__);
        return false;
    }
    if (!listener_.Listen(kListenBacklog)) {
        PhyConsoleNs::SocketException("<ConsoleAppSockets>TcpListenerThread() listen", kSource, __LINE__);
        CloseListener();
        return false;
    }
    const platform::WatchResult watched = listener_.WatchAccept();
    if (watched == platform::WatchResult::kEventFailed) {
        PhyConsoleNs::SocketException("Couldn't Create WSA Event - TcpListenerThread()", kSource, __LINE__);
        return false;
    }
    if (watched == platform::WatchResult::kAssociateFailed) {
        PhyConsoleNs::SocketException("Couldn't Associate WSA RX Event - openIncomingEventsSocket()", kSource,
                                      __LINE__);
        return false;
    }
    return true;
}

void ConsoleAppSockets::ListenLoop() {
    for (;;) {
        const int woken = stopEvent_ != nullptr ? platform::WaitForAny({listener_, *stopEvent_, closing_}, -1)
                                                : platform::WaitForAny({listener_, closing_}, -1);
        if (woken != 0) break;
        // Re-armed before the accept, so that a connection arriving meanwhile
        // signals again instead of being lost.
        listener_.ResetAcceptReady();
        auto fresh = std::make_unique<Connection>();
        const platform::AcceptResult accepted = listener_.Accept(fresh->socket);
        if (accepted == platform::AcceptResult::kRetry) continue;
        if (accepted == platform::AcceptResult::kFailed) {
            // The listener ends: the connection it gave goes with it.
            CloseCurrentConnection();
            break;
        }
        if (!TakeConnection(std::move(fresh))) return;
    }
    CloseListener();
}

// Checks the peer, then puts the connection in place of the current one.
// False when the listener has to end.
bool ConsoleAppSockets::TakeConnection(std::unique_ptr<Connection> fresh) {
    const std::uint32_t peer = fresh->socket.PeerAddress();
    if (!IsDispatcherPeer(peer, targetAddress_)) {
        LogMessage(Format("<ConsoleAppSockets>Refused Tcp connection (%d) from %s: only the dispatcher (%s) may "
                          "connect",
                          fresh->socket.LogId(), AddressText(peer).c_str(), AddressText(targetAddress_).c_str()),
                   LOG_ERROR);
        fresh->socket.Shutdown();
        return true;
    }
    const platform::WatchResult watched = fresh->socket.WatchReadable();
    if (watched == platform::WatchResult::kEventFailed) {
        PhyConsoleNs::SocketException("Couldn't Create WSA Event - openIncomingEventsSocket()", kSource, __LINE__);
        return false;
    }
    if (watched == platform::WatchResult::kAssociateFailed) {
        PhyConsoleNs::SocketException("Couldn't Associate WSA RX Event - openIncomingEventsSocket()", kSource,
                                      __LINE__);
        return false;
    }
    fresh->id = nextConnectionId_++;
    const int logId = fresh->socket.LogId();
    ReplaceConnection(std::shared_ptr<Connection>(std::move(fresh)));
    connectionsTaken_.fetch_add(1);
    LogMessage(Format("<ConsoleAppSockets>Console-Dispatcher I/F Tcp connection (%d) was established!", logId),
               LOG_NORMAL);
    connectionEvent_.Set();
    return true;
}

void ConsoleAppSockets::ReplaceConnection(std::shared_ptr<Connection> fresh) {
    std::shared_ptr<Connection> old;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        old = std::move(connection_);
        connection_ = std::move(fresh);
    }
    // The receiving thread may still wait on the old connection's handle; it
    // is closed when that thread lets go of it (on the connection event).
    if (old) {
        old->closedBy.store(CLOSED_BY_REPLACEMENT);
        old->socket.Shutdown();
    }
}

void ConsoleAppSockets::CloseCurrentConnection() {
    std::shared_ptr<Connection> current;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        current = std::move(connection_);
    }
    if (!current) return;
    current->closedBy.store(CLOSED_AFTER_FAILED_ACCEPT);
    current->socket.Shutdown();
}

std::shared_ptr<ConsoleAppSockets::Connection> ConsoleAppSockets::CurrentConnection() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return connection_;
}

bool ConsoleAppSockets::IsConnected() const {
    const ConnectionRef connection = CurrentConnection();
    return connection && !connection->dropped.load();
}

void ConsoleAppSockets::CloseListener() {
    if (!listener_.IsOpen()) return;
    listener_.Shutdown();
    listener_.Close();
}

// ---------------------------------------------------------------- receiving

int ConsoleAppSockets::SignalUponRx(platform::WaitEvent& stopEvent, bool watchData, int timeoutMs) {
    try {
        const std::shared_ptr<Connection> current = CurrentConnection();
        int woken = 0;
        if (current && watchData) {
            woken = platform::WaitForAny({current->socket, stopEvent, connectionEvent_, rxResume_}, timeoutMs);
        } else {
            // Only a stop, a new connection or a resume can end this wait.
            woken = platform::WaitForAny({stopEvent, connectionEvent_, rxResume_}, timeoutMs);
            if (woken >= 0) ++woken;
        }
        switch (woken) {
            case 0:
                rxConnection_ = current;
                return RX_DATA;
            case 1:
                return RX_STOP;
            case 2:
                rxConnection_.reset();  // a replaced connection is released here
                return RX_NEW_CONNECTION;
            case 3:
                return RX_RESUMED;
            case platform::kWaitTimeout:
                return RX_QUIET;
            default:
                PhyConsoleNs::SocketException("WSA_WAIT_FAILED - SignalUponRx()", kSource, __LINE__);
                return RX_WAIT_FAILED;
        }
    } catch (...) {
        LogCrash("<ConsoleAppSockets>SignalUponRx() failed for some reason");
        return RX_WAIT_FAILED;
    }
}

int ConsoleAppSockets::Recv(std::uint8_t* buffer, std::size_t capacity) {
    if (rxConnection_) Rearm(*rxConnection_);
    const int received = Recv(rxConnection_, buffer, capacity);
    if (received == platform::kSocketClosed || received == platform::kSocketError) rxConnection_.reset();
    return received;
}

int ConsoleAppSockets::Recv(const ConnectionRef& connection, std::uint8_t* buffer, std::size_t capacity) {
    try {
        LogLine("<ConsoleAppSockets> recvfrom() method", LOG_NORMAL);
        if (!connection) return platform::kSocketError;
        const int received = connection->socket.Receive(buffer, capacity);
        if (received == platform::kSocketClosed || received == platform::kSocketError) {
            DropConnection(connection, received);
        }
        return received;
    } catch (...) {
        LogCrash("<ConsoleAppSockets>Recv() failed for some reason");
        return -1;
    }
}

platform::WaitTarget ConsoleAppSockets::WaitTargetOf(const Connection& connection) { return connection.socket; }

void ConsoleAppSockets::Rearm(Connection& connection) { connection.socket.ResetReadable(); }

bool ConsoleAppSockets::IsReadable(const Connection& connection) {
    return !connection.dropped.load() && connection.socket.ReadableNow();
}

// A connection that reads as closed (or failed) stays readable for ever; it
// is given up so that the receiving thread waits for the next one instead.
void ConsoleAppSockets::DropConnection(const std::shared_ptr<Connection>& dropped, int received) {
    const std::shared_ptr<Connection> keep = dropped;
    const int readError = received == platform::kSocketError ? platform::LastSocketError() : 0;
    keep->dropped.store(true);
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (connection_ == keep) connection_.reset();
    }
    keep->socket.Shutdown();
    const int logId = keep->socket.LogId();
    std::string line;
    switch (keep->closedBy.load()) {
        case CLOSED_BY_REPLACEMENT:
            line = Format("<ConsoleAppSockets>Console-Dispatcher I/F Tcp connection (%d) was replaced by a new one",
                          logId);
            break;
        case CLOSED_AFTER_FAILED_ACCEPT:
            line = Format("<ConsoleAppSockets>Console-Dispatcher I/F Tcp connection (%d) was closed after a failed "
                          "accept",
                          logId);
            break;
        default:
            line = received == platform::kSocketError
                       ? Format("<ConsoleAppSockets>Console-Dispatcher I/F Tcp connection (%d) failed to read, error "
                                "%d",
                                logId, readError)
                       : Format("<ConsoleAppSockets>Console-Dispatcher I/F Tcp connection (%d) was closed by the "
                                "dispatcher!",
                                logId);
    }
    LogMessage(line, LOG_NORMAL);
}

bool ConsoleAppSockets::TakeStreamRestart() { return rxConnection_ && TakeStreamRestart(*rxConnection_); }

bool ConsoleAppSockets::TakeStreamRestart(const Connection& connection) {
    if (connection.id == lastReadConnectionId_) return false;
    lastReadConnectionId_ = connection.id;
    return true;
}
