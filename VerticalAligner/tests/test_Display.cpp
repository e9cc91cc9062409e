// The matches drawn in the viewer: colours by error and selection, where the crosses sit
// at a proxy scale, selection and deletion under one undo step, and the cache following
// the stored matches.
#include "AlignerStage.h"
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerDisplayManager.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/GL.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Undo.h"
#include "Kx/Image/ViewerContext.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

using namespace Kx::Image;
using namespace Marrow::Research;

namespace {

const Op::Description greyPlateDescription("DisplayGreyPlate", [](Node* n) -> Op* {
    return new AlignerTest::FlatPlate(n, "DisplayGreyPlate", 200, 100, Mask_RGBA, 10);
});

constexpr int kLeft = 1, kRight = 2, kCentre = 3;
constexpr int kFrame = 4;

// A track with a feature in each camera of the pair and a point of the given RMSE (negative:
// not valid).
FeatureTrack track(double x, double y, double rmse) {
    FeatureTrack t;
    t.addFeature(0, Feature(x, y));
    t.addFeature(1, Feature(x + 5, y));
    t.setPoint(Point(0, 0, -10, rmse));
    return t;
}

class Display : public ::testing::Test, protected AlignerTest::Views {
protected:
    Display() : Views({"left", "right", "centre"}) {}
    void SetUp() override {
        node.setInput(0, &plate);
        node.knob("layoutType")->setValue(VerticalAlignerKnobManager::StereoLayout);
        node.knob("alignmentSpace")->setValue(VerticalAlignerKnobManager::Rectilinear);
        node.setContext(OutputContext(kFrame, kLeft));
        node.setPanelOpen(true);
        // No analysis key: no alignment, so the view's correction is the identity.
        node.knob("analysisKeyframe")->clearAnimation();
        CameraTrack& frame = points().tracksForFrame(kFrame);
        frame.addTrack(track(20.5, 20.5, 10));   // at the threshold: green
        frame.addTrack(track(60.5, 20.5, 10.5)); // above it: red
        frame.addTrack(track(100.5, 20.5, -1));  // no valid point: orange
        points().tracksForFrame(kFrame + 1).addTrack(track(30.5, 30.5, 1));
        Undo::clear();
    }
    void TearDown() override { Undo::clear(); }

    VerticalAlignerPlugin& aligner() { return AlignerTest::plugin(node); }
    ControlPointsKnob& points() { return *aligner().knobValues().controlPoints(); }
    VerticalAlignerDisplayManager& display() { return aligner().displayManager(); }

    // A viewer on the node's output at a context, drawn once.
    std::unique_ptr<ViewerContext> view(const OutputContext& c) {
        node.setContext(c);
        aligner().validate(true);
        auto v = std::make_unique<ViewerContext>(ViewerContext::Mode::Viewer2D, c);
        v->setViewport(int(200 * c.scale_x()), int(100 * c.scale_y()));
        aligner().build_handles(v.get());
        v->draw();
        return v;
    }
    std::vector<const ViewerContext::Handle*> crosses(const ViewerContext& v) {
        std::vector<const ViewerContext::Handle*> out;
        for (const auto& h : v.handles())
            if (h.type == ViewerContext::kPointHandle && h.knob == display().knob())
                out.push_back(&h);
        return out;
    }
    static std::array<int, 4> rgba(const ViewerContext& v, int x, int y) {
        const uint8_t* p = v.overlay()->pixel(x, y);
        return {p[0], p[1], p[2], p[3]};
    }

    Node plate{"DisplayGreyPlate", "Plate"};
    Node node{"Q_VerticalAligner2_1", "VerticalAligner1"};
};

using Colour = std::array<int, 4>;
const Colour kGreen{0, 255, 0, 255}, kRed{255, 0, 0, 255}, kYellow{255, 255, 0, 255};
const Colour kOrange{255, 158, 32, 255};

} // namespace

TEST(DisplayColours, ErrorAgainstTheThresholdValidityAndSelection) {
    using D = VerticalAlignerDisplayManager;
    auto colourOf = [](double rmse, bool valid, bool selected) {
        float c[4];
        D::colour(D::DisplayPoint{0, 0, valid, rmse, 0}, selected, 2.5f, c);
        return std::array<float, 4>{c[0], c[1], c[2], c[3]};
    };
    const std::array<float, 4> green{0, 1, 0, 1}, red{1, 0, 0, 1}, yellow{1, 1, 0, 1},
        orange{1, 0.621f, 0.125f, 1};
    EXPECT_EQ(colourOf(2.5, true, false), green); // equal to the threshold
    EXPECT_EQ(colourOf(2.5000001, true, false), red);
    EXPECT_EQ(colourOf(0, true, false), green);
    EXPECT_EQ(colourOf(0, false, false), orange); // not valid, whatever the error
    EXPECT_EQ(colourOf(99, false, false), orange);
    EXPECT_EQ(colourOf(99, true, true), yellow); // selected, whatever the error
    EXPECT_EQ(colourOf(0, false, true), yellow);
}

