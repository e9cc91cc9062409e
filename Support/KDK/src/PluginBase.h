// PluginBase<Base>: turns the host op's virtual calls into a smaller set of hooks, and keeps
// the input labels and the extra frames and views at which inputs are read.
//
// Splits. With no extra frames and no extra views an input has one split, the output's
// context. Otherwise input n has 1 + F * V splits, F being the number of extra frames (or 1
// when none) and V the number of extra views (or 1 when none). Split 0 is the output's
// context; split k >= 1 reads frame extraFrames[(k - 1) / V] (the output's frame when there
// are none) and view extraViews[(k - 1) % V] + 1 (the output's view when there are none; a
// stored -1 or -2 reads view 1). Extra views are stored as view numbers minus one. The
// lists are emptied on every new output context, before the frame and view hooks run, so a
// node fills them from those hooks.
//
// The host's entry points (knob changes, viewer handles and drawing, and in IopPlugin
// validation, requests, rows and samples) are final here and run the node's hooks inside the
// firewall of Firewall.h: an exception a hook throws becomes the node's error.
//
// Every node of the framework gets two hidden custom knobs before its own: "interactKnob"
// (InteractKnob, routes viewer events to the event hooks) and "serializeKnob"
// (SerializeKnob, saves the serializer's text into the script).
#pragma once

#include "EffectBase.h"
#include "Firewall.h"

#include "Kx/Image/Knob.h"
#include "Kx/Image/Knobs.h"
#include "Kx/Image/MetaData.h"
#include "Kx/Image/Op.h"
#include "Kx/Image/ViewerContext.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace Marrow::Support::KDK {

template <class Base> class InteractKnob;
template <class Base> class SerializeKnob;

namespace KnobNames {
inline constexpr const char* kInteract = "interactKnob";
inline constexpr const char* kSerialize = "serializeKnob";
} // namespace KnobNames

