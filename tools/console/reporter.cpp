#include "reporter.h"

#include <sstream>

#include <nlohmann/json.hpp>

Reporter::Reporter(std::FILE* out, std::FILE* err, Style style) : out_(out), err_(err), style_(style) {}

void Reporter::Write(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// Not flushed: the echo and the outcome reach a shared output together.
void Reporter::Echo(const std::string& line) {
    if (style_.echo && !style_.json) std::fputs(("> " + line + "\n").c_str(), out_);
}

std::string Reporter::Json(const Outcome& outcome) {
    const nlohmann::json object = {
        {"command", outcome.command},       {"rc", outcome.rc},
        {"ok", outcome.ok},                 {"result_hex", outcome.resultHex},
        {"result_text", outcome.resultText}, {"failure", outcome.failure},
        {"elapsed_ms", outcome.elapsedMs},
    };
    // Texts from the chip need not be UTF-8: odd bytes become U+FFFD.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Reporter::Report(const Outcome& outcome) {
    if (style_.json) return Write(out_, Json(outcome) + "\n");
    if (!outcome.ok) {
        return Write(out_, "  failed (" + std::to_string(outcome.rc) + "): " + outcome.failure + "\n");
    }
    if (outcome.kind == Outcome::Kind::Command) {
        return Write(out_, "  ok, " + std::to_string(outcome.resultLength) + " bytes: " +
                               Shortened(outcome.resultHex) + "\n");
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f ms", outcome.elapsedMs);
    std::string text = "  ok (" + std::string(elapsed) + ")\n";
    if (!outcome.shownByLibrary) {
        std::istringstream lines(outcome.resultText);
        std::string line;
        while (std::getline(lines, line)) text += "    " + line + "\n";
    }
    Write(out_, text);
}

void Reporter::Note(const std::string& text) {
    if (text.empty()) return;
    Write(style_.json ? err_ : out_, text.back() == '\n' ? text : text + "\n");
}

void Reporter::Miss(const std::string& place, const std::string& reason) {
    Write(err_, place + ": " + reason + "\n");
}

// Long results (captures) are shown by their start; --full shows them whole.
std::string Reporter::Shortened(const std::string& hex) const {
    constexpr std::size_t kShown = 128;
    if (style_.fullResults || hex.size() <= kShown) return hex;
    return hex.substr(0, kShown) + "...";
}
