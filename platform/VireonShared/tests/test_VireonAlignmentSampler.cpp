#include <VireonShared/VireonAlignmentSampler.h>

#include <Eigen/LU>
#include <gtest/gtest.h>

using Marrow::Vireon::VireonAlignmentSampler;

namespace {

const Kx::Image::Box kBox(0, 0, 1920, 1080);

VireonAlignmentSampler skewed(const Eigen::Vector4d& corners) {
    VireonAlignmentSampler s;
    s.setAlignmentTransform(0x20, Eigen::Matrix3d::Identity(), Eigen::Matrix3d::Identity(), corners,
                            kBox);
    return s;
}

} // namespace

TEST(VireonAlignmentSampler, InverseSkewBringsForwardMappedCornersBackToTheBoxEdges) {
    const Eigen::Vector4d corners(3.5, -2.25, 1075.0, 1090.5);
    const VireonAlignmentSampler s = skewed(corners);
    const Eigen::Vector2d boxCorners[4] = {{0, 0}, {1920, 0}, {0, 1080}, {1920, 1080}};
    for (int k = 0; k < 4; ++k) {
        const Eigen::Vector2d out = s.toOutput(boxCorners[k]);
        EXPECT_NEAR(out.y(), corners[k], 1e-9);
        EXPECT_EQ(out.x(), boxCorners[k].x());
        const Eigen::Vector2d back = s.toSource(out);
        EXPECT_NEAR(back.y(), boxCorners[k].y(), 1e-9);
        EXPECT_EQ(back.x(), boxCorners[k].x());
    }
    // Along the left and right edges the skew is linear in y, so the inverse is exact there.
    for (double x : {0.0, 1920.0})
        for (double y : {17.0, 540.0, 1001.5})
            EXPECT_NEAR(s.toSource(s.toOutput({x, y})).y(), y, 1e-9);
    // Inside, the inverse is bilinear over the output box while the exact inverse is not: a
    // skew of a few pixels leaves an error far below a hundredth of a pixel.
    const VireonAlignmentSampler small = skewed({2.0, -1.0, 1079.0, 1083.0});
    for (double x : {100.0, 960.0, 1800.0})
        for (double y : {50.0, 540.0, 1000.0})
            EXPECT_NEAR(small.toSource(small.toOutput({x, y})).y(), y, 1e-2);
}

TEST(VireonAlignmentSampler, HomographiesActBeforeAndAfterTheSkew) {
    Eigen::Matrix3d forward;
    forward << 1, 0, 10, 0, 1, -4, 0, 0, 1;
    const Eigen::Matrix3d inverse = forward.inverse();
    VireonAlignmentSampler s;
    s.setAlignmentTransform(0x1F, inverse, forward, {5, 5, 1085, 1085}, kBox);
    // Without the skew option the corners are kept but not applied.
    EXPECT_EQ(s.toOutput({100, 100}), Eigen::Vector2d(110, 96));
    s.options |= VireonAlignmentSampler::kVerticalSkew;
    EXPECT_LT((s.toOutput({100, 100}) - Eigen::Vector2d(110, 101)).norm(), 1e-12);
    EXPECT_LT((s.toSource(s.toOutput({100, 100})) - Eigen::Vector2d(100, 100)).norm(), 1e-9);
    // Where a homography gives a point weight 0, the point is left unchanged.
    Eigen::Matrix3d m;
    m << 1, 0, 0, 0, 1, 0, 1, 0, -100; // weight 0 at x = 100
    s.setAlignmentTransform(0, m, m, {0, 0, 1080, 1080}, kBox);
    EXPECT_EQ(s.toOutput({100, 7}), Eigen::Vector2d(100, 7));
}

TEST(VireonAlignmentSampler, IdentityOrDegenerateCornersGiveNoSkew) {
    const VireonAlignmentSampler s = skewed({0, 0, 1080, 1080});
    EXPECT_EQ(s.forwardSkewCorners, Eigen::Vector4d::Zero());
    EXPECT_EQ(s.inverseSkewCorners, Eigen::Vector4d::Zero());
    EXPECT_EQ(s.toSource({123.5, 456.5}), Eigen::Vector2d(123.5, 456.5));
    // A left edge collapsed onto one row cannot be undone.
    EXPECT_EQ(skewed({500, 0, 500, 1080}).inverseSkewCorners, Eigen::Vector4d::Zero());
    EXPECT_EQ(skewed({NAN, 0, 1080, 1080}).forwardSkewCorners, Eigen::Vector4d::Zero());
}

TEST(VireonAlignmentSampler, ResetEmptiesEveryMember) {
    VireonAlignmentSampler s = skewed({1, 2, 1070, 1090});
    s.reset();
    EXPECT_EQ(s.options, 0);
    EXPECT_TRUE(s.getFormat().empty());
    EXPECT_EQ(s.forwardHomography, Eigen::Matrix3d::Identity());
    EXPECT_EQ(s.inverseHomography, Eigen::Matrix3d::Identity());
    EXPECT_EQ(s.forwardSkewCorners, Eigen::Vector4d::Zero());
    EXPECT_EQ(s.inverseSkewCorners, Eigen::Vector4d::Zero());
}
