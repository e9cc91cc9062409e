// CameraRigDefinition: the cameras of a rig, in rig order (camera 0, 1, ...), and how they
// are linked.
//
// Camera indices count from 0. A link says that two cameras are mounted on one body: a
// change of the rig's pose moves linked cameras together. Links are symmetric and a camera
// is never linked to itself. The rig diameter is the distance between the outermost camera
// centres, in scene units (for a stereo pair, its interaxial distance).
#pragma once

#include "Quorvane/CameraDefinition.h"

#include <vector>

namespace Marrow::Research {

class CameraRigDefinition {
public:
    int getNumberCameras() const { return int(_cameras.size()); }
    // Grows or shrinks the rig; new cameras are default cameras named "cam<n>" (n = index +
    // 1) without links; links to removed cameras are dropped.
    void setNumberCameras(int count);
    // Names every camera "cam1", "cam2", ... in rig order.
    void setAutomaticCameraNames();

    // The camera at an index; throws std::out_of_range naming the index and the count.
    const CameraDefinition& getCamera(int index) const;
    CameraDefinition& getCamera(int index);
    void setCamera(int index, const CameraDefinition& camera);

    // The cameras linked to a camera, in ascending order.
    const std::vector<int>& getLinks(int index) const;
    // Replaces the links of a camera (and the reverse links of the cameras named); indices
    // outside the rig and the camera itself are ignored.
    void setLinked(int index, const std::vector<int>& links);
    bool isLinked(int a, int b) const;
    // Links every camera with every other one.
    void setAllLinked();

    double getRigDiameter() const { return _diameter; }
    void setRigDiameter(double d) { _diameter = d; }

    bool operator==(const CameraRigDefinition&) const = default;

private:
    void check(int index) const;

    std::vector<CameraDefinition> _cameras;
    std::vector<std::vector<int>> _links;
    double _diameter = 0.0;
};

} // namespace Marrow::Research
