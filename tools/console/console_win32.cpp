// The console's terminal on Windows: the console's own line editing and
// history (arrows, F7), with Tab waking the read for completion.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "osconsole.h"

namespace osconsole {

namespace {

constexpr DWORD kMaxLine = 4096;

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

    bool ReadLine(const std::string& prompt, std::string& line) override {
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
                read == 0) {
                return false;
            }
            buffer.resize(read);
            const std::size_t tab = buffer.find(L'\t');
            if (tab == std::wstring::npos) {
                while (!buffer.empty() && (buffer.back() == L'\n' || buffer.back() == L'\r')) buffer.pop_back();
                line = Narrow(buffer);
                return true;
            }
            typed = Completed(Narrow(buffer.substr(0, tab)), prompt);
        }
    }

private:
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

// The console keeps its own history for the session; no file is needed.
std::unique_ptr<LineEditor> CreateLineEditor(const Completer& completer, const std::string& /*historyFile*/) {
    if (!IsTerminal(stdin)) return CreatePlainReader();
    return std::make_unique<ConsoleReader>(completer);
}

}  // namespace osconsole
