// What each change of the panel does: enabling rules, presets, the analysis keys' buttons,
// and the work started by the fix point and "Calculate scale". The enabling rules are one
// table, applied whole when the panel opens and rule by rule when a switch they read changes.
#include "mwAlignmentModel.h"
#include "mwControlPointsKnob.h"
#include "mwFraming.h"
#include "mwKnobNames.h"
#include "mwVerticalAlignerKnobManager.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Question.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Marrow::Research {

using namespace Kx::Image;
namespace N = KnobNames;

namespace {
const char* const kResetQuestion =
    "Proceeding will reset the existing camera matches. Are you sure?";
const char* const kOptions[6] = {N::kAlignCamera, N::kAlignScale,       N::kAlignShift,
                                 N::kAlignRotate, N::kAlignPerspective, N::kAlignVerticalSkew};

// The switches of the panel that decide which knobs can be used.
struct Switches {
    bool local, fix, lockOffset, fit, lockScale, spherical, autoDepth;
    int what;
};

// One enabling rule: the knobs it enables (or shows), when, and the switches it reads. Opening
// the panel applies every rule; a change of a switch applies the rules that read it, so the
// two can never disagree.
struct EnablingRule {
    std::vector<const char*> knobs;
    bool show; // shows or hides rather than enabling
    bool (*on)(const Switches&);
    std::vector<const char*> reads;
};

const EnablingRule kEnablingRules[] = {
    {{N::kPassThroughOther},
     false,
     [](const Switches& s) { return s.what != VerticalAlignerKnobManager::BothViews; },
     {N::kAlignWhat}},
    {{N::kAlignCamera, N::kScaleToFit},
     false,
     [](const Switches& s) { return !s.spherical; },
     {N::kAlignmentSpace}},
    {{N::kDisparityBlurSize, N::kLocalCorrection},
     false,
     [](const Switches& s) { return s.local; },
     {N::kLocalAlignment}},
    {{N::kFixPoint, N::kOffset},
     false,
     [](const Switches& s) { return s.fix && !s.lockOffset; },
     {N::kFixParallax, N::kLockOffset}},
    {{N::kLockOffset}, false, [](const Switches& s) { return s.fix; }, {N::kFixParallax}},
    {{N::kCalculateScale, N::kScale},
     false,
     [](const Switches& s) { return s.fit && !s.lockScale && !s.spherical; },
     {N::kScaleToFit, N::kLockScale, N::kAlignmentSpace}},
    {{N::kLockScale},
     false,
     [](const Switches& s) { return s.fit && !s.spherical; },
     {N::kScaleToFit, N::kAlignmentSpace}},
    {{N::kConvergenceDepth},
     false,
     [](const Switches& s) { return !s.autoDepth; },
     {N::kAutoConvergenceDepth}},
    {{N::kOutputFormat, N::kAutoConvergenceDepth, N::kConvergenceDepth},
     true,
     [](const Switches& s) { return s.spherical; },
     {N::kAlignmentSpace}},
};
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

bool VerticalAlignerKnobManager::applyEnablingRules(const char* changed) const {
    const Knob* space = knob(N::kAlignmentSpace);
    const Knob* what = knob(N::kAlignWhat);
    const Switches s{value(N::kLocalAlignment),
                     value(N::kFixParallax),
                     value(N::kLockOffset),
                     value(N::kScaleToFit),
                     value(N::kLockScale),
                     space && int(space->value()) == Spherical,
                     value(N::kAutoConvergenceDepth),
                     what ? int(what->value()) : 0};
    bool applied = false;
    for (const EnablingRule& rule : kEnablingRules) {
        if (changed && std::none_of(rule.reads.begin(), rule.reads.end(),
                                    [&](const char* r) { return std::strcmp(r, changed) == 0; }))
            continue;
        const bool on = rule.on(s);
        for (const char* name : rule.knobs)
            if (Knob* k = knob(name)) rule.show ? k->visible(on) : k->enable(on);
        applied = true;
    }
    return applied;
}

void VerticalAlignerKnobManager::fullRefresh() {
    applyEnablingRules(nullptr);
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
    // Counted in 64 bits: a range that ends near the largest frame number must not wrap.
    for (long long frame = first; frame < last; frame += step) {
        ValueStuffArgs a;
        a.value = double(frame);
        a.time = double(frame);
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
    if (is(Knob::kShowPanel)) {
        fullRefresh();
        return 1;
    }
    if (is(Knob::kInputChange)) {
        applyEnablingRules(N::kAutoConvergenceDepth);
        return 0;
    }
    if (is(N::kDisparityBlurSize)) {
        _owner->preBlur().size(float(k->value()));
        return 1;
    }
    if (applyEnablingRules(name.c_str())) return 1;
    if (is(N::kLeftView) || is(N::kRightView)) {
        clearMatches();
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
    if (is(N::kFixPoint)) {
        Framing::computeOffset(*_owner);
        return 1;
    }
    if (is(N::kCalculateScale)) {
        Framing::computeScale(*_owner);
        return 1;
    }
    return 0;
}

} // namespace Marrow::Research
