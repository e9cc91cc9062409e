// MetaDataHandler: the camera rig that travels in an image's metadata, read and written.
//
// Cameras are numbered from 1 in the metadata and in every per-camera call of this class
// (getCamera(1) is the first camera; a CameraRigDefinition numbers the same camera 0).
//
// Keys (all under "rig/"; numbers are doubles, a list is a list of doubles):
//   rig/cameraCount              integer, the number of cameras n (a whole double is read too)
//   rig/position                 list of 3: the rig's position in the world, scene units
//   rig/rotation                 list of 3: the rig's Euler angles (rx, ry, rz), degrees
//   rig/diameter                 number: distance between the outermost camera centres
//   rig/convergence              number: the convergence depth, scene units
//   rig/camera<k>/name           string
//   rig/camera<k>/position       list of 3, in the rig's axes
//   rig/camera<k>/rotation       list of 3, Euler angles in degrees, in the rig's axes
//   rig/camera<k>/focalLength    number, millimetres
//   rig/camera<k>/sensorSize     list of 2: width, height in millimetres
//   rig/camera<k>/centreShift    list of 2, in the lens projection's normalised units
//   rig/camera<k>/format         list of 3: width, height (pixels), pixel aspect
//   rig/camera<k>/projection     integer: 0 perspective, 2 latlong
//   rig/camera<k>/enabled        integer: 0 or 1
//   rig/camera<k>/links          list of the camera numbers (from 1) linked to camera k
// Cameras and the rig follow CameraDefinition's conventions (-z forward, y up, camera-to-
// world = translate · rotateY · rotateX · rotateZ). A camera's pose is given in the rig's
// axes; the rig's position and rotation place the rig in the world the same way.
// Only rig/cameraCount is required: missing camera or rig values take the defaults of
// CameraDefinition and 0 (no links, rig at the origin, diameter and convergence 0).
// A value of the wrong kind or length makes the whole rig unreadable: the handler then holds
// no cameras and getLastError() names the key.
#pragma once

#include "Quorvane/CameraRigDefinition.h"

#include <Kx/Image/MetaData.h>

#include <string>
#include <vector>

namespace Kx::Image {
class Op;
}

namespace Marrow::Research {

class MetaDataHandler {
public:
    // node: the node whose metadata this handler reads and writes (may be null).
    explicit MetaDataHandler(const Kx::Image::Op* node = nullptr);

    // Reads the rig of a bundle. Everything the handler held is replaced by what the bundle
    // says (no rig: no cameras). Returns true when the bundle differs from the last one read.
    bool updateMetaDataBundle(const Kx::Image::MetaData::Bundle& bundle);
    // The bundle last read, with its rig keys replaced by the rig the handler now holds.
    Kx::Image::MetaData::Bundle getMetaDataBundle() const;
    // Why the last bundle's rig could not be read ("" when it could, or had no rig).
    const std::string& getLastError() const { return _error; }

    int getNumberCameras() const { return int(_cameras.size()); }
    // Sets the number of cameras; new ones are default cameras named "cam<k>".
    void setNumberCameras(int count);
    // Camera k (from 1); throws std::out_of_range naming k and the count.
    const CameraDefinition& getCamera(int number) const;
    void setCamera(int number, const CameraDefinition& camera);
    // The cameras linked to camera k, as rig indices (from 0), the form
    // CameraRigDefinition::setLinked takes.
    std::vector<int> getLinks(int number) const;
    void setLinks(int number, const std::vector<int>& rigIndices);

    // fromMetadata true: the value as read from the last bundle; false: the value the
    // handler now holds (what getMetaDataBundle writes).
    Eigen::Vector3d getRigPosition(bool fromMetadata) const;
    Eigen::Vector3d getRigRotation(bool fromMetadata) const; // degrees
    void setRigPosition(const Eigen::Vector3d& p) { _position = p; }
    void setRigRotation(const Eigen::Vector3d& degrees) { _rotation = degrees; }
    double getRigDiameter() const { return _diameter; }
    void setRigDiameter(double d) { _diameter = d; }
    double getRigConvergence() const { return _convergence; }
    void setRigConvergence(double d) { _convergence = d; }

    // The handler's cameras and links as a rig (positions in the rig's axes).
    CameraRigDefinition getRig() const;
    // Takes cameras, links and diameter from a rig.
    void setRig(const CameraRigDefinition& rig);

    const Kx::Image::Op* node() const { return _node; }

private:
    void check(int number) const;
    bool read(const Kx::Image::MetaData::Bundle& bundle);

    const Kx::Image::Op* _node;
    Kx::Image::MetaData::Bundle _bundle;
    std::string _error;
    std::vector<CameraDefinition> _cameras;
    std::vector<std::vector<int>> _links; // rig indices
    Eigen::Vector3d _position = Eigen::Vector3d::Zero(), _rotation = Eigen::Vector3d::Zero();
    Eigen::Vector3d _readPosition = Eigen::Vector3d::Zero(),
                    _readRotation = Eigen::Vector3d::Zero();
    double _diameter = 0.0, _convergence = 0.0;
};

} // namespace Marrow::Research
