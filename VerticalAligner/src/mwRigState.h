// The node's camera rig: the rig read from the upstream metadata (the input rig), the
// two-camera rig of the chosen views (camera 0 for leftView, 1 for rightView) and the
// aligned rig that the alignment of a frame rewrites.
//
// Where there is no rig metadata, the chosen views' rig holds two default cameras that take
// the formats of the node's left and right input images.
#pragma once

#include "Kx/Image/Matrix.h"

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/MetaDataHandler.h"

#include "VireonShared/CameraProjection.h"

namespace Marrow::Research {

class VerticalAlignerPlugin;

class RigState {
public:
    explicit RigState(VerticalAlignerPlugin* node);

    // Reads the rig of the node's input metadata; false when there is none. A bundle that
    // did not change since the last call leaves the rigs as they are.
    bool updateRigFromMetadata();
    // Rebuilds the rig of the chosen views, and the aligned rig as its copy.
    void buildChosenViewsRig();

    // The left and right cameras at an analysis key: the chosen views' cameras, with the
    // pair's relative pose solved again from every key's matches under "Stereo Layout", at
    // the viewer's proxy resolution. The node's rigs are left as they are.
    bool camerasAtKey(CameraDefinition& left, CameraDefinition& right, double frame) const;
    // The cameras' 3 x 4 projections into the alignment format, and the left camera's
    // sensor width.
    bool projectionsAtKey(Vireon::Matrix34d& left, Vireon::Matrix34d& right, double& sensorWidth,
                          double frame) const;
    // A camera's projection: world to camera, then its lens, into the format.
    static bool cameraProjection(const CameraDefinition& camera, const Kx::Image::Format& format,
                                 Vireon::Matrix34d& out);

    const MetaDataHandler& metaData() const { return _metaData; }
    const CameraRigDefinition& inputRig() const { return _inputRig; }
    const CameraRigDefinition& chosenViewsRig() const { return _chosenViewsRig; }
    const CameraRigDefinition& alignedRig() const { return _alignedRig; }
    CameraRigDefinition& alignedRig() { return _alignedRig; }
    const Kx::Image::Matrix4& rigTransform() const { return _rigTransform; }

private:
    VerticalAlignerPlugin* _node;
    MetaDataHandler _metaData;
    CameraRigDefinition _inputRig;
    CameraRigDefinition _chosenViewsRig;
    CameraRigDefinition _alignedRig;
    Kx::Image::Matrix4 _rigTransform;
};

} // namespace Marrow::Research
