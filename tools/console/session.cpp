#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "cause.h"
#include "completer.h"
#include "consoletext.h"
#include "expectation.h"
#include "memoryfile.h"
#include "platform/platform.h"
#include "startupcheck.h"
#include "suggest.h"
#include "valuecheck.h"
#include "versionreport.h"

namespace {

using consoletext::Words;

const char* const kHelpIntro = "command lines go to the library, e.g. NATIVE_READ_WORD_CMD 0xBFC00000\n";
const char* const kHelpClosing =
    "Ctrl-C clears the prompt's line, or cancels the running operation; twice within a second ends tb-console.\n";
const char* const kUnknownVerb = "unknown or incomplete console verb; :help lists them";

// The sources of :eeprom init MODE that take more than the definitions.
constexpr int kEepromFromImageFile = 1;
constexpr int kEepromFromChip = 2;

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

Session::LineResult NoteResult(const std::string& note) {
    Session::LineResult result;
    result.note = note;
    return result;
}

Session::LineResult OutcomeResult(Outcome outcome) {
    Session::LineResult result;
    result.outcome = std::move(outcome);
    return result;
}

// A setting's value: true for none (the line shows the setting) or one
// number, which `value` then holds.
bool IntegerSetting(const std::vector<std::string>& words, int& value) {
    return words.size() == 1 || (words.size() == 2 && ParseInt(words[1], value));
}

// "" when the library has the extension a verb needs, otherwise what is missing.
template <typename Function>
std::string MissingExtension(Function function, const char* name) {
    return function != nullptr ? "" : std::string("the library has no ") + name + " (a library older than the console)";
}

// The number an ADDRESS or LENGTH word gives, or why it gives none.
std::string NumberProblem(const char* name, const std::string& word, std::uint64_t& value) {
    if (memoryfile::ParseNumber(word, value)) return "";
    return std::string(name) + " takes a number (decimal, or hexadecimal with 0x), not '" + word + "'";
}

// The ADDRESS word and the memory file of :loadmem and :verifymem: "" when
// they name a range that may be moved.
std::string FileRangeProblem(const std::string& addressWord, const std::string& path, std::uint64_t& address,
                             memoryfile::Bytes& bytes) {
    std::string problem = NumberProblem("ADDRESS", addressWord, address);
    if (problem.empty()) problem = memoryfile::ReadWhole(path, bytes);
    if (problem.empty()) problem = memoryfile::RangeProblem(address, bytes.size());
    return problem;
}

std::string Hex32(std::uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

// A verb's result, shown as text.
void ShowText(Outcome& outcome, const std::string& text) {
    outcome.resultText = text;
    outcome.resultBytes = text;
    outcome.resultLength = text.size();
    outcome.resultHex = resultview::Hex(text);
}

void Fail(Outcome& outcome, const std::string& failure) {
    outcome.ok = false;
    outcome.rc = 1;
    outcome.failure = failure;
}

// A read that came back: the line fails when the chip's bytes differ from
// the file's, and otherwise shows `done`.
void CompareWithFile(Outcome& outcome, const char* subject, const std::string& path, std::uint64_t address,
                     const memoryfile::Bytes& file, const memoryfile::Bytes& chip, const std::string& done) {
    const memoryfile::Difference difference = memoryfile::Compare(file, chip);
    if (difference.count == 0) return ShowText(outcome, done);
    Fail(outcome, memoryfile::DifferenceText(subject, path, static_cast<std::uint32_t>(address), file, chip,
                                             difference));
}

}  // namespace

// A library operation (or the console's own wait) under way: Ctrl-C
// cancels it meanwhile.
class Session::Running {
public:
    enum class What { LibraryOperation, Wait };
    explicit Running(Session& session, What what = What::LibraryOperation) : session_(session), what_(what) {
        session_.cancel_.store(false);
        session_.running_.store(true);
    }
    ~Running() {
        session_.running_.store(false);
        if (what_ == What::LibraryOperation) session_.NoteAnswers();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    Session& session_;
    What what_;
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

// The console's ':' verbs, in the order :help lists them. Help, completion
// and dispatch read this table (through Syntax); the README's verb table is
// checked against it.
struct Session::Verb {
    using Handler = LineResult (Session::*)(const Call& call);
    const char* name;
    const char* usage;  // its arguments (see verbsyntax.h), "" for none or for a verb with forms
    const char* help;   // its line in :help; "" names it on :help's last line
    Handler run;        // null: the script runner takes the line
    std::vector<VerbSyntax> (*forms)() = nullptr;  // the forms its next word picks
    const char* alias = nullptr;                   // another name it answers to, shown nowhere
};

const std::vector<Session::Verb>& Session::Verbs() {
    static const std::vector<Verb> verbs = {
        {":timeout", "[MS]", "command time-out (0 waits without limit); without MS the current one", &Session::Timeout},
        {":internal-timeout", "[MS]", "time-out of each step of internal operations", &Session::InternalTimeout},
        {":severity", "[N]", "log severity (1 errors, 2 commands, 3 detail)", &Session::Severity},
        {":format", "[auto|hex|text]", "how results are shown (auto: text when they are text)", &Session::ResultFormat},
        {":sync", "", "synchronise chip access", &Session::Sync},
        {":load", "FILE", "load and start a firmware package", &Session::LoadVerb},
        {":verify", "FILE", "compare the chip's memory with a firmware package (writes nothing)",
         &Session::VerifyFirmware},
        {":savemem", "ADDRESS LENGTH FILE", "chip memory to a file (raw bytes; whole words, 4-byte aligned)",
         &Session::SaveMemory},
        {":loadmem", "ADDRESS FILE", "a file into chip memory, read back and compared", &Session::LoadMemory},
        {":verifymem", "ADDRESS FILE", "compare chip memory with a file (reads only)", &Session::VerifyMemory},
        {":version", "", "the running firmware's version report", &Session::Version},
        {":eeprom", "", "", &Session::Eeprom, &Session::EepromForms},
        {":stats", "", "packets and bytes of the last operation", &Session::Stats},
        {":link", "", "the dispatcher's address and ports, the connection, the last answer's age", &Session::Link},
        {":sleep", "MS", "wait MS milliseconds (Ctrl-C ends the wait)", &Session::Sleep},
        {Expectation::kVerb, "", "(checks the line before; compatible: the last :version)", nullptr,
         &Expectation::Forms},
        {":help", "", "", &Session::Help},
        {":quit", "", "", &Session::Quit, nullptr, ":exit"},
    };
    return verbs;
}

// The forms of ":eeprom", in the order its usage lists them.
struct Session::EepromVerb {
    using Handler = std::optional<Outcome> (Session::*)(const Call& call, bool& chipTraffic);
    const char* name;
    const char* usage;
    Handler run;
};

const std::vector<Session::EepromVerb>& Session::EepromVerbs() {
    static const std::vector<EepromVerb> verbs = {
        {"init", "MODE [FILE]", &Session::EepromInit},
        {"set", "NAME VALUE", &Session::EepromSet},
        {"get", "NAME [chip|image]", &Session::EepromGet},
        {"list", "[FILE]", &Session::EepromList},
        {"dump", "FILE", &Session::EepromDump},
        {"burn", "[full]", &Session::EepromBurn},
    };
    return verbs;
}

std::vector<VerbSyntax> Session::EepromForms() {
    std::vector<VerbSyntax> forms;
    for (const EepromVerb& verb : EepromVerbs()) forms.push_back({verb.name, verb.usage, "", {}});
    return forms;
}

VerbSyntax Session::SyntaxOf(const Verb& verb) {
    return {verb.name, verb.usage, verb.help, verb.forms != nullptr ? verb.forms() : std::vector<VerbSyntax>{}};
}

std::vector<VerbSyntax> Session::Syntax() {
    std::vector<VerbSyntax> syntax;
    for (const Verb& verb : Verbs()) syntax.push_back(SyntaxOf(verb));
    return syntax;
}

const Session::Verb* Session::FindVerb(const std::string& name) {
    for (const Verb& verb : Verbs()) {
        if (name == verb.name || (verb.alias != nullptr && name == verb.alias)) return &verb;
    }
    return nullptr;
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

// The notes on the link are the Python package's too: tests/data/linknotes.json
// holds their cases, which both test suites check.
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
    const Verb* verb = FindVerb(words[0]);
    if (verb == nullptr || verb->run == nullptr) return OutcomeResult(Refused(line, kUnknownVerb));
    return (this->*verb->run)({*verb, line, words});
}

Session::LineResult Session::UsageRefused(const Call& call) {
    return OutcomeResult(Refused(call.line, "usage: " + verbsyntax::Usage(SyntaxOf(call.verb))));
}

// A verb line whose words fit none of the verb's forms (":load" alone).
Session::LineResult Session::Incomplete(const Call& call) { return OutcomeResult(Refused(call.line, kUnknownVerb)); }

Session::LineResult Session::Quit(const Call&) {
    LineResult result;
    result.quit = true;
    return result;
}

Session::LineResult Session::Help(const Call&) {
    return NoteResult(kHelpIntro + verbsyntax::HelpLines(Syntax()) + kHelpClosing);
}

Session::LineResult Session::Stats(const Call&) { return NoteResult(Statistics()); }

Session::LineResult Session::Link(const Call& call) {
    if (call.words.size() != 1) return UsageRefused(call);
    Outcome outcome;
    outcome.kind = Outcome::Kind::Verb;
    outcome.command = call.line;
    outcome.rc = 1;
    tbx_LinkState state{};
    if (api_.getLinkState == nullptr) {
        outcome.failure = "this library has no tbx_getLinkState: it cannot tell the link's state";
    } else if (api_.getLinkState(&state) != 0) {
        outcome.failure = "tbx_getLinkState answered 1: the library is not initialized";
    } else {
        outcome.ok = true;
        outcome.rc = 0;
        outcome.resultText = LinkText(state);
        outcome.resultBytes = outcome.resultText;
        outcome.resultLength = outcome.resultText.size();
        outcome.resultHex = resultview::Hex(outcome.resultBytes);
    }
    return OutcomeResult(std::move(outcome));
}

// A wait between lines of a script (a power cycle, a firmware's start).
Session::LineResult Session::Sleep(const Call& call) {
    int ms = 0;
    if (call.words.size() != 2 || !ParseInt(call.words[1], ms) || ms < 0) return UsageRefused(call);
    const Stopwatch stopwatch;
    {
        const Running running(*this, Running::What::Wait);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (auto now = std::chrono::steady_clock::now(); now < until && !cancel_.load();
             now = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                     std::chrono::milliseconds(20)));
        }
    }
    Outcome outcome;
    outcome.kind = Outcome::Kind::Verb;
    outcome.command = call.line;
    outcome.elapsedMs = stopwatch.ElapsedMs();
    outcome.cancelled = cancel_.load();
    outcome.ok = !outcome.cancelled;
    outcome.rc = outcome.ok ? 0 : 1;
    if (outcome.cancelled) {
        outcome.failure = std::string(kCancelled) + " the wait ended after " +
                          std::to_string(static_cast<long long>(outcome.elapsedMs)) + " of " + std::to_string(ms) +
                          " ms";
    }
    return OutcomeResult(std::move(outcome));
}

// A setting with its value sets it; without one it shows it.
Session::LineResult Session::Timeout(const Call& call) {
    int value = 0;
    if (!IntegerSetting(call.words, value)) return UsageRefused(call);
    if (call.words.size() == 2) settings_.timeoutMs = value;
    return NoteResult("command time-out " + Milliseconds(settings_.timeoutMs));
}

Session::LineResult Session::InternalTimeout(const Call& call) {
    int value = 0;
    if (!IntegerSetting(call.words, value)) return UsageRefused(call);
    if (call.words.size() == 2) {
        api_.setInternalCommandTimeout(value);
        internalTimeoutMs_ = value;
    }
    return NoteResult(internalTimeoutMs_ == kInternalTimeoutNotSet
                          ? "internal time-out: the library's own (not set by this console)"
                          : "internal time-out " + Milliseconds(internalTimeoutMs_));
}

Session::LineResult Session::Severity(const Call& call) {
    int value = 0;
    if (!IntegerSetting(call.words, value)) return UsageRefused(call);
    if (call.words.size() == 2) api_.setLogSeverity(value);
    return NoteResult("log severity " + std::to_string(api_.getLogSeverity()));
}

Session::LineResult Session::ResultFormat(const Call& call) {
    const bool fits = call.words.size() == 1 ||
                      (call.words.size() == 2 && resultview::ParseFormat(call.words[1], settings_.format));
    if (!fits) return UsageRefused(call);
    return NoteResult(std::string("result format ") + resultview::FormatName(settings_.format));
}

Session::LineResult Session::Sync(const Call& call) {
    if (call.words.size() != 1) return Incomplete(call);
    const Stopwatch stopwatch;
    int rc = 0;
    {
        const Running running(*this);
        rc = api_.SyncChipAccess();
    }
    Outcome outcome = IntegerOutcome(call.line, rc, rc == 0);
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(outcome));
}

