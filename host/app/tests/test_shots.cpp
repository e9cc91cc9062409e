// Real shots through kestrel align and render: a ten-frame plate whose misalignment drifts,
// analysed to its last frame, rendered in chunks that join bit for bit, with missing and
// out-of-range frames refused unless the user chose how to fill them, outputs that never
// overwrite the plate, and files that keep the plate's bit depth.
#include "KestrelRun.h"

#include <OpenImageIO/imageio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

// The plate and one whole run of align over it, made once for the suite.
class Shot : public Folder {
protected:
    static fs::path& plateDir() {
        static fs::path p;
        return p;
    }
    static std::string plate(const std::string& name) { return (plateDir() / name).string(); }

    static void SetUpTestSuite() {
        plateDir() = fs::temp_directory_path() / ("kestrel_shot_" + std::to_string(::getpid()));
        fs::remove_all(plateDir());
        fs::create_directories(plateDir());
        // The right camera drifts: 2 px up and 0.1 degrees of roll at frame 1, 8 px and 0.6
        // degrees at frame 10, so a correction held from an earlier key misses the end.
        std::ofstream(plate("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 10\n"
            << "node SyntheticStereo Plate\n knob width 640\n knob height 360\n"
            << " knob lastFrame 10\n knob verticalShift {curve linear 1 2 linear 10 8}\n"
            << " knob roll {curve linear 1 0.1 linear 10 0.6}\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << plate("plate_%V.####.png")
            << "\n knob channels rgba\nend\n";
        Outcome r = runIn(plateDir(), {"render", plate("plate.kscript")});
        if (r.code != 0) {
            setUpError() = "rendering the plate failed: " + r.err;
            return;
        }
        r = runIn(plateDir(),
                  {"align", plate("plate_left.####.png"), plate("plate_right.####.png"), "-o",
                   plate("one/shot_%V.####.exr"), "--report", plate("one/report.json")});
        if (r.code != 0) setUpError() = "aligning the plate failed: " + r.err;
        oneRunOutput() = r.out;
    }
    static void TearDownTestSuite() { fs::remove_all(plateDir()); }

    static std::string& oneRunOutput() {
        static std::string out;
        return out;
    }
    static std::string& setUpError() {
        static std::string error;
        return error;
    }

    void SetUp() override {
        ASSERT_EQ(setUpError(), "");
        makeFolder("shot");
    }

    Outcome align(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"align", plate("plate_left.####.png"), plate("plate_right.####.png")});
        return run(args);
    }
};

} // namespace

