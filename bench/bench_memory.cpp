// Peak resident memory of rendering a stereo sequence through the aligner, against the peak
// of rendering one frame of it in the same run: the ratio tells whether memory grows with the
// length of a shot. A sequence renders in the memory of one frame when the ratio stays near 1.
//
// For each size (2048 x 1080 over 100 frames, 4096 x 2160 over 20), in a scratch folder:
//   1. kestrel renders two frames of the synthetic stereo plate to PNG files, one per view,
//      and the other frames of the sequence are copies of those two (the Read decodes every
//      frame from disk all the same);
//   2. kestrel align --analyse-only matches the keys and saves the script;
//   3. kestrel render SCRIPT --frames 1, then --frames 1-N, each in a process of its own,
//      writing both aligned views as OpenEXR; the peak resident memory of each process comes
//      from wait4.
// The closing lines give both peaks in MB, their ratio and the time of each render.
//
// Run:  bench_memory [--kestrel PATH] [--only 2k|4k] [--keep]
//       PATH defaults to the kestrel beside this program; --keep leaves the scratch folders.
#include "bench_shot.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using BenchShot::ProcessRun;
using BenchShot::runProcess;

namespace {

void measure(const std::string& kestrel, const std::string& label, int width, int height,
             int frames, bool keep) {
    const fs::path dir = BenchShot::scratchFolder("bench_memory", label);
    std::printf("%s: making a %d x %d plate of %d frames...\n", label.c_str(), width, height,
                frames);
    std::fflush(stdout);
    BenchShot::makeAlignedShot(kestrel, dir, width, height, frames, "");
    const std::string script = (dir / "out/aligned.kscript").string();
    const ProcessRun one =
        runProcess({kestrel, "render", script, "--frames", "1"}, dir / "one.log");
    const ProcessRun all = runProcess(
        {kestrel, "render", script, "--frames", "1-" + std::to_string(frames)}, dir / "all.log");
    std::printf("%s %d x %d: peak RSS 1 frame %.1f MB (%.1f s), %d frames %.1f MB (%.1f s): "
                "ratio %.3f (target at most 1.15); load average at the end %s\n",
                label.c_str(), width, height, one.peakMB, one.wall, frames, all.peakMB, all.wall,
                all.peakMB / one.peakMB, BenchShot::loadAverage().c_str());
    std::fflush(stdout);
    if (!keep) fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv) {
    return BenchShot::main(argc, argv, "bench_memory", {}, [](const BenchShot::Options& o) {
        if (o.runs("2k")) measure(o.kestrel, "2k", 2048, 1080, 100, o.keep);
        if (o.runs("4k")) measure(o.kestrel, "4k", 4096, 2160, 20, o.keep);
    });
}
