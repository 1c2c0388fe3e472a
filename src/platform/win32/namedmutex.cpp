// The named mutex on Windows: a kernel mutex object.
#include "platform/platform.h"

#include <windows.h>

namespace platform {
namespace {

class Win32Mutex : public NamedMutex {
public:
    explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
    ~Win32Mutex() override { CloseHandle(handle_); }

    // An abandoned mutex (its holder ended without releasing it) is owned by
    // this thread once the wait returns, so it counts as acquired: refusing it
    // would leave the mutex held by a process that believes it failed.
    bool TryLock(int timeoutMs) override {
        const DWORD result = WaitForSingleObject(handle_, static_cast<DWORD>(timeoutMs));
        return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
    void Unlock() override { ReleaseMutex(handle_); }

private:
    HANDLE handle_;
};

}  // namespace

std::unique_ptr<NamedMutex> CreateNamedMutex(const std::string& name) {
    HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (handle == nullptr) return nullptr;
    return std::make_unique<Win32Mutex>(handle);
}

}  // namespace platform
