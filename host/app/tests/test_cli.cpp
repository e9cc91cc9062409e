// The kestrel program as a user runs it: exit codes, messages, JSON, frame lists, and Ctrl-C
// during a render.
#include "KestrelRun.h"

#include <Kestrel/IO/ImageReader.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
using namespace KestrelTest;

namespace {

class Cli : public Folder {
protected:
    void SetUp() override {
        makeFolder("cli");
        fs::create_directories(dir / "out");
    }

    // A stereo source and a Write of every frame into out/, as a script file.
    std::string script(int width, int height, int samples) {
        std::ofstream s(path("render.kscript"));
        s << "kestrel_script 1\nviews left right\nframes 1 10\n"
          << "node SyntheticStereo Source\n knob width " << width << "\n knob height " << height
          << "\n knob samples " << samples << "\nend\n"
          << "node Write Out\n input 0 Source\n knob file \"" << path("out/frame.####.exr")
          << "\"\n knob channels rgba\nend\n";
        return path("render.kscript");
    }
};

TEST_F(Cli, RenderAndExecuteWriteTheFramesOfAFarmList) {
    Outcome r = run({"render", script(32, 24, 1), "--frames", "1-3,6-10x2", "--views", "left"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("wrote " + path("out/frame.0010.exr") + "\n"));
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir / "out")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"frame.0001.exr", "frame.0002.exr", "frame.0003.exr",
                                        "frame.0006.exr", "frame.0008.exr", "frame.0010.exr"}));
    // Off a terminal, progress comes as plain lines.
    EXPECT_THAT(r.err, HasSubstr("6/6 (100%)"));
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    // execute runs one Write over the frames asked.
    r = run({"execute", script(32, 24, 1), "Out", "--frames", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "out/frame.0004.exr"));
}

