// Tiny images made in code for the engine's tests: one whose values encode their own
// coordinates (x + 10·y, plus 1000·channel), so a pixel read back tells exactly where it came
// from, and one of any pattern.
#pragma once

#include "Kx/Image/Iop.h"

#include <functional>
#include <string>

namespace KxTest {

using namespace Kx::Image;

// An image whose pixels inside box are pattern(x, y, channel). The name goes into the
// hash, since the engine's cache keeps rendered areas by hash across the whole test run.
class PatternSource : public Iop {
public:
    using Pattern = std::function<float(int x, int y, Channel z)>;

    PatternSource(std::string name, const Box& box, Pattern pattern,
                  ChannelSet channels = Mask_RGBA)
        : Iop(nullptr), _name(std::move(name)), _box(box), _pattern(std::move(pattern)),
          _channels(channels) {
        set_node_inputs(0);
    }
    const char* Class() const override { return "PatternSource"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void append(Hash& h) override {
        h.append(_name);
        h.append(&_box, sizeof _box);
    }
    void _validate(bool) override {
        info().format = Format(_box.r(), _box.t());
        info().full_size_format = info().format;
        info().box = _box;
        info().channels = _channels;
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i) out[i] = _pattern(i, y, z);
        }
    }

private:
    std::string _name;
    Box _box;
    Pattern _pattern;
    ChannelSet _channels;
};

// x + 10·y + 1000·channel + offset over w x h; it counts the rows it renders.
class CoordinateSource : public PatternSource {
public:
    CoordinateSource(int w, int h, ChannelSet channels = Mask_RGBA)
        : PatternSource(
              "coordinates", Box(0, 0, w, h),
              [this](int x, int y, Channel z) { return float(x + 10 * y + 1000 * z) + offset; },
              channels) {}
    const char* Class() const override { return "CoordinateSource"; }
    void append(Hash& h) override {
        PatternSource::append(h);
        h.append(offset);
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        ++rowsRendered;
        PatternSource::engine(y, x, r, channels, row);
    }

    float offset = 0.0f;
    std::atomic<int> rowsRendered{0};
};

} // namespace KxTest
