#include "resultview.h"

#include "consoletext.h"

namespace resultview {

namespace {

bool Printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ParseFormat(const std::string& word, Format& format) {
    if (word == "auto") format = Format::Auto;
    else if (word == "hex") format = Format::Hex;
    else if (word == "text") format = Format::Text;
    else return false;
    return true;
}

const char* FormatName(Format format) {
    switch (format) {
        case Format::Hex: return "hex";
        case Format::Text: return "text";
        case Format::Auto: break;
    }
    return "auto";
}

std::optional<std::string> PrintableText(const std::string& bytes) {
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == '\0') --end;
    if (end == 0) return std::nullopt;
    for (std::size_t i = 0; i < end; ++i) {
        if (!Printable(static_cast<unsigned char>(bytes[i]))) return std::nullopt;
    }
    return bytes.substr(0, end);
}

std::string Escaped(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) {
            text += "\\0";
        } else if (byte == '\\') {
            text += "\\\\";
        } else if (Printable(byte) && byte != '\n' && byte != '\r' && byte != '\t') {
            text += c;
        } else {
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        }
    }
    return text;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 0x0F];
    }
    return hex;
}

std::string Decoded(const std::string& commandLine, const std::string& bytes, const DefinitionNames& names) {
    if (const std::optional<std::string> text = PrintableText(bytes)) return *text;
    const std::vector<std::string> words = consoletext::Words(commandLine);
    if (words.empty() || !names.IsMacCommand(words[0]) || bytes.size() < 2) return "";
    const auto opcode = names.Opcode(words[0]);
    const std::uint32_t first = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0]) << 8) |
                                static_cast<unsigned char>(bytes[1]);
    if (!opcode || opcode->second != first) return "";
    return opcode->first + (bytes.size() > 2 ? " " + Hex(bytes.substr(2)) : "");
}

}  // namespace resultview