// Key All stops before the last frame; align keys it too, and measures the frame farthest
// from any key and the last one besides the keys, so the report sees the whole shot.
TEST_F(Shot, EndOfTheShotIsAnalysedAndTheReportNamesTheWorstFrame) {
    const auto report = nlohmann::json::parse(slurp(plateDir() / "one/report.json"));
    std::vector<int> keys, measured;
    for (const auto& k : report["keys"]) keys.push_back(k["frame"]);
    for (const auto& m : report["measured"]) measured.push_back(m["frame"]);
    EXPECT_EQ(keys, (std::vector<int>{1, 10}));
    EXPECT_EQ(measured, (std::vector<int>{1, 5, 10})); // keys, farthest from both, last
    EXPECT_EQ(report["framesWritten"],
              nlohmann::json(std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    double worst = 0;
    int worstFrame = 0;
    for (const auto& m : report["measured"])
        if (m["rms"].get<double>() > worst) worst = m["rms"], worstFrame = m["frame"];
    EXPECT_LT(worst, 0.3);
    EXPECT_EQ(report["worst"]["frame"].get<int>(), worstFrame);
    EXPECT_THAT(oneRunOutput(), HasSubstr("worst frame " + std::to_string(worstFrame) + ": RMS"));
    EXPECT_THAT(oneRunOutput(), HasSubstr("frames written 1-10"));
}

// Analysed once, the shot renders in any chunks of its saved script, and the chunks are the
// very pixels of the run that rendered it whole.
TEST_F(Shot, ChunksOfOneAnalysisJoinBitForBit) {
    Outcome r = align(
        {"-o", path("chunks/shot_%V.####.exr"), "--analyse-only", "--script", "shot.kscript"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("nothing rendered"));
    const std::string script = path("chunks/shot.kscript");
    ASSERT_TRUE(fs::exists(script));
    EXPECT_FALSE(fs::exists(path("chunks/shot_left.0001.exr")));
    for (const char* chunk : {"1-5", "6-10"}) {
        r = run({"render", script, "--frames", chunk});
        ASSERT_EQ(r.code, 0) << chunk << ": " << r.err;
        EXPECT_THAT(r.out, HasSubstr("wrote " + path("chunks/shot_right.") +
                                     (chunk[0] == '1' ? "0001" : "0010") + ".exr"));
    }
    for (int f = 1; f <= 10; ++f)
        for (const char* view : {"left", "right"}) {
            char name[64];
            std::snprintf(name, sizeof name, "shot_%s.%04d.exr", view, f);
            expectSamePixels(path("chunks/") + name, plate("one/") + name);
        }
}

// A frame that is not on disk, or not in the plate, stops the job before any work and names
// it; --missing-frames black or hold fills it and says so.
TEST_F(Shot, MissingAndOutOfRangeFramesAreErrorsUnlessTheUserChoseAFill) {
    fs::create_directories(path("holed"));
    for (const auto& e : fs::directory_iterator(plateDir()))
        if (e.path().extension() == ".png" && e.path().filename() != "plate_right.0005.png")
            fs::copy_file(e.path(), dir / "holed" / e.path().filename());
    const std::string left = path("holed/plate_left.####.png"),
                      right = path("holed/plate_right.####.png");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case errors[] = {
        {{"align", left, right, "-o", path("out/a_%V.####.exr")},
         "frame 5 is missing: " + path("holed/plate_right.0005.png") + " does not exist"},
        {{"align", plate("plate_left.####.png"), plate("plate_right.####.png"), "--frames", "5-20",
          "-o", path("out/a_%V.####.exr")},
         "frames 11-20 of --frames 5-20 are outside the plate (frames 1-10)"},
        {{"align", plate("plate_left.####.png"), plate("plate_right.####.png"), "-o",
          plate("plate_%V.####.png")},
         "is also a file of the plate"},
        {{"render", plate("one/aligned.kscript"), "--frames", "50"}, "plate_left.0050.png"},
        {{"align", left, right, "--missing-frames", "grey", "-o", path("out/a_%V.####.exr")},
         "--missing-frames \"grey\" is not a choice"},
    };
    for (const Case& c : errors) {
        SCOPED_TRACE(c.message);
        const Outcome r = run(c.args);
        EXPECT_NE(r.code, 0);
        EXPECT_THAT(r.err, HasSubstr(c.message));
    }
    EXPECT_FALSE(fs::exists(path("out")));
    EXPECT_FALSE(fs::exists(plate("plate_left.0050.png")));
    for (const char* fill : {"black", "hold"}) {
        SCOPED_TRACE(fill);
        const std::string out = path(std::string("out_") + fill);
        const Outcome r = run({"align", left, right, "--frames", "4-6", "--missing-frames", fill,
                               "-o", out + "/a_%V.####.exr", "--report", out + "/report.json"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(fs::exists(out + "/a_right.0005.exr"));
        const auto report = nlohmann::json::parse(slurp(out + "/report.json"));
        EXPECT_EQ(report["missingFrames"], fill);
        ASSERT_EQ(report["filledFrames"].size(), 1u);
        EXPECT_EQ(report["filledFrames"][0]["frame"], 5);
        EXPECT_THAT(r.out, HasSubstr("frame 5 filled (--missing-frames " + std::string(fill)));
    }
}

// The aligned views keep the plate's bit depth, and in OpenEXR the STMap is 32-bit float
// beside half colour: a half STMap is off by up to a pixel at 4K.
TEST_F(Shot, OutputsKeepThePlatesDepthAndDataChannelsAreFloat) {
    struct Depth {
        const char* extension;
        int item; // the Write's bit_depth: 1 "16 bit", 2 "10 bit"
        int bits;
    };
    const Depth depths[] = {{"png", 1, 16}, {"tif", 1, 16}, {"dpx", 2, 10}};
    std::ofstream script(path("stills.kscript"));
    script << "kestrel_script 1\nviews left right\nframes 1 1\n"
           << "node SyntheticStereo Plate\n knob width 640\n knob height 360\n"
           << " knob lastFrame 1\n knob verticalShift 5\n knob roll 0.3\nend\n";
    for (const Depth& d : depths)
        script << "node Write Write_" << d.extension << "\n input 0 Plate\n knob file "
               << path(std::string("still_%V.") + d.extension) << "\n knob channels rgba\n"
               << " knob bit_depth " << d.item << "\nend\n";
    script.close();
    ASSERT_EQ(run({"render", path("stills.kscript")}).code, 0);
    const auto bits = [](const std::string& file) {
        auto in = OIIO::ImageInput::open(file);
        return in ? in->spec().get_int_attribute("oiio:BitsPerSample",
                                                 int(in->spec().format.size() * 8))
                  : 0;
    };
    for (const Depth& d : depths) {
        SCOPED_TRACE(d.extension);
        const std::string ext = d.extension;
        const Outcome r = run({"align", path("still_left." + ext), path("still_right." + ext), "-o",
                               path("out_" + ext + "/aligned_%V." + ext)});
        ASSERT_EQ(r.code, 0) << r.err;
        for (const char* view : {"left", "right"})
            EXPECT_EQ(bits(path("out_" + ext + "/aligned_" + view + "." + ext)), d.bits) << view;
    }
    const Outcome r = run({"align", path("still_left.png"), path("still_right.png"), "-o",
                           path("out_exr/aligned_%V.exr"), "--stmap"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto in = OIIO::ImageInput::open(path("out_exr/aligned_left.exr"));
    ASSERT_TRUE(in);
    const OIIO::ImageSpec& spec = in->spec();
    for (int c = 0; c < spec.nchannels; ++c) {
        SCOPED_TRACE(spec.channelnames[size_t(c)]);
        const bool data = spec.channelnames[size_t(c)].rfind("stitch_map", 0) == 0;
        EXPECT_EQ(spec.channelformat(c), data ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::HALF);
    }
    EXPECT_EQ(spec.x, 0); // cropped to the frame
    EXPECT_EQ(spec.y, 0);
    EXPECT_EQ(spec.width, 640);
    EXPECT_EQ(spec.height, 360);
}
