// kestrel view as a user runs it: the snapshot with the aligner's matches drawn, at a proxy
// scale and without overlays; viewer events that delete matches or move the fix point,
// saved into the script; and the messages for bad options.
#include "KestrelRun.h"

#include <Kestrel/IO/ImageReader.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::HasSubstr;
namespace fs = std::filesystem;
using namespace KestrelTest;

namespace {

// A track line of the stored matches: the left feature at (x, y), the right one 5 pixels to
// the right, a valid point of the given RMSE.
std::string track(double x, double y, double rmse) {
    std::ostringstream s;
    s << "  2 0 " << x << " " << y << " 1 " << x + 5 << " " << y << " 0 1 1 1 " << rmse
      << " 0 0 -10 \n";
    return s.str();
}

class View : public Folder {
protected:
    void SetUp() override {
        makeFolder("view");
        // Three matches at frame 1 (green, red at the default threshold of 10, green); the
        // analysis key is at frame 2, which has none, so frame 1 is not aligned.
        std::ofstream s(path("view.kscript"));
        s << "kestrel_script 1\nviews left right\nframes 1 3\n"
          << "node SyntheticStereo Plate\n knob width 160\n knob height 90\n knob lastFrame 3\n"
          << "end\n"
          << "node Q_VerticalAligner2_1 VerticalAligner1\n input 0 Plate\n"
          << " knob layoutType 1\n knob alignmentSpace 1\n knob fixParallax 1\n"
          << " knob offset 5\n knob analysisKeyframe {curve smooth 2 2}\n"
          << " knob controlPoints \"\nversion 2\nframes 1\nFrame 1 tracks 3\n"
          << track(20.5, 20.5, 1) << track(60.5, 20.5, 12) << track(100.5, 60.5, 1) << "\"\nend\n";
    }
    // kestrel view of the test's script with the given options.
    Outcome kestrel(std::vector<std::string> args) {
        args.insert(args.begin(), {"view", path("view.kscript"), "VerticalAligner1"});
        return run(args);
    }

    // Pixel (x, y) of a PNG, y up, as 8-bit red, green, blue.
    static std::array<int, 3> rgb(const Kestrel::IO::ImageData& image, int x, int y) {
        const auto& v = image.view(0);
        return {int(std::lround(v.at(Kx::Image::Chan_Red, x, y) * 255)),
                int(std::lround(v.at(Kx::Image::Chan_Green, x, y) * 255)),
                int(std::lround(v.at(Kx::Image::Chan_Blue, x, y) * 255))};
    }
};

using RGB = std::array<int, 3>;
const RGB kGreen{0, 255, 0}, kRed{255, 0, 0};

} // namespace