Session::LineResult Session::LoadVerb(const Call& call) {
    if (call.words.size() < 2) return Incomplete(call);
    return OutcomeResult(Load(call.line, AfterWords(call.line, 1)));
}

Session::LineResult Session::Version(const Call& call) {
    if (call.words.size() != 1) return Incomplete(call);
    Outcome outcome = VersionReport(call.line);
    lastVersionProblem_ = outcome.ok ? "" : outcome.failure;
    return OutcomeResult(std::move(outcome));
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
    FinishProgress();
    Outcome outcome = FirmwareOutcome(line, path, rc);
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

Outcome Session::FirmwareOutcome(const std::string& line, const std::string& path, int rc) {
    Outcome outcome = IntegerOutcome(line, rc, rc == 0);
    if (outcome.ok) return outcome;
    Explain(outcome, true);
    // The library logs nothing of its own for a file that is no package.
    if (outcome.cause.empty() && !outcome.cancelled) {
        const std::string problem = startupcheck::FirmwareProblem(path);
        if (!problem.empty()) outcome.cause.push_back(problem);
    }
    return outcome;
}

// The chip's memory against every chunk the package would load: a
// difference fails the line with the library's list of differing chunks.
Session::LineResult Session::VerifyFirmware(const Call& call) {
    if (call.words.size() < 2) return Incomplete(call);
    const std::string missing = MissingExtension(api_.verifyFW, "tbx_verifyFW");
    if (!missing.empty()) return OutcomeResult(Refused(call.line, missing));
    const std::string path = AfterWords(call.line, 1);
    const Stopwatch stopwatch;
    int rc = 0;
    {
        const Running running(*this);
        rc = api_.verifyFW(path.c_str());
    }
    FinishProgress();
    Outcome outcome = FirmwareOutcome(call.line, path, rc);
    if (outcome.ok) ShowText(outcome, LibraryResultText());
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(outcome));
}

