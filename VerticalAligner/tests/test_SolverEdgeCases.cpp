// Edge cases of the solve of one key: what the alignment space changes, the weight of
// priority pairs, the least number of pairs for a perspective warp, and the inset of the
// corner pins that Analyse Sequence writes.
#include "SolverTestRig.h"
#include "mwAlignmentSolver.h"
#include "mwAnalysisRunner.h"

#include "Quorvane/CameraDefinition.h"

#include <gtest/gtest.h>

using namespace Marrow::Research;
using namespace Marrow::Research::SolverTest;
using Eigen::Matrix3d;
using Eigen::Vector2d;

// The right camera is tilted and its metadata says so. In Rectilinear space "Match Camera"
// turns it to the left one's orientation; in Spherical space the projection of each camera
// takes care of its orientation, so the camera correction is skipped and the cameras stay.
TEST(SolverEdgeCases, CameraCorrectionOnlyInRectilinearSpace) {
    const CameraDefinition left = camera(-0.05);
    CameraDefinition right = camera(0.05);
    right.setRotation(Eigen::Vector3d(0.5, 0, 0));
    const MatchedPairs pairs = pairsOf(left, right, 100, 11);

    CameraDefinition l = left, r = right;
    const SolvedKey flat = solveKey(settings(0x1, 2, false), pairs, l, r);
    EXPECT_GT(
        (flat.right.cameraHomography / flat.right.cameraHomography(2, 2) - Matrix3d::Identity())
            .norm(),
        1e-3);
    EXPECT_NEAR((r.getRotation() - left.getRotation()).norm(), 0, 1e-5);

    l = left, r = right;
    const SolvedKey round = solveKey(settings(0x1, 2, true), pairs, l, r);
    EXPECT_EQ(round.right.cameraHomography, Matrix3d::Identity());
    EXPECT_EQ(round.left.cameraHomography, Matrix3d::Identity());
    EXPECT_EQ(r, right);
}

// The right image sits 8 px higher and its camera's centre shift says so. In Rectilinear
// space the shift fit moves it down all 8 px; in Spherical space each partner point is
// carried through the projections of both cameras, which already account for the shift, so
// nothing is left to move.
TEST(SolverEdgeCases, SphericalSpaceCarriesPartnerPointsThroughBothCameras) {
    const CameraDefinition left = camera(-0.05);
    CameraDefinition right = camera(0.05);
    right.setCentreShift(Vector2d(0, -2.0 * 8 / 1920));
    const MatchedPairs pairs = pairsOf(left, right, 100, 11);
    ASSERT_NEAR(pairs[0].second.y() - pairs[0].first.y(), 8, 1e-9);

    CameraDefinition l = left, r = right;
    EXPECT_NEAR(solveKey(settings(0x4, 2, false), pairs, l, r).right.shift, -8, 1e-9);
    l = left, r = right;
    EXPECT_NEAR(solveKey(settings(0x4, 2, true), pairs, l, r).right.shift, 0, 1e-6);
    // Both views, Spherical: the left view's partner points are carried the other way.
    l = left, r = right;
    const SolvedKey both = solveKey(settings(0x4, 0, true), pairs, l, r);
    EXPECT_NEAR(both.left.shift, 0, 1e-6);
    EXPECT_NEAR(both.right.shift, 0, 1e-6);
}

// A pair marked priority weighs 250 against 1 for the others.
TEST(SolverEdgeCases, PriorityPairsWeigh250) {
    MatchedPairs pairs(2);
    pairs[0].first = Vector2d(100, 500);
    pairs[0].second = Vector2d(90, 510);
    pairs[0].priority = true;
    pairs[1].first = Vector2d(1500, 300);
    pairs[1].second = Vector2d(1490, 300);
    CameraDefinition l = camera(-0.05), r = camera(0.05);
    const SolvedKey k = solveKey(settings(0x4, 2, false), pairs, l, r);
    EXPECT_NEAR(k.right.shift, -10.0 * 250 / 251, 1e-9);
}

// Three pairs cannot fix a perspective warp: the view keeps the identity; four can.
TEST(SolverEdgeCases, PerspectiveNeedsFourPairs) {
    const CameraDefinition left = camera(-0.05);
    CameraDefinition right = camera(0.05);
    right.setRotation(Eigen::Vector3d(0.5, 0, 0));
    const MatchedPairs all = pairsOf(left, right, 4, 11);
    CameraDefinition l = left, r = right;
    const MatchedPairs three(all.begin(), all.begin() + 3);
    EXPECT_EQ(solveKey(settings(0x10, 2, false), three, l, r).right.perspective,
              Matrix3d::Identity());
    l = left, r = right;
    EXPECT_NE(solveKey(settings(0x10, 2, false), all, l, r).right.perspective,
              Matrix3d::Identity());
}

// The corner pins sit ceil(W · 0.005) · 10 pixels inside the format.
TEST(SolverEdgeCases, InsetOfTheCornerPins) {
    using Kx::Image::Box;
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 1920, 1080)), Box(100, 100, 1820, 980));
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 2048, 1080)), Box(110, 110, 1938, 970));
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 2000, 1000)), Box(100, 100, 1900, 900));
}
