// Validation's messages, one set-up problem at a time, and the identity STMap of a view with
// no alignment.
#include "FlatPlate.h"
#include "mwVerticalAlignerPlugin.h"
#include "mwVerticalAlignerRenderEngine.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Node.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace Marrow::Research;

namespace {

// A plain stereo plate: colour and STMap channels only, no metadata, no disparity.
const Op::Description plainDescription("PlainPlate", [](Node* n) -> Op* {
    return new AlignerTest::FlatPlate(n, "PlainPlate", 80, 40,
                                      Mask_RGBA + ChannelSet{VerticalAlignerRenderEngine::stmapU(),
                                                             VerticalAlignerRenderEngine::stmapV()},
                                      1);
});

// The views exist before the nodes, whose view knobs take their defaults from them.
struct StereoViews {
    StereoViews() { OutputContext::setViews({"left", "right"}); }
};

struct Stage : StereoViews {
    Stage() { node.setInput(0, &plate); }
    std::string message(int view = 1) {
        Op* op = node.op(OutputContext(1, view));
        op->validate(true);
        return op->errorMessage();
    }
    void set(const char* name, double v) { node.knob(name)->setValue(v); }
    Node plate{"PlainPlate", "Plate"};
    Node node{"Q_VerticalAligner2_1", "VerticalAligner1"};
};

} // namespace

TEST(Validation, EachSetUpProblemHasItsMessage) {
    Stage s;
    EXPECT_EQ(s.message(), "No rig metadata available. Please add an upstream Q_CameraSolver "
                           "node or switch Camera Layout to Stereo Layout.");
    s.set("layoutType", VerticalAlignerKnobManager::StereoLayout);
    EXPECT_EQ(s.message(), "");
    s.set("localAlignment", 1);
    EXPECT_EQ(s.message(), "No disparity for local alignment. Please add an upstream "
                           "Q_DisparityGenerator node.");
    s.set("localAlignment", 0);
    s.set("fixParallax", 1);
    EXPECT_EQ(s.message(), "No disparity to fix parallax. Please add an upstream "
                           "Q_DisparityGenerator node.");
    s.set("lockOffset", 1); // a locked offset needs no disparity
    EXPECT_EQ(s.message(), "");
    s.set("rightView", 1);
    EXPECT_EQ(s.message(), "Cannot align a view to itself. Please change the values of the left "
                           "and right input views.");
}

TEST(Validation, WithoutAlignmentTheStMapIsTheIdentity) {
    Stage s;
    s.set("layoutType", VerticalAlignerKnobManager::StereoLayout);
    s.set("alignmentSpace", VerticalAlignerKnobManager::Rectilinear);
    Iop* op = s.node.iop(OutputContext(1, 2));
    const ChannelSet stmap =
        ChannelSet{VerticalAlignerRenderEngine::stmapU(), VerticalAlignerRenderEngine::stmapV()};
    bool seen = false;
    ASSERT_TRUE(Engine::renderRows(*op, Box(0, 0, 80, 40), stmap, [&](int y, const Row& row) {
        for (int x = 0; x < 80; ++x) {
            EXPECT_FLOAT_EQ(row[VerticalAlignerRenderEngine::stmapU()][x], (x + 0.5f) / 80);
            EXPECT_FLOAT_EQ(row[VerticalAlignerRenderEngine::stmapV()][x], (y + 0.5f) / 40);
        }
        seen = true;
    }));
    EXPECT_TRUE(seen);
}
