#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "consolelogger.h"
#include "errors.h"
#include "testsupport.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_wday = 0;
    return t;
}

// A logger writing into a temporary folder at a fixed time.
struct TestLogger {
    explicit TestLogger(const TempDir& dir, std::uint64_t wrapLimit = ConsoleLogger::kWrapLimit,
                        std::tm when = MakeTime(2012, 1, 15, 16, 0, 8)) {
        LoggerEnvironment env;
        env.localTime = [when] { return when; };
        env.nowAsFileTime = [] { return std::int64_t{0}; };
        const std::string root = dir.Path();
        env.appDataFolder = [root](std::string& folder) {
            folder = root;
            return true;
        };
        env.wrapLimit = wrapLimit;
        logger = std::make_unique<ConsoleLogger>(env);
    }
    std::string Content() const { return ReadFile(logger->FilePath()); }
    std::unique_ptr<ConsoleLogger> logger;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LoggerFileName, YearFrom1900AndMonthFromZero) {
    EXPECT_EQ(ConsoleLogger::FileNameFor(MakeTime(2012, 1, 15, 16, 0, 8)), "console_adapter_01120015160008.log");
    EXPECT_EQ(ConsoleLogger::FileNameFor(MakeTime(2026, 3, 9, 7, 5, 3)), "console_adapter_01260209070503.log");
}

TEST(LoggerFile, StartsWithCalendarLineAndWritesTimedLines) {
    TempDir dir;
    TestLogger log(dir);
    ASSERT_TRUE(log.logger->IsOpen());
    EXPECT_NE(log.logger->FilePath().find("ConsoleLogs"), std::string::npos);
    EXPECT_NE(log.logger->FilePath().find("console_adapter_01120015160008.log"), std::string::npos);
    log.logger->Write(LOG_NORMAL, "hello");
    const auto lines = Lines(log.Content());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Started at Sun Jan 15 16:00:08 2012");
    EXPECT_EQ(lines[1], "16:00:08 : hello");
}

// With the system's clock, where the time stamp is formatted once a second:
// each line carries the local time it was written at, also the first line
// of a new second (not the text kept from the one before).
TEST(LoggerFile, TimeStampsFollowTheSystemClock) {
    TempDir dir;
    LoggerEnvironment env = LoggerEnvironment::System();
    const std::string root = dir.Path();
    env.appDataFolder = [root](std::string& folder) {
        folder = root;
        return true;
    };
    ConsoleLogger logger(env);
    const auto clockText = [] {
        const std::tm now = platform::LocalTimeNow();
        return Format("%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
    };
    std::vector<std::string> before, after;
    for (const char* text : {"first", "next second"}) {
        if (!before.empty()) {
            const std::time_t written = std::time(nullptr);
            ASSERT_TRUE(testsupport::WaitUntil([written] { return std::time(nullptr) != written; }))
                << "the clock did not move on within 5000 ms";
        }
        before.push_back(clockText());
        logger.Write(LOG_NORMAL, text);
        after.push_back(clockText());
    }
    const auto lines = Lines(ReadFile(logger.FilePath()));
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string stamp = lines[i + 1].substr(0, lines[i + 1].find(" : "));
        EXPECT_TRUE(stamp == before[i] || stamp == after[i])
            << lines[i + 1] << ": written between " << before[i] << " and " << after[i];
    }
}

// Two logs started in the same second (the library initialised again, or a
// second host process) must not truncate one another.
TEST(LoggerFile, SecondLogOfTheSameSecondKeepsTheFirst) {
    TempDir dir;
    TestLogger first(dir);
    first.logger->Write(LOG_NORMAL, "first session");
    TestLogger second(dir);
    second.logger->Write(LOG_NORMAL, "second session");
    TestLogger third(dir);
    EXPECT_NE(first.logger->FilePath(), second.logger->FilePath());
    EXPECT_NE(second.logger->FilePath(), third.logger->FilePath());
    EXPECT_NE(second.logger->FilePath().find("console_adapter_01120015160008_2.log"), std::string::npos);
    EXPECT_EQ(Lines(first.Content()).back(), "16:00:08 : first session");
    EXPECT_EQ(Lines(second.Content()).back(), "16:00:08 : second session");
}

TEST(LoggerFile, SeverityFiltersLevels) {
    TempDir dir;
    TestLogger log(dir);
    log.logger->Write(LOG_DETAIL, "detail hidden");
    log.logger->Write(LOG_ERROR, "error shown");
    log.logger->SetSeverity(3);
    log.logger->Write(LOG_DETAIL, "detail shown");
    const std::string content = log.Content();
    EXPECT_EQ(content.find("detail hidden"), std::string::npos);
    EXPECT_NE(content.find("error shown"), std::string::npos);
    EXPECT_NE(content.find("detail shown"), std::string::npos);
}

