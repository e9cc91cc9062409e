// kestrel farm on a one-node Slurm cluster that the suite starts with scripts/local-slurm.sh
// and stops again, also when a test fails (and ctest's FarmClusterStop stops it should the suite
// crash): a twelve-frame shot submitted in chunks of four
// gives the very pixels of one kestrel align process, a chunk killed midway leaves no partial
// file and renders again alone, and bad input is refused before anything is submitted.
#include "KestrelRun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

using ::testing::HasSubstr;
using ::testing::Not;
using namespace KestrelTest;

namespace {

// Runs a shell command line, returning its exit code and standard output.
std::pair<int, std::string> shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return {-1, out};
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    const int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string frameFile(const std::string& folder, const char* view, int frame) {
    char name[64];
    std::snprintf(name, sizeof name, "/shot_%s.%04d.exr", view, frame);
    return folder + name;
}

// The cluster, the plate and one kestrel align process over it, made once for the suite.
class Farm : public Folder {
protected:
    static fs::path& suiteDir() {
        static fs::path p;
        return p;
    }
    static std::string suite(const std::string& name) { return (suiteDir() / name).string(); }
    static std::string& skipReason() {
        static std::string reason;
        return reason;
    }
    static std::string& setUpError() {
        static std::string error;
        return error;
    }
    static std::string clusterScript() {
        return std::string(KESTREL_SOURCE_DIR) + "/scripts/local-slurm.sh";
    }

