#include "nodes/SyntheticStereo.h"

#include <Kx/Image/OutputContext.h>
#include <Kx/Image/Row.h>
#include <Quorvane/MetaDataHandler.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

using namespace Kestrel::Nodes;
using namespace Kx::Image;

namespace {

struct Source {
    SyntheticStereo op{nullptr};

    Source(const SyntheticStereoParameters& p, const char* view, double frame = 10.0,
           const std::vector<std::string>& views = {"left", "right"}) {
        OutputContext::setViews(views);
        op.setParameters(p);
        op.setOutputContext(OutputContext(frame, OutputContext::lookup_view(view)));
        op.validate(true);
    }
    // One whole row of the given channels.
    std::vector<std::vector<float>> row(int y, const ChannelSet& channels) {
        Row r(0, op.format().width());
        op.get(y, 0, op.format().width(), channels, r);
        std::vector<std::vector<float>> out;
        for (Channel z : channels) out.emplace_back(r[z], r[z] + op.format().width());
        return out;
    }
};

SyntheticStereoParameters misaligned() {
    SyntheticStereoParameters p;
    p.width = 320;
    p.height = 240;
    p.roll.setValue(0.4);
    p.tilt.setKey(1, 0.0);
    p.tilt.setKey(20, 0.6);
    p.pan.setValue(-0.3);
    p.focalRatio.setValue(1.01);
    p.verticalShift.setValue(2.5);
    p.cameraOffsetY.setValue(0.004);
    return p;
}

// The scene point seen through a pixel of a camera, in scene axes, found with the research
// library's camera model (independent of the node's own ray set-up).
bool scenePoint(const Source& s, int camera, const Eigen::Vector2d& pixel, double frame,
                Eigen::Vector3d& point) {
    const Marrow::Research::CameraDefinition c = s.op.camera(camera, frame);
    const Eigen::Matrix4d toScene = s.op.sceneToWorld(frame).inverse();
    const Eigen::Vector3d o = (toScene * c.getPosition().homogeneous()).head<3>();
    const Eigen::Vector3d d = toScene.topLeftCorner<3, 3>() * c.pixelToRay(pixel);
    SyntheticScene::Hit hit;
    if (!s.op.scene().trace(o, d, hit)) return false;
    point = o + hit.distance * d;
    return true;
}

bool pixelOf(const Source& s, int camera, const Eigen::Vector3d& scenePoint, double frame,
             Eigen::Vector2d& pixel) {
    const Eigen::Vector3d world = (s.op.sceneToWorld(frame) * scenePoint.homogeneous()).head<3>();
    return s.op.camera(camera, frame).projectToPixel(world, pixel);
}

} // namespace

