// SerializeKnob: the hidden knob "serializeKnob" that saves a plug-in's private state into
// the host script through the plug-in's serializer, and loads it back.
//
// It is always written (even empty). Its text is the serializer's text, or empty without a
// serializer; quoted, it is wrapped in double quotes with quotes and backslashes inside
// escaped. Loading hands a non-empty text to the serializer and answers its answer; an
// empty text, or a plug-in without serializer, is accepted untouched. A serializer that
// throws is reported through the knob's error ("Failed to load from script: <text>",
// "Failed to load from script", "Failed to save to script: <text>", "Failed to save to
// script") and the call returns as if it had finished.
#pragma once

#include "PluginBase.h"

#include <exception>
#include <ostream>
#include <string>

namespace Marrow::Support::KDK {

template <class Base> class SerializeKnob : public Kx::Image::Knob {
public:
    SerializeKnob(Kx::Image::Node* node, const char* name, PluginBase<Base>* plugin)
        : Knob(node, Kx::Image::KnobKind::Custom, Kx::Image::KnobStorage::None, name),
          _plugin(plugin) {}

    const char* Class() const override { return "SerializeKnob"; }
    bool not_default() const override { return true; }
    void reset_to_default() override {}

    void to_script(std::ostream& o, const Kx::Image::OutputContext*, bool quote) const override {
        std::string text;
        if (Serializer* s = _plugin->serializer()) {
            try {
                text = s->save();
            } catch (...) {
                report("Failed to save to script");
                text.clear();
            }
        }
        if (!quote) {
            o << text;
            return;
        }
        o << '"';
        for (char c : text) {
            if (c == '"' || c == '\\') o << '\\';
            o << c;
        }
        o << '"';
    }

    bool from_script(const char* text) override {
        Serializer* s = _plugin->serializer();
        if (!s || !text || !*text) return true;
        try {
            return s->load(text);
        } catch (...) {
            report("Failed to load from script");
            return true;
        }
    }

private:
    // Reports the exception being handled: its text when it carries one.
    void report(const char* what) const {
        auto* self = const_cast<SerializeKnob*>(this);
        try {
            throw;
        } catch (const std::exception& e) {
            self->error("%s: %s", what, e.what());
        } catch (const std::string& s) {
            self->error("%s: %s", what, s.c_str());
        } catch (const char* s) {
            self->error("%s: %s", what, s);
        } catch (...) {
            self->error("%s", what);
        }
    }

    PluginBase<Base>* _plugin;
};

} // namespace Marrow::Support::KDK
