// End to end on the synthetic stereo plate: the global alignment in Spherical space on the
// rig that the plate's metadata describes, the blending of two matched keys over the frames
// between and beyond them, and what Analyse Sequence keys on the node.
#include "e2e_RenderPlate.h"
#include "mwAlignmentSolver.h"
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Executable.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/Node.h"
#include "nodes/SyntheticStereo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>

using namespace Kx::Image;
using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
using Marrow::Vireon::VireonAlignmentSampler;
using K = VerticalAlignerKnobManager;
using RenderTest::forTrueCorrespondences;

namespace {

constexpr int kWidth = 960, kHeight = 540;

using RenderTest::Misalignment;
using RenderTest::Plate;

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

// RMS of the vertical disparity of the true correspondences of a frame before any correction.
double inputResidual(const SyntheticStereo& truth, double frame) {
    double sum = 0;
    const int n = forTrueCorrespondences(truth, frame,
                                         [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                                             sum += (p.y() - q.y()) * (p.y() - q.y());
                                         });
    return std::sqrt(sum / n);
}

// RMS of the vertical disparity after the two samplers' corrections (homography and skew).
double alignedResidual(const SyntheticStereo& truth, double frame, const VireonAlignmentSampler& l,
                       const VireonAlignmentSampler& r) {
    double sum = 0;
    const int n = forTrueCorrespondences(truth, frame,
                                         [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                                             const double d = l.toOutput(p).y() - r.toOutput(q).y();
                                             sum += d * d;
                                         });
    return std::sqrt(sum / n);
}

} // namespace

// ---- Spherical space on the rig of the metadata ----

namespace {

// The plate seen as a rig of camera views: cam1 and cam2 are the metadata's cameras 1 and 2,
// which the aligner takes from the metadata ("Default (Source)" layout) and reprojects into
// a latlong output. The output is as fine as the camera at its centre (one output pixel
// spans the angle of one camera pixel there), so that residuals read as camera pixels.
struct RigPlate : Graph {
    static constexpr double kFocalPixels = kWidth * 35.0 / 36.0;

    RigPlate(const Misalignment& misalignment, int preset, bool nominal)
        : Graph(misalignment, preset, 100, {"cam1", "cam2"}) {
        source.knob("nominalMetadata")->setValue(nominal);
        set("leftView", 1);
        set("rightView", 2);
        set("layoutType", K::DefaultSource);
        set("alignmentSpace", K::Spherical);
        const int w = int(std::lround(2 * std::numbers::pi * kFocalPixels));
        FormatPair latlong;
        latlong.fullSizeFormat = latlong.format = Format(w, w / 2, 1.0, "latlong");
        aligner.knob("outputFormat")->setFormat(latlong);
        aligner.setContext(OutputContext(1, 1));
        // As the viewer does before it validates: the rig and its convergence.
        node().doPreValidate();
    }

    // The aligner's left view, validated: its render engine holds both views' chains.
    VerticalAlignerPlugin& leftView() {
        auto* op = static_cast<VerticalAlignerPlugin*>(aligner.iop(OutputContext(1, 1)));
        op->validate(true);
        return *op;
    }

    // The vertical disparity of each true correspondence of the grid in the latlong output,
    // each view's point taken through its whole forward chain (alignment, then the spherical
    // projection of its aligned camera).
    std::map<std::pair<int, int>, double> disparities() {
        VerticalAlignerPlugin& view = leftView();
        EXPECT_FALSE(view.hasError()) << view.errorMessage();
        const ViewCorrection& c = view.renderEngine().correction();
        std::map<std::pair<int, int>, double> out;
        forTrueCorrespondences(
            plate(1), 1, [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                out[{int(p.x()), int(p.y())}] = c.toOutputThis(p).y() - c.toOutputOther(q).y();
            });
        return out;
    }
};

using Disparities = std::map<std::pair<int, int>, double>;

double rms(const Disparities& d) {
    double sum = 0;
    for (const auto& [at, v] : d) sum += v * v;
    return std::sqrt(sum / double(d.size()));
}

// RMS of the difference to the disparities of the same points seen by a rig without
// misalignment.
double rmsFrom(const Disparities& d, const Disparities& ideal) {
    double sum = 0;
    int n = 0;
    for (const auto& [at, v] : d)
        if (auto i = ideal.find(at); i != ideal.end()) {
            sum += (v - i->second) * (v - i->second);
            ++n;
        }
    return std::sqrt(sum / n);
}

} // namespace

