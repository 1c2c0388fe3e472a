// The console's terminal on Windows: the console's own line editing and
// history (arrows, F7), with Tab waking the read for completion; a console
// control handler for Ctrl-C.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "osconsole.h"

namespace osconsole {

namespace {

constexpr DWORD kMaxLine = 4096;
constexpr ULONGLONG kSecondPressMs = 1000;
// How long a read that ended without input waits for the Ctrl-C handler,
// which the system runs on a thread of its own.
constexpr DWORD kHandlerWaitMs = 200;

// ---------------------------------------------------------------- Ctrl-C
InterruptHandler g_onPress;
std::atomic<ULONGLONG> g_lastPressMs{0};
std::atomic<bool> g_atPrompt{false};
std::atomic<bool> g_promptInterrupted{false};
std::atomic<bool> g_promptSecond{false};
HANDLE g_promptPressed = nullptr;  // set when a press ends the prompt's read

// An Enter key for the console's input: a read that Ctrl-C did not end
// (Wine's console goes on reading) ends with it.
void PressEnter() {
    INPUT_RECORD keys[2] = {};
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0 ? TRUE : FALSE;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written = 0;
    WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), keys, 2, &written);
}

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG last = g_lastPressMs.exchange(now);
    const bool second = last != 0 && now - last <= kSecondPressMs;
    if (g_atPrompt.load()) {
        // Marked first: the read that the Enter ends must not take the line.
        g_promptSecond.store(second);
        g_promptInterrupted.store(true);
        PressEnter();
        SetEvent(g_promptPressed);
    } else if (g_onPress) {
        g_onPress(second);
    }
    return TRUE;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

std::string CommonPrefix(const std::vector<std::string>& names) {
    std::string prefix = names.front();
    for (const std::string& name : names) {
        std::size_t same = 0;
        while (same < prefix.size() && same < name.size() && prefix[same] == name[same]) ++same;
        prefix.resize(same);
    }
    return prefix;
}

class ConsoleReader : public LineEditor {
public:
    explicit ConsoleReader(const Completer& completer) : completer_(completer) {}

    Read ReadLine(const std::string& prompt, std::string& line, bool& second) override {
        g_promptInterrupted.store(false);
        if (g_promptPressed != nullptr) ResetEvent(g_promptPressed);
        g_atPrompt.store(true);
        const Read read = ReadTyped(prompt, line);
        g_atPrompt.store(false);
        if (read == Read::Interrupted) {
            second = g_promptSecond.load();
            // The Enter pressed for Wine's sake, where the read ended without it.
            FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
            std::fputs("^C\n", stdout);
        } else if (read == Read::End) {
            std::fputs("\n", stdout);  // Ctrl-Z leaves the prompt's line
        }
        std::fflush(stdout);
        return read;
    }

private:
    // A read that ended without a line: a Ctrl-C press (the handler says so,
    // perhaps a moment after the read returned) or the end of input.
    static Read WithoutLine() {
        if (g_promptPressed != nullptr) WaitForSingleObject(g_promptPressed, kHandlerWaitMs);
        return g_promptInterrupted.load() ? Read::Interrupted : Read::End;
    }

    Read ReadTyped(const std::string& prompt, std::string& line) {
        std::string typed;  // shown on the screen already when the read starts
        std::fputs(prompt.c_str(), stdout);
        std::fflush(stdout);
        for (;;) {
            std::wstring buffer = Wide(typed);
            const ULONG initial = static_cast<ULONG>(buffer.size());
            buffer.resize(kMaxLine);
            CONSOLE_READCONSOLE_CONTROL control = {};
            control.nLength = sizeof control;
            control.nInitialChars = initial;
            control.dwCtrlWakeupMask = 1u << '\t';
            DWORD read = 0;
            if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), &buffer[0], kMaxLine - 1, &read, &control) ||
                read == 0 || g_promptInterrupted.load()) {
                return WithoutLine();
            }
            buffer.resize(read);
            const std::size_t tab = buffer.find(L'\t');
            if (tab == std::wstring::npos) {
                while (!buffer.empty() && (buffer.back() == L'\n' || buffer.back() == L'\r')) buffer.pop_back();
                line = Narrow(buffer);
                return Read::Line;
            }
            typed = Completed(Narrow(buffer.substr(0, tab)), prompt);
        }
    }

    // The line with its last word completed as far as the candidates agree;
    // several candidates are listed under it first. The line is shown again.
    std::string Completed(const std::string& typed, const std::string& prompt) const {
        const std::size_t cut = typed.find_last_of(" \t=,");
        const std::size_t wordStart = cut == std::string::npos ? 0 : cut + 1;
        const Completer::Result result = completer_.Complete(typed.substr(0, wordStart), typed.substr(wordStart));
        std::string line = typed;
        if (!result.candidates.empty()) {
            line = typed.substr(0, wordStart) + CommonPrefix(result.candidates);
            if (result.candidates.size() == 1 && line.back() != '=') line += ' ';
        }
        std::string shown = "\r" + prompt + typed + std::string(8, ' ');
        if (result.candidates.size() > 1) {
            std::fputs("\n", stdout);
            for (const std::string& name : result.candidates) std::fprintf(stdout, "  %s\n", name.c_str());
            shown.clear();
        }
        std::fputs((shown + "\r" + prompt + line).c_str(), stdout);
        std::fflush(stdout);
        return line;
    }

    const Completer& completer_;
};

}  // namespace

bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

std::FILE* DivertStandardOutput() {
    std::fflush(stdout);
    const int original = _dup(_fileno(stdout));
    if (original < 0) return nullptr;
    std::FILE* json = _fdopen(original, "w");
    if (json == nullptr) {
        _close(original);
        return nullptr;
    }
    _dup2(_fileno(stderr), _fileno(stdout));
    return json;
}

QuietStandardOutput::QuietStandardOutput() {
    std::fflush(stdout);
    const int nowhere = _open("NUL", _O_WRONLY);
    if (nowhere < 0) return;
    saved_ = _dup(_fileno(stdout));
    if (saved_ >= 0) _dup2(nowhere, _fileno(stdout));
    _close(nowhere);
}

QuietStandardOutput::~QuietStandardOutput() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
}

void WatchInterrupts(InterruptHandler onPress) {
    g_onPress = std::move(onPress);
    if (g_promptPressed == nullptr) g_promptPressed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnControl, TRUE);
}

void StopWatchingInterrupts() {
    SetConsoleCtrlHandler(&OnControl, FALSE);
    g_onPress = nullptr;
}

// The console keeps its own history for the session; no file is needed.
std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& /*historyFile*/) {
    if (!IsTerminal(stdin)) return CreatePlainReader();
    return std::make_unique<ConsoleReader>(completer);
}

}  // namespace osconsole