TEST(LoggerFile, HexDumpIsPairsWithBlanksThenEmptyLine) {
    const unsigned char bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(ConsoleLogger::HexDumpText(bytes, 2), "0a ff \n");
    TempDir dir;
    TestLogger log(dir);
    log.logger->WriteHexDump(LOG_NORMAL, bytes, 2);
    const auto lines = Lines(log.Content());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "16:00:08 : 0a ff ");
    EXPECT_EQ(lines[2], "");
}

TEST(LoggerFile, FileLoggingSwitchStopsLines) {
    TempDir dir;
    TestLogger log(dir);
    SetFileLoggingAllowed(false);
    log.logger->Write(LOG_ERROR, "suppressed");
    SetFileLoggingAllowed(true);
    log.logger->Write(LOG_ERROR, "written");
    const std::string content = log.Content();
    EXPECT_EQ(content.find("suppressed"), std::string::npos);
    EXPECT_NE(content.find("written"), std::string::npos);
}

// The wrap happens when the write position is beyond the limit, never at it.
TEST(LoggerWrap, WrapsOnlyPastTheLimit) {
    TempDir dir;
    TestLogger log(dir);
    // Measure one line, then set the limit so that the file ends exactly on it.
    const std::size_t header = log.Content().size();
    log.logger->Write(LOG_NORMAL, "0123456789");
    const std::size_t oneLine = log.Content().size() - header;

    TempDir exactDir;
    TestLogger exact(exactDir, header + oneLine);
    exact.logger->Write(LOG_NORMAL, "0123456789");
    exact.logger->Write(LOG_NORMAL, "second");
    EXPECT_EQ(exact.Content().find("LOG OVERLAPPED"), std::string::npos) << "a file at the limit must not wrap";

    // Ten lines fill the file one byte past the limit; the next write wraps
    // and overwrites the oldest lines in place.
    TempDir pastDir;
    const std::string line(100, 'L');
    TestLogger probe(pastDir);
    probe.logger->Write(LOG_NORMAL, line);
    const std::size_t longLine = probe.Content().size() - header;
    TempDir wrapDir;
    TestLogger past(wrapDir, header + 10 * longLine - 1);
    for (int i = 0; i < 10; ++i) past.logger->Write(LOG_NORMAL, line);
    const std::size_t sizeBefore = past.Content().size();
    EXPECT_EQ(past.Content().find("LOG OVERLAPPED"), std::string::npos);
    past.logger->Write(LOG_NORMAL, "x");
    const std::string content = past.Content();
    EXPECT_EQ(content.rfind(">>>>>>> LOG OVERLAPPED \x96 Continuing log information below <<<<<<<", 0), 0u);
    EXPECT_NE(content.find("16:00:08 : x"), std::string::npos);
    EXPECT_EQ(content.size(), sizeBefore) << "the wrapped file keeps its length";
}

// Lines written as one group leave the file exactly as the same lines written
// one by one, wherever the wrap limit falls: before the group, inside it
// (the lines before the limit are written first, then the file wraps) or
// after it.
TEST(LoggerWrap, GroupedLinesWrapWhereSingleLinesWould) {
    const unsigned char dump[] = {0x01, 0x02, 0x03};
    const std::string dumpText = ConsoleLogger::HexDumpText(dump, sizeof dump);
    for (std::uint64_t limit : {20u, 60u, 75u, 90u, 130u, 200u, 100000u}) {
        TempDir singleDir;
        TempDir groupDir;
        TestLogger single(singleDir, limit);
        TestLogger grouped(groupDir, limit);
        for (int round = 0; round < 4; ++round) {
            single.logger->Write(LOG_NORMAL, "first line");
            single.logger->Write(LOG_NORMAL, "second");
            single.logger->WriteHexDump(LOG_NORMAL, dump, sizeof dump);
            grouped.logger->WriteLines(LOG_NORMAL, {"first line", "second", dumpText});
        }
        EXPECT_EQ(grouped.Content(), single.Content()) << "wrap limit " << limit;
    }
}

TEST(LoggerWrap, DefaultLimitIsFiftyMebibytes) { EXPECT_EQ(ConsoleLogger::kWrapLimit, 52428800u); }

TEST(LoggerThreads, LinesFromManyThreadsNeverInterleave) {
    TempDir dir;
    TestLogger log(dir);
    const std::string payload(200, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, &payload, t] {
            for (int i = 0; i < 200; ++i) log.logger->Write(LOG_NORMAL, std::to_string(t) + payload);
        });
    }
    for (auto& thread : threads) thread.join();
    const auto lines = Lines(log.Content());
    ASSERT_EQ(lines.size(), 801u);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), 11u + 1 + payload.size()) << lines[i];
        ASSERT_EQ(lines[i].substr(12), payload);
    }
}

// ------------------------------------------------------------ old logs

namespace {
constexpr std::int64_t kDay = 864000000000LL;

std::vector<platform::FileEntry> Logs(int count, std::int64_t lastWrite, std::uint64_t size) {
    std::vector<platform::FileEntry> entries;
    for (int i = count - 1; i >= 0; --i) {  // listed out of order on purpose
        platform::FileEntry entry;
        char name[64];
        std::snprintf(name, sizeof name, "console_adapter_%03d.log", i);
        entry.name = name;
        entry.size = size;
        entry.lastWrite = lastWrite;
        entries.push_back(entry);
    }
    return entries;
}
}  // namespace

