// The STMap output against the colour output: sampling the input at the positions the STMap
// holds, with the node's own filter, must give the colour the node rendered, for the global
// alignment alone and with every correction the warp applies (local shift, zoom, parallax
// offset).
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

struct Comparison {
    int pixels = 0;
    double maxDifference = 0;
};

// Applies the STMap of a view to the plate's view with the node's filter and compares every
// colour channel with the node's colour output where the STMap points inside the input.
Comparison applyStMap(Plate& p, int v) {
    const Image out = p.render(v, Mask_RGBA + stmapChannels());
    SyntheticStereo& in = p.plate(v, Mask_RGBA);
    Filter filter(int(p.aligner.knob("filter")->value()));
    filter.initialize();
    EXPECT_EQ(filter.type(), Filter::Lanczos6); // the node's default
    Comparison c;
    Pixel pixel(Mask_RGBA);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const Eigen::Vector2d s = out.stmap(x, y, p.width, p.height);
            if (s.x() < 0 || s.y() < 0 || s.x() > p.width || s.y() > p.height) continue;
            in.sample(float(s.x()), float(s.y()), 1, 1, &filter, pixel);
            for (Channel z : Mask_RGBA)
                c.maxDifference =
                    std::max(c.maxDifference, std::fabs(double(pixel[z]) - out.at(z, x, y)));
            ++c.pixels;
        }
    return c;
}

} // namespace

TEST(RenderStMap, TheStMapAppliedToTheInputReproducesTheColourOutput) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"cameraOffsetY", 0.02}},
            K::Transform);
    ASSERT_TRUE(p.match());
    struct Setting {
        const char* name;
        Misalignment knobs;
    };
    const Setting settings[] = {
        {"global alignment", {}},
        {"with local shift, zoom and offset",
         {{"disparityBlurSize", 4},
          {"localAlignment", 1},
          {"scaleToFit", 1},
          {"scale", 1.05},
          {"fixParallax", 1},
          {"offset", 3}}},
    };
    for (const Setting& s : settings) {
        for (auto [name, value] : s.knobs) p.set(name, value);
        for (int v : {Plate::kLeft, Plate::kRight}) {
            SCOPED_TRACE(std::string(s.name) + (v == Plate::kLeft ? ", left" : ", right"));
            const Comparison c = applyStMap(p, v);
            std::printf("STMap applied, %s, %s view: %d pixels, max difference %.2e\n", s.name,
                        v == Plate::kLeft ? "left" : "right", c.pixels, c.maxDifference);
            EXPECT_GT(c.pixels, p.width * p.height * 9 / 10);
            EXPECT_LT(c.maxDifference, 1e-3);
        }
    }
}
