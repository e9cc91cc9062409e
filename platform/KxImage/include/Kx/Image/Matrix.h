// Small vectors and matrices in single precision, as the host's transforms use them.
//
// Matrices act on column vectors: p' = M · p. Element (row, col) is m[row][col].
// The building operations post-multiply, so M.translate(t).rotateZ(a) gives
// M · T · Rz and a point is first rotated, then translated. Angles are in radians.
// Rotations follow the right-hand rule: rotateZ turns +x towards +y.
#pragma once

#include <cmath>

namespace Kx::Image {

struct Vector2 {
    float x = 0, y = 0;
    Vector2() = default;
    Vector2(float x_, float y_) : x(x_), y(y_) {}
};

struct Vector3 {
    float x = 0, y = 0, z = 0;
    Vector3() = default;
    Vector3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
    Vector3 operator+(const Vector3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vector3 operator-(const Vector3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vector3 operator*(float s) const { return {x * s, y * s, z * s}; }
    float dot(const Vector3& o) const { return x * o.x + y * o.y + z * o.z; }
    Vector3 cross(const Vector3& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
    float length() const { return std::sqrt(dot(*this)); }
};

struct Vector4 {
    float x = 0, y = 0, z = 0, w = 1;
    Vector4() = default;
    Vector4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
};

class Matrix3 {
public:
    float m[3][3];

    Matrix3() { makeIdentity(); }
    void makeIdentity();
    float& operator()(int row, int col) { return m[row][col]; }
    float operator()(int row, int col) const { return m[row][col]; }
    Matrix3 operator*(const Matrix3& o) const;
    Vector3 operator*(const Vector3& v) const;
    Matrix3 transpose() const;
    float determinant() const;
    // The inverse; a singular matrix gives a matrix of NaNs.
    Matrix3 inverse() const;
};

class Matrix4 {
public:
    float m[4][4];

    Matrix4() { makeIdentity(); }
    static Matrix4 identity() { return Matrix4(); }
    void makeIdentity();
    float& operator()(int row, int col) { return m[row][col]; }
    float operator()(int row, int col) const { return m[row][col]; }

    Matrix4 operator*(const Matrix4& o) const;
    Matrix4& operator*=(const Matrix4& o) { return *this = *this * o; }
    Vector4 operator*(const Vector4& v) const;
    // Transforms a point (w = 1) and divides by the resulting w.
    Vector3 transform(const Vector3& p) const;

    Matrix4& translate(float x, float y, float z = 0);
    Matrix4& translate(const Vector3& t) { return translate(t.x, t.y, t.z); }
    Matrix4& scale(float s) { return scale(s, s, s); }
    Matrix4& scale(float x, float y, float z = 1);
    Matrix4& rotateX(float radians);
    Matrix4& rotateY(float radians);
    Matrix4& rotateZ(float radians);
    // Post-multiplies the GL-style projection of a lens with the given ratio of focal
    // length to film width: m[0][0] = m[1][1] = 2·lens. Perspective maps a camera-space
    // point looking down -z to clip space: row 2 is (0, 0, -(f+n)/(f-n), -2fn/(f-n)) and
    // the last row (0, 0, -1, 0), so z = -near lands at depth -1 and z = -far at +1 after
    // the division by w. Orthographic keeps w = 1, scales x and y by 2·lens without
    // dividing by depth, and maps z = -near..-far to -1..1 with row 2
    // (0, 0, -2/(f-n), -(f+n)/(f-n)).
    Matrix4& projection(float lens, float near, float far, bool perspective = true);

    Matrix4 transpose() const;
    float determinant() const;
    // The inverse; a singular matrix gives a matrix of NaNs.
    Matrix4 inverse() const;
    // The upper-left 3x3 block.
    Matrix3 rotationPart() const;
};

// A unit quaternion for rotations; w is the scalar part.
class Quaternion {
public:
    float x = 0, y = 0, z = 0, w = 1;

    Quaternion() = default;
    Quaternion(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
    // From a rotation matrix; each column is divided by its length first, so a scale
    // applied along the matrix's own axes is ignored. The result has unit length.
    explicit Quaternion(const Matrix3& r);
    explicit Quaternion(const Matrix4& r) : Quaternion(r.rotationPart()) {}

    Matrix3 matrix3() const;
    Matrix4 matrix() const;
    float dot(const Quaternion& o) const { return x * o.x + y * o.y + z * o.z + w * o.w; }
    Quaternion normalized() const;

    // Spherical interpolation along the shorter arc: t = 0 gives this, t = 1 gives to.
    Quaternion slerp(const Quaternion& to, float t) const;
};

} // namespace Kx::Image
