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

class SystemException : public Exception {
public:
    SystemException(const std::string& text, const char* sourceFile, int line);
    ~SystemException() override = default;
    void Report() override;
    std::string ReportText() const;

private:
    std::string text_;
    std::string sourceFile_;
    int line_;
    int errorCode_;  // the thread's last system error when the report was made
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

class GeneralException : public Exception {
public:
    GeneralException(const std::string& text, const char* sourceFile, int line);
    ~GeneralException() override = default;
    void Report() override;
    std::string ReportText() const;

private:
    std::string text_;
    std::string sourceFile_;
    int line_;
};

class ConsoleCommandBusyException : public GeneralException {
public:
    using GeneralException::GeneralException;
    ~ConsoleCommandBusyException() override = default;
};

class SocketException : public Exception {
public:
    SocketException(const std::string& text, const char* sourceFile, int line);
    ~SocketException() override = default;
    void Report() override;
    std::string ReportText() const;

private:
    std::string text_;
    std::string sourceFile_;
    int line_;
    int errorCode_;
};

}  // namespace PhyConsoleNs

#endif