TEST(SyntheticStereo, DisparityCarriesEachLeftPixelOntoItsRightMatch) {
    Source s(misaligned(), "left");
    double worst = 0.0;
    int checked = 0;
    for (int y = 0; y < 240; y += 7) {
        const auto r = s.row(y, {Chan_DisparityL_X, Chan_DisparityL_Y});
        for (int i = 0; i < 320; ++i) {
            const Eigen::Vector2d p(i + 0.5, y + 0.5);
            Eigen::Vector3d point;
            Eigen::Vector2d q;
            ASSERT_TRUE(scenePoint(s, 0, p, 10.0, point));
            ASSERT_TRUE(pixelOf(s, 1, point, 10.0, q));
            worst =
                std::max(worst, (p + Eigen::Vector2d(r[0][size_t(i)], r[1][size_t(i)]) - q).norm());
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000);
    EXPECT_LT(worst, 0.01);
}

TEST(SyntheticStereo, ForwardAndBackwardMotionReachTheNeighbouringFrames) {
    Source s(misaligned(), "right");
    double worst = 0.0, largest = 0.0;
    for (int y = 3; y < 240; y += 11) {
        const auto r = s.row(y, Mask_Motion);
        for (int i = 0; i < 320; i += 3) {
            const Eigen::Vector2d p(i + 0.5, y + 0.5);
            Eigen::Vector3d point;
            Eigen::Vector2d next, previous;
            ASSERT_TRUE(scenePoint(s, 1, p, 10.0, point));
            ASSERT_TRUE(pixelOf(s, 1, point, 11.0, next));
            ASSERT_TRUE(pixelOf(s, 1, point, 9.0, previous));
            const Eigen::Vector2d forward(r[0][size_t(i)], r[1][size_t(i)]);
            const Eigen::Vector2d backward(r[2][size_t(i)], r[3][size_t(i)]);
            worst =
                std::max({worst, (p + forward - next).norm(), (p + backward - previous).norm()});
            largest = std::max(largest, forward.norm());
        }
    }
    EXPECT_LT(worst, 0.01);
    EXPECT_GT(largest, 0.1); // the scene moves, and the right camera's tilt is keyed
}

TEST(SyntheticStereo, BothDisparityPairsTravelInEveryViewAndHiddenMatchesAreMarked) {
    SyntheticStereoParameters p = misaligned();
    Source left(p, "left"), right(p, "right");
    ChannelSet pairs = Mask_Disparity;
    pairs += SyntheticStereo::occlusionLeftChannel();
    pairs += SyntheticStereo::occlusionRightChannel();
    int markedAtEdge = 0, rows = 0;
    for (int y = 0; y < 240; y += 20, ++rows) {
        const auto a = left.row(y, pairs), b = right.row(y, pairs);
        EXPECT_EQ(a, b);
        // Channels in order 10, 11, 12, 13, occlusion.left, occlusion.right. A left pixel
        // at the left edge looks for its match left of the right frame.
        const float dxLeft = a[2][0];
        if (0.5f + dxLeft < 0.0f)
            markedAtEdge += a[4][0] == 1.0f ? 1 : 0;
        else
            EXPECT_EQ(a[4][0], 0.0f);
    }
    EXPECT_GT(markedAtEdge, rows / 2);

    // An inner pixel whose match is visible in the right view is not marked, and the right
    // view's vector there points back.
    const auto a = left.row(120, pairs);
    const int i = 160;
    ASSERT_EQ(a[4][i], 0.0f);
    Eigen::Vector2d match;
    bool visible = false;
    ASSERT_TRUE(left.op.correspondence(0, 1, {i + 0.5, 120.5}, 10.0, match, visible));
    EXPECT_TRUE(visible);
    Eigen::Vector2d back;
    ASSERT_TRUE(left.op.correspondence(1, 0, match, 10.0, back, visible));
    EXPECT_LT((back - Eigen::Vector2d(i + 0.5, 120.5)).norm(), 1e-6);
}

TEST(SyntheticStereo, ViewsSeeTheSceneOfTheirSeedFromTheirOwnCameras) {
    const SyntheticStereoParameters p = misaligned();
    Source left(p, "left"), right(p, "right"), other(p, "main");
    const auto a = left.row(100, Mask_RGBA), b = right.row(100, Mask_RGBA);
    EXPECT_NE(a, b);
    EXPECT_EQ(other.row(100, Mask_RGBA), a);
    float low = 1.0f, high = 0.0f;
    for (float v : a[1]) low = std::min(low, v), high = std::max(high, v);
    EXPECT_GT(high - low, 0.5f); // textured, not flat
    for (float alpha : a[3]) ASSERT_EQ(alpha, 1.0f);
    // A rig of camera views names the cameras cam1, cam2 as the metadata numbers them.
    EXPECT_EQ(Source(p, "cam1", 10.0, {"cam1", "cam2"}).row(100, Mask_RGBA), a);
    EXPECT_EQ(Source(p, "cam2", 10.0, {"cam1", "cam2"}).row(100, Mask_RGBA), b);
    OutputContext::setViews({"left", "right"});
    // The seed decides the pixels.
    SyntheticStereoParameters reseeded = p;
    reseeded.seed = 2;
    EXPECT_EQ(Source(p, "left").row(100, Mask_RGBA), a);
    EXPECT_NE(Source(reseeded, "left").row(100, Mask_RGBA), a);
}

TEST(SyntheticStereo, KeyedMisalignmentIsInterpolatedBetweenKeys) {
    const SyntheticStereoParameters p = misaligned();
    Source s(p, "left");
    EXPECT_DOUBLE_EQ(s.op.camera(1, 1.0).getRotation().x(), 0.0);
    EXPECT_NEAR(s.op.camera(1, 10.5).getRotation().x(), 0.3, 1e-12);
    EXPECT_DOUBLE_EQ(s.op.camera(1, 50.0).getRotation().x(), 0.6);
    // The vertical shift moves the principal point up by that many pixels.
    EXPECT_NEAR(s.op.camera(1, 1.0).getIntrinsics()(1, 2), 120.0 + 2.5, 1e-12);
    EXPECT_NE(s.op.hash(), Source(p, "left", 11.0).op.hash());
}

// The metadata carries the rig of the frame, or with nominalMetadata the rig as designed
// while the images keep the misalignment.
TEST(SyntheticStereo, MetadataCarriesTheRigOfTheFrameOrAsDesigned) {
    for (bool nominal : {false, true}) {
        SCOPED_TRACE(nominal ? "nominal" : "actual");
        SyntheticStereoParameters p = misaligned();
        p.nominalMetadata = nominal;
        Source s(p, "left", 5.0);
        Marrow::Research::MetaDataHandler handler;
        handler.updateMetaDataBundle(s.op.fetchMetaData());
        ASSERT_EQ(handler.getNumberCameras(), 2);
        EXPECT_EQ(handler.getCamera(1), s.op.camera(0, 5.0));
        const Marrow::Research::CameraDefinition& right = handler.getCamera(2);
        if (!nominal) {
            EXPECT_EQ(right, s.op.camera(1, 5.0));
            EXPECT_EQ(handler.getLinks(1), std::vector<int>{1});
            EXPECT_DOUBLE_EQ(handler.getRigConvergence(), 8.0);
            EXPECT_EQ(handler.getRigPosition(true), Eigen::Vector3d::Zero());
            continue;
        }
        EXPECT_EQ(right.getName(), "right");
        EXPECT_EQ(right.getPosition(), Eigen::Vector3d(0.05, 0, 0));
        EXPECT_EQ(right.getRotation(), Eigen::Vector3d::Zero());
        EXPECT_EQ(right.getFocalLength(), p.focalLength);
        EXPECT_EQ(right.getCentreShift(), Eigen::Vector2d::Zero());
        EXPECT_DOUBLE_EQ(handler.getRigDiameter(), 0.1);
        EXPECT_NE(s.op.camera(1, 5.0).getRotation(), Eigen::Vector3d::Zero());
    }
}

TEST(SyntheticStereo, BadParametersAreReportedByName) {
    SyntheticStereoParameters p;
    p.width = 0;
    Source a(p, "left");
    EXPECT_TRUE(a.op.hasError());
    EXPECT_EQ(a.op.errorMessage(),
              "SyntheticStereo: width and height must be positive, not 0 x 768");
    p = SyntheticStereoParameters();
    p.focalRatio.setKey(10, 1.0);
    p.focalRatio.setKey(11, -1.0);
    Source b(p, "left", 10.0);
    EXPECT_EQ(b.op.errorMessage(),
              "SyntheticStereo: focalRatio must be positive, not -1 at frame 11");
}

// ---- hard plates ----

namespace {

// The ideal (pinhole) position of an image position of a camera with lens distortion, by the
// division model written out independently of the node.
Eigen::Vector2d ideal(const Source& s, int camera, const LensDistortion& lens,
                      const Eigen::Vector2d& d) {
    const Eigen::Matrix3d k = s.op.camera(camera, 10.0).getIntrinsics();
    const Eigen::Vector2d c(k(0, 2), k(1, 2));
    const double r = (d - c).norm() / (0.5 * std::hypot(320.0, 240.0));
    return c + (d - c) / (1.0 + lens.k1 * r * r + lens.k2 * r * r * r * r);
}

} // namespace

// Barrel distortion on the left camera and a milder one with a fourth-order term on the right:
// the disparity still carries each left pixel onto the right position that sees its scene
// point, through each camera's own distortion.
TEST(SyntheticStereo, LensDistortionKeepsTheDisparityExact) {
    SyntheticStereoParameters p = misaligned();
    p.lens[0] = {-0.25, 0.0};
    p.lens[1] = {-0.15, 0.03};
    Source s(p, "left");
    double worst = 0.0, bent = 0.0;
    for (int y = 0; y < 240; y += 17) {
        const auto r = s.row(y, {Chan_DisparityL_X, Chan_DisparityL_Y});
        for (int i = 0; i < 320; i += 3) {
            const Eigen::Vector2d d(i + 0.5, y + 0.5);
            Eigen::Vector3d point;
            Eigen::Vector2d q;
            ASSERT_TRUE(scenePoint(s, 0, ideal(s, 0, p.lens[0], d), 10.0, point));
            ASSERT_TRUE(pixelOf(s, 1, point, 10.0, q));
            const Eigen::Vector2d match = d + Eigen::Vector2d(r[0][size_t(i)], r[1][size_t(i)]);
            worst = std::max(worst, (ideal(s, 1, p.lens[1], match) - q).norm());
            bent = std::max(bent, (match - q).norm());
        }
    }
    EXPECT_LT(worst, 0.01);
    EXPECT_GT(bent, 10.0); // the distortion is there: the pinhole positions are far off
}

// Exposure, cast, gamma, noise and 8-bit levels change the colour only: the same pixels, a
// known tone change, repeatable grain of the asked size, values on the 256 levels.
TEST(SyntheticStereo, ViewLooksChangeTheColourAndNothingElse) {
    const ChannelSet colourAndDisparity{Chan_Red, Chan_Green, Chan_DisparityL_X};
    SyntheticStereoParameters p = misaligned();
    Source plain(p, "right");
    p.look[1].exposure = 1.0;
    p.look[1].cast = {1.0, 0.5, 1.0};
    p.look[1].gamma = 2.0;
    Source toned(p, "right");
    p.look[1] = ViewLook();
    p.look[1].noise = 0.02;
    Source grainy(p, "right"), again(p, "right");
    p.look[1] = ViewLook();
    p.quantise8 = true;
    Source eightBit(p, "right");
    const auto a = plain.row(100, colourAndDisparity), b = toned.row(100, colourAndDisparity);
    const auto n = grainy.row(100, colourAndDisparity), m = again.row(100, colourAndDisparity);
    const auto q = eightBit.row(100, colourAndDisparity);
    double sum = 0.0, squares = 0.0;
    for (size_t i = 0; i < 320; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(b[0][i], std::sqrt(2.0f * a[0][i]), 1e-5f); // red: 2x, then gamma 2
        EXPECT_NEAR(b[1][i], std::sqrt(a[1][i]), 1e-5f);        // green: 2x * 0.5, gamma 2
        EXPECT_EQ(b[2][i], a[2][i]);
        EXPECT_EQ(n[0][i], m[0][i]);
        sum += n[0][i] - a[0][i];
        squares += (n[0][i] - a[0][i]) * (n[0][i] - a[0][i]);
        const float level = 255.0f * std::pow(q[0][i], 1.0f / 2.2f);
        EXPECT_NEAR(level, std::round(level), 1e-3f);
        EXPECT_NEAR(q[0][i], a[0][i], 0.03f);
    }
    EXPECT_NEAR(sum / 320, 0.0, 0.005);
    EXPECT_NEAR(std::sqrt(squares / 320), 0.02, 0.004);
}

// The chequer and low texture change the colour of their surfaces, never the geometry.
TEST(SyntheticStereo, ChequerAndLowTextureKeepTheTruth) {
    const ChannelSet colourAndDisparity{Chan_Green, Chan_DisparityL_X};
    SyntheticStereoParameters p = misaligned();
    Source plain(p, "left");
    p.chequerSurfaces = ChequerFloor;
    Source chequer(p, "left");
    p.chequerSurfaces = 0;
    p.contrast = 0.2;
    p.detail = 0.0;
    Source flat(p, "left");
    const auto a = plain.row(5, colourAndDisparity), b = chequer.row(5, colourAndDisparity);
    const auto c = flat.row(5, colourAndDisparity);
    const auto spread = [](const std::vector<float>& v) {
        return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    EXPECT_EQ(a[1], b[1]);
    EXPECT_EQ(a[1], c[1]);
    EXPECT_NE(a[0], b[0]);
    EXPECT_LT(spread(c[0]), 0.5f * spread(a[0]));
}

TEST(SyntheticStereo, UnusableHardPlateParametersAreReportedByName) {
    const auto messageOf = [](void (*change)(SyntheticStereoParameters&)) {
        SyntheticStereoParameters p;
        change(p);
        Source s(p, "left");
        return s.op.errorMessage();
    };
    EXPECT_EQ(messageOf([](SyntheticStereoParameters& p) { p.lens[1].k1 = 1.5; }),
              "SyntheticStereo: the lens distortion of the right camera (rightK1 1.5, rightK2 0) "
              "folds the image over inside the frame; make it weaker");
    EXPECT_EQ(messageOf([](SyntheticStereoParameters& p) { p.look[0].gamma = 0; }),
              "SyntheticStereo: leftGamma must be positive, leftNoise and leftCast not negative "
              "(now 0, 0, 1 1 1)");
    EXPECT_EQ(messageOf([](SyntheticStereoParameters& p) { p.chequerSize = 0; }),
              "SyntheticStereo: chequerSize must be positive, not 0");
    EXPECT_EQ(messageOf([](SyntheticStereoParameters& p) { p.detail = 2; }),
              "SyntheticStereo: contrast and detail must be 0 to 1, not 1 and 2");
}

// The hard plate set on a node's knobs reaches the plate's parameters, each knob to its own
// parameter (single precision, as knobs store them).
TEST(SyntheticStereo, HardPlateKnobsCarryEveryParameter) {
    OutputContext::setViews({"left", "right"});
    SyntheticStereoParameters p;
    everythingHard(p);
    p.lens[1].k2 = 0.05;
    p.look[0].exposure = -0.3;
    p.look[0].gamma = 0.9;
    p.look[0].cast = {0.9, 1.0, 1.05};
    p.chequerSurfaces = ChequerWall | ChequerBoxes;
    p.chequerSize = 0.5;
    Node node("SyntheticStereo", "Hard");
    setHardPlateKnobs(node, p);
    auto* op = static_cast<SyntheticStereo*>(node.iop(OutputContext(10, 1)));
    op->validate(true);
    ASSERT_FALSE(op->hasError()) << op->errorMessage();
    const SyntheticStereoParameters& got = op->parameters();
    const auto single = [](double v) { return double(float(v)); };
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c ? "right" : "left");
        EXPECT_EQ(got.lens[c].k1, single(p.lens[c].k1));
        EXPECT_EQ(got.lens[c].k2, single(p.lens[c].k2));
        EXPECT_EQ(got.look[c].exposure, single(p.look[c].exposure));
        EXPECT_EQ(got.look[c].gamma, single(p.look[c].gamma));
        for (int k = 0; k < 3; ++k) EXPECT_EQ(got.look[c].cast[k], single(p.look[c].cast[k])) << k;
        EXPECT_EQ(got.look[c].noise, single(p.look[c].noise));
    }
    EXPECT_EQ(got.chequerSurfaces, p.chequerSurfaces);
    EXPECT_EQ(got.chequerSize, single(p.chequerSize));
    EXPECT_EQ(got.contrast, single(p.contrast));
    EXPECT_EQ(got.detail, single(p.detail));
    EXPECT_TRUE(got.quantise8);
}
