// Runs lines one after the other, from a script file or the prompt, and
// checks the ":expect" lines against the outcome of the line before them.
// In a script a line that fails without an ":expect" after it is a miss too,
// so that a script is a regression test as it stands.
#ifndef TB_CONSOLE_SCRIPTRUNNER_H
#define TB_CONSOLE_SCRIPTRUNNER_H

#include <functional>
#include <optional>
#include <string>

#include "outcome.h"
#include "reporter.h"
#include "session.h"

class ScriptRunner {
public:
    struct Rules {
        std::string name;          // the file name in "file:line"
        bool failuresMiss = true;  // a failed line without ":expect" is a miss
        bool keepGoing = false;    // go on after a miss
    };
    using NextLine = std::function<bool(std::string& line)>;

    ScriptRunner(Session& session, Reporter& reporter, Rules rules);

    // Runs until the lines end, ":quit", or (without keepGoing) the first
    // miss. Returns the number of misses.
    int Run(const NextLine& next);

private:
    // False when the run must stop.
    bool Check(const std::string& expectation, int line);
    bool SettleImplicit();
    bool Missed(int line, const std::string& reason);

    Session& session_;
    Reporter& reporter_;
    Rules rules_;
    std::optional<Outcome> last_;
    int lastLine_ = 0;
    bool lastChecked_ = false;
    int misses_ = 0;
};

#endif
