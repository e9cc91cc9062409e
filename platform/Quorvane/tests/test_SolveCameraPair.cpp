#include <Quorvane/SolveCameraPair.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <numbers>
#include <random>
#include <utility>

using namespace Marrow::Research;

namespace {

constexpr double kDeg = 180.0 / std::numbers::pi;

CameraDefinition camera(const Eigen::Vector3d& position, const Eigen::Vector3d& rotation) {
    CameraDefinition c;
    c.setFormatWidth(1024);
    c.setFormatHeight(768);
    c.setPosition(position);
    c.setRotation(rotation);
    return c;
}

// The true rig: the right camera raised, pushed forward and turned a little.
CameraRigDefinition trueRig() {
    CameraRigDefinition rig;
    rig.setNumberCameras(2);
    rig.setCamera(0, camera({-0.05, 0.0, 0.0}, {0.1, 0.2, 0.0}));
    rig.setCamera(1, camera({0.05, 0.004, -0.002}, {0.35, -0.8, 0.45}));
    return rig;
}

// Matches of random scene points 3 to 15 units away, with 0.2 px of noise and a share of
// wrong matches.
CameraTrack matches(const CameraRigDefinition& rig, int count, double outliers, int frame = 1) {
    std::mt19937 rng(7 + frame);
    std::uniform_real_distribution<double> u(-1.0, 1.0), depth(3.0, 15.0), unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.2);
    CameraTrack track(frame);
    // One draw per statement, y before x: the order in which a call's arguments are evaluated
    // is unspecified (gcc and clang differ), and would give each compiler other matches.
    const auto draw = [&rng](auto& distribution) {
        const double y = distribution(rng);
        return Eigen::Vector2d(distribution(rng), y);
    };
    while (track.getNumberTracks() < count) {
        const double z = depth(rng);
        const Eigen::Vector2d xy = draw(u);
        const Eigen::Vector3d x(xy.x() * 0.45 * z, xy.y() * 0.3 * z, -z);
        Eigen::Vector2d pa, pb;
        if (!rig.getCamera(0).projectToPixel(x, pa) || !rig.getCamera(1).projectToPixel(x, pb))
            continue;
        if (pa.x() < 0 || pa.x() > 1024 || pb.x() < 0 || pb.x() > 1024) continue;
        if (unit(rng) < outliers) pb += draw(u) * 40.0;
        FeatureTrack t;
        t.addFeature(0, Feature(pa + draw(noise)));
        t.addFeature(1, Feature(pb + draw(noise)));
        track.addTrack(t);
    }
    return track;
}

// The nominal rig the solve starts from: a parallel pair with the true baseline length.
CameraRigDefinition nominalRig() {
    const CameraRigDefinition truth = trueRig();
    const double b = (truth.getCamera(1).getPosition() - truth.getCamera(0).getPosition()).norm();
    CameraRigDefinition rig;
    rig.setNumberCameras(2);
    rig.setCamera(0, camera({-b / 2, 0, 0}, {0, 0, 0}));
    rig.setCamera(1, camera({b / 2, 0, 0}, {0, 0, 0}));
    return rig;
}

double angleBetween(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
    return Eigen::AngleAxisd(a * b.transpose()).angle() * kDeg;
}

double angleBetween(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
    return std::atan2(a.cross(b).norm(), a.dot(b)) * kDeg;
}

void expectRelativePose(const CameraRigDefinition& solved) {
    const CameraRigDefinition truth = trueRig();
    const Eigen::Matrix3d trueRelative = truth.getCamera(1).getWorldToCameraRotation() *
                                         truth.getCamera(0).getWorldToCameraRotation().transpose();
    const Eigen::Matrix3d relative = solved.getCamera(1).getWorldToCameraRotation() *
                                     solved.getCamera(0).getWorldToCameraRotation().transpose();
    EXPECT_LT(angleBetween(relative, trueRelative), 0.02);
    // The baseline direction in the first camera's axes.
    const auto inFirst = [](const CameraRigDefinition& r) {
        return Eigen::Vector3d(r.getCamera(0).getWorldToCameraRotation() *
                               (r.getCamera(1).getPosition() - r.getCamera(0).getPosition()));
    };
    EXPECT_LT(angleBetween(inFirst(solved), inFirst(truth)), 0.5);
    EXPECT_NEAR((solved.getCamera(1).getPosition() - solved.getCamera(0).getPosition()).norm(),
                (truth.getCamera(1).getPosition() - truth.getCamera(0).getPosition()).norm(),
                1e-12);
}

} // namespace

