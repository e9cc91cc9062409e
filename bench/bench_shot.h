// What the whole-job benchmarks (bench_job, bench_memory) share: running kestrel and its peers
// as processes of their own, with the wall time, the CPU time and the peak resident memory of
// each, and making the aligned stereo shot they render.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace BenchShot {

struct ProcessRun {
    double wall = 0;   // seconds
    double cpu = 0;    // user and system seconds of the process and its threads
    double peakMB = 0; // peak resident memory
};

// Runs a program (a bare name is looked up on the PATH) with its output going to a log file;
// throws with the log's text when it does not exit 0.
ProcessRun runProcess(const std::vector<std::string>& args, const std::filesystem::path& log);

// The PNG of frame `frame` of view `view` of a shot made by makeAlignedShot.
std::string plateFile(const std::filesystem::path& dir, const char* view, int frame);

// In a fresh folder dir: kestrel renders two frames of the synthetic stereo plate (a vertical
// shift, a roll and a focal mismatch between the views) as one PNG per view and frame, frames
// 3..frames are copies of those two (a Read decodes every frame from disk all the same), and
// kestrel align --analyse-only matches the keys and saves dir/out/aligned.kscript, writing
// dir/out/shot_%V.####.exr, with the filter named (empty: the aligner's default).
void makeAlignedShot(const std::string& kestrel, const std::filesystem::path& dir, int width,
                     int height, int frames, const std::string& filter);

// A scratch folder named after the benchmark, the size and the process.
std::filesystem::path scratchFolder(const std::string& bench, const std::string& label);

// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them: the
// ratios of a run on a machine shared with other work are read against it.
std::string loadAverage();

// What a whole-job benchmark's command line asked for.
struct Options {
    std::string kestrel;                      // --kestrel PATH: the kestrel beside the program
    std::string only;                         // --only 2k|4k: one size; empty: both
    bool keep = false;                        // --keep: leave the scratch folders
    std::map<std::string, std::string> extra; // the benchmark's own options with a value

    bool runs(const std::string& label) const { return only.empty() || only == label; }
};

// The main of a whole-job benchmark: reads --kestrel, --only, --keep and the options of
// `extra` (each with its default value), checks that kestrel exists and calls measure. A bad
// argument, a missing kestrel or a measure that throws is said on stderr under the benchmark's
// name; the return value is the process's exit status (0, 1 for a failed run, 2 for a bad
// command line).
int main(int argc, char** argv, const char* bench, std::map<std::string, std::string> extra,
         const std::function<void(const Options&)>& measure);

} // namespace BenchShot
