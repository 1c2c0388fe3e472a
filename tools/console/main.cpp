// tb-console: the interactive host and script runner for the termbridge
// library. It loads the library at run time, the way real hosts do,
// initializes it and runs command lines from a script or the prompt, one per
// line, printing each outcome (or a JSON object per line with --json).
// Lines starting with ':' are the console's own verbs (see :help).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "completer.h"
#include "definitionnames.h"
#include "libraryapi.h"
#include "linereader.h"
#include "osconsole.h"
#include "platform/platform.h"
#include "progressline.h"
#include "reporter.h"
#include "scriptrunner.h"
#include "session.h"
#include "startupcheck.h"

#ifndef TB_VERSION_TEXT
#define TB_VERSION_TEXT "unknown"
#endif

namespace {

constexpr int kSuccess = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kInterrupted = 130;

const char* const kExitCodes =
    "Exit status: 0 every line did what was asked (or met its :expect); 1 a line failed or an expectation\n"
    "was not met, the library did not start, the script could not be read to its end or the output could\n"
    "not be written; 2 a usage error (options, a script or library that cannot be opened or read); 130\n"
    "ended by Ctrl-C.";

struct Options {
    std::string library;
    std::string macMap;
    std::string phyMap;
    std::string listFile;
    std::string script;
    std::string dispatcher = "127.0.0.1";
    std::string history;
    std::string format = "auto";
    int udpPort = 0;  // 0: take the dispatcher's address and ports from the registry
    int tcpPort = 0;
    int timeoutMs = Session::kDefaultTimeoutMs;
    bool echo = false;
    bool fullResults = false;
    bool json = false;
    bool progress = false;
    bool keepGoing = false;
    bool quiet = false;
    bool lenient = false;
};

void DescribeOptions(CLI::App& app, Options& options) {
    app.set_version_flag("--version", std::string("tb-console ") + TB_VERSION_TEXT);
    app.footer(kExitCodes);
    app.add_option("script,--script", options.script, "run the lines of this file instead of the prompt");
    app.add_option("--lib", options.library, "library to load (default: beside this program, in ../lib, or two folders up)");
    app.add_option("--mac", options.macMap, "MAC linker map file");
    app.add_option("--phy", options.phyMap, "PHY linker map file");
    app.add_option("--list", options.listFile, "list file of struct definition files");
    // The three name the dispatcher together; without --udp all of it comes
    // from the registry, so a lone --tcp or --dispatcher would be ignored.
    CLI::Option* dispatcher =
        app.add_option("--dispatcher", options.dispatcher, "dispatcher address (with --udp)")->capture_default_str();
    CLI::Option* udp = app.add_option("--udp", options.udpPort,
                                      "dispatcher's command port (with --tcp); without it the registry is read")
                           ->check(CLI::Range(1, 65535));
    CLI::Option* tcp =
        app.add_option("--tcp", options.tcpPort, "port on which the library accepts the dispatcher (with --udp)")
            ->check(CLI::Range(1, 65535));
    udp->needs(tcp);
    tcp->needs(udp);
    dispatcher->needs(udp);
    app.add_option("--timeout", options.timeoutMs, "command time-out in ms (0 waits without limit)")
        ->capture_default_str();
    app.add_option("--format", options.format, "results as auto (text where they are text), hex or text")
        ->check(CLI::IsMember({"auto", "hex", "text"}))
        ->capture_default_str();
    app.add_option("--history", options.history, "history file of the prompt (default ~/.tb-console_history)");
    app.add_flag("--echo", options.echo, "print each line before its outcome");
    app.add_flag("--full", options.fullResults, "print long results whole (default: their first 64 bytes)");
    app.add_flag("--json", options.json, "one JSON object per line run (JSON Lines) on standard output");
    app.add_flag("--progress", options.progress, "show progress of long operations also with --json");
    app.add_flag("--keep-going", options.keepGoing, "run a script to its end and report every unmet expectation");
    app.add_flag("-q,--quiet", options.quiet, "no banner and start-up lines (warnings still show)");
    app.add_flag("--lenient", options.lenient,
                 "pass EEPROM values and command parameters to the library as typed, even those it reads as "
                 "another value (not a number, or too large for the field)");
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

void Warn(const std::string& text) { std::cerr << "tb-console: warning: " << text << "\n"; }

// What the library would only log: given files that do not open, a
// definition list naming files that do not open, a taken listening port.
void CheckBeforeStart(const Options& options, const DefinitionNames& names, bool listRead) {
    const struct {
        const std::string& path;
        const char* what;
    } files[] = {{options.macMap, "MAC map file"}, {options.phyMap, "PHY map file"}};
    for (const auto& file : files) {
        if (file.path.empty()) continue;
        const std::string problem = startupcheck::FileProblem(file.path);
        if (!problem.empty()) Warn("the " + std::string(file.what) + " " + file.path + " does not open: " + problem);
    }
    if (!options.listFile.empty() && !listRead) {
        Warn("the definition list " + options.listFile + " does not open: " +
             startupcheck::FileProblem(options.listFile) + "; only native and memory commands will work");
    }
    for (const std::string& path : names.Unreadable()) {
        Warn("the definition file " + path + " named by " + options.listFile + " does not open");
    }
    if (options.udpPort != 0 && options.tcpPort != 0) {
        const std::string problem = startupcheck::PortProblem(static_cast<std::uint16_t>(options.tcpPort));
        if (!problem.empty()) {
            Warn("the library cannot listen for the dispatcher on port " + std::to_string(options.tcpPort) + ": " +
                 problem + "; no answer will reach it");
        }
    }
}

// The dispatcher's address as the library takes it: the option, or the
// registry value that initialize reads (the key include/termbridge.h names;
// the library keeps its first 16 characters). The library does not report it.
std::string DispatcherAddress(const Options& options) {
    if (options.udpPort != 0) return options.dispatcher;
    const std::string address = platform::ReadUserRegistryValue(
        "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses", "Console_To_Dispatcher");
    return address.empty() ? "" : address.substr(0, 16) + " (from the registry)";
}

int Initialize(const LibraryApi& api, const Options& options) {
    std::unique_ptr<osconsole::QuietStandardOutput> quiet;
    if (options.quiet) quiet = std::make_unique<osconsole::QuietStandardOutput>();
    return options.udpPort != 0
               ? api.initialize_old(static_cast<unsigned short>(options.udpPort), options.dispatcher.c_str(),
                                    static_cast<unsigned short>(options.tcpPort), options.macMap.c_str(),
                                    options.phyMap.c_str(), options.listFile.c_str())
               : api.initialize(options.macMap.c_str(), options.phyMap.c_str(), options.listFile.c_str());
}

ScriptRunner::Input FromEditor(osconsole::LineEditor::Read read, bool second) {
    switch (read) {
        case osconsole::LineEditor::Read::Line: return ScriptRunner::Input::Line;
        case osconsole::LineEditor::Read::Interrupted:
            return second ? ScriptRunner::Input::Quit : ScriptRunner::Input::Interrupted;
        case osconsole::LineEditor::Read::End:
        case osconsole::LineEditor::Read::Failed: break;
    }
    return ScriptRunner::Input::End;
}

struct RunResult {
    int misses = 0;
    bool interrupted = false;
    int linesRead = 0;
    std::string readFailure;  // why the input could not be read to its end
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using ScriptFile = std::unique_ptr<std::FILE, FileCloser>;

// The script opened for reading (a pipe will do, a folder will not), or
// null with the reason.
ScriptFile OpenScript(const std::string& path, std::string& problem) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        problem = std::make_error_code(std::errc::is_a_directory).message();
        return nullptr;
    }
    ScriptFile file(std::fopen(path.c_str(), "r"));
    if (!file) problem = std::strerror(errno);
    return file;
}

// Runs the script or the prompt.
RunResult RunLines(Session& session, Reporter& reporter, const Options& options, const DefinitionNames& names,
                   std::FILE* script) {
    ScriptRunner::Rules rules;
    rules.keepGoing = options.keepGoing;
    RunResult result;
    if (script != nullptr) {
        rules.name = options.script;
        ScriptRunner runner(session, reporter, rules);
        result.misses = runner.Run([script, &result](std::string& line) {
            switch (linereader::NextLine(script, line, result.readFailure)) {
                case linereader::Read::Line: ++result.linesRead; return ScriptRunner::Input::Line;
                case linereader::Read::Failed:
                case linereader::Read::End: break;
            }
            return ScriptRunner::Input::End;
        });
        result.interrupted = runner.EndedByInterrupt();
        return result;
    }
    const Completer completer(names, Session::Syntax());
    std::unique_ptr<osconsole::LineEditor> editor = osconsole::CreateLineEditor(completer, options.history);
    // At a terminal a failed line is part of the work; piped input is a script.
    const bool terminal = osconsole::IsTerminal(stdin);
    rules.name = "<stdin>";
    rules.failuresMiss = !terminal;
    rules.keepGoing = options.keepGoing || terminal;
    rules.deferJson = !terminal;
    rules.stopWhenInterrupted = !terminal;
    ScriptRunner runner(session, reporter, rules);
    const std::string prompt = terminal ? "tb> " : "";
    result.misses = runner.Run([&editor, &prompt, &result](std::string& line) {
        bool second = false;
        const osconsole::LineEditor::Read read = editor->ReadLine(prompt, line, second);
        if (read == osconsole::LineEditor::Read::Line) ++result.linesRead;
        if (read == osconsole::LineEditor::Read::Failed) result.readFailure = editor->Failure();
        return FromEditor(read, second);
    });
    result.interrupted = runner.EndedByInterrupt();
    return result;
}

// The session Ctrl-C reaches (null while none runs).
std::atomic<Session*> g_session{nullptr};

// Ctrl-C outside the prompt: cancels the running operation; twice within a
// second, or with nothing to cancel in a script, ends the console at once.
void OnInterrupt(bool second, bool interactive) {
    Session* session = g_session.load();
    if (!second && session != nullptr && session->Busy()) {
        // Said before the cancel: the outcome that follows it comes after.
        std::fputs("\n  cancelling (Ctrl-C again within a second ends tb-console)\n", stderr);
        std::fflush(stderr);
        session->Interrupt();
        return;
    }
    if (!second && interactive && session != nullptr) return;  // between lines: the prompt comes next
    std::fputs("\ntb-console: ended by Ctrl-C\n", stderr);
    std::fflush(stderr);
    std::_Exit(kInterrupted);
}

// Input that could not be read: refused when not a line of it could be
// read, a failed run when it broke off.
int ReadFailureStatus(const RunResult& run, const std::string& name) {
    if (run.linesRead == 0) {
        std::cerr << "tb-console: cannot read " << name << ": " << run.readFailure << "\n";
        return kUsageError;
    }
    std::cerr << "tb-console: reading " << name << " failed after line " << run.linesRead << ": "
              << run.readFailure << "\n";
    return kFailed;
}

// Output that did not reach standard output (a full disk, a closed pipe)
// fails the run: a caller reading it would take what is missing for done.
bool OutputWritten(std::FILE* out, std::string problem) {
    if (std::fflush(out) != 0 && problem.empty()) problem = std::strerror(errno);
    if (problem.empty() && std::ferror(out) != 0) problem = "a write failed";
    if (problem.empty()) return true;
    std::cerr << "tb-console: cannot write standard output: " << problem << "\n";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"tb-console: run termbridge command lines from a script or the prompt"};
    DescribeOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (app.exit(error) != 0) return kUsageError;
        std::cout.flush();  // the help or version text
        return OutputWritten(stdout, std::cout ? "" : "a write failed") ? kSuccess : kUsageError;
    }
    if (options.library.empty()) options.library = DefaultLibraryPath(argv[0]);

    ScriptFile scriptFile;
    if (!options.script.empty()) {
        std::string problem;
        scriptFile = OpenScript(options.script, problem);
        if (!scriptFile) {
            std::cerr << "tb-console: cannot read " << options.script << ": " << problem << "\n";
            return kUsageError;
        }
    }
    DefinitionNames names;
    const bool listRead = !options.listFile.empty() && names.ReadListFile(options.listFile);
    CheckBeforeStart(options, names, listRead);

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
    // Before the library starts its threads: they must never take Ctrl-C.
    const bool interactive = options.script.empty() && osconsole::IsTerminal(stdin);
    osconsole::WatchInterrupts([interactive](bool second) { OnInterrupt(second, interactive); });
    if (Initialize(api, options) != 0) {
        osconsole::StopWatchingInterrupts();
        std::cerr << "tb-console: initialize failed (is the dispatcher configured, or another host running?)\n";
        return kFailed;
    }

    resultview::Format format = resultview::Format::Auto;
    resultview::ParseFormat(options.format, format);
    RunResult run;
    std::string outputProblem;
    {
        ProgressLine progress(stderr, ProgressMode(options));
        Session session(api, names, {options.timeoutMs, !options.lenient, format, DispatcherAddress(options)},
                        &progress);
        const std::string link = session.LinkNote();
        if (!link.empty()) Warn(link);
        Reporter reporter(out, stderr, {options.json, options.echo, options.fullResults});
        g_session.store(&session);
        run = RunLines(session, reporter, options, names, scriptFile.get());
        g_session.store(nullptr);
        if (run.misses > 0 && options.keepGoing) {
            reporter.Miss(options.script.empty() ? "<stdin>" : options.script,
                          std::to_string(run.misses) + " unmet expectation(s)");
        }
        outputProblem = reporter.OutputProblem();
    }
    osconsole::StopWatchingInterrupts();
    api.deinitialize();
    const bool written = OutputWritten(out, outputProblem);
    if (run.interrupted) return kInterrupted;
    if (!run.readFailure.empty()) return ReadFailureStatus(run, options.script.empty() ? "<stdin>" : options.script);
    return run.misses == 0 && written ? kSuccess : kFailed;
}
