// kestrel: the command-line host. Loads the plug-ins of the folder beside the executable
// (build/plugins next to build/bin) and of --plugin-path, sets the render cache's memory
// budget (--cache-memory) and what Reads do with missing frames (--missing-frames), then
// runs one subcommand (Commands.h lists them and the exit statuses). Options of kestrel
// itself may stand before or after the subcommand.
//
// Every failure ends in one message on standard error and a non-zero exit status (a Python
// error shows its traceback); Ctrl-C interrupts renders, executions and Python cleanly.
#include "Commands.h"
#include "UsageError.h"
#include "Verbosity.h"
#include "farm/Farm.h"

#include <Kestrel/Python/Interpreter.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Plugins.h>
#include <Kx/Image/Question.h>

#include <csignal>
#include <filesystem>
#include <iostream>

#ifndef KESTREL_VERSION
#error "the build names the program's version in KESTREL_VERSION"
#endif

namespace fs = std::filesystem;
using namespace Kx::Image;
using namespace Kestrel;

namespace {

void onInterrupt(int) {
    Engine::interruptAll();
    Kestrel::Python::interruptPython();
}

fs::path executableFolder() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

void loadPlugins(const std::vector<std::string>& extra) {
    fs::path beside = executableFolder().parent_path() / "plugins";
    if (fs::is_directory(beside)) Plugins::loadFolder(beside.string());
    for (const auto& p : extra) {
        if (fs::is_directory(p))
            Plugins::loadFolder(p);
        else
            Plugins::load(p);
    }
    for (const auto& file : Plugins::loaded()) detail("loaded " + file);
}

// The options of kestrel itself; their values are checked before any plug-in is loaded.
void addGlobalOptions(CLI::App& app, GlobalOptions& g) {
    app.add_option("--plugin-path", g.pluginPaths, "Extra plug-in files or folders to load");
    auto* yes = app.add_flag("--yes", g.yes, "Answer yes to every question the nodes ask");
    app.add_flag("--no", g.no, "Answer no to every question the nodes ask")->excludes(yes);
    app.add_option("--threads", g.threads, "Render threads (default: one per CPU)");
    app.add_option("--cache-memory", g.cacheMemory,
                   "Memory budget of the render cache: 4G, 512M, or 25% of the machine "
                   "(default 25%)");
    app.add_option("--missing-frames", g.missingFrames,
                   "What a Read does with a frame missing on disk or outside its range: error "
                   "(default), black or hold");
    auto* quiet = app.add_flag("-q,--quiet", g.quiet, "Print errors only: no progress, no report");
    app.add_flag("-v,--verbose", g.verbose, "Also print what is loaded and each step's time")
        ->excludes(quiet);
    app.set_version_flag("--version", "kestrel " KESTREL_VERSION);
}

void applyGlobalOptions(const GlobalOptions& g) {
    setVerbosity(g.quiet ? Verbosity::Quiet : g.verbose ? Verbosity::Verbose : Verbosity::Normal);
    try {
        if (!g.cacheMemory.empty())
            Engine::setCacheBudget(
                Kestrel::Python::parseMemorySize(g.cacheMemory, "--cache-memory"));
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    if (g.yes || g.no)
        Question::setAnswer(g.yes);
    else
        catchUnansweredQuestions();
    if (g.threads > 0) Engine::setThreads(g.threads);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    CLI::App app{"kestrel " KESTREL_VERSION ": the command-line compositing host\n\n"
                 "Exit status: 0 success, 1 the job failed, 2 usage error, 3 low confidence "
                 "(kestrel align --strict), 130 interrupted."};
    app.require_subcommand(1);
    // Value placeholders in the help say what to give rather than a C++ type.
    for (auto [type, label] :
         {std::pair{"TEXT", "VALUE"}, {"INT", "N"}, {"UINT", "N"}, {"FLOAT", "X"}})
        app.get_formatter()->label(type, label);
    // Options of kestrel itself (--threads, -q, ...) may also follow the subcommand.
    app.fallthrough();
    GlobalOptions g;
    addGlobalOptions(app, g);
    const std::vector<Command> commands = {
        renderCommand(app, g),
        executeCommand(app, g),
        pressCommand(app, g),
        pythonCommand(app, g),
        infoCommand(app, g),
        pluginsCommand(app, g),
        alignCommand(app, g),
        viewCommand(app, g),
        farmCommand(app, *app.get_subcommand("align")),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here with status 0.
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "kestrel: " << e.what() << "; kestrel --help lists the commands and "
                  << "their options\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        std::cerr << "kestrel: " << e.what() << "\n";
        return kExitUsage;
    }
    // The graph goes before the process exits, while the plug-ins' own state is still there.
    struct ClearSession {
        ~ClearSession() { Kestrel::Python::Session::current().clear(); }
    } clearSession;
    try {
        if (!g.missingFrames.empty()) try {
                g.missingFrames =
                    Kestrel::Python::parseMissingFrames(g.missingFrames, "--missing-frames");
            } catch (const std::exception& e) {
                throw UsageError(e.what());
            }
        applyGlobalOptions(g);
        loadPlugins(g.pluginPaths);
        for (const Command& c : commands) {
            if (!c.app->parsed()) continue;
            // Script buttons run Python, so the interpreter is there for every graph command.
            if (c.python) Kestrel::Python::startInterpreter();
            const int status = c.run();
            failOnUnansweredQuestion();
            return status;
        }
    } catch (const UsageError& e) {
        std::cerr << "kestrel: " << e.what() << "\n";
        return kExitUsage;
    } catch (const Kestrel::Python::PythonError& e) {
        std::cerr << "kestrel: Python error\n" << e.what() << "\n";
        return Engine::interrupted() ? kExitInterrupted : kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "kestrel: " << e.what() << "\n";
        return Engine::interrupted() ? kExitInterrupted : kExitFailure;
    }
    return 0;
}
