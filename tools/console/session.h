// Runs console lines against the library: command lines through
// sendCommand, and the console's own ':' verbs (settings, firmware load,
// version report, EEPROM operations).
#ifndef TB_CONSOLE_SESSION_H
#define TB_CONSOLE_SESSION_H

#include <optional>
#include <string>
#include <vector>

#include "libraryapi.h"
#include "outcome.h"
#include "progressline.h"

class Session {
public:
    // The progress line may be null (no progress shown); it must outlive the session.
    Session(const LibraryApi& api, int timeoutMs, ProgressLine* progress);
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

    static const std::vector<std::string>& VerbNames();
    static const std::vector<std::string>& EepromVerbNames();
    static const std::vector<std::string>& ExpectKinds();

private:
    Outcome RunCommand(const std::string& line);
    LineResult RunVerb(const std::string& line);
    // False when the verb is no setting.
    bool ApplySetting(const std::string& verb, int value, std::string& note);
    Outcome RunOperation(const std::string& line, const std::vector<std::string>& words);
    Outcome RunEeprom(const std::string& line, const std::vector<std::string>& words, const std::string& rest);
    Outcome Load(const std::string& line, const std::string& path);
    Outcome IntegerOutcome(const std::string& line, int rc, bool ok);
    Outcome TextOutcome(const std::string& line, const char* text);
    static Outcome Refused(const std::string& line, const std::string& usage);
    std::string Statistics() const;
    static void OnProgress(const char* stage, unsigned long long done, unsigned long long total, void* user);

    const LibraryApi& api_;
    int timeoutMs_;
    ProgressLine* progress_;
};

#endif
