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

TEST_F(Cli, BadInputsAreOneMessageAndAFailure) {
    const std::string s = script(32, 24, 1);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"render", s, "--frames", "9-2"}, "9-2"},
        {{"execute", s, "Missing"}, "has no node named Missing; its nodes are: Source, Out"},
        {{"press", s, "Out.file"}, "Out.file is not a button"},
        {{"render", s, "--cache-memory", "4X"}, "--cache-memory \"4X\" has an unknown unit"},
        {{"--cache-memory", "0", "render", s}, "--cache-memory \"0\" is not a positive size"},
        {{"render", s, "--missing-frames", "skip"}, "--missing-frames \"skip\" is not a choice"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 1) << message;
        EXPECT_THAT(r.err, HasSubstr(message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
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
