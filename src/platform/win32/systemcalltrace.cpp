// Traces of a program's system calls: Windows has no tracer like strace, so
// none are taken there.
#include "platform/platform_tools.h"

namespace platform {
namespace {

const char* const kNoTracer = "system calls are not traced on Windows (no tracer like strace)";

}  // namespace

bool SystemHasCallTracer() { return false; }

std::unique_ptr<Process> StartTracedProcess(const std::string&, const std::vector<std::string>&, const std::string&,
                                            std::string& problem) {
    problem = kNoTracer;
    return nullptr;
}

bool ReadSystemCallTrace(const std::string&, std::vector<TracedCall>&, std::string& problem) {
    problem = kNoTracer;
    return false;
}

void MarkSystemCallTrace(const std::string&) {}

}  // namespace platform
