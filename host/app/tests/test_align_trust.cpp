// kestrel align on plates it must not be confidently wrong about: a clean plate keeps its
// full correction with high confidence; a plate whose matches lie in one corner gets a
// simpler correction, a warning naming the empty parts and low confidence (exit status 3
// with --strict); a plate through a barrel-distorting lens gets the lens warning.
#include "KestrelRun.h"

#include <OpenImageIO/imageio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

constexpr int kW = 640, kH = 360;

class AlignTrust : public Folder {
protected:
    void SetUp() override { makeFolder("trust"); }

    // The synthetic plate with the global-alignment tests' misalignment of the right camera
    // (shifted, rolled, tilted and zoomed), as a left and a right PNG.
    void renderPlate() {
        std::ofstream(path("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 1\n"
            << "node SyntheticStereo Plate\n knob width " << kW << "\n knob height " << kH
            << "\n knob lastFrame 1\n knob verticalShift 6\n knob roll 0.4\n knob tilt 0.25\n"
            << " knob focalRatio 1.015\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << path("plate_%V.png")
            << "\n knob channels rgba\nend\n";
        const Outcome r = run({"render", path("plate.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // Rewrites both views' pixels: each output pixel (x right, y down, centres at + 0.5)
    // takes the bilinear sample of the view at the position `from` gives, black outside.
    void remap(const std::function<bool(double&, double&)>& from) {
        for (const char* view : {"left", "right"}) {
            const std::string file = path(std::string("plate_") + view + ".png");
            auto in = OIIO::ImageInput::open(file);
            ASSERT_TRUE(in) << file;
            const OIIO::ImageSpec spec = in->spec();
            const int c = spec.nchannels;
            std::vector<float> src(size_t(spec.width) * size_t(spec.height) * size_t(c));
            ASSERT_TRUE(in->read_image(0, 0, 0, c, OIIO::TypeDesc::FLOAT, src.data()));
            in->close();
            std::vector<float> dst(src.size(), 0.0f);
            for (int y = 0; y < spec.height; ++y)
                for (int x = 0; x < spec.width; ++x) {
                    double sx = x + 0.5, sy = y + 0.5;
                    if (!from(sx, sy)) continue;
                    sx -= 0.5, sy -= 0.5;
                    const int x0 = int(std::floor(sx)), y0 = int(std::floor(sy));
                    if (x0 < 0 || y0 < 0 || x0 + 1 >= spec.width || y0 + 1 >= spec.height)
                        continue;
                    const double u = sx - x0, v = sy - y0;
                    for (int k = 0; k < c; ++k) {
                        auto at = [&](int a, int b) {
                            return src[(size_t(b) * size_t(spec.width) + size_t(a)) * size_t(c) +
                                       size_t(k)];
                        };
                        dst[(size_t(y) * size_t(spec.width) + size_t(x)) * size_t(c) + size_t(k)] =
                            float((1 - u) * (1 - v) * at(x0, y0) + u * (1 - v) * at(x0 + 1, y0) +
                                  (1 - u) * v * at(x0, y0 + 1) + u * v * at(x0 + 1, y0 + 1));
                    }
                }
            auto out = OIIO::ImageOutput::create(file);
            ASSERT_TRUE(out && out->open(file, spec));
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, dst.data()));
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
    remap([](double& x, double& y) { return x < kW / 2.0 && y >= kH / 2.0; });
    const Outcome r = align({"--strict"});
    EXPECT_EQ(r.code, 3) << r.err;
    // The job still finished: the output and the report are there.
    EXPECT_TRUE(fs::exists(dir / "out/a_left.png"));
    EXPECT_TRUE(fs::exists(dir / "out/a_right.png"));
    const auto rep = report();
    EXPECT_EQ(rep["confidence"]["level"], "low");
    EXPECT_THAT(rep["confidence"]["reason"].get<std::string>(), HasSubstr("the top half"));
    EXPECT_THAT(rep["preset"].get<std::string>(), ::testing::AnyOf("Shift", "None"));
    for (const auto& c : rep["corrections"]) {
        SCOPED_TRACE(c.dump());
        if (c["preset"] == "Shift" || c["preset"] == "None") continue;
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
    renderPlate();
    // k1 = -0.25 at the half-diagonal, both cameras: a distorted pixel at radius r shows the
    // scene at r / (1 + k1·r²) (the division model), pulling the frame's edges inwards.
    const double halfDiagonal = 0.5 * std::hypot(kW, kH);
    remap([&](double& x, double& y) {
        const double dx = x - kW / 2.0, dy = y - kH / 2.0;
        const double r2 = (dx * dx + dy * dy) / (halfDiagonal * halfDiagonal);
        const double f = 1.0 / (1.0 - 0.25 * r2);
        x = kW / 2.0 + dx * f;
        y = kH / 2.0 + dy * f;
        return true;
    });
    const Outcome r = align({});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto rep = report();
    EXPECT_TRUE(rep["edges"]["grows"].get<bool>()) << rep["edges"].dump();
    EXPECT_THAT(warnings(rep), HasSubstr("as lens distortion makes it"));
    EXPECT_THAT(warnings(rep), HasSubstr("undistort"));
    EXPECT_NE(rep["confidence"]["level"], "high");
    EXPECT_LE(rep["heldOut"]["after"].get<double>(), rep["heldOut"]["before"].get<double>());
}