// Everything is checked before the chip is read: the words, the range and
// that the file can be written. The file is written whole or not at all.
Session::LineResult Session::SaveMemory(const Call& call) {
    if (call.words.size() < 4) return UsageRefused(call);
    const std::string path = AfterWords(call.line, 3);
    std::uint64_t address = 0;
    std::uint64_t length = 0;
    std::string problem = NumberProblem("ADDRESS", call.words[1], address);
    if (problem.empty()) problem = NumberProblem("LENGTH", call.words[2], length);
    if (problem.empty()) problem = memoryfile::RangeProblem(address, length);
    if (problem.empty()) problem = MissingExtension(api_.readMemory, "tbx_readMemory");
    std::unique_ptr<platform::ReplacingFile> file;
    if (problem.empty()) {
        file = platform::OpenReplacingFile(path);
        const int error = platform::LastSystemError();
        if (!file) problem = "cannot write " + path + ": " + memoryfile::WriteProblem(path, error);
    }
    if (!problem.empty()) return OutcomeResult(Refused(call.line, problem));
    const Stopwatch stopwatch;
    memoryfile::Bytes chip(static_cast<std::size_t>(length));
    int rc = 0;
    {
        const Running running(*this);
        rc = api_.readMemory(static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(length), chip.data());
    }
    FinishProgress();
    Outcome outcome = TransferOutcome(call.line, rc);
    if (outcome.ok && !file->Commit(chip.data(), chip.size())) {
        const int error = platform::LastSystemError();
        Fail(outcome, "the chip's " + std::to_string(length) + " bytes were read, but " + path +
                          " could not be written (it is left as it was): " + memoryfile::WriteProblem(path, error));
    } else if (outcome.ok) {
        ShowText(outcome, std::to_string(length) + " bytes from " + Hex32(address) + " saved to " + path);
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(outcome));
}

