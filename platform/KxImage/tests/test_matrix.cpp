// Matrices and quaternions: composition order, inverses, the lens projection, and
// rotation interpolation.
#include "Kx/Image/Matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

using namespace Kx::Image;

constexpr float kPi = std::numbers::pi_v<float>;

// Single-precision products of a few terms: a few float epsilons of the element size.
constexpr float kTol = 1e-5f;

void expectNear(const Matrix4& a, const Matrix4& b, float tol = kTol) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(a(i, j), b(i, j), tol) << "(" << i << "," << j << ")";
}

void expectNear(const Vector3& a, const Vector3& b, float tol = kTol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

// q and -q are the same rotation.
void expectSameRotation(const Quaternion& a, const Quaternion& b, float tol = kTol) {
    EXPECT_NEAR(std::abs(a.dot(b)), 1.0f, tol) << a.x << " " << a.y << " " << a.z << " " << a.w;
}

Matrix4 turnZ(float angle) {
    return Matrix4().rotateZ(angle);
}

Matrix4 someTransform() {
    Matrix4 m;
    m.translate(3, -2, 5).rotateY(0.4f).rotateX(-0.3f).rotateZ(1.1f).scale(2, 0.5f, 1.5f);
    return m;
}

TEST(Matrix4, RotationsTurnAxesByTheRightHandRule) {
    expectNear(turnZ(kPi / 2).transform({1, 0, 0}), {0, 1, 0});
    expectNear(Matrix4().rotateX(kPi / 2).transform({0, 1, 0}), {0, 0, 1});
    expectNear(Matrix4().rotateY(kPi / 2).transform({0, 0, 1}), {1, 0, 0});
}

TEST(Matrix4, BuildingOperationsPostMultiply) {
    // translate then rotate: the point is rotated first, then moved.
    Matrix4 tr;
    tr.translate(10, 0, 0).rotateZ(kPi / 2);
    expectNear(tr.transform({1, 0, 0}), {10, 1, 0});
    // rotate then translate: the translation is itself rotated.
    Matrix4 rt;
    rt.rotateZ(kPi / 2).translate(10, 0, 0);
    expectNear(rt.transform({1, 0, 0}), {0, 11, 0});
    // Each call is M := M · X.
    Matrix4 r, t, s;
    r.rotateX(0.7f);
    t.translate(1, 2, 3);
    s.scale(2, 3, 4);
    expectNear(Matrix4().translate(1, 2, 3).rotateX(0.7f).scale(2, 3, 4), t * r * s);
    // Translation and scale are exact.
    Matrix4 ts;
    ts.translate(1, 2, 3).scale(2, 4, 8);
    const Vector3 p = ts.transform({1, 1, 1});
    EXPECT_EQ(p.x, 3.0f);
    EXPECT_EQ(p.y, 6.0f);
    EXPECT_EQ(p.z, 11.0f);
}

TEST(Matrix, InverseDeterminantAndTranspose) {
    const Matrix4 m = someTransform();
    expectNear(m.inverse() * m, Matrix4::identity());
    expectNear(m * m.inverse(), Matrix4::identity());
    // Rotations have determinant 1, so only the scale remains.
    EXPECT_NEAR(m.determinant(), 2 * 0.5f * 1.5f, kTol);
    // A rotation's inverse is its transpose.
    Matrix4 r;
    r.rotateY(0.4f).rotateX(-0.3f);
    expectNear(r.inverse(), r.transpose());
    EXPECT_EQ(m.transpose().transpose()(1, 3), m(1, 3));
    EXPECT_EQ(m.transpose()(3, 1), m(1, 3));
    // A singular matrix has no inverse.
    Matrix4 flat;
    flat.scale(1, 1, 0);
    EXPECT_EQ(flat.determinant(), 0.0f);
    EXPECT_TRUE(std::isnan(flat.inverse()(0, 0)));
    // The 3 x 3 matrices too.
    Matrix3 a;
    a(0, 0) = 2, a(0, 1) = 1, a(1, 1) = 3, a(1, 2) = 1, a(2, 0) = 1;
    EXPECT_EQ(a.determinant(), 7.0f);
    const Matrix3 i = a.inverse() * a;
    for (int row = 0; row < 3; ++row)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(i(row, c), row == c ? 1.0f : 0.0f, kTol);
    Matrix3 singular;
    singular(2, 2) = 0;
    EXPECT_TRUE(std::isnan(singular.inverse()(1, 1)));
}

TEST(Matrix4, ProjectionGivesThePinholeFocalLengthOrIsOrthographic) {
    // A 35 mm lens on a 36 mm film back: lens ratio 35/36. A point at depth z in front of
    // the camera (camera space -z) lands at normalised x = 2·lens·X/z, so on an image W
    // pixels wide (W/2 per normalised unit) the focal length is W·focal/film width.
    const float lens = 35.0f / 36.0f, near = 0.01f, far = 100.0f;
    Matrix4 p;
    p.projection(lens, near, far);
    const Vector3 q = p.transform({0.3f, -0.2f, -4.0f});
    const float W = 1920;
    EXPECT_NEAR(q.x * W / 2, W * 35.0f / 36.0f * 0.3f / 4.0f, 1e-3f);
    EXPECT_NEAR(q.y * W / 2, W * 35.0f / 36.0f * -0.2f / 4.0f, 1e-3f);
    // Depth: the near plane at -1, the far plane at +1.
    EXPECT_NEAR(p.transform({0, 0, -near}).z, -1.0f, kTol);
    EXPECT_NEAR(p.transform({0, 0, -far}).z, 1.0f, kTol);
    // A centre shift composed first moves the principal point.
    Matrix4 shifted;
    shifted.translate(-0.1f, 0.05f, 0).projection(lens, near, far);
    const Vector3 c = shifted.transform({0, 0, -4});
    EXPECT_NEAR(c.x, -0.1f, kTol);
    EXPECT_NEAR(c.y, 0.05f, kTol);
    // The orthographic projection ignores depth for x and y.
    Matrix4 o;
    o.projection(0.5f, 1, 11, false);
    const Vector3 a = o.transform({0.3f, 0.2f, -2}), b = o.transform({0.3f, 0.2f, -9});
    EXPECT_EQ(a.x, 0.3f);
    EXPECT_EQ(b.x, 0.3f);
    EXPECT_EQ(a.y, 0.2f);
    EXPECT_EQ(o(3, 3), 1.0f);
    EXPECT_NEAR(o.transform({0, 0, -1}).z, -1.0f, kTol);
    EXPECT_NEAR(o.transform({0, 0, -11}).z, 1.0f, kTol);
}

TEST(Quaternion, RoundTripsRotationMatrices) {
    // One rotation per branch of the conversion: small angles (trace largest) and half
    // turns about each axis (one diagonal element largest).
    Matrix4 rotations[5];
    rotations[0].rotateY(0.4f).rotateX(-0.3f).rotateZ(1.1f);
    rotations[1].rotateX(kPi * 0.95f);
    rotations[2].rotateY(kPi * 0.95f);
    rotations[3].rotateZ(kPi * 0.95f);
    rotations[4].rotateX(kPi / 2).rotateY(kPi);
    for (const Matrix4& r : rotations) {
        const Quaternion q(r);
        EXPECT_NEAR(q.dot(q), 1.0f, kTol);
        expectNear(q.matrix(), r);
    }
    // A scaled rotation gives the quaternion of the rotation alone.
    Matrix4 scaled = rotations[0];
    scaled.scale(3, 0.5f, 2);
    expectSameRotation(Quaternion(scaled), Quaternion(rotations[0]));
}

TEST(Quaternion, SlerpEndpointsAndMidpoint) {
    const Quaternion a(turnZ(0.2f)), b(turnZ(1.0f));
    expectSameRotation(a.slerp(b, 0), a);
    expectSameRotation(a.slerp(b, 1), b);
    // Halfway between two turns about z is the turn by the mean angle, and a quarter of
    // the way is a quarter of the angle: slerp moves at constant angular speed.
    expectNear(a.slerp(b, 0.5f).matrix(), turnZ(0.6f));
    expectNear(a.slerp(b, 0.25f).matrix(), turnZ(0.4f));
    // Nearly equal rotations interpolate too.
    expectNear(a.slerp(Quaternion(turnZ(0.2001f)), 0.5f).matrix(), turnZ(0.20005f));
}

TEST(Quaternion, SlerpTakesTheShorterArc) {
    // From +170° to -170° about z the short way passes through 180°, not through 0°.
    const Quaternion a(turnZ(kPi * 170 / 180)), b(turnZ(-kPi * 170 / 180));
    expectNear(a.slerp(b, 0.5f).matrix(), turnZ(kPi));
    // The same with the target given as -q, the other sign of the same rotation.
    const Quaternion negB(-b.x, -b.y, -b.z, -b.w);
    expectNear(a.slerp(negB, 0.5f).matrix(), turnZ(kPi));
    expectNear(a.slerp(b, 0.25f).matrix(), turnZ(kPi * 175 / 180)); // a quarter: 175°
}

} // namespace
