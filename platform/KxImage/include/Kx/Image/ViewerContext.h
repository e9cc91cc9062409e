// ViewerContext: one viewer's state while the host builds, draws and delivers events to
// the handles of the nodes whose panels are open.
//
// The host first asks each op whether it has handles in this viewer (Op::doAnyHandles);
// an op that answers kNoHandles is left out, one that answers kHandlesOnValidated is
// validated first. It then asks the op to build its handles (Op::build_handles), in which the op
// registers what draws: itself (add_draw_handle) and knobs (add_knob_handle; the host's own
// handle building, Op::build_knob_handles, adds every knob that asks for it). On a draw pass
// (event kDraw) the host calls draw_handle of every registered op and knob; there they draw
// with OpenGL (GL.h) and begin and end handles: a handle has a type, an event callback, an
// index, a position and a cursor. Mouse and key events then go to those handles.
//
// Coordinates. The viewer shows the image of its context: full-size pixels scaled and
// translated by the context's proxy scale and translation (proxy = full * scale +
// translate). One GL unit of the draw pass is one viewer pixel, y upward, (0, 0) at the
// bottom-left corner of the proxy image; a draw pass starts with the model-view
// translate(translate_x, translate_y), so an overlay that draws full-size positions scales
// by the proxy scale first. A handle's position is taken through the model-view in force
// when it begins. Mouse positions of events are full-size image pixels, as the user reads
// them off the image.
//
// Handle types:
//   kPointHandle (1)  a selectable point: a push within kPickRadius viewer pixels of it goes
//                     to its callback, nearest handle first; the handle that takes the push
//                     is selected (and gets the drag and release events that follow);
//   kMouseHandle (21) the whole viewer: mouse events that no point handle took;
//   kKeyHandle (22)   the whole viewer: key events.
// Selection belongs to the viewer: a set of (knob, callback, index) handles. A click on a
// point handle selects it alone (with add, it joins the selection); a click that no handle
// takes clears the selection; a box selects every point handle inside it whose callback
// takes a push.
//
// A viewer context keeps pointers to the ops and knobs registered with it; it is used while
// they live. Main thread only.
#pragma once

#include "OutputContext.h"

#include <cstdint>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

namespace Kx::Image {

class Knob;
class OffscreenGL;
class Op;

class ViewerContext {
public:
    // Event numbers.
    static constexpr int kDraw = 5;
    static constexpr int kDrag = 6;
    static constexpr int kPush = 7;
    static constexpr int kRelease = 8;
    static constexpr int kMove = 9;
    static constexpr int kKey = 10;
    static constexpr int kKeyUp = 11;

    // Handle types.
    static constexpr int kPointHandle = 1;
    static constexpr int kMouseHandle = 21;
    static constexpr int kKeyHandle = 22;
    // How near a push must be to a point handle, in viewer pixels.
    static constexpr double kPickRadius = 6.0;

    // Key codes of the interface toolkit.
    static constexpr int kKeyEscape = 0x1000000;
    static constexpr int kKeyBackspace = 0x1000003;
    static constexpr int kKeyDelete = 0x1000007;

    enum class Mode { Viewer2D, Viewer3D };

    // Answers true when it took the event.
    using HandleCallback = bool (*)(ViewerContext* ctx, Knob* knob, int index);

    struct Handle {
        int type;
        HandleCallback callback;
        Knob* knob;
        int index;
        float x, y, z; // as given to begin_handle
        int cursor;
        double viewerX, viewerY; // the position through the model-view, in viewer pixels
    };

    explicit ViewerContext(Mode mode = Mode::Viewer2D, const OutputContext& context = {});
    ~ViewerContext();
    ViewerContext(const ViewerContext&) = delete;
    ViewerContext& operator=(const ViewerContext&) = delete;

    Mode viewer_mode() const { return _mode; }
    const OutputContext& context() const { return _context; }
    void setContext(const OutputContext& c) { _context = c; }
    int event() const { return _event; }
    void event(int e) { _event = e; }
    int key() const { return _key; }
    void key(int k) { _key = k; }
    // The mouse position of the current event, in full-size image pixels.
    double mouse_x() const { return _mouseX; }
    double mouse_y() const { return _mouseY; }

    // The size of the image the viewer shows, in viewer pixels (default 1 x 1).
    void setViewport(int width, int height) { _width = width, _height = height; }
    int viewportWidth() const { return _width; }
    int viewportHeight() const { return _height; }
    // The overlay buffer of the last draw pass (nullptr before the first).
    const OffscreenGL* overlay() const { return _canvas.get(); }

    // ---- building ----
    // The host's building of an op's handles, in its order: doAnyHandles, validation when
    // the op asks for it, build_handles. Returns doAnyHandles' answer.
    int build(Op& op);
    // Each op or knob is registered once, however often it is added.
    void add_draw_handle(Op* op);
    void add_knob_handle(Knob* knob);
    const std::vector<Op*>& drawOps() const { return _drawOps; }
    const std::vector<Knob*>& drawKnobs() const { return _drawKnobs; }

    // ---- drawing ----
    // Runs a draw pass into the overlay buffer, cleared to transparent: handles are made
    // anew by every registered op and knob.
    void draw();
    void begin_handle(int type, Knob* knob, HandleCallback callback, int index, float x, float y,
                      float z, int cursor);
    void end_handle() { _open = false; }
    const std::vector<Handle>& handles() const { return _handles; }

    // ---- events ----
    // Gives an event to every handle, last drawn first; true when one took it.
    bool deliver(int event);
    // Mouse events at a full-size image position; true when a handle took them.
    bool push(double x, double y, bool add = false);
    bool drag(double x, double y);
    bool release(double x, double y);
    bool click(double x, double y, bool add = false);
    // Selects the point handles inside the box of two full-size corners whose callbacks take
    // a push; with add the selection grows, else it is replaced. Returns how many it selected.
    int boxSelect(double x0, double y0, double x1, double y1, bool add = false);
    // A key press and its release, given to the key handles, last drawn first; true when one
    // took the press.
    bool keyPress(int key);
    // Asks the viewer to draw again.
    void redraw() { ++_redraws; }
    int redraws() const { return _redraws; }

    // ---- selection ----
    bool is_selected(const Knob* knob, HandleCallback callback, int index) const;
    // The selected indices of a knob's handles with that callback, ascending.
    std::vector<int> selected(const Knob* knob, HandleCallback callback) const;
    void clear_selection(const Knob* knob);
    void clear_selection() { _selection.clear(); }
    size_t selectedCount() const { return _selection.size(); }
    void select(const Knob* knob, HandleCallback callback, int index);

private:
    using Key = std::tuple<const Knob*, uintptr_t, int>;
    static Key keyOf(const Knob* knob, HandleCallback callback, int index) {
        return {knob, reinterpret_cast<uintptr_t>(callback), index};
    }
    void setMouse(double x, double y) { _mouseX = x, _mouseY = y; }
    double viewerX(double x) const { return _context.to_proxy_x(x); }
    double viewerY(double y) const { return _context.to_proxy_y(y); }

    Mode _mode;
    OutputContext _context;
    int _event = 0, _key = 0, _redraws = 0;
    double _mouseX = 0, _mouseY = 0;
    int _width = 1, _height = 1;
    bool _open = false, _drawing = false;
    std::vector<Op*> _drawOps;
    std::vector<Knob*> _drawKnobs;
    std::vector<Handle> _handles;
    std::set<Key> _selection;
    std::unique_ptr<Handle> _grabbed; // the handle that took the last push
    std::unique_ptr<OffscreenGL> _canvas;
};

} // namespace Kx::Image
