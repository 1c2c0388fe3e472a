#include "errors.h"

#include "consolelogger.h"
#include "platform/platform.h"
#include "strformat.h"

namespace PhyConsoleNs {
namespace {
constexpr std::size_t kCrashLineBuffer = 1000;
constexpr std::size_t kReportLimit = 400;

void ShowReport(const std::string& text, const char* title) {
    platform::ShowErrorMessageBox(text.substr(0, kReportLimit), title);
}
}  // namespace

void Exception::WriteCrashLine(const std::string& text, const char* sourceFile, int line) {
    const std::tm now = platform::LocalTimeNow();
    std::string crashLine = Format("%d:%d:%d:  %s,  (%s,  Line: %d)", now.tm_hour, now.tm_min, now.tm_sec,
                                   text.c_str(), sourceFile, line);
    if (crashLine.size() > kCrashLineBuffer - 1) crashLine.resize(kCrashLineBuffer - 1);
    LogCrash(crashLine);
}

// The error codes printed by the reports are the thread's last system error at
// the moment the reporter was built, the closest to the failing call.
SourcedException::SourcedException(const std::string& text, const char* sourceFile, int line)
    : text_(text), sourceFile_(sourceFile), line_(line), errorCode_(platform::LastSystemError()) {
    WriteCrashLine(text, sourceFile, line);
}

std::string SystemException::ReportText() const {
    return Format("%s:%d - %s failed with error %d: %s", sourceFile_.c_str(), line_, text_.c_str(), errorCode_,
                  platform::SystemErrorText(errorCode_).c_str());
}

void SystemException::Report() {
    const std::string text = ReportText();
    ShowReport(text, "System Error");
    LogMessage(text, LOG_DETAIL);
    platform::SleepMs(2000);
}

std::string SocketLibInitException::ReportText() const {
    switch (errorCode_) {
        case 10014: return "WSADATA Pointer is not valid";
        case 10036: return "Blocking windows sockets1.1 operation in progress";
        case 10067: return "Maximal number of supported tasks reached";
        case 10091: return "System not ready for network communication";
        case 10092: return "Library version not supported";
        default: return "Unknown error";
    }
}

void SocketLibInitException::Report() { ShowReport(ReportText(), "Socket library initialization error"); }

std::string GeneralException::ReportText() const {
    return Format("%s:%d - %s", sourceFile_.c_str(), line_, text_.c_str());
}

void GeneralException::Report() { ShowReport(ReportText(), "Error"); }

std::string SocketException::ReportText() const {
    return Format("%s:%d - %s failed, error code: %d", sourceFile_.c_str(), line_, text_.c_str(), errorCode_);
}

void SocketException::Report() { ShowReport(ReportText(), "Socket error"); }

}  // namespace PhyConsoleNs
