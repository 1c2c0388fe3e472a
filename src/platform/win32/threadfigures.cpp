// One thread's figures on Windows: its CPU times. Windows keeps no count of
// a thread's voluntary switches (its context switch count mixes both kinds).
#include "platform/platform_tools.h"

#include <windows.h>

#include "filetime.h"

namespace platform {
namespace {

class Win32ThreadMeter : public ThreadMeter {
public:
    Win32ThreadMeter() {
        // GetCurrentThread() names whichever thread asks: a real handle is
        // needed to read this one from another.
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread_,
                             THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
            thread_ = nullptr;
        }
    }
    ~Win32ThreadMeter() override {
        if (thread_ != nullptr) CloseHandle(thread_);
    }
    Win32ThreadMeter(const Win32ThreadMeter&) = delete;
    Win32ThreadMeter& operator=(const Win32ThreadMeter&) = delete;

    ThreadFigures Read() const override {
        ThreadFigures figures;
        FILETIME created, exited, kernel, user;
        if (thread_ != nullptr && GetThreadTimes(thread_, &created, &exited, &kernel, &user)) {
            figures.cpuSeconds = static_cast<double>(FileTimeValue(kernel) + FileTimeValue(user)) / 1e7;
        }
        return figures;
    }

private:
    HANDLE thread_ = nullptr;
};

}  // namespace

std::unique_ptr<ThreadMeter> MeterCurrentThread() { return std::make_unique<Win32ThreadMeter>(); }

}  // namespace platform
