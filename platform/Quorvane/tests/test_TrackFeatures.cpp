// Feature tracking, triangulation and the pair solve end to end, on the synthetic stereo
// source whose correspondences are known exactly.
#include <Quorvane/SolveCameraPair.h>
#include <Quorvane/TrackFeatures.h>
#include <Quorvane/TriangulateFeatures.h>

#include <Kx/Image/Iop.h>
#include <Kx/Image/OutputContext.h>
#include <nodes/SyntheticStereo.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <numbers>

using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
using Kestrel::Nodes::SyntheticStereoParameters;

namespace {

constexpr double kFrame = 12.0;
constexpr double kDeg = 180.0 / std::numbers::pi;

// The node that asks for the tracking: its inputs 0 and 1 are the rig's cameras.
class Asker : public Kx::Image::Op {
public:
    Asker() : Op(nullptr) { set_node_inputs(2); }
    const char* Class() const override { return "Asker"; }
    int maximum_inputs() const override { return 2; }
};

// A flat grey image: nothing to find.
class Flat : public Kx::Image::Iop {
public:
    Flat() : Iop(nullptr) { set_node_inputs(0); }
    const char* Class() const override { return "Flat"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void _validate(bool) override {
        info().format = Kx::Image::Format(640, 480);
        info().full_size_format = info().format;
        info().box = Kx::Image::Box(0, 0, 640, 480);
        info().channels = Kx::Image::Mask_RGBA;
    }
    void engine(int, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) override {
        for (Kx::Image::Channel z : channels)
            std::fill(row.writable(z) + x, row.writable(z) + r, 0.5f);
    }
};

// An image that cannot be made.
class Broken : public Flat {
public:
    const char* Class() const override { return "Broken"; }
    void _validate(bool) override { error("Read1: cannot open plate_%%04d.exr"); }
};

SyntheticStereoParameters misaligned(int width, int height) {
    SyntheticStereoParameters p;
    p.width = width;
    p.height = height;
    p.roll.setValue(0.3);
    p.tilt.setValue(0.2);
    p.pan.setValue(-0.4);
    p.focalRatio.setValue(1.005);
    p.verticalShift.setValue(1.5);
    p.cameraOffsetY.setValue(0.003);
    return p;
}

struct StereoPair {
    SyntheticStereo left{nullptr}, right{nullptr};
    Asker asker;

    explicit StereoPair(const SyntheticStereoParameters& p) {
        Kx::Image::OutputContext::setViews({"left", "right"});
        left.setParameters(p);
        right.setParameters(p);
        left.setOutputContext({kFrame, Kx::Image::OutputContext::lookup_view("left")});
        right.setOutputContext({kFrame, Kx::Image::OutputContext::lookup_view("right")});
        asker.set_input(0, &left);
        asker.set_input(1, &right);
    }
};

class TrackedPair : public testing::Test {
protected:
    static void SetUpTestSuite() {
        pair = std::make_unique<StereoPair>(misaligned(1024, 768));
        tracks = std::make_unique<CameraTrack>(int(kFrame));
        ASSERT_TRUE(TrackFeatures(&pair->asker, *tracks, pair->left.rig(kFrame), MATCH_ALL_PAIRS,
                                  true, kFrame, {0, 1}))
            << pair->asker.errorMessage();
    }
    static void TearDownTestSuite() {
        tracks.reset();
        pair.reset();
    }
    // Distance of a track's right feature from the true match of its left feature.
    static double error(const FeatureTrack& t, bool& visible) {
        Eigen::Vector2d truth;
        visible = false;
        if (!pair->left.correspondence(0, 1, t.getFeatures()[0].second.getPosition(), kFrame, truth,
                                       visible))
            return 1e9;
        return (t.getFeatures()[1].second.getPosition() - truth).norm();
    }

