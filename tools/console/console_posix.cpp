// The console's terminal on Linux: libedit for line editing, completion and
// the history file; SIGINT for Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include <editline/readline.h>

#include "osconsole.h"

namespace osconsole {

namespace {

constexpr int kHistoryLines = 1000;
constexpr long long kSecondPressMs = 1000;
constexpr int kPressCheckMs = 100;  // longest sleep of the thread that notes Ctrl-C

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

// ---------------------------------------------------------------- Ctrl-C
//
// SIGINT is blocked in the main thread (and so in every thread the library
// starts from it) except while the prompt reads: then it interrupts the read.
// Otherwise the watcher thread takes it and calls the console's handler.
// The signal handler itself only notes the press and wakes the watcher.

int g_wakePipe[2] = {-1, -1};
std::atomic<long long> g_lastPressMs{-1};
// Lock-free atomics: read and written by the handler on any thread.
std::atomic<int> g_atPrompt{0};
std::atomic<int> g_promptInterrupted{0};
std::atomic<int> g_promptSecond{0};
pthread_t g_promptThread;
InterruptHandler g_onPress;
std::thread g_watcher;

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void OnSigint(int) {
    const int savedErrno = errno;
    // At the prompt both the prompt's thread and the watcher take SIGINT, and
    // the system may hand it to either: only the prompt's thread can end its
    // read, so the press goes on to it.
    if (g_atPrompt.load() != 0 && pthread_equal(pthread_self(), g_promptThread) == 0) {
        pthread_kill(g_promptThread, SIGINT);
        errno = savedErrno;
        return;
    }
    const long long now = NowMs();
    const long long last = g_lastPressMs.exchange(now);
    const bool second = last >= 0 && now - last <= kSecondPressMs;
    if (g_atPrompt.load() != 0) {
        g_promptInterrupted = 1;
        g_promptSecond = second ? 1 : 0;
    } else {
        const char press = second ? '2' : '1';
        if (write(g_wakePipe[1], &press, 1) < 0) {
            // the pipe is full: presses enough are waiting already
        }
    }
    errno = savedErrno;
}

void SetSigintMask(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    pthread_sigmask(how, &set, nullptr);
}

// Restarting calls keep the library's reads and waits undisturbed; the
// prompt's read must end instead.
void InstallSigint(bool restart) {
    struct sigaction action {};
    action.sa_handler = &OnSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGINT, &action, nullptr);
}

void WatchPresses() {
    SetSigintMask(SIG_UNBLOCK);
    for (;;) {
        // Never asleep for long: a sanitizer's runtime (TSan) runs a handler
        // only when the thread next calls into it, and a read restarted by
        // the system would keep the press from ever being noted.
        pollfd wake{g_wakePipe[0], POLLIN, 0};
        if (poll(&wake, 1, kPressCheckMs) <= 0) continue;
        char press = 0;
        const ssize_t got = read(g_wakePipe[0], &press, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || press == 'q') return;
        if (g_onPress) g_onPress(press == '2');
    }
}

class EditLineReader : public LineEditor {
public:
    EditLineReader(const Completer& completer, std::string historyFile) : historyFile_(std::move(historyFile)) {
        g_completer = &completer;
        rl_readline_name = "tb-console";
        // Ctrl-C is ours alone. libedit's own handler would raise the signal
        // again for the whole process, where another thread may take it after
        // the read has already ended and looked like Ctrl-D.
        rl_catch_signals = 0;
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

    Read ReadLine(const std::string& prompt, std::string& line, bool& second) override {
        g_promptInterrupted = 0;
        g_promptThread = pthread_self();
        g_atPrompt = 1;
        InstallSigint(false);
        SetSigintMask(SIG_UNBLOCK);
        char* read = readline(prompt.c_str());
        SetSigintMask(SIG_BLOCK);
        InstallSigint(true);
        g_atPrompt = 0;
        if (read == nullptr) {
            if (g_promptInterrupted == 0) {
                std::fputs("\n", stdout);  // Ctrl-D leaves the prompt's line
                std::fflush(stdout);
                return Read::End;
            }
            second = g_promptSecond != 0;
            std::fputs("^C\n", stdout);
            std::fflush(stdout);
            return Read::Interrupted;
        }
        line = read;
        std::free(read);
        if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
        return Read::Line;
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

QuietStandardOutput::QuietStandardOutput() {
    std::fflush(stdout);
    const int nowhere = open("/dev/null", O_WRONLY);
    if (nowhere < 0) return;
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(nowhere, STDOUT_FILENO);
    close(nowhere);
}

QuietStandardOutput::~QuietStandardOutput() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

void WatchInterrupts(InterruptHandler onPress) {
    if (g_watcher.joinable() || pipe(g_wakePipe) != 0) return;
    fcntl(g_wakePipe[1], F_SETFL, fcntl(g_wakePipe[1], F_GETFL) | O_NONBLOCK);
    g_onPress = std::move(onPress);
    SetSigintMask(SIG_BLOCK);
    InstallSigint(true);
    g_watcher = std::thread(&WatchPresses);
}

void StopWatchingInterrupts() {
    if (!g_watcher.joinable()) return;
    signal(SIGINT, SIG_DFL);
    const char stop = 'q';
    while (write(g_wakePipe[1], &stop, 1) < 0 && errno == EAGAIN) {
        std::this_thread::yield();
    }
    g_watcher.join();
    close(g_wakePipe[0]);
    close(g_wakePipe[1]);
    g_onPress = nullptr;
}

std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& historyFile) {
    if (!IsTerminal(stdin)) return CreatePlainReader();
    std::string history = historyFile;
    const char* home = std::getenv("HOME");
    if (history.empty() && home != nullptr && *home != '\0') history = std::string(home) + "/.tb-console_history";
    return std::make_unique<EditLineReader>(completer, history);
}

}  // namespace osconsole