// The file is written, then read back and compared.
Session::LineResult Session::LoadMemory(const Call& call) {
    if (call.words.size() < 3) return UsageRefused(call);
    const std::string path = AfterWords(call.line, 2);
    std::uint64_t address = 0;
    memoryfile::Bytes file;
    std::string problem = FileRangeProblem(call.words[1], path, address, file);
    if (problem.empty()) problem = MissingExtension(api_.writeMemory, "tbx_writeMemory");
    if (problem.empty()) problem = MissingExtension(api_.readMemory, "tbx_readMemory");
    if (!problem.empty()) return OutcomeResult(Refused(call.line, problem));
    const Stopwatch stopwatch;
    const auto start = static_cast<std::uint32_t>(address);
    const auto length = static_cast<std::uint32_t>(file.size());
    memoryfile::Bytes chip(file.size());
    int rc = 0;
    bool written = false;
    {
        // One call under way for both steps: Ctrl-C between them stops the read-back.
        const Running running(*this);
        rc = api_.writeMemory(start, file.data(), length);
        written = rc == 0;
        if (written) rc = api_.readMemory(start, length, chip.data());
    }
    FinishProgress();
    Outcome outcome = TransferOutcome(call.line, rc);
    if (!outcome.ok && written) {
        outcome.notes.insert(outcome.notes.begin(), "all " + std::to_string(length) +
                                                        " bytes were written; their read-back did not finish");
    } else if (outcome.ok) {
        CompareWithFile(outcome, "read-back", path, address, file, chip,
                        std::to_string(length) + " bytes of " + path + " written to " + Hex32(address) +
                            " and read back");
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(outcome));
}

