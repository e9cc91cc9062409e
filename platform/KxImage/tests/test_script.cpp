// Script files: a graph with every knob kind, animation, split views and a custom knob's
// text round-trips byte for byte; bad scripts are refused whole, naming file, line, node
// and knob.
#include "KnobTestOp.h"

#include "Kx/Image/Script.h"
#include "Kx/Image/Undo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace Kx::Image;
using namespace KxTest;

namespace {

class Scripts : public ::testing::Test {
protected:
    void SetUp() override { OutputContext::setViews({"left", "right"}); }

    std::unique_ptr<Graph> read(const std::string& text) {
        error.clear();
        return Script::read(text, "shot.kscript", &error);
    }

    // A graph of two nodes, the second reading the first, with a value of every kind.
    static std::unique_ptr<Graph> everyKind() {
        auto g = std::make_unique<Graph>();
        g->firstFrame = 1;
        g->lastFrame = 48;
        Node* source = g->add(std::make_unique<Node>(KindsOp::kClass, "Source1"));
        Node* n = g->add(std::make_unique<Node>(KindsOp::kClass, "Kinds1"));
        n->setInput(0, source);
        n->knob("view")->setValue(2);
        n->knob("mode")->setValue(1);
        n->knob("on")->setValue(0);
        n->knob("count")->setValue(12);
        Knob* gain = n->knob("gain");
        gain->setValueAt(0.1, 1, -1, -1, Interpolation::Linear);
        gain->setValueAt(2.5, 10, -1, -1, Interpolation::Constant);
        gain->setValueAt(1e-7, 20);
        gain->split(2);
        gain->setValueAt(-3, 5, -1, 2);
        Knob* centre = n->knob("centre");
        centre->setValue(960.25, 0);
        centre->setValueAt(540, 3, 1);
        n->knob("rotate")->setAnimated(2);
        FormatPair hd;
        hd.fullSizeFormat = hd.format = Format(1920, 1080, 1.0, "HD 1080");
        n->knob("format")->setFormat(hd);
        n->knob("title")->setText("a \"quoted\" title\\with {braces}\nand a second line");
        Knob* matrix = n->knob("matrix");
        matrix->split(1);
        for (int c = 0; c < 16; c += 5) matrix->setValueAt(1, 7, c, 1);
        n->knob("rig")->setViewSet({1, 2});
        n->knob("early")->setValue(3);
        kinds(*n).notes->lines = {"first", "second", "#not-a-comment"};
        kinds(*n).notes->weight = 0.1 + 0.2;
        return g;
    }

    std::string error;
};

} // namespace

TEST_F(Scripts, EveryKindRoundTripsByteForByte) {
    auto g = everyKind();
    std::string text = Script::write(*g);
    auto loaded = read(text);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_EQ(Script::write(*loaded), text);

    Node* n = loaded->find("Kinds1");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->input(0), loaded->find("Source1"));
    EXPECT_EQ(n->knob("gain")->curve(0, 0).keys, g->find("Kinds1")->knob("gain")->curve(0, 0).keys);
    EXPECT_EQ(n->knob("gain")->value(0, 2, 5), -3);
    EXPECT_EQ(n->knob("title")->text(), "a \"quoted\" title\\with {braces}\nand a second line");
    EXPECT_EQ(kinds(*n).notes->lines, kinds(*g->find("Kinds1")).notes->lines);
    EXPECT_EQ(kinds(*n).notes->weight, 0.1 + 0.2); // every digit of the custom knob's double
    EXPECT_EQ(kinds(*n).format.fullSizeFormat.name(), "HD 1080");
    EXPECT_EQ(kinds(*n).rig, (std::set<int>{1, 2}));
    EXPECT_EQ(kinds(*n).count, 12);
    EXPECT_EQ(loaded->lastFrame, 48);
}

