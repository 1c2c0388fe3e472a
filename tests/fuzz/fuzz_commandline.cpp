// Whole host command lines, of every kind, through the application object's
// own HandleCommand: native commands, MEM_READ and MEM_WRITE, PHY, MAC and
// tunnelled PHY commands of the example definition set, and anything else.
// No dispatcher answers (its port is a socket of this program that nobody
// reads), so every command must end in failure with a failure text and an
// empty result: a command that is reported as done here was reported as done
// without an answer. Both time-outs are 0 (a wait that finds no answer ends at
// once, through the same failure path as a longer one) and the mailbox's pause
// before its first counter read is left out: otherwise every console command
// would sleep 16 ms.
//
// The line is the input up to its first zero byte, as a host's C string.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "consoleapplogic.h"
#include "trafficmanager.h"
#include "fuzzsupport.h"

namespace {

// A bound UDP port on loopback that is never read.
std::uint16_t SilentUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("silent UDP port");
        std::abort();
    }
    return ntohs(address.sin_port);  // the socket stays open until the process ends
}

ConsoleAppLogic& Application() {
    static ConsoleAppLogic* application = [] {
        fuzzsupport::QuietLibrary();
        const std::string examples = fuzzsupport::SourcePath("examples");
        // Lives as long as the process: its threads run until then.
        auto* made = new ConsoleAppLogic(SilentUdpPort(), "127.0.0.1", 0, examples + "/maps/mac.map",
                                         examples + "/maps/phy.map", examples + "/definitions/list.txt");
        made->SetCommandTimeout(0);
        made->SetInternalCommandTimeout(0);
        made->GetTrafficManager()->SetCounterReadPause(0);
        return made;
    }();
    return *application;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ConsoleAppLogic& application = Application();
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::string line(reinterpret_cast<const char*>(data),
                           end == nullptr ? size : static_cast<std::size_t>(end - data));

    FUZZ_CHECK(application.HandleCommand(line) == 1);
    FUZZ_CHECK(application.FailureMessage()[0] != '\0');
    FUZZ_CHECK(application.ResultLength() == 0);
    FUZZ_CHECK(application.GetCommandState() == ConsoleAppLogic::COMMAND_IDLE);
    return 0;
}
