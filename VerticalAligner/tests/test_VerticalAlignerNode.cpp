// The node: its registration, its panel against the knob tables, its input splits and
// camera numbering, the analysis keys, and scripts holding stored matches.
#include "mwControlPointsKnob.h"
#include "mwDelegateKeyFrameDisplayKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Knobs.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Script.h"
#include "mwException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace Kx::Image;
using namespace Marrow::Research;
using namespace KnobFlag;

namespace {

struct Views {
    explicit Views(std::vector<std::string> v) { OutputContext::setViews(v); }
    ~Views() { OutputContext::setViews({}); }
};

VerticalAlignerPlugin& plugin(Node& n) {
    return *static_cast<VerticalAlignerPlugin*>(n.firstOp());
}

// One row of the panel: script name, label, kind code, default, slider range, flags that
// must be set and flags that must be clear.
struct PanelRow {
    const char* name;
    const char* label;
    int kind;
    std::optional<double> def = {};
    std::optional<std::pair<double, double>> range = {};
    FlagMask set = 0;
    FlagMask clear = 0;
};

const PanelRow kRows[] = {
    {"leftView", "Left View", 44, 2, {}, NoUndo | NoRerender},
    {"rightView", "Right View", 44, 3, {}, NoUndo | NoRerender, StartLine},
    {"alignWhat", "Align", 4, 0},
    {"passThroughOther", "Pass-through Other View", 6, 0},
    {"layoutType", "Camera Layout", 4, 0},
    {"analysisKeyframe", "", 3, 0, {}, NoViewSplit | Invisible},
    {"delegateKeyFrames", "", 21},
    {"metaAnalysisKeys",
     "Analysis Keys",
     70,
     {},
     {},
     NoViewSplit | NoRerender | DoNotWrite | NoAnimation},
    {"keyStep", "Step", 3, 30, {{1, 100000}}, EarlyStore | NoViewSplit | NoRerender | Clamp},
    {"addAllKeys", "Key All", 32},
    {"deleteAllKeys", "Delete All", 32},
    {"importAllKeys", "Import", 32},
    {"match", "Match", 22, {}, {}, AlwaysCallChanged, Hidden},
    {"analyse", "Analyse Sequence", 22, {}, {}, Hidden | AlwaysCallChanged},
    {"createPin", "Create Corner Pin", 22, {}, {}, Hidden | AlwaysCallChanged},
    {"createCamera", "Create Camera", 22, {}, {}, Hidden | AlwaysCallChanged},
    {"createRig", "Create Rig", 22, {}, {}, Hidden | AlwaysCallChanged},
    {"errorThreshold", "Error Threshold", 8, 10, {{0, 30}}, NoRerender, Clamp},
    {"alignmentSpace", "Alignment Space", 4, 0},
    {"convergenceDepth", "Converge", 8, 10, {{0.01, 10000}}, Clamp},
    {"autoConvergenceDepth", "Auto", 6, 1, {}, NoUndo | NoRerender | NoAnimation},
    {"outputFormat", "Format", 17, {}, {}, EarlyStore},
    {"filter", "", 4, 9},
    {"outputSTMap", "Output STMap", 6, 1, {}, Hidden},
    {"alignmentType", "Preset", 4, 4},
    {"alignCamera", "Camera correction", 6, 0},
    {"alignScale", "Focal length", 6, 1},
    {"alignShift", "Vertical shift", 6, 1},
    {"alignRotate", "2D rotation", 6, 1},
    {"alignPerspective", "Perspective warp", 6, 1},
    {"alignVerticalSkew", "Vertical skew", 6, 1},
    {"localAlignment", "Local alignment", 6, 0},
    {"disparityBlurSize", "Pre-blur", 8, 16, {{0, 100}}, LogSlider, Clamp},
    {"localCorrection", "Correction", 8, 1, {{0, 1}}, LogSlider, Clamp},
    {"scaleToFit", "Zoom to prevent black in frame", 6, 0},
    {"calculateScale", "Calculate scale", 32},
    {"lockScale", "Lock scale", 6, 0, {}, 0, StartLine},
    {"scale", "Scale", 8, 1, {{1, 2}}, Clamp},
    {"fixParallax", "Preserve subject parallax", 6, 0},
    {"fixPoint", "Fix Point", 12, 0, {}, 0, NoHandles},
    {"lockOffset", "Lock offset", 6, 0, {}, 0, StartLine},
    {"offset", "Offset", 8, 0, {{-10, 10}}, 0, Clamp},
    {"analysed", "", 6, 0, {}, Invisible | NoPresets},
    {"analysedWithCamera", "", 6, 0, {}, Invisible | NoPresets},
    {"analysisSummary", "Analysis Summary", 1, {}, {}, Invisible | NoPresets},
    {"translate", "Translate", 13, 0, {}, NoHandles | Invisible | NoPresets},
    {"rotate", "Rotate", 13, 0, {}, NoHandles | Invisible | NoPresets},
    {"focalLength", "Focal Length", 8, 0, {}, Invisible | NoPresets, Slider},
    {"aperture", "Aperture", 12, 0, {}, NoHandles | Invisible | NoPresets},
    {"windowTranslate", "Window Translate", 12, 0, {}, NoHandles | Invisible | NoPresets},
    {"windowScale", "Window Scale", 12, 0, {}, NoHandles | Invisible | NoPresets},
    {"skew", "Skew", 8, 0, {}, Invisible | NoPresets, Slider},
    {"pinBL", "Bottom Left", 12, 0, {}, Invisible | NoPresets},
    {"pinBR", "Bottom Right", 12, 0, {}, Invisible | NoPresets},
    {"pinTR", "Top Right", 12, 0, {}, Invisible | NoPresets},
    {"pinTL", "Top Left", 12, 0, {}, Invisible | NoPresets},
    {"transformMatrix", "Matrix", 9, {}, {}, Invisible | NoCurveEditor | NoPresets},
    {"controlPoints", "", 21, {}, {}, EarlyStore | NoRerender | Invisible | NoAnimation},
    {"executeType", "", 3, 0, {}, NoUndo | NoRerender | Invisible | DoNotWrite},
};

} // namespace

