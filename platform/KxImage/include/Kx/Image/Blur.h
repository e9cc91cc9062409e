// Blur: a separable Gaussian blur of its input, with a size per axis.
//
// The size is the width of the kernel in pixels (the Gaussian's sigma is size / 6, so a
// size covers about plus and minus three sigmas); 0 on an axis leaves that axis untouched.
// The data box grows by half the size on each side so nothing is cut off. Sizes are in
// full-size pixels and scaled by the output context's proxy scale.
#pragma once

#include "Iop.h"

#include <vector>

namespace Kx::Image {

class Blur : public Iop {
public:
    explicit Blur(Node* node);
    const char* Class() const override { return "Blur"; }

    void size(float w, float h) { _sizeW = w, _sizeH = h; }
    void size(float s) { size(s, s); }
    float sizeW() const { return _sizeW; }
    float sizeH() const { return _sizeH; }
    // Only these channels are blurred; others pass through (all by default).
    void channels_to_blur(const ChannelSet& c) { _blurChannels = c; }

    void append(Hash& h) override;
    void _validate(bool for_real) override;
    void _request(int x, int y, int r, int t, ChannelSet channels, int count) override;
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override;

private:
    // The normalised weights of one axis: 2·r + 1 of them, r = ceil(size / 2) being the
    // half-width in pixels; a single 1 for a size of 0 (or less).
    static std::vector<float> kernel(float size);

    float _sizeW = 0, _sizeH = 0;
    ChannelSet _blurChannels = ChannelSet::all();
    std::vector<float> _kx, _ky;
};

} // namespace Kx::Image
