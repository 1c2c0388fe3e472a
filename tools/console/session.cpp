#include "session.h"

#include <chrono>
#include <cstdlib>

#include "consoletext.h"

namespace {

using consoletext::Words;

const char* const kHelp =
    "command lines go to the library, e.g. NATIVE_READ_WORD_CMD 0xBFC00000\n"
    ":timeout MS            command time-out (0 waits without limit)\n"
    ":internal-timeout MS   time-out of each step of internal operations\n"
    ":severity N            log severity (1 errors, 2 commands, 3 detail)\n"
    ":sync                  synchronise chip access\n"
    ":load FILE             load and start a firmware package\n"
    ":version               the running firmware's version report\n"
    ":eeprom init MODE [FILE] | set NAME VALUE | get NAME [chip|image] | list [FILE] | dump FILE | burn [full]\n"
    ":stats                 packets and bytes of the last operation\n"
    ":expect ok | fail [TEXT] | result HEX | text REGEX   (checks the line before)\n"
    ":help, :quit\n";

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

std::string Hex(const unsigned char* bytes, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

}  // namespace

Session::Session(const LibraryApi& api, int timeoutMs, ProgressLine* progress)
    : api_(api), timeoutMs_(timeoutMs), progress_(progress) {
    if (api_.setProgressCallback != nullptr && progress_ != nullptr) api_.setProgressCallback(&OnProgress, this);
}

Session::~Session() {
    if (api_.setProgressCallback != nullptr && progress_ != nullptr) api_.setProgressCallback(nullptr, nullptr);
}

const std::vector<std::string>& Session::VerbNames() {
    static const std::vector<std::string> names = {":timeout", ":internal-timeout", ":severity", ":sync",
                                                   ":load",    ":version",          ":eeprom",   ":stats",
                                                   ":expect",  ":help",             ":quit"};
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

void Session::OnProgress(const char* stage, unsigned long long done, unsigned long long total, void* user) {
    static_cast<Session*>(user)->progress_->Update(stage != nullptr ? stage : "", done, total);
}

Session::LineResult Session::Run(const std::string& line) {
    if (line[0] == ':') return RunVerb(line);
    LineResult result;
    result.outcome = RunCommand(line);
    return result;
}

Outcome Session::RunCommand(const std::string& line) {
    Outcome outcome;
    outcome.command = line;
    const Stopwatch stopwatch;
    outcome.rc = api_.sendCommand(line.c_str(), timeoutMs_);
    outcome.elapsedMs = stopwatch.ElapsedMs();
    outcome.ok = outcome.rc == 0;
    if (!outcome.ok) {
        outcome.failure = api_.getFailureMessage();
        return outcome;
    }
    const int length = api_.getResultLen();
    outcome.resultLength = length > 0 ? static_cast<std::size_t>(length) : 0;
    outcome.resultHex = api_.getResultBufferText();
    const char* bytes = api_.getResultBuffer();
    outcome.resultText.assign(bytes, outcome.resultLength);
    outcome.resultText = outcome.resultText.c_str();  // up to the first NUL
    return outcome;
}

Session::LineResult Session::RunVerb(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    const std::string& verb = words[0];
    LineResult result;
    int value = 0;
    if (verb == ":quit" || verb == ":exit") {
        result.quit = true;
    } else if (verb == ":help") {
        result.note = kHelp;
    } else if (verb == ":stats") {
        result.note = Statistics();
    } else if (words.size() == 2 && ParseInt(words[1], value) && ApplySetting(verb, value, result.note)) {
        // a setting: its note says what it is now
    } else {
        result.outcome = RunOperation(line, words);
    }
    return result;
}

bool Session::ApplySetting(const std::string& verb, int value, std::string& note) {
    if (verb == ":timeout") {
        timeoutMs_ = value;
        note = "command time-out " + std::to_string(value) + " ms";
    } else if (verb == ":internal-timeout") {
        api_.setInternalCommandTimeout(value);
        note = "internal time-out " + std::to_string(value) + " ms";
    } else if (verb == ":severity") {
        api_.setLogSeverity(value);
        note = "log severity " + std::to_string(value);
    } else {
        return false;
    }
    return true;
}

Outcome Session::RunOperation(const std::string& line, const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    if (verb == ":load" && words.size() >= 2) return Load(line, AfterWords(line, 1));
    if (verb == ":eeprom" && words.size() >= 2) return RunEeprom(line, words, AfterWords(line, 2));
    const Stopwatch stopwatch;
    Outcome outcome;
    if (verb == ":sync" && words.size() == 1) {
        const int rc = api_.SyncChipAccess();
        outcome = IntegerOutcome(line, rc, rc == 0);
    } else if (verb == ":version" && words.size() == 1) {
        outcome = TextOutcome(line, api_.getSystemVersionInfo());
        outcome.shownByLibrary = true;
    } else {
        return Refused(line, "unknown or incomplete console verb; :help lists them");
    }
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

Outcome Session::Load(const std::string& line, const std::string& path) {
    const Stopwatch stopwatch;
    const int rc = api_.LoadFW(path.c_str());
    if (progress_ != nullptr) progress_->Finish();
    Outcome outcome = IntegerOutcome(line, rc, rc == 0);
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
}

// words[1] is the EEPROM verb, `rest` the text after it.
Outcome Session::RunEeprom(const std::string& line, const std::vector<std::string>& words, const std::string& rest) {
    const std::string& action = words[1];
    const std::size_t arguments = words.size() - 2;
    const Stopwatch stopwatch;
    Outcome outcome;
    int mode = 0;
    if (action == "init" && (arguments == 1 || arguments == 2) && ParseInt(words[2], mode)) {
        const int rc = api_.InitEepromIF(mode, AfterWords(line, 3).c_str());
        outcome = IntegerOutcome(line, rc, rc == 0);
    } else if (action == "set" && arguments >= 2) {
        const int rc = api_.UpdateEepromField(words[2].c_str(), AfterWords(line, 3).c_str());
        outcome = IntegerOutcome(line, rc, rc == 0);
    } else if (action == "get" && (arguments == 1 || (arguments == 2 && (words[3] == "chip" || words[3] == "image")))) {
        const bool image = arguments == 2 && words[3] == "image";
        outcome = TextOutcome(line, image ? api_.ReadFieldFromVolatile(words[2].c_str())
                                          : api_.ReadFieldFromEeprom(words[2].c_str()));
    } else if (action == "list" && arguments <= 1) {
        outcome = TextOutcome(line, api_.ReadEntireEeprom(rest.c_str()));
    } else if (action == "dump" && arguments == 1) {
        const int rc = api_.DumpEepromTableToFile(rest.c_str());
        outcome = IntegerOutcome(line, rc, rc == 0);
    } else if (action == "burn" && (arguments == 0 || (arguments == 1 && words[2] == "full"))) {
        const int rc = api_.BurnEeprom(arguments == 0 ? 1 : 0);
        outcome = IntegerOutcome(line, rc, rc == 1);  // BurnEeprom answers 1 when it wrote
    } else {
        return Refused(line, "usage: :eeprom init MODE [FILE] | set NAME VALUE | get NAME [chip|image] | "
                             "list [FILE] | dump FILE | burn [full]");
    }
    if (progress_ != nullptr) progress_->Finish();
    outcome.elapsedMs = stopwatch.ElapsedMs();
    return outcome;
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
        outcome.resultLength = outcome.resultText.size();
        outcome.resultHex = Hex(reinterpret_cast<const unsigned char*>(text), outcome.resultLength);
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
