// The aligned disparity and motion vectors against the warp itself: a vector of an output
// pixel must point where the STMap of the target output holds the source position of the
// same scene point. For disparity the target is the other view's output; for motion it is
// the same view's output at the next frame, whose alignment is that of the one key.
// Checked with the zoom and the parallax offset on, which move the two views differently.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

struct Vectors {
    Channel u, v;
};
const Vectors kLeftPair{Chan_DisparityL_X, Chan_DisparityL_Y};
const Vectors kRightPair{Chan_DisparityR_X, Chan_DisparityR_Y};
const Vectors kForward{Chan_Forward_U, Chan_Forward_V};

// A view of the plate: its true vectors, and its disparity pair and occlusion, which tell the
// pixels near depth edges.
struct Truth {
    Image plate;
    Vectors pair;
    Channel hidden;
};

Truth truthOf(Plate& p, int v) {
    const bool left = v == Plate::kLeft;
    const Channel hidden =
        left ? SyntheticStereo::occlusionLeftChannel() : SyntheticStereo::occlusionRightChannel();
    return {p.renderPlate(v, Mask_Motion + Mask_Disparity + ChannelSet{hidden}),
            left ? kLeftPair : kRightPair, hidden};
}

// Largest distance, over a grid of output pixels p of a view (off depth edges), between the
// source position that the target's STMap holds at p + vector(p) and the true target position
// in the target's source: s + truth(s), s being p's source position by its own STMap. Expects
// more than 1000 pixels checked.
double worstMismatch(Plate& p, const Image& out, const Vectors& vec, const Image& ownStMap,
                     const Image& targetStMap, const Truth& truth) {
    double worst = 0;
    int checked = 0;
    for (int y = 4; y < p.height; y += 6)
        for (int x = 4; x < p.width; x += 6) {
            const Eigen::Vector2d s = ownStMap.stmap(x, y, p.width, p.height);
            if (!smoothDisparity(truth.plate, s, truth.pair.u, truth.pair.v, truth.hidden))
                continue;
            const Eigen::Vector2d t(s.x() + bilinear(truth.plate, vec.u, s),
                                    s.y() + bilinear(truth.plate, vec.v, s));
            const Eigen::Vector2d o(x + 0.5 + out.at(vec.u, x, y), y + 0.5 + out.at(vec.v, x, y));
            if (o.x() < 2 || o.y() < 2 || o.x() > p.width - 2 || o.y() > p.height - 2) continue;
            const Eigen::Vector2d reached(bilinear(targetStMap, stmapU(), o) * p.width,
                                          bilinear(targetStMap, stmapV(), o) * p.height);
            worst = std::max(worst, (reached - t).norm());
            ++checked;
        }
    EXPECT_GT(checked, 1000);
    return worst;
}

} // namespace

TEST(RenderVectors, AlignedDisparityAndMotionPointWhereTheWarpShowsTheirTarget) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform);
    ASSERT_TRUE(p.match());
    const Truth left = truthOf(p, Plate::kLeft), right = truthOf(p, Plate::kRight);
    const std::pair<const char*, Misalignment> settings[] = {
        {"both views, zoom and offset",
         {{"scaleToFit", 1}, {"scale", 1.06}, {"fixParallax", 1}, {"offset", 3}}},
        {"left to right, the right view passed through",
         {{"alignWhat", K::LeftToRight}, {"passThroughOther", 1}}},
    };
    for (const auto& [name, knobs] : settings) {
        SCOPED_TRACE(name);
        for (auto [knob, value] : knobs) p.set(knob, value);
        const ChannelSet wanted = Mask_Disparity + Mask_Motion + stmapChannels();
        const Image l = p.render(Plate::kLeft, wanted), r = p.render(Plate::kRight, wanted);
        // From a view's pixel to the other view's output (first pairs), the pixel read as a
        // point of the other view's output to this view's (second pairs), and motion.
        const double disparity[4] = {worstMismatch(p, l, kLeftPair, l, r, left),
                                     worstMismatch(p, r, kRightPair, r, l, right),
                                     worstMismatch(p, l, kRightPair, r, l, right),
                                     worstMismatch(p, r, kLeftPair, l, r, left)};
        const double motion[2] = {worstMismatch(p, l, kForward, l, l, left),
                                  worstMismatch(p, r, kForward, r, r, right)};
        std::printf("%s: worst mismatch of the aligned disparity left %.4f right %.4f, second "
                    "pairs %.4f %.4f; of the aligned motion left %.4f right %.4f px\n",
                    name, disparity[0], disparity[1], disparity[2], disparity[3], motion[0],
                    motion[1]);
        for (double w : disparity) EXPECT_LT(w, 0.01);
        for (double w : motion) EXPECT_LT(w, 0.01);
    }
}
