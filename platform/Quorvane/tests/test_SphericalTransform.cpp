#include <Quorvane/SphericalTransform.h>

#include <gtest/gtest.h>

using namespace Marrow::Research;

namespace {

// The left camera of a small parallel rig, turned a little, inside a sphere of radius 8.
CameraDefinition leftCamera() {
    CameraDefinition c;
    c.setPosition({-0.0325, 0.01, 0.02});
    c.setRotation({2.0, -3.0, 1.5});
    c.setFormatWidth(1024);
    c.setFormatHeight(768);
    c.setCentreShift({0.01, -0.02});
    return c;
}

SphericalTransform transformOf(const CameraDefinition& c, double depth = 8.0) {
    SphericalTransform t(c);
    t.setOutputImageSize(2048, 1024);
    t.setConvergenceDepth(depth);
    return t;
}

} // namespace

TEST(SphericalTransform, RoundTripGivesBackEveryPixelOfTheFrame) {
    for (ProjectionTypeEnum type : {PROJECTION_LATLONG, PROJECTION_PERSPECTIVE}) {
        const SphericalTransform t = transformOf(leftCamera());
        double worst = 0.0;
        for (int j = 0; j < 768; ++j)
            for (int i = 0; i < 1024; ++i) {
                const Eigen::Vector2d p(i + 0.5, j + 0.5);
                Eigen::Vector2d ideal, back;
                ASSERT_TRUE(t.ProjectToIdeal(ideal, p, type)) << i << ", " << j;
                ASSERT_TRUE(t.ProjectFromIdeal(back, ideal, type)) << i << ", " << j;
                worst = std::max(worst, (back - p).norm());
            }
        EXPECT_LT(worst, 1e-6) << "type " << type;
    }
}

TEST(SphericalTransform, PointsAtTheConvergenceDepthHaveNoDisparityAndAxesFollowTheWorld) {
    CameraDefinition left = leftCamera(), right = leftCamera();
    left.setRotation({0, 0, 0});
    right.setRotation({0, 0, 0});
    right.setPosition({0.0325, 0.01, 0.02});
    const SphericalTransform tl = transformOf(left), tr = transformOf(right);
    const Eigen::Vector3d onSphere = 8.0 * Eigen::Vector3d(0.2, -0.1, -1.0).normalized();
    Eigen::Vector2d pl, pr, il, ir;
    ASSERT_TRUE(left.projectToPixel(onSphere, pl));
    ASSERT_TRUE(right.projectToPixel(onSphere, pr));
    ASSERT_TRUE(tl.ProjectToIdeal(il, pl, PROJECTION_LATLONG));
    ASSERT_TRUE(tr.ProjectToIdeal(ir, pr, PROJECTION_LATLONG));
    EXPECT_GT((pl - pr).norm(), 1.0);
    EXPECT_LT((il - ir).norm(), 1e-9);
    // The latlong's axes follow the world's.
    CameraDefinition c;
    c.setFormatWidth(1000);
    c.setFormatHeight(1000);
    const SphericalTransform t = transformOf(c, 5.0);
    Eigen::Vector2d ideal;
    ASSERT_TRUE(t.ProjectToIdeal(ideal, {500, 500}, PROJECTION_LATLONG));
    EXPECT_LT((ideal - Eigen::Vector2d(1024, 512)).norm(), 1e-9); // straight ahead: the centre
    ASSERT_TRUE(t.ProjectToIdeal(ideal, {900, 900}, PROJECTION_LATLONG));
    EXPECT_GT(ideal.x(), 1024); // right and up in the camera is right and up in the latlong
    EXPECT_GT(ideal.y(), 512);
}

// Rays that miss the sphere, positions behind the camera and a sphere of no size give no
// position, and leave the output as it was.
TEST(SphericalTransform, WhatCannotBeProjectedFails) {
    // A camera outside the sphere, looking away from it.
    CameraDefinition away;
    away.setPosition({0, 0, 20});
    away.setRotation({0, 180, 0});
    Eigen::Vector2d out(-7, -7);
    EXPECT_FALSE(transformOf(away, 5.0).ProjectToIdeal(out, {960, 540}, PROJECTION_LATLONG));
    EXPECT_FALSE(transformOf(away, 5.0).ProjectToIdeal(out, {0.5, 0.5}, PROJECTION_PERSPECTIVE));
    EXPECT_EQ(out, Eigen::Vector2d(-7, -7));
    // Outside the sphere, looking at it: the centre pixel hits, the corner misses.
    CameraDefinition towards;
    towards.setPosition({0, 0, 20});
    EXPECT_TRUE(transformOf(towards, 1.0).ProjectToIdeal(out, {960, 540}, PROJECTION_LATLONG));
    EXPECT_FALSE(transformOf(towards, 1.0).ProjectToIdeal(out, {0.5, 0.5}, PROJECTION_LATLONG));
    // Longitude 180°: straight behind a camera looking down -z.
    EXPECT_FALSE(transformOf(leftCamera()).ProjectFromIdeal(out, {1.0, 512.0}, PROJECTION_LATLONG));
    const SphericalTransform flat = transformOf(leftCamera(), 0.0);
    EXPECT_FALSE(flat.ProjectToIdeal(out, {512, 384}, PROJECTION_LATLONG));
    EXPECT_FALSE(flat.ProjectFromIdeal(out, {1024, 512}, PROJECTION_LATLONG));
}
