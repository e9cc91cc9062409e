// A plug-in built with the tree: an image op that shifts its input by a whole number of
// pixels and multiplies it by a gain, registered as "KxTestShift". Loading it tests the
// registry, the builder and rendering through a real dlopen'ed library.
#include "Kx/Image/Iop.h"
#include "Kx/Image/Node.h"

namespace {

using namespace Kx::Image;

class TestShift : public Iop {
public:
    explicit TestShift(Node* node) : Iop(node) {}
    const char* Class() const override { return "KxTestShift"; }
    const char* node_help() const override { return "Shifts its input and applies a gain."; }

    void append(Hash& h) override {
        h.append(dx);
        h.append(gain);
    }
    void _validate(bool for_real) override {
        Iop::_validate(for_real);
        info().box.move(dx, 0);
    }
    void _request(int x, int y, int r, int t, ChannelSet channels, int count) override {
        if (Iop* in = input_iop(0)) in->request(x - dx, y, r - dx, t, channels, count);
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        Row in(x - dx, r - dx);
        input_iop(0)->get(y, x - dx, r - dx, channels, in);
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i) out[i] = in[z][i - dx] * gain;
        }
    }

    int dx = 3;
    float gain = 2.0f;
};

Op* build(Node* node) {
    return new TestShift(node);
}

const Op::Description description("KxTestShift", build);

} // namespace