// A parallel rig reprojected through a sphere at the convergence depth keeps a vertical
// disparity of its own in the latlong output: off the equator and off the centre column, a
// point nearer or farther than the convergence depth meets the sphere at different latitudes
// from the two cameras (about b·f·x·y·(1/D − 1/Z)/f² camera pixels). That part depends on
// depth, so no global correction removes it; on this plate it is 0.26 px RMS. The residual
// of an alignment is therefore measured against that rig: the difference, point by point,
// between the aligned disparity and the disparity of the same point seen by the rig without
// misalignment.
//
// With the rig as designed in the metadata the solve must find the misalignment from the
// matches; with the rig as it stands the projection alone already aligns the views, and the
// solve must keep them so.
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
    // input: the images; before and after: against the rig without misalignment, in the
    // latlong output without and with the alignment; absolute: the aligned disparity itself.
    std::printf("%-22s %8s %10s %10s %10s\n", "misalignment (RMS px)", "input", "before", "after",
                "absolute");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RigPlate plate(c.misalignment, c.preset, c.designedRig);
        ASSERT_TRUE(plate.run(0, {1}));
        VerticalAlignerPlugin& view = plate.leftView();
        // The rig and its convergence come from the metadata.
        ASSERT_EQ(view.rigState().inputRig().getNumberCameras(), 2);
        EXPECT_FLOAT_EQ(view.knobValues().convergenceDepth(), 8.0f);
        EXPECT_GT(view.knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(), 300);
        const double input = inputResidual(plate.plate(1), 1);
        const int options = view.knobValues().alignmentOptions();
        plate.setOptions(0);
        const Disparities unaligned = plate.disparities();
        plate.setOptions(options);
        const Disparities aligned = plate.disparities();
        const double residual = rmsFrom(aligned, ideal);
        std::printf("%-22s %8.3f %10.4f %10.4f %10.4f\n", c.name, input, rmsFrom(unaligned, ideal),
                    residual, rms(aligned));
        EXPECT_GT(input, 1.0);
        EXPECT_LT(residual, 0.2);
        if (c.designedRig) {
            EXPECT_GT(rmsFrom(unaligned, ideal), 1.0);
        }
    }
}

// ---- Blending between two matched keys ----

namespace {

// A plate whose right image drifts down from 8 px above the left one at the first key to
// 4 px below it at the second, in a straight line over the frames between (held before the
// first and after the last), matched at both keys.
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

void expectSameSampler(const VireonAlignmentSampler& a, const VireonAlignmentSampler& b) {
    EXPECT_EQ(a.options, b.options);
    EXPECT_EQ(a.forwardHomography, b.forwardHomography);
    EXPECT_EQ(a.inverseHomography, b.inverseHomography);
    EXPECT_EQ(a.forwardSkewCorners, b.forwardSkewCorners);
    EXPECT_EQ(a.inverseSkewCorners, b.inverseSkewCorners);
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
        expectSameSampler(got.left, expected.left);
        expectSameSampler(got.right, expected.right);

        const SyntheticStereo& truth = plate.plate(frame);
        const double input = inputResidual(truth, frame);
        const double aligned = alignedResidual(truth, frame, got.left, got.right);
        std::printf("%6g %6.3f %12.3f %10.4f\n", frame, t, input, aligned);
        EXPECT_LT(aligned, 0.1);
    }
}

// ---- Analyse Sequence ----

// After Match at two keys, Analyse keys every view's corner pin and matrix at both keys and
// nowhere else: the framing corrections of that key (the zoom that prevents black about the
// format's centre, and half the parallax offset each way), as a matrix and as the inset
// corners moved by it. The node's own global alignment stays in its warp.
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

    // ceil(960 * 0.005) * 10 = 50 pixels of inset.
    const double corners[4][2] = {{50, 50}, {910, 50}, {910, 490}, {50, 490}};
    const char* pins[4] = {"pinBL", "pinBR", "pinTR", "pinTL"};
    const double cx = kWidth / 2.0, cy = kHeight / 2.0;
    const int left = plate.node().knobValues().leftView();
    const int right = plate.node().knobValues().rightView();
    for (int view : {left, right}) {
        SCOPED_TRACE(view);
        const std::set<double> keys{DriftingPlate::kFirst, DriftingPlate::kSecond};
        EXPECT_EQ(a.knob("transformMatrix")->keyTimes(-1, view), keys);
        for (const char* pin : pins) EXPECT_EQ(a.knob(pin)->keyTimes(-1, view), keys) << pin;
        for (auto [key, s, o] : {std::tuple{DriftingPlate::kFirst, 1.04, 6.0},
                                 std::tuple{DriftingPlate::kSecond, 1.08, -4.0}}) {
            SCOPED_TRACE(key);
            const double dx = view == left ? -o / 2 : o / 2;
            // Single precision, as the zoom and its centre are taken from the knobs.
            const double sf = double(float(s));
            const double expected[16] = {
                sf, 0, cx * (1 - sf) + dx, 0, 0, sf, cy * (1 - sf), 0, 0, 0, 1, 0, 0, 0, 0, 1};
            for (int i = 0; i < 16; ++i)
                EXPECT_NEAR(a.knob("transformMatrix")->value(i, view, key), expected[i], 1e-5)
                    << "cell " << i;
            for (int c = 0; c < 4; ++c) {
                const double x = sf * corners[c][0] + cx * (1 - sf) + dx;
                const double y = sf * corners[c][1] + cy * (1 - sf);
                EXPECT_NEAR(a.knob(pins[c])->value(0, view, key), x, 1e-4) << pins[c];
                EXPECT_NEAR(a.knob(pins[c])->value(1, view, key), y, 1e-4) << pins[c];
            }
        }
    }
}