TEST(VerticalAlignerNode, RegistersUnderItsClassName) {
    const Op::Description* d = Op::Description::find("Q_VerticalAligner2_1");
    ASSERT_NE(d, nullptr);
    EXPECT_NE(std::string(d->compileStamp).find(" for KxImage"), std::string::npos);
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "VerticalAligner1");
    EXPECT_STREQ(n.firstOp()->displayName(), "Q_VerticalAligner");
    EXPECT_EQ(std::string(n.firstOp()->node_help()).rfind("Q_VerticalAligner corrects", 0), 0u);
    EXPECT_EQ(n.firstOp()->minimum_inputs(), 1);
    EXPECT_EQ(n.firstOp()->maximum_inputs(), 1);
    char buffer[64];
    EXPECT_STREQ(n.firstOp()->input_label(0, buffer), "Source");
}

TEST(VerticalAlignerNode, PanelMatchesTheKnobTables) {
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "VerticalAligner1");
    // Declaration order of the named knobs, the support and rig-view knobs first.
    std::vector<std::string> order;
    for (Knob* k : n.declaredKnobs(false))
        if (!k->name().empty()) order.push_back(k->name());
    std::vector<std::string> expected = {"interactKnob", "serializeKnob", "rigViews",
                                         "knobEnabler",  "viewsPresets",  "manualOverride"};
    for (const PanelRow& r : kRows) {
        if (std::string(r.name) == "transformMatrix") expected.push_back("Transform Matrix");
        expected.push_back(r.name);
    }
    expected.push_back("displayInteractionKnob"); // the viewer's, after the panel
    EXPECT_EQ(order, expected);

    for (const PanelRow& r : kRows) {
        SCOPED_TRACE(r.name);
        Knob* k = n.knob(r.name);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->label(), r.label);
        EXPECT_EQ(k->kind(), r.kind);
        if (r.def) {
            EXPECT_DOUBLE_EQ(k->value(), *r.def);
        }
        if (r.range) {
            ASSERT_TRUE(k->hasRange());
            EXPECT_DOUBLE_EQ(k->rangeLow(), r.range->first);
            EXPECT_DOUBLE_EQ(k->rangeHigh(), r.range->second);
        }
        EXPECT_EQ(k->flags() & r.set, r.set);
        EXPECT_EQ(k->flags() & r.clear, 0u);
    }
    EXPECT_EQ(
        n.knob("alignmentType")->items(),
        (std::vector<std::string>{"Custom", "Transform", "Match Camera", "Keystone Only", "Full"}));
    EXPECT_EQ(n.knob("alignWhat")->items(),
              (std::vector<std::string>{"Both Views", "Left to Right", "Right to Left"}));
    EXPECT_EQ(n.knob("layoutType")->items(),
              (std::vector<std::string>{"Default (Source)", "Stereo Layout"}));
    EXPECT_EQ(n.knob("alignmentSpace")->items(),
              (std::vector<std::string>{"Spherical", "Rectilinear"}));
    EXPECT_EQ(n.knob("filter")->items().at(9), "Lanczos6");
    EXPECT_EQ(n.knob("leftView")->tooltip(), "Set the left view to use.");
    for (const char* hidden : {"rigViews", "viewsPresets", "manualOverride", "knobEnabler"})
        EXPECT_TRUE(n.knob(hidden)->flag(Hidden)) << hidden;
    // The analysis options of "Full": all but camera correction.
    EXPECT_EQ(plugin(n).knobValues().alignmentOptions(), 0x3E);
}

