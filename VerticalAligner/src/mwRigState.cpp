#include "mwRigState.h"

#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"

#include "Quorvane/SolveCameraPair.h"

namespace Marrow::Research {

namespace {
constexpr float kDegrees = 0.017453292f;
}

RigState::RigState(VerticalAlignerPlugin* node) : _node(node), _metaData(node) {
    _inputRig.setNumberCameras(0);
}

bool RigState::updateRigFromMetadata() {
    Kx::Image::Op* in = _node->input(0);
    const Kx::Image::MetaData::Bundle empty;
    const bool changed = _metaData.updateMetaDataBundle(in ? in->fetchMetaData() : empty);
    const int n = _metaData.getNumberCameras();
    if (n == 0) return false;
    if (!changed && _inputRig.getNumberCameras() == n) return true;

    const Eigen::Vector3d p = _metaData.getRigPosition(true);
    const Eigen::Vector3d r = _metaData.getRigRotation(true);
    _rigTransform.makeIdentity();
    _rigTransform.translate(float(p.x()), float(p.y()), float(p.z()));
    _rigTransform.rotateY(float(r.y()) * kDegrees);
    _rigTransform.rotateX(float(r.x()) * kDegrees);
    _rigTransform.rotateZ(float(r.z()) * kDegrees);

    _inputRig.setNumberCameras(n);
    _inputRig.setRigDiameter(_metaData.getRigDiameter());
    for (int i = 0; i < n; ++i) {
        CameraDefinition camera = _metaData.getCamera(i + 1);
        camera.rotate(_rigTransform);
        _inputRig.setCamera(i, camera);
        _inputRig.setLinked(i, _metaData.getLinks(i + 1));
    }
    _alignedRig = _inputRig;
    return true;
}

void RigState::buildChosenViewsRig() {
    const VerticalAlignerKnobManager& knobs = _node->knobValues();
    const MultiViewNameMapper& mapper = _node->multiViewNameMapper();
    _chosenViewsRig.setNumberCameras(2);
    _chosenViewsRig.setAutomaticCameraNames();

    const int left = knobs.leftView(), right = knobs.rightView();
    const bool leftRig = mapper.isRigView(left), rightRig = mapper.isRigView(right);
    auto inputCamera = [&](int view, CameraDefinition& out) {
        const int index = mapper.cameraNumberOfView(view) - 1;
        if (index < 0 || index >= _inputRig.getNumberCameras()) return false;
        out = _inputRig.getCamera(index);
        return true;
    };
    CameraDefinition camera;
    if (leftRig && inputCamera(left, camera)) {
        _chosenViewsRig.setCamera(0, camera);
        if (!rightRig) {
            camera.setName(camera.getName() + "_right");
            _chosenViewsRig.setCamera(1, camera);
        }
    }
    if (rightRig && inputCamera(right, camera)) {
        _chosenViewsRig.setCamera(1, camera);
        if (!leftRig) {
            camera.setName(camera.getName() + "_left");
            _chosenViewsRig.setCamera(0, camera);
        }
    }
    if (!leftRig && !rightRig) {
        for (int c = 0; c < 2; ++c) {
            Kx::Image::Iop* in = _node->input_iop(_node->inputNumberOfCamera(c));
            if (!in) continue;
            in->validate(false);
            CameraDefinition& cam = _chosenViewsRig.getCamera(c);
            cam.setFormatWidth(in->format().width());
            cam.setFormatHeight(in->format().height());
            cam.setPixelAspect(in->format().pixel_aspect());
        }
    }
    _chosenViewsRig.setAllLinked();
    _alignedRig = _chosenViewsRig;
}

bool RigState::camerasAtKey(CameraDefinition& left, CameraDefinition& right, double) const {
    CameraRigDefinition rig = _chosenViewsRig;
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int iL = _node->cameraIndexOfView(kv.leftView());
    const int iR = _node->cameraIndexOfView(kv.rightView());
    if (iL >= rig.getNumberCameras() || iR >= rig.getNumberCameras()) return false;
    if (kv.layoutType() == VerticalAlignerKnobManager::StereoLayout) {
        ControlPointsKnob* store = kv.controlPoints();
        // Only the analysis keys' matches steer the pair: a key deleted from the key control
        // keeps its stored matches, which must not count any more.
        std::vector<const CameraTrack*> tracks;
        if (store)
            for (double key : kv.keyFrames())
                if (store->hasFrame(int(key))) tracks.push_back(&store->tracksForFrame(int(key)));
        if (tracks.empty()) return false;
        if (!SolveCameraPair(_node, {iL, iR}, rig, tracks, false, false)) return false;
    }
    left = rig.getCamera(iL);
    right = rig.getCamera(iR);
    const Kx::Image::OutputContext& c = _node->outputContext();
    if (c.scale_x() != 1 || c.scale_y() != 1) {
        for (CameraDefinition* cam : {&left, &right}) {
            cam->setFormatWidth(c.scale_x() * cam->getFormatWidth());
            cam->setFormatHeight(c.scale_y() * cam->getFormatHeight());
        }
    }
    return true;
}

bool RigState::cameraProjection(const CameraDefinition& camera, const Kx::Image::Format& format,
                                Vireon::Matrix34d& out) {
    constexpr double kRadians = 0.017453292519943295;
    const Eigen::Vector3d p = camera.getPosition(), r = camera.getRotation();
    Kx::Image::Matrix4 C;
    C.translate(float(p.x()), float(p.y()), float(p.z()));
    C.rotateY(float(r.y() * kRadians));
    C.rotateX(float(r.x() * kRadians));
    C.rotateZ(float(r.z() * kRadians));
    const Eigen::Vector2d cs = camera.getCentreShift();
    Kx::Image::Matrix4 L;
    L.translate(-float(cs.x()), -float(cs.y()), 0);
    L.projection(float(camera.getFocalLength() / camera.getSensorSize().x()), 0.01f, 100.0f, true);
    return Vireon::BuildProjection(out, C.inverse(), L, format);
}

bool RigState::projectionsAtKey(Vireon::Matrix34d& left, Vireon::Matrix34d& right,
                                double& sensorWidth, double frame) const {
    CameraDefinition l, r;
    if (!camerasAtKey(l, r, frame)) return false;
    sensorWidth = l.getSensorSize().x();
    const Kx::Image::Box box = _node->alignmentBox();
    const Kx::Image::Format format(box.w(), box.h(), l.getPixelAspect());
    return cameraProjection(l, format, left) && cameraProjection(r, format, right);
}

} // namespace Marrow::Research
