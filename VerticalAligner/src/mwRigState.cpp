#include "mwRigState.h"

#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"

#include "Quorvane/SolveCameraPair.h"

#include <list>
#include <mutex>
#include <vector>

namespace Marrow::Research {

namespace {
constexpr float kDegrees = 0.017453292f;

// The camera pair solved from every key's matches is the same at every frame of a shot, while
// each frame's validation asks for it once per key and view. The last few solves are kept,
// process-wide, by everything the solve reads: the two cameras, the rig diameter and the
// matched positions in track order. A solve that the render's abort cut short is not kept.
struct PairSolve {
    CameraDefinition left, right;
    double diameter = 0;
    std::vector<double> matches;
    bool solved = false;
    CameraDefinition solvedLeft, solvedRight;

    bool sameInput(const PairSolve& o) const {
        return left == o.left && right == o.right && diameter == o.diameter && matches == o.matches;
    }
};

struct PairSolves {
    static constexpr size_t kKept = 4;
    std::mutex mutex;
    std::list<PairSolve> kept; // most recent first
};

PairSolves& pairSolves() {
    static PairSolves p;
    return p;
}

// The left and right positions of every track with a feature of both cameras, in order.
std::vector<double> matchedPositions(const std::vector<const CameraTrack*>& tracks, int a, int b) {
    std::vector<double> out;
    for (const CameraTrack* frame : tracks)
        for (const FeatureTrack& t : frame->getTracks()) {
            const Feature* fa = t.findFeature(a);
            const Feature* fb = t.findFeature(b);
            if (!fa || !fb) continue;
            out.insert(out.end(), {fa->getPosition().x(), fa->getPosition().y(),
                                   fb->getPosition().x(), fb->getPosition().y()});
        }
    return out;
}

// SolveCameraPair of the pair (a, b) of rig over all tracks, both cameras moving, taken from
// the kept solves when one had the same input.
bool solvePair(const Kx::Image::Op* node, int a, int b, CameraRigDefinition& rig,
               const std::vector<const CameraTrack*>& tracks) {
    if (a < 0 || b < 0 || a == b || a >= rig.getNumberCameras() || b >= rig.getNumberCameras())
        return SolveCameraPair(node, {a, b}, rig, tracks, false, false);
    PairSolve input;
    input.left = rig.getCamera(a);
    input.right = rig.getCamera(b);
    input.diameter = rig.getRigDiameter();
    input.matches = matchedPositions(tracks, a, b);
    PairSolves& solves = pairSolves();
    auto apply = [&](const PairSolve& s) {
        if (!s.solved) return false;
        rig.setCamera(a, s.solvedLeft);
        rig.setCamera(b, s.solvedRight);
        return true;
    };
    {
        std::lock_guard lock(solves.mutex);
        for (auto it = solves.kept.begin(); it != solves.kept.end(); ++it)
            if (it->sameInput(input)) {
                solves.kept.splice(solves.kept.begin(), solves.kept, it);
                return apply(solves.kept.front());
            }
    }
    input.solved = SolveCameraPair(node, {a, b}, rig, tracks, false, false);
    if (node && node->aborted()) return input.solved;
    input.solvedLeft = rig.getCamera(a);
    input.solvedRight = rig.getCamera(b);
    std::lock_guard lock(solves.mutex);
    solves.kept.push_front(std::move(input));
    if (solves.kept.size() > PairSolves::kKept) solves.kept.pop_back();
    return solves.kept.front().solved;
}

} // namespace

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
        if (!solvePair(_node, iL, iR, rig, tracks)) return false;
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
