// Runs lines one after the other, from a script file or the prompt, and
// checks the ":expect" lines against the outcome of the line before them.
// In a script a line that fails without an ":expect" after it is a miss too,
// so that a script is a regression test as it stands.
#ifndef TB_CONSOLE_SCRIPTRUNNER_H
#define TB_CONSOLE_SCRIPTRUNNER_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "outcome.h"
#include "reporter.h"
#include "session.h"

class ScriptRunner {
public:
    struct Rules {
        std::string name;          // the file name in "file:line"
        bool failuresMiss = true;  // a failed line without ":expect" is a miss
        bool keepGoing = false;    // go on after a miss
        // A JSON record waits for the expectations after its line, so that it
        // carries their outcome; at the prompt each is written at once.
        bool deferJson = true;
        bool stopWhenInterrupted = true;  // Ctrl-C that cancelled a line ends the run
    };
    enum class Input {
        Line,
        Interrupted,  // Ctrl-C at the prompt: nothing to run
        Quit,         // Ctrl-C twice within a second
        End,
    };
    using NextLine = std::function<Input(std::string& line)>;

    ScriptRunner(Session& session, Reporter& reporter, Rules rules);

    // Runs until the lines end, ":quit", Ctrl-C ends it, or (without
    // keepGoing) the first miss. Returns the number of misses.
    int Run(const NextLine& next);
    // The run ended because of Ctrl-C.
    bool EndedByInterrupt() const { return endedByInterrupt_; }

private:
    bool RunLine(const std::string& line, int number);
    // False when the run must stop.
    bool Check(const std::string& expectation, int line);
    bool SettleImplicit();
    bool Record(ExpectationResult result);
    void ReportPending();
    bool Missed(int line, const std::string& reason);

    Session& session_;
    Reporter& reporter_;
    Rules rules_;
    std::optional<Outcome> last_;
    int lastLine_ = 0;
    bool lastChecked_ = false;
    bool reportPending_ = false;
    std::vector<ExpectationResult> expectations_;  // of the last line
    int misses_ = 0;
    bool endedByInterrupt_ = false;
};

#endif
