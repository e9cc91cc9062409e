#include "mwDelegateKeyFrameDisplayKnob.h"

namespace Marrow::Research {

DelegateKeyFrameDisplayKnob::DelegateKeyFrameDisplayKnob(Kx::Image::Node* node, const char* name)
    : Knob(node, 21, 18, name) {}

void DelegateKeyFrameDisplayKnob::get_key_list(std::set<double>& keys, int view) const {
    if (_target)
        _target->get_key_list(keys, view);
    else
        Knob::get_key_list(keys, view);
}

void DelegateKeyFrameDisplayKnob::get_key_list(std::set<double>& keys) const {
    if (_target)
        _target->get_key_list(keys);
    else
        Knob::get_key_list(keys);
}

} // namespace Marrow::Research
