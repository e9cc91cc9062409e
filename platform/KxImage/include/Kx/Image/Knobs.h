// Declaring knobs: Knob_Closure and the helper functions for the common kinds.
//
// An op declares its knobs in knobs(Knob_Closure& f), in a fixed order, each with a kind
// code, a storage code and a pointer to the field that receives its value. The host runs
// knobs() on several kinds of pass:
//   Make        (the node's first op, once): every declaration makes its Knob, which takes
//               the field's content as its value and default; the helpers then set the
//               default, range and tooltip they are given;
//   Store       (every op instance, after each change): each knob writes its value at the
//               op's context into the field;
//   WriteScript and ReadScript: the declarations name the knobs, in order, that a script
//               saves or loads (Script.h); fields are not touched.
// On every pass a declaration returns the node's Knob of that name (nullptr for a kind that
// is unknown), so an op may set flags, enable or hide knobs on any pass. Knobs without a
// name (dividers, line breaks, text labels, tabs, group ends) are matched by their order.
#pragma once

#include "Knob.h"
#include "MetaKeyFrame.h"

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace Kx::Image {

class Knob_Closure {
public:
    enum class Pass { Make, Store, WriteScript, ReadScript };

    Knob_Closure(Pass pass, Node& node, const OutputContext& context);

    Pass pass() const { return _pass; }
    bool makeKnobs() const { return _pass == Pass::Make; }
    const OutputContext& context() const { return _context; }
    Node& node() const { return _node; }

    // Declares a knob. extra depends on the kind: the items of an enumeration (a
    // null-terminated const char* array), the text of a text label or the Python of a
    // script button (const char*), the word of a tab or group (const int*), the width and
    // height of an array (const int[2]); nothing otherwise. Custom knobs use custom().
    Knob* operator()(int kind, int storage, void* field, const char* name,
                     const char* label = nullptr, const void* extra = nullptr);
    // Declares a custom knob (kind 21, no label: the knob shows what it wants). On the make
    // pass the op passes the new knob object, which the node takes; on other passes (or
    // when the name is taken) made is empty and the node's knob of that name is returned.
    Knob* custom(std::unique_ptr<Knob> made, const char* name);

    // True when the node already has a knob of that name.
    bool exists(const char* name) const;
    // The knobs declared so far on this pass, in order.
    const std::vector<Knob*>& declared() const { return _declared; }

private:
    Knob* declared(Knob* k);

    Pass _pass;
    Node& _node;
    OutputContext _context;
    size_t _anonymous = 0;
    std::vector<Knob*> _declared;
};

struct Range {
    double low, high;
};

// ---- helpers for the common kinds ----
// Each declares one knob and, on the make pass, sets its default, range and tooltip.
// A range only bounds the slider unless the knob also gets the Clamp flag.

Knob* dividerKnob(Knob_Closure& f, const char* label = nullptr);
Knob* lineBreak(Knob_Closure& f);
Knob* textLabel(Knob_Closure& f, const char* text);
Knob* tabKnob(Knob_Closure& f, const char* label);
Knob* beginGroup(Knob_Closure& f, const char* name, const char* label = nullptr);
Knob* endGroup(Knob_Closure& f);

// The view's default is the field's value at the make pass.
Knob* viewKnob(Knob_Closure& f, int* field, const char* name, const char* label,
               const char* tooltip = nullptr);
Knob* enumKnob(Knob_Closure& f, int* field, const char* name, const char* const* items,
               const char* label, int def, const char* tooltip = nullptr);
Knob* boolKnob(Knob_Closure& f, bool* field, const char* name, const char* label, bool def,
               const char* tooltip = nullptr);
Knob* intKnob(Knob_Closure& f, int* field, const char* name, const char* label, int def,
              std::optional<Range> range = std::nullopt, const char* tooltip = nullptr);
Knob* floatKnob(Knob_Closure& f, float* field, const char* name, const char* label, double def,
                std::optional<Range> range = std::nullopt, const char* tooltip = nullptr);
Knob* xyKnob(Knob_Closure& f, float* field, const char* name, const char* label,
             std::array<double, 2> def = {0, 0}, const char* tooltip = nullptr);
Knob* xyzKnob(Knob_Closure& f, float* field, const char* name, const char* label,
              std::array<double, 3> def = {0, 0, 0}, const char* tooltip = nullptr);
Knob* formatKnob(Knob_Closure& f, FormatPair* field, const char* name, const char* label,
                 const char* tooltip = nullptr);
Knob* stringKnob(Knob_Closure& f, std::string* field, const char* name, const char* label,
                 const std::string& def = {}, const char* tooltip = nullptr);
// Every cell starts at 0.
Knob* arrayKnob(Knob_Closure& f, ArrayValue* field, const char* name, const char* label, int width,
                int height);
Knob* viewSetKnob(Knob_Closure& f, std::set<int>* field, const char* name, const char* label,
                  const char* tooltip = nullptr);
Knob* buttonKnob(Knob_Closure& f, const char* name, const char* label,
                 const char* tooltip = nullptr);
Knob* scriptButton(Knob_Closure& f, const char* name, const char* label, const char* python,
                   const char* tooltip = nullptr);
MetaKeyFrameKnob* keyFrameControl(Knob_Closure& f, const char* name, const char* label,
                                  const char* tooltip = nullptr);

// A custom knob of class K, built as K(node, name, args...) on the make pass when the node
// has no knob of that name yet; the node's knob of that name on other passes (nullptr when
// it is not a K).
template <class K, class... A> K* customKnob(Knob_Closure& f, const char* name, A&&... args) {
    std::unique_ptr<Knob> made;
    if (f.makeKnobs() && !f.exists(name))
        made = std::make_unique<K>(&f.node(), name, std::forward<A>(args)...);
    return dynamic_cast<K*>(f.custom(std::move(made), name));
}

} // namespace Kx::Image
