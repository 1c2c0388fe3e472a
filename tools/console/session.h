// Runs console lines against the library: command lines through
// sendCommand, and the console's own ':' verbs (settings, firmware load,
// version report, EEPROM operations). A failed line carries what the
// library logged about it (its cause) and, for a mistyped name, what was
// probably meant.
#ifndef TB_CONSOLE_SESSION_H
#define TB_CONSOLE_SESSION_H

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "definitionnames.h"
#include "libraryapi.h"
#include "outcome.h"
#include "progressline.h"
#include "resultview.h"
#include "verbsyntax.h"

class Session {
public:
    // A session's command time-out unless --timeout or :timeout sets another.
    static constexpr int kDefaultTimeoutMs = 5000;

    struct Settings {
        int timeoutMs = kDefaultTimeoutMs;
        bool strict = true;  // refuse EEPROM and command parameter values the library would misread
        resultview::Format format = resultview::Format::Auto;
        // The dispatcher's address as the console knows it (its option, or
        // the registry's value): the library does not report it.
        std::string dispatcher;
    };

    // The definitions and the progress line (which may be null: no progress
    // shown) must outlive the session.
    Session(const LibraryApi& api, const DefinitionNames& names, Settings settings, ProgressLine* progress);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    struct LineResult {
        bool quit = false;
        std::optional<Outcome> outcome;  // none for settings and help
        std::string note;                // text for the person (help, settings, figures)
    };
    // One line without its comment or surrounding blanks; not an ":expect".
    LineResult Run(const std::string& line);

    // Whether a library call runs now (any thread).
    bool Busy() const { return running_.load(); }
    // Ctrl-C, from another thread: cancels the operation running now; false
    // when none runs.
    bool Interrupt();
    // Whether Ctrl-C cancelled an operation of this session.
    bool WasInterrupted() const { return interrupted_.load(); }
    // A line for the start of the session when no dispatcher has connected
    // yet ("" when one has, or the library cannot tell).
    std::string LinkNote() const;
    resultview::Format Format() const { return settings_.format; }
    // What the last ":version" found: "" a compatible MAC and PHY pair,
    // otherwise why not; none when no ":version" ran.
    const std::optional<std::string>& LastVersionProblem() const { return lastVersionProblem_; }

    // The ':' verbs as help, completion and the README's check read them.
    static std::vector<VerbSyntax> Syntax();

private:
    class Running;  // marks a library call in progress, for Interrupt
    struct Verb;        // a row of the verb table
    struct EepromVerb;  // a row of the table of ":eeprom" forms
    struct Call {       // one verb line: its row, the line, its words (the verb first)
        const Verb& verb;
        const std::string& line;
        const std::vector<std::string>& words;
    };
    static const std::vector<Verb>& Verbs();
    static const std::vector<EepromVerb>& EepromVerbs();
    static std::vector<VerbSyntax> EepromForms();
    static const Verb* FindVerb(const std::string& name);
    static VerbSyntax SyntaxOf(const Verb& verb);

    Outcome RunCommand(const std::string& line);
    LineResult RunVerb(const std::string& line);
    // The handlers of the verb table.
    LineResult Quit(const Call& call);
    LineResult Help(const Call& call);
    LineResult Stats(const Call& call);
    LineResult Link(const Call& call);
    LineResult Sleep(const Call& call);
    LineResult Timeout(const Call& call);
    LineResult InternalTimeout(const Call& call);
    LineResult Severity(const Call& call);
    LineResult ResultFormat(const Call& call);
    LineResult Sync(const Call& call);
    LineResult LoadVerb(const Call& call);
    LineResult VerifyFirmware(const Call& call);
    LineResult SaveMemory(const Call& call);
    LineResult LoadMemory(const Call& call);
    LineResult VerifyMemory(const Call& call);
    LineResult Version(const Call& call);
    LineResult Eeprom(const Call& call);
    // The handlers of the ":eeprom" forms: no outcome when the words do not
    // fit the form; `chipTraffic` is whether the call needed the dispatcher.
    std::optional<Outcome> EepromInit(const Call& call, bool& chipTraffic);
    std::optional<Outcome> EepromSet(const Call& call, bool& chipTraffic);
    std::optional<Outcome> EepromGet(const Call& call, bool& chipTraffic);
    std::optional<Outcome> EepromList(const Call& call, bool& chipTraffic);
    std::optional<Outcome> EepromDump(const Call& call, bool& chipTraffic);
    std::optional<Outcome> EepromBurn(const Call& call, bool& chipTraffic);
    void SuggestEepromField(Outcome& outcome, const Call& call) const;
    Outcome UpdateEepromField(const std::string& line, const std::string& field, const std::string& value);
    Outcome Load(const std::string& line, const std::string& path);
    // A firmware export's outcome (LoadFW, tbx_verifyFW), with why it failed.
    Outcome FirmwareOutcome(const std::string& line, const std::string& path, int rc);
    // A memory transfer's outcome (tbx_readMemory, tbx_writeMemory), with why it failed.
    Outcome TransferOutcome(const std::string& line, int rc);
    // The text the library left in its result buffer (up to its first NUL).
    std::string LibraryResultText() const;
    void FinishProgress();
    Outcome VersionReport(const std::string& line);
    Outcome IntegerOutcome(const std::string& line, int rc, bool ok);
    Outcome TextOutcome(const std::string& line, const char* text);
    static Outcome Refused(const std::string& line, const std::string& usage);
    static LineResult UsageRefused(const Call& call);
    static LineResult Incomplete(const Call& call);
    // Fills in why a failed outcome failed; `chipTraffic`: the operation
    // needs the dispatcher.
    void Explain(Outcome& outcome, bool chipTraffic);
    void NoteImageFileLongerThanLayout(Outcome& outcome);
    std::string Statistics() const;
    std::string LinkText(const tbx_LinkState& state) const;
    // After a library operation: when it took an answer, that is the last one.
    void NoteAnswers();
    static int OnProgress(const char* stage, unsigned long long done, unsigned long long total, void* user);
    static void OnProgressOnly(const char* stage, unsigned long long done, unsigned long long total, void* user);

    const LibraryApi& api_;
    const DefinitionNames& names_;
    const std::vector<std::string> commandWords_;
    Settings settings_;
    static constexpr int kInternalTimeoutNotSet = -2;  // the library keeps its own
    int internalTimeoutMs_ = kInternalTimeoutNotSet;
    ProgressLine* progress_;
    std::atomic<bool> running_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> interrupted_{false};
    bool logPathShown_ = false;
    std::optional<std::string> lastVersionProblem_;
    // The end of the last operation that took an answer (tbx_getLastOperationStats'
    // eventsAccepted); the library keeps no time of its own for it.
    std::optional<std::chrono::steady_clock::time_point> lastAnswer_;
};

#endif
