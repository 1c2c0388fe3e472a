#include "scriptrunner.h"

#include "consoletext.h"
#include "expectation.h"

namespace {

using consoletext::Trimmed;

const std::string kExpect = Expectation::kVerb;

bool IsExpectation(const std::string& line) {
    return line.compare(0, kExpect.size(), kExpect) == 0 &&
           (line.size() == kExpect.size() || line[kExpect.size()] == ' ' || line[kExpect.size()] == '\t');
}

}  // namespace

ScriptRunner::ScriptRunner(Session& session, Reporter& reporter, Rules rules)
    : session_(session), reporter_(reporter), rules_(std::move(rules)) {}

int ScriptRunner::Run(const NextLine& next) {
    std::string raw;
    bool going = true;
    for (int number = 1; going; ++number) {
        const Input input = next(raw);
        if (input == Input::End) break;
        if (input == Input::Quit) {
            endedByInterrupt_ = true;
            break;
        }
        if (input == Input::Interrupted) continue;
        going = RunLine(Trimmed(raw), number);
    }
    if (going) SettleImplicit();
    ReportPending();
    return misses_;
}

// False when the run must stop.
bool ScriptRunner::RunLine(const std::string& line, int number) {
    if (line.empty() || line[0] == '#') return true;
    if (IsExpectation(line)) return Check(line.substr(kExpect.size()), number);
    if (!SettleImplicit()) return false;
    ReportPending();
    reporter_.Echo(line);
    Session::LineResult result = session_.Run(line);
    reporter_.Note(result.note);
    if (result.outcome) {
        last_ = std::move(result.outcome);
        lastLine_ = number;
        lastChecked_ = false;
        expectations_.clear();
        reportPending_ = true;
        if (!reporter_.Json() || !rules_.deferJson) ReportPending();
    }
    if (rules_.stopWhenInterrupted && session_.WasInterrupted()) {
        endedByInterrupt_ = true;
        return false;
    }
    return !result.quit;
}

void ScriptRunner::ReportPending() {
    if (!reportPending_ || !last_) return;
    reportPending_ = false;
    reporter_.Report(*last_, Reporter::Place{rules_.name, lastLine_, expectations_}, session_.Format());
}

bool ScriptRunner::Check(const std::string& expectation, int line) {
    if (!last_) return Missed(line, ":expect without a line before it to check");
    lastChecked_ = true;
    Expectation parsed;
    std::string error;
    // A mistyped expectation is an unmet one: in the line's record too.
    if (!Expectation::Parse(expectation, parsed, error)) return Record({line, Trimmed(expectation), false, error});
    return Record({line, Trimmed(expectation), false, parsed.Check(*last_, session_.LastVersionProblem())});
}

// The line before had no ":expect" of its own: in a script it must have succeeded.
bool ScriptRunner::SettleImplicit() {
    if (!last_ || lastChecked_ || !rules_.failuresMiss) return true;
    lastChecked_ = true;
    return Record({lastLine_, "ok (implied: no :expect after the line)", false, Expectation::Ok().Check(*last_)});
}

// Keeps an expectation's outcome for the line's record; false when the run must stop.
bool ScriptRunner::Record(ExpectationResult result) {
    result.met = result.reason.empty();
    expectations_.push_back(result);
    if (reporter_.Json() && !rules_.deferJson) reporter_.ReportExpectation(rules_.name, result);
    return result.met || Missed(result.line, result.reason);
}

bool ScriptRunner::Missed(int line, const std::string& reason) {
    ++misses_;
    reporter_.Miss(rules_.name + ":" + std::to_string(line), reason);
    return rules_.keepGoing;
}
