// The message box on Windows.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

void ShowErrorMessageBox(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace platform
