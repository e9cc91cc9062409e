#include "mwAnalysisRunner.h"

#include "mwControlPointsKnob.h"
#include "mwKnobNames.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/KnobChange.h"
#include "Kx/Image/OutputContext.h"

#include "Quorvane/TrackFeatures.h"
#include "Quorvane/TriangulateFeatures.h"
#include "VireonShared/CameraProjection.h"
#include "VireonShared/DataProvider.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

namespace Marrow::Research {

using namespace Kx::Image;
namespace N = KnobNames;

namespace {

void setValue(Knob* k, double v) {
    if (!k) return;
    ValueStuffArgs a;
    a.value = v;
    k->value_stuff(ValueOp::SetValue, a);
}

void setComponentAt(Knob* k, int component, int view, double time, double v) {
    if (!k) return;
    ValueStuffArgs a;
    a.value = v;
    a.time = time;
    a.view = view;
    a.channel = component;
    k->value_stuff(ValueOp::SetComponentAt, a);
}

void viewOp(Knob* k, int code, int view) {
    ValueStuffArgs a;
    a.view = view;
    a.channel = -1;
    k->value_stuff(code, a);
}

} // namespace

Box AnalysisRunner::insetBox(const Box& f) {
    const int m = int(std::ceil(f.w() * 0.005)) * 10;
    return Box(f.x() + m, f.y() + m, f.r() - m, f.t() - m);
}

void AnalysisRunner::begin() {
    VerticalAlignerKnobManager& kv = _node->knobValues();
    Knob* type = _node->knob(N::kExecuteType);
    _type = type ? int(type->value()) : kv.executeType();
    if (!kv.hasKeys()) {
        int frame = int(_node->outputContext().frame());
        if (Iop* in = _node->input_iop(0)) {
            in->validate(false);
            frame =
                std::clamp(frame, in->first_frame(), std::max(in->first_frame(), in->last_frame()));
        }
        kv.addKey(frame);
    }
    if (_type != Analyse) return;
    setValue(_node->knob(N::kAnalysed), 0);
    setValue(_node->knob(N::kAnalysedWithCamera), 0);
    if (Knob* summary = _node->knob(N::kAnalysisSummary)) summary->setText("");
    prepareOutputs();
}

void AnalysisRunner::prepareOutputs() {
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int n = OutputContext::viewcount();
    KnobChangeGroup group;
    for (const char* name : {N::kTranslate, N::kRotate, N::kFocalLength, N::kAperture,
                             N::kWindowTranslate, N::kWindowScale, N::kSkew, N::kTransformMatrix,
                             N::kPinBL, N::kPinBR, N::kPinTL, N::kPinTR}) {
        Knob* k = _node->knob(name);
        if (!k) continue;
        for (int v = 1; v < n; ++v) {
            viewOp(k, ValueOp::ClearViewAnimation, v);
            viewOp(k, ValueOp::UnsplitView, v);
        }
        for (int v = 1; v < n; ++v) {
            if (v != kv.leftView() && v != kv.rightView()) continue;
            if (v != _node->outputContext().view()) viewOp(k, ValueOp::SplitView, v);
            if (std::string(name) != N::kAperture) viewOp(k, ValueOp::SetViewAnimated, v);
        }
    }
}

void AnalysisRunner::execute(double frame) {
    if (_type == Match)
        match(frame);
    else if (_type == Analyse)
        analyse(frame);
}

void AnalysisRunner::match(double frame) {
    RigState& rig = _node->rigState();
    rig.updateRigFromMetadata();
    rig.buildChosenViewsRig();
    const CameraRigDefinition& chosen = rig.chosenViewsRig();
    std::vector<int> inputs;
    for (int c = 0; c < chosen.getNumberCameras(); ++c)
        inputs.push_back(_node->inputNumberOfCamera(c));
    ControlPointsKnob* store = _node->knobValues().controlPoints();
    if (!store) return;
    CameraTrack& track = store->tracksForFrame(int(frame));
    track.clearTracks();
    TrackFeatures(_node, track, chosen, MATCH_ALL_PAIRS, true, frame, inputs);
    TriangulateFeatures(track, chosen, true);
}

void AnalysisRunner::analyse(double frame) {
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    Iop* in = _node->input_iop(0);
    if (!in) return;
    in->validate(false);
    const Box format(0, 0, in->format().width(), in->format().height());
    const Box inset = insetBox(format);

    Eigen::Matrix3d fixLeft = Eigen::Matrix3d::Identity(), fixRight = fixLeft;
    if (kv.scaleToFit()) {
        const float s = kv.scale();
        const float cx = float(format.x() + format.r()) * 0.5f;
        const float cy = float(format.y() + format.t()) * 0.5f;
        Eigen::Matrix3d zoom;
        zoom << s, 0, cx * (1 - s), 0, s, cy * (1 - s), 0, 0, 1;
        fixLeft = fixRight = zoom;
    }
    if (kv.fixParallax()) {
        const double o = kv.offset();
        switch (kv.alignWhat()) {
        case VerticalAlignerKnobManager::BothViews:
            fixLeft(0, 2) -= o / 2;
            fixRight(0, 2) += o / 2;
            break;
        case VerticalAlignerKnobManager::LeftToRight:
            fixLeft(0, 2) -= o;
            break;
        case VerticalAlignerKnobManager::RightToLeft:
            fixRight(0, 2) += o;
            break;
        default:
            break;
        }
    }
    // The node's provider answers identities: it applies its global alignment in the warp,
    // so the outputs carry the framing corrections alone. A frame without transforms keeps
    // no values.
    Vireon::DataProvider* provider = Vireon::FindDataProvider(_node);
    if (!provider) provider = &_node->dataProvider();
    Eigen::Matrix3d globalLeft, globalRight;
    if (!provider->globalTransforms(globalLeft, globalRight, frame)) return;
    KnobChangeGroup group;
    writeView(kv.leftView(), fixLeft * globalLeft, inset, frame);
    writeView(kv.rightView(), fixRight * globalRight, inset, frame);
    setValue(_node->knob(N::kAnalysed), 1);
    Vireon::Matrix34d left, right;
    double sensorWidth = 0, sensorHeight = 0;
    if (provider->cameraProjections(left, right, sensorWidth, sensorHeight) &&
        writeCameras(left, right, sensorWidth, sensorHeight, format, frame))
        setValue(_node->knob(N::kAnalysedWithCamera), 1);
}

bool AnalysisRunner::writeCameras(const Vireon::Matrix34d& left, const Vireon::Matrix34d& right,
                                  double sensorWidth, double sensorHeight, const Box& format,
                                  double frame) {
    if (!std::isfinite(sensorWidth) || !std::isfinite(sensorHeight) || sensorWidth <= 0 ||
        sensorHeight <= 0)
        return false;
    const auto split = [&](const Vireon::Matrix34d& p) {
        return Vireon::DecomposeCameraProjection(p, format.x(), format.y(), format.r(), format.t());
    };
    const Vireon::CameraData cameras[2] = {split(left), split(right)};
    if (!cameras[0].valid || !cameras[1].valid) return false;
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int views[2] = {kv.leftView(), kv.rightView()};
    for (int i = 0; i < 2; ++i) {
        const Vireon::CameraData& c = cameras[i];
        const int view = views[i];
        auto write = [&](const char* name, std::initializer_list<double> values) {
            int component = 0;
            for (double v : values) setComponentAt(_node->knob(name), component++, view, frame, v);
        };
        write(N::kTranslate, {c.centre.x(), c.centre.y(), c.centre.z()});
        write(N::kRotate, {c.eulerAngles.x(), c.eulerAngles.y(), c.eulerAngles.z()});
        write(N::kFocalLength, {c.focalLength * sensorWidth});
        write(N::kAperture, {sensorWidth, sensorHeight});
        write(N::kWindowTranslate, {c.centreShift.x(), c.centreShift.y()});
        write(N::kWindowScale, {1, 1});
        write(N::kSkew, {c.skewAngle});
    }
    return true;
}

void AnalysisRunner::writeView(int view, const Eigen::Matrix3d& m, const Box& inset, double frame) {
    if (Knob* matrix = _node->knob(N::kTransformMatrix)) {
        const double cells[16] = {m(0, 0), m(0, 1), m(0, 2), 0, m(1, 0), m(1, 1), m(1, 2), 0,
                                  m(2, 0), m(2, 1), m(2, 2), 0, 0,       0,       0,       1};
        for (int i = 0; i < 16; ++i) setComponentAt(matrix, i, view, frame, cells[i]);
    }
    const std::pair<const char*, Eigen::Vector3d> pins[] = {
        {N::kPinBL, {double(inset.x()), double(inset.y()), 1}},
        {N::kPinBR, {double(inset.r()), double(inset.y()), 1}},
        {N::kPinTR, {double(inset.r()), double(inset.t()), 1}},
        {N::kPinTL, {double(inset.x()), double(inset.t()), 1}},
    };
    for (const auto& [name, corner] : pins) {
        Eigen::Vector3d p = m * corner;
        double w = p.z();
        if (std::abs(w) <= double(std::numeric_limits<float>::min())) w = 1;
        Knob* k = _node->knob(name);
        setComponentAt(k, 0, view, frame, p.x() / w);
        setComponentAt(k, 1, view, frame, p.y() / w);
    }
}

void AnalysisRunner::end() {
    if (_type == Match) {
        if (ControlPointsKnob* store = _node->knobValues().controlPoints()) store->changed();
        return;
    }
    if (_type != Analyse) return;
    const int options = _node->knobValues().alignmentOptions();
    std::string summary;
    using K = VerticalAlignerKnobManager;
    if (options & K::AlignCamera) summary += "Camera ";
    if (options & K::AlignScale) summary += "Scale ";
    if (options & K::AlignShift) summary += "Shift ";
    if (options & K::AlignRotate) summary += "Rotate ";
    if (options & K::AlignPerspective) summary += "Perspective ";
    if (Knob* k = _node->knob(N::kAnalysisSummary)) k->setText(summary);
}

} // namespace Marrow::Research
