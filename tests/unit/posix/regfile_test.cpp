#include <gtest/gtest.h>

#include <fstream>

#include "platform/platform.h"
#include "platform/platform_tools.h"
#include "platform/posix/regfile.h"
#include "testsupport.h"

namespace {
const char* kPorts = "HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports";
}

TEST(RegFile, ReadsTextValuesCaseInsensitiveKeys) {
    const RegFile file = RegFile::Parse(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports]\r\n"
        "\"Console_To_Dispatcher\"=\"5000\"\r\n"
        "\"Number\"=dword:00001388\r\n"
        "\"Quoted\"=\"a \\\"b\\\" c\\\\d\"\r\n");
    EXPECT_EQ(file.Get(kPorts, "Console_To_Dispatcher"), "5000");
    EXPECT_EQ(file.Get(kPorts, "Number"), "") << "only text values are kept";
    EXPECT_EQ(file.Get(kPorts, "Quoted"), "a \"b\" c\\d");
    EXPECT_EQ(file.Get(kPorts, "Missing"), "");
}

TEST(RegFile, ReadsRegeditUtf16Exports) {
    const std::string narrow =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"Name\"=\"127.0.0.1\"\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : narrow) {
        wide += c;
        wide += '\0';
    }
    EXPECT_EQ(RegFile::Parse(wide).Get("HKEY_CURRENT_USER\\A", "Name"), "127.0.0.1");
}

TEST(RegFile, SetThenTextRoundTrips) {
    RegFile file;
    file.Set("HKEY_CURRENT_USER\\A", "x", "1");
    file.Set("HKEY_CURRENT_USER\\a", "X", "2");  // same key, same value name
    file.Set("HKEY_CURRENT_USER\\B", "q", "with \"quotes\"");
    const RegFile again = RegFile::Parse(file.Text());
    EXPECT_EQ(again.Get("HKEY_CURRENT_USER\\A", "x"), "2");
    EXPECT_EQ(again.Get("HKEY_CURRENT_USER\\B", "q"), "with \"quotes\"");
    EXPECT_EQ(file.Text().rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
}

TEST(PosixLayer, RegistryLivesUnderTheRoot) {
    testsupport::IsolatedRoot root;
    EXPECT_EQ(platform::ReadUserRegistryValue("SOFTWARE\\X", "v"), "");
    ASSERT_TRUE(platform::WriteUserRegistryValue("SOFTWARE\\X", "v", std::string(300, 'a')));
    EXPECT_EQ(platform::ReadUserRegistryValue("SOFTWARE\\X", "v").size(), 254u) << "255-byte buffer";
    EXPECT_TRUE(testsupport::FileExists(root.Path() + "/registry.reg"));
    // A file beside it named like a temporary file is not the registry's.
    std::ofstream(root.Path() + "/registry.reg.tmp") << "a user's file";
    ASSERT_TRUE(platform::WriteUserRegistryValue("SOFTWARE\\X", "w", "1"));
    EXPECT_EQ(testsupport::ReadFile(root.Path() + "/registry.reg.tmp"), "a user's file");
    EXPECT_EQ(platform::ReadUserRegistryValue("SOFTWARE\\X", "w"), "1");
    EXPECT_EQ(platform::FixedPath("C:\\ConsoleDllCrash.txt"), root.Path() + "/C/ConsoleDllCrash.txt");
    std::string appData;
    ASSERT_TRUE(platform::CommonAppDataFolder(appData));
    EXPECT_EQ(appData, root.Path() + "/ProgramData");
}

TEST(PosixLayer, NamedMutexHasOneHolder) {
    testsupport::IsolatedRoot root;
    auto first = platform::CreateNamedMutex("Global\\TestMutex");
    auto second = platform::CreateNamedMutex("Global\\TestMutex");
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->TryLock(300));
    EXPECT_FALSE(second->TryLock(50));
    first->Unlock();
    EXPECT_TRUE(second->TryLock(50));
}

TEST(PosixLayer, FindFilesMatchesLikeWindows) {
    testsupport::TempDir dir;
    dir.Write("a.h", "");
    dir.Write("b.h", "");
    dir.Write("c.h.bak", "");
    dir.Write("noext", "");
    auto names = [&](const std::string& pattern) {
        std::vector<std::string> found;
        for (const auto& entry : platform::FindFiles(dir.Path() + "/" + pattern)) found.push_back(entry.name);
        std::sort(found.begin(), found.end());
        return found;
    };
    EXPECT_EQ(names("*.h"), (std::vector<std::string>{"a.h", "b.h"}));
    EXPECT_EQ(names("*.h.bak"), (std::vector<std::string>{"c.h.bak"}));
    EXPECT_EQ(names("*.*").size(), 4u) << "*.* matches every name";
    EXPECT_EQ(names("?.h"), (std::vector<std::string>{"a.h", "b.h"}));
}