// ---- Edge cases ----

namespace {

// The plate as a rig of the metadata's cameras 1 and 2, aligned in Rectilinear space at frame 1.
struct SourceRig : Graph {
    SourceRig(const Misalignment& misalignment, int preset)
        : Graph(misalignment, preset, 10, {"cam1", "cam2"}) {
        set("leftView", 1);
        set("rightView", 2);
        set("layoutType", K::DefaultSource);
    }
};

// Stores the plate's exact correspondences of a frame as that key's matches, left camera
// first, as Match would find them without noise.
void storeTrueMatches(Graph& g, double frame) {
    VerticalAlignerKnobManager& kv = g.node().knobValues();
    kv.addKey(frame);
    CameraTrack& track = kv.controlPoints()->tracksForFrame(int(frame));
    track.clearTracks();
    forTrueCorrespondences(g.plate(frame), frame,
                           [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                               FeatureTrack t;
                               t.addFeature(0, Feature(p));
                               t.addFeature(1, Feature(q));
                               track.addTrack(t);
                           });
}

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
    ASSERT_TRUE(rig.updateRigFromMetadata());
    rig.buildChosenViewsRig();
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
    node.rigState().updateRigFromMetadata();
    node.rigState().buildChosenViewsRig();
    const CameraRigDefinition before = node.rigState().alignedRig();

    VireonAlignmentSampler l, r;
    for (double frame : {3.0, 5.0, 8.0}) {
        EXPECT_FALSE(node.dataProvider().updateAlignment(l, r, frame)) << frame;
        EXPECT_EQ(l.forwardHomography, VireonAlignmentSampler().forwardHomography);
        EXPECT_EQ(r.inverseHomography, VireonAlignmentSampler().inverseHomography);
        EXPECT_EQ(node.rigState().alignedRig().getCamera(1), before.getCamera(1));
    }
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    EXPECT_LT(alignedResidual(g.plate(1), 1, l, r), 0.1);
    // The right camera's roll is now taken into its image.
    EXPECT_NE(node.rigState().alignedRig().getCamera(1), before.getCamera(1));
}

// At a proxy scale of one half the key's cameras, its pairs and the alignment box are all
// halved (focal length and sensor stay), so the solved alignment maps every half-size
// position where the full-size alignment maps the full-size one, halved.
TEST(GlobalAlignment, ProxyScaleHalvesTheWholeSolve) {
    SourceRig g({{"verticalShift", 6}, {"roll", 0.7}, {"focalRatio", 1.01}}, K::Full);
    storeTrueMatches(g, 1);
    VerticalAlignerPlugin& node = g.node();
    node.rigState().updateRigFromMetadata();
    node.rigState().buildChosenViewsRig();

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
    const double corners[4][2] = {{50, 50}, {910, 50}, {910, 490}, {50, 490}};
    const char* pins[4] = {"pinBL", "pinBR", "pinTR", "pinTL"};
    for (int view : {1, 2}) {
        EXPECT_EQ(g.aligner.knob("transformMatrix")->keyTimes(-1, view), std::set<double>{7});
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(g.aligner.knob("transformMatrix")->value(i, view, 7), i % 5 == 0 ? 1 : 0);
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(g.aligner.knob(pins[c])->value(0, view, 7), corners[c][0]);
            EXPECT_EQ(g.aligner.knob(pins[c])->value(1, view, 7), corners[c][1]);
        }
    }

    g.node().knobValues().addKey(3);
    keys->deleteKeyAt(7);
    ASSERT_TRUE(g.run(1, range));
    for (int view : {1, 2})
        for (const char* pin : pins)
            EXPECT_EQ(g.aligner.knob(pin)->keyTimes(-1, view), std::set<double>{3}) << pin;
    EXPECT_EQ(g.aligner.knob("analysed")->value(), 1);
}
