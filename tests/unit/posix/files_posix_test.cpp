// Paths only POSIX systems offer (links, pipes, devices, folders one may
// not write), through every file operation of the library; the EEPROM
// writer's temporary file and the destination's permissions; the crash and
// registry files in a pipe's place. CTest runs this program a second time
// as an unprivileged user, where permissions are what they say.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "../fileoperations.h"
#include "consolelogger.h"
#include "eeprominterface.h"
#include "platform/platform.h"
#include "structaccess.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using fileops::PathCase;

std::string Put(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

bool Privileged() { return ::geteuid() == 0; }

// A pipe's opener waits for the other end; opening both ends here lets it go.
void OpenOtherEnd(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
}

std::string Fifo(const fs::path& path) {
    ::mkfifo(path.c_str(), 0666);
    return path.string();
}

TEST(LibraryFilesPosix, LinksPipesAndDevices) {
    testsupport::IsolatedRoot root;
    std::vector<PathCase> cases = {
        {"a pipe", [](const fs::path& work, const std::string&) { return Fifo(work / "pipe"); }, false, false,
         nullptr, OpenOtherEnd},
        {"a link to a file",
         [](const fs::path& work, const std::string& valid) {
             Put(work / "target", valid);
             fs::create_symlink("target", work / "link");
             return (work / "link").string();
         },
         true, true, [](const fs::path& work) { return (work / "target").string(); }},
        {"a link to a folder",
         [](const fs::path& work, const std::string&) {
             fs::create_directory(work / "folder");
             fs::create_symlink("folder", work / "link");
             return (work / "link").string();
         },
         false, false},
        {"a dangling link",
         [](const fs::path& work, const std::string&) {
             fs::create_symlink("absent", work / "link");
             return (work / "link").string();
         },
         false, true, [](const fs::path& work) { return (work / "absent").string(); }},
        {"a loop of links",
         [](const fs::path& work, const std::string&) {
             fs::create_symlink("b", work / "a");
             fs::create_symlink("a", work / "b");
             return (work / "a").string();
         },
         false, false},
        {"a link to a pipe",
         [](const fs::path& work, const std::string&) {
             Fifo(work / "pipe");
             fs::create_symlink("pipe", work / "link");
             return (work / "link").string();
         },
         false, false, nullptr, [](const std::string& path) { OpenOtherEnd(path); }},
        {"the full device", [](const fs::path&, const std::string&) { return std::string("/dev/full"); }, false,
         false},
        {"a file in a read-only folder",
         [](const fs::path& work, const std::string& valid) {
             const std::string path = Put(work / "locked" / "file", valid);
             fs::permissions(work / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                  fs::perms::group_exec | fs::perms::others_read |
                                                  fs::perms::others_exec);
             return path;
         },
         true, Privileged()},
    };
    fileops::RunTable(cases);
}

class EepromWriter : public ::testing::Test {
protected:
    void TearDown() override { ConsoleLogger::DestroyInstance(); }
    void SetUp() override {
        // A log of its own, in this test's root: small, so that a limit on
        // file sizes hits the image and not the log.
        ConsoleLogger::DestroyInstance();
        // About 100 KB: two sections with long padding.
        dir_.Write("eeprom.h", "EEPROM_CER_SECTION(one, 01, 50000)\nEEPROM_FIELD_DOUBLE(gain, 2, 4.8, 0, 0, 1.5)\n"
                               "EEPROM_END_SECTION\nEEPROM_CER_SECTION(two, 02, 50000)\nEEPROM_END_SECTION\n");
        StructAccess db("", "", &eeprom_);
        ASSERT_TRUE(db.structAccessInit(dir_.Write("list.txt", "eeprom.h\n")));
        ASSERT_EQ(0, eeprom_.InitEepromInterface(EepromInterface::INIT_FROM_CONSOLE_DB, ""));
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.Path())) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::IsolatedRoot root_;
    testsupport::TempDir dir_;
    EepromInterface eeprom_{nullptr};
};

// The new file takes the old one's permissions, whatever the umask.
TEST_F(EepromWriter, ReplacedFilesKeepTheirPermissions) {
    for (const fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                                 fs::perms::owner_all | fs::perms::others_read}) {
        const std::string image = dir_.Write("image.bin", "old");
        const std::string listing = dir_.Write("listing.txt", "old");
        fs::permissions(image, mode);
        fs::permissions(listing, mode);
        std::string text;
        EepromInterface noFields(nullptr);  // its listing needs no chip
        ASSERT_EQ(0, eeprom_.CreateBinaryFile(image));
        ASSERT_EQ(0, noFields.WriteListing(text, listing));
        EXPECT_EQ(mode, fs::status(image).permissions() & fs::perms::mask);
        EXPECT_EQ(mode, fs::status(listing).permissions() & fs::perms::mask);
        EXPECT_EQ(eeprom_.GetDataBaseSize(), testsupport::ReadFile(image).size());
    }
}

// A write that fails after the file opened (here the process may write no
// file past 64 KiB) says so, leaves the old file whole and removes
// its temporary file. Run in a child: the limit is the whole process's.
TEST_F(EepromWriter, AWriteThatFailsLeavesTheOldFileAndNoTemporary) {
    const std::string image = dir_.Write("image.bin", "the old image");
    const std::vector<std::string> before = Names();
    const testsupport::LogTail log;
    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit few = {64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &few);
        ::_exit(eeprom_.CreateBinaryFile(image));
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_TRUE(log.Has("<EepromInterface>Couldn't Write Eeprom File: " + image));
    EXPECT_EQ("the old image", testsupport::ReadFile(image));
    EXPECT_EQ(before, Names()) << "no temporary file is left";
}

// A pipe or a folder where the crash file or the registry file should be
// never blocks the library: the line is lost, the value reads as unset.
TEST(LibraryFilesPosix, CrashAndRegistryFilesInAPipesPlace) {
    testsupport::IsolatedRoot root;
    fs::create_directories(fs::path(root.Path()) / "C");
    Fifo(CrashFilePath());
    Fifo(fs::path(root.Path()) / "registry.reg");
    auto crash = std::async(std::launch::async, [] { return LogCrash("a line"); });
    auto value = std::async(std::launch::async, [] {
        return platform::ReadUserRegistryValue("SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports",
                                               "Console_To_Dispatcher");
    });
    const bool crashEnded = crash.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    const bool valueEnded = value.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!crashEnded) OpenOtherEnd(CrashFilePath());
    if (!valueEnded) OpenOtherEnd((fs::path(root.Path()) / "registry.reg").string());
    EXPECT_TRUE(crashEnded) << "the crash line waited for a reader";
    EXPECT_TRUE(valueEnded) << "the registry read waited for a writer";
    EXPECT_EQ(1, crash.get());
    EXPECT_EQ("", value.get());
}

}  // namespace
