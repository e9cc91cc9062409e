// Knobs: animation, views, the value operations, storing into ops, flags, knob-change
// dispatch, undo, the question dialog and the key-frame control.
#include "KnobTestOp.h"

#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Question.h"
#include "Kx/Image/Undo.h"

#include <gtest/gtest.h>

#include <sstream>
#include <unistd.h>

using namespace Kx::Image;
using namespace KxTest;

namespace {

class Knobs : public ::testing::Test {
protected:
    void SetUp() override {
        OutputContext::setViews({"left", "right", "centre"});
        Undo::clear();
    }
    void TearDown() override { Undo::clear(); }

    Node node{KindsOp::kClass, "Kinds1"};
    KindsOp& op = kinds(node);
    Knob& gain = *node.knob("gain");
    Knob& centre = *node.knob("centre");

    static constexpr int kLeft = 1, kRight = 2, kCentre = 3;

    // A value operation on a copy of the arguments: its answer, and the value it read.
    static bool stuff(Knob& k, int code, ValueStuffArgs a) { return k.value_stuff(code, a); }
    static double run(Knob& k, int code, ValueStuffArgs a) {
        k.value_stuff(code, a);
        return a.value;
    }
};

Curve curveOf(std::initializer_list<Key> keys) {
    Curve c;
    for (const Key& k : keys) c.setKey(k);
    return c;
}

} // namespace

TEST(Curves, SmoothSegmentsEaseAtEndKeysAndTakeInnerSlopesFromNeighbours) {
    Curve c = curveOf({{0, 0}, {10, 10}});
    EXPECT_DOUBLE_EQ(c.evaluate(5), 5);
    // Zero slope at both end keys: the Hermite basis 3s^2 - 2s^3 at s = 0.25.
    EXPECT_DOUBLE_EQ(c.evaluate(2.5), 10 * (3 * 0.0625 - 2 * 0.015625));
    EXPECT_DOUBLE_EQ(c.evaluate(0), 0);
    EXPECT_DOUBLE_EQ(c.evaluate(10), 10);
    // Keys on a straight line: the inner slope is the line's, so the segment from the inner
    // key is h00*10 + h10*10*1 + h01*20 + 0 at s = 0.5 (end slope 0).
    c.setKey(20, 20);
    EXPECT_DOUBLE_EQ(c.evaluate(15), 0.5 * 10 + 0.125 * 10 + 0.5 * 20);
}

TEST(Curves, LinearAndConstantSegmentsAndOutsideTheKeys) {
    Curve c = curveOf({{0, 2, Interpolation::Linear}, {4, 6, Interpolation::Constant}, {8, 0}});
    EXPECT_DOUBLE_EQ(c.evaluate(1), 3);
    EXPECT_DOUBLE_EQ(c.evaluate(7.9), 6);
    EXPECT_DOUBLE_EQ(c.evaluate(-100), 2);
    EXPECT_DOUBLE_EQ(c.evaluate(100), 0);
}

TEST(Curves, ResettingAKeyKeepsItsInterpolationAndRemovingTheLastKeepsItsValue) {
    Curve c = curveOf({{0, 2, Interpolation::Linear}, {4, 6}});
    c.setKey(0, 4);
    EXPECT_EQ(c.keys[0], (Key{0, 4, Interpolation::Linear}));
    EXPECT_TRUE(c.removeKey(4));
    EXPECT_FALSE(c.removeKey(4));
    EXPECT_TRUE(c.removeKey(0));
    EXPECT_TRUE(c.animated);
    EXPECT_DOUBLE_EQ(c.evaluate(9), 4);
}

TEST_F(Knobs, TheMakePassStoresDefaultsIntoTheFirstOp) {
    EXPECT_EQ(op.mode, 2);
    EXPECT_EQ(op.count, 30);
    EXPECT_EQ(op.centre[1], 0.25f);
    EXPECT_EQ(op.title, "untitled");
    EXPECT_EQ(op.matrix.values.size(), 16u);
    EXPECT_EQ(node.knob("notes"), op.notes);
    EXPECT_EQ(op.knob("gain"), &gain);
    EXPECT_EQ(op.knob("noSuchKnob"), nullptr);
    EXPECT_FALSE(gain.not_default());
}

