// The framework's inputs: splits, their contexts and input numbers; and its errors.
#include "TestPlugins.h"

#include "Kx/Image/Node.h"

#include <gtest/gtest.h>

using namespace KdkTest;

namespace {

class Splits : public ::testing::Test {
protected:
    void SetUp() override { OutputContext::setViews({"left", "right", "centre"}); }
    void at(double frame, int view) { reader.setOutputContext(OutputContext(frame, view)); }
    Reader reader{nullptr};
};

} // namespace

TEST_F(Splits, SplitCountIsOnePlusFramesTimesViews) {
    struct Case {
        std::vector<int> frames, views;
        int splits;
    } cases[] = {{{}, {}, 1}, {{3, 4}, {}, 3}, {{}, {0, 1}, 3}, {{3, 4}, {0, 1, 2}, 7}};
    for (const Case& c : cases) {
        reader.frames = c.frames;
        reader.views = c.views;
        at(1, 1);
        EXPECT_EQ(reader.split_input(0), c.splits);
        EXPECT_EQ(reader.split_input(1), c.splits);
    }
    // A new context empties the lists before the hooks run.
    reader.frames = {};
    reader.views = {};
    at(6, 1);
    EXPECT_TRUE(reader.extraFrames().empty());
    EXPECT_EQ(reader.split_input(0), 1);
}

// Each split reads its frame and view (listed counting from 0); a missing list falls back to
// the output's frame or view, and a listed view below the first reads the first.
TEST_F(Splits, EachSplitReadsItsFrameAndView) {
    struct Case {
        std::vector<int> frames, views;
        int outputView, input, split;
        OutputContext expected;
    } cases[] = {
        {{10, 20}, {1, 2}, 1, 0, 0, {5, 1}},  {{10, 20}, {1, 2}, 1, 0, 1, {10, 2}},
        {{10, 20}, {1, 2}, 1, 0, 2, {10, 3}}, {{10, 20}, {1, 2}, 1, 0, 3, {20, 2}},
        {{10, 20}, {1, 2}, 1, 1, 4, {20, 3}}, {{10, 20}, {}, 2, 0, 2, {20, 2}},
        {{}, {-1, -2, 2}, 2, 0, 1, {5, 1}},   {{}, {-1, -2, 2}, 2, 0, 2, {5, 1}},
        {{}, {-1, -2, 2}, 2, 0, 3, {5, 3}},
    };
    OutputContext scratch;
    for (const Case& c : cases) {
        reader.frames = c.frames;
        reader.views = c.views;
        at(5, c.outputView);
        EXPECT_EQ(reader.inputContext(c.input, c.split, scratch), c.expected)
            << "input " << c.input << " split " << c.split;
    }
}

TEST_F(Splits, InputNumberArithmetic) {
    int n = -1;
    at(5, 1);
    EXPECT_TRUE(reader.inputNumber(n, 1, 99, 7)); // no extra lists: the input itself
    EXPECT_EQ(n, 1);

    reader.frames = {10, 20};
    reader.views = {1, 2};
    at(5, 1);
    reader.set_node_inputs(2); // 5 splits per input
    // Input 1 starts at host input 5; frame 20 (second), view 3 (second): 1 + 1 * 2 + 1.
    EXPECT_TRUE(reader.inputNumber(n, 1, 20, 2));
    EXPECT_EQ(n, 5 + 4);
    EXPECT_TRUE(reader.inputNumber(n, 0, 10, 1));
    EXPECT_EQ(n, 1);
    // The output's own frame and view (a negative view means the output's): split 0.
    EXPECT_TRUE(reader.inputNumber(n, 1, 5, -1));
    EXPECT_EQ(n, 5);
    n = -1;
    EXPECT_FALSE(reader.inputNumber(n, 0, 11, 1)); // frame not listed
    EXPECT_FALSE(reader.inputNumber(n, 0, 10, 0)); // view not listed
    EXPECT_EQ(n, -1);
    // With frames only, the view must be the output's.
    reader.views = {};
    at(5, 2);
    EXPECT_TRUE(reader.inputNumber(n, 0, 20, 1));
    EXPECT_EQ(n, 2);
    EXPECT_FALSE(reader.inputNumber(n, 0, 20, 0));
}

TEST_F(Splits, NodeWiresEverySplitAtItsContext) {
    static Reader* made = nullptr;
    static const Op::Description source("KdkSplitSource", [](Node* n) -> Op* {
        auto* r = new Reader(n);
        r->setMinimumInputs(0);
        return r;
    });
    static const Op::Description reading("KdkSplitReader", [](Node* n) -> Op* {
        made = new Reader(n);
        made->frames = {7};
        made->views = {1};
        return made;
    });
    Node src("KdkSplitSource", "Source1");
    Node node("KdkSplitReader", "Reader1");
    ASSERT_TRUE(node.setInput(0, &src));
    Op* op = node.op(OutputContext(3, 1));
    EXPECT_EQ(op->input(0, 0)->outputContext(), OutputContext(3, 1));
    EXPECT_EQ(op->input(0, 1)->outputContext(), OutputContext(7, 2));
    EXPECT_EQ(op->input(1, 0), nullptr); // the unconnected mask input
}

TEST(EffectBase, ErrorIsTheOpsErrorUnlessAMessageIsShowing) {
    Reader reader(nullptr);
    reader.message_f('!', "earlier");
    reader.error("soft");
    EXPECT_FALSE(reader.hasError());
    EXPECT_EQ(reader.lastMessage(), "! soft"); // a warning
    Reader other(nullptr);
    other.error("hard");
    EXPECT_TRUE(other.hasError());
    EXPECT_EQ(other.errorMessage(), "hard");
}
