// CameraDefinition: one camera of a rig, its pose, its lens and the image it records.
//
// Conventions (shared by everything in Marrow::Research):
// - World and camera axes are right-handed. A camera looks down its -z axis with +y up and
//   +x to the right of its image.
// - Rotation: Euler angles (rx, ry, rz) in degrees, rz being the roll. The camera-to-world
//   transform is translate(position) · rotateY(ry) · rotateX(rx) · rotateZ(rz), so the
//   world-to-camera rotation R is the transpose of rotateY · rotateX · rotateZ and a world
//   point X has camera coordinates R · (X - position).
// - Focal length and sensor size are in millimetres. The horizontal focal length in pixels is
//   fx = W · focal / sensorWidth; the vertical one is fy = fx · pixelAspect (pixelAspect is
//   pixel width over pixel height). The sensor height does not enter the projection.
// - Centre shift: the offset of the sensor centre from the optical axis, in the normalised
//   units of the lens projection's x (1 is half the image width). It is applied the way the
//   lens matrix translate(-shift) · projection(focal / sensorWidth) does, so the principal
//   point lies at cx = W/2 · (1 - shift.x), cy = H/2 - shift.y · pixelAspect · W/2.
// - Pixels: x to the right, y upward, row 0 at the bottom; the centre of pixel (i, j) is
//   (i + 0.5, j + 0.5), so the image covers [0, W] x [0, H].
// - A perspective camera maps a camera-space point (X, Y, Z), Z < 0, to
//   (cx + fx · X / -Z, cy + fy · Y / -Z). A latlong camera (projection type 2) records the
//   full sphere of directions around its centre: longitude 0 looks down -z, +90° down +x,
//   latitude +90° up +y; x = W · (0.5 + lon / 2π), y = H · (0.5 + lat / π).
#pragma once

#include <Eigen/Core>
#include <Kx/Image/Matrix.h>

#include <string>

namespace Marrow::Research {

// How a camera (or an ideal output image) maps directions to pixels. Value 1 is not used.
enum ProjectionTypeEnum : int {
    PROJECTION_PERSPECTIVE = 0,
    PROJECTION_LATLONG = 2,
};

// True for the values above.
bool isProjectionType(int value);

class CameraDefinition {
public:
    // A 35 mm full-aperture camera at the origin looking down -z: focal 35 mm, sensor
    // 36 x 24 mm, 1920 x 1080 square pixels, no centre shift, perspective, named "camera".
    CameraDefinition();

    // ---- pose ----
    const Eigen::Vector3d& getPosition() const { return _position; }
    void setPosition(const Eigen::Vector3d& p) { _position = p; }
    // Euler angles (rx, ry, rz) in degrees.
    const Eigen::Vector3d& getRotation() const { return _rotation; }
    void setRotation(const Eigen::Vector3d& degrees) { _rotation = degrees; }
    // World-to-camera rotation R (camera coordinates = R · (X - position)).
    Eigen::Matrix3d getWorldToCameraRotation() const;
    // Sets the Euler angles from a world-to-camera rotation. The matrix is first made
    // orthonormal (nearest rotation); at gimbal lock (rx = ±90°) the roll is set to 0.
    void setRotationFromExtrinsics(const Eigen::Matrix3d& worldToCamera);
    // Camera-to-world transform translate(position) · rotateY · rotateX · rotateZ.
    Eigen::Matrix4d getCameraToWorld() const;
    // Moves the camera by a rigid transform of the world: camera-to-world := T · camera-to-
    // world. T's upper-left block must be a rotation (a scale is removed).
    void rotate(const Kx::Image::Matrix4& transform);
    void rotate(const Eigen::Matrix4d& transform);

    // ---- lens ----
    double getFocalLength() const { return _focalLength; }
    void setFocalLength(double mm) { _focalLength = mm; }
    // Sensor (aperture) width and height in millimetres.
    const Eigen::Vector2d& getSensorSize() const { return _sensorSize; }
    void setSensorSize(const Eigen::Vector2d& mm) { _sensorSize = mm; }
    const Eigen::Vector2d& getCentreShift() const { return _centreShift; }
    void setCentreShift(const Eigen::Vector2d& shift) { _centreShift = shift; }

    // ---- image ----
    double getFormatWidth() const { return _formatWidth; }
    double getFormatHeight() const { return _formatHeight; }
    double getPixelAspect() const { return _pixelAspect; }
    void setFormatWidth(double w) { _formatWidth = w; }
    void setFormatHeight(double h) { _formatHeight = h; }
    void setPixelAspect(double a) { _pixelAspect = a; }
    ProjectionTypeEnum getProjectionType() const { return _projectionType; }
    void setProjectionType(ProjectionTypeEnum type) { _projectionType = type; }

    const std::string& getName() const { return _name; }
    void setName(const std::string& name) { _name = name; }
    // A disabled camera takes no part in tracking or display.
    bool getEnabled() const { return _enabled; }
    void setEnabled(bool enabled) { _enabled = enabled; }

    // ---- pinhole model (perspective cameras) ----
    // K = [[fx, 0, cx], [0, fy, cy], [0, 0, 1]] in pixels (see the conventions above).
    Eigen::Matrix3d getIntrinsics() const;
    // The 3x4 matrix P = K · diag(1, 1, -1) · [R | -R · position]: P · (X, 1) = (w·x, w·y, w)
    // with w the depth of X in front of the camera.
    Eigen::Matrix<double, 3, 4> getProjection() const;

    // ---- rays ----
    // The pixel position of a world point; false when the point is behind a perspective
    // camera (or on its centre plane) or at the centre of a latlong camera.
    bool projectToPixel(const Eigen::Vector3d& world, Eigen::Vector2d& pixel) const;
    // The unit world direction of the ray through a pixel position, from the camera centre.
    Eigen::Vector3d pixelToRay(const Eigen::Vector2d& pixel) const;

    bool operator==(const CameraDefinition&) const = default;

private:
    Eigen::Vector3d _position = Eigen::Vector3d::Zero();
    Eigen::Vector3d _rotation = Eigen::Vector3d::Zero();
    double _focalLength = 35.0;
    Eigen::Vector2d _sensorSize{36.0, 24.0};
    Eigen::Vector2d _centreShift = Eigen::Vector2d::Zero();
    double _formatWidth = 1920.0, _formatHeight = 1080.0, _pixelAspect = 1.0;
    ProjectionTypeEnum _projectionType = PROJECTION_PERSPECTIVE;
    std::string _name = "camera";
    bool _enabled = true;
};

// Rotation matrices about the axes, angles in radians, right-hand rule (rotZ turns +x
// towards +y), in the order the camera transform multiplies them.
Eigen::Matrix3d rotationX(double radians);
Eigen::Matrix3d rotationY(double radians);
Eigen::Matrix3d rotationZ(double radians);
// Euler angles (rx, ry, rz) in degrees of a world-to-camera rotation (made orthonormal
// first); at gimbal lock (rx = ±90°) the roll is 0.
Eigen::Vector3d eulerAnglesFromRotation(const Eigen::Matrix3d& worldToCamera);

} // namespace Marrow::Research
