// kestrel align as users run it: two PNG stills in, two aligned PNGs and a report out; and
// one clear message, with nothing written, for each bad input.
#include "KestrelRun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

class Align : public Folder {
protected:
    // A left and a right still of the synthetic plate, the right one 6 px high and rolled.
    void SetUp() override {
        makeFolder("align");
        std::ofstream(path("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 1\n"
            << "node SyntheticStereo Plate\n knob width 640\n knob height 360\n knob lastFrame 1\n"
            << " knob verticalShift 6\n knob roll 0.4\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << path("plate_%V.png")
            << "\n knob channels rgba\nend\n";
        const Outcome r = run({"render", path("plate.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // kestrel align of the two stills with these further arguments.
    Outcome align(std::vector<std::string> args) {
        args.insert(args.begin(), {"align", path("plate_left.png"), path("plate_right.png")});
        return run(args);
    }
};

} // namespace

TEST_F(Align, TwoPngStillsGiveTwoAlignedStillsAndAReport) {
    const Outcome r =
        align({"-o", path("out/aligned_%V.png"), "--report", path("out/report.json")});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* file : {"aligned_left.png", "aligned_right.png", "aligned.kscript"})
        EXPECT_TRUE(fs::exists(dir / "out" / file)) << file;
    const auto report = nlohmann::json::parse(slurp(dir / "out/report.json"));
    EXPECT_GT(report["before"]["rms"].get<double>(), 4.0);
    EXPECT_LT(report["after"]["rms"].get<double>(), 0.1);
    EXPECT_GT(report["keys"][0]["before"]["matches"].get<int>(), 300);
    EXPECT_THAT(report["layout"].get<std::string>(), HasSubstr("Stereo Layout"));
    // The complete report: version, frames as written, the options, the correction of each
    // view at the key as figures and matrix, the warnings, the sign convention.
    EXPECT_FALSE(report["version"].get<std::string>().empty());
    EXPECT_EQ(report["frames"], "1");
    EXPECT_EQ(report["keyStep"], 10);
    EXPECT_EQ(report["zoom"]["on"], false);
    EXPECT_EQ(report["fixPoint"]["offset"], 0.0);
    EXPECT_TRUE(report["warnings"].is_array());
    EXPECT_THAT(report["conventions"]["verticalDisparity"].get<std::string>(),
                HasSubstr("right view's row minus the left view's"));
    // The plate's right view stands 6 px high and its camera is rolled 0.4 degrees
    // counter-clockwise, which turns its image clockwise; the correction of the two views
    // together takes that out: the right view moves down and turns counter-clockwise
    // against the left.
    const auto& correction = report["keys"][0]["correction"];
    const double down = correction["right"]["shift"]["y"].get<double>() -
                        correction["left"]["shift"]["y"].get<double>();
    EXPECT_NEAR(down, -6.0, 1.0);
    const double roll = correction["right"]["rotationDegrees"].get<double>() -
                        correction["left"]["rotationDegrees"].get<double>();
    EXPECT_NEAR(roll, 0.4, 0.1);
    EXPECT_EQ(correction["left"]["matrix"].size(), 3u);
    EXPECT_THAT(r.out, HasSubstr("correction at 1, right: rotation"));
    EXPECT_THAT(r.out, HasSubstr("a positive figure means the right view's point stands higher"));
    // The saved script opens again.
    EXPECT_EQ(run({"info", path("out/aligned.kscript"), "VerticalAligner1"}).code, 0);
}

// Asked for, the STMap of the correction travels with the colour in each view's EXR.
TEST_F(Align, StMapIsWrittenWhenAskedFor) {
    const Outcome r = align({"-o", path("out/aligned_%V.exr"), "--stmap"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* view : {"left", "right"}) {
        // Channel names stand in the EXR header as plain text.
        const std::string bytes = slurp(dir / ("out/aligned_" + std::string(view) + ".exr"));
        EXPECT_THAT(bytes, HasSubstr("stitch_map.u")) << view;
        EXPECT_THAT(bytes, HasSubstr("stitch_map.v")) << view;
    }
}

// Every input that can be checked without matching the views fails before any work (no
// Match runs), with one message naming the file or option, the status of its kind, and
// nothing left behind.
TEST_F(Align, BadInputsFailBeforeAnyWorkAndLeaveNothingBehind) {
    std::ofstream(path("small.kscript"))
        << "kestrel_script 1\nviews left right\nframes 1 1\n"
        << "node SyntheticStereo Plate\n knob width 320\n knob height 180\n knob lastFrame 1\n"
        << "end\nnode Write Write1\n input 0 Plate\n knob file " << path("small_%V.png")
        << "\n knob channels rgba\nend\n";
    ASSERT_EQ(run({"render", path("small.kscript")}).code, 0);
    std::ofstream(path("notes.txt")) << "a file, not a folder";
    const std::string left = path("plate_left.png"), right = path("plate_right.png");
    const std::string out = path("out/a_%V.png");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{"align", path("missing.png"), "-o", out}, 1, "no such file: " + path("missing.png")},
        {{"align", left, "-o", out}, 1, "holds one view: give the right view as a second file"},
        {{"align", "--demo", "--preset", "Wobbly", "-o", out},
         2,
         "unknown --preset \"Wobbly\": use one of \"Custom\", \"Transform\""},
        {{"align", "--demo", "--filter", "sharp", "-o", out},
         2,
         "unknown --filter \"sharp\": use one of"},
        {{"align", left, right, "--frames", "5-9", "-o", out},
         1,
         "none of the frames 5-9 is in the plate"},
        {{"align", left, path("small_right.png"), "-o", out},
         1,
         "the views differ in size: left is 640 x 360 and right is 320 x 180"},
        {{"align", left, right, "-o", path("out/a.png")},
         2,
         "-o " + path("out/a.png") +
             ": a .png file holds one view and the job writes two; put "
             "%V in the name"},
        {{"align", left, right, "-o", path("out/a_%V.mov")},
         2,
         "unknown file type \".mov\"; end the name in .exr, .png"},
        {{"align", left, right, "-o", path("out/a_%Q.exr")}, 1, "\"%Q\" is not a known token"},
        {{"align", left, right, "-o", path("notes.txt/a_%V.png")},
         1,
         path("notes.txt") + " is a file, not a folder"},
        {{"align", left, right, "-o", out, "--report", path("notes.txt/r.json")},
         1,
         "--report " + path("notes.txt/r.json")},
        {{"align", left, right, "-o", out, "--contact-sheet", path("notes.txt/c.png")},
         1,
         "--contact-sheet " + path("notes.txt/c.png")},
        {{"align", left, right, "-o", out, "--contact-sheet", path("out/c.exr")},
         2,
         "the contact sheet is an image of one view"},
        {{"align", left, right, "-o", out, "--export-correction", path("notes.txt/c.json")},
         1,
         "--export-correction " + path("notes.txt/c.json")},
        {{"align", left, right, "-o", out, "--space", "spherical"},
         1,
         "--space Spherical needs a plate with camera-rig metadata"},
        {{"align", left, right, "-o", out, "--stmap"},
         2,
         "--stmap needs an OpenEXR output: a .png file holds colour only"},
        {{"align", left, right, "-o", out, "--views", "left,left"}, 2, "names one view twice"},
        {{"align", left, right, "-o", out, "--fix-point", "10;20"},
         2,
         "--fix-point \"10;20\" is not x,y"},
        {{"align", left, right, "-o", out, "--set", "VerticalAligner1.nothing=1"},
         2,
         "VerticalAligner1 has no knob nothing"},
        {{"align", left, right, "-o", out, "--report", out}, 2, "the same name"},
    };
    // What is in the folder, but for the files run() keeps kestrel's output in.
    const auto contents = [&] {
        std::vector<fs::path> files;
        for (auto& e : fs::recursive_directory_iterator(dir))
            if (e.path().filename() != "stdout" && e.path().filename() != "stderr")
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    };
    const std::vector<fs::path> before = contents();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message));
        EXPECT_EQ(r.err.find("Match:"), std::string::npos) << "work started: " << r.err;
        EXPECT_EQ(contents(), before);
    }
}

