// The key-frame control (knob kind 70): a widget that lists key frames and has buttons to
// add, delete and step between them. It keeps no keys of its own: it asks its delegate for
// the list and passes each add or delete to the delegate as an operation code.
#pragma once

#include "Knob.h"

#include <optional>
#include <set>

namespace Kx::Image {

class MetaKeyFrameDelegate {
public:
    static constexpr int kAddKey = 0;
    static constexpr int kDeleteKey = 1;

    virtual ~MetaKeyFrameDelegate() = default;
    // Empties the set and fills it with every key frame.
    virtual void getKeyList(std::set<float>& keys) = 0;
    // kAddKey or kDeleteKey at a frame; other codes do nothing.
    virtual void keyOperation(int code, float frame) = 0;
};

class MetaKeyFrameKnob : public Knob {
public:
    MetaKeyFrameKnob(Node* node, std::string name, std::string label);

    void setDelegate(MetaKeyFrameDelegate* d) { _delegate = d; }
    MetaKeyFrameDelegate* delegate() const { return _delegate; }

    // The delegate's keys (none without a delegate).
    std::set<float> keys() const;
    void addKey(float frame);
    void deleteKey(float frame);
    // The first key after, or the last key before, a frame.
    std::optional<float> nextKey(float frame) const;
    std::optional<float> previousKey(float frame) const;

    const char* Class() const override { return "MetaKeyFrameKnob"; }
    using Knob::get_key_list;
    void get_key_list(std::set<double>& keys, int view) const override;
    bool keyframesDisplayed() const override { return true; }

private:
    MetaKeyFrameDelegate* _delegate = nullptr;
};

} // namespace Kx::Image