TEST(SolveCameraPair, RecoversTheRelativePoseWithTheFirstCameraFixed) {
    const CameraTrack a = matches(trueRig(), 250, 0.05, 1), b = matches(trueRig(), 150, 0.05, 2);
    CameraRigDefinition rig = nominalRig();
    rig.getCamera(0).setRotation(trueRig().getCamera(0).getRotation());
    const CameraDefinition first = rig.getCamera(0);
    ASSERT_TRUE(SolveCameraPair(nullptr, {0, 1}, rig, {&a, &b}, false, true));
    EXPECT_EQ(rig.getCamera(0), first);
    expectRelativePose(rig);
}

TEST(SolveCameraPair, MovingBothCamerasKeepsTheMidpointAndMeanOrientation) {
    const CameraTrack a = matches(trueRig(), 400, 0.05);
    CameraRigDefinition rig = nominalRig();
    const CameraRigDefinition before = rig;
    ASSERT_TRUE(SolveCameraPair(nullptr, {0, 1}, rig, {&a}, false, false));
    expectRelativePose(rig);
    const Eigen::Vector3d middle =
        0.5 * (rig.getCamera(0).getPosition() + rig.getCamera(1).getPosition());
    EXPECT_LT(middle.norm(), 1e-12);
    // The nominal cameras share one orientation, the identity: the solved pair is turned
    // half-way each side of it.
    const Eigen::AngleAxisd ra(rig.getCamera(0).getWorldToCameraRotation());
    const Eigen::AngleAxisd rb(rig.getCamera(1).getWorldToCameraRotation());
    EXPECT_NEAR(ra.angle(), rb.angle(), 1e-9);
    EXPECT_LT((ra.axis() + rb.axis()).norm(), 1e-9);
    EXPECT_EQ(rig.getCamera(1).getFocalLength(), before.getCamera(1).getFocalLength());
}

TEST(SolveCameraPair, BadCameraPairsFailAndAnUnknownBaselineIsOneUnit) {
    const CameraTrack a = matches(trueRig(), 100, 0.0);
    CameraRigDefinition rig = nominalRig();
    EXPECT_FALSE(SolveCameraPair(nullptr, {0, 0}, rig, {&a}, false, false));
    EXPECT_FALSE(SolveCameraPair(nullptr, {0, 2}, rig, {&a}, false, false));
    // Plain plates: both cameras at one place and no diameter; the pair is solved at a
    // baseline of one scene unit.
    // The rig diameter, where there is one, stands in for the lost baseline.
    for (double diameter : {0.0, 0.1}) {
        rig.getCamera(1).setPosition(rig.getCamera(0).getPosition());
        rig.setRigDiameter(diameter);
        ASSERT_TRUE(SolveCameraPair(nullptr, {0, 1}, rig, {&a}, false, false));
        EXPECT_NEAR((rig.getCamera(1).getPosition() - rig.getCamera(0).getPosition()).norm(),
                    diameter ? diameter : 1.0, 1e-9);
    }
}

// Too few matches, or matches whose right features are all random (no essential matrix
// explains enough of them), fail and leave the rig untouched.
TEST(SolveCameraPair, TooFewMatchesMatchesThatFitNoSceneOrNoUserTracksFail) {
    const CameraTrack few = matches(trueRig(), kMinPairMatches - 1, 0.0);
    CameraTrack random = matches(trueRig(), 200, 0.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> x(0, 1024), y(0, 768);
    for (FeatureTrack& t : random.getTracks()) {
        FeatureTrack r;
        r.addFeature(0, t.getFeatures()[0].second);
        r.addFeature(1, Feature(x(rng), y(rng)));
        t = r;
    }
    for (const CameraTrack* track : {&few, &std::as_const(random)}) {
        CameraRigDefinition rig = nominalRig();
        EXPECT_FALSE(SolveCameraPair(nullptr, {0, 1}, rig, {track}, false, false));
        EXPECT_EQ(rig, nominalRig());
    }
    // With only user tracks asked for, other tracks do not count.
    CameraTrack user = matches(trueRig(), 100, 0.0);
    CameraRigDefinition rig = nominalRig();
    EXPECT_FALSE(SolveCameraPair(nullptr, {0, 1}, rig, {&user}, true, false));
    for (FeatureTrack& t : user.getTracks()) t.setUserTrack(true);
    EXPECT_TRUE(SolveCameraPair(nullptr, {0, 1}, rig, {&user}, true, false));
}
