// The POSIX side of the transport: the listener when accept fails for good,
// and the receive thread's priority.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "../fakedispatcher.h"
#include "consoleappsockets.h"
#include "consolelogger.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

int ConnectedClient(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 250; ++attempt) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        platform::SleepMs(20);
    }
    close(fd);
    return -1;
}

// True when the peer closed the connection within the time.
bool ClosedByPeer(int fd, int timeoutMs) {
    pollfd polled{fd, POLLIN, 0};
    if (poll(&polled, 1, timeoutMs) != 1) return false;
    char byte = 0;
    return recv(fd, &byte, 1, 0) <= 0;
}

}  // namespace

int ThreadNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); }

// The raise reports truly whether it happened; an ordinary user (a child
// that gave up root) is refused and nothing moves.
TEST(ReceiveThreadPriority, RaiseReportsWhetherItHappened) {
    std::thread raiser([] {
        const int before = ThreadNice();
        const bool raised = platform::RaiseCurrentThreadPriority();
        EXPECT_EQ(ThreadNice(), raised ? before - 1 : before);
    });
    raiser.join();
    if (geteuid() != 0) return;
    const pid_t child = fork();
    if (child == 0) {
        if (setuid(65534) != 0) _exit(2);
        const int before = ThreadNice();
        const bool raised = platform::RaiseCurrentThreadPriority();
        _exit(!raised && ThreadNice() == before ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Here the process has no file descriptor left for the new connection.
TEST(Listener, FailedAcceptClosesTheConnectionWithTheListener) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own checks need file descriptors, which this test uses up";
#endif
    testsupport::IsolatedRoot root;
    ConsoleLogger::Instance();  // the log file is open before descriptors run out
    platform::WaitEvent stop(true, false);
    const std::uint16_t port = fake::FreeTcpPort();
    ConsoleAppSockets sockets(5000, "127.0.0.1", port, &stop);
    const int first = ConnectedClient(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(sockets.ConnectionEvent().Wait(5000));

    // No descriptor left: the next accept fails with EMFILE.
    const int second = socket(AF_INET, SOCK_STREAM, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(second + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd = dup(0); fd >= 0; fd = dup(0)) fillers.push_back(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(second, reinterpret_cast<const sockaddr*>(&address), sizeof address);

    const bool firstClosed = ClosedByPeer(first, 5000);
    for (const int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(firstClosed) << "the connection stays open after the listener ended";
    EXPECT_TRUE(ClosedByPeer(second, 5000)) << "the listener still runs";
    close(first);
    close(second);
    stop.Set();
}
