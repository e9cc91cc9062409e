// The correction chain of one view on its own: the identity, a round trip through every
// rectilinear step, the positions of a row against those of its points, a latlong output whose
// projection fails keeping the point, and the areas of an absurd alignment held to half the int
// range.
#include "mwCorrectionChain.h"

#include <gtest/gtest.h>

#include <Eigen/LU>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

using namespace Marrow::Research;
using Eigen::Matrix3d;
using Eigen::Vector2d;
using Kx::Image::Box;
using Marrow::Vireon::VireonAlignmentSampler;

namespace {

// A sampler of a 200 x 100 box whose forward homography turns 2 degrees about (90, 40), moves
// 5 px up and scales by 1.01, with a skew of its top corners.
VireonAlignmentSampler turned(bool skew) {
    const double a = 2 * std::numbers::pi / 180, c = std::cos(a), s = std::sin(a);
    Matrix3d forward;
    forward << 1.01 * c, -1.01 * s, 90, 1.01 * s, 1.01 * c, 45, 0, 0, 1;
    Matrix3d toOrigin = Matrix3d::Identity();
    toOrigin(0, 2) = -90;
    toOrigin(1, 2) = -40;
    forward = forward * toOrigin;
    VireonAlignmentSampler sampler;
    sampler.setAlignmentTransform(
        skew ? VireonAlignmentSampler::kVerticalSkew : 0, forward.inverse(), forward,
        Eigen::Vector4d(0, 0, skew ? 101.5 : 100, skew ? 99 : 100), Box(0, 0, 200, 100));
    return sampler;
}

} // namespace

TEST(CorrectionChain, IdentityAndRoundTripThroughEveryRectilinearStep) {
    const CorrectionChain identity;
    for (const Vector2d& p : {Vector2d(0.5, 0.5), Vector2d(-30, 250), Vector2d(199.5, 99.5)}) {
        EXPECT_EQ(identity.toSource(p), p);
        EXPECT_EQ(identity.toOutput(p), p);
    }
    CorrectionChain::Steps steps;
    steps.align = steps.offsetOn = steps.scaleOn = true;
    steps.offset = -3.0f;
    steps.fitScale = 1.04f;
    for (bool skew : {false, true}) {
        SCOPED_TRACE(skew ? "with skew" : "homography alone");
        const CorrectionChain chain(turned(skew), SphericalTransform(), steps);
        for (const Vector2d& p : {Vector2d(10.5, 10.5), Vector2d(100, 50), Vector2d(190.5, 95.5)}) {
            // The skew's inverse is bilinear: exact along the box's left and right edges, within
            // a hundredth of a pixel inside it for a skew of a pixel and a half.
            EXPECT_LT((chain.toOutput(chain.toSource(p)) - p).norm(), skew ? 0.02 : 1e-9);
            EXPECT_LT((chain.toSource(chain.toOutput(p)) - p).norm(), skew ? 0.02 : 1e-9);
        }
    }
}

// A camera ten units from a sphere of radius 1 sees it only near its centre: the corner pixel's
// ray misses, and the output position keeps the aligned point rather than an undefined one.
TEST(CorrectionChain, FailedLatlongProjectionKeepsThePoint) {
    CameraDefinition camera;
    camera.setPosition(Eigen::Vector3d(0, 0, 10));
    camera.setFormatWidth(200);
    camera.setFormatHeight(100);
    SphericalTransform far(camera);
    far.setConvergenceDepth(1);
    const Vector2d corner(1, 1);
    Vector2d ideal(123, 456);
    ASSERT_FALSE(far.ProjectToIdeal(ideal, corner, PROJECTION_LATLONG));

    CorrectionChain::Steps steps;
    steps.align = steps.spherical = true;
    const CorrectionChain chain(turned(false), far, steps);
    EXPECT_EQ(chain.toOutput(corner), chain.align(corner));
}

