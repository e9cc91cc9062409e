#include "FarmJobs.h"

#include <Kestrel/IO/FrameList.h>
#include <sstream>

namespace Kestrel::Farm {

std::vector<std::vector<int>> chunkFrames(const std::vector<int>& frames, int size) {
    std::vector<std::vector<int>> chunks;
    for (size_t i = 0; i < frames.size(); i += size_t(size))
        chunks.emplace_back(frames.begin() + std::ptrdiff_t(i),
                            frames.begin() +
                                std::ptrdiff_t(std::min(frames.size(), i + size_t(size))));
    return chunks;
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

namespace {

std::string header(const JobSettings& jobs, const std::string& what, const std::string& job,
                   const std::string& log) {
    std::ostringstream s;
    s << "#!/bin/bash\n"
      << "# " << what << "\n"
      << "# Written by kestrel farm submit; submit it again by hand with sbatch.\n"
      << "#SBATCH --job-name=" << jobs.name << "-" << job << "\n"
      << "#SBATCH --output=" << jobs.folder << "/" << log << "\n";
    if (!jobs.partition.empty()) s << "#SBATCH --partition=" << jobs.partition << "\n";
    for (const std::string& o : jobs.slurmOptions) s << "#SBATCH " << o << "\n";
    return s.str();
}

std::string commandLine(const Command& c, const std::string& tail = {}) {
    std::string line = "exec " + shellQuote(c.program);
    for (const std::string& g : c.globals) line += " " + shellQuote(g);
    if (c.threadsFromSlurm) line += " ${SLURM_CPUS_PER_TASK:+--threads \"$SLURM_CPUS_PER_TASK\"}";
    for (const std::string& a : c.args) line += " " + shellQuote(a);
    return line + tail + "\n";
}

} // namespace

std::string analysisScript(const JobSettings& jobs, const Command& command) {
    return header(jobs, "Analysis of the shot: matches its keys and saves the script.", "analyse",
                  "analyse_%j.log") +
           "set -eu\n" + commandLine(command);
}

std::string renderScript(const JobSettings& jobs, const std::vector<std::vector<int>>& chunks,
                         const Command& command) {
    std::ostringstream s;
    s << header(jobs,
                "Render of the shot's chunks, one array task per chunk: sbatch --array=N "
                "renders chunk N alone.",
                "render", "render_%A_%a.log")
      << "#SBATCH --array=1-" << chunks.size() << "\n"
      << "set -eu\n"
      << "case \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
    for (size_t i = 0; i < chunks.size(); ++i)
        s << "  " << i + 1 << ") frames=" << Kestrel::IO::formatFrameList(chunks[i]) << " ;;\n";
    s << "  *) echo \"render.sbatch: no chunk '${SLURM_ARRAY_TASK_ID:-}': submit it as a job "
         "array task, such as sbatch --array=1-"
      << chunks.size() << " " << renderScriptPath(jobs) << "\" >&2; exit 2 ;;\n"
      << "esac\n"
      << "echo \"chunk $SLURM_ARRAY_TASK_ID of " << chunks.size() << ": frames $frames\"\n"
      << commandLine(command, " --frames \"$frames\"");
    return s.str();
}

std::string checkScript(const JobSettings& jobs, const Command& command) {
    return header(jobs, "Final check of the shot: every frame written, the report beside the logs.",
                  "check", "check_%j.log") +
           "set -eu\n" + commandLine(command);
}

std::string analysisScriptPath(const JobSettings& jobs) {
    return jobs.folder + "/analyse.sbatch";
}
std::string renderScriptPath(const JobSettings& jobs) {
    return jobs.folder + "/render.sbatch";
}
std::string checkScriptPath(const JobSettings& jobs) {
    return jobs.folder + "/check.sbatch";
}
std::string reportPath(const JobSettings& jobs) {
    return jobs.folder + "/report.json";
}

} // namespace Kestrel::Farm