TEST_F(Knobs, EveryInstanceGetsTheValueAtItsOwnFrameAndView) {
    gain.setValueAt(0, 1, -1, -1, Interpolation::Linear);
    gain.setValueAt(10, 11);
    ASSERT_TRUE(gain.split(kRight));
    gain.setValueAt(7, 6, -1, kRight);
    auto* left = static_cast<KindsOp*>(node.op(OutputContext(6, kLeft)));
    auto* right = static_cast<KindsOp*>(node.op(OutputContext(6, kRight)));
    EXPECT_EQ(left->gain, 5.0f);
    EXPECT_EQ(right->gain, 7.0f);
    // The custom knob is the node's one object on every pass.
    EXPECT_EQ(left->notes, op.notes);
}

TEST_F(Knobs, FlagsClampRefuseSplittingAndRefuseAnimation) {
    Knob& count = *node.knob("count");
    count.setValue(250);
    EXPECT_EQ(op.count, 100);
    gain.setValue(25);
    EXPECT_EQ(op.gain, 25.0f);
    // The no-view-split and no-animation flags refuse.
    EXPECT_FALSE(count.split(kRight));
    count.set_flag(KnobFlag::NoAnimation);
    EXPECT_FALSE(stuff(count, ValueOp::SetValueAt, {.value = 5, .time = 3}));
    EXPECT_FALSE(stuff(count, ValueOp::SetAnimated, {.value = 5, .time = 3}));
    EXPECT_FALSE(count.isAnimated());
    EXPECT_FALSE(count.from_script("{curve smooth 1 5}"));
    EXPECT_EQ(count.lastError(), "the knob cannot be animated");
}

TEST_F(Knobs, SetValueOnPlainAnimatedAndSplitKnobs) {
    EXPECT_TRUE(stuff(centre, ValueOp::SetValue, {.value = 3}));
    EXPECT_EQ(centre.value(0), 3);
    EXPECT_EQ(centre.value(1), 3);
    EXPECT_FALSE(centre.isAnimated());

    centre.setAnimated();
    node.setContext(OutputContext(12, kLeft));
    stuff(centre, ValueOp::SetValue, {.value = 4, .channel = 1});
    EXPECT_TRUE(centre.isKeyAt(12, 1));
    EXPECT_FALSE(centre.isKeyAt(12, 0));

    centre.split(kRight);
    // View -1: the main values and every split view.
    stuff(centre, ValueOp::SetValue, {.value = 9, .channel = 0});
    EXPECT_EQ(centre.value(0, kLeft, 12), 9);
    EXPECT_EQ(centre.value(0, kRight, 12), 9);
}