TEST(VerticalAlignerNode, ViewKnobsDefaultToLeftAndRightOrMain) {
    {
        Views v({"main", "left", "right"});
        Node n("Q_VerticalAligner2_1", "A");
        EXPECT_EQ(plugin(n).knobValues().leftView(), 2);
        EXPECT_EQ(plugin(n).knobValues().rightView(), 3);
        EXPECT_EQ(plugin(n).rightCameraIndex(), 1);
    }
    Views v({"main"});
    Node n("Q_VerticalAligner2_1", "B");
    EXPECT_EQ(plugin(n).knobValues().leftView(), 1);
    EXPECT_EQ(plugin(n).knobValues().rightView(), 1);
    EXPECT_EQ(plugin(n).rightCameraIndex(), 0); // the same view twice is one camera
    EXPECT_EQ(plugin(n).cameraIndexOfView(1), 0);
}

TEST(VerticalAlignerNode, SplitsReadTheOutputLeftAndRightViews) {
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "A");
    Op* op = n.op(OutputContext(7, 1));
    EXPECT_EQ(op->split_input(0), 3);
    OutputContext scratch;
    EXPECT_EQ(op->inputContext(0, 0, scratch).view(), 1);
    EXPECT_EQ(op->inputContext(0, 1, scratch).view(), 2);
    EXPECT_EQ(op->inputContext(0, 2, scratch).view(), 3);
    EXPECT_EQ(op->inputContext(0, 2, scratch).frame(), 7);
    EXPECT_EQ(plugin(n).inputNumberOfCamera(0), 1);
    EXPECT_EQ(plugin(n).inputNumberOfCamera(1), 2);
}

TEST(VerticalAlignerNode, ImpossibleCameraIndexRaisesTheAssertion) {
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "A");
    try {
        plugin(n).inputNumberOfCamera(2);
        FAIL() << "no assertion";
    } catch (const Marrow::Exceptions::AssertionFailed& e) {
        EXPECT_EQ(e.message(), "Assertion failed: index < 2 && index >= 0");
        EXPECT_EQ(e.location().function, "unknown()");
        EXPECT_NE(e.location().file.find("mwVerticalAlignerPlugin"), std::string::npos);
        EXPECT_EQ(e.location().line, 232);
    }
}

