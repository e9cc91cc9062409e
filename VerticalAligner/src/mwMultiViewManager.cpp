#include "mwMultiViewManager.h"

#include "mwKnobNames.h"
#include "mwMultiViewNameMapper.h"

#include "Kx/Image/Knobs.h"
#include "Kx/Image/Op.h"

#include "Quorvane/MetaDataHandler.h"

#include <boost/make_shared.hpp>

#include <string>

namespace Marrow::Research {

using namespace Kx::Image;
namespace N = KnobNames;

namespace {

const char* const kPresetItems[] = {"main",       "stereo",      "cams",   "left cams",
                                    "right cams", "stereo cams", "custom", nullptr};

} // namespace

void MultiViewManager::knobs(Knob_Closure& f, unsigned long long extraFlags) {
    using namespace KnobFlag;
    const FlagMask common =
        NoPresets | NoViewSplit | RecursiveChanged | AlwaysCallChanged | NoAnimation;
    if (Knob* k = viewSetKnob(f, &_rigViews, N::kRigViews, "Rig Views")) {
        k->set_flag(extraFlags | common | EarlyStore);
        k->clear_flag(StartLine);
    }
    if (Knob* k = boolKnob(f, &_knobEnabler, N::kKnobEnabler, nullptr, false))
        k->set_flag(common | Hidden);
    if (Knob* k = enumKnob(f, &_viewsPresets, N::kViewsPresets, kPresetItems, "Preset", Cams)) {
        k->set_flag(common | EarlyStore | Hidden);
        k->clear_flag(StartLine);
    }
    if (Knob* k = boolKnob(f, &_manualOverride, N::kManualOverride, "Override", false))
        k->set_flag(extraFlags | common | EarlyStore);
}

Knob* MultiViewManager::knob(const char* name) const {
    return _node ? _node->knob(name) : nullptr;
}

void MultiViewManager::flipEnabler() {
    if (Knob* k = knob(N::kKnobEnabler)) k->setValue(k->value() == 0 ? 1 : 0);
}

int MultiViewManager::cameraNumberOfView(int view) const {
    int position = 0;
    for (int v : _rigViews) {
        if (v == view) return position + _offset;
        ++position;
    }
    return -1;
}

OutputContext MultiViewManager::contextForCamera(const OutputContext& c, int camera) const {
    OutputContext out = c;
    if (_offset != 0 && camera == 0) return out;
    const int position = camera - _offset;
    if (position >= 0 && position < rigSize()) {
        auto it = _rigViews.begin();
        std::advance(it, position);
        out.setView(*it);
    }
    return out;
}

std::set<int> MultiViewManager::presetViews(int preset) {
    std::set<int> views;
    auto add = [&](const char* name) {
        if (int v = OutputContext::lookup_view(name)) views.insert(v);
    };
    auto addCameras = [&](auto wanted) {
        for (int v = 0; v < OutputContext::viewcount(); ++v) {
            int camera = 0;
            std::string suffix;
            if (parseCameraView(OutputContext::viewname(v), camera, suffix) && wanted(suffix))
                views.insert(v);
        }
    };
    switch (preset) {
    case Main:
        add("main");
        break;
    case Stereo:
        add("left");
        add("right");
        break;
    case Cams:
        addCameras([](const std::string& s) { return s.empty(); });
        break;
    case LeftCams:
        addCameras([](const std::string& s) { return s == "_left"; });
        break;
    case RightCams:
        addCameras([](const std::string& s) { return s == "_right"; });
        break;
    case StereoCams:
        addCameras([](const std::string& s) { return s == "_left" || s == "_right"; });
        break;
    default:
        break;
    }
    return views;
}

bool MultiViewManager::followInput(Op* op) {
    Knob* views = knob(N::kRigViews);
    Knob* override = knob(N::kManualOverride);
    if (!views || !override || override->value() != 0) return false;
    int cameras = 0;
    const MetaData::Bundle* meta = op ? &op->fetchMetaData() : nullptr;
    if (meta && !meta->empty()) {
        if (!_metaData || _metaData->node() != op)
            _metaData = boost::make_shared<MetaDataHandler>(op);
        _metaData->updateMetaDataBundle(*meta);
        cameras = _metaData->getNumberCameras();
    } else {
        _metaData.reset();
    }
    std::set<int> rig;
    if (cameras > 0) {
        for (int n = 1; n <= cameras; ++n)
            if (int v = OutputContext::lookup_view("cam" + std::to_string(n))) rig.insert(v);
    } else {
        rig = presetViews(Cams);
    }
    if (rig == views->viewSet()) return false;
    views->setViewSet(rig);
    return true;
}

void MultiViewManager::refreshOnInputChange() {
    if (followInput(_node ? _node->input(0) : nullptr)) flipEnabler();
}

int MultiViewManager::knobChanged(Knob* k) {
    Knob* override = knob(N::kManualOverride);
    Knob* views = knob(N::kRigViews);
    Knob* presets = knob(N::kViewsPresets);
    if (!k || !override || !views || !presets) return 0;
    const bool on = override->value() != 0;
    const std::string& name = k->name();
    if (name == Knob::kShowPanel || name == Knob::kInputChange) {
        followInput(_node);
        views->enable(true);
        flipEnabler();
        return 1;
    }
    if (name == N::kManualOverride) {
        if (!on) {
            followInput(_node);
            views->enable(true);
        }
        flipEnabler();
        return 1;
    }
    if (name == N::kViewsPresets) {
        const int preset = int(k->value());
        if (preset != Custom) {
            views->setViewSet(presetViews(preset));
            flipEnabler();
        }
        return 1;
    }
    if (name == N::kKnobEnabler) {
        views->enable(on);
        presets->visible(on);
        return 1;
    }
    if (name == N::kRigViews) {
        if (on)
            presets->setValue(Custom);
        else
            flipEnabler();
        return 1;
    }
    return 0;
}

} // namespace Marrow::Research
