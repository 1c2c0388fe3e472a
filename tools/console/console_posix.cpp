// The console's terminal on Linux: libedit for line editing, completion and
// the history file.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <editline/readline.h>

#include "osconsole.h"

namespace osconsole {

namespace {

constexpr int kHistoryLines = 1000;

// libedit's completion entry points are plain functions: they reach the
// completer of the one editor through this pointer.
const Completer* g_completer = nullptr;
std::vector<std::string> g_candidates;

char* NextCandidate(const char* /*text*/, int state) {
    static std::size_t next = 0;
    if (state == 0) next = 0;
    if (next >= g_candidates.size()) return nullptr;
    return strdup(g_candidates[next++].c_str());  // libedit frees it
}

char** CompleteWord(const char* text, int start, int /*end*/) {
    const Completer::Result result = g_completer->Complete(std::string(rl_line_buffer, start), text);
    rl_attempted_completion_over = result.fileName ? 0 : 1;
    if (result.candidates.empty()) return nullptr;
    g_candidates = result.candidates;
    // A parameter name ends in '=': its value follows without a blank.
    const bool allParameters = g_candidates.back().back() == '=';
    rl_completion_append_character = allParameters ? '\0' : ' ';
    return rl_completion_matches(text, &NextCandidate);
}

class EditLineReader : public LineEditor {
public:
    EditLineReader(const Completer& completer, std::string historyFile) : historyFile_(std::move(historyFile)) {
        g_completer = &completer;
        rl_readline_name = "tb-console";
        rl_attempted_completion_function = &CompleteWord;
        // '=' ends a word too, so that a parameter's value starts a new one.
        rl_basic_word_break_characters = " \t\n=,";
        stifle_history(kHistoryLines);
        if (!historyFile_.empty()) read_history(historyFile_.c_str());
    }
    ~EditLineReader() override {
        if (!historyFile_.empty()) write_history(historyFile_.c_str());
        g_completer = nullptr;
    }

    bool ReadLine(const std::string& prompt, std::string& line) override {
        char* read = readline(prompt.c_str());
        if (read == nullptr) return false;
        line = read;
        std::free(read);
        if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
        return true;
    }

private:
    std::string historyFile_;
};

}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

std::FILE* DivertStandardOutput() {
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    if (original < 0) return nullptr;
    std::FILE* json = fdopen(original, "w");
    if (json == nullptr) {
        close(original);
        return nullptr;
    }
    dup2(STDERR_FILENO, STDOUT_FILENO);
    return json;
}

std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& historyFile) {
    if (!IsTerminal(stdin)) return CreatePlainReader();
    std::string history = historyFile;
    const char* home = std::getenv("HOME");
    if (history.empty() && home != nullptr && *home != '\0') history = std::string(home) + "/.tb-console_history";
    return std::make_unique<EditLineReader>(completer, history);
}

}  // namespace osconsole