TEST(VerticalAlignerNode, AnalysisKeysThroughTheDelegate) {
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "A");
    VerticalAlignerKnobManager& kv = plugin(n).knobValues();
    auto* display = dynamic_cast<DelegateKeyFrameDisplayKnob*>(n.knob("delegateKeyFrames"));
    ASSERT_NE(display, nullptr);
    EXPECT_TRUE(display->keyframesDisplayed());
    EXPECT_EQ(display->target(), n.knob("analysisKeyframe"));

    kv.keyOperation(MetaKeyFrameDelegate::kAddKey, 40);
    kv.keyOperation(MetaKeyFrameDelegate::kAddKey, 10);
    kv.keyOperation(MetaKeyFrameDelegate::kAddKey, 40);
    kv.keyOperation(MetaKeyFrameDelegate::kDeleteKey, 25); // no key there: nothing happens
    std::set<float> keys = {99};
    kv.getKeyList(keys);
    EXPECT_EQ(keys, (std::set<float>{10, 40}));
    EXPECT_EQ(kv.keyCount(), 2);
    EXPECT_TRUE(kv.isAnalysisKey(10));
    EXPECT_FALSE(kv.isAnalysisKey(11));
    EXPECT_DOUBLE_EQ(n.knob("analysisKeyframe")->value(0, 0, 40), 40);
    std::set<double> shown;
    display->get_key_list(shown);
    EXPECT_EQ(shown, (std::set<double>{10, 40}));

    kv.keyOperation(MetaKeyFrameDelegate::kDeleteKey, 10);
    kv.keyOperation(MetaKeyFrameDelegate::kDeleteKey, 40);
    EXPECT_FALSE(kv.hasKeys());
    kv.keyOperation(7, 5); // other codes do nothing
    EXPECT_FALSE(kv.hasKeys());
    // The execution runs the left view only and skips frames without a key.
    kv.addKey(3);
    Executable* ex = n.firstOp()->executable();
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(ex->viewsToExecute(), (std::set<int>{2}));
    EXPECT_FALSE(ex->skipFrame(OutputContext(3, 2)));
    EXPECT_TRUE(ex->skipFrame(OutputContext(4, 2)));
}

TEST(VerticalAlignerNode, ScriptWithStoredMatchesRoundTrips) {
    Views v({"main", "left", "right"});
    Graph g;
    Node* n = g.add(std::make_unique<Node>("Q_VerticalAligner2_1", "VerticalAligner1"));
    ControlPointsKnob* points = plugin(*n).knobValues().controlPoints();
    ASSERT_NE(points, nullptr);
    FeatureTrack t;
    t.addFeature(0, Feature(100.125, 200.0625));
    t.addFeature(1, Feature(90.3, 201.7));
    t.setPoint(Point(0.1, 0.2, -5.3, 0.0123456789));
    points->tracksForFrame(12).addTrack(t);
    plugin(*n).knobValues().addKey(12);
    n->knob("alignmentType")->setValue(1);

    const std::string text = Script::write(g);
    std::string error;
    auto loaded = Script::read(text, "aligner.kscript", &error);
    ASSERT_NE(loaded, nullptr) << error;
    Node* m = loaded->find("VerticalAligner1");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Script::write(*loaded), text);
    ControlPointsKnob* back = plugin(*m).knobValues().controlPoints();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->tracksForFrame(12), points->tracksForFrame(12)); // exact, every double
    EXPECT_TRUE(plugin(*m).knobValues().isAnalysisKey(12));
    EXPECT_EQ(plugin(*m).knobValues().alignmentType(), 1);

    // A text of version 3 is refused, naming the knob, and the store stays.
    std::string bad = text;
    bad.replace(bad.find("version 2"), 9, "version 3");
    EXPECT_EQ(Script::read(bad, "aligner.kscript", &error), nullptr);
    EXPECT_NE(error.find("controlPoints"), std::string::npos) << error;
    EXPECT_FALSE(back->from_script("version 3\nframes 0\n"));
    EXPECT_EQ(back->tracksForFrame(12).getNumberTracks(), 1);
}
