#include <Quorvane/SolveCameraPair.h>
#include <Quorvane/TriangulateFeatures.h>

#include <gtest/gtest.h>

using namespace Marrow::Research;

namespace {

CameraRigDefinition stereoRig() {
    CameraRigDefinition rig;
    rig.setNumberCameras(2);
    for (int i = 0; i < 2; ++i) {
        CameraDefinition c;
        c.setFormatWidth(1024);
        c.setFormatHeight(768);
        c.setPosition({i == 0 ? -0.05 : 0.05, 0.0, 0.0});
        c.setRotation({0.0, i == 0 ? 0.5 : -0.5, 0.0});
        rig.setCamera(i, c);
    }
    return rig;
}

FeatureTrack trackOf(const CameraRigDefinition& rig, const Eigen::Vector3d& x) {
    FeatureTrack t;
    for (int i = 0; i < rig.getNumberCameras(); ++i) {
        Eigen::Vector2d p;
        EXPECT_TRUE(rig.getCamera(i).projectToPixel(x, p));
        t.addFeature(i, Feature(p));
    }
    return t;
}

} // namespace

TEST(TriangulateFeatures, ExactFeaturesGiveThePointWithZeroErrorAndAMismatchSharesItsError) {
    const CameraRigDefinition rig = stereoRig();
    for (const Eigen::Vector3d& x :
         {Eigen::Vector3d(0.3, -0.2, -2.0), Eigen::Vector3d(-4, 2, -30)}) {
        const Point p = triangulateTrack(trackOf(rig, x), rig);
        ASSERT_TRUE(p.isValid());
        EXPECT_LT((p.getPosition() - x).norm(), 1e-6 * x.norm());
        EXPECT_LT(p.getRMSE(), 1e-6);
    }
    // A vertical mismatch shares its error between the views.
    FeatureTrack t = trackOf(rig, {0.1, 0.1, -5.0});
    FeatureTrack moved;
    moved.addFeature(0, t.getFeatures()[0].second);
    moved.addFeature(1, Feature(t.getFeatures()[1].second.getPosition() + Eigen::Vector2d(0, 1)));
    const Point p = triangulateTrack(moved, rig);
    ASSERT_TRUE(p.isValid());
    // A vertical offset cannot be explained by a horizontal baseline: half a pixel remains
    // in each view.
    EXPECT_NEAR(p.getRMSE(), 0.5, 0.01);
}

TEST(TriangulateFeatures, RaysThatDoNotMeetInFrontGiveNoPoint) {
    const CameraRigDefinition rig = stereoRig();
    // 1e5 units away the rays of a 0.1 baseline are 6e-5 degrees apart.
    EXPECT_FALSE(triangulateTrack(trackOf(rig, {0.0, 0.0, -1e5}), rig).isValid());
    // Rays that diverge (crossed the wrong way) meet behind the rig.
    const FeatureTrack t = trackOf(rig, {0.0, 0.0, -5.0});
    FeatureTrack crossed;
    crossed.addFeature(0,
                       Feature(t.getFeatures()[0].second.getPosition() - Eigen::Vector2d(80, 0)));
    crossed.addFeature(1,
                       Feature(t.getFeatures()[1].second.getPosition() + Eigen::Vector2d(80, 0)));
    EXPECT_FALSE(triangulateTrack(crossed, rig).isValid());
    // Features of one camera, or of a camera outside the rig, are no pair.
    FeatureTrack one;
    one.addFeature(0, Feature(500, 400));
    one.addFeature(0, Feature(510, 400));
    one.addFeature(5, Feature(490, 400));
    EXPECT_FALSE(triangulateTrack(one, rig).isValid());
}

TEST(TriangulateFeatures, FrameTracksGetTheirPointsAndValidOnesCanBeKept) {
    const CameraRigDefinition rig = stereoRig();
    CameraTrack frame(12);
    frame.addTrack(trackOf(rig, {0.2, 0.3, -3.0}));
    frame.addTrack(trackOf(rig, {0.0, 0.0, -1e5}));
    FeatureTrack kept = trackOf(rig, {1.0, 0.0, -6.0});
    kept.setPoint(Point(7, 8, 9, 0.25));
    frame.addTrack(kept);

    EXPECT_EQ(TriangulateFeatures(frame, rig, false), 2);
    EXPECT_TRUE(frame.getTracks()[0].getPoint().isValid());
    EXPECT_FALSE(frame.getTracks()[1].getPoint().isValid());
    EXPECT_EQ(frame.getTracks()[2].getPoint(), Point(7, 8, 9, 0.25));

    EXPECT_EQ(TriangulateFeatures(frame, rig, true), 2);
    EXPECT_LT((frame.getTracks()[2].getPoint().getPosition() - Eigen::Vector3d(1, 0, -6)).norm(),
              1e-6);
}

// A plain plate: the rig knows the two cameras' images but not where they stand (both at the
// origin, looking ahead). The points come from the pair solved from the matches: true matches
// fit it to a small fraction of a pixel, matches moved 4 px up in the right view are off by
// about half that in each view, and too few matches leave every point invalid.
TEST(TriangulateFeatures, CamerasAtOnePlaceUseThePairSolvedFromTheMatches) {
    const CameraRigDefinition truth = stereoRig();
    CameraRigDefinition plain = truth;
    for (int i = 0; i < 2; ++i) {
        CameraDefinition c = truth.getCamera(i);
        c.setPosition(Eigen::Vector3d::Zero());
        c.setRotation(Eigen::Vector3d::Zero());
        plain.setCamera(i, c);
    }
    CameraTrack frame(1);
    for (int k = 0; k < 60; ++k) {
        const Eigen::Vector3d x(-2.0 + 0.07 * k, 1.2 * std::sin(0.9 * k), -4.0 - (k % 7));
        FeatureTrack t = trackOf(truth, x);
        if (k % 10 == 0) {
            FeatureTrack wrong;
            wrong.addFeature(0, t.getFeatures()[0].second);
            wrong.addFeature(
                1, Feature(t.getFeatures()[1].second.getPosition() + Eigen::Vector2d(0, 4)));
            t = wrong;
        }
        frame.addTrack(t);
    }
    CameraTrack few(2);
    for (int k = 0; k < kMinPairMatches - 1; ++k) few.addTrack(frame.getTracks()[size_t(k)]);

    EXPECT_EQ(TriangulateFeatures(frame, plain, true), 60);
    for (int k = 0; k < 60; ++k) {
        SCOPED_TRACE(k);
        const double rmse = frame.getTracks()[size_t(k)].getPoint().getRMSE();
        if (k % 10 == 0)
            EXPECT_GT(rmse, 1.0);
        else
            EXPECT_LT(rmse, 0.1);
    }
    EXPECT_EQ(TriangulateFeatures(few, plain, true), 0);
}
