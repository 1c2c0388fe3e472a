// System error codes on POSIX: errno and its text.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>

namespace platform {

int LastSystemError() { return errno; }

std::string SystemErrorText(int code) { return std::strerror(code); }

}  // namespace platform
