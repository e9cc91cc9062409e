// The alignment model and the solver: composition of the homography, presets, blending, and
// the fits recovering known misalignments from exact matches of a synthetic rig.
#include "SolverTestRig.h"
#include "mwAlignmentModel.h"
#include "mwAlignmentSolver.h"

#include "Quorvane/CameraDefinition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

using namespace Marrow::Research;
using namespace Marrow::Research::SolverTest;
namespace Vireon = Marrow::Vireon;
using Eigen::Matrix3d;
using Eigen::Vector2d;

namespace {

// RMS of the vertical disparity left after each view's correction (homography and skew).
double residualRms(const AlignmentSettings& s, const SolvedKey& k, const MatchedPairs& pairs) {
    Vireon::VireonAlignmentSampler l, r;
    handToSampler(s, k.left, composeHomography(s, k.left), l);
    handToSampler(s, k.right, composeHomography(s, k.right), r);
    double sum = 0;
    for (const auto& p : pairs) {
        const double d = l.toOutput(p.first).y() - r.toOutput(p.second).y();
        sum += d * d;
    }
    return std::sqrt(sum / double(pairs.size()));
}

double rawRms(const MatchedPairs& pairs) {
    double sum = 0;
    for (const auto& p : pairs) sum += std::pow(p.first.y() - p.second.y(), 2);
    return std::sqrt(sum / double(pairs.size()));
}

} // namespace

TEST(AlignmentModel, CompositionEdgeCases) {
    const AlignmentSettings none = settings(0);
    ViewAlignment r = initViewAlignment(none);
    EXPECT_EQ(r.skewCorners, Eigen::Vector4d(0, 0, 1080, 1080));
    r.scale = 3; // ignored without the option
    const Matrix3d H = composeHomography(none, r);
    EXPECT_NEAR(H(0, 0), 1 / std::sqrt(3.0), 1e-15);
    EXPECT_NEAR((H - Matrix3d::Identity() / std::sqrt(3.0)).norm(), 0, 1e-15);

    // A rotation about the box centre keeps the centre; moving the pivot only moves rows.
    const AlignmentSettings rot = settings(0x8);
    ViewAlignment a = initViewAlignment(rot);
    a.angle = 0.1;
    const Vector2d centre(960, 540);
    EXPECT_LT((applyHomography(composeHomography(rot, a), centre) - centre).norm(), 1e-9);
    ViewAlignment b = a;
    b.pivot = Vector2d(100, 700);
    const Matrix3d Ha = composeHomography(rot, a) / composeHomography(rot, a)(2, 2);
    const Matrix3d Hb = composeHomography(rot, b) / composeHomography(rot, b)(2, 2);
    EXPECT_NEAR(Ha(0, 2), Hb(0, 2), 1e-9);
    EXPECT_GT(std::abs(Ha(1, 2) - Hb(1, 2)), 1);

    // A non-finite record becomes the identity.
    ViewAlignment bad = initViewAlignment(settings(0x2));
    bad.scale = std::numeric_limits<double>::infinity();
    EXPECT_EQ(composeHomography(settings(0x2), bad), Matrix3d::Identity());
}

TEST(AlignmentModel, PairsBlendingAndPresets) {
    Matrix3d zeroWeight = Matrix3d::Zero();
    MatchedPairs pairs(1);
    pairs[0].first = Vector2d(3, 4);
    pairs[0].second = Vector2d(5, 6);
    pairs[0].priority = true;
    const MatchedPairs moved = transformPairs(pairs, zeroWeight, Matrix3d::Identity() * 2);
    EXPECT_EQ(moved[0].first, Vector2d(3, 4));
    EXPECT_EQ(moved[0].second, Vector2d(5, 6));
    EXPECT_TRUE(moved[0].priority);

    ViewAlignment a = initViewAlignment(settings(0x3F)), b = a;
    b.scale = 2;
    b.perspective(2, 0) = 1e-3;
    const ViewAlignment at0 = blendViewAlignment(a, b, 0);
    EXPECT_EQ(at0.scale, a.scale);
    EXPECT_EQ(at0.perspective, a.perspective);
    EXPECT_DOUBLE_EQ(blendViewAlignment(a, b, 0.25).scale, 1.25);
    EXPECT_DOUBLE_EQ(blendViewAlignment(a, b, 0.5).perspective(2, 0), 5e-4);

    EXPECT_EQ(presetOfOptions(0x2 | 0x4 | 0x8), 1);
    EXPECT_EQ(presetOfOptions(0x1), 2);
    EXPECT_EQ(presetOfOptions(0x20), 3);
    EXPECT_EQ(presetOfOptions(0x3E), 4);
    EXPECT_EQ(presetOfOptions(0x2 | 0x4 | 0x8 | 0x10), 0);
}

