#include "consolelogger.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <deque>

namespace {

// Serialises logger creation and destruction; each logger serialises its own
// writes. Every log line reads the pointer, so that read takes no lock.
std::mutex g_instanceLock;
std::atomic<ConsoleLogger*> g_instance{nullptr};
std::atomic<bool> g_fileLoggingAllowed{true};
// The process-wide logger's severity, readable without the instance lock.
std::atomic<int> g_severity{LOG_NORMAL};

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The C library's 24-character calendar form, e.g. "Sun Jan 15 16:00:08 2012".
std::string CalendarText(const std::tm& t) {
    const int day = (t.tm_wday >= 0 && t.tm_wday < 7) ? t.tm_wday : 0;
    const int month = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
    return Format("%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDayNames[day], kMonthNames[month], t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec, 1900 + t.tm_year);
}

std::string LogFolderOf(const std::string& appData) {
    const char sep = platform::PathSeparator();
    std::string folder = appData;
    for (const char* part : {"Quoril", "ZRX4620", "ConsoleLogs"}) {
        folder += sep;
        folder += part;
    }
    folder += sep;
    return folder;
}

int AppendLine(const std::string& path, const std::string& line) {
    // Only a file, or none yet: a pipe there would block the open.
    const platform::PathKind kind = platform::KindOfPath(path);
    const bool appendable = kind == platform::PathKind::kMissing || kind == platform::PathKind::kRegularFile;
    std::FILE* file = appendable ? std::fopen(path.c_str(), "a") : nullptr;
    if (file == nullptr) {
        std::printf("Error opening %s\n", path.c_str());
        std::fflush(stdout);
        return 1;
    }
    std::fputs(line.c_str(), file);
    std::fputc('\n', file);
    std::fclose(file);
    return 0;
}

// The log named after the second it starts in. A second logger of the same
// second (the library initialised again, or another host process that is
// refused the global mutex) takes the next free "_2", "_3"... name rather
// than truncating the first one's log.
std::string FreeLogPath(const std::string& folder, const std::tm& created) {
    constexpr int kMaxSameSecond = 1000;
    const std::string first = folder + ConsoleLogger::FileNameFor(created);
    const std::string stem = first.substr(0, first.size() - std::strlen(".log"));
    std::string path = first;
    for (int n = 2; std::ifstream(path).good() && n < kMaxSameSecond; ++n) {
        path = stem + "_" + std::to_string(n) + ".log";
    }
    return path;
}

// The lines of levels 1 and 2 of the current operation (see
// StartOperationLog). Its own lock: it never waits on a file write.
class OperationLog {
public:
    bool Active() const { return active_.load(std::memory_order_relaxed); }

    void Start() {
        std::lock_guard<std::mutex> lock(lock_);
        lines_.clear();
        dropped_ = 0;
        active_.store(true);
    }

    void Stop() {
        std::lock_guard<std::mutex> lock(lock_);
        active_.store(false);
        lines_.clear();
        dropped_ = 0;
    }

    void Add(std::string_view text) {
        if (!Active()) return;
        // A hex dump's text ends with its own line end.
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        std::string line(text.substr(0, kOperationLogLineChars));
        if (text.size() > kOperationLogLineChars) line += "...";
        std::lock_guard<std::mutex> lock(lock_);
        if (!Active()) return;
        lines_.push_back(std::move(line));
        if (lines_.size() > kOperationLogLines) {
            lines_.pop_front();
            ++dropped_;
        }
    }

    std::string Text() const {
        std::lock_guard<std::mutex> lock(lock_);
        std::string text;
        if (dropped_ > 0) text = Format("(%u earlier lines left out)\n", static_cast<unsigned>(dropped_));
        for (const std::string& line : lines_) {
            text += line;
            text += '\n';
        }
        return text;
    }

private:
    std::atomic<bool> active_{false};
    mutable std::mutex lock_;
    std::deque<std::string> lines_;
    std::size_t dropped_ = 0;
};

OperationLog g_operationLog;

bool KeptInOperationLog(int level) { return level <= kOperationLogLevel && g_operationLog.Active(); }

void KeepInOperationLog(int level, std::string_view text) {
    if (KeptInOperationLog(level)) g_operationLog.Add(text);
}

}  // namespace

LoggerEnvironment LoggerEnvironment::System() {
    LoggerEnvironment env;
    env.localTime = [] { return platform::LocalTimeNow(); };
    env.wallSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    env.nowAsFileTime = [] { return platform::LocalNowAsFileTime(); };
    env.appDataFolder = [](std::string& folder) { return platform::CommonAppDataFolder(folder); };
    env.wrapLimit = ConsoleLogger::kWrapLimit;
    return env;
}

ConsoleLogger::ConsoleLogger(LoggerEnvironment env) : env_(std::move(env)) { Open(); }

ConsoleLogger::~ConsoleLogger() {
    if (file_.is_open()) file_.close();
}

void ConsoleLogger::Open() {
    std::string appData;
    if (!env_.appDataFolder(appData)) {
        std::printf("Function SHGetFolderPath() failed. Error %d.\n", platform::LastSystemError());
        std::fflush(stdout);
        return;
    }
    const std::string folder = LogFolderOf(appData);

    std::printf("Removing logs starting with '%s' that are more than %d days old.\n", kPrefix, kMaxLogAgeDays);
    const int removed = RemoveOldLogsInFolder(folder, env_.nowAsFileTime());
    if (removed > 0) std::printf("Finished removing %d old logs.\n", removed);
    else std::printf("Done.\n");
    std::fflush(stdout);

    SetFileLoggingAllowed(true);
    const std::tm created = env_.localTime();

    const int error = platform::CreateFolderPath(folder);
    if (error != 0 && error != platform::kAlreadyExists) {
        platform::ShowErrorMessageBox("Couldn't Create Log Output Dir!!!", "ERROR!!!!");
        return;
    }
    filePath_ = FreeLogPath(folder, created);
    file_.open(filePath_, std::ios::out | std::ios::trunc);
    if (!file_.is_open()) return;
    Put("Started at " + CalendarText(created) + '\n');
}

// Writes and flushes at once (one write per call) and counts the bytes the
// file receives.
void ConsoleLogger::Put(const std::string& bytes) {
    file_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file_.flush();
    written_ += FileBytes(bytes);
}

// The bytes text takes in the file, line ends as text mode writes them. Only
// where a line end grows on its way to the file are they counted (a hex dump
// line is long: counting it costs more than writing it).
std::uint64_t ConsoleLogger::FileBytes(const std::string& text) {
    std::uint64_t bytes = text.size();
    const std::size_t growthPerLineEnd = platform::TextLineEndBytes() - 1;
    if (growthPerLineEnd > 0) {
        bytes += static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')) * growthPerLineEnd;
    }
    return bytes;
}

const std::string& ConsoleLogger::TimeStamp() {
    const std::int64_t second = env_.wallSeconds ? env_.wallSeconds() : -1;
    if (second < 0 || second != stampSecond_) {
        const std::tm now = env_.localTime();
        stamp_ = Format("%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
        stampSecond_ = second;
    }
    return stamp_;
}

std::string ConsoleLogger::FileNameFor(const std::tm& created) {
    return Format("%s_%04d%02d%02d%02d%02d%02d.log", kPrefix, created.tm_year, created.tm_mon, created.tm_mday,
                  created.tm_hour, created.tm_min, created.tm_sec);
}

std::string ConsoleLogger::HexDumpText(const unsigned char* bytes, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 3 + 3);
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
        text += ' ';
    }
    text += '\n';
    return text;
}

