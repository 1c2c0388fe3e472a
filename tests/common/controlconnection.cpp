#include "controlconnection.h"

namespace testsupport {

bool ControlConnection::Connect(std::uint16_t port) {
    connection_.Close();
    pending_.clear();
    return connection_.Connect(platform::kLoopbackAddress, port);
}

std::string ControlConnection::Ask(const std::string& line) {
    const std::string sent = line + "\n";
    if (connection_.Send(reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size()) !=
        static_cast<int>(sent.size())) {
        return "error control connection lost";
    }
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return answer;
        }
        std::uint8_t buffer[4096];
        const int got = connection_.Receive(buffer, sizeof buffer);
        if (got <= 0) return "error control connection lost";
        pending_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got));
    }
}

}  // namespace testsupport
