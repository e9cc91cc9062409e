// The viewer's error colours on a plain plate: the demo's misalignment, viewed on "left" and
// "right", which are not views of the plate's rig, so Match knows nothing of where the cameras
// stand. The matches' errors then come from the camera pair solved from the matches
// themselves, and the crosses read green where a match fits that pair and red where it does
// not.
#include "e2e_RenderPlate.h"
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerDisplayManager.h"

#include "Kestrel/IO/ImageWriter.h"
#include "Kx/Image/GL.h"
#include "Kx/Image/ViewerContext.h"
#include "Quorvane/TriangulateFeatures.h"

#include <cstdlib>
#include <set>

using namespace RenderTest;
using Marrow::Vireon::VireonAlignmentSampler;

namespace {

constexpr int kW = 1280, kH = 720;

// A match made wrong by dy pixels in the right view, as a match of a repeated detail or of
// something that moved would be.
void moveRightView(FeatureTrack& t, double dy) {
    FeatureTrack moved;
    moved.addFeature(0, t.getFeatures()[0].second);
    moved.addFeature(1, Feature(t.getFeatures()[1].second.getPosition() + Eigen::Vector2d(0, dy)));
    t = moved;
}

// Triangulates the matches again as Match does, through the two cameras a plain plate gives
// (their image sizes only).
void triangulateOnPlainPlate(CameraTrack& frame) {
    CameraRigDefinition plain;
    plain.setNumberCameras(2);
    for (int c = 0; c < 2; ++c) {
        CameraDefinition camera;
        camera.setFormatWidth(kW);
        camera.setFormatHeight(kH);
        plain.setCamera(c, camera);
    }
    TriangulateFeatures(frame, plain, true);
}

// What the viewer shows, as `kestrel view` writes it: the overlay laid over the aligned view by
// its alpha, into a PNG. The README's picture of the error colours is this test's viewer.
void writeViewerPicture(const std::string& path, const Image& view, const OffscreenGL& overlay) {
    Kestrel::IO::ViewPixels out(Format(kW, kH), Box(0, 0, kW, kH), Mask_RGBA);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const uint8_t* o = overlay.pixel(x, y);
            const float a = float(o[3]) / 255.0f;
            for (int c = 0; c < 3; ++c)
                out.row(Channel(Chan_Red + c), y)[x] =
                    float(o[c]) / 255.0f * a + view.at(Channel(Chan_Red + c), x, y) * (1.0f - a);
            out.row(Chan_Alpha, y)[x] = 1.0f;
        }
    Kestrel::IO::ImageData data;
    data.addView("", std::move(out));
    Kestrel::IO::writeImage(path, data);
}

} // namespace

