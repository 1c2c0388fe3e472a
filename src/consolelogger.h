// Logging for the whole library: one log file per logger instance, a crash
// file for failures that must survive the log's wrap, and a start-up trace.
#ifndef TERMBRIDGE_CONSOLELOGGER_H
#define TERMBRIDGE_CONSOLELOGGER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "strformat.h"

// Severity levels used across the library.
enum LogLevel { LOG_ERROR = 1, LOG_NORMAL = 2, LOG_DETAIL = 3 };

// Where a logger takes its time and folder from; the process-wide instance
// uses the real clock and the common application-data folder, tests inject
// their own.
struct LoggerEnvironment {
    std::function<std::tm()> localTime;             // broken-down local time
    // Whole seconds of the wall clock: the time stamp is formatted once per
    // second. Left empty, every line takes localTime afresh.
    std::function<std::int64_t()> wallSeconds;
    std::function<std::int64_t()> nowAsFileTime;    // for the old-log age test
    std::function<bool(std::string&)> appDataFolder;
    std::uint64_t wrapLimit;                         // bytes before the file wraps

    static LoggerEnvironment System();
};

class ConsoleLogger {
public:
    static constexpr std::uint64_t kWrapLimit = 52428800;  // 50 MiB
    static constexpr const char* kPrefix = "console_adapter";
    static constexpr int kMaxLogAgeDays = 14;

    explicit ConsoleLogger(LoggerEnvironment env);
    ~ConsoleLogger();
    ConsoleLogger(const ConsoleLogger&) = delete;
    ConsoleLogger& operator=(const ConsoleLogger&) = delete;

    // The process-wide instance, created on first use.
    static ConsoleLogger& Instance();
    // Creates the process-wide instance with this environment (a benchmark's
    // small wrap limit); false when one exists already.
    static bool CreateInstance(LoggerEnvironment env);
    static void DestroyInstance();
    static bool HasInstance();

    void SetSeverity(int level) { severity_.store(level, std::memory_order_relaxed); }
    int Severity() const { return severity_.load(std::memory_order_relaxed); }

    void Write(int level, const std::string& text);
    void WriteHexDump(int level, const unsigned char* bytes, std::size_t length);
    // Lines that one step writes back to back, with no work between them:
    // built whole and written (and flushed) with one system call, so each
    // is in the file before the caller goes on, as a line on its own is.
    void WriteLines(int level, std::initializer_list<std::string_view> texts);

    const std::string& FilePath() const { return filePath_; }
    bool IsOpen() const { return file_.is_open(); }

    // "console_adapter_YYYMMDDhhmmss.log" as the library names it (year from
    // 1900, month from 0).
    static std::string FileNameFor(const std::tm& created);
    static std::string HexDumpText(const unsigned char* bytes, std::size_t length);

private:
    static ConsoleLogger& InstallLocked(LoggerEnvironment env);
    void Open();
    void WriteLine(const std::string& text);
    void WriteGroup(std::initializer_list<std::string_view> texts);
    void AppendLine(std::string_view text);
    void Put(const std::string& bytes);
    static std::uint64_t FileBytes(const std::string& text);
    const std::string& TimeStamp();

    LoggerEnvironment env_;
    std::atomic<int> severity_{LOG_NORMAL};
    std::mutex writeLock_;
    std::ofstream file_;
    std::string filePath_;
    // Counted as written, so the wrap check asks the stream nothing.
    std::uint64_t written_ = 0;
    std::string line_;  // the lines of one write, built whole and written at once
    std::string stamp_;
    std::int64_t stampSecond_ = -1;
};

// Old-log removal over a listed folder. `entries` are the log files matching
// the prefix, `totalBytes` the size of everything in the folder; `remove` is
// called for each file to delete and returns whether it went.
struct OldLogPolicy {
    static constexpr std::uint64_t kMaxTotalBytes = 4000000000ULL;
    static constexpr std::int64_t kMaxAge = 12096000000000LL;  // 14 days in 100 ns units
    static constexpr int kMinRemovals = 100;
};
int RemoveOldLogs(std::vector<platform::FileEntry> entries, std::uint64_t totalBytes,
                  std::int64_t now, const std::function<bool(const std::string&)>& remove);
// Lists the folder and removes old logs in it; returns how many went.
int RemoveOldLogsInFolder(const std::string& folder, std::int64_t now);

// File-logging switch shared by every logger instance.
void SetFileLoggingAllowed(bool allowed);
bool FileLoggingAllowed();

// The library-wide logging entry points.
void LogMessage(const std::string& text, int level);
void LogHexDump(const void* bytes, std::size_t length, int level);
// Lines written back to back in one write (see ConsoleLogger::WriteLines).
void LogMessages(std::initializer_list<std::string_view> texts, int level);
// A line and the hex dump that follows it, in one write.
void LogMessageAndHexDump(const std::string& text, const void* bytes, std::size_t length, int level);
int LogCrash(const std::string& text);
int LogStartupLine(const std::string& text);
int LogSeverity();
void SetLogSeverityLevel(int level);
// Whether a line of this level is used: written (its level passes the
// severity and file logging is on) or kept in the operation log below;
// without taking any lock, so callers skip formatting texts nobody reads.
bool LogEnabled(int level);
// A fixed line, written only when its level lets it through: the per-packet
// paths pass literals and allocate nothing for lines that are not written.
inline void LogLine(const char* text, int level) {
    if (LogEnabled(level)) LogMessage(text, level);
}

// The operation log: the lines of levels 1 and 2 logged since the last
// operation export started, kept whatever the severity and the file-logging
// flag say, so that a host can tell why an operation failed. Bounded: the
// latest kOperationLogLines lines (each cut to kOperationLogLineChars) are
// kept. It collects from the first StartOperationLog on, until
// StopOperationLog; the library's own file output is not touched.
constexpr int kOperationLogLevel = LOG_NORMAL;
constexpr std::size_t kOperationLogLines = 200;
constexpr std::size_t kOperationLogLineChars = 1000;
void StartOperationLog();
void StopOperationLog();
// The kept lines, each ending with a line end; a first line says how many
// earlier ones were left out, if any.
std::string OperationLogText();
// The path of the process-wide logger's open log file ("" when none is open).
std::string CurrentLogFilePath();

// The crash and start-up trace files; tests may point them elsewhere.
std::string CrashFilePath();
std::string StartupTraceFilePath();

#endif