TEST_F(Knobs, KeyOperationsCountAndListDistinctTimesOverComponentsAndViews) {
    stuff(centre, ValueOp::SetValueAt, {.value = 1, .time = 20, .channel = 0});
    stuff(centre, ValueOp::SetValueAt, {.value = 1, .time = 5});
    EXPECT_EQ(run(centre, ValueOp::KeyCount, {}), 2);
    EXPECT_EQ(run(centre, ValueOp::KeyTime, {.index = 1}), 20);
    EXPECT_FALSE(stuff(centre, ValueOp::KeyTime, {.index = 2}));
    EXPECT_FALSE(stuff(centre, ValueOp::IsKeyAt, {.time = 20, .channel = 1}));
    EXPECT_TRUE(stuff(centre, ValueOp::IsKeyAt, {.time = 20}));
    EXPECT_TRUE(stuff(centre, ValueOp::DeleteKeyAt, {.time = 20}));
    EXPECT_FALSE(stuff(centre, ValueOp::DeleteKeyAt, {.time = 20}));
    EXPECT_EQ(run(centre, ValueOp::KeyCount, {}), 1);
    // On a split view the key operations leave the other views alone.
    gain.split(kRight);
    EXPECT_TRUE(stuff(gain, ValueOp::SetValueAt, {.value = 3, .time = 4, .view = kRight}));
    const ValueStuffArgs right{.time = 4, .view = kRight}, left{.time = 4, .view = kLeft};
    EXPECT_TRUE(stuff(gain, ValueOp::IsKeyAt, right));
    EXPECT_FALSE(stuff(gain, ValueOp::IsKeyAt, left));
    EXPECT_EQ(run(gain, ValueOp::KeyCount, right), 1);
    EXPECT_EQ(run(gain, ValueOp::KeyCount, left), 0);
    EXPECT_EQ(run(gain, ValueOp::KeyTime, right), 4);
    EXPECT_FALSE(stuff(gain, ValueOp::DeleteKeyAt, left));
    EXPECT_TRUE(stuff(gain, ValueOp::DeleteKeyAt, right));
    EXPECT_EQ(run(gain, ValueOp::KeyCount, right), 0);
    // Remove-all-keys and make-animated address every view.
    gain.setValueAt(1, 2, -1, kRight);
    gain.setValueAt(1, 2);
    stuff(gain, ValueOp::ClearAnimation, {});
    EXPECT_FALSE(gain.isAnimated(-1, kRight));
    EXPECT_FALSE(gain.isAnimated(-1, kLeft));
    stuff(gain, ValueOp::SetAnimated, {});
    EXPECT_TRUE(gain.isAnimated(-1, kRight));
    EXPECT_TRUE(gain.isAnimated(-1, kLeft));
}

TEST_F(Knobs, GetValueReadsAtTheCurrentFrameAndViewUnlessGivenOnes) {
    gain.setValueAt(2, 1, -1, -1, Interpolation::Linear);
    gain.setValueAt(4, 3);
    gain.split(kRight);
    gain.setValueAt(8, 2, -1, kRight);
    node.setContext(OutputContext(2, kLeft));
    EXPECT_EQ(run(gain, ValueOp::GetValue, {}), 3);
    EXPECT_EQ(run(gain, ValueOp::GetValue, {.view = kRight}), 8);
    node.setContext(OutputContext(2, kRight));
    EXPECT_EQ(run(gain, ValueOp::GetValue, {}), 8);
    EXPECT_EQ(run(gain, ValueOp::GetValue, {.time = 100, .view = kLeft}), 4);
}

TEST_F(Knobs, MakeAnimatedThenClearKeepsTheValueAtTheCurrentFrame) {
    node.setContext(OutputContext(5, kLeft));
    EXPECT_TRUE(stuff(gain, ValueOp::SetAnimated, {}));
    EXPECT_TRUE(gain.isAnimated());
    EXPECT_EQ(run(gain, ValueOp::KeyCount, {}), 0);
    gain.setValueAt(0, 0, -1, -1, Interpolation::Linear);
    gain.setValueAt(10, 10);
    EXPECT_TRUE(stuff(gain, ValueOp::ClearAnimation, {}));
    EXPECT_FALSE(gain.isAnimated());
    EXPECT_EQ(gain.value(0, 0, 77), 5);
}

TEST_F(Knobs, SetComponentAtWritesOneComponentOfOneViewAndBadOperationsAreRefused) {
    centre.split(kRight);
    ValueStuffArgs a{.value = 7, .time = 3, .view = kRight, .channel = 1};
    EXPECT_TRUE(stuff(centre, ValueOp::SetComponentAt, a));
    EXPECT_EQ(centre.value(1, kRight, 3), 7);
    EXPECT_EQ(centre.value(0, kRight, 3), 0.5);
    EXPECT_EQ(centre.value(1, kLeft, 3), 0.25);
    a.channel = -1;
    EXPECT_FALSE(stuff(centre, ValueOp::SetComponentAt, a));
    EXPECT_FALSE(stuff(centre, 99, a));
    EXPECT_FALSE(stuff(*node.knob("title"), ValueOp::GetValue, {}));
    // The view operations need a view, one that exists.
    for (int code : {ValueOp::SplitView, ValueOp::UnsplitView, ValueOp::ClearViewAnimation,
                     ValueOp::SetViewAnimated})
        EXPECT_FALSE(stuff(centre, code, {})) << code;
    EXPECT_FALSE(stuff(centre, ValueOp::SplitView, {.view = 9}));
}

