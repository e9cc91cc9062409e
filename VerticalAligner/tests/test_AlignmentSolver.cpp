// The alignment model and the solver: composition of the homography, presets, blending, the
// fits recovering known misalignments from exact matches of a synthetic rig, and the edge
// cases of one key's solve (alignment space, priority pairs, the least number of pairs, the
// inset of the corner pins).
#include "mwAlignmentModel.h"
#include "mwAlignmentSolver.h"
#include "mwAnalysisRunner.h"

#include "Quorvane/CameraDefinition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

using namespace Marrow::Research;
namespace Vireon = Marrow::Vireon;
using Eigen::Matrix3d;
using Eigen::Vector2d;

namespace {

// A 1920 x 1080 solve converging at 8 units.
AlignmentSettings settings(int options, int alignWhat = 0, bool spherical = false) {
    AlignmentSettings s;
    s.options = options;
    s.alignWhat = alignWhat;
    s.spherical = spherical;
    s.box = Kx::Image::Box(0, 0, 1920, 1080);
    s.convergenceDepth = 8;
    return s;
}

// A camera of the test rig placed along the baseline.
CameraDefinition camera(double x) {
    CameraDefinition c;
    c.setPosition(Eigen::Vector3d(x, 0, 0));
    return c;
}

// Exact pairs of scene points between 8 and 40 units away, seen by two cameras.
MatchedPairs pairsOf(const CameraDefinition& left, const CameraDefinition& right, int n = 400,
                     unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.05, 0.95), depth(8, 40);
    MatchedPairs pairs;
    while (int(pairs.size()) < n) {
        const Vector2d pixel(u(rng) * left.getFormatWidth(), u(rng) * left.getFormatHeight());
        const Eigen::Vector3d point = left.getPosition() + left.pixelToRay(pixel) * depth(rng);
        Vireon::MatchedFeaturePair p;
        if (!left.projectToPixel(point, p.first) || !right.projectToPixel(point, p.second))
            continue;
        pairs.push_back(p);
    }
    return pairs;
}

// The solve on copies of the cameras (the solve may turn them).
SolvedKey solve(const AlignmentSettings& s, const MatchedPairs& pairs, CameraDefinition l,
                CameraDefinition r) {
    return solveKey(s, pairs, l, r);
}

// RMS of the vertical disparity of the pairs, as they are or after each view's correction
// (homography and skew) of a solved key.
double verticalRms(const MatchedPairs& pairs, const AlignmentSettings* s = nullptr,
                   const SolvedKey* k = nullptr) {
    Vireon::VireonAlignmentSampler l, r;
    if (k) {
        handToSampler(*s, k->left, composeHomography(*s, k->left), l);
        handToSampler(*s, k->right, composeHomography(*s, k->right), r);
    }
    double sum = 0;
    for (const auto& p : pairs) {
        const double d =
            k ? l.toOutput(p.first).y() - r.toOutput(p.second).y() : p.first.y() - p.second.y();
        sum += d * d;
    }
    return std::sqrt(sum / double(pairs.size()));
}

const CameraDefinition kLeft = camera(-0.05), kRight = camera(0.05);

} // namespace