TEST_F(Display, CrossesOfTheViewedCameraInTheirColours) {
    auto v = view(OutputContext(kFrame, kLeft));
    const auto c = crosses(*v);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[1]->index, 1);
    EXPECT_DOUBLE_EQ(c[1]->viewerX, 60.5);
    EXPECT_EQ(c[0]->cursor, 21);
    // The centre of each cross is the pixel under the match.
    EXPECT_EQ(rgba(*v, 20, 20), kGreen);
    EXPECT_EQ(rgba(*v, 60, 20), kRed);
    EXPECT_EQ(rgba(*v, 100, 20), kOrange);
    EXPECT_EQ(rgba(*v, 17, 17), kGreen); // a corner of the cross
    EXPECT_EQ(rgba(*v, 40, 40)[3], 0);

    // The right view shows the right camera's features.
    v = view(OutputContext(kFrame, kRight));
    ASSERT_EQ(crosses(*v).size(), 3u);
    EXPECT_DOUBLE_EQ(crosses(*v)[0]->viewerX, 25.5);

    // A view outside the pair: no crosses, the key handle is still there.
    v = view(OutputContext(kFrame, kCentre));
    EXPECT_TRUE(crosses(*v).empty());
    int keyHandles = 0;
    for (const auto& h : v->handles())
        keyHandles += h.knob == display().knob() && h.type == ViewerContext::kKeyHandle;
    EXPECT_EQ(keyHandles, 1);

    // A frame without stored matches shows nothing.
    v = view(OutputContext(kFrame + 2, kLeft));
    EXPECT_TRUE(crosses(*v).empty());
}

TEST_F(Display, AtProxyScaleHalfCrossesSitAtFullSizePositionsScaledOnScreen) {
    points().tracksForFrame(kFrame).addTrack(track(100, 40, 1));
    OutputContext half(kFrame, kLeft);
    half.proxyscale(0.5, 0.5);
    auto v = view(half);
    const auto c = crosses(*v);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[3]->x, 100.0f); // drawn at the full-size position...
    EXPECT_EQ(c[3]->y, 40.0f);
    EXPECT_DOUBLE_EQ(c[3]->viewerX, 50); // ...under the proxy scale
    EXPECT_DOUBLE_EQ(c[3]->viewerY, 20);
    EXPECT_EQ(rgba(*v, 10, 10), kGreen); // (20.5, 20.5) lands in proxy pixel (10, 10)
}

// A click selects a cross (yellow), Escape clears the selection; Delete removes the selected
// tracks in one undo step, and the frame itself once none is left.
TEST_F(Display, SelectionAndDeletionUnderOneUndoStep) {
    const std::string before = points().scriptText(false);
    auto v = view(OutputContext(kFrame, kLeft));
    auto selected = [&] {
        return v->selected(display().knob(), &VerticalAlignerDisplayManager::pointHandleTest);
    };
    EXPECT_TRUE(v->click(61, 21));
    EXPECT_EQ(selected(), std::vector<int>{1});
    v->draw();
    EXPECT_EQ(rgba(*v, 60, 20), kYellow);
    EXPECT_EQ(rgba(*v, 20, 20), kGreen);
    EXPECT_TRUE(v->keyPress(ViewerContext::kKeyEscape));
    v->draw();
    EXPECT_EQ(rgba(*v, 60, 20), kRed);

    // Nothing selected: the key is taken, nothing changes.
    EXPECT_TRUE(v->keyPress(ViewerContext::kKeyDelete));
    EXPECT_EQ(Undo::undoCount(), 0u);
    EXPECT_EQ(v->boxSelect(0, 0, 80, 30), 2);
    EXPECT_TRUE(v->keyPress(ViewerContext::kKeyBackspace));
    ASSERT_EQ(points().tracksForFrame(kFrame).getNumberTracks(), 1);
    EXPECT_EQ(points().tracksForFrame(kFrame).getTracks()[0].getPoint().getRMSE(), -1);
    EXPECT_TRUE(selected().empty());
    EXPECT_EQ(Undo::undoCount(), 1u);
    // The cache follows the store: the next draw shows the one match left, index 0.
    v->draw();
    ASSERT_EQ(crosses(*v).size(), 1u);
    EXPECT_EQ(crosses(*v)[0]->index, 0);
    ASSERT_TRUE(Undo::undo());
    EXPECT_EQ(points().scriptText(false), before);
    v->draw();
    EXPECT_EQ(crosses(*v).size(), 3u);

    EXPECT_EQ(v->boxSelect(0, 0, 200, 100), 3);
    EXPECT_TRUE(v->keyPress(ViewerContext::kKeyDelete));
    EXPECT_FALSE(points().hasFrame(kFrame));
    EXPECT_TRUE(points().hasFrame(kFrame + 1)); // other frames stay
    ASSERT_TRUE(Undo::undo());
    EXPECT_EQ(points().tracksForFrame(kFrame).getNumberTracks(), 3);
}

