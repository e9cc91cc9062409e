// End to end on the synthetic stereo plate, whose right camera carries a known
// misalignment: Match at a key, the solved alignment of the key, and the rendered views.
#include "e2e_RenderPlate.h"

#include "mwControlPointsKnob.h"

using namespace RenderTest;

namespace {

constexpr int kWidth = 960, kHeight = 540;

// RMS of the vertical disparity between the two corrected (or the input) views over a grid of
// true correspondences of the key.
double residual(Plate& plate, bool corrected) {
    Marrow::Vireon::VireonAlignmentSampler l, r;
    if (!plate.node().dataProvider().updateAlignment(l, r, 1)) return -1;
    double sum = 0;
    const int n = forTrueCorrespondences(
        plate.plate(Plate::kLeft, Mask_RGBA), 1,
        [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
            const double d = corrected ? l.toOutput(p).y() - r.toOutput(q).y() : p.y() - q.y();
            sum += d * d;
        });
    return std::sqrt(sum / n);
}

} // namespace

// Every misalignment against every preset: the one meant for it must bring the vertical
// disparity of true correspondences under its bound; the others are printed for comparison.
// A tilt keeps about 0.15 px: the perspective warp keeps each point's column, so the
// projective compression of the rows that a tilt brings is only partly undone.
TEST(SyntheticPlate, MatchThenSolveRemovesTheVerticalDisparity) {
    struct Case {
        const char* name;
        Misalignment misalignment;
        int preset;
        double bound;
    };
    const Case cases[] = {
        {"vertical shift 8 px", {{"verticalShift", 8}}, K::Transform, 0.1},
        {"roll 1 degree", {{"roll", 1}}, K::Transform, 0.1},
        {"focal ratio 1.02", {{"focalRatio", 1.02}}, K::Transform, 0.1},
        {"tilt 0.5 degree", {{"tilt", 0.5}}, K::Full, 0.2},
        {"all four",
         {{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"tilt", 0.5}},
         K::Full,
         0.2},
    };
    const int presets[] = {K::Transform, K::MatchCamera, K::KeystoneOnly, K::Full};
    const int widths[] = {10, 12, 13, 8};
    std::printf("%-22s %8s %10s %12s %13s %8s\n", "misalignment (RMS px)", "before", "Transform",
                "Match Camera", "Keystone Only", "Full");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plate plate(c.misalignment, c.preset, kWidth, kHeight);
        ASSERT_TRUE(plate.match());
        EXPECT_GT(plate.node().knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(),
                  300);
        const double before = residual(plate, false);
        EXPECT_GT(before, 1.0);
        std::printf("%-22s %8.3f", c.name, before);
        for (int i = 0; i < 4; ++i) {
            plate.set("alignmentType", presets[i]);
            const double after = residual(plate, true);
            std::printf(" %*.4f", widths[i], after);
            if (presets[i] == c.preset) {
                EXPECT_LT(after, c.bound);
            }
        }
        std::printf("\n");
    }
}

TEST(SyntheticPlate, AlignedDisparityHasNoVerticalPart) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform, kWidth,
            kHeight);
    ASSERT_TRUE(p.match());
    const Channel hidden = SyntheticStereo::occlusionLeftChannel();
    const Image out = p.render(Plate::kLeft, ChannelSet{Chan_DisparityL_Y});
    const Image in = p.renderPlate(Plate::kLeft, ChannelSet{hidden, Chan_DisparityL_Y});
    double sum = 0, before = 0;
    int n = 0;
    // Away from the frame edges, where the warp brings in black and no match.
    for (int y = 40; y < kHeight - 40; ++y)
        for (int x = 40; x < kWidth - 40; ++x) {
            if (in.at(hidden, x, y) != 0) continue;
            const double dy = out.at(Chan_DisparityL_Y, x, y), dy0 = in.at(Chan_DisparityL_Y, x, y);
            sum += dy * dy;
            before += dy0 * dy0;
            ++n;
        }
    const double rms = std::sqrt(sum / n), rmsBefore = std::sqrt(before / n);
    std::printf("aligned disparity: vertical RMS before %.3f px, after %.4f px\n", rmsBefore, rms);
    EXPECT_GT(rmsBefore, 3.0);
    EXPECT_LT(rms, 0.1);
}
