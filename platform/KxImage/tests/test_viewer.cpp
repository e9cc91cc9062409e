// The viewer: handle positions through the draw pass's model-view at a proxy scale, picking
// and selecting point handles by click and box, key delivery, the XY knob's draggable
// point, and the overlay drawn with real OpenGL.
#include "KnobTestOp.h"

#include "Kx/Image/GL.h"
#include "Kx/Image/Undo.h"
#include "Kx/Image/ViewerContext.h"

#include <gtest/gtest.h>

using namespace Kx::Image;
using namespace KxTest;

namespace {

// An op that draws a point handle at each of its positions (full-size pixels, drawn under
// the proxy scale as overlays do) and takes key presses on a whole-viewer handle.
struct PointsOp : public Op {
    static constexpr const char* kClass = "ViewerPoints";
    explicit PointsOp(Node* n) : Op(n) {}
    const char* Class() const override { return kClass; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void knobs(Knob_Closure& f) override { knob = customKnob<NotesKnob>(f, "points"); }

    static bool takesPush(ViewerContext* ctx, Knob*, int index) {
        return ctx->event() == ViewerContext::kPush && index != kStubborn;
    }
    static bool takesKey(ViewerContext* ctx, Knob*, int) {
        keys.push_back(ctx->event());
        return ctx->key() == 'x';
    }
    void draw_handle(ViewerContext* ctx) override {
        const OutputContext& c = ctx->context();
        glPushMatrix();
        glScalef(float(c.scale_x()), float(c.scale_y()), 1);
        glColor4f(1, 0, 0, 1);
        for (size_t i = 0; i < points.size(); ++i) {
            ctx->begin_handle(ViewerContext::kPointHandle, knob, &takesPush, int(i),
                              points[i].first, points[i].second, 0, 0);
            glBegin(GL_POINTS);
            glVertex2f(points[i].first, points[i].second);
            glEnd();
            ctx->end_handle();
        }
        glPopMatrix();
        ctx->begin_handle(ViewerContext::kKeyHandle, knob, &takesKey, 0, 0, 0, 0, 0);
        ctx->end_handle();
    }

    static constexpr int kStubborn = 3; // a handle whose callback refuses every push
    static inline std::vector<int> keys;
    std::vector<std::pair<float, float>> points;
    Knob* knob = nullptr;
};
const Op::Description pointsDescription(PointsOp::kClass,
                                        [](Node* n) -> Op* { return new PointsOp(n); });

OutputContext proxyContext(double scale, double tx = 0, double ty = 0) {
    OutputContext c(1, 1);
    c.proxyscale(scale, scale);
    c.proxytranslate(tx, ty);
    return c;
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override {
        OutputContext::setViews({"left", "right"});
        op.points = {{10, 10}, {14, 10}, {40, 30}, {41, 31}};
        PointsOp::keys.clear();
    }
    std::unique_ptr<ViewerContext> drawn(const OutputContext& c) {
        auto v = std::make_unique<ViewerContext>(ViewerContext::Mode::Viewer2D, c);
        v->setViewport(64, 48);
        v->add_draw_handle(&op);
        v->draw();
        return v;
    }
    bool selected(const ViewerContext& v, int i) const {
        return v.is_selected(op.knob, &PointsOp::takesPush, i);
    }

    Node node{PointsOp::kClass, "Points1"};
    PointsOp& op = *static_cast<PointsOp*>(node.firstOp());
};

} // namespace

TEST_F(Viewer, HandlesSitWhereTheModelViewPutsThemAndTheOverlayIsDrawn) {
    ViewerContext v(ViewerContext::Mode::Viewer2D, proxyContext(0.5, 2, 1));
    v.setViewport(64, 48);
    v.add_draw_handle(&op);
    v.add_draw_handle(&op); // registered once
    v.draw();
    ASSERT_EQ(v.handles().size(), 5u);
    const auto& h = v.handles()[2];
    EXPECT_EQ(h.x, 40.0f); // as given
    EXPECT_DOUBLE_EQ(h.viewerX, 40 * 0.5 + 2);
    EXPECT_DOUBLE_EQ(h.viewerY, 30 * 0.5 + 1);
    const uint8_t* red = v.overlay()->pixel(22, 16); // handle 3 at viewer (22.5, 16.5)
    EXPECT_EQ(red[0], 255);
    EXPECT_EQ(red[3], 255);
    EXPECT_EQ(v.overlay()->pixel(30, 30)[3], 0); // transparent elsewhere
}

TEST_F(Viewer, ClicksSelectTheNearestHandleThatTakesThePushAndKeysGoToKeyHandles) {
    auto viewer = drawn(proxyContext(1));
    ViewerContext& v = *viewer;
    EXPECT_TRUE(v.click(13, 11)); // 3 from the first, 1.4 from the second
    EXPECT_FALSE(selected(v, 0));
    EXPECT_TRUE(selected(v, 1));
    EXPECT_TRUE(v.click(9, 9, true)); // added
    EXPECT_EQ(v.selected(op.knob, &PointsOp::takesPush), (std::vector<int>{0, 1}));
    // The nearest handle refuses: the next one within reach takes it, alone.
    EXPECT_TRUE(v.click(41, 31));
    EXPECT_EQ(v.selected(op.knob, &PointsOp::takesPush), (std::vector<int>{2}));
    // Out of reach of every handle: nothing taken, the selection is cleared.
    EXPECT_FALSE(v.click(40 + ViewerContext::kPickRadius + 2, 30));
    EXPECT_TRUE(v.selected(op.knob, &PointsOp::takesPush).empty());
    // The pick radius is in viewer pixels: at a quarter proxy, 16 full-size pixels away are 4
    // viewer pixels, within reach.
    auto quarter = drawn(proxyContext(0.25));
    EXPECT_TRUE(quarter->click(10, 26));
    EXPECT_TRUE(selected(*quarter, 0));
}

TEST_F(Viewer, BoxSelectsEveryHandleInsideThatTakesAPush) {
    auto viewer = drawn(proxyContext(0.5));
    ViewerContext& v = *viewer;
    EXPECT_EQ(v.boxSelect(50, 40, 5, 5), 3); // corners in any order; handle 3 refuses
    EXPECT_EQ(v.selected(op.knob, &PointsOp::takesPush), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(v.boxSelect(0, 0, 12, 12), 1); // replaces
    EXPECT_EQ(v.selected(op.knob, &PointsOp::takesPush), (std::vector<int>{0}));
    EXPECT_EQ(v.boxSelect(13, 9, 15, 11, true), 1); // grows
    EXPECT_EQ(v.selected(op.knob, &PointsOp::takesPush), (std::vector<int>{0, 1}));
    v.clear_selection(op.knob);
    EXPECT_FALSE(selected(v, 0));
    // Key presses and releases go to the key handles.
    PointsOp::keys.clear();
    EXPECT_TRUE(v.keyPress('x'));
    EXPECT_FALSE(v.keyPress('y'));
    EXPECT_EQ(PointsOp::keys, (std::vector<int>{ViewerContext::kKey, ViewerContext::kKeyUp,
                                                ViewerContext::kKey, ViewerContext::kKeyUp}));
}

TEST(ViewerKnobs, XYKnobDrawsADraggablePointAtFullSizePositions) {
    OutputContext::setViews({"left", "right"});
    Undo::clear();
    Node n{KindsOp::kClass, "Kinds1"};
    KindsOp& op = kinds(n);
    Knob& centre = *n.knob("centre");
    centre.setValue(20, 0);
    centre.setValue(16, 1);
    n.knob("rotate")->set_flag(KnobFlag::NoHandles);

    ViewerContext v(ViewerContext::Mode::Viewer2D, proxyContext(0.5));
    v.setViewport(32, 24);
    op.build_knob_handles(&v);
    ASSERT_EQ(v.drawKnobs(), std::vector<Knob*>{&centre}); // XY only, none with NoHandles
    v.draw();
    ASSERT_EQ(v.handles().size(), 1u);
    EXPECT_DOUBLE_EQ(v.handles()[0].viewerX, 10);
    EXPECT_DOUBLE_EQ(v.handles()[0].viewerY, 8);
    int lit = 0; // the cross at the point (its lines run along pixel edges)
    for (int y = 7; y <= 8; ++y)
        for (int x = 9; x <= 11; ++x) lit += v.overlay()->pixel(x, y)[3] > 0;
    EXPECT_GE(lit, 2);

    n.setPanelOpen(true);
    op.changes.clear();
    ASSERT_TRUE(v.push(21, 17));
    EXPECT_TRUE(v.drag(30, 12));
    EXPECT_TRUE(v.release(30, 12));
    EXPECT_EQ(centre.value(0), 30);
    EXPECT_EQ(centre.value(1), 12);
    EXPECT_FALSE(op.changes.empty()); // the node heard of the move

    // An op rendering at that proxy gets the position in its own pixels.
    n.storeKnobs(op, proxyContext(0.5, 4, 0));
    EXPECT_FLOAT_EQ(op.centre[0], 19);
    EXPECT_FLOAT_EQ(op.centre[1], 6);

    centre.disable();
    ViewerContext off(ViewerContext::Mode::Viewer2D, proxyContext(1));
    op.build_knob_handles(&off);
    EXPECT_TRUE(off.drawKnobs().empty());
    Undo::clear();
}

// The host's drive order for an op's handles: doAnyHandles first; an op without handles is
// left out, one whose handles draw from its validation is validated before it builds them.
namespace {

struct HandlesOp : public Op {
    static constexpr const char* kClass = "ViewerHandles";
    explicit HandlesOp(Node* n) : Op(n) {}
    const char* Class() const override { return kClass; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void knobs(Knob_Closure& f) override { xyKnob(f, centre, "centre", "Centre"); }
    int doAnyHandles(ViewerContext* ctx) override {
        calls.push_back("doAnyHandles");
        return answer < 0 ? Op::doAnyHandles(ctx) : answer;
    }
    void _validate(bool) override { calls.push_back("validate"); }
    void build_handles(ViewerContext* ctx) override {
        calls.push_back("build_handles");
        build_knob_handles(ctx);
    }

    int answer = -1; // -1: the host's own answer
    float centre[2] = {5, 5};
    std::vector<std::string> calls;
};
const Op::Description handlesDescription(HandlesOp::kClass,
                                         [](Node* n) -> Op* { return new HandlesOp(n); });

} // namespace

TEST(ViewerDriveOrder, DoAnyHandlesDecidesWhetherAndHowHandlesAreBuilt) {
    using Calls = std::vector<std::string>;
    struct Case {
        const char* what;
        bool panel;
        int answer;
        int result;
        Calls calls;
    };
    const Case cases[] = {
        {"panel closed, the host's answer", false, -1, Op::kNoHandles, {"doAnyHandles"}},
        {"panel open, an XY knob asks", true, -1, Op::kHandles, {"doAnyHandles", "build_handles"}},
        {"no handles", true, Op::kNoHandles, Op::kNoHandles, {"doAnyHandles"}},
        {"handles on the validated op",
         true,
         Op::kHandlesOnValidated,
         Op::kHandlesOnValidated,
         {"doAnyHandles", "validate", "build_handles"}},
    };
    OutputContext::setViews({"left", "right"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Node node(HandlesOp::kClass, "Handles1");
        auto& op = *static_cast<HandlesOp*>(node.firstOp());
        node.setPanelOpen(c.panel);
        op.answer = c.answer;
        op.calls.clear();
        ViewerContext viewer;
        EXPECT_EQ(viewer.build(op), c.result);
        EXPECT_EQ(op.calls, c.calls);
        EXPECT_EQ(viewer.drawKnobs().size(), c.calls.back() == "build_handles" ? 1u : 0u);
    }
}
