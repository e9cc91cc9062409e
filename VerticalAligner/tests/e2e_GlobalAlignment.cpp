// End to end on the synthetic stereo plate, whose right camera carries a known misalignment:
// Match and the solved global alignment in Rectilinear space on the stereo layout and in
// Spherical space on the rig that the plate's metadata describes, the blending of two matched
// keys over the frames between and beyond them, and what Analyse Sequence keys on the node.
#include "e2e_RenderPlate.h"
#include "mwAlignmentSolver.h"
#include "mwControlPointsKnob.h"

#include <map>
#include <tuple>

using namespace RenderTest;
using Marrow::Vireon::VireonAlignmentSampler;

namespace {

constexpr int kWidth = 960, kHeight = 540;

// The plate of 960 x 540 pixels, frames 1 to lastFrame, on the given views.
struct Graph : Plate {
    Graph(const Misalignment& misalignment, int preset, int lastFrame,
          const std::vector<std::string>& views)
        : Plate(misalignment, preset, kWidth, kHeight, views) {
        source.knob("lastFrame")->setValue(lastFrame);
    }
    // The plate's op at a frame, validated, for its exact correspondences.
    SyntheticStereo& plate(double frame) { return Plate::plate(kLeft, Mask_RGBA, frame); }
    void setOptions(int options) {
        const std::pair<const char*, int> boxes[] = {{"alignCamera", K::AlignCamera},
                                                     {"alignScale", K::AlignScale},
                                                     {"alignShift", K::AlignShift},
                                                     {"alignRotate", K::AlignRotate},
                                                     {"alignPerspective", K::AlignPerspective},
                                                     {"alignVerticalSkew", K::AlignVerticalSkew}};
        for (auto [name, bit] : boxes) aligner.knob(name)->setValue((options & bit) ? 1 : 0);
    }
};

} // namespace

// ---- Rectilinear space on the stereo layout ----

// Each misalignment against the preset meant for it: the vertical disparity of the true
// correspondences must fall under its bound. A tilt keeps about 0.15 px: the perspective warp
// keeps each point's column, so the projective compression of the rows that a tilt brings is
// only partly undone.
TEST(GlobalAlignment, MatchThenSolveRemovesTheVerticalDisparity) {
    struct Case {
        const char* name;
        Misalignment misalignment;
        int preset;
        double bound;
    };
    const Case cases[] = {
        {"vertical shift 8 px", {{"verticalShift", 8}}, K::Transform, 0.1},
        {"roll 1 degree", {{"roll", 1}}, K::Transform, 0.1},
        {"focal ratio 1.02", {{"focalRatio", 1.02}}, K::Transform, 0.1},
        {"tilt 0.5 degree", {{"tilt", 0.5}}, K::Full, 0.2},
        {"all four",
         {{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"tilt", 0.5}},
         K::Full,
         0.2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plate plate(c.misalignment, c.preset, kWidth, kHeight);
        ASSERT_TRUE(plate.match());
        EXPECT_GT(plate.node().knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(),
                  300);
        VireonAlignmentSampler l, r;
        ASSERT_TRUE(plate.node().dataProvider().updateAlignment(l, r, 1));
        const SyntheticStereo& truth = plate.plate(Plate::kLeft, Mask_RGBA);
        const double before = verticalRms(truth, 1), after = verticalRms(truth, 1, &l, &r);
        std::printf("%-22s vertical RMS before %.3f px, after %.4f px\n", c.name, before, after);
        EXPECT_GT(before, 1.0);
        EXPECT_LT(after, c.bound);
    }
}

TEST(GlobalAlignment, AlignedDisparityHasNoVerticalPart) {
    Plate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}}, K::Transform, kWidth,
            kHeight);
    ASSERT_TRUE(p.match());
    const Channel hidden = SyntheticStereo::occlusionLeftChannel();
    const Image out = p.render(Plate::kLeft, ChannelSet{Chan_DisparityL_Y});
    const Image in = p.renderPlate(Plate::kLeft, ChannelSet{hidden, Chan_DisparityL_Y});
    double sum = 0, before = 0;
    int n = 0;
    // Away from the frame edges, where the warp brings in black and no match.
    for (int y = 40; y < kHeight - 40; ++y)
        for (int x = 40; x < kWidth - 40; ++x) {
            if (in.at(hidden, x, y) != 0) continue;
            const double dy = out.at(Chan_DisparityL_Y, x, y), dy0 = in.at(Chan_DisparityL_Y, x, y);
            sum += dy * dy;
            before += dy0 * dy0;
            ++n;
        }
    const double rms = std::sqrt(sum / n), rmsBefore = std::sqrt(before / n);
    std::printf("aligned disparity: vertical RMS before %.3f px, after %.4f px\n", rmsBefore, rms);
    EXPECT_GT(rmsBefore, 3.0);
    EXPECT_LT(rms, 0.1);
}