TEST(AlignmentModel, CompositionEdgeCases) {
    const AlignmentSettings none = settings(0);
    ViewAlignment r = initViewAlignment(none);
    EXPECT_EQ(r.skewCorners, Eigen::Vector4d(0, 0, 1080, 1080));
    r.scale = 3; // ignored without the option
    EXPECT_NEAR((composeHomography(none, r) - Matrix3d::Identity() / std::sqrt(3.0)).norm(), 0,
                1e-15);

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
    MatchedPairs pairs(1);
    pairs[0].first = Vector2d(3, 4);
    pairs[0].second = Vector2d(5, 6);
    pairs[0].priority = true;
    const MatchedPairs moved = transformPairs(pairs, Matrix3d::Zero(), Matrix3d::Identity() * 2);
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

// Without options, or with the skew asked of pairs already aligned, the views keep their
// geometry.
// The pseudo-inverse meets the four conditions that define it, for tall matrices (a solve's
// row per match), wide ones, and those with an unknown that no row constrains.
TEST(AlignmentModel, PseudoInverseOfEveryShapeAndRank) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    auto randomMatrix = [&](Eigen::Index rows, Eigen::Index cols) {
        Eigen::MatrixXd m(rows, cols);
        for (Eigen::Index i = 0; i < m.size(); ++i) m.data()[i] = uniform(random);
        return m;
    };
    Eigen::MatrixXd noShift = randomMatrix(40, 5);
    noShift.col(2).setZero();
    const std::pair<const char*, Eigen::MatrixXd> cases[] = {{"tall", randomMatrix(500, 9)},
                                                             {"wide", randomMatrix(3, 7)},
                                                             {"square", randomMatrix(3, 3)},
                                                             {"a zero column", noShift},
                                                             {"zero", Eigen::MatrixXd::Zero(6, 4)}};
    for (const auto& [name, a] : cases) {
        SCOPED_TRACE(name);
        const Eigen::MatrixXd p = pseudoInverse(a);
        ASSERT_EQ(p.rows(), a.cols());
        ASSERT_EQ(p.cols(), a.rows());
        // Products of unit-sized entries over at most 500 terms: a few hundred ulps.
        const double tolerance = 1e-12;
        EXPECT_LE((a * p * a - a).norm(), tolerance * (1 + a.norm()));
        EXPECT_LE((p * a * p - p).norm(), tolerance * (1 + p.norm()));
        EXPECT_LE(((a * p).transpose() - a * p).norm(), tolerance);
        EXPECT_LE(((p * a).transpose() - p * a).norm(), tolerance);
    }
}

TEST(AlignmentSolver, AlignedOrUnaskedViewsStayUntouched) {
    const SolvedKey k = solve(settings(0), pairsOf(kLeft, kRight), kLeft, kRight);
    EXPECT_EQ(k.left.cameraHomography, Matrix3d::Identity());
    EXPECT_EQ(k.right.skewCorners, Eigen::Vector4d(0, 0, 1080, 1080));
    const SolvedKey skew = solve(settings(0x20), pairsOf(kLeft, kRight, 50), kLeft, kRight);
    EXPECT_LT((skew.left.skewCorners - Eigen::Vector4d(0, 0, 1080, 1080)).norm(), 1e-6);
}

TEST(AlignmentSolver, BothViewsMeetHalfWay) {
    CameraDefinition r = kRight;
    r.setCentreShift(Vector2d(0, 8.0 / 960)); // the right image 8 px up
    const MatchedPairs pairs = pairsOf(kLeft, r);
    const AlignmentSettings s = settings(0x4);
    const SolvedKey k = solve(s, pairs, kLeft, r);
    EXPECT_NEAR(k.left.shift, -4, 1e-9);
    EXPECT_NEAR(k.right.shift, 4, 1e-9);
    EXPECT_LT(verticalRms(pairs, &s, &k), 1e-9);
    // One view only: it moves all the way and the other keeps its geometry.
    const SolvedKey k1 = solve(settings(0x4, 2), pairs, kLeft, r);
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
    const SolvedKey k = solve(settings(0x2), flat, kLeft, kRight);
    EXPECT_FALSE(std::isfinite(k.left.scale));
    EXPECT_EQ(composeHomography(settings(0x2), k.left), Matrix3d::Identity());
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
        // Known roll is compensated from the camera itself, so the solver must find it from
        // the matches: the metadata cameras here carry no rotation.
        CameraDefinition truth = kRight;
        truth.setRotation(Eigen::Vector3d(c.tilt, 0, c.roll));
        truth.setFocalLength(35 * c.focalRatio);
        truth.setCentreShift(Vector2d(0, c.shift / 960));
        const MatchedPairs pairs = pairsOf(kLeft, truth);
        const AlignmentSettings s = settings(c.options);
        const SolvedKey k = solve(s, pairs, kLeft, kRight);
        const double before = verticalRms(pairs), after = verticalRms(pairs, &s, &k);
        std::printf("%-18s before %7.3f px  after %.4f px\n", c.name, before, after);
        EXPECT_GT(before, 1.0);
        EXPECT_LT(after, c.bound);
    }
}

