// Error reporters of the library. Constructing one writes a time-stamped line
// to the crash file; they are never thrown. Report() shows the text to a user.
#ifndef TERMBRIDGE_ERRORS_H
#define TERMBRIDGE_ERRORS_H

#include <string>

namespace PhyConsoleNs {

class Exception {
public:
    virtual ~Exception() = default;
    virtual void Report() = 0;

protected:
    Exception() = default;
    // Writes "h:m:s:  text,  (file,  Line: n)" to the crash file.
    static void WriteCrashLine(const std::string& text, const char* sourceFile, int line);
};

// The reporters built from a text and the source file and line that made
// them: constructing one writes its crash line.
class SourcedException : public Exception {
protected:
    SourcedException(const std::string& text, const char* sourceFile, int line);

    std::string text_;
    std::string sourceFile_;
    int line_;
    int errorCode_;  // the thread's last system error when the report was made
};

class SystemException : public SourcedException {
public:
    SystemException(const std::string& text, const char* sourceFile, int line)
        : SourcedException(text, sourceFile, line) {}
    ~SystemException() override = default;
    void Report() override;
    std::string ReportText() const;
};

class SocketLibInitException : public Exception {
public:
    explicit SocketLibInitException(int errorCode) : errorCode_(errorCode) {}
    ~SocketLibInitException() override = default;
    void Report() override;
    std::string ReportText() const;

private:
    int errorCode_;
};

class GeneralException : public SourcedException {
public:
    GeneralException(const std::string& text, const char* sourceFile, int line)
        : SourcedException(text, sourceFile, line) {}
    ~GeneralException() override = default;
    void Report() override;
    std::string ReportText() const;
};

class ConsoleCommandBusyException : public GeneralException {
public:
    using GeneralException::GeneralException;
    ~ConsoleCommandBusyException() override = default;
};

class SocketException : public SourcedException {
public:
    SocketException(const std::string& text, const char* sourceFile, int line)
        : SourcedException(text, sourceFile, line) {}
    ~SocketException() override = default;
    void Report() override;
    std::string ReportText() const;
};

}  // namespace PhyConsoleNs

#endif
