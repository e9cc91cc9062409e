// Knob_Closure and the helper functions for the common kinds.
#include "Kx/Image/Knobs.h"

#include "Kx/Image/Node.h"

namespace Kx::Image {

Knob_Closure::Knob_Closure(Pass pass, Node& node, const OutputContext& context)
    : _pass(pass), _node(node), _context(context) {}

Knob* Knob_Closure::declared(Knob* k) {
    if (k) _declared.push_back(k);
    return k;
}

bool Knob_Closure::exists(const char* name) const {
    return name && _node.knob(name);
}

Knob* Knob_Closure::operator()(int kind, int storage, void* field, const char* name,
                               const char* label, const void* extra) {
    std::string n = name ? name : "";
    Knob* k = nullptr;
    if (n.empty()) {
        k = _node.anonymousKnob(_anonymous);
        ++_anonymous;
    } else {
        k = _node.knob(n);
    }
    if (!k && _pass == Pass::Make && kind != KnobKind::Custom) {
        std::unique_ptr<Knob> made;
        if (kind == KnobKind::KeyFrameControl)
            made = std::make_unique<MetaKeyFrameKnob>(&_node, n, label ? label : "");
        else
            made = std::make_unique<Knob>(&_node, kind, storage, n, label ? label : "");
        switch (kind) {
        case KnobKind::Enumeration:
            if (extra) {
                std::vector<std::string> items;
                for (auto* item = static_cast<const char* const*>(extra); *item; ++item)
                    items.emplace_back(*item);
                made->setItems(std::move(items));
            }
            break;
        case KnobKind::Text:
        case KnobKind::ScriptButton:
            if (extra) made->extraText(static_cast<const char*>(extra));
            break;
        case KnobKind::Tab:
            if (extra) made->extraWord(*static_cast<const int*>(extra));
            break;
        case KnobKind::Array:
            if (extra) {
                auto* size = static_cast<const int*>(extra);
                made->setArraySize(size[0], size[1]);
            }
            break;
        default:
            break;
        }
        made->readField(field);
        k = _node.adopt(std::move(made));
    } else if (k && _pass == Pass::Store) {
        k->store(field, _context);
    }
    return declared(k);
}

Knob* Knob_Closure::custom(std::unique_ptr<Knob> made, const char* name) {
    Knob* k = name ? _node.knob(name) : nullptr;
    if (!k && made && _pass == Pass::Make) k = _node.adopt(std::move(made));
    return declared(k);
}

// ---- helpers ----

namespace {

void describe(Knob_Closure& f, Knob* k, const char* tooltip) {
    if (k && f.makeKnobs() && tooltip) k->tooltip(tooltip);
}

void makeDefault(Knob_Closure& f, Knob* k, const std::vector<double>& values) {
    if (k && f.makeKnobs()) k->setDefault(values);
}

void makeRange(Knob_Closure& f, Knob* k, const std::optional<Range>& range) {
    if (k && f.makeKnobs() && range) k->setRange(range->low, range->high);
}

} // namespace

Knob* dividerKnob(Knob_Closure& f, const char* label) {
    return f(KnobKind::Text, KnobStorage::None, nullptr, nullptr, label);
}

Knob* lineBreak(Knob_Closure& f) {
    return f(KnobKind::Text, KnobStorage::None, nullptr, nullptr, " ", "");
}

Knob* textLabel(Knob_Closure& f, const char* text) {
    return f(KnobKind::Text, KnobStorage::None, nullptr, nullptr, nullptr, text);
}

Knob* tabKnob(Knob_Closure& f, const char* label) {
    static const int word = 0;
    return f(KnobKind::Tab, KnobStorage::None, nullptr, nullptr, label, &word);
}

Knob* beginGroup(Knob_Closure& f, const char* name, const char* label) {
    static const int word = 2;
    return f(KnobKind::Tab, KnobStorage::None, nullptr, name, label, &word);
}

Knob* endGroup(Knob_Closure& f) {
    static const int word = -1;
    return f(KnobKind::Tab, KnobStorage::None, nullptr, nullptr, nullptr, &word);
}

Knob* viewKnob(Knob_Closure& f, int* field, const char* name, const char* label,
               const char* tooltip) {
    Knob* k = f(KnobKind::ViewSelector, KnobStorage::Int, field, name, label);
    describe(f, k, tooltip);
    return k;
}

Knob* enumKnob(Knob_Closure& f, int* field, const char* name, const char* const* items,
               const char* label, int def, const char* tooltip) {
    Knob* k = f(KnobKind::Enumeration, KnobStorage::Int, field, name, label, items);
    makeDefault(f, k, {double(def)});
    describe(f, k, tooltip);
    return k;
}

Knob* boolKnob(Knob_Closure& f, bool* field, const char* name, const char* label, bool def,
               const char* tooltip) {
    Knob* k = f(KnobKind::Bool, KnobStorage::Bool, field, name, label);
    makeDefault(f, k, {def ? 1.0 : 0.0});
    describe(f, k, tooltip);
    return k;
}

Knob* intKnob(Knob_Closure& f, int* field, const char* name, const char* label, int def,
              std::optional<Range> range, const char* tooltip) {
    Knob* k = f(KnobKind::Int, KnobStorage::Int, field, name, label);
    makeDefault(f, k, {double(def)});
    makeRange(f, k, range);
    describe(f, k, tooltip);
    return k;
}

Knob* floatKnob(Knob_Closure& f, float* field, const char* name, const char* label, double def,
                std::optional<Range> range, const char* tooltip) {
    Knob* k = f(KnobKind::Float, KnobStorage::Float, field, name, label);
    makeDefault(f, k, {def});
    makeRange(f, k, range);
    describe(f, k, tooltip);
    return k;
}

Knob* xyKnob(Knob_Closure& f, float* field, const char* name, const char* label,
             std::array<double, 2> def, const char* tooltip) {
    Knob* k = f(KnobKind::XY, KnobStorage::Float, field, name, label);
    makeDefault(f, k, {def[0], def[1]});
    describe(f, k, tooltip);
    return k;
}

Knob* xyzKnob(Knob_Closure& f, float* field, const char* name, const char* label,
              std::array<double, 3> def, const char* tooltip) {
    Knob* k = f(KnobKind::XYZ, KnobStorage::Float, field, name, label);
    makeDefault(f, k, {def[0], def[1], def[2]});
    describe(f, k, tooltip);
    return k;
}

Knob* formatKnob(Knob_Closure& f, FormatPair* field, const char* name, const char* label,
                 const char* tooltip) {
    Knob* k = f(KnobKind::Format, KnobStorage::Format, field, name, label);
    describe(f, k, tooltip);
    return k;
}

Knob* stringKnob(Knob_Closure& f, std::string* field, const char* name, const char* label,
                 const std::string& def, const char* tooltip) {
    Knob* k = f(KnobKind::String, KnobStorage::String, field, name, label);
    if (k && f.makeKnobs()) k->readField(&def);
    describe(f, k, tooltip);
    return k;
}

Knob* arrayKnob(Knob_Closure& f, ArrayValue* field, const char* name, const char* label, int width,
                int height) {
    const int size[2] = {width, height};
    Knob* k = f(KnobKind::Array, KnobStorage::Array, field, name, label, size);
    makeDefault(f, k, {0.0});
    return k;
}

Knob* viewSetKnob(Knob_Closure& f, std::set<int>* field, const char* name, const char* label,
                  const char* tooltip) {
    Knob* k = f(KnobKind::MultiView, KnobStorage::ViewSet, field, name, label);
    describe(f, k, tooltip);
    return k;
}

Knob* buttonKnob(Knob_Closure& f, const char* name, const char* label, const char* tooltip) {
    Knob* k = f(KnobKind::Button, KnobStorage::None, nullptr, name, label);
    describe(f, k, tooltip);
    return k;
}

Knob* scriptButton(Knob_Closure& f, const char* name, const char* label, const char* python,
                   const char* tooltip) {
    Knob* k = f(KnobKind::ScriptButton, KnobStorage::None, nullptr, name, label, python);
    describe(f, k, tooltip);
    return k;
}

MetaKeyFrameKnob* keyFrameControl(Knob_Closure& f, const char* name, const char* label,
                                  const char* tooltip) {
    Knob* k = f(KnobKind::KeyFrameControl, KnobStorage::None, nullptr, name, label);
    describe(f, k, tooltip);
    return dynamic_cast<MetaKeyFrameKnob*>(k);
}

} // namespace Kx::Image
