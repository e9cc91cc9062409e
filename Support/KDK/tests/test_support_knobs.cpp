// The two hidden support knobs: the serializer knob's text, its four failure messages and
// its script round trip, and the interaction knob's event routing.
#include "TestPlugins.h"

#include "Kx/Image/Node.h"
#include "Kx/Image/Script.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace KdkTest;

namespace {

// Keeps a text; throws what it is told to.
struct NoteSerializer : Serializer {
    std::string state;
    std::vector<std::string> loaded;
    int throwKind = 0; // 0 none, 1 a text, 2 something else

    void maybeThrow() {
        if (throwKind == 1) throw std::runtime_error("disk full");
        if (throwKind == 2) throw 42;
    }
    std::string save() override {
        maybeThrow();
        return state;
    }
    bool load(const std::string& text) override {
        maybeThrow();
        loaded.push_back(text);
        if (text == "refuse") return false;
        state = text;
        return true;
    }
};

class Stateful : public IopPlugin {
public:
    explicit Stateful(Node* node) : IopPlugin(node) {
        if (withSerializer) {
            auto s = std::make_unique<NoteSerializer>();
            notes = s.get();
            _serializer = std::move(s);
        }
        _interact2D = true;
    }
    const char* Class() const override { return "KdkStateful"; }
    const char* pluginDisplayName() const override { return "Stateful"; }
    const char* pluginHelp() const override { return ""; }
    void pluginKnobs(Knob_Closure& f) override { intKnob(f, &level, "level", "Level", 0); }

    bool onPush(ViewerContext*) override { return ++pushes, true; }
    bool onKey(ViewerContext*) override { return ++keys, false; }
    int handleCursor(ViewerContext*) override { return 7; }
    void setInteraction(bool twoD, bool threeD) { _interact2D = twoD, _interact3D = threeD; }

    static inline bool withSerializer = true;
    NoteSerializer* notes = nullptr;
    int level = 0, pushes = 0, keys = 0;
};

const Op::Description statefulDescription("KdkStateful",
                                          [](Node* n) -> Op* { return new Stateful(n); });

class SupportKnobs : public ::testing::Test {
protected:
    void SetUp() override { Stateful::withSerializer = true; }
    Node node{"KdkStateful", "Stateful1"};
    Stateful& op = *static_cast<Stateful*>(node.firstOp());
    Knob& serialize = *node.knob(KnobNames::kSerialize);
};

} // namespace

TEST_F(SupportKnobs, BothComeBeforeTheNodesKnobsAndAreKeptOutOfPresets) {
    auto declared = node.declaredKnobs(false);
    ASSERT_GE(declared.size(), 3u);
    EXPECT_EQ(declared[0]->name(), KnobNames::kInteract);
    EXPECT_EQ(declared[1]->name(), KnobNames::kSerialize);
    EXPECT_EQ(declared[2]->name(), "level");
    EXPECT_TRUE(declared[0]->flag(KnobFlag::NoPresets));
    EXPECT_TRUE(declared[1]->flag(KnobFlag::NoPresets));
    EXPECT_EQ(op.interactKnob(), declared[0]);
}