TEST_F(Knobs, PreparingOutputKnobsLeavesNoKeysSeparateViewsAndAnimation) {
    // An output knob after an earlier run: keys in the main values and in both split views.
    for (int v : {kLeft, kRight, kCentre}) centre.split(v);
    centre.setValueAt(1, 10, -1, -1);
    centre.setValueAt(2, 20, -1, kRight);
    node.setContext(OutputContext(1, kLeft));
    const int n = OutputContext::viewcount();
    for (int v = 1; v < n; ++v) {
        EXPECT_TRUE(stuff(centre, ValueOp::ClearViewAnimation, {.view = v}));
        EXPECT_TRUE(stuff(centre, ValueOp::UnsplitView, {.view = v}));
    }
    for (int v : {kLeft, kRight}) {
        if (v != op.outputContext().view()) {
            EXPECT_TRUE(stuff(centre, ValueOp::SplitView, {.view = v}));
        }
        EXPECT_TRUE(stuff(centre, ValueOp::SetViewAnimated, {.view = v}));
    }
    for (int v = 0; v < n; ++v) EXPECT_TRUE(centre.keyTimes(-1, v).empty()) << "view " << v;
    EXPECT_TRUE(centre.isAnimated(-1, kLeft));
    EXPECT_TRUE(centre.isAnimated(-1, kRight));
    // A key written for one view does not reach the other.
    stuff(centre, ValueOp::SetComponentAt, {.value = 42, .time = 7, .view = kRight, .channel = 0});
    stuff(centre, ValueOp::SetComponentAt, {.value = -42, .time = 7, .view = kLeft, .channel = 0});
    EXPECT_EQ(centre.value(0, kRight, 7), 42);
    EXPECT_EQ(centre.value(0, kLeft, 7), -42);
}

TEST_F(Knobs, KnobChangedOnlyWithThePanelOpenTheAlwaysFlagOrAnInputChange) {
    gain.setValue(2);
    EXPECT_TRUE(op.changes.empty());
    gain.set_flag(KnobFlag::AlwaysCallChanged);
    gain.setValue(3);
    EXPECT_EQ(op.changes, std::vector<std::string>{"gain"});
    gain.clear_flag(KnobFlag::AlwaysCallChanged);
    op.changes.clear();
    node.setPanelOpen(true);
    centre.setValue(1);
    EXPECT_EQ(op.changes, (std::vector<std::string>{Knob::kShowPanel, "centre"}));
    // Reconnecting an input sends the input change.
    op.changes.clear();
    Node other(KindsOp::kClass, "Kinds2");
    ASSERT_TRUE(node.setInput(0, &other));
    EXPECT_EQ(op.changes, std::vector<std::string>{Knob::kInputChange});
}

TEST_F(Knobs, ChangesFromInsideKnobChangedNeedTheRecursiveFlagAndJoinTheEditsUndoStep) {
    node.setPanelOpen(true);
    op.changes.clear();
    op.onChange = [&](Knob* k) {
        if (k == &gain) centre.setValue(gain.value());
        return 1;
    };
    gain.setValue(2);
    EXPECT_EQ(op.changes, std::vector<std::string>{"gain"});
    EXPECT_EQ(op.centre[0], 2.0f); // stored even though knob_changed was not called for it
    centre.set_flag(KnobFlag::RecursiveChanged);
    gain.setValue(3);
    EXPECT_EQ(op.changes, (std::vector<std::string>{"gain", "gain", "centre"}));
    // The edits knob_changed made join the undo step of the edit.
    Undo::clear();
    gain.setValue(4);
    EXPECT_EQ(Undo::undoCount(), 1u);
    Undo::undo();
    EXPECT_EQ(gain.value(), 3);
    EXPECT_EQ(centre.value(0), 3);
}