TEST(AlignmentSolver, NoOptionsLeaveBothViewsUntouched) {
    CameraDefinition l = camera(-0.05), r = camera(0.05);
    const AlignmentSettings s = settings(0);
    const SolvedKey k = solveKey(s, pairsOf(l, r), l, r);
    EXPECT_EQ(k.left.cameraHomography, Matrix3d::Identity());
    EXPECT_EQ(k.right.skewCorners, Eigen::Vector4d(0, 0, 1080, 1080));
}

TEST(AlignmentSolver, BothViewsMeetHalfWay) {
    CameraDefinition l = camera(-0.05), r = camera(0.05);
    r.setCentreShift(Vector2d(0, 8.0 / 960)); // the right image 8 px up
    const MatchedPairs pairs = pairsOf(l, r);
    const AlignmentSettings s = settings(0x4);
    const SolvedKey k = solveKey(s, pairs, l, r);
    EXPECT_NEAR(k.left.shift, -4, 1e-9);
    EXPECT_NEAR(k.right.shift, 4, 1e-9);
    EXPECT_LT(residualRms(s, k, pairs), 1e-9);
    // One view only: it moves all the way and the other keeps its geometry.
    const AlignmentSettings one = settings(0x4, 2);
    const SolvedKey k1 = solveKey(one, pairs, l, r);
    EXPECT_EQ(k1.left.shift, 0);
    EXPECT_NEAR(k1.right.shift, 8, 1e-9);
}

TEST(AlignmentSolver, DegenerateScaleGivesTheIdentity) {
    // Rows of a power of two stay exact through the normalised homography of the solve.
    MatchedPairs flat(10);
    for (int i = 0; i < 10; ++i) {
        flat[size_t(i)].first = Vector2d(128 * i, 512);
        flat[size_t(i)].second = Vector2d(128 * i + 4, 512 + i);
    }
    CameraDefinition l = camera(-0.05), r = camera(0.05);
    const AlignmentSettings s = settings(0x2);
    const SolvedKey k = solveKey(s, flat, l, r);
    EXPECT_FALSE(std::isfinite(k.left.scale));
    EXPECT_EQ(composeHomography(s, k.left), Matrix3d::Identity());
}

TEST(AlignmentSolver, SkewOfAlignedPairsIsNoSkew) {
    CameraDefinition l = camera(-0.05), r = camera(0.05);
    const MatchedPairs pairs = pairsOf(l, r, 50);
    const AlignmentSettings s = settings(0x20);
    const SolvedKey k = solveKey(s, pairs, l, r);
    EXPECT_LT((k.left.skewCorners - Eigen::Vector4d(0, 0, 1080, 1080)).norm(), 1e-6);
}

// Each misalignment of the right camera against the preset meant for it: the vertical
// disparity of exact matches drops to a small fraction of a pixel. A tilt leaves more: the
// perspective warp keeps every point's column, so the projective compression of the rows
// that a tilt brings (about y²·θ/f, 1.4 px at the corners of this 40° lens) is only
// partly undone; the residual stays near a quarter of a pixel.
TEST(AlignmentSolver, RecoversKnownMisalignments) {
    struct Case {
        const char* name;
        int options;
        double roll, tilt, focalRatio, shift;
        double bound;
    };
    const int transform = 0x2 | 0x4 | 0x8, full = 0x3E;
    const Case cases[] = {
        {"shift 8 px", transform, 0, 0, 1, 8, 1e-6},
        {"roll 1 degree", transform, 1, 0, 1, 0, 0.05},
        {"focal ratio 1.02", transform, 0, 0, 1.02, 0, 1e-6},
        {"tilt 0.5 degree", full, 0, 0.5, 1, 0, 0.27},
        {"all four", full, 1, 0.5, 1.02, 8, 0.27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CameraDefinition l = camera(-0.05), r = camera(0.05);
        // Known roll is compensated from the camera itself, so the solver must find it from
        // the matches: the metadata cameras here carry no rotation.
        CameraDefinition truth = r;
        truth.setRotation(Eigen::Vector3d(c.tilt, 0, c.roll));
        truth.setFocalLength(35 * c.focalRatio);
        truth.setCentreShift(Vector2d(0, c.shift / 960));
        const MatchedPairs pairs = pairsOf(l, truth);
        const AlignmentSettings s = settings(c.options);
        const SolvedKey k = solveKey(s, pairs, l, r);
        EXPECT_GT(rawRms(pairs), 1.0);
        const double after = residualRms(s, k, pairs);
        std::printf("%-18s before %7.3f px  after %.4f px\n", c.name, rawRms(pairs), after);
        EXPECT_LT(after, c.bound);
    }
}
