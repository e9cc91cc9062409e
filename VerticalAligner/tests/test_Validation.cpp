// Validation's messages, one set-up problem at a time, and the identity STMap of a view with
// no alignment.
#include "AlignerStage.h"
#include "mwVerticalAlignerRenderEngine.h"

#include "Kx/Image/Engine.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace Marrow::Research;
using R = VerticalAlignerRenderEngine;

namespace {

// A plain stereo plate: colour and STMap channels only, no metadata, no disparity.
const Op::Description plainDescription("PlainPlate", [](Node* n) -> Op* {
    return new AlignerTest::FlatPlate(n, "PlainPlate", 80, 40,
                                      Mask_RGBA + ChannelSet{R::stmapU(), R::stmapV()}, 1);
});

struct Stage : AlignerTest::Views {
    Stage() : Views({"left", "right"}) { node.setInput(0, &plate); }
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
    const ChannelSet stmap{R::stmapU(), R::stmapV()};
    bool seen = false;
    ASSERT_TRUE(Engine::renderRows(*op, Box(0, 0, 80, 40), stmap, [&](int y, const Row& row) {
        for (int x = 0; x < 80; ++x) {
            EXPECT_FLOAT_EQ(row[R::stmapU()][x], (x + 0.5f) / 80);
            EXPECT_FLOAT_EQ(row[R::stmapV()][x], (y + 0.5f) / 40);
        }
        seen = true;
    }));
    EXPECT_TRUE(seen);
}