Session::LineResult Session::VerifyMemory(const Call& call) {
    if (call.words.size() < 3) return UsageRefused(call);
    const std::string path = AfterWords(call.line, 2);
    std::uint64_t address = 0;
    memoryfile::Bytes file;
    std::string problem = FileRangeProblem(call.words[1], path, address, file);
    if (problem.empty()) problem = MissingExtension(api_.readMemory, "tbx_readMemory");
    if (!problem.empty()) return OutcomeResult(Refused(call.line, problem));
    const Stopwatch stopwatch;
    memoryfile::Bytes chip(file.size());
    int rc = 0;
    {
        const Running running(*this);
        rc = api_.readMemory(static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(file.size()),
                             chip.data());
    }
    FinishProgress();
    Outcome outcome = TransferOutcome(call.line, rc);
    if (outcome.ok) {
        CompareWithFile(outcome, "chip memory", path, address, file, chip,
                        "the chip holds " + path + " at " + Hex32(address) + ": " + std::to_string(file.size()) +
                            " bytes compared");
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(outcome));
}

Outcome Session::TransferOutcome(const std::string& line, int rc) {
    Outcome outcome = IntegerOutcome(line, rc, rc == 0);
    if (!outcome.ok) Explain(outcome, true);
    return outcome;
}

std::string Session::LibraryResultText() const {
    const int length = api_.getResultLen();
    if (length <= 0) return "";
    const std::string bytes(api_.getResultBuffer(), static_cast<std::size_t>(length));
    return bytes.substr(0, bytes.find('\0'));
}

