// What only Windows has: a destination that another program holds open
// without sharing its deletion.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "fileoperations.h"
#include "platform/platform.h"
#include "testsupport.h"

namespace {

// An open handle such as an editor or a viewer keeps: reading and writing
// shared, deletion (and so renaming over the file) not. Closed after a
// delay, or when the object goes.
class Holder {
public:
    explicit Holder(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Holder() {
        if (closer_.joinable()) closer_.join();
        Close();
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool Holds() const { return handle_ != INVALID_HANDLE_VALUE; }
    void CloseAfter(DWORD ms) {
        closer_ = std::thread([this, ms] {
            Sleep(ms);
            Close();
        });
    }

private:
    void Close() {
        const HANDLE handle = handle_.exchange(INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }

    std::atomic<HANDLE> handle_;
    std::thread closer_;
};

// The replacement retries while the file is in use for a moment; held
// throughout, the old file stays whole. Either way nothing else is left in
// the folder.
TEST(ReplacingFileWin32, DestinationHeldOpenWithoutSharingDeletion) {
    const struct {
        const char* name;
        int closeAfterMs;  // -1: held until the write has ended
        bool replaced;
    } cases[] = {
        {"let go while the write waits", 100, true},
        {"held throughout", -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const std::string path = dir.Write("image.bin", "old");
        {
            Holder holder(path);
            ASSERT_TRUE(holder.Holds());
            if (c.closeAfterMs >= 0) holder.CloseAfter(static_cast<DWORD>(c.closeAfterMs));
            const auto file = platform::OpenReplacingFile(path);
            ASSERT_NE(file, nullptr);
            const std::string bytes = "new";
            EXPECT_EQ(file->Commit(bytes.data(), bytes.size()), c.replaced);
        }
        const fileops::Snapshot expected = {{"image.bin", std::string("file ") + (c.replaced ? "new" : "old")}};
        EXPECT_EQ(fileops::Take(dir.Path()), expected);
    }
}

}  // namespace