// Names of presets, spaces and filters in any case; one pattern with %V for both views; the
// report and the contact sheet go into folders made for them.
TEST_F(Align, NamesInAnyCaseAPatternWithTheViewAndNewFolders) {
    const Outcome r =
        run({"align", path("plate_%V.png"), "--views", "left,right", "--preset", "keystone only",
             "--filter", "LANCZOS6", "-o", path("out/a_%V.png"), "--report",
             path("reports/deep/r.json"), "--contact-sheet", path("sheets/c.png")});
    ASSERT_EQ(r.code, 0) << r.err;
    // The band above the first row of panels holds its captions: white text on the grey.
    const Kestrel::IO::ImageData sheet = Kestrel::IO::readImage(path("sheets/c.png"));
    const Kestrel::IO::ViewPixels& px = sheet.view(0);
    int lit = 0;
    for (int y = px.box().t() - 26; y < px.box().t(); ++y)
        for (int x = 0; x < px.box().w(); ++x)
            lit += px.row(Kx::Image::Chan_Red, y)[x] > 0.9f &&
                   px.row(Kx::Image::Chan_Blue, y)[x] > 0.9f;
    EXPECT_GT(lit, 100) << "the contact sheet has no captions";
    const auto report = nlohmann::json::parse(slurp(dir / "reports/deep/r.json"));
    EXPECT_EQ(report["preset"], "Keystone Only");
    EXPECT_EQ(report["filter"], "Lanczos6");
    EXPECT_EQ(report["inputs"]["left"], path("plate_left.png"));
    EXPECT_EQ(report["inputs"]["right"], path("plate_right.png"));
}