// ---- Spherical space on the rig of the metadata ----

namespace {

using Disparities = std::map<std::pair<int, int>, double>;

// The plate as the rig of the metadata, reprojected into a latlong output.
struct RigPlate : Graph {
    RigPlate(const Misalignment& misalignment, int preset, bool nominal)
        : Graph(misalignment, preset, 100, {"cam1", "cam2"}) {
        source.knob("nominalMetadata")->setValue(nominal);
        useMetadataRig();
        useLatlong();
        aligner.setContext(OutputContext(1, 1));
        // As the viewer does before it validates: the rig and its convergence.
        node().doPreValidate();
    }

    // The vertical disparity of each true correspondence of the grid in the latlong output,
    // each view's point taken through its whole forward chain (alignment, then the spherical
    // projection of its aligned camera).
    Disparities disparities() {
        VerticalAlignerPlugin& view = Plate::view(kLeft); // holds both views' chains
        EXPECT_FALSE(view.hasError()) << view.errorMessage();
        const ViewCorrection& c = view.renderEngine().correction();
        Disparities out;
        forTrueCorrespondences(
            plate(1), 1, [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                out[{int(p.x()), int(p.y())}] = c.toOutputThis(p).y() - c.toOutputOther(q).y();
            });
        return out;
    }
};

// RMS of the disparities, or of their differences from those of the same points in another
// set (the rig without misalignment).
double rms(const Disparities& d, const Disparities* from = nullptr) {
    double sum = 0;
    int n = 0;
    for (const auto& [at, v] : d) {
        const auto i = from ? from->find(at) : d.end();
        if (from && i == from->end()) continue;
        sum += from ? (v - i->second) * (v - i->second) : v * v;
        ++n;
    }
    return std::sqrt(sum / n);
}

} // namespace

