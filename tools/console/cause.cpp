#include "cause.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "causerules.h"

namespace cause {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool GivesReason(const std::string& line) {
    const std::string lower = Lower(line);
    return std::any_of(std::begin(rules::kReasonWords), std::end(rules::kReasonWords),
                       [&lower](const char* word) { return lower.find(word) != std::string::npos; });
}

bool Restates(const std::string& line, const std::string& failure) {
    if (line == failure) return true;
    return std::any_of(std::begin(rules::kRestatements), std::end(rules::kRestatements),
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
    if (lines.size() > rules::kMaxLines) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(rules::kMaxLines));
    }
    return lines;
}

}  // namespace cause