template <class Base> class PluginBase : public Base, public virtual EffectBase {
public:
    explicit PluginBase(Kx::Image::Node* node) : Base(node) {
        setOwner(this);
        setInterruptCheck(&PluginBase::stopped, this);
    }
    ~PluginBase() override = default;

    // error(message) is the framework's error path (EffectBase::error); the host op's own
    // error(format, ...) stays reachable as Op::error.
    using EffectBase::error;

    // ---- host virtuals ----
    int doAnyHandles(Kx::Image::ViewerContext* ctx) override {
        int host = Base::doAnyHandles(ctx);
        if (!this->panel_visible() || (host & 3) == 3) return host;
        if (!handleFlagApplies(ctx)) return host;
        return handlesReady(is2D(ctx)) ? host | 3 : host | 1;
    }

    void _fetchMetaData(const char* key) override {
        Base::_fetchMetaData(key);
        _metadata = this->_meta;
    }

    void knobs(Kx::Image::Knob_Closure& f) override {
        Base::knobs(f);
        _interactKnob = supportKnob<InteractKnob<Base>>(f, KnobNames::kInteract);
        _serializeKnob = supportKnob<SerializeKnob<Base>>(f, KnobNames::kSerialize);
        pluginKnobs(f);
    }

    int knob_changed(Kx::Image::Knob* k) final {
        int handled = 0;
        guard(*this, [&] {
            Base::knob_changed(k);
            handled = pluginKnobChanged(k);
        });
        return handled;
    }

    void build_handles(Kx::Image::ViewerContext* ctx) final {
        guard(*this, [&] { pluginBuildHandles(ctx); });
    }

    void draw_handle(Kx::Image::ViewerContext* ctx) final {
        guard(*this, [&] { pluginDrawHandle(ctx); });
    }

    int minimum_inputs() const override {
        return std::min(int(_inputLabels.size()), _minimumInputs);
    }
    int maximum_inputs() const override { return int(_inputLabels.size()); }

    void setOutputContext(const Kx::Image::OutputContext& c) override {
        Base::setOutputContext(c);
        _extraFrames.clear();
        _extraViews.clear();
        if (this->aborted()) return;
        frameChanged(wholeFrame(c.frame()));
        viewChanged(c.view() - 1);
    }

    // The frame as the hook takes it: its whole part, held within int's range; a frame that is
    // not a number (a script's or a host's bad value) counts as frame 0.
    static int wholeFrame(double frame) {
        if (std::isnan(frame)) return 0;
        return int(std::clamp(frame, double(std::numeric_limits<int>::min()),
                              double(std::numeric_limits<int>::max())));
    }

    int split_input(int) const override {
        if (_extraFrames.empty() && _extraViews.empty()) return 1;
        return 1 + std::max<int>(int(_extraFrames.size()), 1) *
                       std::max<int>(int(_extraViews.size()), 1);
    }

    const Kx::Image::OutputContext& inputContext(int, int offset,
                                                 Kx::Image::OutputContext& scratch) const override {
        if (offset <= 0 || (_extraFrames.empty() && _extraViews.empty()))
            return this->outputContext();
        int views = std::max<int>(int(_extraViews.size()), 1);
        scratch = this->outputContext();
        size_t f = size_t((offset - 1) / views), v = size_t((offset - 1) % views);
        if (f < _extraFrames.size()) scratch.setFrame(_extraFrames[f]);
        if (v < _extraViews.size()) scratch.setView(std::max(_extraViews[v] + 1, 1));
        return scratch;
    }

    // The host input number of input n read at a frame and a view minus one (negative: the
    // output's view). False when that frame or view is not read.
    bool inputNumber(int& number, int input, int frame, int view) override {
        const Kx::Image::OutputContext& out = this->outputContext();
        int ownView = out.view() - 1;
        if (view < 0) view = ownView;
        if (_extraFrames.empty() && _extraViews.empty()) {
            number = input;
            return true;
        }
        bool own = frame == int(out.frame()) && view == ownView;
        if (own) {
            number = Base::inputNumber(input, 0);
            return true;
        }
        int frameIndex = 0, viewIndex = 0;
        if (_extraFrames.empty()) {
            if (frame != int(out.frame())) return false;
        } else {
            auto it = std::find(_extraFrames.begin(), _extraFrames.end(), frame);
            if (it == _extraFrames.end()) return false;
            frameIndex = int(it - _extraFrames.begin());
        }
        if (_extraViews.empty()) {
            if (view != ownView) return false;
        } else {
            auto it = std::find(_extraViews.begin(), _extraViews.end(), view);
            if (it == _extraViews.end()) return false;
            viewIndex = int(it - _extraViews.begin());
        }
        int views = std::max<int>(int(_extraViews.size()), 1);
        number = Base::inputNumber(input, 1 + frameIndex * views + viewIndex);
        return true;
    }

    const char* node_help() const override {
        if (_help.empty()) _help = std::string(pluginDisplayName()) + " 2.1v1\n\n" + pluginHelp();
        return _help.c_str();
    }

    const char* input_label(int n, char*) const override {
        return n >= 0 && size_t(n) < _inputLabels.size() ? _inputLabels[size_t(n)].c_str() : "";
    }

    const char* displayName() const override { return pluginDisplayName(); }

    Serializer* serializer() override { return _serializer.get(); }

    // ---- hooks ----
    // Whether the viewer handles are ready to draw (2-D or 3-D viewer).
    virtual bool handlesReady(bool /*twoD*/) { return true; }
    virtual int frameChanged(int /*frame*/) { return 0; }
    virtual int viewChanged(int /*viewMinusOne*/) { return 0; }
    virtual const char* pluginDisplayName() const = 0;
    virtual const char* pluginHelp() const = 0;
    virtual void pluginKnobs(Kx::Image::Knob_Closure&) {}
    // With the panel open: the host's handles, the own draw handle and the interaction knob's
    // handle as the handle flags ask for the viewer's kind.
    virtual void pluginBuildHandles(Kx::Image::ViewerContext* ctx) {
        if (!this->panel_visible()) return;
        Base::build_handles(ctx);
        bool twoD = is2D(ctx);
        if (twoD ? _draw2D : (_draw3D || draws3D())) ctx->add_draw_handle(this);
        if ((twoD ? _interact2D : _interact3D) && _interactKnob)
            ctx->add_knob_handle(_interactKnob);
    }
    // The host's draw, then the 2-D or 3-D draw hook on the draw event with the panel open.
    virtual void pluginDrawHandle(Kx::Image::ViewerContext* ctx) {
        Base::draw_handle(ctx);
        if (ctx->event() != Kx::Image::ViewerContext::kDraw || !this->panel_visible()) return;
        if (is2D(ctx))
            draw2D(ctx);
        else
            draw3D(ctx);
    }
    virtual int pluginKnobChanged(Kx::Image::Knob*) { return 1; }
    virtual void draw2D(Kx::Image::ViewerContext*) {}
    virtual void draw3D(Kx::Image::ViewerContext*) {}
    // Viewer events (ViewerContext numbers); true when the node took the event.
    virtual bool onDragOrRelease(Kx::Image::ViewerContext*) { return false; }
    virtual bool onPush(Kx::Image::ViewerContext*) { return false; }
    virtual bool onMove(Kx::Image::ViewerContext*) { return false; }
    virtual bool onKey(Kx::Image::ViewerContext*) { return false; }
    virtual bool onKeyUp(Kx::Image::ViewerContext*) { return false; }
    virtual bool draws3D() { return false; }
    virtual int handleCursor(Kx::Image::ViewerContext*) { return 2; }

    // Whether the handle flags ask for the interaction knob in the viewer's kind (2-D or 3-D).
    bool interacts(const Kx::Image::ViewerContext* ctx) const {
        return is2D(ctx) ? _interact2D : _interact3D;
    }
    Kx::Image::Knob* interactKnob() const { return _interactKnob; }
    Kx::Image::Knob* serializeKnob() const { return _serializeKnob; }
    const std::vector<int>& extraFrames() const { return _extraFrames; }
    const std::vector<int>& extraViews() const { return _extraViews; }

protected:
    std::unique_ptr<Serializer> _serializer;
    std::vector<int> _extraFrames;
    std::vector<int> _extraViews; // view numbers minus one
    std::vector<std::string> _inputLabels{""};
    int _minimumInputs = 1;
    Kx::Image::MetaData::Bundle _metadata;
    bool _draw2D = false, _draw3D = false, _interact2D = false, _interact3D = false;

private:
    static bool stopped(const void* self) {
        auto* p = static_cast<const PluginBase*>(self);
        return p->aborted() || p->cancelled();
    }
    static bool is2D(const Kx::Image::ViewerContext* ctx) {
        return !ctx || ctx->viewer_mode() == Kx::Image::ViewerContext::Mode::Viewer2D;
    }
    bool handleFlagApplies(const Kx::Image::ViewerContext* ctx) {
        return is2D(ctx) ? (_draw2D || _interact2D) : (_draw3D || _interact3D || draws3D());
    }

    // Made on the make pass with a back-pointer to this plug-in; flag bit 39 (not saved into
    // node presets) on every pass.
    template <class K> Kx::Image::Knob* supportKnob(Kx::Image::Knob_Closure& f, const char* name) {
        std::unique_ptr<Kx::Image::Knob> made;
        if (f.makeKnobs() && !f.exists(name)) made = std::make_unique<K>(&f.node(), name, this);
        Kx::Image::Knob* k = f.custom(std::move(made), name);
        if (k) k->set_flag(Kx::Image::KnobFlag::NoPresets);
        return k;
    }

    Kx::Image::Knob* _interactKnob = nullptr;
    Kx::Image::Knob* _serializeKnob = nullptr;
    mutable std::string _help;
};

} // namespace Marrow::Support::KDK
