#include "session.h"

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "cause.h"
#include "completer.h"
#include "consoletext.h"
#include "startupcheck.h"
#include "suggest.h"
#include "valuecheck.h"
#include "versionreport.h"

namespace {

using consoletext::Words;

const char* const kHelp =
    "command lines go to the library, e.g. NATIVE_READ_WORD_CMD 0xBFC00000\n"
    ":timeout [MS]          command time-out (0 waits without limit); without MS the current one\n"
    ":internal-timeout [MS] time-out of each step of internal operations\n"
    ":severity [N]          log severity (1 errors, 2 commands, 3 detail)\n"
    ":format [auto|hex|text] how results are shown (auto: text when they are text)\n"
    ":sync                  synchronise chip access\n"
    ":load FILE             load and start a firmware package\n"
    ":version               the running firmware's version report\n"
    ":eeprom init MODE [FILE] | set NAME VALUE | get NAME [chip|image] | list [FILE] | dump FILE | burn [full]\n"
    ":stats                 packets and bytes of the last operation\n"
    ":expect ok | fail [TEXT] | result HEX | text REGEX   (checks the line before)\n"
    ":help, :quit\n"
    "Ctrl-C clears the prompt's line, or cancels the running operation; twice within a second ends tb-console.\n";

const char* const kCancelled = "Cancelled:";

class Stopwatch {
public:
    double ElapsedMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The text after the first `count` words.
std::string AfterWords(const std::string& text, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        at = text.find_first_not_of(" \t", at);
        at = at == std::string::npos ? text.size() : text.find_first_of(" \t", at);
        if (at == std::string::npos) return "";
    }
    const std::size_t start = text.find_first_not_of(" \t", at);
    return start == std::string::npos ? "" : text.substr(start);
}

bool ParseInt(const std::string& word, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0' || parsed < -2147483647L - 1 || parsed > 2147483647L) return false;
    value = static_cast<int>(parsed);
    return true;
}

std::string Milliseconds(int ms) { return ms <= 0 ? "none (waits without limit)" : std::to_string(ms) + " ms"; }

bool StartsWith(const std::string& text, const char* start) { return text.rfind(start, 0) == 0; }

}  // namespace

// A library call under way: Ctrl-C cancels it meanwhile.
class Session::Running {
public:
    explicit Running(Session& session) : session_(session) {
        session_.cancel_.store(false);
        session_.running_.store(true);
    }
    ~Running() { session_.running_.store(false); }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    Session& session_;
};

Session::Session(const LibraryApi& api, const DefinitionNames& names, Settings settings, ProgressLine* progress)
    : api_(api), names_(names), commandWords_(Completer::CommandWords(names)), settings_(settings),
      progress_(progress) {
    // The callback that may stop an operation (Ctrl-C) where the library has it.
    if (api_.setStoppableProgressCallback != nullptr) {
        api_.setStoppableProgressCallback(&OnProgress, this);
    } else if (api_.setProgressCallback != nullptr && progress_ != nullptr) {
        api_.setProgressCallback(&OnProgressOnly, this);
    }
}

Session::~Session() {
    if (api_.setStoppableProgressCallback != nullptr) api_.setStoppableProgressCallback(nullptr, nullptr);
    else if (api_.setProgressCallback != nullptr && progress_ != nullptr) api_.setProgressCallback(nullptr, nullptr);
}

const std::vector<std::string>& Session::VerbNames() {
    static const std::vector<std::string> names = {":timeout", ":internal-timeout", ":severity", ":format",
                                                   ":sync",    ":load",             ":version",  ":eeprom",
                                                   ":stats",   ":expect",           ":help",     ":quit"};
    return names;
}

const std::vector<std::string>& Session::EepromVerbNames() {
    static const std::vector<std::string> names = {"init", "set", "get", "list", "dump", "burn"};
    return names;
}

const std::vector<std::string>& Session::ExpectKinds() {
    static const std::vector<std::string> kinds = {"ok", "fail", "result", "text"};
    return kinds;
}

int Session::OnProgress(const char* stage, unsigned long long done, unsigned long long total, void* user) {
    auto* session = static_cast<Session*>(user);
    if (session->progress_ != nullptr) session->progress_->Update(stage != nullptr ? stage : "", done, total);
    return session->cancel_.load() ? 1 : 0;
}

void Session::OnProgressOnly(const char* stage, unsigned long long done, unsigned long long total, void* user) {
    OnProgress(stage, done, total, user);
}

