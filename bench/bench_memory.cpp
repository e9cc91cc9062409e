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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Run {
    double peakMB = 0, seconds = 0;
};

// Runs a program with arguments, its output going to a log file; fails with the log's tail
// when it does not exit 0.
Run runMeasured(const std::vector<std::string>& args, const fs::path& log) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("cannot fork");
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr))
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) throw std::runtime_error("wait4 failed");
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakMB = double(usage.ru_maxrss) * 1024.0 / 1e6; // ru_maxrss is in kilobytes on Linux
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        throw std::runtime_error(args[1] + " failed:\n" + text);
    }
    return r;
}

std::string frameName(const fs::path& folder, const char* view, int frame) {
    char name[64];
    std::snprintf(name, sizeof name, "plate_%s.%04d.png", view, frame);
    return (folder / name).string();
}

void measure(const std::string& kestrel, const std::string& label, int width, int height,
             int frames, bool keep) {
    const fs::path dir = fs::temp_directory_path() /
                         ("kestrel_bench_memory_" + label + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "plate.kscript")
        << "kestrel_script 1\nviews left right\nframes 1 2\n"
        << "node SyntheticStereo Plate\n knob width " << width << "\n knob height " << height
        << "\n knob lastFrame 2\n knob verticalShift 6\n knob roll 0.5\n knob focalRatio 1.01\n"
        << "end\nnode Write Write1\n input 0 Plate\n knob file "
        << (dir / "plate_%V.####.png").string() << "\n knob channels rgba\nend\n";
    std::printf("%s: making a %d x %d plate of %d frames...\n", label.c_str(), width, height,
                frames);
    std::fflush(stdout);
    runMeasured({kestrel, "render", (dir / "plate.kscript").string()}, dir / "plate.log");
    for (int f = 3; f <= frames; ++f)
        for (const char* view : {"left", "right"})
            fs::copy_file(frameName(dir, view, 2 - f % 2), frameName(dir, view, f));
    runMeasured({kestrel, "align", (dir / "plate_left.####.png").string(),
                 (dir / "plate_right.####.png").string(), "-o",
                 (dir / "out/shot_%V.####.exr").string(), "--analyse-only"},
                dir / "align.log");
    const std::string script = (dir / "out/aligned.kscript").string();
    const Run one = runMeasured({kestrel, "render", script, "--frames", "1"}, dir / "one.log");
    const Run all = runMeasured(
        {kestrel, "render", script, "--frames", "1-" + std::to_string(frames)}, dir / "all.log");
    std::printf("%s %d x %d: peak RSS 1 frame %.1f MB (%.1f s), %d frames %.1f MB (%.1f s): "
                "ratio %.3f (target at most 1.15)\n",
                label.c_str(), width, height, one.peakMB, one.seconds, frames, all.peakMB,
                all.seconds, all.peakMB / one.peakMB);
    std::fflush(stdout);
    if (!keep) fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv) {
    std::string kestrel = (fs::path(argv[0]).parent_path() / "kestrel").string();
    std::string only;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--kestrel" && i + 1 < argc)
            kestrel = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr,
                         "bench_memory: unknown argument \"%s\"; use --kestrel PATH, "
                         "--only 2k|4k, --keep\n",
                         a.c_str());
            return 2;
        }
    }
    if (!fs::exists(kestrel)) {
        std::fprintf(stderr, "bench_memory: no kestrel at %s: build it or pass --kestrel PATH\n",
                     kestrel.c_str());
        return 2;
    }
    try {
        if (only.empty() || only == "2k") measure(kestrel, "2k", 2048, 1080, 100, keep);
        if (only.empty() || only == "4k") measure(kestrel, "4k", 4096, 2160, 20, keep);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_memory: %s\n", e.what());
        return 1;
    }
    return 0;
}