TEST_F(SupportKnobs, SerializerTextIsWrittenQuotedAndReadUnlessEmpty) {
    op.notes->state = "say \"hi\"\\";
    EXPECT_EQ(serialize.scriptText(false), "say \"hi\"\\");
    EXPECT_EQ(serialize.scriptText(true), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_TRUE(serialize.not_default());
    // Empty text is never handed to the serializer.
    EXPECT_TRUE(serialize.from_script(""));
    EXPECT_TRUE(op.notes->loaded.empty());
    EXPECT_FALSE(serialize.from_script("refuse"));
    EXPECT_TRUE(serialize.from_script("kept"));
    EXPECT_EQ(op.notes->loaded, (std::vector<std::string>{"refuse", "kept"}));
}

TEST(SupportKnobsWithoutSerializer, WriteEmptyAndAcceptAnything) {
    Stateful::withSerializer = false;
    Node node("KdkStateful", "Plain1");
    Knob& k = *node.knob(KnobNames::kSerialize);
    EXPECT_EQ(k.scriptText(true), "\"\"");
    EXPECT_TRUE(k.from_script("anything at all"));
    Stateful::withSerializer = true;
}

TEST_F(SupportKnobs, TheFourFailureMessages) {
    op.notes->throwKind = 1;
    EXPECT_TRUE(serialize.from_script("x"));
    EXPECT_EQ(serialize.lastError(), "Failed to load from script: disk full");
    EXPECT_EQ(serialize.scriptText(true), "\"\"");
    EXPECT_EQ(serialize.lastError(), "Failed to save to script: disk full");
    op.notes->throwKind = 2;
    EXPECT_TRUE(serialize.from_script("x"));
    EXPECT_EQ(serialize.lastError(), "Failed to load from script");
    serialize.scriptText(false);
    EXPECT_EQ(serialize.lastError(), "Failed to save to script");
}

TEST_F(SupportKnobs, StateRoundTripsThroughAScript) {
    Graph g;
    Node* n = g.add(std::make_unique<Node>("KdkStateful", "Stateful1"));
    static_cast<Stateful*>(n->firstOp())->notes->state = "line one\n\"two\"";
    std::string text = Script::write(g);
    std::string error;
    auto loaded = Script::read(text, "state.kscript", &error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_EQ(static_cast<Stateful*>(loaded->find("Stateful1")->firstOp())->notes->state,
              "line one\n\"two\"");
    EXPECT_EQ(Script::write(*loaded), text);
}

TEST_F(SupportKnobs, InteractionKnobRoutesViewerEventsToTheHooks) {
    ViewerContext viewer;
    op.build_handles(&viewer);
    EXPECT_TRUE(viewer.drawKnobs().empty()); // the panel is closed
    node.setPanelOpen(true);
    op.build_handles(&viewer);
    ASSERT_EQ(viewer.drawKnobs(), std::vector<Knob*>{op.interactKnob()});
    viewer.draw();
    ASSERT_EQ(viewer.handles().size(), 2u);
    EXPECT_EQ(viewer.handles()[0].type, 21);
    EXPECT_EQ(viewer.handles()[0].cursor, 7);
    EXPECT_EQ(viewer.handles()[0].z, -10.0f);
    EXPECT_EQ(viewer.handles()[1].type, 22);
    EXPECT_EQ(viewer.handles()[1].cursor, 0);

    EXPECT_TRUE(viewer.deliver(ViewerContext::kPush));
    EXPECT_EQ(op.pushes, 1);
    EXPECT_FALSE(viewer.deliver(ViewerContext::kKey)); // the hook answered false
    EXPECT_EQ(op.keys, 1);
    EXPECT_FALSE(viewer.deliver(ViewerContext::kDraw));
    EXPECT_EQ(viewer.redraws(), 2);
}

TEST_F(SupportKnobs, HandlesAreOfferedOnlyWithThePanelOpenAndAFlagThatAppliesToTheViewer) {
    ViewerContext twoD, threeD(ViewerContext::Mode::Viewer3D);
    EXPECT_EQ(op.doAnyHandles(&twoD), 0);
    node.setPanelOpen(true);
    EXPECT_EQ(op.doAnyHandles(&twoD), 3);
    EXPECT_EQ(op.doAnyHandles(&threeD), 0);
}

// The host registers every knob whose build_handle asks for it; the interaction knob asks only
// in the kinds of viewer its plug-in's flags name, so an event elsewhere reaches the node's
// other handles and no redraw is asked for.
TEST_F(SupportKnobs, InteractionKnobHandleOnlyAsTheFlagsAsk) {
    struct Case {
        bool interact2D, interact3D;
        ViewerContext::Mode mode;
        bool built;
    };
    const Case cases[] = {
        {false, false, ViewerContext::Mode::Viewer2D, false},
        {true, false, ViewerContext::Mode::Viewer2D, true},
        {true, false, ViewerContext::Mode::Viewer3D, false},
        {false, true, ViewerContext::Mode::Viewer3D, true},
        {false, true, ViewerContext::Mode::Viewer2D, false},
    };
    node.setPanelOpen(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "2-D flag " << c.interact2D << ", 3-D flag " << c.interact3D
                     << ", 3-D viewer " << (c.mode == ViewerContext::Mode::Viewer3D));
        op.setInteraction(c.interact2D, c.interact3D);
        ViewerContext viewer(c.mode);
        EXPECT_EQ(op.interactKnob()->build_handle(&viewer), c.built);
        op.build_knob_handles(&viewer);
        EXPECT_EQ(viewer.drawKnobs().size(), c.built ? 1u : 0u);
        viewer.draw();
        viewer.deliver(ViewerContext::kPush);
        EXPECT_EQ(viewer.redraws(), c.built ? 1 : 0);
    }
}