// A parallel rig reprojected through a sphere at the convergence depth keeps a vertical
// disparity of its own in the latlong output: off the equator and the centre column, a point
// off the convergence depth meets the sphere at different latitudes from the two cameras
// (about b·f·x·y·(1/D − 1/Z)/f² camera pixels, 0.26 px RMS on this plate), which no global
// correction removes. The residual is therefore the difference, point by point, from the
// disparity of the rig without misalignment. With the rig as designed in the metadata the
// solve must find the misalignment; with the rig as it stands the projection alone already
// aligns the views, and the solve must keep them so.
TEST(GlobalAlignment, SphericalSpaceOnTheMetadataRigRemovesTheVerticalDisparity) {
    Disparities ideal;
    {
        RigPlate perfect({}, K::Full, false);
        ASSERT_TRUE(perfect.run(0, {1}));
        perfect.setOptions(0);
        ideal = perfect.disparities();
        EXPECT_GT(ideal.size(), 500u);
        std::printf("rig without misalignment: %.4f px RMS in the latlong output\n", rms(ideal));
        EXPECT_LT(rms(ideal), 0.3);
    }

    struct Case {
        const char* name;
        Misalignment misalignment;
        int preset;
        bool designedRig;
    };
    const Misalignment allFour = {
        {"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"tilt", 0.5}};
    const Case cases[] = {
        {"vertical shift 8 px", {{"verticalShift", 8}}, K::Transform, true},
        {"roll 1 degree", {{"roll", 1}}, K::Transform, true},
        {"focal ratio 1.02", {{"focalRatio", 1.02}}, K::Transform, true},
        {"tilt 0.5 degree", {{"tilt", 0.5}}, K::Full, true},
        {"all four", allFour, K::Full, true},
        {"all four, rig as is", allFour, K::Full, false},
    };
    // before and after: against the rig without misalignment, without and with the alignment.
    std::printf("%-22s %8s %10s %10s %10s\n", "misalignment (RMS px)", "input", "before", "after",
                "absolute");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RigPlate plate(c.misalignment, c.preset, c.designedRig);
        ASSERT_TRUE(plate.run(0, {1}));
        VerticalAlignerPlugin& view = plate.view(Plate::kLeft);
        // The rig and its convergence come from the metadata.
        ASSERT_EQ(view.rigState().inputRig().getNumberCameras(), 2);
        EXPECT_FLOAT_EQ(view.knobValues().convergenceDepth(), 8.0f);
        EXPECT_GT(view.knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(), 300);
        const double input = verticalRms(plate.plate(1), 1);
        const int options = view.knobValues().alignmentOptions();
        plate.setOptions(0);
        const Disparities unaligned = plate.disparities();
        plate.setOptions(options);
        const Disparities aligned = plate.disparities();
        const double residual = rms(aligned, &ideal);
        std::printf("%-22s %8.3f %10.4f %10.4f %10.4f\n", c.name, input, rms(unaligned, &ideal),
                    residual, rms(aligned));
        EXPECT_GT(input, 1.0);
        EXPECT_LT(residual, 0.2);
        if (c.designedRig) {
            EXPECT_GT(rms(unaligned, &ideal), 1.0);
        }
    }
}

// ---- Blending between two matched keys ----

namespace {

// The right image drifts linearly from 8 px above the left one at the first key to 4 px below
// it at the second (held outside them); the aligner has both keys.
struct DriftingPlate : Graph {
    static constexpr double kFirst = 4, kSecond = 12;

    DriftingPlate() : Graph({}, K::Transform, 20, {"left", "right"}) {
        Knob* shift = source.knob("verticalShift");
        shift->setValueAt(8, kFirst, -1, -1, Interpolation::Linear);
        shift->setValueAt(-4, kSecond, -1, -1, Interpolation::Linear);
        // Opening the panel keyed the current frame; these keys replace it.
        aligner.knob("analysisKeyframe")->clearAnimation();
        node().knobValues().addKey(kFirst);
        node().knobValues().addKey(kSecond);
        aligner.setContext(OutputContext(kFirst, 1));
    }

    // The records of one key solved on its own, as the node's cameras and pairs give them.
    SolvedKey solvedAt(double key) {
        VerticalAlignerDataProvider& provider = node().dataProvider();
        CameraDefinition l, r;
        EXPECT_TRUE(provider.camerasAtKey(l, r, key));
        MatchedPairs pairs;
        EXPECT_TRUE(provider.matchedPairs(pairs, int(key)));
        return solveKey(makeSettings(node()), pairs, l, r);
    }
};

struct Samplers {
    VireonAlignmentSampler left, right;
};

Samplers fromRecords(const AlignmentSettings& s, const ViewAlignment& l, const ViewAlignment& r) {
    Samplers out;
    handToSampler(s, l, composeHomography(s, l), out.left);
    handToSampler(s, r, composeHomography(s, r), out.right);
    return out;
}

// What a sampler is handed: its options, homographies and skew corners.
auto handed(const VireonAlignmentSampler& s) {
    return std::tie(s.options, s.forwardHomography, s.inverseHomography, s.forwardSkewCorners,
                    s.inverseSkewCorners);
}

} // namespace

// Between the keys the provider hands the samplers the records of the two keys blended
// linearly; on a key, before the first and after the last, one key's records alone. The
// blend follows the plate's drift: each frame's true correspondences come out aligned.
TEST(GlobalAlignment, KeysBlendLinearlyBetweenAndHoldOutside) {
    DriftingPlate plate;
    ASSERT_TRUE(plate.run(0, {1, 4, 8, 12, 20}));
    ControlPointsKnob& store = *plate.node().knobValues().controlPoints();
    EXPECT_GT(store.tracksForFrame(4).getNumberTracks(), 300);
    EXPECT_GT(store.tracksForFrame(12).getNumberTracks(), 300);
    EXPECT_FALSE(store.hasFrame(8));

    const AlignmentSettings settings = makeSettings(plate.node());
    const SolvedKey first = plate.solvedAt(DriftingPlate::kFirst);
    const SolvedKey second = plate.solvedAt(DriftingPlate::kSecond);
    // The two keys differ where the drift says: each view takes half of the shift.
    EXPECT_NEAR(first.right.shift - first.left.shift, -8, 0.1);
    EXPECT_NEAR(second.right.shift - second.left.shift, 4, 0.1);

    std::printf("%6s %6s %12s %10s\n", "frame", "t", "input (px)", "aligned");
    for (double frame : {1.0, 4.0, 6.0, 8.0, 11.0, 12.0, 20.0}) {
        SCOPED_TRACE(frame);
        const double t = std::clamp((frame - DriftingPlate::kFirst) /
                                        (DriftingPlate::kSecond - DriftingPlate::kFirst),
                                    0.0, 1.0);
        Samplers expected;
        if (frame <= DriftingPlate::kFirst) {
            expected = fromRecords(settings, first.left, first.right);
        } else if (frame >= DriftingPlate::kSecond) {
            expected = fromRecords(settings, second.left, second.right);
        } else {
            expected = fromRecords(settings, blendViewAlignment(first.left, second.left, t),
                                   blendViewAlignment(first.right, second.right, t));
        }
        Samplers got;
        ASSERT_TRUE(plate.node().dataProvider().updateAlignment(got.left, got.right, frame));
        EXPECT_EQ(handed(got.left), handed(expected.left));
        EXPECT_EQ(handed(got.right), handed(expected.right));

        const SyntheticStereo& truth = plate.plate(frame);
        const double input = verticalRms(truth, frame);
        const double aligned = verticalRms(truth, frame, &got.left, &got.right);
        std::printf("%6g %6.3f %12.3f %10.4f\n", frame, t, input, aligned);
        EXPECT_LT(aligned, 0.1);
    }
}

// ---- Analyse Sequence ----

namespace {

// The corner pins' inset corners: ceil(960 * 0.005) * 10 = 50 pixels inside the format.
const double kCorners[4][2] = {{50, 50}, {910, 50}, {910, 490}, {50, 490}};
const char* const kPins[4] = {"pinBL", "pinBR", "pinTR", "pinTL"};

// Expects the matrix and the corner pins of a view keyed at the given keys alone, and at one of
// them the framing corrections: the zoom s about the format's centre (in single precision, as
// the zoom and its centre are taken from the knobs) and the horizontal offset dx.
void expectFraming(Node& a, int view, const std::set<double>& keys, double key, double s,
                   double dx) {
    EXPECT_EQ(a.knob("transformMatrix")->keyTimes(-1, view), keys);
    for (const char* pin : kPins) EXPECT_EQ(a.knob(pin)->keyTimes(-1, view), keys) << pin;
    const double sf = double(float(s)), cx = kWidth / 2.0, cy = kHeight / 2.0;
    const double expected[16] = {
        sf, 0, cx * (1 - sf) + dx, 0, 0, sf, cy * (1 - sf), 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(a.knob("transformMatrix")->value(i, view, key), expected[i], 1e-5)
            << "cell " << i;
    for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(a.knob(kPins[c])->value(0, view, key), sf * kCorners[c][0] + cx * (1 - sf) + dx,
                    1e-4)
            << kPins[c];
        EXPECT_NEAR(a.knob(kPins[c])->value(1, view, key), sf * kCorners[c][1] + cy * (1 - sf),
                    1e-4)
            << kPins[c];
    }
}

} // namespace

// After Match at two keys, Analyse keys every view's corner pin and matrix at both keys alone,
// with that key's zoom and half its parallax offset each way; the node's own global alignment
// stays in its warp.
TEST(GlobalAlignment, AnalyseKeysPinsAndMatrixPerViewAtEveryKey) {
    DriftingPlate plate;
    Node& a = plate.aligner;
    plate.set("alignmentType", K::Full);
    plate.set("scaleToFit", 1);
    plate.set("lockScale", 1);
    a.knob("scale")->setValueAt(1.04, DriftingPlate::kFirst);
    a.knob("scale")->setValueAt(1.08, DriftingPlate::kSecond);
    plate.set("fixParallax", 1);
    plate.set("lockOffset", 1);
    a.knob("offset")->setValueAt(6, DriftingPlate::kFirst);
    a.knob("offset")->setValueAt(-4, DriftingPlate::kSecond);
    ASSERT_TRUE(plate.run(0, {4, 12}));
    EXPECT_EQ(a.knob("analysed")->value(), 0);

    const std::vector<double> range = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 20};
    ASSERT_TRUE(plate.run(1, range));
    EXPECT_EQ(a.knob("analysed")->value(), 1);
    EXPECT_EQ(a.knob("analysedWithCamera")->value(), 0);
    EXPECT_EQ(a.knob("analysisSummary")->text(), "Scale Shift Rotate Perspective ");
    // The viewer's refresh enables the corner pin once there is an analysis, but not the
    // camera buttons: the node supplies no camera values.
    a.knob("createPin")->disable();
    EXPECT_TRUE(plate.node().updateUI(plate.node().outputContext()));
    EXPECT_TRUE(a.knob("createPin")->isEnabled());
    EXPECT_FALSE(a.knob("createCamera")->isEnabled());

    const int left = plate.node().knobValues().leftView();
    for (int view : {left, plate.node().knobValues().rightView()})
        for (auto [key, scale, offset] : {std::tuple{DriftingPlate::kFirst, 1.04, 6.0},
                                          std::tuple{DriftingPlate::kSecond, 1.08, -4.0}}) {
            SCOPED_TRACE(testing::Message() << "view " << view << ", key " << key);
            expectFraming(a, view, {DriftingPlate::kFirst, DriftingPlate::kSecond}, key, scale,
                          view == left ? -offset / 2 : offset / 2);
        }
}

