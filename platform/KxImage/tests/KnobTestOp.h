// An op that declares one knob of every kind, and a custom knob with a multi-line text of
// its own, for the knob and script tests.
#pragma once

#include "Kx/Image/Knobs.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Op.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace KxTest {

using namespace Kx::Image;

// Holds lines of words. Its text, like the stored-matches knob's, is a block of lines that
// the knob wraps itself in a line with one double quote and a closing quote when asked:
//   "
//   notes <count> <weight>
//     <word>
//   "
// The weight is written with the stream's own formatting, as the host hands it over.
class NotesKnob : public Knob {
public:
    NotesKnob(Node* node, const char* name)
        : Knob(node, KnobKind::Custom, KnobStorage::None, name) {}

    std::vector<std::string> lines;
    double weight = 0;

    const char* Class() const override { return "NotesKnob"; }
    bool not_default() const override { return true; }
    void reset_to_default() override {}
    void to_script(std::ostream& o, const OutputContext*, bool quote) const override {
        if (quote) o << "\"\n";
        o << "notes " << lines.size() << ' ' << weight << "\n";
        for (auto& l : lines) o << "  " << l << "\n";
        if (quote) o << "\"";
    }
    bool from_script(const char* text) override {
        std::istringstream in(text);
        std::string word;
        long count = -1;
        double w = 0;
        if (!(in >> word) || word != "notes" || !(in >> count) || count < 0 || !(in >> w)) {
            error("expected \"notes <count> <weight>\" at the start of the text");
            return false;
        }
        std::vector<std::string> read(static_cast<size_t>(count));
        for (auto& l : read)
            if (!(in >> l)) {
                error("fewer notes than the count says");
                return false;
            }
        lines = std::move(read);
        weight = w;
        changed();
        return true;
    }
};

struct KindsOp : public Op {
    static constexpr const char* kClass = "KnobKinds";
    static constexpr const char* kModes[] = {"Off", "Half", "Full", nullptr};

    explicit KindsOp(Node* n) : Op(n) {}
    const char* Class() const override { return kClass; }

    int chosenView = 1, mode = 0, count = 0, early = 0, quiet = 0;
    bool on = false;
    float gain = 0, centre[2] = {0, 0}, rotate[3] = {0, 0, 0};
    FormatPair format;
    std::string title;
    ArrayValue matrix;
    std::set<int> rig;
    NotesKnob* notes = nullptr;
    MetaKeyFrameKnob* keys = nullptr;

    std::vector<std::string> changes;
    std::function<int(Knob*)> onChange;

    void knobs(Knob_Closure& f) override {
        dividerKnob(f, "Input");
        viewKnob(f, &chosenView, "view", "View", "The view to read.");
        enumKnob(f, &mode, "mode", kModes, "Mode", 2, "How much to apply.");
        boolKnob(f, &on, "on", "On", true);
        lineBreak(f);
        if (Knob* k = intKnob(f, &count, "count", "Count", 30, Range{1, 100}))
            k->set_flag(KnobFlag::Clamp | KnobFlag::NoViewSplit);
        floatKnob(f, &gain, "gain", "Gain", 1, Range{0, 10}, "Gain of the output.");
        xyKnob(f, centre, "centre", "Centre", {0.5, 0.25});
        xyzKnob(f, rotate, "rotate", "Rotate");
        formatKnob(f, &format, "format", "Format");
        stringKnob(f, &title, "title", "Title", "untitled");
        tabKnob(f, "Output");
        beginGroup(f, "matrixGroup", "Matrix");
        arrayKnob(f, &matrix, "matrix", "Matrix", 4, 4);
        endGroup(f);
        viewSetKnob(f, &rig, "rig", "Rig");
        buttonKnob(f, "press", "Press");
        scriptButton(f, "run", "Run", "print('run')");
        textLabel(f, "About this node");
        notes = customKnob<NotesKnob>(f, "notes");
        keys = keyFrameControl(f, "keys", "Keys");
        if (Knob* k = intKnob(f, &early, "early", nullptr, 0)) k->set_flag(KnobFlag::EarlyStore);
        if (Knob* k = intKnob(f, &quiet, "quiet", nullptr, 0))
            k->set_flag(KnobFlag::DoNotWrite | KnobFlag::NoRerender | KnobFlag::NoUndo);
    }

    int knob_changed(Knob* k) override {
        changes.push_back(k->name());
        return onChange ? onChange(k) : 1;
    }
};

inline Op* buildKindsOp(Node* n) {
    return new KindsOp(n);
}
inline const Op::Description kindsDescription(KindsOp::kClass, buildKindsOp);

inline KindsOp& kinds(Node& n) {
    return *static_cast<KindsOp*>(n.firstOp());
}

} // namespace KxTest
