#include <Quorvane/CameraDefinition.h>

#include <Eigen/Geometry>

#include <Kx/Image/Matrix.h>
#include <gtest/gtest.h>

#include <numbers>

using namespace Marrow::Research;

namespace {

constexpr double kRad = std::numbers::pi / 180.0;

CameraDefinition oddCamera() {
    CameraDefinition c;
    c.setPosition({0.4, -1.2, 3.5});
    c.setRotation({12.0, -35.0, 7.5});
    c.setFocalLength(28.0);
    c.setSensorSize({24.9, 18.7});
    c.setCentreShift({0.03, -0.02});
    c.setFormatWidth(2048);
    c.setFormatHeight(1080);
    c.setPixelAspect(1.25);
    return c;
}

} // namespace

TEST(CameraDefinition, EulerAnglesSurviveAWorldToCameraRotation) {
    for (const Eigen::Vector3d& angles :
         {Eigen::Vector3d(10, 20, 30), Eigen::Vector3d(-80, 170, -5), Eigen::Vector3d(0, 0, 0),
          Eigen::Vector3d(45, -120, 179)}) {
        CameraDefinition a, b;
        a.setRotation(angles);
        b.setRotationFromExtrinsics(a.getWorldToCameraRotation());
        EXPECT_LT((b.getRotation() - angles).norm(), 1e-9) << angles.transpose();
    }
    // In gimbal lock the rotation is kept, with zero roll.
    CameraDefinition a, b;
    a.setRotation({90.0, 30.0, 20.0});
    b.setRotationFromExtrinsics(a.getWorldToCameraRotation());
    EXPECT_DOUBLE_EQ(b.getRotation().z(), 0.0);
    EXPECT_LT((b.getWorldToCameraRotation() - a.getWorldToCameraRotation()).norm(), 1e-9);
}

TEST(CameraDefinition, TransformOrderIsTheHostsTranslateRotateYXZ) {
    const CameraDefinition c = oddCamera();
    const Eigen::Vector3d r = c.getRotation() * kRad;
    Kx::Image::Matrix4 m;
    m.translate(float(c.getPosition().x()), float(c.getPosition().y()), float(c.getPosition().z()));
    m.rotateY(float(r.y())).rotateX(float(r.x())).rotateZ(float(r.z()));
    const Eigen::Matrix4d e = c.getCameraToWorld();
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(e(i, j), m.m[i][j], 1e-6); // single precision
}

// The intrinsics the aligner computes from the host's lens matrix: translate(-shift) ·
// projection(focal / sensor width), rows 0, 1, 3 and columns 0, 1, 2, row 1 times
// pixelAspect · W / H, then [[W/2, 0, W/2], [0, H/2, H/2], [0, 0, 1]] in front.
TEST(CameraDefinition, IntrinsicsAgreeWithTheHostLensMatrix) {
    const CameraDefinition c = oddCamera();
    const double w = c.getFormatWidth(), h = c.getFormatHeight();
    Kx::Image::Matrix4 m;
    m.translate(float(-c.getCentreShift().x()), float(-c.getCentreShift().y()), 0);
    m.projection(float(c.getFocalLength() / c.getSensorSize().x()), 0.01f, 100.0f, true);
    Eigen::Matrix3d n;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) n(i, j) = m.m[i == 2 ? 3 : i][j];
    n.row(1) *= c.getPixelAspect() * w / h;
    Eigen::Matrix3d v;
    v << w / 2, 0, w / 2, 0, h / 2, h / 2, 0, 0, 1;
    // The node's matrix acts on camera coordinates looking down -z; ours on (X, Y, -Z).
    Eigen::Matrix3d node = v * n * Eigen::Vector3d(1, 1, -1).asDiagonal();
    node /= node(2, 2);
    EXPECT_LT((node - c.getIntrinsics()).norm(), 1e-3); // single-precision lens matrix
}

TEST(CameraDefinition, OpticalAxisMeetsTheImageCentreAndPointsBehindHaveNoPixel) {
    CameraDefinition c;
    c.setFormatWidth(1024);
    c.setFormatHeight(768);
    Eigen::Vector2d p;
    ASSERT_TRUE(c.projectToPixel({0, 0, -5}, p));
    EXPECT_EQ(p, Eigen::Vector2d(512, 384));
    EXPECT_LT((c.pixelToRay({512, 384}) - Eigen::Vector3d(0, 0, -1)).norm(), 1e-15);
    EXPECT_FALSE(c.projectToPixel({0, 0, 1}, p));
    EXPECT_FALSE(c.projectToPixel({1, 0, 0}, p)); // on the camera's centre plane
    EXPECT_EQ(p, Eigen::Vector2d(512, 384));
}

// Through pixelToRay and back, and for the perspective camera through its projection matrix,
// which also puts the point in front (positive depth).
TEST(CameraDefinition, PixelRaysProjectBackOntoTheirPixel) {
    CameraDefinition persp = oddCamera();
    CameraDefinition latlong = oddCamera();
    latlong.setProjectionType(PROJECTION_LATLONG);
    for (const CameraDefinition& c : {persp, latlong}) {
        for (double x : {0.5, 700.25, 2047.5})
            for (double y : {0.5, 333.3, 1079.5}) {
                const Eigen::Vector3d world = c.getPosition() + 7.0 * c.pixelToRay({x, y});
                Eigen::Vector2d back;
                ASSERT_TRUE(c.projectToPixel(world, back));
                EXPECT_LT((back - Eigen::Vector2d(x, y)).norm(), 1e-9);
                if (c.getProjectionType() != PROJECTION_PERSPECTIVE) continue;
                const Eigen::Vector3d h = c.getProjection() * world.homogeneous();
                EXPECT_LT((h.hnormalized() - Eigen::Vector2d(x, y)).norm(), 1e-9);
                EXPECT_GT(h.z(), 0.0);
            }
    }
}

TEST(CameraDefinition, RotatingCameraAndWorldTogetherKeepsEveryPixel) {
    CameraDefinition c = oddCamera();
    const Eigen::Vector3d world(1.0, 0.5, -6.0);
    Eigen::Vector2d before, after;
    ASSERT_TRUE(c.projectToPixel(world, before));

    Kx::Image::Matrix4 rig;
    rig.translate(2.0f, -1.0f, 0.5f).rotateY(0.4f).rotateX(-0.2f).rotateZ(0.1f);
    c.rotate(rig);
    const Kx::Image::Vector3 moved = rig.transform({1.0f, 0.5f, -6.0f});
    ASSERT_TRUE(c.projectToPixel({moved.x, moved.y, moved.z}, after));
    EXPECT_LT((after - before).norm(), 1e-3); // the host transform is single precision
}