TEST_F(View, SnapshotShowsTheMatchesOverTheOutputAtAnyProxy) {
    Outcome r = kestrel({"-o", path("view.png"), "--frame", "1", "--view", "left"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("160 x 90"));
    EXPECT_THAT(r.out, HasSubstr("3 points drawn"));
    EXPECT_EQ(r.err, "");
    const auto image = Kestrel::IO::readImage(path("view.png"));
    EXPECT_EQ(rgb(image, 20, 20), kGreen);
    EXPECT_EQ(rgb(image, 60, 20), kRed);
    EXPECT_EQ(rgb(image, 100, 60), kGreen);

    // The right view shows the right camera's features, 5 pixels to the right.
    r = kestrel({"-o", path("right.png"), "--frame", "1", "--view", "right"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(rgb(Kestrel::IO::readImage(path("right.png")), 25, 20), kGreen);

    r = kestrel({"-o", path("plain.png"), "--frame", "1", "--no-overlays"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(rgb(Kestrel::IO::readImage(path("plain.png")), 20, 20), kGreen);

    // A frame without stored matches draws none and says so; a new folder is made for the PNG.
    r = kestrel({"-o", path("new/frame2.png"), "--frame", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("warning: VerticalAligner1 has no stored matches at frame 2"));
    EXPECT_TRUE(fs::exists(dir / "new/frame2.png"));

    // At half proxy the image is halved and the crosses follow.
    r = kestrel({"-o", path("half.png"), "--frame", "1", "--proxy", "0.5"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto half = Kestrel::IO::readImage(path("half.png"));
    EXPECT_EQ(half.view(0).box().w(), 80);
    EXPECT_EQ(half.view(0).box().h(), 45);
    EXPECT_EQ(rgb(half, 10, 10), kGreen); // the match at (20.5, 20.5)
    EXPECT_EQ(rgb(half, 50, 30), kGreen); // the match at (100.5, 60.5)
}

TEST_F(View, BoxSelectAndDeleteAreSavedIntoTheScript) {
    Outcome r = kestrel({"-o", path("deleted.png"), "--frame", "1", "--event", "box 5,5,70,30",
                         "--event", "key Delete", "--save", path("after.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("box 5,5,70,30: 2 selected"));
    EXPECT_THAT(r.out, HasSubstr("key Delete: taken by the node"));
    EXPECT_THAT(r.out, HasSubstr("1 points drawn"));
    const std::string saved = slurp(dir / "after.kscript");
    EXPECT_THAT(saved, HasSubstr("Frame 1 tracks 1\n  2 0 100.5 60.5"));
    EXPECT_FALSE(fs::exists(path("after.kscript.tmp")));
    EXPECT_NE(rgb(Kestrel::IO::readImage(path("deleted.png")), 20, 20), kGreen);

    // Deleting the last match of the frame removes the frame.
    fs::copy_file(path("after.kscript"), path("view.kscript"),
                  fs::copy_options::overwrite_existing);
    r = kestrel({"-o", path("empty.png"), "--frame", "1", "--event", "click 100,60", "--event",
                 "key Backspace", "--save", path("empty.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("click 100,60: 1 selected"));
    EXPECT_THAT(slurp(dir / "empty.kscript"), HasSubstr("version 2\nframes 0\n"));
}

TEST_F(View, DraggingTheFixPointRecomputesTheOffset) {
    // A plate whose right camera is only shifted up: the alignment moves no pixel sideways,
    // so the disparity at the fix point is the input's and the offset that keeps it is 0.
    {
        std::ofstream s(path("shift.kscript"));
        s << "kestrel_script 1\nviews left right\nframes 1 3\n"
          << "node SyntheticStereo Plate\n knob width 320\n knob height 180\n"
          << " knob lastFrame 3\n knob verticalShift 4\nend\n"
          << "node Q_VerticalAligner2_1 VerticalAligner1\n input 0 Plate\n"
          << " knob layoutType 1\n knob alignmentSpace 1\n knob fixParallax 1\n"
          << " knob offset 5\n knob analysisKeyframe {curve smooth 1 1}\nend\n";
    }
    const std::string matched = path("matched.kscript");
    Outcome r = run({"press", path("shift.kscript"), "VerticalAligner1.match", "--save", matched});
    ASSERT_EQ(r.code, 0) << r.err;
    r = run({"view", matched, "VerticalAligner1", "-o", path("fix.png"), "--frame", "1", "--event",
             "drag-fix-point 160,90", "--save", path("fixed.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("fix point (0.00, 0.00) -> (160.00, 90.00), offset 5.00 -> "));
    const std::string saved = slurp(dir / "fixed.kscript");
    EXPECT_THAT(saved, HasSubstr("knob fixPoint {160 90}"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(saved, m, std::regex("knob offset (\\S+)\n")));
    // The solve from matches found in the images leaves a few hundredths of a pixel.
    EXPECT_NEAR(std::stod(m[1]), 0.0, 0.05);
}

TEST_F(View, BadOptionsSayWhatToDo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--event", "wiggle 1,2"}, "\"wiggle 1,2\" is not a viewer event: use \"click X,Y\""},
        {{"--event", "key Enter"}, "the keys are Delete, Backspace and Escape"},
        {{"--proxy", "0"}, "--proxy must be above 0 and at most 1"},
        {{"--view", "centre"}, "has no such view; its views are left, right"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> args{"-o", path("x.png")};
        args.insert(args.end(), options.begin(), options.end());
        const Outcome bad = kestrel(args);
        EXPECT_EQ(bad.code, 1) << message;
        EXPECT_THAT(bad.err, HasSubstr(message));
    }
    const Outcome jpeg = kestrel({"-o", path("x.jpg")});
    EXPECT_EQ(jpeg.code, 2);
    EXPECT_THAT(jpeg.err, HasSubstr("kestrel view writes a PNG; end the name in .png"));
    // The fix point moves only while it is enabled.
    Outcome r = kestrel({"-o", path("x.png"), "--event", "drag-fix-point 1,1"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string script = slurp(dir / "view.kscript");
    script = std::regex_replace(script, std::regex(" knob fixParallax 1\n"), "");
    std::ofstream(path("view.kscript")) << script;
    r = kestrel({"-o", path("x.png"), "--event", "drag-fix-point 1,1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.err, HasSubstr("it moves only with fixParallax on and lockOffset off"));
    EXPECT_FALSE(fs::exists(path("x.png.tmp")));
}