TEST_F(Scripts, TheTextIsOurDocumentedFormat) {
    auto g = everyKind();
    std::string text = Script::write(*g);
    EXPECT_EQ(
        text.rfind("kestrel_script 1\nviews left right\nframes 1 48\nnode KnobKinds Source1\n", 0),
        0u);
    EXPECT_NE(text.find(" input 0 Source1\n"), std::string::npos);
    EXPECT_NE(
        text.find(" knob gain {split {curve linear 1 0.1 constant 10 2.5 smooth 20 1e-07} "
                  "right {curve linear 1 0.1 smooth 5 -3 constant 10 2.5 smooth 20 1e-07}}\n"),
        std::string::npos);
    EXPECT_NE(text.find(" knob centre {960.25 {curve smooth 3 540}}\n"), std::string::npos);
    EXPECT_NE(text.find(" knob rotate {0 0 {curve 0}}\n"), std::string::npos);
    EXPECT_NE(text.find(" knob format {1920 1080 1 \"HD 1080\"}\n"), std::string::npos);
    // The custom knob's own quoting: a line with one quote, its lines, a closing quote.
    EXPECT_NE(text.find(" knob notes \"\nnotes 3 0.30000000000000004\n  first\n  second\n  "
                        "#not-a-comment\n\"\n knob "
                        "early 3\nend\n"),
              std::string::npos);
    // Never written: buttons, the key-frame control, DoNotWrite knobs, default values.
    for (const char* absent :
         {"knob press", "knob run", "knob keys", "knob quiet", "knob showPanel"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_EQ(text.find("knob gain", text.find("node KnobKinds Source1")), text.find("knob gain"));
}

TEST_F(Scripts, SavedFileLoadsBack) {
    auto path = std::filesystem::temp_directory_path() / "kx_script_roundtrip.kscript";
    auto g = everyKind();
    ASSERT_TRUE(Script::save(*g, path.string(), &error)) << error;
    auto loaded = Script::load(path.string(), &error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_EQ(Script::write(*loaded), Script::write(*g));
    std::filesystem::remove(path);
    EXPECT_EQ(Script::load(path.string(), &error), nullptr);
    EXPECT_EQ(error, path.string() + ": cannot open the script; check the path");
}

TEST_F(Scripts, CommentsAndBlankLinesAreIgnored) {
    auto g = read(
        "kestrel_script 1\n# a comment\n\nnode KnobKinds K1\n  # gain below\n knob gain 2\nend\n");
    ASSERT_NE(g, nullptr) << error;
    EXPECT_EQ(kinds(*g->find("K1")).gain, 2.0f);
}

TEST_F(Scripts, EachKindOfMistakeHasItsOwnMessage) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"kestrel_script 1\nviews left right\nnode KnobKinds K1\n knob gain 2\n"
         " knob centre {1 abc}\nend\n",
         "shot.kscript:5: node K1, knob centre: cannot read \"abc\" as a number; correct the "
         "value or remove the line to keep the default"},
        // A custom knob's text is refused with the knob's own reason.
        {"kestrel_script 1\nnode KnobKinds K1\n knob notes \"\nnotes 3 1\n  one\n\"\nend\n",
         "shot.kscript:3: node K1, knob notes: fewer notes than the count says; correct the "
         "value or remove the line to keep the default"},
        {"node KnobKinds K1\nend\n",
         "shot.kscript:1: not a script: the first line must be \"kestrel_script 1\""},
        {"kestrel_script 2\n",
         "shot.kscript:1: unsupported script version; this host reads version 1"},
        {"kestrel_script 1\nnode NoSuchClass K1\nend\n",
         "shot.kscript:2: node K1: unknown class \"NoSuchClass\"; load the plug-in that provides "
         "it"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob nothing 1\nend\n",
         "shot.kscript:3: node K1, knob nothing: node K1 (class KnobKinds) has no such knob; "
         "remove "
         "the line or check the knob's name"},
        {"kestrel_script 1\nnode KnobKinds K1\n input 0 Missing\nend\n",
         "shot.kscript:3: node K1: input 0 names node Missing, which the script does not define"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob gain {curve smooth 1 2\nend\n",
         "shot.kscript:3: a list opened with \"{\" is not closed"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob title \"open\nend\n",
         "shot.kscript:3: a string opened with a double quote is not closed"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob gain 1\n",
         "shot.kscript:2: node K1: the block has no \"end\""},
        {"kestrel_script 1\nnode KnobKinds K1\nend\nnode KnobKinds K1\nend\n",
         "shot.kscript:4: node K1 is defined twice (first on line 2); rename one of them"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob title two words\nend\n",
         "shot.kscript:3: node K1: \"knob\" needs a knob name and one value (quote a value that "
         "holds blanks)"},
        // An input number past an int's range is refused as it stands, not cast.
        {"kestrel_script 1\nnode KnobKinds K1\n input 1111111111111111111111111111111 K1\nend\n",
         "shot.kscript:3: node K1: \"input\" needs an input number and a node name"},
        {"kestrel_script 1\nnode KnobKinds K1\n input 1.5 K1\nend\n",
         "shot.kscript:3: node K1: \"input\" needs an input number and a node name"},
        {"kestrel_script 1\nframes 10 1\n",
         "shot.kscript:2: \"frames\" needs a first and a last frame, first not after last"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob gain {split 1 nowhere 2}\nend\n",
         "shot.kscript:3: node K1, knob gain: unknown view \"nowhere\" (the script's views line "
         "names the views); correct the value or remove the line to keep the default"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob count {split 1 right 2}\nend\n",
         "shot.kscript:3: node K1, knob count: the knob is never split per view; correct the "
         "value or remove the line to keep the default"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob gain {curve fast 1 2}\nend\n",
         "shot.kscript:3: node K1, knob gain: unknown interpolation \"fast\" (smooth, linear or "
         "constant); correct the value or remove the line to keep the default"},
        {"kestrel_script 1\nnode KnobKinds K1\n knob gain {curve smooth 5 1 smooth 2 1}\nend\n",
         "shot.kscript:3: node K1, knob gain: key times of a curve must increase; correct the "
         "value or remove the line to keep the default"},
        {"kestrel_script 1\nend\n", "shot.kscript:2: unexpected \"end\" outside a node block "
                                    "(views, frames or node expected)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read(c.text), nullptr) << c.text;
        EXPECT_EQ(error, c.message) << c.text;
    }
    // A refused script leaves the views as they were.
    EXPECT_EQ(read("kestrel_script 1\nviews a b c\nnode KnobKinds K1\n knob gain x\nend\n"),
              nullptr);
    EXPECT_EQ(OutputContext::views(), (std::vector<std::string>{"left", "right"}));
}

TEST_F(Scripts, ANodeWhoseKnobsFailIsNotHalfApplied) {
    Node n(KindsOp::kClass, "K1");
    n.knob("gain")->setValue(4);
    Undo::clear();
    bool ok = Script::applyKnobs(n, {{"gain", "7"}, {"title", "new"}, {"centre", "{1}"}}, &error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "knob centre: expected a list of 2 values, found a list of 1; correct the "
                     "value or remove the line to keep the default");
    EXPECT_EQ(n.knob("gain")->value(), 4);
    EXPECT_EQ(kinds(n).gain, 4.0f);
    EXPECT_EQ(kinds(n).title, "untitled");
    EXPECT_EQ(Undo::undoCount(), 0u); // loading is not an edit
}

namespace {

// Records the order in which knobs are read.
std::vector<std::string> g_readOrder;

struct OrderKnob : public Knob {
    OrderKnob(Node* n, const char* name) : Knob(n, KnobKind::Custom, KnobStorage::None, name) {}
    bool not_default() const override { return true; }
    void to_script(std::ostream& o, const OutputContext*, bool) const override { o << name(); }
    bool from_script(const char*) override {
        g_readOrder.push_back(name());
        return true;
    }
};

struct OrderOp : public Op {
    explicit OrderOp(Node* n) : Op(n) {}
    const char* Class() const override { return "KnobOrder"; }
    void knobs(Knob_Closure& f) override {
        customKnob<OrderKnob>(f, "first");
        customKnob<OrderKnob>(f, "late");
        if (Knob* k = customKnob<OrderKnob>(f, "early")) k->set_flag(KnobFlag::EarlyStore);
    }
};

const Op::Description orderDescription("KnobOrder", [](Node* n) -> Op* { return new OrderOp(n); });

} // namespace

TEST_F(Scripts, EarlyStoredKnobsAreReadFirstThenTheOthersInDeclarationOrder) {
    g_readOrder.clear();
    auto g = read("kestrel_script 1\nnode KnobOrder O1\n knob late late\n knob early early\n"
                  " knob first first\nend\n");
    ASSERT_NE(g, nullptr) << error;
    EXPECT_EQ(g_readOrder, (std::vector<std::string>{"early", "first", "late"}));
}
