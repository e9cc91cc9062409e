// kestrel align on stills that carry no disparity: --local, --disparity and --fix-point put a
// Q_DisparityGenerator between the plate and the aligner; a fix point outside the frame is
// refused before anything is written.
#include "KestrelRun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

class AlignDisparity : public Folder {
protected:
    // A left and a right still of the synthetic plate whose right camera is mounted higher:
    // a vertical disparity that changes with depth.
    void SetUp() override {
        makeFolder("align_disparity");
        std::ofstream(path("stills.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 1\n"
            << "node SyntheticStereo Plate\n knob width 480\n knob height 270\n knob lastFrame 1\n"
            << " knob cameraOffsetY 0.03\n knob verticalShift 3\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << path("still_%V.png")
            << "\n knob channels rgba\nend\n";
        const Outcome r = run({"render", path("stills.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    Outcome align(std::vector<std::string> args) {
        args.insert(args.begin(), {"align", path("still_left.png"), path("still_right.png")});
        return run(args);
    }
};

} // namespace

// Each option brings the generator into the saved script; --local also turns the local
// correction on, and --disparity writes both views' disparity pairs.
TEST_F(AlignDisparity, OptionsThatReadDisparityMeasureIt) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"--local"}, true},
        {{"--disparity", "--fix-point", "240,135"}, false},
    };
    for (const auto& [options, local] : cases) {
        SCOPED_TRACE(options.front());
        fs::remove_all(path("out"));
        std::vector<std::string> args = {"-o", path("out/aligned_%V.exr")};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome r = align(args);
        ASSERT_EQ(r.code, 0) << r.err;
        const std::string script = slurp(dir / "out/aligned.kscript");
        EXPECT_THAT(script, HasSubstr("node Q_DisparityGenerator DisparityGenerator1"));
        EXPECT_EQ(script.find("knob localAlignment 1") != std::string::npos, local);
        if (!local) {
            EXPECT_THAT(slurp(dir / "out/aligned_left.exr"), HasSubstr("disparityR.x"));
        }
    }
}

TEST_F(AlignDisparity, FixPointOutsideTheFrameIsRefused) {
    for (const char* point : {"500,100", "-1,100", "100,271"}) {
        SCOPED_TRACE(point);
        const Outcome r = align({"-o", path("out/aligned_%V.png"), "--fix-point", point});
        EXPECT_NE(r.code, 0);
        EXPECT_THAT(r.err, HasSubstr("lies outside the 480 x 270 frame"));
    }
    EXPECT_FALSE(fs::exists(path("out")));
}
