#include "versionreport.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "consoletext.h"

namespace versionreport {

namespace {

// The report's words, and the ones the library compares between the sides.
const std::vector<std::string> kWords = {"Major Version",
                                         "Minor Version",
                                         "Branch Version",
                                         "Build Number",
                                         "System Repo Revision Number",
                                         "Component Repo Revision Number",
                                         "Host-FW Interface Revision Number",
                                         "Phy-Mac Interface Revision Number",
                                         "Uart-Phy Interface Revision Number"};
const std::vector<std::string> kCompared = {"Major Version", "Minor Version", "Branch Version",
                                            "Phy-Mac Interface Revision Number"};

struct Side {
    bool seen = false;
    int read = 0;  // words read
    bool allZero = true;
    bool comparedUnread = false;
    bool Blank() const { return read > 0 && allZero; }
};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A line "Label: number" of one of the report's words.
void TakeWord(const std::string& line, Side& side) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    const std::string label = consoletext::Trimmed(line.substr(0, colon));
    const std::string value = consoletext::Trimmed(line.substr(colon + 1));
    char* end = nullptr;
    const long long number = std::strtoll(value.c_str(), &end, 10);
    if (!Contains(kWords, label) || value.empty() || *end != '\0') return;
    if (value == kUnreadWord) {
        side.comparedUnread = side.comparedUnread || Contains(kCompared, label);
        return;
    }
    ++side.read;
    side.allZero = side.allZero && number == 0;
}

// "!! PHY and Mac are from different release branch !!" -> the words between.
bool IsWarning(const std::string& line) {
    return line.size() > 4 && line.compare(0, 3, "!! ") == 0 && line.compare(line.size() - 2, 2, "!!") == 0;
}

std::string Joined(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
    return text;
}

}  // namespace

std::string Problem(const std::string& report) {
    Side mac;
    Side phy;
    Side* current = nullptr;
    std::vector<std::string> warnings;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        line = consoletext::Trimmed(line);
        if (line == "Mac Version:" || line == "Phy Version:") {
            current = line == "Mac Version:" ? &mac : &phy;
            current->seen = true;
        } else if (IsWarning(line)) {
            const std::size_t first = line.find_first_not_of("! ");
            warnings.push_back(line.substr(first, line.find_last_not_of("! ") - first + 1));
        } else if (current != nullptr) {
            TakeWord(line, *current);
        }
    }
    if (!mac.seen || !phy.seen) return "the library's text is no version report";
    std::vector<std::string> blank;
    if (mac.Blank()) blank.push_back("the MAC");
    if (phy.Blank()) blank.push_back("the PHY");
    if (!blank.empty()) return "no firmware answers on " + Joined(blank, " and ") + ": every version word reads 0";
    if (mac.comparedUnread || phy.comparedUnread) {
        return "the words the library compares (major, minor, branch, Phy-Mac interface) were not all read";
    }
    if (!warnings.empty()) return "incompatible versions: " + Joined(warnings, "; ");
    return "";
}

}  // namespace versionreport