// ---- Edge cases ----

namespace {

// The plate as the rig of the metadata, aligned in Rectilinear space.
struct SourceRig : Graph {
    SourceRig(const Misalignment& misalignment, int preset)
        : Graph(misalignment, preset, 10, {"cam1", "cam2"}) {
        useMetadataRig();
    }
    // The rig of the metadata, and the chosen views' rig of it.
    bool buildRig() {
        const bool ok = node().rigState().updateRigFromMetadata();
        node().rigState().buildChosenViewsRig();
        return ok;
    }
};

} // namespace

// Aligning the left view to the right with the other view passed through: the alignment of a
// frame replaces only the left camera of the aligned rig (turned to the right camera's
// orientation); without pass-through both cameras are replaced, the right one by its solved
// copy, whose roll the solve has taken into the image.
TEST(GlobalAlignment, PassThroughOtherKeepsTheOtherRigCamera) {
    SourceRig g({{"roll", 1}, {"tilt", 0.5}}, K::MatchCamera);
    g.set("alignWhat", K::LeftToRight);
    g.set("passThroughOther", 1);
    storeTrueMatches(g, 1);

    VerticalAlignerPlugin& node = g.node();
    RigState& rig = node.rigState();
    ASSERT_TRUE(g.buildRig());
    const CameraDefinition inputLeft = rig.chosenViewsRig().getCamera(0);
    const CameraDefinition inputRight = rig.chosenViewsRig().getCamera(1);
    EXPECT_DOUBLE_EQ(inputRight.getRotation().z(), 1.0);

    VireonAlignmentSampler l, r;
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    EXPECT_EQ(rig.alignedRig().getCamera(1), inputRight);
    const CameraDefinition& turned = rig.alignedRig().getCamera(0);
    EXPECT_NE(turned, inputLeft);
    // The right camera's orientation without its roll: the tilt alone.
    EXPECT_NEAR((turned.getRotation() - Eigen::Vector3d(0.5, 0, 0)).norm(), 0, 1e-5);
    EXPECT_EQ(turned.getPosition(), inputLeft.getPosition());

    g.set("passThroughOther", 0);
    rig.buildChosenViewsRig();
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    EXPECT_NEAR(rig.alignedRig().getCamera(1).getRotation().z(), 0, 1e-5);
    EXPECT_NEAR(rig.alignedRig().getCamera(1).getRotation().x(), 0.5, 1e-5);
}

