#include "mwVerticalAlignerDisplayManager.h"

#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/GL.h"
#include "Kx/Image/Hash.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Knobs.h"

#include <algorithm>
#include <cmath>

namespace Marrow::Research {

using namespace Kx::Image;

namespace {

// Host handle types and the cursor shown over a match.
constexpr int kPointHandle = ViewerContext::kPointHandle;
constexpr int kKeyHandle = ViewerContext::kKeyHandle;
constexpr int kCrossCursor = 21;
// Half the size of a cross, in full-size pixels.
constexpr double kCrossHalf = 3.0;

} // namespace

DisplayInteractionEventHandlerKnob::DisplayInteractionEventHandlerKnob(Node* node, const char* name)
    : Knob(node, KnobKind::Custom, KnobStorage::None, name) {}

VerticalAlignerDisplayManager::VerticalAlignerDisplayManager(VerticalAlignerPlugin* node)
    : _node(node) {}

void VerticalAlignerDisplayManager::knobs(Knob_Closure& f) {
    auto* k = customKnob<DisplayInteractionEventHandlerKnob>(f, kKnobName);
    if (!k) return;
    _knob = k;
    _knob->setDisplayManager(this);
}

void VerticalAlignerDisplayManager::update() {
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const float convergence = kv.convergenceDepth();
    Format format;
    if (Iop* in = _node->input_iop(0)) {
        in->validate(false);
        format = in->format();
    }
    const OutputContext& context = _node->outputContext();
    Hash h;
    ControlPointsKnob* points = kv.controlPoints();
    if (points) points->append(h, &context);
    h.append(convergence);
    h.append(format.width());
    h.append(format.height());
    h.append(context.frame());
    if (h.value() == _cacheHash) return;

    Guard guard(_lock);
    _cameraEnabled.clear();
    _cameraPoints.clear();
    const int frame = int(context.frame());
    const CameraRigDefinition& rig = _node->rigState().chosenViewsRig();
    for (int i = 0; i < rig.getNumberCameras(); ++i)
        _cameraEnabled.push_back(rig.getCamera(i).getEnabled());
    _cameraPoints.resize(_cameraEnabled.size());
    for (size_t i = 0; i < _cameraEnabled.size(); ++i) {
        if (!_cameraEnabled[i] || !points || !points->hasFrame(frame)) continue;
        std::vector<ControlPointsKnob::CameraPoint> found;
        points->pointsOfCamera(frame, int(i), SphericalTransform(), false, found);
        for (const auto& p : found)
            _cameraPoints[i].push_back(
                {p.x, p.y, p.pointValid != 0, p.rmse, uint32_t(p.trackIndex)});
    }
    _cacheHash = h.value();
}

void VerticalAlignerDisplayManager::colour(const DisplayPoint& d, bool selected,
                                           float errorThreshold, float rgba[4]) {
    const float yellow[4] = {1, 1, 0, 1}, red[4] = {1, 0, 0, 1}, green[4] = {0, 1, 0, 1},
                orange[4] = {1, 0.621f, 0.125f, 1};
    const float* c = selected                                     ? yellow
                     : d.valid && d.rmse > double(errorThreshold) ? red
                     : d.valid                                    ? green
                                                                  : orange;
    std::copy(c, c + 4, rgba);
}

void VerticalAlignerDisplayManager::draw(ViewerContext* ctx) {
    if (ctx->event() < ViewerContext::kDraw || !_knob) return;
    update();
    const OutputContext& context = _node->outputContext();
    const double sx = context.scale_x(), sy = context.scale_y();
    const double tx = context.translate_x(), ty = context.translate_y();
    const bool proxy = context.proxy();
    const float threshold = _node->knobValues().errorThreshold();

    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glScalef(float(sx), float(sy), 1);
    glPushAttrib(GL_POINT_BIT);
    glEnable(GL_POINT_SMOOTH);
    glPointSize(1);

    const int v = context.view();
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int camera = _node->cameraIndexOfView(v);
    if ((v == kv.leftView() || v == kv.rightView()) && camera >= 0 &&
        size_t(camera) < _cameraPoints.size()) {
        const ViewCorrection& correction = _node->renderEngine().correction();
        const bool thisView = correction.view() == v;
        for (const DisplayPoint& d : _cameraPoints[size_t(camera)]) {
            Eigen::Vector2d p(d.x, d.y);
            if (proxy) p = Eigen::Vector2d(sx * p.x() + tx, sy * p.y() + ty);
            Eigen::Vector2d q = thisView ? correction.toOutputThis(p) : correction.toOutputOther(p);
            if (proxy) q = Eigen::Vector2d((q.x() - tx) / sx, (q.y() - ty) / sy);
            float rgba[4];
            colour(d, ctx->is_selected(_knob, &pointHandleTest, int(d.index)), threshold, rgba);
            glColor4f(rgba[0], rgba[1], rgba[2], rgba[3]);
            ctx->begin_handle(kPointHandle, _knob, &pointHandleTest, int(d.index), float(q.x()),
                              float(q.y()), 0, kCrossCursor);
            glBegin(GL_LINES);
            glVertex2f(float(q.x() - kCrossHalf), float(q.y() - kCrossHalf));
            glVertex2f(float(q.x() + kCrossHalf), float(q.y() + kCrossHalf));
            glVertex2f(float(q.x() - kCrossHalf), float(q.y() + kCrossHalf));
            glVertex2f(float(q.x() + kCrossHalf), float(q.y() - kCrossHalf));
            glEnd();
            ctx->end_handle();
        }
    }

    glPopAttrib();
    glPopMatrix();
    ctx->begin_handle(kKeyHandle, _knob, &keyHandler, 0, 0, 0, 0, 0);
    ctx->end_handle();
}

bool VerticalAlignerDisplayManager::pointHandleTest(ViewerContext* ctx, Knob*, int) {
    return ctx->event() == ViewerContext::kPush;
}

bool VerticalAlignerDisplayManager::keyHandler(ViewerContext* ctx, Knob* knob, int) {
    if (ctx->event() == ViewerContext::kKey && ctx->key() == ViewerContext::kKeyEscape) {
        ctx->clear_selection(knob);
        return true;
    }
    auto* k = dynamic_cast<DisplayInteractionEventHandlerKnob*>(knob);
    if (!k || !k->displayManager() || !k->displayManager()->node()) return false;
    if (ctx->event() != ViewerContext::kKey) return false;
    if (ctx->key() != ViewerContext::kKeyDelete && ctx->key() != ViewerContext::kKeyBackspace)
        return false;
    const std::vector<int> indices = ctx->selected(knob, &pointHandleTest);
    if (indices.empty()) return true;
    VerticalAlignerPlugin* node = k->displayManager()->node();
    ControlPointsKnob* points = node->knobValues().controlPoints();
    if (!points) return true;
    const int frame = int(std::lround(node->outputContext().frame()));

    points->addToUndo();
    points->removeTracks(frame, indices);
    for (CameraTrack* track : points->allTracks())
        if (track->getNumberTracks() == 0) points->removeFrame(track->getFrame());
    points->changed();
    ctx->clear_selection(knob);
    points->stopAddToUndo();
    return true;
}

} // namespace Marrow::Research
