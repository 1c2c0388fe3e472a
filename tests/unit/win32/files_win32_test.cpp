// What only Windows has: a destination that another program holds open
// without sharing its deletion, and a named pipe that a server waits on.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../fileoperations.h"
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

// A named pipe whose server waits for its first client, as a tool that
// takes commands through a pipe does.
class WaitingPipe {
public:
    explicit WaitingPipe(std::string name)
        : name_(std::move(name)),
          pipe_(CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                                 1, 4096, 4096, 0, nullptr)),
          clientCame_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        overlapped_.hEvent = clientCame_;
        waiting_ = pipe_ != INVALID_HANDLE_VALUE && clientCame_ != nullptr && ConnectNamedPipe(pipe_, &overlapped_) == 0 &&
                   GetLastError() == ERROR_IO_PENDING;
    }
    ~WaitingPipe() {
        if (waiting_) {
            CancelIo(pipe_);
            DWORD ignored = 0;
            GetOverlappedResult(pipe_, &overlapped_, &ignored, TRUE);
        }
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        if (clientCame_ != nullptr) CloseHandle(clientCame_);
    }
    WaitingPipe(const WaitingPipe&) = delete;
    WaitingPipe& operator=(const WaitingPipe&) = delete;

    const std::string& Name() const { return name_; }
    bool Waiting() const { return waiting_; }
    // Whether a client opened the pipe (and perhaps closed it again).
    bool ClientCame() const { return WaitForSingleObject(clientCame_, 0) == WAIT_OBJECT_0; }
    // Ends a client's blocked read.
    void Disconnect() { DisconnectNamedPipe(pipe_); }

private:
    std::string name_;
    HANDLE pipe_;
    HANDLE clientCame_;
    OVERLAPPED overlapped_{};
    bool waiting_ = false;
};

// Asking what a path names must not open it: every file operation refuses
// the pipe without its server ever seeing a client.
TEST(LibraryFilesWin32, NamedPipeWithAWaitingServer) {
    testsupport::IsolatedRoot root;
    std::unique_ptr<WaitingPipe> pipe;  // the running operation's
    int made = 0;
    fileops::PathCase waiting{"a named pipe whose server waits for a client",
                              [&](const std::filesystem::path&, const std::string&) {
                                  pipe = std::make_unique<WaitingPipe>(
                                      "\\\\.\\pipe\\termbridge-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(++made));
                                  EXPECT_TRUE(pipe->Waiting()) << "the pipe's server does not wait";
                                  return pipe->Name();
                              },
                              false, false};
    waiting.release = [&](const std::string&) { pipe->Disconnect(); };
    waiting.checkAfter = [&](const std::string&) {
        EXPECT_FALSE(pipe->ClientCame()) << "the operation opened the pipe";
        pipe.reset();
    };
    fileops::RunTable({waiting});
}

}  // namespace
