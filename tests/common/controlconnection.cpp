#include "controlconnection.h"

#include <chrono>

namespace testsupport {

namespace {
// The emulator answers every line at once (loading a definition set takes
// milliseconds); a longer silence means it hangs or is gone.
constexpr int kAnswerTimeoutMs = 5000;
}  // namespace

bool ControlConnection::Connect(std::uint16_t port) {
    connection_.Close();
    pending_.clear();
    return connection_.Connect(platform::kLoopbackAddress, port) &&
           connection_.WatchReadable() == platform::WatchResult::kOk;
}

std::string ControlConnection::Ask(const std::string& line) {
    const std::string sent = line + "\n";
    if (connection_.Send(reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size()) !=
        static_cast<int>(sent.size())) {
        return "error control connection lost";
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return answer;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || platform::WaitForAny({connection_}, static_cast<int>(left.count())) != 0) {
            // A late answer would be taken for the next line's: the
            // connection is given up.
            connection_.Close();
            return "error no answer from the emulator to \"" + line + "\" within " +
                   std::to_string(kAnswerTimeoutMs) + " ms";
        }
        connection_.ResetReadable();
        std::uint8_t buffer[4096];
        const int got = connection_.Receive(buffer, sizeof buffer);
        if (got == platform::kSocketWouldBlock) continue;
        if (got <= 0) return "error control connection lost";
        pending_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
    }
}

}  // namespace testsupport
