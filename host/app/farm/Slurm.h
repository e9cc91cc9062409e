// Slurm as kestrel farm talks to it: the cluster's own client programs (sinfo, sbatch,
// scancel), run as child processes without a shell, with this process's environment, so that
// SLURM_CONF and the user's Slurm settings apply exactly as they do to sbatch typed by hand.
//
// Every function throws std::runtime_error with one message that says what to do: install
// the client, check SLURM_CONF or the controller, choose an existing partition.
#pragma once

#include <string>
#include <vector>

namespace Kestrel::Farm {

struct ProgramResult {
    int code = -1; // exit status; -1 when killed by a signal
    std::string out, err;
};

// Runs argv[0] (looked up on PATH) with the arguments, `input` on its standard input, and
// collects what it prints. Throws when the program cannot be started.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& input = {});

// The path of a program on PATH, or empty.
std::string findOnPath(const std::string& program);

// Checks that the Slurm client is installed and that the controller answers; returns the
// partitions of the cluster, the default one first.
std::vector<std::string> partitions();

// Asks the controller whether the batch script would be accepted as it stands (sbatch
// --test-only), without submitting it; throws with sbatch's own reason when not.
void testSubmission(const std::string& scriptText, const std::string& what);

// Submits the batch script file with extra sbatch options; returns the job id.
std::string submit(const std::string& scriptPath, const std::vector<std::string>& options);

// Cancels the jobs, for a submission that could not be completed.
void cancel(const std::vector<std::string>& jobIds);

} // namespace Kestrel::Farm
