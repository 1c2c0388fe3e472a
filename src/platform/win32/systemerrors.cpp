// System error codes on Windows: GetLastError and the system's text for it.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

int LastSystemError() { return static_cast<int>(GetLastError()); }

std::string SystemErrorText(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string("Unknown error");
    if (text != nullptr) LocalFree(text);
    return result;
}

}  // namespace platform
