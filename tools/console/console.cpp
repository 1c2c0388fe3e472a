// tb-console: an interactive host for the termbridge library.
//
// It loads the library at run time, the way real hosts do, initializes it and
// then runs commands from a script file or typed at the prompt, one per line,
// printing the return code and the result or failure text. Lines starting
// with ':' are the console's own commands (see :help).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// The exports the console uses, resolved from the loaded library.
struct Api {
    int (*initialize)(const char*, const char*, const char*) = nullptr;
    int (*initialize_old)(unsigned short, const char*, unsigned short, const char*, const char*,
                          const char*) = nullptr;
    int (*deinitialize)() = nullptr;
    const char* (*ver)() = nullptr;
    int (*sendCommand)(const char*, int) = nullptr;
    const char* (*getResultBufferText)() = nullptr;
    int (*getResultLen)() = nullptr;
    const char* (*getFailureMessage)() = nullptr;
    void (*setDefaultTimeout)(int) = nullptr;
    void (*setLogSeverity)(int) = nullptr;
    void (*setInternalCommandTimeout)(int) = nullptr;
    int (*SyncChipAccess)() = nullptr;
    const char* (*getSystemVersionInfo)() = nullptr;
};

template <typename Function>
bool Resolve(platform::DynamicLibrary& library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(library.Symbol(name));
    if (function == nullptr) std::cerr << "tb-console: the library does not export " << name << "\n";
    return function != nullptr;
}

bool ResolveAll(platform::DynamicLibrary& library, Api& api) {
    return Resolve(library, "initialize", api.initialize) && Resolve(library, "initialize_old", api.initialize_old) &&
           Resolve(library, "deinitialize", api.deinitialize) && Resolve(library, "ver", api.ver) &&
           Resolve(library, "sendCommand", api.sendCommand) &&
           Resolve(library, "getResultBufferText", api.getResultBufferText) &&
           Resolve(library, "getResultLen", api.getResultLen) &&
           Resolve(library, "getFailureMessage", api.getFailureMessage) &&
           Resolve(library, "setDefaultTimeout", api.setDefaultTimeout) &&
           Resolve(library, "setLogSeverity", api.setLogSeverity) &&
           Resolve(library, "setInternalCommandTimeout", api.setInternalCommandTimeout) &&
           Resolve(library, "SyncChipAccess", api.SyncChipAccess) &&
           Resolve(library, "getSystemVersionInfo", api.getSystemVersionInfo);
}

struct Options {
    std::string library;
    std::string macMap;
    std::string phyMap;
    std::string listFile;
    std::string script;
    std::string dispatcher = "127.0.0.1";
    int udpPort = 0;  // 0: take the dispatcher's address and ports from the registry
    int tcpPort = 0;
    int timeoutMs = 5000;
    bool echo = false;
    bool fullResults = false;
};

void Usage() {
    std::cout << "usage: tb-console [options]\n"
                 "  --lib PATH          library to load (default: the one beside this program)\n"
                 "  --mac PATH          MAC linker map file\n"
                 "  --phy PATH          PHY linker map file\n"
                 "  --list PATH         list file of struct definition files\n"
                 "  --script PATH       run the commands of a file instead of reading the prompt\n"
                 "  --dispatcher ADDR   dispatcher address (with --udp/--tcp; default 127.0.0.1)\n"
                 "  --udp PORT          dispatcher's command port; without it the registry is read\n"
                 "  --tcp PORT          port on which the library accepts the dispatcher\n"
                 "  --timeout MS        command time-out (default 5000; 0 waits without limit)\n"
                 "  --echo              print each command before its result\n"
                 "  --full              print long results whole (default: their first 64 bytes)\n";
}

bool ParseOptions(int argc, char** argv, Options& options) {
    std::map<std::string, std::string*> texts = {{"--lib", &options.library},   {"--mac", &options.macMap},
                                                 {"--phy", &options.phyMap},    {"--list", &options.listFile},
                                                 {"--script", &options.script}, {"--dispatcher", &options.dispatcher}};
    std::map<std::string, int*> numbers = {
        {"--udp", &options.udpPort}, {"--tcp", &options.tcpPort}, {"--timeout", &options.timeoutMs}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return false;
        if (arg == "--echo" || arg == "--full") {
            (arg == "--echo" ? options.echo : options.fullResults) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "tb-console: " << arg << " needs a value\n";
            return false;
        }
        if (texts.count(arg) != 0) {
            *texts[arg] = argv[++i];
        } else if (numbers.count(arg) != 0) {
            *numbers[arg] = std::atoi(argv[++i]);
        } else {
            std::cerr << "tb-console: unknown option " << arg << "\n";
            return false;
        }
    }
    return true;
}