// An answer of 0 means the op has nothing to do for that knob: the host stops calling it for
// that knob, still storing its values, until the panel opens again. The host's own knobs
// are always sent.
TEST_F(Knobs, AnAnswerOfZeroStopsCallsForThatKnobUntilThePanelOpensAgain) {
    node.setPanelOpen(true);
    op.changes.clear();
    op.onChange = [&](Knob* k) { return k == &gain || k->name() == Knob::kShowPanel ? 0 : 1; };
    gain.setValue(2);
    gain.setValue(3);
    centre.setValue(1);
    centre.setValue(2);
    EXPECT_EQ(op.changes, (std::vector<std::string>{"gain", "centre", "centre"}));
    EXPECT_EQ(op.gain, 3.0f); // stored all the same
    op.changes.clear();
    node.setPanelOpen(true);
    node.setPanelOpen(true); // the panel knob answered 0 and is sent again
    gain.setValue(4);
    EXPECT_EQ(op.changes, (std::vector<std::string>{Knob::kShowPanel, Knob::kShowPanel, "gain"}));
}

TEST_F(Knobs, AGroupDispatchesEachKnobOnceInOrderOfFirstChange) {
    node.setPanelOpen(true);
    op.changes.clear();
    {
        KnobChangeGroup group;
        centre.setValue(1);
        gain.setValue(2);
        centre.setValue(3);
        EXPECT_TRUE(op.changes.empty());
        EXPECT_EQ(op.gain, 1.0f); // stored when the group ends
    }
    EXPECT_EQ(op.changes, (std::vector<std::string>{"centre", "gain"}));
    EXPECT_EQ(op.gain, 2.0f);
}

TEST_F(Knobs, NoRerenderKeepsOpInstancesAndOtherChangesDropThem) {
    auto* before = static_cast<KindsOp*>(node.op(OutputContext(1, kLeft)));
    node.knob("quiet")->setValue(4);
    ASSERT_EQ(node.op(OutputContext(1, kLeft)), before);
    EXPECT_EQ(before->quiet, 4);
    gain.setValue(6);
    EXPECT_EQ(static_cast<KindsOp*>(node.op(OutputContext(1, kLeft)))->gain, 6.0f);
    EXPECT_EQ(static_cast<KindsOp*>(node.op(OutputContext(1, kLeft)))->quiet, 4);
}

TEST_F(Knobs, HashFollowsKnobValuesButNotNoRerenderKnobs) {
    const auto hash = [&] {
        op.validate(false);
        return op.hash().value();
    };
    const uint64_t h0 = hash();
    node.knob("quiet")->setValue(4);
    EXPECT_EQ(hash(), h0);
    gain.setValue(6);
    EXPECT_NE(hash(), h0);
}

TEST_F(Knobs, UndoAndRedoOfAValueEditAndOfAKnobThatGoesAway) {
    // No-undo knobs and unchanged values make no step.
    node.knob("quiet")->setValue(3);
    gain.setValue(1);
    EXPECT_EQ(Undo::undoCount(), 0u);
    gain.setValue(4);
    gain.setValue(5);
    EXPECT_EQ(Undo::undoCount(), 2u);
    EXPECT_EQ(Undo::undoLabel(), "gain");
    ASSERT_TRUE(Undo::undo());
    EXPECT_EQ(op.gain, 4.0f);
    ASSERT_TRUE(Undo::undo());
    EXPECT_EQ(op.gain, 1.0f);
    EXPECT_FALSE(Undo::undo());
    ASSERT_TRUE(Undo::redo());
    EXPECT_EQ(gain.value(), 4);
    // A knob that goes away leaves the stack.
    Undo::clear();
    {
        Node temporary(KindsOp::kClass, "Temporary");
        temporary.knob("gain")->setValue(3);
        EXPECT_EQ(Undo::undoCount(), 1u);
    }
    EXPECT_EQ(Undo::undoCount(), 0u);
    EXPECT_FALSE(Undo::undo());
}