// A line that will not be written costs no lock and no text.
void ConsoleLogger::Write(int level, const std::string& text) {
    if (level > Severity() || !FileLoggingAllowed()) return;
    WriteLine(text);
}

void ConsoleLogger::WriteHexDump(int level, const unsigned char* bytes, std::size_t length) {
    if (level > Severity() || !FileLoggingAllowed()) return;
    WriteLine(HexDumpText(bytes, length));
}

void ConsoleLogger::WriteLine(const std::string& text) { WriteGroup({text}); }

void ConsoleLogger::WriteLines(int level, std::initializer_list<std::string_view> texts) {
    if (level > Severity() || !FileLoggingAllowed()) return;
    WriteGroup(texts);
}

void ConsoleLogger::WriteGroup(std::initializer_list<std::string_view> texts) {
    std::lock_guard<std::mutex> lock(writeLock_);
    if (!FileLoggingAllowed() || !file_.is_open()) return;
    line_.clear();
    for (std::string_view text : texts) AppendLine(text);
    Put(line_);
}

// The wrap is decided before each line, on the position that line would be
// written at: lines of the group before it are written first.
void ConsoleLogger::AppendLine(std::string_view text) {
    if (!line_.empty() && written_ + FileBytes(line_) > env_.wrapLimit) {
        Put(line_);
        line_.clear();
    }
    if (written_ > env_.wrapLimit) {
        file_.seekp(0);
        written_ = 0;
        line_ = ">>>>>>> LOG OVERLAPPED \x96 Continuing log information below <<<<<<<\n";
    }
    line_ += TimeStamp();
    line_ += " : ";
    line_ += text;
    line_ += '\n';
}

// With g_instanceLock held and no instance in place.
ConsoleLogger& ConsoleLogger::InstallLocked(LoggerEnvironment env) {
    auto* logger = new ConsoleLogger(std::move(env));
    g_severity.store(logger->Severity());
    g_instance.store(logger, std::memory_order_release);
    return *logger;
}

ConsoleLogger& ConsoleLogger::Instance() {
    if (ConsoleLogger* existing = g_instance.load(std::memory_order_acquire)) return *existing;
    std::lock_guard<std::mutex> lock(g_instanceLock);
    ConsoleLogger* logger = g_instance.load(std::memory_order_relaxed);
    return logger != nullptr ? *logger : InstallLocked(LoggerEnvironment::System());
}

