// Paths a user may hand the library, on every system: each file operation
// ends in its own time with its own text, succeeds only where the path is
// good, and touches no other file (no fixed temporary name beside the file,
// none in the current folder).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fileoperations.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using fileops::PathCase;

// Made with the narrow file names the library itself uses.
std::string Put(const fs::path& folder, const std::string& name, const std::string& content) {
    fs::create_directories(folder);
    const std::string path = folder.string() + platform::PathSeparator() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

bool WindowsPaths() { return platform::PathSeparator() == '\\'; }

// Write permission is a matter of the file's mode for an ordinary user only.
bool MayWriteReadOnlyFiles() {
    testsupport::TempDir dir;
    const std::string probe = dir.Write("probe", "x");
    fs::permissions(probe, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const bool writable = std::ofstream(probe, std::ios::app).is_open();
    fs::permissions(probe, fs::perms::owner_all);
    return writable;
}

TEST(LibraryFiles, PathsOnEverySystem) {
    testsupport::IsolatedRoot root;
    const bool privileged = MayWriteReadOnlyFiles();
    std::vector<PathCase> cases = {
        {"a missing file", [](const fs::path& work, const std::string&) { return (work / "missing").string(); },
         false, true},
        {"an existing file", [](const fs::path& work, const std::string& valid) { return Put(work, "f", valid); },
         true, true},
        {"the empty path, a .tmp file in the current folder",
         [](const fs::path& work, const std::string&) {
             Put(work, ".tmp", "a user's file");
             return std::string();
         },
         false, false},
        {"a folder",
         [](const fs::path& work, const std::string&) {
             fs::create_directory(work / "folder");
             return (work / "folder").string();
         },
         false, false},
        {"a file in a missing folder",
         [](const fs::path& work, const std::string&) { return (work / "no" / "such" / "file").string(); }, false,
         false},
        {"a file beside a file named <name>.tmp",
         [](const fs::path& work, const std::string& valid) {
             Put(work, "img.bin.tmp", "a user's file");
             return Put(work, "img.bin", valid);
         },
         true, true},
        {"a file beside a folder named <name>.tmp",
         [](const fs::path& work, const std::string& valid) {
             Put(work / "img.bin.tmp", "inside", "a user's file");
             return Put(work, "img.bin", valid);
         },
         true, true},
        {"a read-only file",
         [](const fs::path& work, const std::string& valid) {
             const std::string path = Put(work, "read-only", valid);
             fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             return path;
         },
         true, privileged},
        {"a name of 4000 characters",
         [](const fs::path& work, const std::string&) { return (work / std::string(4000, 'n')).string(); }, false,
         false},
        {"a name with non-ASCII bytes",
         [](const fs::path& work, const std::string& valid) { return Put(work, "\xC3\xA9t\xC3\xA9.bin", valid); },
         true, true},
    };
    if (WindowsPaths()) {
        for (const char* device : {"NUL", "COM1"}) {
            cases.push_back({device, [device](const fs::path&, const std::string&) { return std::string(device); },
                             false, false});
        }
    }
    fileops::RunTable(cases);
}

// Run by its own CTest entry in the Windows build (under Wine), which makes
// TB_HOST_LINK a link of the host's file system to a file holding "old" and
// afterwards checks on the host that the link is still a link and its file
// holds what was written. A Windows program sees such a link as the file.
TEST(LibraryFiles, DISABLED_WritesThroughAHostLink) {
    const char* link = std::getenv("TB_HOST_LINK");
    ASSERT_NE(link, nullptr) << "TB_HOST_LINK names no link";
    EXPECT_EQ(testsupport::ReadFile(link), "old");
    const auto file = platform::OpenReplacingFile(link);
    ASSERT_NE(file, nullptr);
    const std::string bytes = "new";
    EXPECT_TRUE(file->Commit(bytes.data(), bytes.size()));
    EXPECT_EQ(testsupport::ReadFile(link), "new");
}

}  // namespace
