#include <VireonShared/CameraProjection.h>

#include <Eigen/Geometry>
#include <Quorvane/CameraDefinition.h>
#include <gtest/gtest.h>

#include <numbers>

using namespace Marrow::Vireon;
using Marrow::Research::CameraDefinition;

namespace {

constexpr double kRad = std::numbers::pi / 180.0;

CameraDefinition camera() {
    CameraDefinition c;
    c.setPosition({1.5, 0.25, -2.0});
    c.setRotation({4.0, -25.0, 3.0});
    c.setFocalLength(50.0);
    c.setSensorSize({36.0, 24.0});
    c.setCentreShift({0.02, -0.01});
    c.setFormatWidth(2048);
    c.setFormatHeight(858);
    c.setPixelAspect(2.0);
    return c;
}

// The camera's transforms the way the aligner builds them with the host's matrices.
bool buildFromCamera(const CameraDefinition& c, Matrix34d& p) {
    const Eigen::Vector3d r = c.getRotation() * kRad;
    Kx::Image::Matrix4 toWorld;
    toWorld.translate(float(c.getPosition().x()), float(c.getPosition().y()),
                      float(c.getPosition().z()));
    toWorld.rotateY(float(r.y())).rotateX(float(r.x())).rotateZ(float(r.z()));
    Kx::Image::Matrix4 lens;
    lens.translate(float(-c.getCentreShift().x()), float(-c.getCentreShift().y()), 0);
    lens.projection(float(c.getFocalLength() / c.getSensorSize().x()), 0.01f, 100.0f, true);
    const Kx::Image::Format format(int(c.getFormatWidth()), int(c.getFormatHeight()),
                                   c.getPixelAspect());
    return BuildProjection(p, toWorld.inverse(), lens, format);
}

} // namespace

TEST(CameraProjection, BuiltProjectionDecomposesIntoTheCamera) {
    const CameraDefinition c = camera();
    Matrix34d p;
    ASSERT_TRUE(buildFromCamera(c, p));
    // The built projection puts a point in front of the camera on its pixel; the host
    // matrices are single precision: a few thousandths of a pixel.
    const Eigen::Vector3d world = c.getPosition() + 6.0 * c.pixelToRay({300.0, 700.0});
    const Eigen::Vector3d h = p * world.homogeneous();
    EXPECT_GT(h.z(), 0.0);
    EXPECT_LT((h.hnormalized() - Eigen::Vector2d(300.0, 700.0)).norm(), 2e-2);
    const CameraData d = DecomposeCameraProjection(p, 0, 0, 2048, 858);
    ASSERT_TRUE(d.valid);
    EXPECT_LT((d.centre - c.getPosition()).norm(), 1e-4);
    EXPECT_LT((d.rotation - c.getWorldToCameraRotation()).norm(), 1e-5);
    EXPECT_LT((d.eulerAngles - c.getRotation()).norm(), 1e-3);
    EXPECT_NEAR(d.focalLength * c.getSensorSize().x(), c.getFocalLength(), 1e-4);
    EXPECT_NEAR(d.focalLengthPixels, c.getIntrinsics()(0, 0), 1e-2);
    EXPECT_NEAR(d.pixelAspect, 2.0, 1e-6);
    EXPECT_LT((d.centreShift - c.getCentreShift()).norm(), 1e-6);
    EXPECT_NEAR(d.skewAngle, 0.0, 1e-4);
}

TEST(CameraProjection, DecomposeIgnoresTheOverallScaleAndSignAndFollowsTheWindow) {
    const CameraDefinition c = camera();
    const Matrix34d p = c.getProjection();
    for (double scale : {1.0, -3.0, 1e-4}) {
        const CameraData d = DecomposeCameraProjection(scale * p, 0, 0, 2048, 858);
        ASSERT_TRUE(d.valid);
        EXPECT_LT((d.centre - c.getPosition()).norm(), 1e-9);
        EXPECT_LT((d.rotation - c.getWorldToCameraRotation()).norm(), 1e-9);
        EXPECT_NEAR(d.focalLength * 36.0, 50.0, 1e-9);
    }
    // The same camera rendered into a window whose origin is 100 pixels to the right.
    Eigen::Matrix3d move = Eigen::Matrix3d::Identity();
    move(0, 2) = 100.0;
    const CameraData d =
        DecomposeCameraProjection(move * camera().getProjection(), 100, 0, 2148, 858);
    EXPECT_LT((d.centreShift - camera().getCentreShift()).norm(), 1e-9);
}

TEST(CameraProjection, SingularOrEmptyInputsAreRefused) {
    Matrix34d p = Matrix34d::Zero();
    EXPECT_FALSE(DecomposeCameraProjection(p, 0, 0, 100, 100).valid);
    EXPECT_FALSE(DecomposeCameraProjection(camera().getProjection(), 0, 0, 0, 100).valid);
    p = camera().getProjection();
    p(1, 1) = NAN;
    EXPECT_FALSE(DecomposeCameraProjection(p, 0, 0, 100, 100).valid);

    Matrix34d out = Matrix34d::Constant(7.0);
    EXPECT_FALSE(
        BuildProjection(out, Kx::Image::Matrix4(), Kx::Image::Matrix4(), Kx::Image::Format()));
    EXPECT_EQ(out, Matrix34d::Constant(7.0));
}
