// Holds the library for the exports test: initializes, reports the result in
// a file, then waits until a release file appears and shuts down (or, with
// "exit", ends without shutting down).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "termbridge.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: tb_mutex_holder <ready-file> <release-file> deinit|exit\n");
        return 2;
    }
    const int result = initialize_old(9, "127.0.0.1", 0, "", "", "");
    std::ofstream(argv[1]) << result << "\n";
    if (result != 0) return 1;
    for (int i = 0; i < 3000; ++i) {  // at most a minute
        if (std::ifstream(argv[2]).good()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (std::string(argv[3]) == "exit") std::_Exit(0);
    deinitialize();
    return 0;
}
