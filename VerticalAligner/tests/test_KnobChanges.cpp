// What the panel's changes do: Key All, the reset question and its "no", presets applied
// and recognised, and the enabling rules on panel opening and after a change.
#include "AlignerStage.h"
#include "mwControlPointsKnob.h"

#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Question.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

using namespace Kx::Image;
using namespace Marrow::Research;
using K = VerticalAlignerKnobManager;

namespace {

// A plate of frames 1 to 100, for the frame range of the aligner's inputs.
const Op::Description framesDescription("Frames", [](Node* n) -> Op* {
    return new AlignerTest::FlatPlate(n, "Frames", 64, 32, Mask_RGBA, 100);
});

// A plate of the last hundred frames an int numbers, for Key All at the end of the range.
class LateFrames : public AlignerTest::FlatPlate {
public:
    using FlatPlate::FlatPlate;
    void _validate(bool forReal) override {
        FlatPlate::_validate(forReal);
        info().first_frame = std::numeric_limits<int>::max() - 100;
        info().last_frame = std::numeric_limits<int>::max();
    }
};
const Op::Description lateDescription("LateFrames", [](Node* n) -> Op* {
    return new LateFrames(n, "LateFrames", 64, 32, Mask_RGBA, 1);
});

struct Panel : AlignerTest::Views {
    explicit Panel(const char* plate = "Frames")
        : Views({"left", "right"}), source(plate, "Plate1") {}
    ~Panel() { Question::setAnswer(std::nullopt); }
    Node source;
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

// Key All over a range that ends at the largest frame number keys it without wrapping around,
// and the keys read at a frame that is not a number hold the first key.
TEST(KnobChanges, KeysAtTheEdgesOfTheFrameNumbers) {
    Panel p("LateFrames");
    p.open(1);
    p.press("addAllKeys");
    const double first = std::numeric_limits<int>::max() - 100;
    EXPECT_EQ(p.kv().keyFrames(), (std::set<double>{first, first + 30, first + 60, first + 90}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    p.node.setContext(OutputContext(nan, 1));
    EXPECT_EQ(p.node.knob("analysisKeyframe")->value(), first);
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

// The enabling rules are one table: after every change of a switch the panel shows exactly
// what opening it again shows, and the knob each step is about takes the state of its rule.
TEST(KnobChanges, EveryChangeEnablesAsOpeningThePanelDoes) {
    Panel p;
    p.open(1);
    // Spherical space by default: no camera correction and no zoom.
    EXPECT_FALSE(p.on("alignCamera"));
    EXPECT_FALSE(p.on("scaleToFit"));
    EXPECT_FALSE(p.on("passThroughOther"));
    EXPECT_FALSE(p.on("disparityBlurSize"));
    EXPECT_TRUE(p.node.knob("outputFormat")->isVisible());

    struct Step {
        const char* knob;
        double value;
        const char* watched;
        bool enabled;
    };
    const Step steps[] = {
        {"alignmentSpace", K::Rectilinear, "calculateScale", false}, // scaleToFit is off
        {"alignmentSpace", K::Rectilinear, "scaleToFit", true},
        {"scaleToFit", 1, "calculateScale", true},
        {"lockScale", 1, "scale", false},
        {"alignmentSpace", K::Spherical, "lockScale", false},
        {"lockScale", 0, "calculateScale", false}, // still spherical
        {"alignmentSpace", K::Rectilinear, "calculateScale", true},
        {"scaleToFit", 0, "lockScale", false},
        {"lockOffset", 1, "fixPoint", false}, // fixParallax is off
        {"fixParallax", 1, "fixPoint", false},
        {"lockOffset", 0, "offset", true},
        {"fixParallax", 0, "lockOffset", false},
        {"localAlignment", 1, "localCorrection", true},
        {"alignWhat", K::LeftToRight, "passThroughOther", true},
        {"autoConvergenceDepth", 0, "convergenceDepth", true},
        {"alignWhat", K::BothViews, "passThroughOther", false},
    };
    const char* const ruled[] = {
        "passThroughOther", "alignCamera", "scaleToFit", "disparityBlurSize",
        "localCorrection",  "fixPoint",    "offset",     "lockOffset",
        "calculateScale",   "scale",       "lockScale",  "convergenceDepth"};
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.knob) + " = " + std::to_string(step.value));
        p.set(step.knob, step.value);
        EXPECT_EQ(p.on(step.watched), step.enabled) << step.watched;
        std::vector<bool> changed;
        for (const char* name : ruled) changed.push_back(p.on(name));
        const bool shown = p.node.knob("outputFormat")->isVisible();
        p.node.setPanelOpen(true);
        for (size_t i = 0; i < std::size(ruled); ++i)
            EXPECT_EQ(changed[i], p.on(ruled[i])) << ruled[i];
        EXPECT_EQ(shown, p.node.knob("outputFormat")->isVisible());
    }
    p.set("disparityBlurSize", 24);
    EXPECT_EQ(AlignerTest::plugin(p.node).preBlur().sizeW(), 24.0f);
}