// A frame between a key with matches and one without gets no alignment: its samplers and the
// aligned rig stay as they were. The key with matches still aligns the frames it holds alone.
TEST(GlobalAlignment, AFrameNeedingAKeyWithoutPairsFails) {
    SourceRig g({{"verticalShift", 6}, {"roll", 0.7}}, K::Transform);
    g.aligner.knob("analysisKeyframe")->clearAnimation();
    storeTrueMatches(g, 1);
    g.node().knobValues().addKey(5);
    VerticalAlignerPlugin& node = g.node();
    ASSERT_TRUE(g.buildRig());
    const CameraRigDefinition before = node.rigState().alignedRig();

    VireonAlignmentSampler l, r;
    for (double frame : {3.0, 5.0, 8.0}) {
        EXPECT_FALSE(node.dataProvider().updateAlignment(l, r, frame)) << frame;
        EXPECT_EQ(l.forwardHomography, VireonAlignmentSampler().forwardHomography);
        EXPECT_EQ(r.inverseHomography, VireonAlignmentSampler().inverseHomography);
        EXPECT_EQ(node.rigState().alignedRig().getCamera(1), before.getCamera(1));
    }
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    EXPECT_LT(verticalRms(g.plate(1), 1, &l, &r), 0.1);
    // The right camera's roll is now taken into its image.
    EXPECT_NE(node.rigState().alignedRig().getCamera(1), before.getCamera(1));
}