TEST(OldLogs, FirstHundredByNameGoThenTheWalkStops) {
    const std::int64_t now = 100 * kDay;
    std::vector<std::string> removed;
    const int count = RemoveOldLogs(Logs(150, now - 40 * kDay, 1000000000ULL / 150), 1000000000ULL, now,
                                    [&removed](const std::string& name) {
                                        removed.push_back(name);
                                        return true;
                                    });
    EXPECT_EQ(count, 100);
    ASSERT_EQ(removed.size(), 100u);
    EXPECT_EQ(removed.front(), "console_adapter_000.log");
    EXPECT_EQ(removed.back(), "console_adapter_099.log");
}

TEST(OldLogs, AllGoWhileTheTotalStaysOverBudget) {
    const std::int64_t now = 100 * kDay;
    const int count = RemoveOldLogs(Logs(150, now - 40 * kDay, 1000), 6000000000ULL, now,
                                    [](const std::string&) { return true; });
    EXPECT_EQ(count, 150);
}

TEST(OldLogs, YoungLogsStayUnlessOverBudget) {
    const std::int64_t now = 100 * kDay;
    EXPECT_EQ(RemoveOldLogs(Logs(5, now - 13 * kDay, 10), 50, now, [](const std::string&) { return true; }), 0);
    EXPECT_EQ(RemoveOldLogs(Logs(5, now - 15 * kDay, 10), 50, now, [](const std::string&) { return true; }), 5);
    // Over budget: young files go until the total fits.
    EXPECT_EQ(RemoveOldLogs(Logs(5, now, 1500000000ULL), 7500000000ULL, now, [](const std::string&) { return true; }),
              3);
}

TEST(OldLogs, AttemptedDeletionsCountAndDecideWhereTheWalkStops) {
    const std::int64_t now = 100 * kDay;
    EXPECT_EQ(RemoveOldLogs(Logs(3, 0, 10), 30, now, [](const std::string&) { return false; }), 3);
    // Over budget and young: every attempt (every other one failing)
    // subtracts its size, so the total fits after 50 attempts.
    int attempts = 0;
    const int count = RemoveOldLogs(Logs(150, now, 40000000ULL), 6000000000ULL, now,
                                    [&attempts](const std::string&) { return ++attempts % 2 == 0; });
    EXPECT_EQ(attempts, 50);
    EXPECT_EQ(count, 50);
}

TEST(OldLogs, RealFolderOnlyPrefixedFilesGo) {
    TempDir dir;
    const std::string folder = dir.Path() + platform::PathSeparator();
    dir.Write("console_adapter_old.log", "x");
    dir.Write("other.txt", "y");
    // Everything counts as old when "now" lies far in the future.
    const std::int64_t farFuture = platform::LocalNowAsFileTime() + 1000 * kDay;
    EXPECT_EQ(RemoveOldLogsInFolder(folder, farFuture), 1);
    EXPECT_FALSE(testsupport::FileExists(dir.File("console_adapter_old.log")));
    EXPECT_TRUE(testsupport::FileExists(dir.File("other.txt")));
}

// ------------------------------------------------------------ crash file and reporters

TEST(CrashFile, CrashLinesAndReportersAppend) {
    testsupport::IsolatedRoot root;
    const std::string before = ReadFile(CrashFilePath());
    EXPECT_EQ(LogCrash("first crash line"), 0);
    { PhyConsoleNs::GeneralException("general text", "source_file", 42); }
    { PhyConsoleNs::SocketLibInitException(10092); }  // writes nothing
    const std::string added = ReadFile(CrashFilePath()).substr(before.size());
    const auto lines = Lines(added);
    ASSERT_EQ(lines.size(), 2u) << added;
    EXPECT_EQ(lines[0], "first crash line");
    EXPECT_NE(lines[1].find(":  general text,  (source_file,  Line: 42)"), std::string::npos) << lines[1];
}

TEST(CrashFile, StartupTraceLineFormat) {
    testsupport::IsolatedRoot root;
    const std::string before = ReadFile(StartupTraceFilePath());
    EXPECT_EQ(LogStartupLine("trace text"), 0);
    const std::string added = ReadFile(StartupTraceFilePath()).substr(before.size());
    EXPECT_NE(added.find(":  trace text"), std::string::npos);
}

TEST(Reporters, ReportTexts) {
    EXPECT_EQ(PhyConsoleNs::SocketLibInitException(10014).ReportText(), "WSADATA Pointer is not valid");
    EXPECT_EQ(PhyConsoleNs::SocketLibInitException(10092).ReportText(), "Library version not supported");
    EXPECT_EQ(PhyConsoleNs::SocketLibInitException(1).ReportText(), "Unknown error");
    testsupport::IsolatedRoot root;
    EXPECT_EQ(PhyConsoleNs::GeneralException("text", "file", 7).ReportText(), "file:7 - text");
}
