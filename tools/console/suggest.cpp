#include "suggest.h"

#include <algorithm>
#include <cctype>
#include <numeric>

#include "consoletext.h"

namespace suggest {

namespace {

char Fold(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// Near enough: at most a third of the longer name's letters differ (and at
// least one edit is allowed).
bool NearEnough(std::size_t distance, const std::string& word, const std::string& name) {
    const std::size_t longer = std::max(word.size(), name.size());
    return distance <= std::max<std::size_t>(1, longer / 3);
}

struct Parameter {
    std::string name;
    std::string rest;  // "=value" and what follows, as typed
};

// A "name=value" word of a PHY or MAC command line ("name" alone when it has
// no value); commas between parameters are the line's own.
Parameter SplitParameter(const std::string& word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) return {word, ""};
    return {word.substr(0, equals), word.substr(equals)};
}

std::string WithoutComma(const std::string& word) {
    return !word.empty() && word.back() == ',' ? word.substr(0, word.size() - 1) : word;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::size_t Distance(const std::string& a, const std::string& b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    // Three rows of the optimal-string-alignment table.
    std::vector<std::size_t> before(m + 1), previous(m + 1), current(m + 1);
    std::iota(previous.begin(), previous.end(), 0);
    for (std::size_t i = 1; i <= n; ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = Fold(a[i - 1]) == Fold(b[j - 1]) ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && Fold(a[i - 1]) == Fold(b[j - 2]) && Fold(a[i - 2]) == Fold(b[j - 1])) {
                current[j] = std::min(current[j], before[j - 2] + 1);
            }
        }
        before.swap(previous);
        previous.swap(current);
    }
    return previous[m];
}

std::vector<std::string> Nearest(const std::string& word, const std::vector<std::string>& names, std::size_t count) {
    std::vector<std::pair<std::size_t, std::string>> near;
    for (const std::string& name : names) {
        // A typed prefix of a long name is near too (a word cut short).
        const bool prefix = word.size() >= 4 && name.size() > word.size() && Distance(name.substr(0, word.size()), word) == 0;
        const std::size_t distance = prefix ? 1 : Distance(word, name);
        if (NearEnough(distance, word, name)) near.emplace_back(distance, name);
    }
    std::vector<std::string> best;
    if (near.empty()) return best;
    const std::size_t nearest =
        std::min_element(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; })
            ->first;
    for (const auto& entry : near) {
        if (best.size() == count) break;
        if (entry.first == nearest && !Contains(best, entry.second)) best.push_back(entry.second);
    }
    return best;
}

std::string Line(const std::string& line, const std::vector<std::string>& commandWords,
                 const DefinitionNames& names) {
    const std::vector<std::string> words = consoletext::Words(line);
    if (words.empty()) return "";
    bool changed = false;
    std::string command = words[0];
    if (!Contains(commandWords, command)) {
        const std::vector<std::string> nearest = Nearest(command, commandWords, 1);
        if (nearest.empty()) return "";
        command = nearest.front();
        changed = true;
    }
    std::string suggested = command;
    const std::vector<std::string> parameters = names.Parameters(command);
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string bare = WithoutComma(words[i]);
        const bool comma = bare.size() != words[i].size();
        Parameter parameter = SplitParameter(bare);
        if (!parameters.empty() && !Contains(parameters, parameter.name)) {
            const std::vector<std::string> nearest = Nearest(parameter.name, parameters, 1);
            if (!nearest.empty()) {
                parameter.name = nearest.front();
                if (parameter.rest.empty()) parameter.rest = "=";  // the value was left out
                changed = true;
            }
        }
        suggested += " " + parameter.name + parameter.rest + (comma ? "," : "");
    }
    return changed ? suggested : "";
}

}  // namespace suggest