// At a proxy scale of one half the key's cameras, pairs and alignment box are halved (focal
// length and sensor stay): the solve maps each position as at full size, halved.
TEST(GlobalAlignment, ProxyScaleHalvesTheWholeSolve) {
    SourceRig g({{"verticalShift", 6}, {"roll", 0.7}, {"focalRatio", 1.01}}, K::Full);
    storeTrueMatches(g, 1);
    VerticalAlignerPlugin& node = g.node();
    ASSERT_TRUE(g.buildRig());

    CameraDefinition fullL, fullR, halfL, halfR;
    ASSERT_TRUE(node.dataProvider().camerasAtKey(fullL, fullR, 1));
    VireonAlignmentSampler fl, fr, hl, hr;
    ASSERT_TRUE(node.dataProvider().updateAlignment(fl, fr, 1));
    MatchedPairs full, half;
    ASSERT_TRUE(node.dataProvider().matchedPairs(full, 1));

    OutputContext proxy(1, 1);
    proxy.proxyscale(0.5, 0.5);
    g.aligner.setContext(proxy);
    ASSERT_EQ(node.outputContext().scale_x(), 0.5);
    ASSERT_TRUE(node.dataProvider().camerasAtKey(halfL, halfR, 1));
    for (auto [f, h] : {std::pair{&fullL, &halfL}, std::pair{&fullR, &halfR}}) {
        EXPECT_EQ(h->getFormatWidth(), f->getFormatWidth() / 2);
        EXPECT_EQ(h->getFormatHeight(), f->getFormatHeight() / 2);
        EXPECT_EQ(h->getFocalLength(), f->getFocalLength());
        EXPECT_EQ(h->getSensorSize(), f->getSensorSize());
    }
    EXPECT_EQ(node.alignmentBox(), Box(0, 0, kWidth / 2, kHeight / 2));
    ASSERT_TRUE(node.dataProvider().matchedPairs(half, 1));
    ASSERT_EQ(half.size(), full.size());
    EXPECT_EQ(half[7].second, full[7].second / 2);
    ASSERT_TRUE(node.dataProvider().updateAlignment(hl, hr, 1));

    double worst = 0;
    for (const auto& p : full) {
        worst = std::max(worst, (hl.toOutput(p.first / 2) - fl.toOutput(p.first) / 2).norm());
        worst = std::max(worst, (hr.toOutput(p.second / 2) - fr.toOutput(p.second) / 2).norm());
    }
    EXPECT_LT(worst, 1e-3);
}

