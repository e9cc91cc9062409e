// Feature tracking and triangulation end to end, on the synthetic stereo source whose
// correspondences are known exactly.
#include <Quorvane/TrackFeatures.h>
#include <Quorvane/TriangulateFeatures.h>

#include <Kx/Image/Engine.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/OutputContext.h>
#include <nodes/SyntheticStereo.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <map>

using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
using Kestrel::Nodes::SyntheticStereoParameters;

namespace {

constexpr double kFrame = 12.0;

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

    explicit StereoPair(const SyntheticStereoParameters& p, double frame = kFrame) {
        Kx::Image::OutputContext::setViews({"left", "right"});
        left.setParameters(p);
        right.setParameters(p);
        left.setOutputContext({frame, Kx::Image::OutputContext::lookup_view("left")});
        right.setOutputContext({frame, Kx::Image::OutputContext::lookup_view("right")});
        asker.set_input(0, &left);
        asker.set_input(1, &right);
    }
};

// Distance of a track's right feature from the true match of its left feature.
double matchError(const SyntheticStereo& left, const FeatureTrack& t, double frame = kFrame) {
    Eigen::Vector2d truth;
    bool visible;
    if (!left.correspondence(0, 1, t.getFeatures()[0].second.getPosition(), frame, truth, visible))
        return 1e9;
    return (t.getFeatures()[1].second.getPosition() - truth).norm();
}

int accurateMatches(const SyntheticStereo& left, const CameraTrack& track, double frame = kFrame) {
    return int(
        std::count_if(track.getTracks().begin(), track.getTracks().end(),
                      [&](const FeatureTrack& t) { return matchError(left, t, frame) < 0.5; }));
}

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

    static std::unique_ptr<StereoPair> pair;
    static std::unique_ptr<CameraTrack> tracks;
};

std::unique_ptr<StereoPair> TrackedPair::pair;
std::unique_ptr<CameraTrack> TrackedPair::tracks;

} // namespace

TEST_F(TrackedPair, FindsManyAccurateMatchesSpreadOverTheFrame) {
    const auto& all = tracks->getTracks();
    ASSERT_GE(all.size(), 300u);
    std::vector<bool> cells(16, false);
    for (const FeatureTrack& t : all) {
        ASSERT_EQ(t.getNumberFeatures(), 2);
        ASSERT_EQ(t.getFeatures()[0].first, 0); // the left camera's feature first
        ASSERT_EQ(t.getFeatures()[1].first, 1);
        const Eigen::Vector2d p = t.getFeatures()[0].second.getPosition();
        cells[size_t(std::clamp(int(p.x() / 256), 0, 3) + 4 * std::clamp(int(p.y() / 192), 0, 3))] =
            true;
    }
    EXPECT_GE(accurateMatches(pair->left, *tracks), 0.98 * double(all.size()));
    EXPECT_GE(std::count(cells.begin(), cells.end(), true), 12);
}

TEST_F(TrackedPair, TrueMatchesTriangulateWithSmallError) {
    CameraTrack triangulated = *tracks;
    const int valid = TriangulateFeatures(triangulated, pair->left.rig(kFrame), true);
    EXPECT_GE(valid, int(0.95 * triangulated.getNumberTracks()));
    int checked = 0;
    for (const FeatureTrack& t : triangulated.getTracks()) {
        if (matchError(pair->left, t) >= 0.5 || !t.getPoint().isValid()) continue;
        ++checked;
        EXPECT_LT(t.getPoint().getRMSE(), 0.5);
    }
    EXPECT_GE(checked, 300);
}

// A frame is analysed once and its matches stored, so the same frame must give the very same
// tracks on every run and on any number of threads: a farm's analysis job and an artist's
// workstation agree.
TEST_F(TrackedPair, TheSameTracksOnEveryRunAndThreadCount) {
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        Kx::Image::Engine::setThreads(threads);
        CameraTrack again{int(kFrame)};
        const bool ok = TrackFeatures(&pair->asker, again, pair->left.rig(kFrame), MATCH_ALL_PAIRS,
                                      true, kFrame, {0, 1});
        Kx::Image::Engine::setThreads(0);
        ASSERT_TRUE(ok);
        ASSERT_EQ(again.getNumberTracks(), tracks->getNumberTracks());
        for (size_t t = 0; t < again.getTracks().size(); ++t)
            for (size_t f = 0; f < 2; ++f)
                ASSERT_EQ(again.getTracks()[t].getFeatures()[f].second.getPosition(),
                          tracks->getTracks()[t].getFeatures()[f].second.getPosition())
                    << "track " << t << ", camera " << f;
    }
}