std::string DefaultLibraryPath(const char* argv0) {
    const std::string self = argv0;
    const std::size_t cut = self.find_last_of("/\\");
    const std::string folder = cut == std::string::npos ? "." : self.substr(0, cut);
    return folder + "/" + platform::DefaultLibraryFileName();
}

class Console {
public:
    Console(const Api& api, const Options& options)
        : api_(api), timeoutMs_(options.timeoutMs), echo_(options.echo), fullResults_(options.fullResults) {}

    // Runs one line; false ends the session.
    bool Run(const std::string& rawLine) {
        const std::string line = Trim(rawLine);
        if (line.empty() || line[0] == '#') return true;
        if (echo_) std::cout << "> " << line << "\n";
        if (line[0] == ':') return RunOwnCommand(line);
        const int rc = api_.sendCommand(line.c_str(), timeoutMs_);
        if (rc == 0) {
            std::cout << "  ok, " << api_.getResultLen() << " bytes: " << Shortened(api_.getResultBufferText()) << "\n";
        } else {
            std::cout << "  failed (" << rc << "): " << api_.getFailureMessage() << "\n";
            ++failures_;
        }
        std::cout.flush();
        return true;
    }

    int Failures() const { return failures_; }

private:
    // Long results (captures) are shown by their start; --full shows them whole.
    std::string Shortened(const std::string& hex) const {
        constexpr std::size_t kShown = 128;
        if (fullResults_ || hex.size() <= kShown) return hex;
        return hex.substr(0, kShown) + "...";
    }

    static std::string Trim(const std::string& text) {
        const std::size_t first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return "";
        const std::size_t last = text.find_last_not_of(" \t\r\n");
        return text.substr(first, last - first + 1);
    }

    bool RunOwnCommand(const std::string& line) {
        std::istringstream words(line.substr(1));
        std::string command;
        int value = 0;
        words >> command;
        const bool hasValue = static_cast<bool>(words >> value);
        if (command == "quit" || command == "exit") return false;
        if (command == "timeout" && hasValue) {
            timeoutMs_ = value;
        } else if (command == "severity" && hasValue) {
            api_.setLogSeverity(value);
        } else if (command == "internal-timeout" && hasValue) {
            api_.setInternalCommandTimeout(value);
        } else if (command == "sync") {
            std::cout << "  sync: " << api_.SyncChipAccess() << "\n";
        } else if (command == "version") {
            std::cout << api_.getSystemVersionInfo() << "\n";
        } else {
            std::cout << ":timeout MS | :internal-timeout MS | :severity N | :sync | :version | :quit\n";
        }
        return true;
    }

    const Api& api_;
    int timeoutMs_;
    bool echo_;
    bool fullResults_;
    int failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    if (options.library.empty()) options.library = DefaultLibraryPath(argv[0]);

    std::string error;
    std::unique_ptr<platform::DynamicLibrary> library = platform::LoadDynamicLibrary(options.library, error);
    if (!library) {
        std::cerr << "tb-console: cannot load " << options.library << ": " << error << "\n";
        return 2;
    }
    Api api;
    if (!ResolveAll(*library, api)) return 2;

    const int initResult =
        options.udpPort != 0
            ? api.initialize_old(static_cast<unsigned short>(options.udpPort), options.dispatcher.c_str(),
                                 static_cast<unsigned short>(options.tcpPort), options.macMap.c_str(),
                                 options.phyMap.c_str(), options.listFile.c_str())
            : api.initialize(options.macMap.c_str(), options.phyMap.c_str(), options.listFile.c_str());
    if (initResult != 0) {
        std::cerr << "tb-console: initialize failed (is the dispatcher configured, or another host running?)\n";
        return 1;
    }

    Console console(api, options);
    if (!options.script.empty()) {
        std::ifstream script(options.script);
        if (!script) {
            std::cerr << "tb-console: cannot open " << options.script << "\n";
            api.deinitialize();
            return 2;
        }
        std::string line;
        while (std::getline(script, line) && console.Run(line)) {
        }
    } else {
        std::string line;
        std::cout << "tb> " << std::flush;
        while (std::getline(std::cin, line) && console.Run(line)) std::cout << "tb> " << std::flush;
    }
    api.deinitialize();
    return console.Failures() == 0 ? 0 : 1;
}
