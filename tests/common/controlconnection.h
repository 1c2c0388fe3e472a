// One connection to the emulator's control port (tools/emulator/README.md):
// a text line out, one answer line back.
#ifndef TERMBRIDGE_CONTROLCONNECTION_H
#define TERMBRIDGE_CONTROLCONNECTION_H

#include <cstdint>
#include <string>

#include "platform/net.h"

namespace testsupport {

class ControlConnection {
public:
    // Connects on loopback, closing an earlier connection first.
    bool Connect(std::uint16_t port);
    // The answer line to one control line ("ok ...", "error ..."); "error
    // control connection lost" when the connection fails, and an error
    // naming the line when no answer comes within a few seconds (the
    // connection is closed then: a late answer would be taken for the next).
    std::string Ask(const std::string& line);

private:
    platform::TcpConnection connection_;
    std::string pending_;  // received bytes after the last answer line
};

}  // namespace testsupport

#endif
