#include "Quorvane/SphericalTransform.h"

#include <cmath>
#include <numbers>

namespace Marrow::Research {

SphericalTransform::SphericalTransform(const CameraDefinition& camera)
    : _camera(camera), _outWidth(camera.getFormatWidth()), _outHeight(camera.getFormatHeight()) {}

void SphericalTransform::setOutputImageSize(double width, double height) {
    _outWidth = width;
    _outHeight = height;
}

bool SphericalTransform::hitSphere(const Eigen::Vector3d& d, Eigen::Vector3d& hit) const {
    // |o + t·d - c|² = r² with |d| = 1: t² + 2·b·t + q = 0.
    const Eigen::Vector3d oc = _camera.getPosition() - _centre;
    const double b = oc.dot(d);
    const double q = oc.squaredNorm() - _depth * _depth;
    const double disc = b * b - q;
    if (!(disc >= 0.0) || !(_depth > 0.0)) return false;
    const double t = -b + std::sqrt(disc); // the far root: where the ray leaves the sphere
    if (!(t > 0.0)) return false;
    hit = _camera.getPosition() + t * d;
    return true;
}

CameraDefinition SphericalTransform::idealCamera() const {
    CameraDefinition ideal = _camera;
    ideal.setPosition(_centre);
    ideal.setProjectionType(PROJECTION_PERSPECTIVE);
    ideal.setFormatWidth(_outWidth);
    ideal.setFormatHeight(_outHeight);
    return ideal;
}

bool SphericalTransform::ProjectToIdeal(Eigen::Vector2d& output, const Eigen::Vector2d& input,
                                        ProjectionTypeEnum type) const {
    Eigen::Vector3d hit;
    if (!hitSphere(_camera.pixelToRay(input), hit)) return false;
    if (type == PROJECTION_LATLONG) {
        const Eigen::Vector3d d = hit - _centre;
        const double lon = std::atan2(d.x(), -d.z());
        const double lat = std::atan2(d.y(), std::hypot(d.x(), d.z()));
        output = {_outWidth * (0.5 + lon / (2.0 * std::numbers::pi)),
                  _outHeight * (0.5 + lat / std::numbers::pi)};
        return true;
    }
    return idealCamera().projectToPixel(hit, output);
}

bool SphericalTransform::ProjectFromIdeal(Eigen::Vector2d& output, const Eigen::Vector2d& input,
                                          ProjectionTypeEnum type) const {
    Eigen::Vector3d d;
    if (type == PROJECTION_LATLONG) {
        const double lon = (input.x() / _outWidth - 0.5) * 2.0 * std::numbers::pi;
        const double lat = (input.y() / _outHeight - 0.5) * std::numbers::pi;
        d = {std::cos(lat) * std::sin(lon), std::sin(lat), -std::cos(lat) * std::cos(lon)};
    } else {
        d = idealCamera().pixelToRay(input);
    }
    if (!(_depth > 0.0) || !d.allFinite()) return false;
    const Eigen::Vector3d hit = _centre + _depth * d;
    // The camera's ray towards hit must leave the sphere there (not enter it), so that
    // ProjectToIdeal of the resulting pixel comes back to the same point.
    const Eigen::Vector3d ray = hit - _camera.getPosition();
    if (!(ray.dot(d) > 0.0)) return false;
    return _camera.projectToPixel(hit, output);
}

} // namespace Marrow::Research
