#include "scriptrunner.h"

#include "consoletext.h"
#include "expectation.h"

namespace {

using consoletext::Trimmed;

const std::string kExpect = ":expect";

bool IsExpectation(const std::string& line) {
    return line.compare(0, kExpect.size(), kExpect) == 0 &&
           (line.size() == kExpect.size() || line[kExpect.size()] == ' ' || line[kExpect.size()] == '\t');
}

}  // namespace

ScriptRunner::ScriptRunner(Session& session, Reporter& reporter, Rules rules)
    : session_(session), reporter_(reporter), rules_(std::move(rules)) {}

int ScriptRunner::Run(const NextLine& next) {
    std::string raw;
    for (int number = 1; next(raw); ++number) {
        const std::string line = Trimmed(raw);
        if (line.empty() || line[0] == '#') continue;
        if (IsExpectation(line)) {
            if (!Check(line.substr(kExpect.size()), number)) return misses_;
            continue;
        }
        if (!SettleImplicit()) return misses_;
        reporter_.Echo(line);
        Session::LineResult result = session_.Run(line);
        reporter_.Note(result.note);
        if (result.outcome) {
            reporter_.Report(*result.outcome);
            last_ = std::move(result.outcome);
            lastLine_ = number;
            lastChecked_ = false;
        }
        if (result.quit) break;
    }
    SettleImplicit();
    return misses_;
}

bool ScriptRunner::Check(const std::string& expectation, int line) {
    if (!last_) return Missed(line, ":expect without a line before it to check");
    lastChecked_ = true;
    Expectation parsed;
    std::string error;
    if (!Expectation::Parse(expectation, parsed, error)) return Missed(line, error);
    const std::string reason = parsed.Check(*last_);
    return reason.empty() || Missed(line, reason);
}

// The line before had no ":expect" of its own: in a script it must have succeeded.
bool ScriptRunner::SettleImplicit() {
    if (!last_ || lastChecked_ || !rules_.failuresMiss) return true;
    lastChecked_ = true;
    const std::string reason = Expectation::Ok().Check(*last_);
    return reason.empty() || Missed(lastLine_, reason);
}

bool ScriptRunner::Missed(int line, const std::string& reason) {
    ++misses_;
    reporter_.Miss(rules_.name + ":" + std::to_string(line), reason);
    return rules_.keepGoing;
}
