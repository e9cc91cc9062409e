// VerticalAlignerDisplayManager: the stored matches of the current frame drawn over the
// node's output in the viewer, and their selection and deletion.
//
// Each match of the viewed camera is a small cross at the place where the view's correction
// puts its source position, coloured by its fit error: green when its point is valid and its
// RMSE is at most errorThreshold, red above it, orange when the point is not valid, yellow
// when selected. Every cross is a selectable viewer handle whose index is the track's
// position in the frame's track list. Delete or Backspace removes the selected matches (one
// undo step); Escape clears the selection.
//
// The matches of each camera at the current frame are cached, keyed by a hash of the stored
// track counts, the convergence depth, the input format and the frame; the alignment itself
// is applied at every draw, through the render engine's forward chains. Positions are
// full-size source pixels, x right, y up, centres at i + 0.5.
#pragma once

#include "Kx/Image/Knob.h"
#include "Kx/Image/Lock.h"
#include "Kx/Image/ViewerContext.h"

#include <cstdint>
#include <vector>

namespace Kx::Image {
class Knob_Closure;
}

namespace Marrow::Research {

class VerticalAlignerDisplayManager;
class VerticalAlignerPlugin;

// The knob through which the viewer delivers the display's handle events.
class DisplayInteractionEventHandlerKnob : public Kx::Image::Knob {
public:
    DisplayInteractionEventHandlerKnob(Kx::Image::Node* node, const char* name);

    const char* Class() const override { return "DisplayInteractionEventHandlerKnob"; }
    bool build_handle(Kx::Image::ViewerContext*) override { return true; }
    // The handles are begun by the display manager's draw, from the node's draw handle.
    void draw_handle(Kx::Image::ViewerContext*) override {}

    VerticalAlignerDisplayManager* displayManager() const { return _displayManager; }
    void setDisplayManager(VerticalAlignerDisplayManager* d) { _displayManager = d; }

private:
    VerticalAlignerDisplayManager* _displayManager = nullptr;
};

class VerticalAlignerDisplayManager {
public:
    static constexpr const char* kKnobName = "displayInteractionKnob";

    // One match of one camera.
    struct DisplayPoint {
        double x = 0, y = 0; // the feature's position in the camera's source, full size
        bool valid = false;  // the track's triangulated point is valid
        double rmse = 0;
        uint32_t index = 0; // the track's position in the frame's track list
    };

    explicit VerticalAlignerDisplayManager(VerticalAlignerPlugin* node);
    VerticalAlignerDisplayManager(const VerticalAlignerDisplayManager&) = delete;
    VerticalAlignerDisplayManager& operator=(const VerticalAlignerDisplayManager&) = delete;

    // Declares the interaction knob (made on the make pass when the node has none yet).
    void knobs(Kx::Image::Knob_Closure& f);
    // Rebuilds the cache of matches when its hash changed.
    void update();
    // Draws the matches of the viewed camera and registers their handles and the key handle.
    void draw(Kx::Image::ViewerContext* ctx);

    // The colour (red, green, blue, alpha) of a match.
    static void colour(const DisplayPoint& d, bool selected, float errorThreshold, float rgba[4]);

    // The handle callbacks: the point test takes pushes only; the key handler deletes the
    // selected matches or clears the selection.
    static bool pointHandleTest(Kx::Image::ViewerContext* ctx, Kx::Image::Knob* knob, int index);
    static bool keyHandler(Kx::Image::ViewerContext* ctx, Kx::Image::Knob* knob, int index);

    VerticalAlignerPlugin* node() const { return _node; }
    DisplayInteractionEventHandlerKnob* knob() const { return _knob; }
    const std::vector<bool>& cameraEnabled() const { return _cameraEnabled; }
    const std::vector<std::vector<DisplayPoint>>& cameraPoints() const { return _cameraPoints; }

private:
    VerticalAlignerPlugin* _node;
    DisplayInteractionEventHandlerKnob* _knob = nullptr;
    uint64_t _cacheHash = ~uint64_t(0);
    Kx::Image::Lock _lock{4000};
    std::vector<bool> _cameraEnabled;
    std::vector<std::vector<DisplayPoint>> _cameraPoints;
};

} // namespace Marrow::Research
