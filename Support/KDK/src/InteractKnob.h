// InteractKnob: the hidden knob "interactKnob" through which the viewer's events reach a
// plug-in's event hooks, in the viewers the plug-in's interaction flags name. On every draw it
// registers two handles at (0, 0, -10): type 21 for mouse events (push, drag or release, move) with
// the plug-in's cursor, and type 22 for key events. Each callback passes the event to the hook,
// asks the viewer to redraw and answers the hook's answer; an event it does not route answers
// false. A hook that throws has not taken the event, and its message becomes the node's error.
#pragma once

#include "PluginBase.h"

namespace Marrow::Support::KDK {

template <class Base> class InteractKnob : public Kx::Image::Knob {
public:
    static constexpr int kMouseHandle = 21;
    static constexpr int kKeyHandle = 22;

    InteractKnob(Kx::Image::Node* node, const char* name, PluginBase<Base>* plugin)
        : Knob(node, Kx::Image::KnobKind::Custom, Kx::Image::KnobStorage::None, name),
          _plugin(plugin) {}

    const char* Class() const override { return "InteractKnob"; }
    // Only when the plug-in's flags ask for interaction in this kind of viewer: otherwise its
    // handles would take events before the node's own and redraw the viewer on every event.
    bool build_handle(Kx::Image::ViewerContext* ctx) override { return _plugin->interacts(ctx); }

    void draw_handle(Kx::Image::ViewerContext* ctx) override {
        ctx->begin_handle(kMouseHandle, this, &InteractKnob::mouse, 0, 0, 0, -10,
                          _plugin->handleCursor(ctx));
        ctx->end_handle();
        ctx->begin_handle(kKeyHandle, this, &InteractKnob::keys, 0, 0, 0, -10, 0);
        ctx->end_handle();
    }

    PluginBase<Base>* plugin() const { return _plugin; }

private:
    using VC = Kx::Image::ViewerContext;

    static bool mouse(VC* ctx, Kx::Image::Knob* knob, int) {
        auto* p = static_cast<InteractKnob*>(knob)->_plugin;
        bool (PluginBase<Base>::*hook)(VC*) = nullptr;
        switch (ctx->event()) {
        case VC::kPush:
            hook = &PluginBase<Base>::onPush;
            break;
        case VC::kDrag:
        case VC::kRelease:
            hook = &PluginBase<Base>::onDragOrRelease;
            break;
        case VC::kMove:
            hook = &PluginBase<Base>::onMove;
            break;
        default:
            return false;
        }
        return pass(p, hook, ctx);
    }

    static bool keys(VC* ctx, Kx::Image::Knob* knob, int) {
        auto* p = static_cast<InteractKnob*>(knob)->_plugin;
        bool (PluginBase<Base>::*hook)(VC*) = nullptr;
        switch (ctx->event()) {
        case VC::kKey:
            hook = &PluginBase<Base>::onKey;
            break;
        case VC::kKeyUp:
            hook = &PluginBase<Base>::onKeyUp;
            break;
        default:
            return false;
        }
        return pass(p, hook, ctx);
    }

    // Hands the event to the hook inside the firewall, then asks the viewer to redraw.
    static bool pass(PluginBase<Base>* p, bool (PluginBase<Base>::*hook)(VC*), VC* ctx) {
        bool taken = false;
        guard(*p, [&] { taken = (p->*hook)(ctx); });
        ctx->redraw();
        return taken;
    }

    PluginBase<Base>* _plugin;
};

} // namespace Marrow::Support::KDK
