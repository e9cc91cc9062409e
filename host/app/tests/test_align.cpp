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

TEST_F(Align, BadInputsSayWhatToDoAndWriteNothing) {
    const std::string out = path("out/a.exr");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"align", path("missing.png"), "-o", out}, "no such file: " + path("missing.png")},
        {{"align", path("plate_left.png"), "-o", out},
         "holds one view: give the right view as a second file"},
        {{"align", "--demo", "--preset", "Wobbly", "-o", out},
         "unknown preset \"Wobbly\": use one of \"Custom\""},
        {{"align", path("plate_left.png"), path("plate_right.png"), "--frames", "5-9", "-o", out},
         "none of the frames 5-9 is in the plate"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome r = run(args);
        EXPECT_NE(r.code, 0) << message;
        EXPECT_THAT(r.err, HasSubstr(message));
    }
    EXPECT_FALSE(fs::exists(path("out")));
}