void Session::FinishProgress() {
    if (progress_ != nullptr) progress_->Finish();
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

// words[1] picks the form of the EEPROM verb.
Session::LineResult Session::Eeprom(const Call& call) {
    if (call.words.size() < 2) return Incomplete(call);
    const auto& forms = EepromVerbs();
    const auto form = std::find_if(forms.begin(), forms.end(),
                                   [&call](const EepromVerb& verb) { return call.words[1] == verb.name; });
    const Stopwatch stopwatch;
    std::optional<Outcome> outcome;
    bool chipTraffic = true;
    {
        const Running running(*this);
        if (form != forms.end()) outcome = (this->*form->run)(call, chipTraffic);
    }
    if (!outcome) return UsageRefused(call);
    FinishProgress();
    if (!outcome->ok && outcome->rc != Outcome::kRefused) Explain(*outcome, chipTraffic);
    if (!outcome->ok && verbsyntax::Argument(form->usage, 0) == verbsyntax::kEepromFieldArgument) {
        SuggestEepromField(*outcome, call);
    }
    outcome->elapsedMs = stopwatch.ElapsedMs();
    return OutcomeResult(std::move(*outcome));
}

// A field that the definitions do not know: the line again with the nearest one.
void Session::SuggestEepromField(Outcome& outcome, const Call& call) const {
    const std::string& field = call.words[2];
    if (names_.EepromFields().empty() || names_.FindEepromField(field) != nullptr) return;
    const std::vector<std::string> nearest = suggest::Nearest(field, names_.EepromFields(), 1);
    if (nearest.empty()) return;
    outcome.suggestion = consoletext::Trimmed(std::string(call.verb.name) + " " + call.words[1] + " " +
                                              nearest.front() + " " + AfterWords(call.line, 3));
}

namespace {

// The words after ":eeprom FORM".
std::size_t EepromArguments(const std::vector<std::string>& words) { return words.size() - 2; }

}  // namespace

std::optional<Outcome> Session::EepromInit(const Call& call, bool& chipTraffic) {
    const std::size_t arguments = EepromArguments(call.words);
    int mode = 0;
    if ((arguments != 1 && arguments != 2) || !ParseInt(call.words[2], mode)) return std::nullopt;
    const int rc = api_.InitEepromIF(mode, AfterWords(call.line, 3).c_str());
    Outcome outcome = IntegerOutcome(call.line, rc, rc == 0);
    chipTraffic = mode == kEepromFromChip;
    if (outcome.ok && mode == kEepromFromImageFile) NoteImageFileLongerThanLayout(outcome);
    return outcome;
}

std::optional<Outcome> Session::EepromSet(const Call& call, bool& chipTraffic) {
    if (EepromArguments(call.words) < 2) return std::nullopt;
    chipTraffic = false;
    return UpdateEepromField(call.line, call.words[2], AfterWords(call.line, 3));
}

std::optional<Outcome> Session::EepromGet(const Call& call, bool& chipTraffic) {
    const std::size_t arguments = EepromArguments(call.words);
    const bool fits = arguments == 1 || (arguments == 2 && (call.words[3] == "chip" || call.words[3] == "image"));
    if (!fits) return std::nullopt;
    const bool image = arguments == 2 && call.words[3] == "image";
    chipTraffic = !image;
    const char* field = call.words[2].c_str();
    return TextOutcome(call.line, image ? api_.ReadFieldFromVolatile(field) : api_.ReadFieldFromEeprom(field));
}

std::optional<Outcome> Session::EepromList(const Call& call, bool&) {
    if (EepromArguments(call.words) > 1) return std::nullopt;
    return TextOutcome(call.line, api_.ReadEntireEeprom(AfterWords(call.line, 2).c_str()));
}

std::optional<Outcome> Session::EepromDump(const Call& call, bool& chipTraffic) {
    if (EepromArguments(call.words) != 1) return std::nullopt;
    chipTraffic = false;
    const int rc = api_.DumpEepromTableToFile(AfterWords(call.line, 2).c_str());
    return IntegerOutcome(call.line, rc, rc == 0);
}

std::optional<Outcome> Session::EepromBurn(const Call& call, bool&) {
    const std::size_t arguments = EepromArguments(call.words);
    if (arguments != 0 && !(arguments == 1 && call.words[2] == "full")) return std::nullopt;
    const int rc = api_.BurnEeprom(arguments == 0 ? 1 : 0);
    return IntegerOutcome(call.line, rc, rc == 1);  // BurnEeprom answers 1 when it wrote
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
        ShowText(outcome, text);
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

std::string Session::LinkText(const tbx_LinkState& state) const {
    const std::string address = settings_.dispatcher.empty() ? "(not known to the console)" : settings_.dispatcher;
    std::string text = "dispatcher: " + address + ", command port " + std::to_string(state.commandPort) + " (UDP)\n";
    text += state.listenPort == 0 ? "listening port: none (the library could not open it)\n"
                                  : "listening port: " + std::to_string(state.listenPort) + " (TCP)\n";
    const std::string connections = std::to_string(state.connections) +
                                    (state.connections == 1 ? " connection" : " connections") + " since the start";
    text += std::string("connected: ") + (state.connected != 0 ? "yes, " : "no, ") + connections + "\n";
    if (!lastAnswer_) return text + "last answer: none since the start";
    char age[48];
    std::snprintf(age, sizeof age, "%.1f s ago",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - *lastAnswer_).count());
    return text + "last answer: " + age;
}

void Session::NoteAnswers() {
    tbx_OperationStats stats{};
    if (api_.getLastOperationStats != nullptr && api_.getLastOperationStats(&stats) == 0 && stats.eventsAccepted > 0) {
        lastAnswer_ = std::chrono::steady_clock::now();
    }
}
