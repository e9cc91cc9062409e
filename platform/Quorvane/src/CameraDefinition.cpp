#include "Quorvane/CameraDefinition.h"

#include <Eigen/LU>
#include <Eigen/SVD>

#include <cmath>
#include <numbers>

namespace Marrow::Research {

namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;
constexpr double kRadians = std::numbers::pi / 180.0;

// The rotation nearest to m (in the Frobenius sense).
Eigen::Matrix3d nearestRotation(const Eigen::Matrix3d& m) {
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    d(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0 ? -1.0 : 1.0;
    return svd.matrixU() * d * svd.matrixV().transpose();
}

// Camera-space direction to latlong pixel and back (camera looks down -z, y up).
Eigen::Vector2d directionToLatLong(const Eigen::Vector3d& d, double w, double h) {
    const double lon = std::atan2(d.x(), -d.z());
    const double lat = std::atan2(d.y(), std::hypot(d.x(), d.z()));
    return {w * (0.5 + lon / (2.0 * std::numbers::pi)), h * (0.5 + lat / std::numbers::pi)};
}

Eigen::Vector3d latLongToDirection(const Eigen::Vector2d& p, double w, double h) {
    const double lon = (p.x() / w - 0.5) * 2.0 * std::numbers::pi;
    const double lat = (p.y() / h - 0.5) * std::numbers::pi;
    return {std::cos(lat) * std::sin(lon), std::sin(lat), -std::cos(lat) * std::cos(lon)};
}

} // namespace

bool isProjectionType(int value) {
    return value == PROJECTION_PERSPECTIVE || value == PROJECTION_LATLONG;
}

Eigen::Matrix3d rotationX(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Eigen::Matrix3d r;
    r << 1, 0, 0, 0, c, -s, 0, s, c;
    return r;
}

Eigen::Matrix3d rotationY(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Eigen::Matrix3d r;
    r << c, 0, s, 0, 1, 0, -s, 0, c;
    return r;
}

Eigen::Matrix3d rotationZ(double a) {
    const double c = std::cos(a), s = std::sin(a);
    Eigen::Matrix3d r;
    r << c, -s, 0, s, c, 0, 0, 0, 1;
    return r;
}

CameraDefinition::CameraDefinition() = default;

Eigen::Matrix3d CameraDefinition::getWorldToCameraRotation() const {
    const Eigen::Vector3d r = _rotation * kRadians;
    return (rotationY(r.y()) * rotationX(r.x()) * rotationZ(r.z())).transpose();
}

Eigen::Vector3d eulerAnglesFromRotation(const Eigen::Matrix3d& worldToCamera) {
    // camera-to-world = Ry(b) · Rx(a) · Rz(c), whose elements give
    // m12 = -sin a, m02 = sin b cos a, m22 = cos b cos a, m10 = cos a sin c, m11 = cos a cos c.
    const Eigen::Matrix3d m = nearestRotation(worldToCamera).transpose();
    const double a = std::atan2(-m(1, 2), std::hypot(m(0, 2), m(2, 2)));
    double b, c;
    if (std::hypot(m(1, 0), m(1, 1)) > 1e-12) {
        b = std::atan2(m(0, 2), m(2, 2));
        c = std::atan2(m(1, 0), m(1, 1));
    } else {
        // cos a = 0: only b ± c is determined; keep the roll at 0, then m00 = cos b and
        // m01 = sin b · sin a.
        const double sa = m(1, 2) < 0 ? 1.0 : -1.0;
        b = std::atan2(m(0, 1) * sa, m(0, 0));
        c = 0.0;
    }
    return Eigen::Vector3d(a, b, c) * kDegrees;
}

void CameraDefinition::setRotationFromExtrinsics(const Eigen::Matrix3d& worldToCamera) {
    _rotation = eulerAnglesFromRotation(worldToCamera);
}

Eigen::Matrix4d CameraDefinition::getCameraToWorld() const {
    Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
    t.topLeftCorner<3, 3>() = getWorldToCameraRotation().transpose();
    t.topRightCorner<3, 1>() = _position;
    return t;
}

void CameraDefinition::rotate(const Kx::Image::Matrix4& transform) {
    Eigen::Matrix4d t;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) t(i, j) = transform.m[i][j];
    rotate(t);
}

void CameraDefinition::rotate(const Eigen::Matrix4d& transform) {
    const Eigen::Matrix3d turn = nearestRotation(transform.topLeftCorner<3, 3>());
    _position = transform.topLeftCorner<3, 3>() * _position + transform.topRightCorner<3, 1>();
    setRotationFromExtrinsics(getWorldToCameraRotation() * turn.transpose());
}

Eigen::Matrix3d CameraDefinition::getIntrinsics() const {
    const double fx = _formatWidth * _focalLength / _sensorSize.x();
    const double fy = fx * _pixelAspect;
    Eigen::Matrix3d k;
    k << fx, 0, _formatWidth * 0.5 * (1.0 - _centreShift.x()), 0, fy,
        _formatHeight * 0.5 - _centreShift.y() * _pixelAspect * _formatWidth * 0.5, 0, 0, 1;
    return k;
}

Eigen::Matrix<double, 3, 4> CameraDefinition::getProjection() const {
    const Eigen::Matrix3d flip = Eigen::Vector3d(1, 1, -1).asDiagonal();
    const Eigen::Matrix3d r = getWorldToCameraRotation();
    Eigen::Matrix<double, 3, 4> rt;
    rt.leftCols<3>() = r;
    rt.col(3) = -r * _position;
    return getIntrinsics() * flip * rt;
}

bool CameraDefinition::projectToPixel(const Eigen::Vector3d& world, Eigen::Vector2d& pixel) const {
    const Eigen::Vector3d c = getWorldToCameraRotation() * (world - _position);
    if (_projectionType == PROJECTION_LATLONG) {
        if (c.squaredNorm() == 0.0) return false;
        pixel = directionToLatLong(c, _formatWidth, _formatHeight);
        return true;
    }
    if (!(c.z() < 0.0)) return false;
    const Eigen::Matrix3d k = getIntrinsics();
    pixel = {k(0, 2) + k(0, 0) * c.x() / -c.z(), k(1, 2) + k(1, 1) * c.y() / -c.z()};
    return true;
}

Eigen::Vector3d CameraDefinition::pixelToRay(const Eigen::Vector2d& pixel) const {
    Eigen::Vector3d d;
    if (_projectionType == PROJECTION_LATLONG) {
        d = latLongToDirection(pixel, _formatWidth, _formatHeight);
    } else {
        const Eigen::Matrix3d k = getIntrinsics();
        d = {(pixel.x() - k(0, 2)) / k(0, 0), (pixel.y() - k(1, 2)) / k(1, 1), -1.0};
    }
    return (getWorldToCameraRotation().transpose() * d).normalized();
}

} // namespace Marrow::Research