TEST_F(Knobs, UndoStepRestoresACustomKnobsContentExactly) {
    op.notes->lines = {"a", "b", "c"};
    op.notes->weight = 1.0 / 3;
    std::string before = op.notes->scriptText(true);
    op.notes->addToUndo();
    op.notes->lines.erase(op.notes->lines.begin() + 1);
    op.notes->weight = 2;
    op.notes->changed();
    op.notes->stopAddToUndo();
    EXPECT_EQ(Undo::undoCount(), 1u);
    ASSERT_TRUE(Undo::undo());
    EXPECT_EQ(op.notes->lines, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(op.notes->weight, 1.0 / 3);
    EXPECT_EQ(op.notes->scriptText(true), before);
    ASSERT_TRUE(Undo::redo());
    EXPECT_EQ(op.notes->lines, (std::vector<std::string>{"a", "c"}));
}

class Questions : public ::testing::Test {
protected:
    void TearDown() override {
        Question::setHandler({});
        Question::setAnswer(std::nullopt);
        Question::setTerminal(nullptr, nullptr);
        Question::setLog(nullptr);
    }
    std::ostringstream log;
};

TEST_F(Questions, TerminalAnswersYesOnlyToYesAfterThePythonHandlerAndTheOption) {
    std::istringstream in("  Yes \nno\n");
    std::ostringstream out;
    Question::setTerminal(&in, &out);
    EXPECT_TRUE(Question::ask("Sure?"));
    EXPECT_EQ(out.str(), "Sure? [y/N] ");
    EXPECT_FALSE(Question::ask("Sure?"));
    EXPECT_FALSE(Question::ask("Sure?")); // end of input
    // The Python handler, then the option's answer, come before the terminal.
    std::istringstream unread("y\n");
    Question::setTerminal(&unread, nullptr);
    Question::setAnswer(false);
    EXPECT_FALSE(Question::ask("Sure?"));
    Question::setHandler([](const std::string& q) -> std::optional<bool> {
        if (q == "Python decides?") return true;
        return std::nullopt;
    });
    EXPECT_TRUE(Question::ask("Python decides?"));
    EXPECT_FALSE(Question::ask("Sure?"));
    EXPECT_EQ(unread.tellg(), 0); // the terminal was never read
}

TEST_F(Questions, WithoutTerminalOrAnswerItSaysNoAndHowToAnswer) {
    if (isatty(0)) GTEST_SKIP() << "standard input is a terminal here";
    Question::setLog(&log);
    EXPECT_FALSE(Question::ask("Proceed?"));
    EXPECT_NE(log.str().find("\"Proceed?\" answered no"), std::string::npos);
    EXPECT_NE(log.str().find("--yes"), std::string::npos);
}

namespace {

struct Delegate : MetaKeyFrameDelegate {
    std::set<float> frames;
    void getKeyList(std::set<float>& keys) override { keys = frames; }
    void keyOperation(int code, float frame) override {
        if (code == kAddKey) frames.insert(frame);
        if (code == kDeleteKey) frames.erase(frame);
    }
};

} // namespace

TEST_F(Knobs, KeyFrameControlAsksItsDelegate) {
    MetaKeyFrameKnob& keys = *op.keys;
    EXPECT_TRUE(keys.keys().empty());
    keys.addKey(5); // without a delegate nothing happens
    Delegate d;
    keys.setDelegate(&d);
    keys.addKey(30);
    keys.addKey(10);
    keys.deleteKey(99);
    EXPECT_EQ(keys.keys(), (std::set<float>{10, 30}));
    EXPECT_EQ(keys.nextKey(10), 30);
    EXPECT_EQ(keys.previousKey(10), std::nullopt);
    EXPECT_EQ(keys.previousKey(31), 30);
    std::set<double> shown;
    keys.get_key_list(shown);
    EXPECT_EQ(shown, (std::set<double>{10, 30}));
    EXPECT_TRUE(keys.keyframesDisplayed());
    keys.deleteKey(10);
    EXPECT_EQ(d.frames, std::set<float>{30});
}