// The patch fit's AVX-512 path and its SSE2 reference path sum the same products in another
// order and with another rounding; they keep the same matches and place them alike. The fit
// stops once its step is below a thousandth of a pixel, so the two may stop a step apart: a
// hundredth of a pixel bounds that with room to spare, and stays twenty times below the
// half pixel that counts as accurate. A match at the edge of a threshold (correlation,
// uncertainty, the back-check) may fall on either side, so a few may differ. The reference
// path also searches the descriptors without AVX: its distances are exact, so a wrong fast
// kernel would pair other features and lose far more than a few matches.
TEST_F(TrackedPair, TheFitsTwoPathsPlaceTheSameMatchesAlike) {
    if (!trackFeaturesOnReferencePath(false)) GTEST_SKIP() << "the processor has no AVX-512";
    trackFeaturesOnReferencePath(true);
    CameraTrack reference{int(kFrame)};
    const bool ok = TrackFeatures(&pair->asker, reference, pair->left.rig(kFrame), MATCH_ALL_PAIRS,
                                  true, kFrame, {0, 1});
    trackFeaturesOnReferencePath(false);
    ASSERT_TRUE(ok);
    std::map<std::pair<double, double>, Eigen::Vector2d> placed; // first position -> second
    for (const FeatureTrack& t : reference.getTracks()) {
        const Eigen::Vector2d a = t.getFeatures()[0].second.getPosition();
        placed[{a.x(), a.y()}] = t.getFeatures()[1].second.getPosition();
    }
    int common = 0;
    for (const FeatureTrack& t : tracks->getTracks()) {
        const Eigen::Vector2d a = t.getFeatures()[0].second.getPosition();
        const auto found = placed.find({a.x(), a.y()});
        if (found == placed.end()) continue;
        ++common;
        EXPECT_LT((t.getFeatures()[1].second.getPosition() - found->second).norm(), 0.01)
            << "the match of (" << a.x() << ", " << a.y() << ")";
    }
    const int fewer = std::min(reference.getNumberTracks(), tracks->getNumberTracks());
    EXPECT_GE(common, fewer - std::max(2, fewer / 500))
        << reference.getNumberTracks() << " tracks on the reference path, "
        << tracks->getNumberTracks() << " on AVX-512";
}

TEST(TrackFeatures, WideFramesAreAsAccurate) {
    // Features of frames wider than SIFT's working width are found on a reduced image and
    // placed at full resolution.
    StereoPair wide(misaligned(2048, 1080));
    CameraTrack track{int(kFrame)};
    ASSERT_TRUE(TrackFeatures(&wide.asker, track, wide.left.rig(kFrame), MATCH_ALL_PAIRS, true,
                              kFrame, {0, 1}));
    ASSERT_GE(track.getNumberTracks(), 300);
    EXPECT_GE(accurateMatches(wide.left, track), 0.98 * track.getNumberTracks());
}

// Tracks frame 1 of a two-camera rig between the asker's inputs.
bool trackInputs(Asker& asker, CameraTrack& track, const std::vector<int>& inputs = {0, 1}) {
    CameraRigDefinition rig;
    rig.setNumberCameras(2);
    return TrackFeatures(&asker, track, rig, MATCH_ALL_PAIRS, true, 1.0, inputs);
}

// A frame without texture gives no tracks and no error. An input that cannot be rendered, a
// missing input and a rig of other cameras than inputs each fail with their message and leave
// the tracks as they were.
// Views badly out of vertical alignment, 8 % of the frame's height apart either way (a rig
// far worse than the misalignments above), still match as accurately: the band of rows a
// feature's match is looked for in reaches that far.
TEST(TrackFeatures, ViewsFarApartVerticallyStillMatch) {
    for (const double shift : {-0.08, 0.08}) {
        SCOPED_TRACE(testing::Message() << "vertical shift " << shift << " of the height");
        SyntheticStereoParameters p = misaligned(640, 480);
        p.verticalShift.setValue(shift * p.height);
        StereoPair pair(p);
        CameraTrack track{int(kFrame)};
        ASSERT_TRUE(TrackFeatures(&pair.asker, track, pair.left.rig(kFrame), MATCH_ALL_PAIRS, true,
                                  kFrame, {0, 1}))
            << pair.asker.errorMessage();
        const int n = track.getNumberTracks();
        EXPECT_GE(n, 500);
        EXPECT_GE(accurateMatches(pair.left, track), 0.95 * n);
    }
}

