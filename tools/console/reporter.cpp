#include "reporter.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

namespace {

nlohmann::json TextOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

nlohmann::json ExpectationJson(const ExpectationResult& expectation) {
    return {{"line", expectation.line},
            {"expect", expectation.expectation},
            {"met", expectation.met},
            {"reason", expectation.reason}};
}

std::string Dump(const nlohmann::json& object) {
    // Texts from the chip need not be UTF-8: odd bytes become U+FFFD.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

Reporter::Reporter(std::FILE* out, std::FILE* err, Style style) : out_(out), err_(err), style_(style) {}

void Reporter::Write(std::FILE* stream, const std::string& text) {
    const bool written = std::fputs(text.c_str(), stream) != EOF && std::fflush(stream) == 0;
    if (!written && stream == out_ && outputProblem_.empty()) outputProblem_ = std::strerror(errno);
}

// Flushed at once, as every line is: what the line prints meanwhile
// (progress, on the error stream) comes after it also where both streams
// go to one pipe.
void Reporter::Echo(const std::string& line) {
    if (style_.echo && !style_.json) Write(out_, "> " + line + "\n");
}

std::string Reporter::JsonLine(const Outcome& outcome, const Place& place) {
    nlohmann::json expectations = nlohmann::json::array();
    for (const ExpectationResult& expectation : place.expectations) expectations.push_back(ExpectationJson(expectation));
    const nlohmann::json object = {
        {"file", place.file},
        {"line", place.line},
        {"command", outcome.command},
        {"rc", outcome.rc},
        {"ok", outcome.ok},
        {"result_hex", outcome.resultHex},
        {"result_text", outcome.resultText},
        {"decoded", TextOrNull(outcome.decoded)},
        {"failure", outcome.failure},
        {"cause", outcome.cause},
        {"suggestion", TextOrNull(outcome.suggestion)},
        {"cancelled", outcome.cancelled},
        {"elapsed_ms", outcome.elapsedMs},
        {"expectations", expectations},
    };
    return Dump(object);
}

void Reporter::ReportExpectation(const std::string& file, const ExpectationResult& expectation) {
    nlohmann::json object = ExpectationJson(expectation);
    object["file"] = file;
    Write(out_, Dump(object) + "\n");
}

std::string Reporter::ShownResult(const Outcome& outcome, resultview::Format format) const {
    const std::string size = "  ok, " + std::to_string(outcome.resultLength) + " bytes: ";
    if (format == resultview::Format::Text) return size + "\"" + Shortened(resultview::Escaped(outcome.resultBytes)) + "\"";
    if (format == resultview::Format::Auto && !outcome.decoded.empty()) {
        const bool text = resultview::PrintableText(outcome.resultBytes).has_value();
        return size + (text ? "\"" + Shortened(outcome.decoded) + "\"" : Shortened(outcome.decoded));
    }
    return size + Shortened(outcome.resultHex);
}

void Reporter::Report(const Outcome& outcome, const Place& place, resultview::Format format) {
    if (style_.json) {
        // A record has no place for them: a warning goes with the console's other notes.
        if (outcome.ok) {
            for (const std::string& note : outcome.notes) Write(err_, note + "\n");
        }
        return Write(out_, JsonLine(outcome, place) + "\n");
    }
    if (!outcome.ok) {
        // A failure text of several lines (a firmware verify's differing
        // chunks) keeps its lines under its first.
        std::string failure = outcome.failure;
        for (std::size_t at = failure.find('\n'); at != std::string::npos; at = failure.find('\n', at + 3)) {
            failure.insert(at + 1, "  ");
        }
        std::string text = "  failed (" + std::to_string(outcome.rc) + "): " + failure + "\n";
        for (const std::string& line : outcome.cause) text += "    cause: " + line + "\n";
        if (!outcome.suggestion.empty()) text += "    did you mean: " + outcome.suggestion + "\n";
        for (const std::string& note : outcome.notes) text += "    " + note + "\n";
        return Write(out_, text);
    }
    if (outcome.kind == Outcome::Kind::Command) return Write(out_, ShownResult(outcome, format) + "\n");
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f ms", outcome.elapsedMs);
    std::string text = "  ok (" + std::string(elapsed) + ")\n";
    for (const std::string& note : outcome.notes) text += "    " + note + "\n";
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
std::string Reporter::Shortened(const std::string& text) const {
    constexpr std::size_t kShown = 128;
    if (style_.fullResults || text.size() <= kShown) return text;
    return text.substr(0, kShown) + "...";
}
