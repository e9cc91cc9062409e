// Tiny images made in code for the engine's tests. Values encode their own coordinates
// (x + 10·y, plus 1000·channel), so a pixel read back tells exactly where it came from.
#pragma once

#include "Kx/Image/Iop.h"

namespace KxTest {

using namespace Kx::Image;

class CoordinateSource : public Iop {
public:
    CoordinateSource(int w, int h, ChannelSet channels = Mask_RGBA)
        : Iop(nullptr), _w(w), _h(h), _channels(channels) {
        set_node_inputs(0);
    }
    const char* Class() const override { return "CoordinateSource"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void append(Hash& h) override {
        h.append(_w);
        h.append(_h);
        h.append(offset);
    }
    void _validate(bool) override {
        info().format = Format(_w, _h);
        info().full_size_format = info().format;
        info().box = Box(0, 0, _w, _h);
        info().channels = _channels;
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        ++rowsRendered;
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i) out[i] = float(i + 10 * y + 1000 * z) + offset;
        }
    }

    float offset = 0.0f;
    std::atomic<int> rowsRendered{0};

private:
    int _w, _h;
    ChannelSet _channels;
};

} // namespace KxTest
