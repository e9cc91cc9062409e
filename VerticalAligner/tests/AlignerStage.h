// What the node tests share: the views, which exist before the nodes (whose view knobs take
// their defaults from them), the aligner's op of a node, and a plate of one grey value for the
// tests that need an input but no picture (its format, channels and frame range are the test's).
#pragma once

#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Node.h"

#include <algorithm>
#include <string>
#include <vector>

namespace AlignerTest {

using namespace Kx::Image;

struct Views {
    explicit Views(const std::vector<std::string>& names) { OutputContext::setViews(names); }
};

inline Marrow::Research::VerticalAlignerPlugin& plugin(Node& n) {
    return *static_cast<Marrow::Research::VerticalAlignerPlugin*>(n.firstOp());
}

class FlatPlate : public Iop {
public:
    FlatPlate(Node* n, const char* name, int w, int h, ChannelSet channels, int lastFrame)
        : Iop(n), _name(name), _w(w), _h(h), _channels(channels), _last(lastFrame) {}
    const char* Class() const override { return _name; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void _validate(bool) override {
        info().format = info().full_size_format = Format(_w, _h);
        info().box = Box(0, 0, _w, _h);
        info().channels = _channels;
        info().first_frame = 1;
        info().last_frame = _last;
    }
    void engine(int, int x, int r, ChannelSet channels, Row& row) override {
        for (Channel z : channels) std::fill(row.writable(z) + x, row.writable(z) + r, 0.5f);
    }

private:
    const char* _name;
    int _w, _h;
    ChannelSet _channels;
    int _last;
};

} // namespace AlignerTest
