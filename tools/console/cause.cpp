#include "cause.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace cause {

namespace {

// Words of a line that says why something did not happen (lower case).
// Not "timeout" alone: the course of a command logs its parameters, and a
// field may be called timeout ("Handle command: ... timeout=500"); a lost
// answer says "Timeout Occur - No Response ...". "bad " with its blank for
// the same reason ("Bad PHY command type.").
const char* const kReasonWords[] = {
    "error",     "fail",     "not found", "wrong usage", "unknown",  "invalid", "illegal", "refused", "cancel",
    "unable",    "exceed",   "discard",   "doesn't",     "does not", "wasn't",  "couldn't", "can't",  "not a ",
    "no value",  "answered the command with", "out of",  "too long", "longer than", "outside", "timeout occur",
    "no response", "bad ",
};

// Lines that only restate the failure text the host has already.
const char* const kRestatements[] = {
    "Error: Couldn't adapt command '",
    "Error: Failed to Send Command : '",
    "Timeout Error: No Event occur for command : '",
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool GivesReason(const std::string& line) {
    const std::string lower = Lower(line);
    return std::any_of(std::begin(kReasonWords), std::end(kReasonWords),
                       [&lower](const char* word) { return lower.find(word) != std::string::npos; });
}

bool Restates(const std::string& line, const std::string& failure) {
    if (line == failure) return true;
    return std::any_of(std::begin(kRestatements), std::end(kRestatements),
                       [&line](const char* start) { return line.rfind(start, 0) == 0; });
}

}  // namespace

std::vector<std::string> Lines(const std::string& operationLog, const std::string& failure) {
    std::vector<std::string> lines;
    std::istringstream stream(operationLog);
    std::string line;
    while (std::getline(stream, line)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (line.empty() || !GivesReason(line) || Restates(line, failure)) continue;
        if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
    }
    if (lines.size() > kMaxLines) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(kMaxLines));
    return lines;
}

}  // namespace cause