TEST_F(Display, NoKnobNoDrawing) {
    // A display manager whose node has not declared its knobs draws and registers nothing.
    VerticalAlignerDisplayManager bare(&aligner());
    ViewerContext v(ViewerContext::Mode::Viewer2D, OutputContext(kFrame, kLeft));
    v.draw();
    v.event(ViewerContext::kDraw);
    bare.draw(&v);
    EXPECT_TRUE(v.handles().empty());
}

// On an aligned view the crosses go through the view's correction. The matches of the key
// differ only horizontally, so the solved homography is the identity and the correction is
// the framing alone: a zoom of 1.2 about the centre (100, 50) of the 200 x 100 plate, and a
// parallax offset of 8 shared between the views, the left moving by -4 and the right by +4.
// The crosses of the view the correction was prepared for go through its own chain
// (toOutputThis); those of the other view of the pair, drawn before the node was validated
// for it, through the partner chain (toOutputOther).
TEST_F(Display, CrossesSitWhereTheCorrectionPutsThemOnThisViewAndTheOther) {
    for (int i = 0; i < 12; ++i)
        points().tracksForFrame(kFrame).addTrack(
            track(30.5 + 12 * (i % 4), 25.5 + 20 * (i / 4), 0.1));
    node.knob("analysisKeyframe")->setValueAt(kFrame, kFrame);
    node.knob("scaleToFit")->setValue(1);
    node.knob("lockScale")->setValue(1);
    node.knob("scale")->setValue(1.2);
    node.knob("fixParallax")->setValue(1);
    node.knob("lockOffset")->setValue(1);
    node.knob("offset")->setValue(8);
    auto expected = [](double x, double y, double shift) {
        return std::array<double, 2>{100 + (x - 100) * 1.2 + shift, 50 + (y - 50) * 1.2};
    };
    struct Case {
        const char* what;
        int validatedFor, viewed;
        double dx, shift; // the viewed camera's feature is dx right of the left camera's
    };
    const Case cases[] = {
        {"left view, its own correction", kLeft, kLeft, 0, -4},
        {"right view, its own correction", kRight, kRight, 5, 4},
        {"right view, the left view's partner chain", kLeft, kRight, 5, 4},
        {"left view, the right view's partner chain", kRight, kLeft, 0, -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        node.setContext(OutputContext(kFrame, c.validatedFor));
        aligner().validate(true);
        ASSERT_EQ(aligner().renderEngine().correction().view(), c.validatedFor);
        aligner().setOutputContext(OutputContext(kFrame, c.viewed));
        ViewerContext v(ViewerContext::Mode::Viewer2D, OutputContext(kFrame, c.viewed));
        v.setViewport(200, 100);
        aligner().build_handles(&v);
        v.draw();
        const auto drawn = crosses(v);
        ASSERT_EQ(drawn.size(), 15u);
        const CameraTrack& frame = points().tracksForFrame(kFrame);
        for (const ViewerContext::Handle* h : drawn) {
            const Feature& f = frame.getTracks()[size_t(h->index)].getFeatures()[0].second;
            const auto q = expected(f.getPosition().x() + c.dx, f.getPosition().y(), c.shift);
            // The solve of exact, purely horizontal matches leaves rounding in the homography.
            EXPECT_NEAR(h->x, q[0], 1e-3) << "match " << h->index;
            EXPECT_NEAR(h->y, q[1], 1e-3) << "match " << h->index;
        }
    }
}