// Analyse on a node without keys keys the current frame alone; with neither zoom nor parallax
// offset the outputs are the identity and the inset corners; and every run starts from
// outputs without keys, so a key dropped since the last run loses its values.
TEST(GlobalAlignment, AnalyseWithoutKeysAndWithoutFramingCorrections) {
    Graph g({}, K::Transform, 20, {"left", "right"});
    g.aligner.setContext(OutputContext(7, 1));
    Knob* keys = g.aligner.knob("analysisKeyframe");
    keys->clearAnimation();
    ASSERT_EQ(g.node().knobValues().keyCount(), 0);

    std::vector<double> range;
    for (int f = 1; f <= 20; ++f) range.push_back(f);
    ASSERT_TRUE(g.run(1, range));
    EXPECT_EQ(g.node().knobValues().keyFrames(), std::set<double>{7});
    EXPECT_EQ(g.aligner.knob("analysisSummary")->text(), "Scale Shift Rotate ");
    for (int view : {1, 2}) expectFraming(g.aligner, view, {7}, 7, 1, 0);

    g.node().knobValues().addKey(3);
    keys->deleteKeyAt(7);
    ASSERT_TRUE(g.run(1, range));
    for (int view : {1, 2}) expectFraming(g.aligner, view, {3}, 3, 1, 0);
    EXPECT_EQ(g.aligner.knob("analysed")->value(), 1);
}

// The stereo layout's camera pair is solved from the matches of the analysis keys alone: a key
// deleted from the key control keeps its stored matches, and they no longer steer the cameras.
TEST(GlobalAlignment, StereoLayoutSolvesTheCamerasFromTheKeysOnly) {
    DriftingPlate plate;
    ASSERT_TRUE(plate.run(0, {DriftingPlate::kFirst, DriftingPlate::kSecond}));
    ControlPointsKnob& store = *plate.node().knobValues().controlPoints();
    VerticalAlignerDataProvider& provider = plate.node().dataProvider();
    CameraDefinition bothL, bothR;
    ASSERT_TRUE(provider.camerasAtKey(bothL, bothR, DriftingPlate::kFirst));

    plate.aligner.knob("analysisKeyframe")->deleteKeyAt(DriftingPlate::kSecond);
    ASSERT_TRUE(store.hasFrame(int(DriftingPlate::kSecond)));
    CameraDefinition keyL, keyR;
    ASSERT_TRUE(provider.camerasAtKey(keyL, keyR, DriftingPlate::kFirst));

    store.removeFrame(int(DriftingPlate::kSecond));
    CameraDefinition aloneL, aloneR;
    ASSERT_TRUE(provider.camerasAtKey(aloneL, aloneR, DriftingPlate::kFirst));
    EXPECT_NE(bothR.getRotation(), aloneR.getRotation()) << "the second key's matches count";
    for (auto [key, alone] : {std::pair{&keyL, &aloneL}, std::pair{&keyR, &aloneR}}) {
        EXPECT_EQ(key->getRotation(), alone->getRotation());
        EXPECT_EQ(key->getCentreShift(), alone->getCentreShift());
        EXPECT_EQ(key->getFocalLength(), alone->getFocalLength());
    }
}
