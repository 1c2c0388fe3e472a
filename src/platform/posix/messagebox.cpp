// The message box on POSIX: a line on standard error.
#include "platform/platform.h"

#include <iostream>

namespace platform {

void ShowErrorMessageBox(const std::string& text, const std::string& title) {
    std::cerr << title << ": " << text << std::endl;
}

}  // namespace platform