bool Session::Interrupt() {
    if (!running_.load()) return false;
    cancel_.store(true);
    interrupted_.store(true);
    if (api_.cancelOperation != nullptr) api_.cancelOperation();
    return true;
}

namespace {

std::string NotListeningNote() {
    return "no dispatcher can connect: the library could not open its listening port (--tcp; another program "
           "may hold it)";
}

}  // namespace

std::string Session::LinkNote() const {
    tbx_LinkState state{};
    if (api_.getLinkState == nullptr || api_.getLinkState(&state) != 0 || state.connected != 0) return "";
    if (state.listenPort == 0) return NotListeningNote();
    return "no dispatcher has connected yet: the library waits for it on port " + std::to_string(state.listenPort) +
           " and sends its commands to port " + std::to_string(state.commandPort);
}

Session::LineResult Session::Run(const std::string& line) {
    if (line[0] == ':') return RunVerb(line);
    LineResult result;
    result.outcome = RunCommand(line);
    return result;
}

Outcome Session::RunCommand(const std::string& line) {
    if (settings_.strict) {
        const std::string problem = valuecheck::CommandValueProblem(line, names_);
        if (!problem.empty()) {
            Outcome refused = Refused(line, problem + " (--lenient passes it to the library)");
            refused.kind = Outcome::Kind::Command;
            return refused;
        }
    }
    Outcome outcome;
    outcome.command = line;
    const Stopwatch stopwatch;
    {
        const Running running(*this);
        outcome.rc = api_.sendCommand(line.c_str(), settings_.timeoutMs);
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    outcome.ok = outcome.rc == 0;
    if (!outcome.ok) {
        outcome.failure = api_.getFailureMessage();
        Explain(outcome, true);
        return outcome;
    }
    const int length = api_.getResultLen();
    outcome.resultLength = length > 0 ? static_cast<std::size_t>(length) : 0;
    outcome.resultHex = api_.getResultBufferText();
    outcome.resultBytes.assign(api_.getResultBuffer(), outcome.resultLength);
    outcome.resultText = outcome.resultBytes.c_str();  // up to the first NUL
    outcome.decoded = resultview::Decoded(line, outcome.resultBytes, names_);
    return outcome;
}

void Session::Explain(Outcome& outcome, bool chipTraffic) {
    outcome.cancelled = StartsWith(outcome.failure, kCancelled);
    if (api_.getLastOperationLog != nullptr) {
        outcome.cause = cause::Lines(api_.getLastOperationLog(), outcome.failure);
    }
    if (outcome.kind == Outcome::Kind::Command && StartsWith(outcome.failure, "Error: Failed to Send Command")) {
        outcome.suggestion = suggest::Line(outcome.command, commandWords_, names_);
    }
    tbx_LinkState state{};
    if (chipTraffic && !outcome.cancelled && api_.getLinkState != nullptr && api_.getLinkState(&state) == 0 &&
        state.connected == 0) {
        outcome.notes.push_back(state.listenPort == 0 ? NotListeningNote()
                                                      : "no dispatcher is connected: the library waits for it on port " +
                                                            std::to_string(state.listenPort));
    }
    if (!logPathShown_ && api_.getLogFilePath != nullptr && *api_.getLogFilePath() != '\0') {
        outcome.notes.push_back(std::string("the library's log: ") + api_.getLogFilePath());
        logPathShown_ = true;
    }
}

Session::LineResult Session::RunVerb(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    const std::string& verb = words[0];
    LineResult result;
    if (verb == ":quit" || verb == ":exit") {
        result.quit = true;
    } else if (verb == ":help") {
        result.note = kHelp;
    } else if (verb == ":stats") {
        result.note = Statistics();
    } else if (words.size() <= 2 && ApplySetting(verb, words, result.note)) {
        // a setting: its note says what it is now
    } else {
        result.outcome = RunOperation(line, words);
    }
    return result;
}

// A setting with its value sets it; without one it shows it. False when the
// verb is no setting or the value is not one it takes.
bool Session::ApplySetting(const std::string& verb, const std::vector<std::string>& words, std::string& note) {
    const bool show = words.size() == 1;
    int value = 0;
    if (verb == ":format") {
        if (!show && !resultview::ParseFormat(words[1], settings_.format)) return false;
        note = std::string("result format ") + resultview::FormatName(settings_.format);
        return true;
    }
    if (!show && !ParseInt(words[1], value)) return false;
    if (verb == ":timeout") {
        if (!show) settings_.timeoutMs = value;
        note = "command time-out " + Milliseconds(settings_.timeoutMs);
    } else if (verb == ":internal-timeout") {
        if (!show) {
            api_.setInternalCommandTimeout(value);
            internalTimeoutMs_ = value;
        }
        note = internalTimeoutMs_ == kInternalTimeoutNotSet
                   ? "internal time-out: the library's own (not set by this console)"
                   : "internal time-out " + Milliseconds(internalTimeoutMs_);
    } else if (verb == ":severity") {
        if (!show) api_.setLogSeverity(value);
        note = "log severity " + std::to_string(api_.getLogSeverity());
    } else {
        return false;
    }
    return true;
}

Outcome Session::RunOperation(const std::string& line, const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    if (verb == ":load" && words.size() >= 2) return Load(line, AfterWords(line, 1));
    if (verb == ":eeprom" && words.size() >= 2) return RunEeprom(line, words, AfterWords(line, 2));
    if (verb == ":version" && words.size() == 1) return VersionReport(line);
    if (verb == ":sync" && words.size() == 1) {
        const Stopwatch stopwatch;
        int rc = 0;
        {
            const Running running(*this);
            rc = api_.SyncChipAccess();
        }
        Outcome outcome = IntegerOutcome(line, rc, rc == 0);
        outcome.elapsedMs = stopwatch.ElapsedMs();
        return outcome;
    }
    if (verb == ":format" || verb == ":timeout" || verb == ":internal-timeout" || verb == ":severity") {
        return Refused(line, "usage: " + verb + (verb == ":format" ? " [auto|hex|text]" : " [NUMBER]"));
    }
    return Refused(line, "unknown or incomplete console verb; :help lists them");
}

// The report counts as done only when every version word was read and the
// MAC and PHY firmware answering are a compatible pair.
Outcome Session::VersionReport(const std::string& line) {
    const Stopwatch stopwatch;
    const char* text = nullptr;
    {
        const Running running(*this);
        text = api_.getSystemVersionInfo();
    }
    Outcome outcome = TextOutcome(line, text);
    outcome.shownByLibrary = true;
    if (outcome.ok && outcome.resultText.find(versionreport::kUnreadWord) != std::string::npos) {
        outcome.ok = false;
        outcome.rc = 1;
        outcome.failure = "some version words could not be read (the report shows them as " +
                          std::string(versionreport::kUnreadWord) + ")";
        Explain(outcome, true);
    } else if (outcome.ok) {
        outcome.failure = versionreport::Problem(outcome.resultText);
        outcome.ok = outcome.failure.empty();
        outcome.rc = outcome.ok ? 0 : 1;
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

Outcome Session::Load(const std::string& line, const std::string& path) {
    const Stopwatch stopwatch;
    int rc = 0;
    {
        const Running running(*this);
        rc = api_.LoadFW(path.c_str());
    }
    if (progress_ != nullptr) progress_->Finish();
    Outcome outcome = IntegerOutcome(line, rc, rc == 0);
    if (!outcome.ok) Explain(outcome, true);
    // The library logs nothing of its own for a file that is no package.
    if (!outcome.ok && outcome.cause.empty() && !outcome.cancelled) {
        const std::string problem = startupcheck::FirmwareProblem(path);
        if (!problem.empty()) outcome.cause.push_back(problem);
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

Outcome Session::UpdateEepromField(const std::string& line, const std::string& field, const std::string& value) {
    if (settings_.strict) {
        const std::string problem = valuecheck::EepromValueProblem(field, value, names_);
        if (!problem.empty()) return Refused(line, problem + " (--lenient passes it to the library)");
    }
    const int rc = api_.UpdateEepromField(field.c_str(), value.c_str());
    Outcome outcome = IntegerOutcome(line, rc, rc == 0);
    if (!outcome.ok) Explain(outcome, false);
    return outcome;
}

// words[1] is the EEPROM verb, `rest` the text after it.
Outcome Session::RunEeprom(const std::string& line, const std::vector<std::string>& words, const std::string& rest) {
    const std::string& action = words[1];
    const std::size_t arguments = words.size() - 2;
    const Stopwatch stopwatch;
    Outcome outcome;
    int mode = 0;
    bool chipTraffic = true;
    {
        const Running running(*this);
        if (action == "init" && (arguments == 1 || arguments == 2) && ParseInt(words[2], mode)) {
            const int rc = api_.InitEepromIF(mode, AfterWords(line, 3).c_str());
            outcome = IntegerOutcome(line, rc, rc == 0);
            chipTraffic = mode == 2;
            if (outcome.ok && mode == 1) NoteImageFileLongerThanLayout(outcome);
        } else if (action == "set" && arguments >= 2) {
            outcome = UpdateEepromField(line, words[2], AfterWords(line, 3));
            chipTraffic = false;
        } else if (action == "get" &&
                   (arguments == 1 || (arguments == 2 && (words[3] == "chip" || words[3] == "image")))) {
            const bool image = arguments == 2 && words[3] == "image";
            outcome = TextOutcome(line, image ? api_.ReadFieldFromVolatile(words[2].c_str())
                                              : api_.ReadFieldFromEeprom(words[2].c_str()));
            chipTraffic = !image;
        } else if (action == "list" && arguments <= 1) {
            outcome = TextOutcome(line, api_.ReadEntireEeprom(rest.c_str()));
        } else if (action == "dump" && arguments == 1) {
            const int rc = api_.DumpEepromTableToFile(rest.c_str());
            outcome = IntegerOutcome(line, rc, rc == 0);
            chipTraffic = false;
        } else if (action == "burn" && (arguments == 0 || (arguments == 1 && words[2] == "full"))) {
            const int rc = api_.BurnEeprom(arguments == 0 ? 1 : 0);
            outcome = IntegerOutcome(line, rc, rc == 1);  // BurnEeprom answers 1 when it wrote
        } else {
            return Refused(line, "usage: :eeprom init MODE [FILE] | set NAME VALUE | get NAME [chip|image] | "
                                 "list [FILE] | dump FILE | burn [full]");
        }
    }
    if (progress_ != nullptr) progress_->Finish();
    if (!outcome.ok && outcome.rc != Outcome::kRefused) Explain(outcome, chipTraffic);
    if (!outcome.ok && (action == "set" || action == "get") && !names_.EepromFields().empty() &&
        names_.FindEepromField(words[2]) == nullptr) {
        const std::vector<std::string> nearest = suggest::Nearest(words[2], names_.EepromFields(), 1);
        if (!nearest.empty()) {
            outcome.suggestion = consoletext::Trimmed(":eeprom " + action + " " + nearest.front() + " " + AfterWords(line, 3));
        }
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

// An image file longer than the layout loads its first bytes only, which
// the library logs and otherwise takes for a success.
void Session::NoteImageFileLongerThanLayout(Outcome& outcome) {
    if (api_.getLastOperationLog == nullptr) return;
    std::istringstream lines(api_.getLastOperationLog());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("<EepromInterface>Eeprom File Size(", 0) != 0) continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        outcome.notes.push_back("warning: the image file is longer than the EEPROM layout; only its first bytes "
                                "were taken (" + line + ")");
        return;
    }
}

// `ok` is what rc means for the export that gave it.
Outcome Session::IntegerOutcome(const std::string& line, int rc, bool ok) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::Verb;
    outcome.command = line;
    outcome.rc = rc;
    outcome.ok = ok;
    if (!outcome.ok) outcome.failure = api_.getFailureMessage();
    return outcome;
}

// The text exports hand back the library's failure text itself when their
// operation failed, and a text of their own (the result) otherwise.
Outcome Session::TextOutcome(const std::string& line, const char* text) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::Verb;
    outcome.command = line;
    outcome.ok = text != api_.getFailureMessage();
    outcome.rc = outcome.ok ? 0 : 1;
    if (outcome.ok) {
        outcome.resultText = text;
        outcome.resultBytes = outcome.resultText;
        outcome.resultLength = outcome.resultText.size();
        outcome.resultHex = resultview::Hex(outcome.resultBytes);
    } else {
        outcome.failure = text;
    }
    return outcome;
}

Outcome Session::Refused(const std::string& line, const std::string& usage) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::Verb;
    outcome.command = line;
    outcome.rc = Outcome::kRefused;
    outcome.failure = usage;
    return outcome;
}

std::string Session::Statistics() const {
    tbx_OperationStats stats{};
    if (api_.getLastOperationStats == nullptr || api_.getLastOperationStats(&stats) != 0) {
        return "no traffic figures from this library";
    }
    return "last operation: " + std::to_string(stats.commandsSent) + " commands sent, " +
           std::to_string(stats.eventsAccepted) + " events accepted, " + std::to_string(stats.eventsDropped) +
           " events dropped, " + std::to_string(stats.bytesSent) + " bytes sent, " +
           std::to_string(stats.bytesReceived) + " bytes received";
}