    static std::unique_ptr<StereoPair> pair;
    static std::unique_ptr<CameraTrack> tracks;
};

std::unique_ptr<StereoPair> TrackedPair::pair;
std::unique_ptr<CameraTrack> TrackedPair::tracks;

} // namespace

TEST_F(TrackedPair, FindsManyAccurateMatchesSpreadOverTheFrame) {
    const auto& all = tracks->getTracks();
    ASSERT_GE(all.size(), 300u);
    int accurate = 0;
    std::vector<bool> cells(16, false);
    for (const FeatureTrack& t : all) {
        ASSERT_EQ(t.getNumberFeatures(), 2);
        ASSERT_EQ(t.getFeatures()[0].first, 0); // the left camera's feature first
        ASSERT_EQ(t.getFeatures()[1].first, 1);
        bool visible;
        accurate += error(t, visible) < 0.5 ? 1 : 0;
        const Eigen::Vector2d p = t.getFeatures()[0].second.getPosition();
        cells[size_t(std::clamp(int(p.x() / 256), 0, 3) + 4 * std::clamp(int(p.y() / 192), 0, 3))] =
            true;
    }
    EXPECT_GE(accurate, 0.98 * double(all.size())) << accurate << " of " << all.size();
    EXPECT_GE(std::count(cells.begin(), cells.end(), true), 12);
}

TEST_F(TrackedPair, TrueMatchesTriangulateWithSmallError) {
    CameraTrack triangulated = *tracks;
    const int valid = TriangulateFeatures(triangulated, pair->left.rig(kFrame), true);
    EXPECT_GE(valid, int(0.95 * triangulated.getNumberTracks()));
    int checked = 0;
    for (const FeatureTrack& t : triangulated.getTracks()) {
        bool visible;
        if (error(t, visible) >= 0.5 || !t.getPoint().isValid()) continue;
        ++checked;
        EXPECT_LT(t.getPoint().getRMSE(), 0.5);
    }
    EXPECT_GE(checked, 300);
}

TEST_F(TrackedPair, PairSolveRecoversTheRightCamerasMisalignment) {
    const CameraRigDefinition truth = pair->left.rig(kFrame);
    // Start from the rig as designed: no misalignment, the same baseline length.
    SyntheticStereoParameters nominal = misaligned(1024, 768);
    nominal.roll.setValue(0);
    nominal.tilt.setValue(0);
    nominal.pan.setValue(0);
    nominal.cameraOffsetY.setValue(0);
    nominal.interaxial =
        (truth.getCamera(1).getPosition() - truth.getCamera(0).getPosition()).norm();
    SyntheticStereo designed(nullptr);
    designed.setParameters(nominal);
    CameraRigDefinition rig = designed.rig(kFrame);
    // The lenses are known exactly (metadata); only the pose is solved.
    rig.setCamera(1, [&] {
        CameraDefinition c = rig.getCamera(1);
        c.setFocalLength(truth.getCamera(1).getFocalLength());
        c.setCentreShift(truth.getCamera(1).getCentreShift());
        return c;
    }());

    ASSERT_TRUE(SolveCameraPair(&pair->asker, {0, 1}, rig, {tracks.get()}, false, true));
    const Eigen::Matrix3d relative = rig.getCamera(1).getWorldToCameraRotation() *
                                     rig.getCamera(0).getWorldToCameraRotation().transpose();
    const Eigen::Matrix3d trueRelative = truth.getCamera(1).getWorldToCameraRotation() *
                                         truth.getCamera(0).getWorldToCameraRotation().transpose();
    EXPECT_LT(Eigen::AngleAxisd(relative * trueRelative.transpose()).angle() * kDeg, 0.02);
    const Eigen::Vector3d baseline =
        rig.getCamera(1).getPosition() - rig.getCamera(0).getPosition();
    const Eigen::Vector3d trueBaseline =
        truth.getCamera(1).getPosition() - truth.getCamera(0).getPosition();
    EXPECT_LT(std::atan2(baseline.cross(trueBaseline).norm(), baseline.dot(trueBaseline)) * kDeg,
              0.5);
}

TEST(TrackFeatures, WideFramesAreAsAccurate) {
    // Features of frames wider than SIFT's working width are found on a reduced image and
    // placed at full resolution.
    StereoPair wide(misaligned(2048, 1080));
    CameraTrack track{int(kFrame)};
    ASSERT_TRUE(TrackFeatures(&wide.asker, track, wide.left.rig(kFrame), MATCH_ALL_PAIRS, true,
                              kFrame, {0, 1}));
    ASSERT_GE(track.getNumberTracks(), 300);
    int accurate = 0;
    for (const FeatureTrack& t : track.getTracks()) {
        Eigen::Vector2d truth;
        bool visible;
        if (wide.left.correspondence(0, 1, t.getFeatures()[0].second.getPosition(), kFrame, truth,
                                     visible))
            accurate += (t.getFeatures()[1].second.getPosition() - truth).norm() < 0.5 ? 1 : 0;
    }
    EXPECT_GE(accurate, 0.98 * track.getNumberTracks());
}

// Tracks frame 1 of a two-camera rig between the asker's inputs.
bool trackInputs(Asker& asker, CameraTrack& track, const std::vector<int>& inputs = {0, 1}) {
    CameraRigDefinition rig;
    rig.setNumberCameras(2);
    return TrackFeatures(&asker, track, rig, MATCH_ALL_PAIRS, true, 1.0, inputs);
}

TEST(TrackFeatures, FrameWithoutTextureGivesNoTracks) {
    Flat a, b;
    Asker asker;
    asker.set_input(0, &a);
    asker.set_input(1, &b);
    CameraTrack track(1);
    EXPECT_TRUE(trackInputs(asker, track));
    EXPECT_EQ(track.getNumberTracks(), 0);
    EXPECT_FALSE(asker.hasError());
}

// An input that cannot be rendered, a missing input and a rig of other cameras than inputs
// each fail with their message and leave the tracks as they were.
TEST(TrackFeatures, BadInputsAreNamed) {
    Flat a;
    Broken b;
    CameraTrack track(1);
    track.addTrack(FeatureTrack());
    Asker broken, missing, few;
    broken.set_input(0, &a);
    broken.set_input(1, &b);
    EXPECT_FALSE(trackInputs(broken, track));
    EXPECT_EQ(broken.errorMessage(), "Read1: cannot open plate_%04d.exr");
    missing.set_input(0, &a);
    EXPECT_FALSE(trackInputs(missing, track));
    EXPECT_EQ(missing.errorMessage(), "input 1 of Asker is not connected to an image");
    EXPECT_FALSE(trackInputs(few, track, {0}));
    EXPECT_EQ(few.errorMessage(),
              "feature tracking: the rig has 2 cameras but 1 inputs were given");
    EXPECT_EQ(track.getNumberTracks(), 1);
}
