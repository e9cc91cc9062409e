// A view outside the aligned pair passes through: with the pair matched and corrected, a third
// view keeps its colour and motion as they come in, and its STMap is the identity.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

TEST(RenderOtherViews, AViewOutsideThePairPassesThrough) {
    constexpr int kCentre = 3;
    Plate p({{"verticalShift", 8}, {"roll", 1}}, K::Transform, 640, 360,
            {"left", "right", "centre"});
    ASSERT_TRUE(p.match());
    p.set("scaleToFit", 1);
    p.set("scale", 1.05);
    p.set("fixParallax", 1);
    p.set("offset", 3);
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
            if (out.at(stmapU(), x, y) != (x + 0.5f) / float(p.width) ||
                out.at(stmapV(), x, y) != (y + 0.5f) / float(p.height))
                ++off;
    EXPECT_EQ(off, 0);

    // The pair itself is corrected: its colour differs from the input.
    const Image right = p.render(Plate::kRight, Mask_RGB);
    EXPECT_NE(right.planes[Chan_Red], p.renderPlate(Plate::kRight, Mask_RGB).planes[Chan_Red]);
}
