// The data provider: the keys around a frame, and what happens without usable keys.
#include "AlignerStage.h"
#include "mwControlPointsKnob.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace Marrow::Research;

namespace {

struct Aligner : AlignerTest::Views {
    Aligner() : Views({"left", "right"}) {}
    Node node{"Q_VerticalAligner2_1", "VerticalAligner1"};
    VerticalAlignerPlugin& op() { return AlignerTest::plugin(node); }
    VerticalAlignerDataProvider& provider() { return op().dataProvider(); }
};

// A sampler that an unchanged call must leave as it was.
Marrow::Vireon::VireonAlignmentSampler marked() {
    Marrow::Vireon::VireonAlignmentSampler s;
    s.setAlignmentTransform(0x4, Eigen::Matrix3d::Identity() * 2, Eigen::Matrix3d::Identity(),
                            Eigen::Vector4d(0, 0, 10, 10), Box(0, 0, 10, 10));
    return s;
}

} // namespace

TEST(DataProvider, BracketingKeysIdentityTransformsAndNoCameraProjections) {
    Aligner a;
    Eigen::Matrix3d l = Eigen::Matrix3d::Zero(), r = l;
    EXPECT_TRUE(a.provider().globalTransforms(l, r, 5));
    EXPECT_EQ(l, Eigen::Matrix3d::Identity());
    EXPECT_EQ(r, Eigen::Matrix3d::Identity());
    Marrow::Vireon::Matrix34d pl, pr;
    double w = 0, h = 0;
    EXPECT_FALSE(a.provider().cameraProjections(pl, pr, w, h));
    double k0 = 0, k1 = 0;
    EXPECT_FALSE(a.provider().bracketingKeys(7.6, k0, k1));
    EXPECT_EQ(k0, 7);
    EXPECT_EQ(k1, 7);
    for (double k : {10.0, 20.0, 40.0}) a.op().knobValues().addKey(k);
    const std::pair<double, std::pair<double, double>> cases[] = {{3, {10, 10}},    {10, {10, 10}},
                                                                  {15, {10, 20}},   {20, {20, 20}},
                                                                  {25.5, {20, 40}}, {41, {40, 40}}};
    for (auto [frame, expected] : cases) {
        ASSERT_TRUE(a.provider().bracketingKeys(frame, k0, k1));
        EXPECT_EQ(std::make_pair(k0, k1), expected) << frame;
    }
}

TEST(DataProvider, AKeyWithoutPairsLeavesTheSamplersAsTheyWere) {
    Aligner a;
    a.node.knob("layoutType")->setValue(VerticalAlignerKnobManager::StereoLayout);
    a.op().rigState().buildChosenViewsRig();
    a.op().knobValues().addKey(5);
    auto left = marked(), right = marked();
    // Stereo Layout without any stored track: no cameras, so no alignment.
    EXPECT_FALSE(a.provider().updateAlignment(left, right, 5));
    EXPECT_EQ(left.inverseHomography, marked().inverseHomography);
    // Default layout: cameras, but a key whose tracks give no pair of the two views.
    a.node.knob("layoutType")->setValue(VerticalAlignerKnobManager::DefaultSource);
    FeatureTrack onlyLeft;
    onlyLeft.addFeature(0, Feature(1, 2));
    a.op().knobValues().controlPoints()->tracksForFrame(5).addTrack(onlyLeft);
    EXPECT_EQ(a.provider().matchedPairCount(5), 0);
    EXPECT_FALSE(a.provider().updateAlignment(left, right, 5));
    EXPECT_EQ(right.forwardSkewCorners, marked().forwardSkewCorners);
    EXPECT_EQ(right.options, 0x4);
}

TEST(DataProvider, PairSelectionDropsTracksAtTheThreshold) {
    Aligner a;
    a.op().knobValues().addKey(2);
    ControlPointsKnob& store = *a.op().knobValues().controlPoints();
    auto track = [&](double rmse) {
        FeatureTrack t;
        t.addFeature(1, Feature(5, 6)); // the right view's feature first: pairs keep the order
        t.addFeature(0, Feature(3, 4));
        t.setPoint(Point(0, 0, -5, rmse));
        store.tracksForFrame(2).addTrack(t);
    };
    track(9.99);
    track(10.0); // equal to the threshold: dropped
    track(std::nan(""));
    std::vector<Marrow::Vireon::MatchedFeaturePair> pairs;
    ASSERT_TRUE(a.provider().matchedPairs(pairs, 2));
    EXPECT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].first, Eigen::Vector2d(5, 6));
    EXPECT_FALSE(a.provider().matchedPairs(pairs, 3)); // not a key
}
