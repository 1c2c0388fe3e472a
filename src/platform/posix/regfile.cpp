#include "regfile.h"

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/platform.h"

namespace {

bool SameKeyPath(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// regedit writes UTF-16LE with a byte-order mark; the values the library
// reads are plain ASCII, so the high bytes are dropped.
std::string Utf16LeToNarrow(const std::string& raw) {
    std::string text;
    text.reserve(raw.size() / 2);
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
        const unsigned char low = static_cast<unsigned char>(raw[i]);
        const unsigned char high = static_cast<unsigned char>(raw[i + 1]);
        text += high == 0 ? static_cast<char>(low) : '?';
    }
    return text;
}

// Reads a quoted .reg string starting at `pos` (on the opening quote);
// handles \\ and \" escapes. Returns false when the quote is not closed.
bool ReadQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            out += line[++pos];
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

RegFile RegFile::Load(const std::string& path) {
    // A pipe in the file's place would block the open.
    if (!platform::IsRegularFile(path)) return RegFile();
    std::ifstream in(path, std::ios::binary);
    if (!in) return RegFile();
    std::stringstream content;
    content << in.rdbuf();
    return Parse(content.str());
}

RegFile RegFile::Parse(const std::string& content) {
    const bool utf16 = content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
                       static_cast<unsigned char>(content[1]) == 0xFE;
    std::istringstream lines(utf16 ? Utf16LeToNarrow(content) : content);
    RegFile file;
    Key* current = nullptr;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string path = line.substr(1, line.size() - 2);
            current = file.FindKey(path);
            if (current == nullptr) {
                file.keys_.push_back(Key{path, {}});
                current = &file.keys_.back();
            }
            continue;
        }
        if (current == nullptr || line.empty() || line[0] != '"') continue;
        std::size_t pos = 0;
        std::string name;
        std::string value;
        if (!ReadQuoted(line, pos, name) || pos >= line.size() || line[pos] != '=') continue;
        ++pos;
        if (!ReadQuoted(line, pos, value)) continue;  // only text values are kept
        current->values.emplace_back(name, value);
    }
    return file;
}

RegFile::Key* RegFile::FindKey(const std::string& path) {
    for (Key& key : keys_) {
        if (SameKeyPath(key.path, path)) return &key;
    }
    return nullptr;
}

const RegFile::Key* RegFile::FindKey(const std::string& path) const {
    for (const Key& key : keys_) {
        if (SameKeyPath(key.path, path)) return &key;
    }
    return nullptr;
}

std::string RegFile::Get(const std::string& keyPath, const std::string& valueName) const {
    const Key* key = FindKey(keyPath);
    if (key == nullptr) return "";
    for (auto it = key->values.rbegin(); it != key->values.rend(); ++it) {
        if (SameKeyPath(it->first, valueName)) return it->second;
    }
    return "";
}

void RegFile::Set(const std::string& keyPath, const std::string& valueName, const std::string& value) {
    Key* key = FindKey(keyPath);
    if (key == nullptr) {
        keys_.push_back(Key{keyPath, {}});
        key = &keys_.back();
    }
    for (auto& entry : key->values) {
        if (SameKeyPath(entry.first, valueName)) {
            entry.second = value;
            return;
        }
    }
    key->values.emplace_back(valueName, value);
}

bool RegFile::Remove(const std::string& keyPath, const std::string& valueName) {
    Key* key = FindKey(keyPath);
    if (key == nullptr) return false;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameKeyPath(it->first, valueName)) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

std::string RegFile::Text() const {
    std::string text = "Windows Registry Editor Version 5.00\n";
    for (const Key& key : keys_) {
        text += "\n[" + key.path + "]\n";
        for (const auto& entry : key.values) text += Quote(entry.first) + "=" + Quote(entry.second) + "\n";
    }
    return text;
}

// Whole or not at all, through a temporary file of its own beside the
// registry file (never a fixed name that another file may have).
bool RegFile::Save(const std::string& path) const {
    const std::unique_ptr<platform::ReplacingFile> file = platform::OpenReplacingFile(path);
    const std::string text = Text();
    return file != nullptr && file->Commit(text.data(), text.size());
}
