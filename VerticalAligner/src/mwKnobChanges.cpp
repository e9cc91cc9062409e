// What each change of the panel does: enabling rules, presets, the analysis keys' buttons,
// and the work started by the fix point and "Calculate scale".
#include "mwAlignmentModel.h"
#include "mwControlPointsKnob.h"
#include "mwKnobNames.h"
#include "mwVerticalAlignerKnobManager.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Question.h"

#include <algorithm>
#include <cstring>

namespace Marrow::Research {

using namespace Kx::Image;
namespace N = KnobNames;

namespace {
const char* const kResetQuestion =
    "Proceeding will reset the existing camera matches. Are you sure?";
const char* const kOptions[6] = {N::kAlignCamera, N::kAlignScale,       N::kAlignShift,
                                 N::kAlignRotate, N::kAlignPerspective, N::kAlignVerticalSkew};
} // namespace

Knob* VerticalAlignerKnobManager::knob(const char* name) const {
    return _owner->knob(name);
}

bool VerticalAlignerKnobManager::value(const char* name) const {
    Knob* k = knob(name);
    if (!k) return false;
    ValueStuffArgs a;
    k->value_stuff(ValueOp::GetValue, a);
    return a.value != 0;
}

void VerticalAlignerKnobManager::enable(const char* name, bool on) const {
    if (Knob* k = knob(name)) k->enable(on);
}

std::pair<int, int> VerticalAlignerKnobManager::frameRange() const {
    int first = 1, last = 1;
    bool any = false;
    for (int n = 1; n < _owner->inputs(); ++n) {
        Iop* in = _owner->input_iop(n);
        if (!in) continue;
        in->validate(false);
        first = any ? std::max(first, in->first_frame()) : in->first_frame();
        last = any ? std::min(last, in->last_frame()) : in->last_frame();
        any = true;
    }
    return {first, last};
}

void VerticalAlignerKnobManager::fullRefresh() {
    const bool local = value(N::kLocalAlignment), fix = value(N::kFixParallax);
    const bool lockOff = value(N::kLockOffset), fit = value(N::kScaleToFit);
    const bool lockSc = value(N::kLockScale);
    const bool spherical =
        knob(N::kAlignmentSpace) && int(knob(N::kAlignmentSpace)->value()) == Spherical;
    const int what = knob(N::kAlignWhat) ? int(knob(N::kAlignWhat)->value()) : 0;
    enable(N::kPassThroughOther, what != BothViews);
    enable(N::kAlignCamera, !spherical);
    enable(N::kDisparityBlurSize, local);
    enable(N::kLocalCorrection, local);
    enable(N::kFixPoint, fix && !lockOff);
    enable(N::kOffset, fix && !lockOff);
    enable(N::kScaleToFit, !spherical);
    enable(N::kLockOffset, fix);
    enable(N::kCalculateScale, fit && !lockSc && !spherical);
    enable(N::kScale, fit && !lockSc && !spherical);
    enable(N::kLockScale, fit && !spherical);
    for (const char* name : {N::kOutputFormat, N::kAutoConvergenceDepth, N::kConvergenceDepth})
        if (Knob* k = knob(name)) k->visible(spherical);
    if (keyCount() == 0) {
        const auto [first, last] = frameRange();
        int frame = int(_owner->outputContext().frame());
        frame = frame < first ? first : frame > last ? last : frame;
        addKey(frame);
    }
}

void VerticalAlignerKnobManager::clearMatches() {
    if (ControlPointsKnob* points = _controlPoints) {
        points->clear();
        points->changed();
    }
}

bool VerticalAlignerKnobManager::resetKeys() {
    if (_controlPoints && _controlPoints->frameCount() > 0 && !Question::ask(kResetQuestion))
        return false;
    if (Knob* k = keyKnob()) {
        ValueStuffArgs a;
        k->value_stuff(ValueOp::ClearAnimation, a);
    }
    clearMatches();
    return true;
}

void VerticalAlignerKnobManager::keyAll() {
    Knob* k = keyKnob();
    if (!k) return;
    const int step = std::max(1, int(knob(N::kKeyStep) ? knob(N::kKeyStep)->value() : _keyStep));
    ValueStuffArgs clear;
    k->value_stuff(ValueOp::ClearAnimation, clear);
    ValueStuffArgs animate;
    k->value_stuff(ValueOp::SetAnimated, animate);
    const auto [first, last] = frameRange();
    for (int frame = first; frame < last; frame += step) {
        ValueStuffArgs a;
        a.value = frame;
        a.time = frame;
        k->value_stuff(ValueOp::SetValueAt, a);
    }
}

void VerticalAlignerKnobManager::recognisePreset() {
    int options = 0;
    for (int i = 0; i < 6; ++i)
        if (value(kOptions[i])) options |= 1 << i;
    if (Knob* type = knob(N::kAlignmentType)) {
        ValueStuffArgs a;
        a.value = presetOfOptions(options);
        type->value_stuff(ValueOp::SetValue, a);
    }
}

bool VerticalAlignerKnobManager::analysisButtonRefresh() {
    const bool local = value(N::kLocalAlignment), skew = value(N::kAlignVerticalSkew);
    enable(N::kAnalyse, !local && !skew);
    enable(N::kCreatePin, !local && value(N::kAnalysed));
    enable(N::kCreateCamera, !local && value(N::kAnalysedWithCamera));
    enable(N::kCreateRig, !local && value(N::kAnalysedWithCamera));
    return true;
}

int VerticalAlignerKnobManager::knobChanged(Knob* k) {
    if (!k) return 0;
    const std::string& name = k->name();
    auto is = [&](const char* n) { return name == n; };
    const bool spherical =
        knob(N::kAlignmentSpace) && int(knob(N::kAlignmentSpace)->value()) == Spherical;

    if (is(Knob::kShowPanel) || is(Knob::kInputChange) || is(N::kAutoConvergenceDepth)) {
        enable(N::kConvergenceDepth, !value(N::kAutoConvergenceDepth));
        if (is(N::kAutoConvergenceDepth)) return 1;
        if (is(Knob::kShowPanel)) {
            fullRefresh();
            return 1;
        }
        return 0;
    }
    if (is(N::kLeftView) || is(N::kRightView)) {
        clearMatches();
        return 1;
    }
    if (is(N::kAlignWhat)) {
        enable(N::kPassThroughOther, int(k->value()) != BothViews);
        return 1;
    }
    if (is(N::kAddAllKeys) || is(N::kDeleteAllKeys) || is(N::kImportAllKeys)) {
        if (resetKeys() && is(N::kAddAllKeys)) keyAll();
        return 1;
    }
    if (is(N::kAlignmentType)) {
        applyPreset(*_owner);
        return 1;
    }
    for (const char* option : kOptions)
        if (is(option)) {
            recognisePreset();
            return 1;
        }
    if (is(N::kLocalAlignment)) {
        const bool on = value(N::kLocalAlignment);
        enable(N::kDisparityBlurSize, on);
        enable(N::kLocalCorrection, on);
        return 1;
    }
    if (is(N::kDisparityBlurSize)) {
        _owner->preBlur().size(float(k->value()));
        return 1;
    }
    if (is(N::kFixParallax)) {
        const bool fix = value(N::kFixParallax), lock = value(N::kLockOffset);
        enable(N::kFixPoint, fix && !lock);
        enable(N::kOffset, fix && !lock);
        enable(N::kLockOffset, fix);
        return 1;
    }
    if (is(N::kLockOffset)) {
        const bool lock = value(N::kLockOffset);
        enable(N::kFixPoint, !lock);
        enable(N::kOffset, !lock);
        return 1;
    }
    if (is(N::kFixPoint)) {
        _owner->renderEngine().correction().computeOffset();
        return 1;
    }
    if (is(N::kScaleToFit)) {
        const bool fit = value(N::kScaleToFit), lock = value(N::kLockScale);
        enable(N::kCalculateScale, fit && !lock && !spherical);
        enable(N::kScale, fit && !lock && !spherical);
        enable(N::kLockScale, fit && !spherical);
        return 1;
    }
    if (is(N::kLockScale)) {
        const bool lock = value(N::kLockScale);
        enable(N::kCalculateScale, !lock && !spherical);
        enable(N::kScale, !lock && !spherical);
        return 1;
    }
    if (is(N::kCalculateScale)) {
        _owner->renderEngine().correction().computeScale();
        return 1;
    }
    if (is(N::kAlignmentSpace)) {
        for (const char* n :
             {N::kAlignCamera, N::kScaleToFit, N::kCalculateScale, N::kScale, N::kLockScale})
            enable(n, !spherical);
        for (const char* n : {N::kOutputFormat, N::kAutoConvergenceDepth, N::kConvergenceDepth})
            if (Knob* kn = knob(n)) kn->visible(spherical);
        return 1;
    }
    return 0;
}

} // namespace Marrow::Research
