// Holds the library for the exports test: initializes, reports the result in
// a file, then waits until a release file appears and shuts down (or, with
// "exit", ends without shutting down).
//
// With "abort" it plays a host that crashes while the library is loaded: it
// initializes with a dispatcher address that is not an address (a crash-file
// line), sends one command, which fails without going out (log lines),
// reports in the ready file and aborts at once.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "termbridge.h"

namespace {

// The command the crashing host sends last; the test finds its log by it.
const char* const kLastCommand = "NATIVE_READ_WORD_CMD 0xC4A5";

int CrashWhileLoaded(const char* readyFile) {
    const int result = initialize_old(9, "300.1.1.1", 0, "", "", "");
    sendCommand(kLastCommand, 50);
    std::ofstream(readyFile) << result << "\n";
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: tb_mutex_holder <ready-file> <release-file> deinit|exit|abort\n");
        return 2;
    }
    const std::string mode = argv[3];
    if (mode == "abort") return CrashWhileLoaded(argv[1]);
    const int result = initialize_old(9, "127.0.0.1", 0, "", "", "");
    std::ofstream(argv[1]) << result << "\n";
    if (result != 0) return 1;
    for (int i = 0; i < 3000; ++i) {  // at most a minute
        if (std::ifstream(argv[2]).good()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (mode == "exit") std::_Exit(0);
    deinitialize();
    return 0;
}
