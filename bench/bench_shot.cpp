#include "bench_shot.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace BenchShot {

ProcessRun runProcess(const std::vector<std::string>& args, const fs::path& log) {
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
    ProcessRun r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    r.peakMB = double(usage.ru_maxrss) * 1024.0 / 1e6; // ru_maxrss is in kilobytes on Linux
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        throw std::runtime_error(args[0] + (args.size() > 1 ? " " + args[1] : "") + " failed:\n" +
                                 text);
    }
    return r;
}

std::string plateFile(const fs::path& dir, const char* view, int frame) {
    char name[64];
    std::snprintf(name, sizeof name, "plate_%s.%04d.png", view, frame);
    return (dir / name).string();
}

void makeAlignedShot(const std::string& kestrel, const fs::path& dir, int width, int height,
                     int frames, const std::string& filter) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "plate.kscript")
        << "kestrel_script 1\nviews left right\nframes 1 2\n"
        << "node SyntheticStereo Plate\n knob width " << width << "\n knob height " << height
        << "\n knob lastFrame 2\n knob verticalShift 6\n knob roll 0.5\n knob focalRatio 1.01\n"
        << "end\nnode Write Write1\n input 0 Plate\n knob file "
        << (dir / "plate_%V.####.png").string() << "\n knob channels rgba\nend\n";
    runProcess({kestrel, "render", (dir / "plate.kscript").string()}, dir / "plate.log");
    for (int f = 3; f <= frames; ++f)
        for (const char* view : {"left", "right"})
            fs::copy_file(plateFile(dir, view, 2 - f % 2), plateFile(dir, view, f));
    std::vector<std::string> align = {kestrel,
                                      "align",
                                      (dir / "plate_left.####.png").string(),
                                      (dir / "plate_right.####.png").string(),
                                      "-o",
                                      (dir / "out/shot_%V.####.exr").string(),
                                      "--analyse-only"};
    if (!filter.empty()) align.insert(align.end(), {"--filter", filter});
    runProcess(align, dir / "align.log");
}

fs::path scratchFolder(const std::string& bench, const std::string& label) {
    return fs::temp_directory_path() /
           ("kestrel_" + bench + "_" + label + "_" + std::to_string(getpid()));
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : "unknown";
}

int main(int argc, char** argv, const char* bench, std::map<std::string, std::string> extra,
         const std::function<void(const Options&)>& measure) {
    Options o;
    o.kestrel = (fs::path(argv[0]).parent_path() / "kestrel").string();
    o.extra = std::move(extra);
    std::string usage = "--kestrel PATH, ";
    for (const auto& [name, value] : o.extra) usage += name + " PATH, ";
    usage += "--only 2k|4k, --keep";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = i + 1 < argc;
        if (a == "--kestrel" && valued)
            o.kestrel = argv[++i];
        else if (a == "--only" && valued)
            o.only = argv[++i];
        else if (o.extra.count(a) && valued)
            o.extra[a] = argv[++i];
        else if (a == "--keep")
            o.keep = true;
        else {
            std::fprintf(stderr, "%s: unknown argument \"%s\"; use %s\n", bench, a.c_str(),
                         usage.c_str());
            return 2;
        }
    }
    if (!o.only.empty() && o.only != "2k" && o.only != "4k") {
        std::fprintf(stderr, "%s: --only is 2k or 4k, not \"%s\"\n", bench, o.only.c_str());
        return 2;
    }
    if (!fs::exists(o.kestrel)) {
        std::fprintf(stderr, "%s: no kestrel at %s: build it or pass --kestrel PATH\n", bench,
                     o.kestrel.c_str());
        return 2;
    }
    try {
        measure(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", bench, e.what());
        return 1;
    }
    return 0;
}

} // namespace BenchShot
