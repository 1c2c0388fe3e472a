// Reading strace's trace of a run: each line that begins a call gives the
// calling thread and the call; the marks a traced program leaves are told
// apart from the calls it counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform_tools.h"
#include "testsupport.h"

namespace {

struct TraceLine {
    const char* text;
    bool isCall;
    long long thread;
    const char* name;
    const char* mark;
};

const TraceLine kLines[] = {
    {"101 poll([{fd=3, events=POLLIN}], 1, -1 <unfinished ...>", true, 101, "poll", ""},
    {"102 sendto(5, \"\\0\\0\\0\"..., 524, 0, {sa_family=AF_INET, sin_port=htons(4000)}, 16) = 524", true, 102,
     "sendto", ""},
    {"101 <... poll resumed>) = 1 ([{fd=3, revents=POLLIN}])", false, 0, "", ""},
    {"101 access(\"tb-trace-mark:begin 3\", F_OK) = -1 ENOENT (No such file or directory)", true, 101, "access",
     "begin 3"},
    {"101 faccessat2(AT_FDCWD, \"tb-trace-mark:end 3\", F_OK, 0) = -1 ENOENT (No such file or directory)", true, 101,
     "faccessat2", "end 3"},
    // The mark's text written to a file is a write, not a mark.
    {"103 write(19, \"tb-trace-mark:begin 4\\n\", 22) = 22", true, 103, "write", ""},
    {"103 access(\"/etc/ld.so.preload\", R_OK) = -1 ENOENT (No such file or directory)", true, 103, "access", ""},
    {"102 +++ exited with 0 +++", false, 0, "", ""},
    {"101 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED} ---", false, 0, "", ""},
    {"", false, 0, "", ""},
    {"poll([{fd=3, events=POLLIN}], 1, -1) = 1", false, 0, "", ""},
    {"1234567890123456789 poll([{fd=3, events=POLLIN}], 1, -1) = 1", false, 0, "", ""},
    {"104 exit_group(0)                 = ?", true, 104, "exit_group", ""},
};

TEST(SystemCallTrace, CallsInTheirOrderWithTheirThreadsAndMarks) {
    std::string text;
    std::vector<const TraceLine*> expected;
    for (const TraceLine& line : kLines) {
        text += std::string(line.text) + "\n";
        if (line.isCall) expected.push_back(&line);
    }
    const testsupport::TempDir folder;
    std::vector<platform::TracedCall> calls;
    std::string problem;
    ASSERT_TRUE(platform::ReadSystemCallTrace(folder.Write("calls.trace", text), calls, problem)) << problem;
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(expected[i]->text);
        EXPECT_EQ(calls[i].thread, expected[i]->thread);
        EXPECT_EQ(calls[i].name, expected[i]->name);
        EXPECT_EQ(calls[i].mark, expected[i]->mark);
    }
}

TEST(SystemCallTrace, AMissingTraceIsAnErrorThatNamesIt) {
    const testsupport::TempDir folder;
    const std::string path = folder.File("no.trace");
    std::vector<platform::TracedCall> calls;
    std::string problem;
    EXPECT_FALSE(platform::ReadSystemCallTrace(path, calls, problem));
    EXPECT_NE(problem.find(path), std::string::npos) << problem;
}

}  // namespace