    static void SetUpTestSuite() {
        suiteDir() = fs::temp_directory_path() / ("kestrel_farm_" + std::to_string(::getpid()));
        fs::remove_all(suiteDir());
        fs::create_directories(suiteDir());
        if (shell("command -v slurmctld slurmd munged sbatch >/dev/null").first != 0) {
            skipReason() = "Slurm or munge is not installed: run scripts/setup.sh";
            return;
        }
        const auto started =
            shell("bash '" + clusterScript() + "' start '" + KESTREL_FARM_CLUSTER + "' 2>&1");
        if (started.first != 0) {
            setUpError() = "the local cluster did not start: " + started.second;
            return;
        }
        ::setenv("SLURM_CONF", KESTREL_FARM_CLUSTER "/slurm.conf", 1);
        // Twelve frames whose right camera drifts, so that every chunk has its own correction.
        std::ofstream(suite("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 12\n"
            << "node SyntheticStereo Plate\n knob width 480\n knob height 270\n"
            << " knob lastFrame 12\n knob verticalShift {curve linear 1 2 linear 12 7}\n"
            << " knob roll {curve linear 1 0.1 linear 12 0.5}\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << suite("plate_%V.####.png")
            << "\n knob channels rgba\nend\n";
        Outcome r = runIn(suiteDir(), {"render", suite("plate.kscript")});
        // One kestrel align process over the plate with a thread per CPU: the frames every
        // farm run must give, and a saved analysis for the cases that submit a script.
        if (r.code == 0)
            r = runIn(suiteDir(),
                      {"align", suite("plate_left.####.png"), suite("plate_right.####.png"), "-o",
                       suite("one/shot_%V.####.exr")});
        if (r.code != 0) setUpError() = "making the plate or aligning it failed: " + r.err;
    }
    static void TearDownTestSuite() {
        shell("bash '" + clusterScript() + "' stop '" + KESTREL_FARM_CLUSTER + "' 2>&1");
        fs::remove_all(suiteDir());
    }

    void SetUp() override {
        if (!skipReason().empty()) GTEST_SKIP() << skipReason();
        ASSERT_EQ(setUpError(), "");
        makeFolder("farm");
    }

    // The ids of the jobs that `farm submit` printed ("analysis job 12, ...").
    static std::vector<std::string> jobIds(const std::string& out) {
        std::vector<std::string> ids;
        const std::regex job(" job (\\d+)");
        for (std::sregex_iterator i(out.begin(), out.end(), job), end; i != end; ++i)
            ids.push_back((*i)[1]);
        return ids;
    }

    // Waits until the jobs have left the queue; fails after five minutes.
    static void waitFor(const std::vector<std::string>& ids) {
        std::string list;
        for (const auto& id : ids) list += (list.empty() ? "" : ",") + id;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (shell("squeue --noheader --format=%i --jobs=" + list + " 2>/dev/null")
                    .second.empty())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ADD_FAILURE() << "jobs " << list << " still queued after five minutes";
    }

    static std::string queue() { return shell("squeue --noheader --format=%i").second; }
};

// Submitted in chunks of four with one thread per task, the shot is the very pixels of one
// kestrel align process with a thread per CPU: analysis and render alike are deterministic. A chunk
// killed while it writes leaves whole frames or none; the check names the chunk, which then renders
// again alone.
TEST_F(Farm, ChunksMatchOneProcessAndAKilledChunkRendersAgainAlone) {
    const std::string out = path("shot");
    Outcome r = run({"farm", "submit", suite("plate_left.####.png"), suite("plate_right.####.png"),
                     "-o", out + "/shot_%V.####.exr", "--chunk", "4", "--threads", "1", "--script",
                     "shot.kscript"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> ids = jobIds(r.out);
    ASSERT_EQ(ids.size(), 3u) << r.out;
    waitFor(ids);

    const std::string jobs = out + "/shot.farm";
    const auto report = nlohmann::json::parse(slurp(jobs + "/report.json"));
    EXPECT_TRUE(report["complete"].get<bool>()) << report.dump(2);
    EXPECT_EQ(report["chunks"], 3);
    EXPECT_EQ(report["files"], 24);
    EXPECT_THAT(slurp(jobs + "/check_" + ids[2] + ".log"), HasSubstr("all 12 frames"));
    for (int chunk = 1; chunk <= 3; ++chunk)
        EXPECT_THAT(slurp(jobs + "/render_" + ids[1] + "_" + std::to_string(chunk) + ".log"),
                    HasSubstr("chunk " + std::to_string(chunk) + " of 3"));
    // The very frames of one kestrel align process with a thread per CPU, analysis and all.
    for (int f = 1; f <= 12; ++f)
        for (const char* view : {"left", "right"})
            expectSamePixels(frameFile(out, view, f), frameFile(suite("one"), view, f));

    // Chunk 2 again, its kestrel killed outright as soon as its first frame is on disk.
    for (int f = 5; f <= 8; ++f)
        for (const char* view : {"left", "right"}) fs::remove(frameFile(out, view, f));
    const auto rerun = [&] {
        const auto s = shell("sbatch --parsable --array=2 '" + jobs + "/render.sbatch'");
        EXPECT_EQ(s.first, 0);
        return s.second.substr(0, s.second.find_first_not_of("0123456789"));
    };
    const std::string killed = rerun();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!fs::exists(frameFile(out, "left", 5)) && !fs::exists(frameFile(out, "right", 5)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The batch step's process is kestrel itself (the job script ends in exec).
    const std::string pids =
        shell("scontrol listpids " + killed + " | awk '$3 == \"batch\" { print $1 }'").second;
    ASSERT_FALSE(pids.empty()) << "the chunk finished before it could be killed";
    shell("kill -KILL " + pids);
    waitFor({killed});
    int written = 0;
    for (int f = 5; f <= 8; ++f)
        for (const char* view : {"left", "right"})
            if (fs::exists(frameFile(out, view, f))) {
                ++written;
                expectSamePixels(frameFile(out, view, f), frameFile(suite("one"), view, f));
            }
    ASSERT_GT(written, 0) << "the killed chunk wrote nothing";
    ASSERT_LT(written, 8) << "the chunk finished before it was killed";
    std::vector<std::string> partial;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().filename().string().find(".tmp") != std::string::npos)
            partial.push_back(e.path().string());

    const std::vector<std::string> check = {"farm",
                                            "check",
                                            out + "/shot.kscript",
                                            "--frames",
                                            "1-12",
                                            "--chunk",
                                            "4",
                                            "--render-job",
                                            jobs + "/render.sbatch",
                                            "--report",
                                            path("check.json")};
    r = run(check);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("in chunk 2\n"));
    EXPECT_THAT(r.out, HasSubstr("sbatch --array=2 " + jobs + "/render.sbatch"));
    // An image being written when the task died stays under its temporary name, and the
    // check lists it.
    std::sort(partial.begin(), partial.end());
    EXPECT_EQ(nlohmann::json::parse(slurp(path("check.json")))["partialFiles"],
              nlohmann::json(partial));

    waitFor({rerun()});
    r = run(check);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (int f = 5; f <= 8; ++f)
        for (const char* view : {"left", "right"})
            expectSamePixels(frameFile(out, view, f), frameFile(suite("one"), view, f));
}

struct BadInput {
    const char* what;
    std::vector<std::string> args; // after "farm submit"
    std::string message;
    std::string environment = {}; // set for kestrel's run, such as PATH=...
};

// Each bad input stops the submission with its message before any job is queued or any
// file written.
TEST_F(Farm, BadInputIsRefusedBeforeAnythingIsSubmitted) {
    const std::string left = suite("plate_left.####.png"), right = suite("plate_right.####.png");
    std::ofstream(path("afile")) << "not a folder\n";
    const std::string out = path("out/shot_%V.####.exr");
    const BadInput cases[] = {
        {"no Slurm",
         {left, right, "-o", out, "--chunk", "4"},
         "Slurm is not on this machine",
         "PATH=/nonexistent"},
        {"unknown partition",
         {left, right, "-o", out, "--chunk", "4", "--partition", "nowhere"},
         "the partition \"nowhere\" does not exist on this cluster: its partitions are main"},
        {"output folder under a file",
         {left, right, "-o", path("afile/shot_%V.####.exr"), "--chunk", "4"},
         "the jobs cannot write the output folder " + path("afile") + ": " + path("afile") +
             " is a file, not a folder"},
        {"chunk of 0", {left, right, "-o", out, "--chunk", "0"}, "--chunk must be 1 or more"},
        {"frames outside the plate",
         {left, right, "-o", out, "--chunk", "4", "--frames", "10-14"},
         "frames 13-14 of --frames 10-14 are outside the plate (frames 1-12)"},
        {"a job Slurm refuses",
         {left, right, "-o", out, "--chunk", "4", "--slurm-opt=--mem=999999999"},
         "Slurm would refuse the analysis job"},
        {"sbatch option without =",
         {left, right, "-o", out, "--chunk", "4", "--slurm-opt", "time"},
         "--slurm-opt \"time\" is not an sbatch option"},
        {"plate options with a script",
         {suite("one/aligned.kscript"), "--chunk", "4", "--preset", "Full"},
         "--preset is for plates"},
        {"missing script", {path("none.kscript"), "--chunk", "4"}, "does not exist"},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"farm", "submit"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string command = c.environment + " " + KESTREL_EXECUTABLE;
        for (const auto& a : args) command += " '" + a + "'";
        const auto r = shell(command + " 2>&1");
        EXPECT_NE(r.first, 0);
        EXPECT_THAT(r.second, HasSubstr(c.message));
        EXPECT_EQ(queue(), "");
    }
    EXPECT_FALSE(fs::exists(path("out")));
    EXPECT_FALSE(fs::exists(suite("one/aligned.farm")));
}

struct DryRun {
    const char* what;
    std::vector<std::string> args; // after "farm submit ... --dry-run"
    std::vector<std::string> printed, notPrinted;
};

// A dry run prints the job scripts as they would be submitted: the chunk table of the array,
// align's options passed through, the user's sbatch options, and the dependencies.
TEST_F(Farm, DryRunPrintsTheJobsAndSubmitsNothing) {
    const std::string left = suite("plate_left.####.png"), right = suite("plate_right.####.png");
    const std::string out = path("out/shot_%V.####.exr");
    const DryRun cases[] = {
        {"plates, a frame list and options",
         {left, right, "-o", out, "--chunk", "5", "--frames", "1-3,5,7-12", "--preset",
          "Keystone Only", "--zoom", "--partition", "main", "--slurm-opt=--time=10",
          "--missing-frames", "hold"},
         {"'align' '" + left + "' '" + right + "' '-o' '" + out + "'",
          "'--preset' 'Keystone Only' '--zoom' '--frames' '1-3,5,7-12' '--analyse-only' "
          "'--script' '" +
              path("out/aligned.kscript") + "'",
          "'--missing-frames' 'hold' ${SLURM_CPUS_PER_TASK:+--threads", "#SBATCH --array=1-2\n",
          "  1) frames=1-3,5,7 ;;\n", "  2) frames=8-12 ;;\n", "#SBATCH --partition=main\n",
          "#SBATCH --time=10\n",
          "#SBATCH --output=" + path("out/aligned.farm") + "/render_%A_%a.log\n",
          "--dependency=afterok:$ANALYSIS --kill-on-invalid-dep=yes",
          "--dependency=afterany:$RENDER",
          "'farm' 'check' '" + path("out/aligned.kscript") +
              "' '--frames' '1-3,5,7-12' "
              "'--chunk' '5'"},
         {}},
        {"a chunk longer than the shot, threads set",
         {left, right, "-o", out, "--chunk", "50", "--threads", "2"},
         {"#SBATCH --array=1-1\n", "  1) frames=1-12 ;;\n", "'--threads' '2'"},
         {"  2) frames", "SLURM_CPUS_PER_TASK", "--partition"}},
        {"a saved script renders again without analysis",
         {suite("one/aligned.kscript"), "--chunk", "4", "--frames", "5-12"},
         {"  1) frames=5-8 ;;\n", "  2) frames=9-12 ;;\n",
          "'render' '" + suite("one/aligned.kscript"),
          "#SBATCH --output=" + suite("one/aligned.farm") + "/check_%j.log\n",
          "RENDER=$(sbatch --parsable " + suite("one/aligned.farm") + "/render.sbatch)"},
         {"'align'", "afterok"}},
    };
    for (const DryRun& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"farm", "submit", "--dry-run"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        for (const std::string& p : c.printed) EXPECT_THAT(r.out, HasSubstr(p));
        for (const std::string& p : c.notPrinted) EXPECT_THAT(r.out, Not(HasSubstr(p)));
        EXPECT_EQ(queue(), "");
    }
    EXPECT_FALSE(fs::exists(path("out")));
    EXPECT_FALSE(fs::exists(suite("one/aligned.farm")));
}

} // namespace
