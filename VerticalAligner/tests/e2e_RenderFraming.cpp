// Framing on rendered views: "Calculate scale" zooms both views until no black is left in
// either (but for what the whole-pixel measure leaves at the very edge), and a new fix point sets
// the offset that gives the output, at that point, the horizontal disparity the input had there.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

// Pixels of a view that the warp leaves black: their source position falls outside the
// input. The plate's alpha is 1 everywhere, so such a pixel is the only one with alpha 0;
// the STMap says the same from the positions themselves.
struct Black {
    int alphaZero = 0, outside = 0;
    int inside = 0; // black pixels off the outermost rows and columns
};

Black blackPixels(Plate& p, int v) {
    const Image out = p.render(v, Mask_RGBA + stmapChannels());
    Black b;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            if (out.at(Chan_Alpha, x, y) == 0.0f) {
                ++b.alphaZero;
                if (x > 0 && y > 0 && x < p.width - 1 && y < p.height - 1) ++b.inside;
            }
            const Eigen::Vector2d s = out.stmap(x, y, p.width, p.height);
            if (s.x() < 0 || s.y() < 0 || s.x() > p.width || s.y() > p.height) ++b.outside;
        }
    return b;
}

const Misalignment kShrunkAndTurned{{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 0.98}};

} // namespace

// Both views take one zoom, the same from either view. With one view aligned to the other,
// which is passed through, the other view is only zoomed, by the same factor, about its centre.
TEST(RenderFraming, CalculateScaleLeavesNoBlackInEitherView) {
    Plate p(kShrunkAndTurned, K::Transform);
    ASSERT_TRUE(p.match());
    for (int v : {Plate::kLeft, Plate::kRight}) {
        const Black before = blackPixels(p, v);
        EXPECT_GT(before.alphaZero, p.width); // black comes in along the edges
        EXPECT_EQ(before.alphaZero, before.outside);
    }
    p.set("scaleToFit", 1);
    for (bool passThrough : {false, true}) {
        SCOPED_TRACE(passThrough ? "left to right, passed through" : "both views");
        p.set("alignWhat", passThrough ? K::LeftToRight : K::BothViews);
        p.set("passThroughOther", passThrough);
        p.set("scale", 1);
        p.press("calculateScale", Plate::kRight);
        const double scale = p.get("scale");
        std::printf("Calculate scale: %.5f\n", scale);
        EXPECT_GT(scale, 1.005);
        EXPECT_LT(scale, 1.1);
        for (int v : {Plate::kLeft, Plate::kRight}) {
            SCOPED_TRACE(v == Plate::kLeft ? "left" : "right");
            // The inner box is measured in whole pixels, rounded outwards, so the zoom may fall
            // short by less than a pixel: black can remain only in the outermost rows and
            // columns.
            const Black after = blackPixels(p, v);
            std::printf("black after the zoom: %d pixels, %d off the edge\n", after.alphaZero,
                        after.inside);
            EXPECT_EQ(after.inside, 0);
            EXPECT_EQ(after.alphaZero, after.outside);
            EXPECT_LT(after.alphaZero, p.width / 10);
        }
        p.set("scale", 1);
        p.press("calculateScale", Plate::kLeft);
        EXPECT_DOUBLE_EQ(p.get("scale"), scale);
    }
    const Image right = p.render(Plate::kRight, stmapChannels());
    const Eigen::Vector2d c(p.width * 0.5, p.height * 0.5);
    double worst = 0;
    for (int y = 0; y < p.height; y += 7)
        for (int x = 0; x < p.width; x += 7) {
            const Eigen::Vector2d expected =
                c + (Eigen::Vector2d(x + 0.5, y + 0.5) - c) / p.get("scale");
            worst = std::max(worst, (right.stmap(x, y, p.width, p.height) - expected).norm());
        }
    EXPECT_LT(worst, 1e-3);
}

// Without an alignment the transformed data box is the format: the zoom is exactly 1. With
// the viewer on a view outside the pair nothing is calculated.
TEST(RenderFraming, CalculateScaleWithoutAlignmentIsOne) {
    constexpr int kCentre = 3;
    Plate p({}, K::Transform, 640, 360, {"left", "right", "centre"});
    p.set("scaleToFit", 1);
    p.set("scale", 1.3);
    p.press("calculateScale", kCentre);
    EXPECT_FLOAT_EQ(p.get("scale"), 1.3f);
    p.press("calculateScale", Plate::kLeft);
    EXPECT_EQ(p.get("scale"), 1.0);
}

TEST(RenderFraming, ANewFixPointKeepsTheInputDisparityThere) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform);
    ASSERT_TRUE(p.match());
    p.set("fixParallax", 1);
    const Channel hidden = SyntheticStereo::occlusionLeftChannel();
    const Image plate =
        p.renderPlate(Plate::kLeft, ChannelSet{Chan_DisparityL_X, Chan_DisparityL_Y, hidden});
    // A point on a surface of smooth disparity, away from the edges of the frame.
    const int x = p.width * 3 / 10, y = p.height * 3 / 10;
    ASSERT_TRUE(smoothDisparity(plate, Eigen::Vector2d(x + 0.5, y + 0.5), Chan_DisparityL_X,
                                Chan_DisparityL_Y, hidden));
    // Moves the fix point to the output pixel (x, y) with the viewer on a view, then compares
    // the horizontal disparity that the view's output has there with the input's disparity at
    // the source position of that pixel, the same point of the scene.
    auto check = [&](const char* name, int v) {
        SCOPED_TRACE(name);
        const Channel dx = v == Plate::kLeft ? Chan_DisparityL_X : Chan_DisparityR_X;
        p.set("offset", 0);
        p.setFixPoint(x + 0.5, y + 0.5, v);
        const Image out = p.render(v, ChannelSet{dx} + stmapChannels());
        const double output = out.at(dx, x, y);
        const double input =
            bilinear(p.renderPlate(v, ChannelSet{dx}), dx, out.stmap(x, y, p.width, p.height));
        std::printf("fix point, %s: offset %.4f, disparity input %.4f output %.4f px\n", name,
                    p.get("offset"), input, output);
        EXPECT_NE(p.get("offset"), 0.0);
        EXPECT_NEAR(output, input, 0.05);
    };
    check("viewer on the right", Plate::kRight);
    check("viewer on the left", Plate::kLeft);
    // With the zoom: the offset is measured through the zoom in force, which a locked scale
    // keeps.
    p.set("scaleToFit", 1);
    p.press("calculateScale", Plate::kRight);
    const double scale = p.get("scale");
    p.set("lockScale", 1);
    check("zoomed, viewer on the right", Plate::kRight);
    EXPECT_EQ(p.get("scale"), scale);
    // Unlocked, the new offset changes the border the zoom must cover: the scale is
    // calculated again.
    p.set("lockScale", 0);
    p.set("scale", 1);
    p.press("fixPoint", Plate::kRight);
    EXPECT_GE(p.get("scale"), scale);
}
