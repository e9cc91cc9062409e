// Small single-precision matrices and quaternions. Products are accumulated in float as
// the values are stored; determinants and inverses are worked out in double and rounded
// once, so that a camera matrix inverted and multiplied back stays close to the identity.
#include "Kx/Image/Matrix.h"

#include <algorithm>
#include <limits>

namespace Kx::Image {

namespace {

// Cofactor C(r, c) of a 4x4 matrix held in double: the signed determinant of the 3x3 minor.
double cofactor4(const double a[4][4], int r, int c) {
    int rows[3], cols[3];
    for (int i = 0, k = 0; i < 4; ++i)
        if (i != r) rows[k++] = i;
    for (int j = 0, k = 0; j < 4; ++j)
        if (j != c) cols[k++] = j;
    auto e = [&](int i, int j) { return a[rows[i]][cols[j]]; };
    const double minor = e(0, 0) * (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) -
                         e(0, 1) * (e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0)) +
                         e(0, 2) * (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0));
    return (r + c) % 2 == 0 ? minor : -minor;
}

void toDouble(const float m[4][4], double a[4][4]) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) a[i][j] = m[i][j];
}

} // namespace

// ---- Matrix3 ----

void Matrix3::makeIdentity() {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = i == j ? 1.0f : 0.0f;
}

Matrix3 Matrix3::operator*(const Matrix3& o) const {
    Matrix3 p;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0;
            for (int k = 0; k < 3; ++k) s += m[i][k] * o.m[k][j];
            p.m[i][j] = s;
        }
    return p;
}

Vector3 Matrix3::operator*(const Vector3& v) const {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
            m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

Matrix3 Matrix3::transpose() const {
    Matrix3 t;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t.m[i][j] = m[j][i];
    return t;
}

float Matrix3::determinant() const {
    const double d = double(m[0][0]) * (double(m[1][1]) * m[2][2] - double(m[1][2]) * m[2][1]) -
                     double(m[0][1]) * (double(m[1][0]) * m[2][2] - double(m[1][2]) * m[2][0]) +
                     double(m[0][2]) * (double(m[1][0]) * m[2][1] - double(m[1][1]) * m[2][0]);
    return float(d);
}

Matrix3 Matrix3::inverse() const {
    double a[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) a[i][j] = m[i][j];
    // Adjugate: the transposed cofactors, each a 2x2 determinant of the rows and
    // columns that remain.
    double adj[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3;
            const int c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            adj[i][j] = a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0];
        }
    const double det = a[0][0] * adj[0][0] + a[0][1] * adj[1][0] + a[0][2] * adj[2][0];
    Matrix3 inv;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            inv.m[i][j] =
                det == 0 ? std::numeric_limits<float>::quiet_NaN() : float(adj[i][j] / det);
    return inv;
}

// ---- Matrix4 ----

void Matrix4::makeIdentity() {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0f : 0.0f;
}

Matrix4 Matrix4::operator*(const Matrix4& o) const {
    Matrix4 p;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += m[i][k] * o.m[k][j];
            p.m[i][j] = s;
        }
    return p;
}

Vector4 Matrix4::operator*(const Vector4& v) const {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z + m[0][3] * v.w,
            m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z + m[1][3] * v.w,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z + m[2][3] * v.w,
            m[3][0] * v.x + m[3][1] * v.y + m[3][2] * v.z + m[3][3] * v.w};
}

Vector3 Matrix4::transform(const Vector3& p) const {
    const Vector4 h = *this * Vector4(p.x, p.y, p.z, 1.0f);
    return {h.x / h.w, h.y / h.w, h.z / h.w};
}

Matrix4& Matrix4::translate(float x, float y, float z) {
    // M · T only changes the last column: M's columns weighted by t, added to it.
    for (int i = 0; i < 4; ++i) m[i][3] += m[i][0] * x + m[i][1] * y + m[i][2] * z;
    return *this;
}

Matrix4& Matrix4::scale(float x, float y, float z) {
    for (int i = 0; i < 4; ++i) {
        m[i][0] *= x;
        m[i][1] *= y;
        m[i][2] *= z;
    }
    return *this;
}

namespace {

// M := M · R where R rotates in the plane of axes a and b, turning a towards b.
void rotateInPlane(float m[4][4], int a, int b, float radians) {
    const float c = std::cos(radians), s = std::sin(radians);
    for (int i = 0; i < 4; ++i) {
        const float ma = m[i][a], mb = m[i][b];
        m[i][a] = ma * c + mb * s;
        m[i][b] = mb * c - ma * s;
    }
}

} // namespace

Matrix4& Matrix4::rotateX(float radians) {
    rotateInPlane(m, 1, 2, radians);
    return *this;
}

Matrix4& Matrix4::rotateY(float radians) {
    rotateInPlane(m, 2, 0, radians);
    return *this;
}

Matrix4& Matrix4::rotateZ(float radians) {
    rotateInPlane(m, 0, 1, radians);
    return *this;
}

Matrix4& Matrix4::projection(float lens, float near, float far, bool perspective) {
    Matrix4 p;
    p.m[0][0] = p.m[1][1] = 2.0f * lens;
    const float depth = far - near;
    if (perspective) {
        p.m[2][2] = -(far + near) / depth;
        p.m[2][3] = -2.0f * far * near / depth;
        p.m[3][2] = -1.0f;
        p.m[3][3] = 0.0f;
    } else {
        p.m[2][2] = -2.0f / depth;
        p.m[2][3] = -(far + near) / depth;
    }
    return *this *= p;
}

