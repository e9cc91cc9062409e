// Camera projections: a 3x4 matrix from a camera's transforms, and a camera from a 3x4 matrix.
//
// A projection P maps a world point (X, Y, Z, 1) to (w·x, w·y, w), with (x, y) in pixels of
// the image (x right, y up, pixel centres at i + 0.5) and w the depth of the point in front of
// the camera. The camera looks down its -z axis with y up; its lens matrix is the host's
// GL-style projection (Kx::Image::Matrix4::projection: [0][0] = [1][1] = 2 · focal / sensor
// width, last row (0, 0, -1, 0)), optionally preceded by translate(-centreShift). Its x
// spans [-1, 1] over the image width and its y is in the same units, so the image's
// vertical pixel scale is the horizontal one times the pixel aspect.
#pragma once

#include <Eigen/Core>
#include <Kx/Image/Box.h>
#include <Kx/Image/Matrix.h>

namespace Marrow::Vireon {

using Matrix34d = Eigen::Matrix<double, 3, 4>;

// A camera recovered from a projection. Conventions as in Marrow::Research::CameraDefinition:
// rotation is world to camera, Euler angles (rx, ry, rz) in degrees with camera-to-world =
// rotateY · rotateX · rotateZ, the centre shift in the lens matrix's normalised units.
struct CameraData {
    bool valid = false;
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    Eigen::Matrix3d rotation = Eigen::Matrix3d::Identity();
    Eigen::Vector3d eulerAngles = Eigen::Vector3d::Zero();
    // Horizontal focal length over the image width (the lens matrix's focal / sensor width):
    // multiply by a sensor width in millimetres to get the focal length in millimetres.
    double focalLength = 0.0;
    // Horizontal focal length in pixels.
    double focalLengthPixels = 0.0;
    Eigen::Vector2d centreShift = Eigen::Vector2d::Zero();
    double pixelAspect = 1.0;
    // How far the image's y axis leans from perpendicular to its x axis, in degrees (0 for
    // an ordinary camera; positive leans the top to the right).
    double skewAngle = 0.0;
};

// Builds P = viewport · rows (0, 1, 3) of (projection · cameraTransform), where
// cameraTransform is world to camera (the inverse of the camera-to-world transform) and
// projection the lens matrix; the viewport maps the lens's x in [-1, 1] to [0, W] and its y
// scaled by pixelAspect · W / H to [0, H], with the format's W, H and pixel aspect.
// False (out untouched) for an empty format or a result that is not finite or is zero.
bool BuildProjection(Matrix34d& out, const Kx::Image::Matrix4& cameraTransform,
                     const Kx::Image::Matrix4& projection, const Kx::Image::Format& format);

// Splits a projection into camera centre, rotation and intrinsics. (x, y, r, t) is the
// image window the projection maps into, in pixels ((0, 0, W, H) for a format). The result is
// not valid when the left 3x3 block of P is singular or not finite, or the window is empty.
CameraData DecomposeCameraProjection(const Matrix34d& projection, double x, double y, double r,
                                     double t);

} // namespace Marrow::Vireon