namespace {

// toSourceRow() of rows in and beyond the box, from first columns that do and do not start a
// group of four, and of runs of columns around +-2^22 and 2^24, where a pixel centre's float
// loses its half and then its column, against toSource() of each pixel centre: the same floats
// to the bit.
void expectRowsAreThePoints(const CorrectionChain& chain) {
    std::vector<float> xs(240), ys(240);
    const std::pair<int, int> runs[] = {{-7, 213},
                                        {0, 213},
                                        {5, 213},
                                        {(1 << 22) - 101, (1 << 22) + 9},
                                        {(1 << 22) - 213, (1 << 22)},
                                        {-(1 << 22) - 7, -(1 << 22) + 201},
                                        {(1 << 24) - 50, (1 << 24) + 50}};
    for (int y : {-3, 0, 37, 99, 130})
        for (const auto& [x, r] : runs) {
            chain.toSourceRow(y, x, r, xs.data(), ys.data());
            for (int i = x; i < r; ++i) {
                const Vector2d p =
                    chain.toSource(Vector2d(double(float(i) + 0.5f), double(float(y) + 0.5f)));
                ASSERT_EQ(xs[size_t(i - x)], float(p.x())) << "column " << i << " row " << y;
                ASSERT_EQ(ys[size_t(i - x)], float(p.y())) << "column " << i << " row " << y;
            }
        }
}

} // namespace

// Every combination of the alignment, the zoom, the parallax offset and the skew: the row
// works out only the steps that apply, and takes the homography's products with the row's y
// once where no skew moves it.
TEST(CorrectionChain, RowPositionsAreThePointPositionsWithEveryStep) {
    for (bool skew : {false, true})
        for (int on = 0; on < 8; ++on) {
            CorrectionChain::Steps steps;
            steps.align = on & 1;
            steps.scaleOn = on & 2;
            steps.offsetOn = on & 4;
            steps.offset = 2.5f;
            steps.fitScale = 1.03f;
            SCOPED_TRACE(std::string(skew ? "skew" : "no skew") + (steps.align ? ", align" : "") +
                         (steps.scaleOn ? ", zoom" : "") + (steps.offsetOn ? ", offset" : ""));
            expectRowsAreThePoints(CorrectionChain(turned(skew), SphericalTransform(), steps));
        }
}

// A perspective whose weight x - 50.5 is 0 at the centre of column 50: that column keeps its
// position, its neighbours divide by weights close to 0.
TEST(CorrectionChain, RowPositionsWhereTheWeightIsZero) {
    Matrix3d vanishing;
    vanishing << 1, 0.02, 3, -0.01, 1, 2, 1, 0, -50.5;
    for (bool skew : {false, true}) {
        SCOPED_TRACE(skew ? "skew" : "no skew");
        VireonAlignmentSampler sampler;
        sampler.setAlignmentTransform(
            skew ? VireonAlignmentSampler::kVerticalSkew : 0, vanishing, vanishing.inverse(),
            Eigen::Vector4d(0, 0, skew ? 101.5 : 100, skew ? 99 : 100), Box(0, 0, 200, 100));
        CorrectionChain::Steps steps;
        steps.align = true;
        const CorrectionChain chain(sampler, SphericalTransform(), steps);
        expectRowsAreThePoints(chain);
        const Vector2d kept = chain.toSource(Vector2d(50.5, 37.5));
        EXPECT_EQ(kept.x(), 50.5);
        if (!skew) {
            EXPECT_EQ(kept.y(), 37.5);
        }
    }
}

// Homographies that throw the corners to 1e11, to infinity or to NaN give boxes at half the int
// range, so widths and one row in stay representable.
TEST(CorrectionChain, AbsurdAlignmentsGiveBoundedAreas) {
    const int reach = std::numeric_limits<int>::max() / 2;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double scale : {1e11, inf, nan}) {
        SCOPED_TRACE(scale);
        Matrix3d forward = Matrix3d::Identity();
        forward(0, 0) = forward(1, 1) = scale;
        VireonAlignmentSampler sampler;
        sampler.setAlignmentTransform(0, Matrix3d::Identity(), forward, Eigen::Vector4d(0, 0, 0, 0),
                                      Box(0, 0, 200, 100));
        CorrectionChain::Steps steps;
        steps.align = true;
        const CorrectionChain chain(sampler, SphericalTransform(), steps);
        const Box out = chain.outputArea(Box(-10, -10, 210, 110));
        EXPECT_GE(out.x(), -reach);
        EXPECT_GE(out.y(), -reach);
        EXPECT_LE(out.r(), reach);
        EXPECT_LE(out.t(), reach);
        EXPECT_LE(out.x(), out.r());
        EXPECT_EQ(out.clampy(std::numeric_limits<int>::max()),
                  out.t() > out.y() ? out.t() - 1 : out.y());
    }
}