TEST(ViewerErrors, PlainPlateShowsGreenCrossesAndWrongMatchesInRed) {
    constexpr float kThreshold = 0.5f; // pixels: true matches fit to a tenth of that
    Plate g({{"roll", 0.6}, {"tilt", 0.25}, {"focalRatio", 1.015}, {"verticalShift", 6}}, K::Full,
            kW, kH);
    ASSERT_TRUE(g.match());
    g.set("errorThreshold", kThreshold);
    VerticalAlignerPlugin& node = AlignerTest::plugin(g.aligner);
    CameraTrack& frame = node.knobValues().controlPoints()->tracksForFrame(1);
    ASSERT_GT(frame.getNumberTracks(), 300);
    int green = 0;
    for (const FeatureTrack& t : frame.getTracks())
        green += t.getPoint().isValid() && t.getPoint().getRMSE() <= kThreshold;
    EXPECT_GE(green, 0.97 * frame.getNumberTracks());

    // Every 25th match made wrong by 3 pixels up in the right view, as a match of a repeated
    // detail or of something that moved would be, then triangulated again as Match does,
    // through the two cameras a plain plate gives (their image sizes only).
    std::set<int> wrong;
    for (int i = 0; i < frame.getNumberTracks(); i += 25) {
        FeatureTrack& t = frame.getTracks()[size_t(i)];
        moveRightView(t, 3);
        wrong.insert(i);
    }
    triangulateOnPlainPlate(frame);

    // The viewer on the left view: the wrong matches are red, the others green.
    g.aligner.setContext(OutputContext(1, Plate::kLeft));
    node.validate(true);
    ViewerContext v(ViewerContext::Mode::Viewer2D, OutputContext(1, Plate::kLeft));
    v.setViewport(kW, kH);
    node.build_handles(&v);
    v.draw();
    int red = 0, drawnGreen = 0;
    for (const auto& h : v.handles()) {
        if (h.type != ViewerContext::kPointHandle) continue;
        const FeatureTrack& t = frame.getTracks()[size_t(h.index)];
        using D = VerticalAlignerDisplayManager;
        float c[4];
        D::colour(D::DisplayPoint{0, 0, t.getPoint().isValid(), t.getPoint().getRMSE(), 0}, false,
                  kThreshold, c);
        SCOPED_TRACE(h.index);
        if (wrong.count(h.index)) {
            EXPECT_EQ(c[0], 1.0f);
            EXPECT_EQ(c[1], 0.0f);
            ++red;
        } else if (c[0] == 0.0f && c[1] == 1.0f) {
            ++drawnGreen;
        }
    }
    EXPECT_EQ(red, int(wrong.size()));
    EXPECT_GE(drawnGreen, 0.97 * (frame.getNumberTracks() - red));
    // Both colours reach the picture.
    int redPixels = 0, greenPixels = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = v.overlay()->pixel(x, y);
            redPixels += p[0] == 255 && p[1] == 0 && p[3] == 255;
            greenPixels += p[0] == 0 && p[1] == 255 && p[3] == 255;
        }
    EXPECT_GT(redPixels, 0);
    EXPECT_GT(greenPixels, 0);
    if (const char* picture = std::getenv("KX_VIEWER_PICTURE"))
        writeViewerPicture(picture, g.render(Plate::kLeft, Mask_RGB), *v.overlay());
}

// The artist's way with a plain plate: wrong matches pull the solve away from the truth; they
// are the red ones, and deleting them (what the viewer's Delete does) brings the correction
// back to what the true correspondences ask for.
TEST(ViewerErrors, DeletingTheRedMatchesImprovesTheSolve) {
    constexpr float kThreshold = 0.5f; // pixels, as above
    Plate g({{"roll", 0.6}, {"tilt", 0.25}, {"focalRatio", 1.015}, {"verticalShift", 6}}, K::Full,
            kW, kH);
    ASSERT_TRUE(g.match());
    // Every match takes part in the solve, whatever its error.
    g.set("errorThreshold", 30);
    VerticalAlignerPlugin& node = AlignerTest::plugin(g.aligner);
    ControlPointsKnob& store = *node.knobValues().controlPoints();
    CameraTrack& frame = store.tracksForFrame(1);
    // Every tenth match of the right half made wrong by 4 pixels up in the right view, as
    // matches of a repeated pattern on one side of the frame would be.
    int wrong = 0;
    for (FeatureTrack& t : frame.getTracks()) {
        if (t.getFeatures()[0].second.getPosition().x() < kW / 2 || ++wrong % 10 != 0) continue;
        moveRightView(t, 4);
    }
    triangulateOnPlainPlate(frame);
    const SyntheticStereo& truth = g.plate(Plate::kLeft, Mask_RGBA);
    VireonAlignmentSampler l, r;
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    const double withWrong = verticalRms(truth, 1, &l, &r);

    std::vector<int> red;
    for (int i = 0; i < frame.getNumberTracks(); ++i) {
        const Point& p = frame.getTracks()[size_t(i)].getPoint();
        if (p.isValid() && p.getRMSE() > kThreshold) red.push_back(i);
    }
    EXPECT_GE(red.size(), size_t(wrong / 10));
    ASSERT_EQ(store.removeTracks(1, red), 1);
    ASSERT_TRUE(node.dataProvider().updateAlignment(l, r, 1));
    const double cleaned = verticalRms(truth, 1, &l, &r);
    EXPECT_GT(withWrong, 0.15) << "the wrong matches pull the solve off";
    EXPECT_LT(cleaned, 0.1);
    EXPECT_LT(cleaned, withWrong / 2);
}
