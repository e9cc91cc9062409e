// Local alignment on rendered views: with the right camera mounted higher than the left, the
// vertical disparity grows with nearness, and no single transform per view removes it; the
// local shift, fed with the plate's true disparity, does.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

// RMS of the vertical component of a view's aligned disparity (its first pair) over the
// pixels whose source position sees its match on a surface of smooth disparity.
double alignedVerticalRms(Plate& p, int v, int& pixels) {
    const bool left = v == Plate::kLeft;
    const Channel dx = left ? Chan_DisparityL_X : Chan_DisparityR_X;
    const Channel dy = left ? Chan_DisparityL_Y : Chan_DisparityR_Y;
    const Channel hidden =
        left ? SyntheticStereo::occlusionLeftChannel() : SyntheticStereo::occlusionRightChannel();
    const Image plate = p.renderPlate(v, ChannelSet{dx, dy, hidden});
    const Image out = p.render(v, ChannelSet{dy} + stmapChannels());
    double sum = 0;
    pixels = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            if (!smoothDisparity(plate, out.stmap(x, y, p.width, p.height), dx, dy, hidden))
                continue;
            const double d = out.at(dy, x, y);
            sum += d * d;
            ++pixels;
        }
    return std::sqrt(sum / pixels);
}

} // namespace

TEST(RenderLocal, TheLocalShiftRemovesTheDepthDependentVerticalDisparity) {
    Plate p({{"cameraOffsetY", 0.03}, {"verticalShift", 4}, {"roll", 0.5}}, K::Full);
    ASSERT_TRUE(p.match());
    p.set("disparityBlurSize", 0); // the plate's disparity is exact: no smoothing
    for (int v : {Plate::kLeft, Plate::kRight}) {
        const char* view = v == Plate::kLeft ? "left" : "right";
        SCOPED_TRACE(view);
        p.set("localAlignment", 0);
        int n = 0;
        const double global = alignedVerticalRms(p, v, n);
        p.set("localAlignment", 1);
        p.set("localCorrection", 1);
        const double local = alignedVerticalRms(p, v, n);
        std::printf("aligned disparity, %s view: vertical RMS global alone %.4f px, with the "
                    "local shift %.4f px (%d pixels)\n",
                    view, global, local, n);
        EXPECT_GT(n, p.width * p.height / 2);
        EXPECT_GT(global, 0.1);
        EXPECT_LT(local, 0.1);
    }
}

// A correction of 0 is the global alignment exactly, pixel for pixel.
TEST(RenderLocal, NoCorrectionIsTheGlobalAlignment) {
    Plate p({{"cameraOffsetY", 0.03}, {"verticalShift", 4}}, K::Transform);
    ASSERT_TRUE(p.match());
    const ChannelSet channels = Mask_RGBA + Mask_Disparity + stmapChannels();
    const Image global = p.render(Plate::kRight, channels);
    p.set("localAlignment", 1);
    p.set("localCorrection", 0);
    const Image none = p.render(Plate::kRight, channels);
    for (Channel z : channels) EXPECT_EQ(global.planes[z], none.planes[z]) << getName(z);
}

// One view aligned to the other, which passes through: the aligned view takes the whole local
// shift, the other none.
TEST(RenderLocal, OneViewAlignedToTheOtherTakesTheWholeShift) {
    Plate p({{"cameraOffsetY", 0.03}, {"verticalShift", 4}}, K::Full);
    ASSERT_TRUE(p.match());
    p.set("alignWhat", K::LeftToRight);
    p.set("passThroughOther", 1);
    p.set("disparityBlurSize", 0);
    p.set("localAlignment", 1);
    int n = 0;
    const double left = alignedVerticalRms(p, Plate::kLeft, n);
    const double right = alignedVerticalRms(p, Plate::kRight, n);
    std::printf("left to right with the local shift: vertical RMS left %.4f px, right %.4f px\n",
                left, right);
    EXPECT_LT(left, 0.1);
    EXPECT_LT(right, 0.1);
    EXPECT_EQ(p.render(Plate::kRight, Mask_RGBA).planes[Chan_Green],
              p.renderPlate(Plate::kRight, Mask_RGBA).planes[Chan_Green]);
}
