// tb-console: the interactive host and script runner for the termbridge
// library. It loads the library at run time, the way real hosts do,
// initializes it and runs command lines from a script or the prompt, one per
// line, printing each outcome (or a JSON object per line with --json).
// Lines starting with ':' are the console's own verbs (see :help).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "completer.h"
#include "definitionnames.h"
#include "libraryapi.h"
#include "osconsole.h"
#include "progressline.h"
#include "reporter.h"
#include "scriptrunner.h"
#include "session.h"

namespace {

constexpr int kUsageError = 2;

struct Options {
    std::string library;
    std::string macMap;
    std::string phyMap;
    std::string listFile;
    std::string script;
    std::string dispatcher = "127.0.0.1";
    std::string history;
    int udpPort = 0;  // 0: take the dispatcher's address and ports from the registry
    int tcpPort = 0;
    int timeoutMs = 5000;
    bool echo = false;
    bool fullResults = false;
    bool json = false;
    bool progress = false;
    bool keepGoing = false;
};

void DescribeOptions(CLI::App& app, Options& options) {
    app.add_option("script,--script", options.script, "run the lines of this file instead of the prompt");
    app.add_option("--lib", options.library, "library to load (default: beside this program, in ../lib, or two folders up)");
    app.add_option("--mac", options.macMap, "MAC linker map file");
    app.add_option("--phy", options.phyMap, "PHY linker map file");
    app.add_option("--list", options.listFile, "list file of struct definition files");
    app.add_option("--dispatcher", options.dispatcher, "dispatcher address (with --udp)")->capture_default_str();
    app.add_option("--udp", options.udpPort, "dispatcher's command port; without it the registry is read")
        ->check(CLI::Range(0, 65535));
    app.add_option("--tcp", options.tcpPort, "port on which the library accepts the dispatcher")
        ->check(CLI::Range(0, 65535));
    app.add_option("--timeout", options.timeoutMs, "command time-out in ms (0 waits without limit)")
        ->capture_default_str();
    app.add_option("--history", options.history, "history file of the prompt (default ~/.tb-console_history)");
    app.add_flag("--echo", options.echo, "print each line before its outcome");
    app.add_flag("--full", options.fullResults, "print long results whole (default: their first 64 bytes)");
    app.add_flag("--json", options.json, "one JSON object per line run (JSON Lines) on standard output");
    app.add_flag("--progress", options.progress, "show progress of long operations also with --json");
    app.add_flag("--keep-going", options.keepGoing, "run a script to its end and report every unmet expectation");
}

// The library beside the program (Windows release, or a copy), in ../lib (an
// installed SDK), or two folders up (the build tree); else the bare name for
// the system's loader to search.
std::string DefaultLibraryPath(const char* argv0) {
    const std::string self = argv0;
    const std::size_t cut = self.find_last_of("/\\");
    const std::string folder = cut == std::string::npos ? "." : self.substr(0, cut);
    const std::string name = platform::DefaultLibraryFileName();
    for (const char* relative : {"/", "/../lib/", "/../../"}) {
        const std::string candidate = folder + relative + name;
        if (std::ifstream(candidate).good()) return candidate;
    }
    return name;
}

ProgressLine::Mode ProgressMode(const Options& options) {
    if (options.json && !options.progress) return ProgressLine::Mode::Off;
    return osconsole::IsTerminal(stderr) ? ProgressLine::Mode::Terminal : ProgressLine::Mode::Plain;
}

int Initialize(const LibraryApi& api, const Options& options) {
    return options.udpPort != 0
               ? api.initialize_old(static_cast<unsigned short>(options.udpPort), options.dispatcher.c_str(),
                                    static_cast<unsigned short>(options.tcpPort), options.macMap.c_str(),
                                    options.phyMap.c_str(), options.listFile.c_str())
               : api.initialize(options.macMap.c_str(), options.phyMap.c_str(), options.listFile.c_str());
}

// Runs the script or the prompt; the number of unmet expectations.
int RunLines(Session& session, Reporter& reporter, const Options& options, std::istream* script) {
    ScriptRunner::Rules rules;
    rules.keepGoing = options.keepGoing;
    if (script != nullptr) {
        rules.name = options.script;
        ScriptRunner runner(session, reporter, rules);
        return runner.Run([script](std::string& line) { return static_cast<bool>(std::getline(*script, line)); });
    }
    DefinitionNames names;
    if (!options.listFile.empty()) names.ReadListFile(options.listFile);
    const Completer completer(names, {Session::VerbNames(), Session::EepromVerbNames(), Session::ExpectKinds()});
    std::unique_ptr<osconsole::LineEditor> editor = osconsole::CreateLineEditor(completer, options.history);
    // At a terminal a failed line is part of the work; piped input is a script.
    const bool terminal = osconsole::IsTerminal(stdin);
    rules.name = "<stdin>";
    rules.failuresMiss = !terminal;
    rules.keepGoing = options.keepGoing || terminal;
    ScriptRunner runner(session, reporter, rules);
    const std::string prompt = terminal ? "tb> " : "";
    return runner.Run([&editor, &prompt](std::string& line) { return editor->ReadLine(prompt, line); });
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"tb-console: run termbridge command lines from a script or the prompt"};
    DescribeOptions(app, options);
    CLI11_PARSE(app, argc, argv);
    if (options.library.empty()) options.library = DefaultLibraryPath(argv[0]);

    std::ifstream scriptFile;
    if (!options.script.empty()) {
        scriptFile.open(options.script);
        if (!scriptFile) {
            std::cerr << "tb-console: cannot open " << options.script << "\n";
            return kUsageError;
        }
    }
    // The library prints on standard output; with --json only the JSON goes there.
    std::FILE* out = options.json ? osconsole::DivertStandardOutput() : stdout;
    if (out == nullptr) out = stdout;

    LibraryApi api;
    std::string error;
    const std::unique_ptr<platform::DynamicLibrary> library = LibraryApi::Load(options.library, api, error);
    if (!library) {
        std::cerr << "tb-console: cannot load " << options.library << ": " << error << "\n";
        return kUsageError;
    }
    if (Initialize(api, options) != 0) {
        std::cerr << "tb-console: initialize failed (is the dispatcher configured, or another host running?)\n";
        return 1;
    }

    int misses = 0;
    {
        ProgressLine progress(stderr, ProgressMode(options));
        Session session(api, options.timeoutMs, &progress);
        Reporter reporter(out, stderr, {options.json, options.echo, options.fullResults});
        misses = RunLines(session, reporter, options, options.script.empty() ? nullptr : &scriptFile);
        if (misses > 0 && options.keepGoing) reporter.Miss(options.script.empty() ? "<stdin>" : options.script,
                                                           std::to_string(misses) + " unmet expectation(s)");
    }
    api.deinitialize();
    std::fflush(out);
    return misses == 0 ? 0 : 1;
}
