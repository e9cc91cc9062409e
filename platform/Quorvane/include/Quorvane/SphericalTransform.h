// SphericalTransform: maps a camera's pixels to an ideal output image through a sphere
// around the rig, and back.
//
// The sphere has its centre at the rig centre (the world origin unless set otherwise) and
// the convergence depth as its radius. A camera pixel's ray leaves the camera centre and
// meets the sphere where it leaves it (for a camera inside the sphere the one point ahead
// of it). That sphere point, seen from the sphere's centre, gives the position in the ideal
// image:
// - PROJECTION_LATLONG: an equirectangular image of the output size in the world's axes:
//   longitude 0 looks down -z, +90° down +x; latitude +90° up +y;
//   x = W · (0.5 + lon / 2π), y = H · (0.5 + lat / π) (y up, as every pixel position here);
// - PROJECTION_PERSPECTIVE: the image of a camera with this camera's lens and orientation
//   placed at the sphere's centre, scaled to the output size.
// Points at the convergence depth from the rig centre so land on the same ideal position in
// every camera of the rig: they have no disparity there.
//
// Both directions fail (false) where a ray misses the sphere or meets it only behind the
// camera, and ProjectFromIdeal where the sphere point is behind the camera, or is not the
// point its own pixel's ray would meet. The camera may itself be perspective or latlong
// (CameraDefinition's conventions).
#pragma once

#include "Quorvane/CameraDefinition.h"

namespace Marrow::Research {

class SphericalTransform {
public:
    // Output size defaults to the camera's format and the convergence depth to 1.
    explicit SphericalTransform(const CameraDefinition& camera = CameraDefinition());

    void setOutputImageSize(double width, double height);
    double getOutputWidth() const { return _outWidth; }
    double getOutputHeight() const { return _outHeight; }
    void setConvergenceDepth(double depth) { _depth = depth; }
    double getConvergenceDepth() const { return _depth; }
    void setSphereCentre(const Eigen::Vector3d& c) { _centre = c; }
    const Eigen::Vector3d& getSphereCentre() const { return _centre; }
    const CameraDefinition& getCamera() const { return _camera; }

    // Camera pixel position (input) to ideal image position (output).
    bool ProjectToIdeal(Eigen::Vector2d& output, const Eigen::Vector2d& input,
                        ProjectionTypeEnum type) const;
    // Ideal image position (input) to camera pixel position (output).
    bool ProjectFromIdeal(Eigen::Vector2d& output, const Eigen::Vector2d& input,
                          ProjectionTypeEnum type) const;

private:
    // Where the ray from the camera centre along d leaves the sphere.
    bool hitSphere(const Eigen::Vector3d& d, Eigen::Vector3d& hit) const;
    CameraDefinition idealCamera() const;

    CameraDefinition _camera;
    double _outWidth, _outHeight;
    double _depth = 1.0;
    Eigen::Vector3d _centre = Eigen::Vector3d::Zero();
};

} // namespace Marrow::Research