TEST(TrackFeatures, FlatFramesGiveNoTracksAndBadInputsAreNamed) {
    Flat a, b;
    Broken unreadable;
    CameraTrack track(1);
    Asker flat, broken, missing, few;
    flat.set_input(0, &a);
    flat.set_input(1, &b);
    EXPECT_TRUE(trackInputs(flat, track));
    EXPECT_EQ(track.getNumberTracks(), 0);
    EXPECT_FALSE(flat.hasError());
    track.addTrack(FeatureTrack());
    broken.set_input(0, &a);
    broken.set_input(1, &unreadable);
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

// Frames of a few pixels, down to a single one or a single row, are tracked without fault:
// at most a handful of matches, each between the two frames.
TEST(TrackFeatures, FramesOfAFewPixelsAreTrackedSafely) {
    for (const auto& [w, h] : {std::pair{1, 1}, {2, 1}, {1, 40}, {40, 1}, {24, 16}, {64, 48}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        StereoPair tiny(misaligned(w, h));
        CameraTrack track{int(kFrame)};
        ASSERT_TRUE(TrackFeatures(&tiny.asker, track, tiny.left.rig(kFrame), MATCH_ALL_PAIRS, true,
                                  kFrame, {0, 1}))
            << tiny.asker.errorMessage();
        for (const FeatureTrack& t : track.getTracks())
            for (const auto& [camera, feature] : t.getFeatures()) {
                const Eigen::Vector2d p = feature.getPosition();
                EXPECT_TRUE(p.x() >= 0 && p.x() <= w && p.y() >= 0 && p.y() <= h)
                    << "camera " << camera << " at (" << p.x() << ", " << p.y() << ")";
            }
    }
}

// ---- hard plates ----

namespace {

// One hard condition of the plate (SyntheticStereo.h says which), on top of the
// misalignment of the global-alignment tests (the shift scaled to the frame's width).
struct HardCase {
    const char* name;
    void (*apply)(SyntheticStereoParameters&);
};

const HardCase kHardCases[] = {{"barrel", Kestrel::Nodes::barrelDistortion},
                               {"chequerboard", Kestrel::Nodes::chequerboardFloor},
                               {"lowTexture", Kestrel::Nodes::lowTexture},
                               {"unevenViews", Kestrel::Nodes::unevenViews}};
const HardCase kEverythingHard = {"everything", Kestrel::Nodes::everythingHard};

struct PlateSize {
    int width, height;
};

std::string plateName(const testing::TestParamInfo<std::tuple<HardCase, PlateSize>>& info) {
    const PlateSize s = std::get<1>(info.param);
    return std::string(std::get<0>(info.param).name) + "_" + std::to_string(s.width) + "x" +
           std::to_string(s.height);
}

class HardPlate : public testing::TestWithParam<std::tuple<HardCase, PlateSize>> {};

// At a frame of the shot, the plate of one hard condition gives many accurate matches that
// reach every part of the frame.
void expectManyAccurateMatchesSpread(const HardCase& hard, PlateSize size, double frame) {
    SyntheticStereoParameters p;
    p.width = size.width;
    p.height = size.height;
    p.samples = 1;
    p.roll.setValue(1.0);
    p.tilt.setValue(0.5);
    p.focalRatio.setValue(1.02);
    p.verticalShift.setValue(8.0 * size.width / 960);
    hard.apply(p);
    StereoPair pair(p, frame);
    CameraTrack track{int(frame)};
    ASSERT_TRUE(TrackFeatures(&pair.asker, track, pair.left.rig(frame), MATCH_ALL_PAIRS, true,
                              frame, {0, 1}));
    std::vector<bool> cells(16, false);
    for (const FeatureTrack& t : track.getTracks()) {
        const Eigen::Vector2d q = t.getFeatures()[0].second.getPosition();
        cells[size_t(std::clamp(int(4 * q.x() / size.width), 0, 3) +
                     4 * std::clamp(int(4 * q.y() / size.height), 0, 3))] = true;
    }
    const int n = track.getNumberTracks();
    EXPECT_GE(n, 150);
    EXPECT_GE(accurateMatches(pair.left, track, frame), 0.95 * n);
    EXPECT_GE(std::count(cells.begin(), cells.end(), true), 12);
    // The corners, where a lens distorts most and a chequerboard floor lies nearest, hold
    // matches too: without them the solve reaches the frame's corners only from its middle.
    for (const size_t corner : {0u, 3u, 12u, 15u})
        EXPECT_TRUE(cells[corner]) << "no match in the corner cell " << corner << " of 4 x 4";
}

} // namespace

TEST_P(HardPlate, ManyAccurateMatchesSpreadOverTheFrame) {
    const auto [hard, size] = GetParam();
    expectManyAccurateMatchesSpread(hard, size, kFrame);
}

// The plate's cameras and grain move over the shot. On the faint plate, patches where a near
// edge crosses far texture fit each way confidently yet a pixel or more off along the row; at
// some frames they were more than one match in twenty.
TEST(HardPlateOverTheShot, FaintPlateHoldsAtOtherFrames) {
    for (const double frame : {1.0, 24.0}) {
        SCOPED_TRACE("frame " + std::to_string(int(frame)));
        expectManyAccurateMatchesSpread({"lowTexture", Kestrel::Nodes::lowTexture}, {640, 480},
                                        frame);
    }
}

INSTANTIATE_TEST_SUITE_P(Conditions, HardPlate,
                         testing::Combine(testing::ValuesIn(kHardCases),
                                          testing::Values(PlateSize{640, 480},
                                                          PlateSize{2048, 1080})),
                         plateName);
// All the hard conditions on one plate, with 8-bit levels.
INSTANTIATE_TEST_SUITE_P(AllConditions, HardPlate,
                         testing::Combine(testing::Values(kEverythingHard),
                                          testing::Values(PlateSize{640, 480},
                                                          PlateSize{2048, 1080})),
                         plateName);
