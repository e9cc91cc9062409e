// What the panel's changes do: Key All, the reset question and its "no", presets applied
// and recognised, and the enabling rules on panel opening and after a change.
#include "AlignerStage.h"
#include "mwControlPointsKnob.h"

#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Question.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace Marrow::Research;
using K = VerticalAlignerKnobManager;

namespace {

// A plate of frames 1 to 100, for the frame range of the aligner's inputs.
const Op::Description framesDescription("Frames", [](Node* n) -> Op* {
    return new AlignerTest::FlatPlate(n, "Frames", 64, 32, Mask_RGBA, 100);
});

struct Panel : AlignerTest::Views {
    Panel() : Views({"left", "right"}) {}
    ~Panel() { Question::setAnswer(std::nullopt); }
    Node source{"Frames", "Frames1"};
    Node node{"Q_VerticalAligner2_1", "VerticalAligner1"};
    VerticalAlignerKnobManager& kv() { return AlignerTest::plugin(node).knobValues(); }
    void open(double frame) {
        node.setInput(0, &source);
        node.setContext(OutputContext(frame, 1));
        node.setPanelOpen(true);
    }
    void press(const char* name) { KnobChange::notify(*node.knob(name)); }
    void set(const char* name, double v) { node.knob(name)->setValue(v); }
    bool on(const char* name) { return node.knob(name)->isEnabled(); }
};

} // namespace

TEST(KnobChanges, KeyAllStepsOverTheRangeLeavingTheLastFrame) {
    Panel p;
    p.open(500);
    EXPECT_EQ(p.kv().keyFrames(), (std::set<double>{100})); // opened past the end: one key
    p.node.setPanelOpen(true);
    EXPECT_EQ(p.kv().keyCount(), 1); // opening again adds none
    p.press("addAllKeys");
    EXPECT_EQ(p.kv().keyFrames(), (std::set<double>{1, 31, 61, 91}));
    p.set("keyStep", 1);
    p.press("addAllKeys");
    EXPECT_EQ(p.kv().keyCount(), 99);
    EXPECT_FALSE(p.kv().isAnalysisKey(100));
    p.set("keyStep", 0); // clamped to the range
    EXPECT_EQ(p.kv().keyStep(), 1);
}

TEST(KnobChanges, ResetAsksOnlyWithStoredMatchesAndNoKeepsEverything) {
    Panel p;
    p.open(10);
    p.press("deleteAllKeys"); // no matches stored: no question
    EXPECT_EQ(p.kv().keyCount(), 0);
    p.kv().addKey(10);
    p.kv().controlPoints()->tracksForFrame(10).addTrack(FeatureTrack());
    Question::setAnswer(false);
    p.press("deleteAllKeys");
    EXPECT_EQ(p.kv().keyCount(), 1);
    EXPECT_EQ(p.kv().controlPoints()->frameCount(), 1);
    Question::setAnswer(true);
    p.press("addAllKeys");
    EXPECT_EQ(p.kv().controlPoints()->frameCount(), 0);
    EXPECT_EQ(p.kv().keyCount(), 4);
    // A view change clears the matches without a question.
    p.kv().controlPoints()->tracksForFrame(1).addTrack(FeatureTrack());
    Question::setAnswer(false);
    p.set("leftView", 2);
    EXPECT_EQ(p.kv().controlPoints()->frameCount(), 0);
}

TEST(KnobChanges, PresetsAppliedAndRecognised) {
    Panel p;
    p.open(1);
    p.set("alignmentType", K::Transform);
    EXPECT_EQ(p.kv().alignmentOptions(), 0x2 | 0x4 | 0x8);
    p.set("alignPerspective", 1);
    EXPECT_EQ(p.kv().alignmentType(), K::Custom);
    p.set("alignVerticalSkew", 1);
    EXPECT_EQ(p.kv().alignmentType(), K::Full);
    p.set("alignmentType", K::Custom);
    EXPECT_EQ(p.kv().alignmentOptions(), 0x3E); // "Custom" leaves the checkboxes
    p.set("alignmentType", K::MatchCamera);
    EXPECT_EQ(p.kv().alignmentOptions(), 0x1);
}

TEST(KnobChanges, EnablingRulesOnOpeningAndAfterAChange) {
    Panel p;
    p.open(1);
    // Spherical space by default: no camera correction and no zoom.
    EXPECT_FALSE(p.on("alignCamera"));
    EXPECT_FALSE(p.on("scaleToFit"));
    EXPECT_FALSE(p.on("passThroughOther"));
    EXPECT_FALSE(p.on("disparityBlurSize"));
    EXPECT_TRUE(p.node.knob("outputFormat")->isVisible());
    p.set("alignmentSpace", K::Rectilinear);
    EXPECT_TRUE(p.on("calculateScale"));
    EXPECT_TRUE(p.on("scale"));
    EXPECT_TRUE(p.on("lockScale"));
    EXPECT_FALSE(p.node.knob("outputFormat")->isVisible());
    p.node.setPanelOpen(true); // the full refresh: scaleToFit is off
    EXPECT_FALSE(p.on("calculateScale"));
    EXPECT_FALSE(p.on("lockScale"));
    p.set("fixParallax", 1);
    EXPECT_TRUE(p.on("fixPoint"));
    p.set("lockOffset", 1);
    EXPECT_FALSE(p.on("fixPoint"));
    EXPECT_FALSE(p.on("offset"));
    p.set("alignWhat", K::LeftToRight);
    EXPECT_TRUE(p.on("passThroughOther"));
    p.set("disparityBlurSize", 24);
    EXPECT_EQ(AlignerTest::plugin(p.node).preBlur().sizeW(), 24.0f);
}
