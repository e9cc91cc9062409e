// DelegateKeyFrameDisplayKnob: shows the keys of another knob in the timeline.
//
// The analysis keys are the keys of an invisible knob, and the timeline shows no keys of
// invisible knobs. This knob displays key frames and answers the key list of its target,
// so the keys appear without the target being shown.
#pragma once

#include "Kx/Image/Knob.h"

namespace Marrow::Research {

class DelegateKeyFrameDisplayKnob : public Kx::Image::Knob {
public:
    DelegateKeyFrameDisplayKnob(Kx::Image::Node* node, const char* name);

    void setTarget(Kx::Image::Knob* target) { _target = target; }
    Kx::Image::Knob* target() const { return _target; }

    const char* Class() const override { return "DelegateKeyFrameDisplayKnob"; }
    void get_key_list(std::set<double>& keys, int view) const override;
    void get_key_list(std::set<double>& keys) const override;
    bool keyframesDisplayed() const override { return _displayKeys; }

private:
    bool _displayKeys = true;
    Kx::Image::Knob* _target = nullptr; // not owned
};

} // namespace Marrow::Research