// A malformed or unknown value is a usage error (status 2); a job that fails on what the
// script holds is a failure (status 1). Either way: one line saying what is wrong.
TEST_F(Cli, BadInputsAreOneMessageAndTheirExitStatus) {
    const std::string s = script(32, 24, 1);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{"render", s, "--frames", "9-2"}, 2, "9-2"},
        {{"execute", s, "Missing"}, 1, "has no node named Missing; its nodes are: Source, Out"},
        {{"press", s, "Out.file"}, 1, "Out.file is not a button"},
        {{"press", s, "Out"}, 2, "\"Out\" is not NODE.KNOB"},
        {{"render", s, "--cache-memory", "4X"}, 2, "--cache-memory \"4X\" has an unknown unit"},
        {{"--cache-memory", "0", "render", s}, 2, "--cache-memory \"0\" is not a positive size"},
        {{"render", s, "--missing-frames", "skip"}, 2, "--missing-frames \"skip\" is not a choice"},
        {{"render", s, "--set", "Out.file"}, 2, "--set \"Out.file\" is not NODE.KNOB=VALUE"},
        {{"render", s, "--set", "Nobody.file=x"}, 2, "no node Nobody; the nodes are Source, Out"},
        {{"render", s, "--set", "Out.nothing=1"}, 2, "Out has no knob nothing"},
        {{"render", s, "--set", "Out.exr_layout=sideways"},
         2,
         "Out.exr_layout has no item \"sideways\"; use one of single part, multi-part"},
        {{"render", s, "--set", "Source.width=wide"}, 2, "Source.width does not take \"wide\""},
        {{"info"}, 2, "info needs SCRIPT"},
        {{"render", s, "--no-such-option"}, 2, "--no-such-option"},
        {{"render"}, 2, "SCRIPT is required"},
        {{"python", "-c", "kestrel.ask(\"Overwrite the matches?\")"},
         1,
         "a node asked \"Overwrite the matches?\" and there is no terminal to answer on: pass "
         "--yes to answer yes or --no to answer no"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// The conventions of command-line tools: --version, -q, global options after the
// subcommand, and help that lists the accepted names and the exit statuses.
TEST_F(Cli, ConventionsOfCommandLineTools) {
    Outcome r = run({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_THAT(r.out, ::testing::MatchesRegex("kestrel [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    // Quiet: nothing but the files; options of kestrel after the subcommand.
    r = run({"render", script(32, 24, 1), "--frames", "1", "-q", "--threads", "1"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(dir / "out/frame.0001.exr"));
    r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_THAT(r.out, HasSubstr("Exit status: 0 success, 1 the job failed, 2 usage error"));
    r = run({"align", "--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* name : {"Keystone Only", "Match Camera", "Spherical", "Lanczos6", "--set"})
        EXPECT_THAT(r.out, HasSubstr(name)) << name;
    EXPECT_THAT(r.out, ::testing::Not(::testing::ContainsRegex("\\(0x\\)|TEXT|:INT")));
}

// --set changes knobs for one run; the script on disk stays as it was.
TEST_F(Cli, SetChangesKnobsForOneRunOnly) {
    const std::string s = script(32, 24, 1);
    const std::string before = slurp(s);
    const Outcome r =
        run({"render", s, "--frames", "2", "--set", "Out.file=" + path("out/other.####.exr"),
             "--set", "Out.exr_layout=Multi-Part", "--set", "Source.width=48"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto image = Kestrel::IO::readImage(path("out/other.0002.exr"));
    EXPECT_EQ(image.view(0).format().width(), 48);
    EXPECT_FALSE(fs::exists(dir / "out/frame.0002.exr"));
    EXPECT_EQ(slurp(s), before);
}

// A number outside the range of a knob that clamps is taken as the nearest end of the range,
// and said; -q keeps it quiet. The aligner's Step clamps to 1 and up.
TEST_F(Cli, SetWarnsWhenAKnobClampsItsNumber) {
    const std::string s = script(32, 24, 1);
    {
        std::ofstream more(s, std::ios::app);
        more << "node Q_VerticalAligner2_1 Aligner\n input 0 Source\nend\n";
    }
    Outcome r = run({"execute", s, "Out", "--frames", "1", "--set", "Aligner.keyStep=0", "--save",
                     path("saved.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("kestrel: warning: --set Aligner.keyStep=0: 0 is outside its "
                                 "range 1 to 100000; it is set to 1\n"));
    EXPECT_THAT(slurp(dir / "saved.kscript"), HasSubstr("knob keyStep 1\n"));
    r = run({"execute", s, "Out", "--frames", "1", "--set", "Aligner.keyStep=7", "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = run({"execute", s, "Out", "--frames", "1", "--set", "Aligner.keyStep=0", "-q"});
    EXPECT_EQ(r.err, "");
}

// info of a script alone lists its nodes; press and execute say what they did and save with
// --save.
TEST_F(Cli, InfoListsNodesAndExecuteSaves) {
    const std::string s = script(32, 24, 1);
    Outcome r = run({"info", s});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  Source (SyntheticStereo)\n  Out (Write) <- Source\n"));
    r = run({"info", s, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["nodes"][1]["inputs"][0], "Source");
    r = run({"execute", s, "Out", "--frames", "3", "--set", "Source.samples=3", "--save",
             path("saved.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("executed Out over 1 frame(s)\nsaved " + path("saved.kscript")));
    EXPECT_THAT(slurp(dir / "saved.kscript"), HasSubstr("knob samples 3"));
}

// Python from -c and from standard input, with the kestrel module.
TEST_F(Cli, PythonRunsCodeFromTheCommandLineAndStandardInput) {
    Outcome r = run({"python", "-c", "print(kestrel.__name__)"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "kestrel\n");
    std::ofstream(path("in.py")) << "print(6 * 7)\n";
    const std::string command = std::string(KESTREL_EXECUTABLE) + " python - <" + path("in.py") +
                                " >" + path("stdout") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir / "stdout");
    EXPECT_EQ(slurp(dir / "stdout"), "42\n");
}

TEST_F(Cli, PythonErrorShowsTheTraceback) {
    std::ofstream(path("broken.py")) << "import sys\nassert sys.argv[1:] == ['a', '-x'], sys.argv\n"
                                        "kestrel.toNode('nothing').name()\n";
    Outcome r = run({"python", path("broken.py"), "a", "-x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("Traceback"));
    EXPECT_THAT(r.err, HasSubstr("broken.py\", line 3"));
    EXPECT_THAT(r.err, HasSubstr("AttributeError"));
}

TEST_F(Cli, InfoListsAClassesKnobsInDeclarationOrderAsJsonAndANodesValues) {
    Outcome r = run({"info", "--class", "Camera", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    std::vector<std::string> names;
    for (auto& k : j["knobs"]) names.push_back(k["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"focal", "haperture", "vaperture", "translate",
                                               "rotate", "win_translate", "win_scale", "skew",
                                               "gl_color", "tile_color"}));
    EXPECT_EQ(j["knobs"][0]["value"], "50");
    EXPECT_EQ(j["knobs"][0]["range"], nlohmann::json::array({5.0, 200.0}));
    // Of a node, info shows its values.
    r = run({"info", script(32, 24, 1), "Out"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Out (Write)"));
    EXPECT_THAT(r.out, HasSubstr("exr_layout  \"OpenEXR layout\"  enumeration  = 0 (single part) "
                                 "(default)"));
}

TEST_F(Cli, PluginsListsFailuresWithTheirReasonAndSkipsCompanionLibraries) {
    fs::create_directories(dir / "plugins");
    std::ofstream(path("plugins/Broken.so")) << "not a shared library";
    std::ofstream(path("plugins/libCompanion.so")) << "linked by plug-ins, not loaded";
    Outcome r = run({"--plugin-path", path("plugins"), "plugins"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(
        r.out,
        HasSubstr("(built in)\n  AddChannels\n  Camera\n  CornerPin2D\n  JoinViews\n  Read\n"));
    EXPECT_THAT(r.out, HasSubstr("failed to load " + path("plugins/Broken.so") + ": "));
    EXPECT_EQ(r.out.find("libCompanion"), std::string::npos) << r.out;
}

// The aligner plug-in's own buttons, pressed from the command line one after another, each
// run saving the script the next one reads.
TEST_F(Cli, PressRunsTheAlignersButtonsAndSavesTheScript) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    std::ofstream(path("make.py")) << R"PY(import sys
kestrel.setViews(['left', 'right'])
source = kestrel.createNode('SyntheticStereo', 'name Source')
source['width'].setValue(320)
source['height'].setValue(240)
source['lastFrame'].setValue(1)
aligner = kestrel.createNode('Q_VerticalAligner2_1', 'name V_VerticalAligner1')
aligner.setInput(0, source)
aligner['layoutType'].setValue(1)
kestrel.save(sys.argv[1])
)PY";
    ASSERT_EQ(run({"python", path("make.py"), path("0.kscript")}).code, 0);
    const char* buttons[] = {"match", "analyse", "createRig"};
    for (int i = 0; i < 3; ++i) {
        Outcome r = run({"--yes", "press", path(std::to_string(i) + ".kscript"),
                         std::string("V_VerticalAligner1.") + buttons[i], "--save",
                         path(std::to_string(i + 1) + ".kscript")});
        ASSERT_EQ(r.code, 0) << buttons[i] << ": " << r.err;
    }
    EXPECT_THAT(slurp(dir / "1.kscript"), HasSubstr("Frame 1 tracks"));
    const std::string rig = slurp(dir / "3.kscript");
    EXPECT_THAT(rig, HasSubstr("node JoinViews JoinViews1\n input 0 left\n input 1 right"));
    EXPECT_THAT(rig, HasSubstr("node Camera left"));
    EXPECT_THAT(rig, HasSubstr("node Camera right"));
}

// Ctrl-C after the third frame: the program stops with a failure code, and every file in the
// output folder is a complete frame.
TEST_F(Cli, InterruptedRenderLeavesNoPartialFile) {
    const std::string s = script(320, 240, 4);
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(errPipe[1], 2);
        close(errPipe[0]);
        execl(KESTREL_EXECUTABLE, KESTREL_EXECUTABLE, "render", s.c_str(), "--frames", "1-10",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(errPipe[1]);
    std::string err;
    char buffer[256];
    bool signalled = false;
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) {
        err.append(buffer, size_t(n));
        if (!signalled && err.find("3/10") != std::string::npos) {
            kill(pid, SIGINT);
            signalled = true;
        }
    }
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(signalled) << err;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    // The progress line says why the render stopped.
    EXPECT_THAT(err, HasSubstr(": interrupted in "));
    EXPECT_THAT(err, Not(HasSubstr("failed")));
    int frames = 0;
    for (auto& e : fs::directory_iterator(dir / "out")) {
        const std::string name = e.path().filename();
        ASSERT_TRUE(std::regex_match(name, std::regex(R"(frame\.00(0[1-9]|10)\.exr)"))) << name;
        EXPECT_NO_THROW(Kestrel::IO::readImage(e.path().string())) << name;
        ++frames;
    }
    EXPECT_GE(frames, 3);
    EXPECT_LT(frames, 10);
}

} // namespace
