// A camera pixel's position in the latlong output of a spherical transform. Where the ray of
// the pixel misses the sphere or lies behind the camera the projection fails, and the pixel
// keeps its own position, as the alignment solver does: every forward use (viewer crosses,
// local shift, aligned disparity and motion) then sees a defined point.
#pragma once

#include "Quorvane/SphericalTransform.h"

#include <Eigen/Core>

namespace Marrow::Research {

inline Eigen::Vector2d latlongPoint(const SphericalTransform& transform, const Eigen::Vector2d& p) {
    Eigen::Vector2d ideal;
    return transform.ProjectToIdeal(ideal, p, PROJECTION_LATLONG) ? ideal : p;
}

} // namespace Marrow::Research