Matrix4 Matrix4::transpose() const {
    Matrix4 t;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) t.m[i][j] = m[j][i];
    return t;
}

float Matrix4::determinant() const {
    double a[4][4];
    toDouble(m, a);
    double det = 0;
    for (int j = 0; j < 4; ++j) det += a[0][j] * cofactor4(a, 0, j);
    return float(det);
}

Matrix4 Matrix4::inverse() const {
    double a[4][4];
    toDouble(m, a);
    double cof[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) cof[i][j] = cofactor4(a, i, j);
    double det = 0;
    for (int j = 0; j < 4; ++j) det += a[0][j] * cof[0][j];
    Matrix4 inv;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            inv.m[i][j] =
                det == 0 ? std::numeric_limits<float>::quiet_NaN() : float(cof[j][i] / det);
    return inv;
}

Matrix3 Matrix4::rotationPart() const {
    Matrix3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] = m[i][j];
    return r;
}

// ---- Quaternion ----

Quaternion::Quaternion(const Matrix3& r) {
    // Columns are divided by their lengths first, so a uniformly or per-axis scaled
    // rotation gives the same quaternion as the rotation alone.
    float a[3][3];
    for (int j = 0; j < 3; ++j) {
        const float len =
            std::sqrt(r.m[0][j] * r.m[0][j] + r.m[1][j] * r.m[1][j] + r.m[2][j] * r.m[2][j]);
        for (int i = 0; i < 3; ++i) a[i][j] = len > 0 ? r.m[i][j] / len : r.m[i][j];
    }
    // Shepperd's method: take the square root of the largest of the four candidate
    // diagonal sums, so the division below is never by a small number.
    const float trace = a[0][0] + a[1][1] + a[2][2];
    if (trace >= a[0][0] && trace >= a[1][1] && trace >= a[2][2]) {
        const float s = 2.0f * std::sqrt(std::max(0.0f, 1.0f + trace));
        w = 0.25f * s;
        x = (a[2][1] - a[1][2]) / s;
        y = (a[0][2] - a[2][0]) / s;
        z = (a[1][0] - a[0][1]) / s;
    } else if (a[0][0] >= a[1][1] && a[0][0] >= a[2][2]) {
        const float s = 2.0f * std::sqrt(std::max(0.0f, 1.0f + a[0][0] - a[1][1] - a[2][2]));
        x = 0.25f * s;
        w = (a[2][1] - a[1][2]) / s;
        y = (a[0][1] + a[1][0]) / s;
        z = (a[0][2] + a[2][0]) / s;
    } else if (a[1][1] >= a[2][2]) {
        const float s = 2.0f * std::sqrt(std::max(0.0f, 1.0f + a[1][1] - a[0][0] - a[2][2]));
        y = 0.25f * s;
        w = (a[0][2] - a[2][0]) / s;
        x = (a[0][1] + a[1][0]) / s;
        z = (a[1][2] + a[2][1]) / s;
    } else {
        const float s = 2.0f * std::sqrt(std::max(0.0f, 1.0f + a[2][2] - a[0][0] - a[1][1]));
        z = 0.25f * s;
        w = (a[1][0] - a[0][1]) / s;
        x = (a[0][2] + a[2][0]) / s;
        y = (a[1][2] + a[2][1]) / s;
    }
    *this = normalized();
}

Matrix3 Quaternion::matrix3() const {
    // 2 / |q|² rather than 2, so that a quaternion slightly off unit length still gives
    // an orthonormal matrix.
    const float n = dot(*this);
    const float s = n > 0 ? 2.0f / n : 0.0f;
    const float xx = x * x * s, yy = y * y * s, zz = z * z * s;
    const float xy = x * y * s, xz = x * z * s, yz = y * z * s;
    const float wx = w * x * s, wy = w * y * s, wz = w * z * s;
    Matrix3 r;
    r.m[0][0] = 1 - yy - zz, r.m[0][1] = xy - wz, r.m[0][2] = xz + wy;
    r.m[1][0] = xy + wz, r.m[1][1] = 1 - xx - zz, r.m[1][2] = yz - wx;
    r.m[2][0] = xz - wy, r.m[2][1] = yz + wx, r.m[2][2] = 1 - xx - yy;
    return r;
}

Matrix4 Quaternion::matrix() const {
    const Matrix3 r = matrix3();
    Matrix4 m4;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m4.m[i][j] = r.m[i][j];
    return m4;
}

Quaternion Quaternion::normalized() const {
    const float n = std::sqrt(dot(*this));
    if (!(n > 0)) return {};
    return {x / n, y / n, z / n, w / n};
}

Quaternion Quaternion::slerp(const Quaternion& to, float t) const {
    // q and -q are the same rotation; flipping the target onto the same hemisphere as
    // this one makes the path the shorter of the two arcs.
    Quaternion b = to;
    float cosTheta = dot(to);
    if (cosTheta < 0) {
        b = {-to.x, -to.y, -to.z, -to.w};
        cosTheta = -cosTheta;
    }
    float wa, wb;
    if (cosTheta > 0.9995f) {
        // Nearly the same rotation: sin(theta) vanishes, and the chord is the arc.
        wa = 1 - t;
        wb = t;
    } else {
        const float theta = std::acos(std::min(cosTheta, 1.0f));
        const float sinTheta = std::sin(theta);
        wa = std::sin((1 - t) * theta) / sinTheta;
        wb = std::sin(t * theta) / sinTheta;
    }
    return Quaternion(wa * x + wb * b.x, wa * y + wb * b.y, wa * z + wb * b.z, wa * w + wb * b.w)
        .normalized();
}

} // namespace Kx::Image
