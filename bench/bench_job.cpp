// The whole job against its file I/O: the wall time of rendering an aligned stereo sequence,
// PNG in and OpenEXR out, against the wall time of only reading and writing the same files, and
// that against oiiotool converting the same files with its threads, all in one run.
//
// For each size (2048 x 1080 over 20 frames, 4096 x 2160 over 5), in a scratch folder:
//   1. kestrel renders two frames of the synthetic stereo plate to PNG files, one per view; the
//      other frames of the sequence are copies of those two (every frame is decoded all the
//      same);
//   2. kestrel align --analyse-only matches the keys and saves the script (filter Lanczos6);
//   3. (a) kestrel render of a Read -> Write script: both views to half, ZIP OpenEXR;
//      (b) kestrel render of the aligned script: the same files through the aligner;
//      (c) oiiotool converting each view's PNG sequence to half, ZIP OpenEXR, one view after
//          the other (its %V wildcard fails in the version on the machine), on its threads.
// Each run is a process of its own; its wall time and the CPU time of its process (from
// wait4) are reported, with the CPU time over the wall time: how many cores worked on average.
// The closing lines give the ratios (b)/(a) (target at most 1.3) and (a)/(c) (at most 1).
//
// Run:  bench_job [--kestrel PATH] [--oiiotool PATH] [--only 2k|4k] [--keep]
//       PATH defaults to the kestrel beside this program and to oiiotool on the PATH.
#include "bench_shot.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using BenchShot::ProcessRun;
using BenchShot::runProcess;

namespace {

void report(const char* what, const ProcessRun& r) {
    std::printf("  %-38s wall %6.2f s  cpu %6.2f s  cores %.2f\n", what, r.wall, r.cpu,
                r.cpu / r.wall);
}

void measure(const std::string& kestrel, const std::string& oiiotool, const std::string& label,
             int width, int height, int frames, bool keep) {
    const fs::path dir = BenchShot::scratchFolder("bench_job", label);
    std::printf("%s: making a %d x %d plate of %d frames and aligning it...\n", label.c_str(),
                width, height, frames);
    std::fflush(stdout);
    BenchShot::makeAlignedShot(kestrel, dir, width, height, frames, "Lanczos6");
    fs::create_directories(dir / "io");
    fs::create_directories(dir / "oiio");
    std::ofstream(dir / "io.kscript")
        << "kestrel_script 1\nviews left right\nframes 1 " << frames << "\n"
        << "node Read Plate\n knob file " << (dir / "plate_%V.####.png").string() << "\nend\n"
        << "node Write Write1\n input 0 Plate\n knob file "
        << (dir / "io/shot_%V.####.exr").string() << "\n knob channels rgba\nend\n";

    const std::string range = "1-" + std::to_string(frames);
    const ProcessRun io =
        runProcess({kestrel, "render", (dir / "io.kscript").string()}, dir / "io.log");
    const ProcessRun aligned =
        runProcess({kestrel, "render", (dir / "out/aligned.kscript").string(), "--frames", range},
                   dir / "aligned.log");
    ProcessRun oiio;
    for (const std::string view : {"left", "right"}) {
        const ProcessRun r =
            runProcess({oiiotool, "--frames", range, (dir / ("plate_" + view + ".#.png")).string(),
                        "-d", "half", "--compression", "zip", "-o",
                        (dir / ("oiio/shot_" + view + ".#.exr")).string()},
                       dir / "oiio.log");
        oiio.wall += r.wall;
        oiio.cpu += r.cpu;
    }
    std::printf("%s %d x %d, %d frames of two views, PNG in, half ZIP OpenEXR out:\n",
                label.c_str(), width, height, frames);
    report("(a) kestrel Read -> Write", io);
    report("(b) kestrel through the aligner", aligned);
    report("(c) oiiotool", oiio);
    std::printf("  wall: (b)/(a) %.3f (target at most 1.3), (a)/(c) %.3f (target at most 1)\n",
                aligned.wall / io.wall, io.wall / oiio.wall);
    std::printf("  cpu:  (b)/(a) %.3f, (a)/(c) %.3f; load average at the end %s\n",
                aligned.cpu / io.cpu, io.cpu / oiio.cpu, BenchShot::loadAverage().c_str());
    std::fflush(stdout);
    if (!keep) fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv) {
    return BenchShot::main(argc, argv, "bench_job", {{"--oiiotool", "oiiotool"}},
                           [](const BenchShot::Options& o) {
                               const std::string& oiiotool = o.extra.at("--oiiotool");
                               if (o.runs("2k"))
                                   measure(o.kestrel, oiiotool, "2k", 2048, 1080, 20, o.keep);
                               if (o.runs("4k"))
                                   measure(o.kestrel, oiiotool, "4k", 4096, 2160, 5, o.keep);
                           });
}
