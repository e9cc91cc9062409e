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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Run {
    double wall = 0, cpu = 0;
};

// Runs a program with arguments (execvp: a bare name is looked up on the PATH), its output
// going to a log file; fails with the log's tail when it does not exit 0.
Run runTimed(const std::vector<std::string>& args, const fs::path& log) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("cannot fork");
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr))
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) throw std::runtime_error("wait4 failed");
    Run r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        throw std::runtime_error(args[0] + " " + args[1] + " failed:\n" + text);
    }
    return r;
}

std::string frameName(const fs::path& folder, const char* view, int frame) {
    char name[64];
    std::snprintf(name, sizeof name, "plate_%s.%04d.png", view, frame);
    return (folder / name).string();
}

void report(const char* what, const Run& r) {
    std::printf("  %-38s wall %6.2f s  cpu %6.2f s  cores %.2f\n", what, r.wall, r.cpu,
                r.cpu / r.wall);
}

void measure(const std::string& kestrel, const std::string& oiiotool, const std::string& label,
             int width, int height, int frames, bool keep) {
    const fs::path dir =
        fs::temp_directory_path() / ("kestrel_bench_job_" + label + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "io");
    fs::create_directories(dir / "oiio");
    std::ofstream(dir / "plate.kscript")
        << "kestrel_script 1\nviews left right\nframes 1 2\n"
        << "node SyntheticStereo Plate\n knob width " << width << "\n knob height " << height
        << "\n knob lastFrame 2\n knob verticalShift 6\n knob roll 0.5\n knob focalRatio 1.01\n"
        << "end\nnode Write Write1\n input 0 Plate\n knob file "
        << (dir / "plate_%V.####.png").string() << "\n knob channels rgba\nend\n";
    std::ofstream(dir / "io.kscript")
        << "kestrel_script 1\nviews left right\nframes 1 " << frames << "\n"
        << "node Read Plate\n knob file " << (dir / "plate_%V.####.png").string() << "\nend\n"
        << "node Write Write1\n input 0 Plate\n knob file "
        << (dir / "io/shot_%V.####.exr").string() << "\n knob channels rgba\nend\n";
    std::printf("%s: making a %d x %d plate of %d frames and aligning it...\n", label.c_str(),
                width, height, frames);
    std::fflush(stdout);
    runTimed({kestrel, "render", (dir / "plate.kscript").string()}, dir / "plate.log");
    for (int f = 3; f <= frames; ++f)
        for (const char* view : {"left", "right"})
            fs::copy_file(frameName(dir, view, 2 - f % 2), frameName(dir, view, f));
    runTimed({kestrel, "align", (dir / "plate_left.####.png").string(),
              (dir / "plate_right.####.png").string(), "-o",
              (dir / "out/shot_%V.####.exr").string(), "--filter", "Lanczos6", "--analyse-only"},
             dir / "align.log");

    const std::string range = "1-" + std::to_string(frames);
    const Run io = runTimed({kestrel, "render", (dir / "io.kscript").string()}, dir / "io.log");
    const Run aligned =
        runTimed({kestrel, "render", (dir / "out/aligned.kscript").string(), "--frames", range},
                 dir / "aligned.log");
    Run oiio;
    for (const std::string view : {"left", "right"}) {
        const Run r =
            runTimed({oiiotool, "--frames", range, (dir / ("plate_" + view + ".#.png")).string(),
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
    std::printf("  (b)/(a) %.3f (target at most 1.3), (a)/(c) %.3f (target at most 1)\n",
                aligned.wall / io.wall, io.wall / oiio.wall);
    std::fflush(stdout);
    if (!keep) fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv) {
    std::string kestrel = (fs::path(argv[0]).parent_path() / "kestrel").string();
    std::string oiiotool = "oiiotool", only;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--kestrel" && i + 1 < argc)
            kestrel = argv[++i];
        else if (a == "--oiiotool" && i + 1 < argc)
            oiiotool = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr,
                         "bench_job: unknown argument \"%s\"; use --kestrel PATH, --oiiotool "
                         "PATH, --only 2k|4k, --keep\n",
                         a.c_str());
            return 2;
        }
    }
    if (!fs::exists(kestrel)) {
        std::fprintf(stderr, "bench_job: no kestrel at %s: build it or pass --kestrel PATH\n",
                     kestrel.c_str());
        return 2;
    }
    try {
        if (only.empty() || only == "2k") measure(kestrel, oiiotool, "2k", 2048, 1080, 20, keep);
        if (only.empty() || only == "4k") measure(kestrel, oiiotool, "4k", 4096, 2160, 5, keep);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_job: %s\n", e.what());
        return 1;
    }
    return 0;
}
