// The node in a host graph on tiny plates made in code: what it writes in each view, what it
// passes through, and how it answers bad input.
#include "mwDisparityGeneratorPlugin.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/Node.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace Kx::Image;
using Marrow::Research::DisparityGeneratorPlugin;

namespace {

// What the test plate shows: its size per view, whether it has colour, and the horizontal
// shift of the right view's texture.
struct PlateShape {
    int width = 96, height = 64, rightWidth = 96;
    bool colour = true, textured = true;
    double shift = 2.0;
};
PlateShape plateShape;

// A stereo plate of views "left" and "right": a band-limited texture, in the right view
// shifted to the right by plateShape.shift; alpha 0.25 in the left view and 0.75 in the right.
class TinyPlate : public Iop {
public:
    explicit TinyPlate(Node* n) : Iop(n) {}
    const char* Class() const override { return "TinyPlate"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    // What it shows, so that caches keyed by the hash tell the tests' plates apart.
    void append(Hash& h) override {
        for (int v : {plateShape.width, plateShape.height, plateShape.rightWidth,
                      int(plateShape.colour), int(plateShape.textured)})
            h.append(v);
        h.append(plateShape.shift);
    }
    void _validate(bool) override {
        const int w = right() ? plateShape.rightWidth : plateShape.width;
        info().format = info().full_size_format = Format(w, plateShape.height);
        info().box = Box(0, 0, w, plateShape.height);
        info().channels = plateShape.colour ? Mask_RGBA : Mask_Alpha;
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        const double s = right() ? plateShape.shift : 0.0;
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i) {
                const double u = i + 0.5 - s, v = y + 0.5;
                out[i] = z == Chan_Alpha        ? (right() ? 0.75f : 0.25f)
                         : !plateShape.textured ? 0.5f
                                                : float(0.4 + 0.1 * std::sin(0.9 * u + 0.3 * v) +
                                                        0.1 * std::sin(0.35 * u - 0.8 * v) +
                                                        0.1 * std::sin(0.2 * u + 0.45 * v));
            }
        }
    }

private:
    bool right() const { return view() == OutputContext::lookup_view("right"); }
};

Op* buildPlate(Node* n) {
    return new TinyPlate(n);
}
const Op::Description plateDescription("TinyPlate", buildPlate);

// The views exist before the nodes, whose view knobs take their defaults from them.
struct StereoViews {
    StereoViews() { OutputContext::setViews({"left", "right"}); }
};

struct Graph : StereoViews {
    Node plate{plateDescription, "Plate"};
    Node generator{DisparityGeneratorPlugin::kClassName, "DisparityGenerator1"};
    bool connected = generator.setInput(0, &plate);

    Iop& op(int view) {
        Iop* o = generator.iop(OutputContext(1, view));
        o->validate(true);
        return *o;
    }
    std::vector<float> render(int view, Channel z) {
        Iop& o = op(view);
        EXPECT_FALSE(o.hasError()) << o.errorMessage();
        std::vector<float> plane(size_t(o.format().width() * o.format().height()));
        const int w = o.format().width();
        EXPECT_TRUE(Engine::renderRows(
            o, Box(0, 0, w, o.format().height()), ChannelSet{z},
            [&](int y, const Row& row) { std::copy(row[z], row[z] + w, plane.begin() + y * w); }));
        return plane;
    }
};

double mean(const std::vector<float>& v) {
    double s = 0;
    for (float f : v) s += f;
    return s / double(v.size());
}

} // namespace

// Both views' disparity in both views' outputs, alike; the other channels pass through from
// the output's own view.
TEST(GeneratorNode, WritesBothPairsInEveryViewAndPassesTheRestThrough) {
    plateShape = PlateShape();
    Graph g;
    ASSERT_TRUE(g.connected);
    const ChannelSet out = g.op(1).channels();
    EXPECT_TRUE(out.contains(Chan_DisparityL_X) && out.contains(Chan_DisparityR_Y));
    EXPECT_TRUE(out.contains(DisparityGeneratorPlugin::occlusionLeftChannel()));
    for (Channel z : std::vector<Channel>{Chan_DisparityL_X, Chan_DisparityR_X, Chan_DisparityL_Y,
                                          DisparityGeneratorPlugin::occlusionRightChannel()}) {
        SCOPED_TRACE(getName(z));
        EXPECT_EQ(g.render(1, z), g.render(2, z));
    }
    // The texture moves right by 2 pixels from the left view to the right one.
    EXPECT_NEAR(mean(g.render(1, Chan_DisparityL_X)), 2.0, 0.2);
    EXPECT_NEAR(mean(g.render(2, Chan_DisparityR_X)), -2.0, 0.2);
    EXPECT_EQ(g.render(1, Chan_Alpha), std::vector<float>(96 * 64, 0.25f));
    EXPECT_EQ(g.render(2, Chan_Alpha), std::vector<float>(96 * 64, 0.75f));
}

// Each bad input gives an error that names what to change.
TEST(GeneratorNode, RefusesInputItCannotMatch) {
    struct Case {
        const char* name;
        PlateShape plate;
        const char* knob;
        int value;
        const char* message;
    };
    PlateShape narrowRight, noColour, tiny;
    narrowRight.rightWidth = 80;
    noColour.colour = false;
    tiny.width = tiny.rightWidth = 24;
    const Case cases[] = {
        {"one view twice",
         {},
         "rightView",
         1,
         "Left View and Right View both name the view \"left\""},
        {"views of different sizes", narrowRight, nullptr, 0,
         "the left view \"left\" is 96 x 64 and the right view \"right\" is 80 x 64"},
        {"no colour", noColour, nullptr, 0, "no red, green or blue channel"},
        {"too small", tiny, nullptr, 0, "the views are 24 x 64; the disparity needs at least 32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plateShape = c.plate;
        Graph g;
        if (c.knob) g.generator.knob(c.knob)->setValue(c.value);
        Iop& op = g.op(1);
        EXPECT_TRUE(op.hasError());
        EXPECT_NE(op.errorMessage().find(c.message), std::string::npos) << op.errorMessage();
    }
}

// A pair with no texture renders zero disparity, every pixel marked occluded, with a warning.
TEST(GeneratorNode, WarnsOnAFrameWithNoTexture) {
    plateShape = PlateShape();
    plateShape.textured = false;
    Graph g;
    EXPECT_EQ(g.render(1, Chan_DisparityL_X), std::vector<float>(96 * 64, 0.0f));
    EXPECT_EQ(g.render(1, DisparityGeneratorPlugin::occlusionLeftChannel()),
              std::vector<float>(96 * 64, 1.0f));
    EXPECT_FALSE(g.op(1).hasError());
    EXPECT_NE(g.op(1).lastMessage().find("no texture to match"), std::string::npos)
        << g.op(1).lastMessage();
}
