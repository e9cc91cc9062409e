// The node: the knob names and menus scripts use, its input splits and camera numbering, the
// analysis keys, and scripts holding stored matches.
#include "AlignerStage.h"
#include "mwControlPointsKnob.h"
#include "mwDelegateKeyFrameDisplayKnob.h"

#include "Kx/Image/Knobs.h"
#include "Kx/Image/Script.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace Marrow::Research;
using AlignerTest::plugin;
using AlignerTest::Views;

// The knobs' names are what scripts and Python address, in the order scripts write them; the
// menus' items are what the panel and the command line offer.
TEST(VerticalAlignerNode, KnobNamesAndMenusThatScriptsUse) {
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "VerticalAligner1");
    std::string order;
    for (Knob* k : n.declaredKnobs(false))
        if (!k->name().empty()) order += (order.empty() ? "" : " ") + k->name();
    EXPECT_EQ(order,
              "interactKnob serializeKnob rigViews knobEnabler viewsPresets manualOverride "
              "leftView rightView alignWhat passThroughOther layoutType analysisKeyframe "
              "delegateKeyFrames metaAnalysisKeys keyStep addAllKeys deleteAllKeys "
              "importAllKeys match analyse createPin createCamera createRig errorThreshold "
              "alignmentSpace convergenceDepth autoConvergenceDepth outputFormat filter "
              "outputSTMap alignmentType alignCamera alignScale alignShift alignRotate "
              "alignPerspective alignVerticalSkew localAlignment disparityBlurSize "
              "localCorrection scaleToFit calculateScale lockScale scale fixParallax fixPoint "
              "lockOffset offset analysed analysedWithCamera analysisSummary translate rotate "
              "focalLength aperture windowTranslate windowScale skew pinBL pinBR pinTR pinTL "
              "Transform Matrix transformMatrix controlPoints executeType "
              "displayInteractionKnob");
    EXPECT_EQ(
        n.knob("alignmentType")->items(),
        (std::vector<std::string>{"Custom", "Transform", "Match Camera", "Keystone Only", "Full"}));
    EXPECT_EQ(n.knob("alignWhat")->items(),
              (std::vector<std::string>{"Both Views", "Left to Right", "Right to Left"}));
    EXPECT_EQ(n.knob("layoutType")->items(),
              (std::vector<std::string>{"Default (Source)", "Stereo Layout"}));
    EXPECT_EQ(n.knob("alignmentSpace")->items(),
              (std::vector<std::string>{"Spherical", "Rectilinear"}));
}

// The view knobs default to "left" and "right", else to "main" twice (one camera); the input
// splits into the output, left and right views at the output's frame.
TEST(VerticalAlignerNode, ViewKnobsAndInputSplits) {
    {
        Views v({"main"});
        Node n("Q_VerticalAligner2_1", "B");
        EXPECT_EQ(plugin(n).knobValues().leftView(), 1);
        EXPECT_EQ(plugin(n).knobValues().rightView(), 1);
        EXPECT_EQ(plugin(n).rightCameraIndex(), 0);
        EXPECT_EQ(plugin(n).cameraIndexOfView(1), 0);
    }
    Views v({"main", "left", "right"});
    Node n("Q_VerticalAligner2_1", "A");
    EXPECT_EQ(plugin(n).knobValues().leftView(), 2);
    EXPECT_EQ(plugin(n).knobValues().rightView(), 3);
    EXPECT_EQ(plugin(n).rightCameraIndex(), 1);
    Op* op = n.op(OutputContext(7, 1));
    EXPECT_EQ(op->split_input(0), 3);
    OutputContext scratch;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(op->inputContext(0, i, scratch).view(), i + 1);
    EXPECT_EQ(op->inputContext(0, 2, scratch).frame(), 7);
    EXPECT_EQ(plugin(n).inputNumberOfCamera(0), 1);
    EXPECT_EQ(plugin(n).inputNumberOfCamera(1), 2);
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

    // A script whose stored matches are of version 3 is refused, naming the knob.
    std::string bad = text;
    bad.replace(bad.find("version 2"), 9, "version 3");
    EXPECT_EQ(Script::read(bad, "aligner.kscript", &error), nullptr);
    EXPECT_NE(error.find("controlPoints"), std::string::npos) << error;
}
