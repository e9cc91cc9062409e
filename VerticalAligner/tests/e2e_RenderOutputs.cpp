// The node's outputs against each other and against the input: the STMap applied to the input
// with the node's own filter gives the colour the node rendered (global alignment alone and
// with every correction the warp applies); a view outside the aligned pair passes through; and
// every output is the same rendered on one thread and on all of them.
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

TEST(RenderOutputs, TheStMapAppliedToTheInputReproducesTheColourOutput) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"cameraOffsetY", 0.02}},
            K::Transform);
    ASSERT_TRUE(p.match());
    const std::pair<const char*, Misalignment> settings[] = {
        {"global alignment", {}},
        {"with local shift, zoom and offset",
         {{"disparityBlurSize", 4},
          {"localAlignment", 1},
          {"scaleToFit", 1},
          {"scale", 1.05},
          {"fixParallax", 1},
          {"offset", 3}}},
    };
    for (const auto& [name, knobs] : settings) {
        for (auto [knob, value] : knobs) p.set(knob, value);
        for (int v : {Plate::kLeft, Plate::kRight}) {
            const char* view = v == Plate::kLeft ? "left" : "right";
            SCOPED_TRACE(std::string(name) + ", " + view);
            const Comparison c = applyStMap(p, v);
            std::printf("STMap applied, %s, %s view: %d pixels, max difference %.2e\n", name, view,
                        c.pixels, c.maxDifference);
            EXPECT_GT(c.pixels, p.width * p.height * 9 / 10);
            EXPECT_LT(c.maxDifference, 1e-3);
        }
    }
}

// With the pair matched and corrected, a third view keeps its colour and motion as they come
// in, and its STMap is the identity.
TEST(RenderOutputs, AViewOutsideThePairPassesThrough) {
    constexpr int kCentre = 3;
    Plate p({{"verticalShift", 8}, {"roll", 1}}, K::Transform, 640, 360,
            {"left", "right", "centre"});
    ASSERT_TRUE(p.match());
    for (auto [name, value] :
         Misalignment{{"scaleToFit", 1}, {"scale", 1.05}, {"fixParallax", 1}, {"offset", 3}})
        p.set(name, value);
    VerticalAlignerPlugin& centre = p.view(kCentre);
    EXPECT_FALSE(centre.renderEngine().correctView());
    EXPECT_EQ(centre.box(), Box(0, 0, p.width, p.height));

    const ChannelSet passed = Mask_RGBA + Mask_Motion;
    const Image out = p.render(kCentre, passed + stmapChannels());
    const Image in = p.renderPlate(kCentre, passed);
    for (Channel z : passed) EXPECT_EQ(out.planes[z], in.planes[z]) << getName(z);
    int off = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            off += out.at(stmapU(), x, y) != (x + 0.5f) / float(p.width) ||
                   out.at(stmapV(), x, y) != (y + 0.5f) / float(p.height);
    EXPECT_EQ(off, 0);
    // The pair itself is corrected: its colour differs from the input.
    EXPECT_NE(p.render(Plate::kRight, Mask_RGB).planes[Chan_Red],
              p.renderPlate(Plate::kRight, Mask_RGB).planes[Chan_Red]);
}

// The pre-blurred disparity, the input and the engine's state are read from many rows at once.
TEST(RenderOutputs, EveryOutputIsTheSameOnOneThreadAndOnAll) {
    Plate p({{"cameraOffsetY", 0.03}, {"verticalShift", 4}, {"roll", 0.5}}, K::Full);
    ASSERT_TRUE(p.match());
    for (auto [name, value] : Misalignment{{"localAlignment", 1},
                                           {"disparityBlurSize", 8},
                                           {"scaleToFit", 1},
                                           {"scale", 1.04},
                                           {"fixParallax", 1},
                                           {"offset", 2}})
        p.set(name, value);
    const ChannelSet channels = Mask_RGBA + Mask_Motion + Mask_Disparity + stmapChannels();
    auto renderOn = [&](unsigned threads) {
        p.source.invalidate();
        Engine::setThreads(threads);
        Engine::clearCache();
        return p.render(Plate::kRight, channels);
    };
    const Image one = renderOn(1);
    const Image all = renderOn(0);
    EXPECT_GT(Engine::threads(), 1u);
    for (Channel z : channels) EXPECT_EQ(one.planes[z], all.planes[z]) << getName(z);
}