// The right camera is tilted and its metadata says so. In Rectilinear space "Match Camera"
// turns it to the left one's orientation; in Spherical space the projection of each camera
// takes care of its orientation, so the camera correction is skipped and the cameras stay.
TEST(SolverEdgeCases, CameraCorrectionOnlyInRectilinearSpace) {
    CameraDefinition right = kRight;
    right.setRotation(Eigen::Vector3d(0.5, 0, 0));
    const MatchedPairs pairs = pairsOf(kLeft, right, 100, 11);
    for (bool spherical : {false, true}) {
        CameraDefinition l = kLeft, r = right;
        const SolvedKey k = solveKey(settings(0x1, 2, spherical), pairs, l, r);
        const Matrix3d H = k.right.cameraHomography / k.right.cameraHomography(2, 2);
        if (spherical) {
            EXPECT_EQ(k.right.cameraHomography, Matrix3d::Identity());
            EXPECT_EQ(k.left.cameraHomography, Matrix3d::Identity());
            EXPECT_EQ(r, right);
        } else {
            EXPECT_GT((H - Matrix3d::Identity()).norm(), 1e-3);
            EXPECT_NEAR((r.getRotation() - kLeft.getRotation()).norm(), 0, 1e-5);
        }
    }
}

// The right image sits 8 px higher and its camera's centre shift says so. In Rectilinear
// space the shift fit moves it down all 8 px; in Spherical space each partner point is
// carried through the projections of both cameras, which already account for the shift, so
// nothing is left to move.
TEST(SolverEdgeCases, SphericalSpaceCarriesPartnerPointsThroughBothCameras) {
    CameraDefinition right = kRight;
    right.setCentreShift(Vector2d(0, -2.0 * 8 / 1920));
    const MatchedPairs pairs = pairsOf(kLeft, right, 100, 11);
    ASSERT_NEAR(pairs[0].second.y() - pairs[0].first.y(), 8, 1e-9);
    EXPECT_NEAR(solve(settings(0x4, 2, false), pairs, kLeft, right).right.shift, -8, 1e-9);
    EXPECT_NEAR(solve(settings(0x4, 2, true), pairs, kLeft, right).right.shift, 0, 1e-6);
    // Both views, Spherical: the left view's partner points are carried the other way.
    const SolvedKey both = solve(settings(0x4, 0, true), pairs, kLeft, right);
    EXPECT_NEAR(both.left.shift, 0, 1e-6);
    EXPECT_NEAR(both.right.shift, 0, 1e-6);
}

// A pair marked priority weighs 250 against 1 for the others; three pairs cannot fix a
// perspective warp (the view keeps the identity), four can.
TEST(SolverEdgeCases, PriorityPairsAndTheLeastPairsForPerspective) {
    MatchedPairs two(2);
    two[0].first = Vector2d(100, 500);
    two[0].second = Vector2d(90, 510);
    two[0].priority = true;
    two[1].first = Vector2d(1500, 300);
    two[1].second = Vector2d(1490, 300);
    EXPECT_NEAR(solve(settings(0x4, 2), two, kLeft, kRight).right.shift, -10.0 * 250 / 251, 1e-9);

    CameraDefinition right = kRight;
    right.setRotation(Eigen::Vector3d(0.5, 0, 0));
    const MatchedPairs four = pairsOf(kLeft, right, 4, 11);
    const MatchedPairs three(four.begin(), four.begin() + 3);
    EXPECT_EQ(solve(settings(0x10, 2), three, kLeft, right).right.perspective,
              Matrix3d::Identity());
    EXPECT_NE(solve(settings(0x10, 2), four, kLeft, right).right.perspective, Matrix3d::Identity());
}

// The corner pins sit ceil(W · 0.005) · 10 pixels inside the format.
TEST(SolverEdgeCases, InsetOfTheCornerPins) {
    using Kx::Image::Box;
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 1920, 1080)), Box(100, 100, 1820, 980));
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 2048, 1080)), Box(110, 110, 1938, 970));
    EXPECT_EQ(AnalysisRunner::insetBox(Box(0, 0, 2000, 1000)), Box(100, 100, 1900, 900));
}
