// kestrel farm: a shot rendered on a Slurm cluster.
//
//   farm submit PLATE... -o OUTPUT [align options] --chunk N [--partition P]
//               [--slurm-opt=OPTION]... [--frames LIST] [--script NAME] [--dry-run]
//   farm submit SCRIPT --chunk N [--frames LIST] [--partition P] [--slurm-opt=OPTION]...
//   farm check SCRIPT --frames LIST --chunk N [--render-job FILE] [--report FILE]
//
// `submit` with plates submits three jobs: the analysis (`kestrel align ... --analyse-only`,
// which saves the script), a job array that depends on it with one task per chunk of N frames
// (`kestrel render SCRIPT --frames A-B`), and a final job, run whatever the chunks did, that
// checks every frame of the shot is on disk and writes the report (`farm check`). With a saved
// script instead of plates, only the render array and the final job are submitted: a re-render
// of the whole shot or of some frames. --dry-run prints the job scripts and the sbatch commands
// instead of submitting, and touches neither the cluster nor the disk.
//
// Decisions:
// - The job scripts, their logs and the report live in a folder beside the output named after
//   the script (aligned.kscript: aligned.farm/). The folder path goes into #SBATCH lines, so
//   it may not hold spaces, quotes, backslashes or %.
// - The align options of `submit` are align's own, mirrored from its command-line definition
//   and passed through unchanged to the analysis job. Before anything is submitted, each value
//   goes through align's own option, which checks its type (a number for --key-step); the
//   meaning of a value (a preset's name) is checked by align as the analysis job starts. What
//   submit needs itself is checked before anything is submitted too: the chunk size, the plates
//   and the frames asked for, that the output folder can be written, the Slurm client, the
//   controller and the partition, and (sbatch --test-only) that Slurm accepts the jobs with
//   the user's options.
// - kestrel's global options given to submit (--missing-frames, --cache-memory, --threads,
//   --plugin-path, ...) are given to every job's kestrel.
// - Jobs run this very kestrel by its absolute path and read and write the same absolute
//   paths, as on any cluster with a shared file system.
// - When a job cannot be submitted, those already submitted are cancelled, so a submission
//   is all or nothing.
#pragma once

#include "Commands.h"
#include "FarmJobs.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace Kestrel {

class FarmCommand {
public:
    // Adds `farm submit` and `farm check` to the program; `align` is the align subcommand,
    // whose options submit mirrors.
    FarmCommand(CLI::App& app, CLI::App& align);
    FarmCommand(const FarmCommand&) = delete;
    FarmCommand& operator=(const FarmCommand&) = delete;

    bool parsed() const { return _farm->parsed(); }

    // Runs the parsed farm subcommand; returns the exit code (check: 1 when frames are
    // missing). Throws std::runtime_error with one message on bad input.
    int run(std::ostream& out);

private:
    // What a submission renders: the frames, the script the chunks render (saved by the
    // analysis, or given), the folders the jobs write, and for plates the analysis command.
    struct Shot {
        std::vector<int> frames;
        std::filesystem::path script;
        std::vector<std::filesystem::path> outputFolders;
        Farm::Command analysis;
    };
    Shot shotFromScript();
    Shot shotFromPlates();
    int submit(std::ostream& out);
    int check(std::ostream& out);
    std::vector<std::string> globalArguments() const;
    std::vector<std::string> alignArguments() const;
    void checkAlignValues();

    CLI::App& _app;
    CLI::App* _farm = nullptr;
    CLI::App* _submit = nullptr;
    CLI::App* _check = nullptr;
    // align's options mirrored onto submit: the mirror, and align's own that checks values.
    std::vector<std::pair<CLI::Option*, CLI::Option*>> _alignOptions;

    std::vector<std::string> _inputs;
    std::string _output, _frames, _script, _partition, _renderJob, _report;
    std::vector<std::string> _slurmOptions;
    int _chunk = 0;
    bool _dryRun = false;
};

// `farm submit` and `farm check` as one of the program's subcommands; `align` is the align
// subcommand, whose options submit mirrors, so it is declared first.
Command farmCommand(CLI::App& app, CLI::App& align);

} // namespace Kestrel