bool ConsoleLogger::CreateInstance(LoggerEnvironment env) {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (g_instance.load(std::memory_order_relaxed) != nullptr) return false;
    InstallLocked(std::move(env));
    return true;
}

void ConsoleLogger::DestroyInstance() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    delete g_instance.exchange(nullptr);
    g_severity.store(LOG_NORMAL);  // what the next instance starts with
}

bool ConsoleLogger::HasInstance() {
    return g_instance.load() != nullptr;
}

int RemoveOldLogs(std::vector<platform::FileEntry> entries, std::uint64_t totalBytes, std::int64_t now,
                  const std::function<bool(const std::string&)>& remove) {
    std::sort(entries.begin(), entries.end(),
              [](const platform::FileEntry& a, const platform::FileEntry& b) { return a.name < b.name; });
    int removed = 0;
    for (const platform::FileEntry& entry : entries) {
        if (removed >= OldLogPolicy::kMinRemovals && totalBytes <= OldLogPolicy::kMaxTotalBytes) break;
        const bool tooOld = now - entry.lastWrite > OldLogPolicy::kMaxAge;
        const bool overBudget = totalBytes > OldLogPolicy::kMaxTotalBytes;
        if (!tooOld && !overBudget) continue;
        // Counted and subtracted when its deletion is attempted, whether or
        // not the file could be deleted: that decides where the walk stops.
        remove(entry.name);
        totalBytes -= std::min(totalBytes, entry.size);
        ++removed;
    }
    return removed;
}

int RemoveOldLogsInFolder(const std::string& folder, std::int64_t now) {
    std::vector<platform::FileEntry> logs;
    for (platform::FileEntry& entry : platform::FindFiles(folder + std::string(ConsoleLogger::kPrefix) + "*.*")) {
        if (!entry.isDirectory) logs.push_back(std::move(entry));
    }
    std::uint64_t total = 0;
    for (const platform::FileEntry& entry : platform::FindFiles(folder + "*.*")) total += entry.size;
    return RemoveOldLogs(std::move(logs), total, now,
                         [&folder](const std::string& name) { return platform::RemoveFile(folder + name); });
}

void SetFileLoggingAllowed(bool allowed) { g_fileLoggingAllowed.store(allowed); }
bool FileLoggingAllowed() { return g_fileLoggingAllowed.load(); }

void LogMessage(const std::string& text, int level) {
    KeepInOperationLog(level, text);
    ConsoleLogger::Instance().Write(level, text);
}

void LogHexDump(const void* bytes, std::size_t length, int level) {
    const auto* data = static_cast<const unsigned char*>(bytes);
    if (!KeptInOperationLog(level)) return ConsoleLogger::Instance().WriteHexDump(level, data, length);
    const std::string dump = ConsoleLogger::HexDumpText(data, length);
    g_operationLog.Add(dump);
    ConsoleLogger::Instance().Write(level, dump);
}

void LogMessages(std::initializer_list<std::string_view> texts, int level) {
    for (std::string_view text : texts) KeepInOperationLog(level, text);
    ConsoleLogger::Instance().WriteLines(level, texts);
}

void LogMessageAndHexDump(const std::string& text, const void* bytes, std::size_t length, int level) {
    if (!LogEnabled(level)) return;
    const std::string dump = ConsoleLogger::HexDumpText(static_cast<const unsigned char*>(bytes), length);
    KeepInOperationLog(level, text);
    KeepInOperationLog(level, dump);
    ConsoleLogger::Instance().WriteLines(level, {text, dump});
}

int LogCrash(const std::string& text) {
    LogMessage(text, LOG_DETAIL);
    return AppendLine(CrashFilePath(), text);
}

int LogStartupLine(const std::string& text) {
    const std::tm now = platform::LocalTimeNow();
    return AppendLine(StartupTraceFilePath(), Format("%d:%d:%d:  %s", now.tm_hour, now.tm_min, now.tm_sec, text.c_str()));
}

int LogSeverity() { return ConsoleLogger::Instance().Severity(); }
void SetLogSeverityLevel(int level) {
    ConsoleLogger::Instance().SetSeverity(level);
    g_severity.store(level);
}

bool LogEnabled(int level) {
    return KeptInOperationLog(level) || (level <= g_severity.load(std::memory_order_relaxed) &&
                                         g_fileLoggingAllowed.load(std::memory_order_relaxed));
}

void StartOperationLog() { g_operationLog.Start(); }
void StopOperationLog() { g_operationLog.Stop(); }
std::string OperationLogText() { return g_operationLog.Text(); }

std::string CurrentLogFilePath() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    const ConsoleLogger* logger = g_instance.load();
    const bool writing = logger != nullptr && logger->IsOpen() && FileLoggingAllowed();
    return writing ? logger->FilePath() : std::string();
}

std::string CrashFilePath() { return platform::FixedPath("C:\\ConsoleDllCrash.txt"); }
std::string StartupTraceFilePath() { return platform::FixedPath("C:\\consoleDllLog.txt"); }
