// The subcommands of kestrel. Each is declared by one function that adds it to the command
// line with its options and returns how to run it; main() lists them, so a new subcommand is
// a new function and one more line there.
//
// Exit statuses, for every subcommand: 0 when the job succeeded, 1 when it failed (a bad
// file, a node's error, a failed frame), 2 for a usage error (an unknown option, a malformed
// or unknown value, a missing argument), 130 when interrupted by Ctrl-C; kestrel align
// --strict ends with 3 when the job succeeded but its confidence is low.
#pragma once

#include "KnobSettings.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace Kestrel {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLowConfidence = 3;
constexpr int kExitInterrupted = 130;

// The options of kestrel itself, accepted before or after the subcommand.
struct GlobalOptions {
    std::vector<std::string> pluginPaths;
    bool yes = false, no = false;
    unsigned threads = 0;
    std::string cacheMemory;
    std::string missingFrames; // checked: "error", "black" or "hold" (empty: not given)
    bool quiet = false, verbose = false;
};

struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
    bool python = true; // runs Python (buttons, scripts): the interpreter is started first
};

// Logs the questions that find no answer (neither --yes nor --no given, no terminal), for:
void catchUnansweredQuestions();
// Fails when a node asked a question that had no answer (no --yes or --no and no terminal to
// ask on), naming the question and the flags; the command stops before saving anything.
void failOnUnansweredQuestion();

// --set NODE.KNOB=VALUE, repeatable, on a subcommand; the settings are parsed into `into`.
void addSetOption(CLI::App& command, std::vector<KnobSetting>& into);

Command renderCommand(CLI::App& app, const GlobalOptions& g);
Command executeCommand(CLI::App& app, const GlobalOptions& g);
Command pressCommand(CLI::App& app, const GlobalOptions& g);
Command pythonCommand(CLI::App& app, const GlobalOptions& g);
Command infoCommand(CLI::App& app, const GlobalOptions& g);
Command pluginsCommand(CLI::App& app, const GlobalOptions& g);
Command alignCommand(CLI::App& app, const GlobalOptions& g);
Command viewCommand(CLI::App& app, const GlobalOptions& g);

} // namespace Kestrel
