// The jobs of a shot on a Slurm farm, as text: the shot's frames cut into chunks, and the
// three batch scripts that analyse the shot, render its chunks as a job array and check that
// every frame was written.
//
// Decisions:
// - A chunk is N consecutive frames of the shot's frame list, in order; the last chunk may be
//   shorter. Chunks are numbered from 1 and the number is the task id in the render job array,
//   so chunk 2 renders again alone with `sbatch --array=2 render.sbatch`.
// - Each script names its job, its log, the partition and the user's own sbatch options in
//   #SBATCH lines, so that a script saved beside the output submits again by hand exactly as
//   it was first submitted. Logs are named by job id (and task id), so a re-run never
//   overwrites the log of the run that failed.
// - A task renders with as many threads as Slurm gave it CPUs (--cpus-per-task), unless the
//   user set --threads for every task; without either, kestrel's own default applies.
// - Every argument is single-quoted for bash: nothing the user typed is evaluated by a shell.
#pragma once

#include <string>
#include <vector>

namespace Kestrel::Farm {

// The frames cut into chunks of `size` frames (size >= 1), in order.
std::vector<std::vector<int>> chunkFrames(const std::vector<int>& frames, int size);

// A word for bash: 'text', with every ' written as '\''.
std::string shellQuote(const std::string& text);

// What all three jobs of a submission share.
struct JobSettings {
    std::string name;                      // job name prefix, such as kestrel-shot
    std::string folder;                    // absolute: the job scripts, logs and report
    std::string partition;                 // empty: the cluster's default partition
    std::vector<std::string> slurmOptions; // the user's own sbatch options, each one word
};

// A kestrel command line: the program, kestrel's global options, then the subcommand and its
// arguments. threadsFromSlurm adds --threads $SLURM_CPUS_PER_TASK when Slurm sets it.
struct Command {
    std::string program;
    std::vector<std::string> globals;
    bool threadsFromSlurm = true;
    std::vector<std::string> args;
};

// The analysis job: runs `command` (kestrel align ... --analyse-only) once.
std::string analysisScript(const JobSettings& jobs, const Command& command);

// The render job array: task N runs `command` followed by --frames and the frames of chunk N.
std::string renderScript(const JobSettings& jobs, const std::vector<std::vector<int>>& chunks,
                         const Command& command);

// The final job: runs `command` (kestrel farm check ...) once.
std::string checkScript(const JobSettings& jobs, const Command& command);

// The file names of the scripts and logs in the settings' folder.
std::string analysisScriptPath(const JobSettings& jobs);
std::string renderScriptPath(const JobSettings& jobs);
std::string checkScriptPath(const JobSettings& jobs);
std::string reportPath(const JobSettings& jobs);

} // namespace Kestrel::Farm
