// kestrel align on plates it must not be confidently wrong about: a clean plate keeps its
// full correction with high confidence; a plate whose matches lie in one corner gets a
// simpler correction, a warning naming the empty parts and low confidence (exit status 3
// with --strict); a plate through a barrel-distorting lens gets the lens warning.
#include "KestrelRun.h"

#include <OpenImageIO/imageio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

constexpr int kW = 640, kH = 360;

class AlignTrust : public Folder {
protected:
    void SetUp() override { makeFolder("trust"); }

    // The synthetic plate with the global-alignment tests' misalignment of the right camera
    // (shifted, rolled, tilted and zoomed), as a left and a right PNG, with further knobs.
    void renderPlate(const std::string& knobs = "") {
        std::ofstream(path("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 1\n"
            << "node SyntheticStereo Plate\n knob width " << kW << "\n knob height " << kH
            << "\n knob lastFrame 1\n knob verticalShift 6\n knob roll 0.4\n knob tilt 0.25\n"
            << " knob focalRatio 1.015\n"
            << knobs << "end\n"
            << "node Write Write1\n input 0 Plate\n knob file " << path("plate_%V.png")
            << "\n knob channels rgba\nend\n";
        const Outcome r = run({"render", path("plate.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // Blacks out both views' pixels (x right, y down from the top row) where keep is false.
    void blackOutside(const std::function<bool(int, int)>& keep) {
        for (const char* view : {"left", "right"}) {
            const std::string file = path(std::string("plate_") + view + ".png");
            auto in = OIIO::ImageInput::open(file);
            ASSERT_TRUE(in) << file;
            const OIIO::ImageSpec spec = in->spec();
            const size_t c = size_t(spec.nchannels);
            std::vector<float> pixels(size_t(spec.width) * size_t(spec.height) * c);
            ASSERT_TRUE(in->read_image(0, 0, 0, int(c), OIIO::TypeDesc::FLOAT, pixels.data()));
            in->close();
            for (int y = 0; y < spec.height; ++y)
                for (int x = 0; x < spec.width; ++x)
                    if (!keep(x, y))
                        std::fill_n(
                            pixels.begin() +
                                std::ptrdiff_t((size_t(y) * size_t(spec.width) + size_t(x)) * c),
                            c, 0.0f);
            auto out = OIIO::ImageOutput::create(file);
            ASSERT_TRUE(out && out->open(file, spec));
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
            out->close();
        }
    }

    Outcome align(std::vector<std::string> args) {
        args.insert(args.begin(), {"align", path("plate_left.png"), path("plate_right.png"), "-o",
                                   path("out/a_%V.png"), "--report", path("out/report.json")});
        return run(args);
    }

    nlohmann::json report() { return nlohmann::json::parse(slurp(dir / "out/report.json")); }

    static std::string warnings(const nlohmann::json& report) {
        std::string all;
        for (const auto& w : report["warnings"]) all += w.get<std::string>() + "\n";
        return all;
    }
};

} // namespace

TEST_F(AlignTrust, ACleanPlateKeepsItsFullCorrectionWithHighConfidence) {
    renderPlate();
    const Outcome r = align({"--strict"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto rep = report();
    EXPECT_EQ(rep["presetAsked"], "auto");
    EXPECT_EQ(rep["preset"], "Full");
    EXPECT_EQ(rep["confidence"]["level"], "high") << rep["confidence"]["reason"];
    EXPECT_GT(rep["heldOut"]["matches"].get<int>(), 50);
    EXPECT_GT(rep["heldOut"]["before"].get<double>(), 3.0);
    EXPECT_LT(rep["heldOut"]["after"].get<double>(), 0.1);
    EXPECT_LT(rep["after"]["rms"].get<double>(), 0.1);
    EXPECT_EQ(rep["coverage"]["before"]["cells"], 16);
    EXPECT_EQ(rep["coverage"]["after"]["cells"], 16);
    for (const char* region : {"bottom-left", "bottom-right", "top-left", "top-right", "centre"}) {
        SCOPED_TRACE(region);
        EXPECT_GT(rep["regions"][region]["matches"].get<int>(), 20);
        EXPECT_LT(rep["regions"][region]["rms"].get<double>(), 0.1);
    }
    // Every preset was tried, and the one kept had the least held-out residual.
    double kept = 0, least = 1e9;
    for (const auto& c : rep["corrections"]) {
        SCOPED_TRACE(c.dump());
        ASSERT_TRUE(c.contains("heldOutRms"));
        least = std::min(least, c["heldOutRms"].get<double>());
        if (c["used"].get<bool>()) kept = c["heldOutRms"];
    }
    EXPECT_EQ(rep["corrections"].size(), 4u);
    EXPECT_EQ(kept, least);
    EXPECT_FALSE(rep["edges"]["grows"].get<bool>());
    EXPECT_THAT(r.out, HasSubstr("confidence: high"));
}

TEST_F(AlignTrust, MatchesInOneCornerGiveASimplerCorrectionAWarningAndLowConfidence) {
    renderPlate();
    // Only the bottom-left quarter keeps its picture (file rows run from the top).
    blackOutside([](int x, int y) { return x < kW / 2 && y >= kH / 2; });
    const Outcome r = align({"--strict"});
    EXPECT_EQ(r.code, 3) << r.err;
    // The job still finished: the output and the report are there.
    EXPECT_TRUE(fs::exists(dir / "out/a_left.png"));
    EXPECT_TRUE(fs::exists(dir / "out/a_right.png"));
    const auto rep = report();
    EXPECT_EQ(rep["confidence"]["level"], "low");
    EXPECT_THAT(rep["confidence"]["reason"].get<std::string>(), HasSubstr("the top half"));
    EXPECT_THAT(rep["preset"].get<std::string>(), ::testing::AnyOf("Shift", "Roll", "None"));
    for (const auto& c : rep["corrections"]) {
        SCOPED_TRACE(c.dump());
        if (c["preset"] == "Shift" || c["preset"] == "Roll" || c["preset"] == "None") continue;
        EXPECT_THAT(c["notTried"].get<std::string>(),
                    HasSubstr("no matches in the top half and the bottom-right quarter"));
    }
    EXPECT_THAT(warnings(rep), HasSubstr("were not tried"));
    EXPECT_LE(rep["coverage"]["before"]["cells"].get<int>(), 6);
    EXPECT_EQ(rep["regions"]["top-right"]["matches"], 0);
    // Never worse than the plate where it can be measured.
    EXPECT_LE(rep["heldOut"]["after"].get<double>(), rep["heldOut"]["before"].get<double>());
    EXPECT_THAT(r.out, HasSubstr("confidence: low"));
    // Without --strict the same job succeeds.
    EXPECT_EQ(align({}).code, 0);
}

TEST_F(AlignTrust, BarrelDistortionOfBothLensesIsWarnedAbout) {
    // k1 = -0.25 at the half-diagonal on both cameras: barrel distortion that brings the
    // corners in by a fifth.
    renderPlate(" knob leftK1 -0.25\n knob rightK1 -0.25\n");
    const Outcome r = align({});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto rep = report();
    EXPECT_TRUE(rep["edges"]["grows"].get<bool>()) << rep["edges"].dump();
    EXPECT_THAT(warnings(rep), HasSubstr("as lens distortion makes it"));
    EXPECT_THAT(warnings(rep), HasSubstr("undistort"));
    EXPECT_NE(rep["confidence"]["level"], "high");
    EXPECT_LE(rep["heldOut"]["after"].get<double>(), rep["heldOut"]["before"].get<double>());
}
