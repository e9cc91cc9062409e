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

// Largest distance, over a grid of output pixels p of a view, between the source position
// that the target's STMap holds at p + vector(p) and the true target position in the
// target's source: s + truth(s), s being p's source position by its own STMap. Pixels near
// depth edges (judged by the plate's disparity of the view) are left out.
double worstMismatch(Plate& p, const Image& out, const Vectors& vec, const Image& ownStMap,
                     const Image& truth, const Vectors& truthVec, const Image& targetStMap,
                     const Image& edges, const Vectors& edgeVec, Channel hidden, int& checked) {
    double worst = 0;
    checked = 0;
    for (int y = 4; y < p.height; y += 6)
        for (int x = 4; x < p.width; x += 6) {
            const Eigen::Vector2d s = ownStMap.stmap(x, y, p.width, p.height);
            if (!smoothDisparity(edges, s, edgeVec.u, edgeVec.v, hidden)) continue;
            const Eigen::Vector2d t(s.x() + bilinear(truth, truthVec.u, s),
                                    s.y() + bilinear(truth, truthVec.v, s));
            const Eigen::Vector2d o(x + 0.5 + out.at(vec.u, x, y), y + 0.5 + out.at(vec.v, x, y));
            if (o.x() < 2 || o.y() < 2 || o.x() > p.width - 2 || o.y() > p.height - 2) continue;
            const Eigen::Vector2d reached(bilinear(targetStMap, stmapU(), o) * p.width,
                                          bilinear(targetStMap, stmapV(), o) * p.height);
            worst = std::max(worst, (reached - t).norm());
            ++checked;
        }
    return worst;
}

const Vectors kLeftPair{Chan_DisparityL_X, Chan_DisparityL_Y};
const Vectors kRightPair{Chan_DisparityR_X, Chan_DisparityR_Y};
const Vectors kForward{Chan_Forward_U, Chan_Forward_V};

struct Setting {
    const char* name;
    Misalignment knobs;
};

const Setting kSettings[] = {
    {"both views, zoom and offset",
     {{"scaleToFit", 1}, {"scale", 1.06}, {"fixParallax", 1}, {"offset", 3}}},
    {"left to right, the right view passed through",
     {{"alignWhat", K::LeftToRight}, {"passThroughOther", 1}}},
};

} // namespace

TEST(RenderVectors, AlignedDisparityPointsAtTheMatchInTheOtherOutput) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform);
    ASSERT_TRUE(p.match());
    const ChannelSet truthChannels =
        Mask_Disparity + ChannelSet{SyntheticStereo::occlusionLeftChannel(),
                                    SyntheticStereo::occlusionRightChannel()};
    const Image plateLeft = p.renderPlate(Plate::kLeft, truthChannels);
    const Image plateRight = p.renderPlate(Plate::kRight, truthChannels);
    for (const Setting& s : kSettings) {
        SCOPED_TRACE(s.name);
        for (auto [name, value] : s.knobs) p.set(name, value);
        const ChannelSet wanted = Mask_Disparity + stmapChannels();
        const Image left = p.render(Plate::kLeft, wanted);
        const Image right = p.render(Plate::kRight, wanted);
        const Channel hiddenL = SyntheticStereo::occlusionLeftChannel();
        const Channel hiddenR = SyntheticStereo::occlusionRightChannel();
        int n[4];
        // First pairs: from a view's pixel to the other view's output.
        const double w0 = worstMismatch(p, left, kLeftPair, left, plateLeft, kLeftPair, right,
                                        plateLeft, kLeftPair, hiddenL, n[0]);
        const double w1 = worstMismatch(p, right, kRightPair, right, plateRight, kRightPair, left,
                                        plateRight, kRightPair, hiddenR, n[1]);
        // Second pairs: the pixel read as a point of the other view's output, to this view's.
        const double w2 = worstMismatch(p, left, kRightPair, right, plateRight, kRightPair, left,
                                        plateRight, kRightPair, hiddenR, n[2]);
        const double w3 = worstMismatch(p, right, kLeftPair, left, plateLeft, kLeftPair, right,
                                        plateLeft, kLeftPair, hiddenL, n[3]);
        std::printf("aligned disparity, %s: worst mismatch left %.4f right %.4f, second pairs "
                    "%.4f %.4f px\n",
                    s.name, w0, w1, w2, w3);
        for (int i = 0; i < 4; ++i) EXPECT_GT(n[i], 1000);
        EXPECT_LT(std::max({w0, w1, w2, w3}), 0.01);
    }
}

TEST(RenderVectors, AlignedMotionPointsWhereTheWarpShowsThePointNext) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform);
    ASSERT_TRUE(p.match());
    const ChannelSet truthChannels = Mask_Motion + Mask_Disparity +
                                     ChannelSet{SyntheticStereo::occlusionLeftChannel(),
                                                SyntheticStereo::occlusionRightChannel()};
    for (const Setting& s : kSettings) {
        SCOPED_TRACE(s.name);
        for (auto [name, value] : s.knobs) p.set(name, value);
        for (int v : {Plate::kLeft, Plate::kRight}) {
            const bool left = v == Plate::kLeft;
            const Image plate = p.renderPlate(v, truthChannels);
            const Image out = p.render(v, Mask_Motion + stmapChannels());
            int n = 0;
            const double worst = worstMismatch(p, out, kForward, out, plate, kForward, out, plate,
                                               left ? kLeftPair : kRightPair,
                                               left ? SyntheticStereo::occlusionLeftChannel()
                                                    : SyntheticStereo::occlusionRightChannel(),
                                               n);
            std::printf("aligned motion, %s, %s view: worst mismatch %.4f px\n", s.name,
                        left ? "left" : "right", worst);
            EXPECT_GT(n, 1000);
            EXPECT_LT(worst, 0.01);
        }
    }
}
