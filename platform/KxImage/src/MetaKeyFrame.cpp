// The key-frame control and its delegate.
#include "Kx/Image/MetaKeyFrame.h"

namespace Kx::Image {

MetaKeyFrameKnob::MetaKeyFrameKnob(Node* node, std::string name, std::string label)
    : Knob(node, KnobKind::KeyFrameControl, KnobStorage::None, std::move(name), std::move(label)) {}

std::set<float> MetaKeyFrameKnob::keys() const {
    std::set<float> k;
    if (_delegate) _delegate->getKeyList(k);
    return k;
}

void MetaKeyFrameKnob::addKey(float frame) {
    if (_delegate) _delegate->keyOperation(MetaKeyFrameDelegate::kAddKey, frame);
}

void MetaKeyFrameKnob::deleteKey(float frame) {
    if (_delegate) _delegate->keyOperation(MetaKeyFrameDelegate::kDeleteKey, frame);
}

std::optional<float> MetaKeyFrameKnob::nextKey(float frame) const {
    auto k = keys();
    auto it = k.upper_bound(frame);
    if (it == k.end()) return std::nullopt;
    return *it;
}

std::optional<float> MetaKeyFrameKnob::previousKey(float frame) const {
    auto k = keys();
    auto it = k.lower_bound(frame);
    if (it == k.begin()) return std::nullopt;
    return *std::prev(it);
}

void MetaKeyFrameKnob::get_key_list(std::set<double>& out, int) const {
    for (float f : keys()) out.insert(f);
}

} // namespace Kx::Image
