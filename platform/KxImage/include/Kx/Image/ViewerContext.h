// ViewerContext: one viewer's state while the host builds, draws and delivers events to
// the handles of the nodes whose panels are open.
//
// The host first asks each op to build its handles (Op::build_handles), in which the op
// registers what draws: itself (add_draw_handle) and knobs (add_knob_handle). On a draw
// pass (event kDraw) the host calls draw_handle of every registered op and knob; there they
// begin and end handles: a handle has a type, an event callback, an index, a position and a
// cursor. On a mouse or key event the host gives the event to the handles, last drawn
// first, until a callback answers true.
#pragma once

#include "OutputContext.h"

#include <vector>

namespace Kx::Image {

class Knob;
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

    enum class Mode { Viewer2D, Viewer3D };

    // Answers true when it took the event.
    using HandleCallback = bool (*)(ViewerContext* ctx, Knob* knob, int index);

    struct Handle {
        int type;
        HandleCallback callback;
        Knob* knob;
        int index;
        float x, y, z;
        int cursor;
    };

    explicit ViewerContext(Mode mode = Mode::Viewer2D, const OutputContext& context = {})
        : _mode(mode), _context(context) {}

    Mode viewer_mode() const { return _mode; }
    const OutputContext& context() const { return _context; }
    int event() const { return _event; }
    void event(int e) { _event = e; }
    int key() const { return _key; }
    void key(int k) { _key = k; }

    // ---- building ----
    void add_draw_handle(Op* op) { _drawOps.push_back(op); }
    void add_knob_handle(Knob* knob) { _drawKnobs.push_back(knob); }
    const std::vector<Op*>& drawOps() const { return _drawOps; }
    const std::vector<Knob*>& drawKnobs() const { return _drawKnobs; }

    // ---- drawing ----
    // Runs a draw pass: handles are made anew by every registered op and knob.
    void draw();
    void begin_handle(int type, Knob* knob, HandleCallback callback, int index, float x, float y,
                      float z, int cursor);
    void end_handle() { _open = false; }
    const std::vector<Handle>& handles() const { return _handles; }

    // ---- events ----
    // Gives an event to the handles; true when one took it.
    bool deliver(int event);
    // Asks the viewer to draw again.
    void redraw() { ++_redraws; }
    int redraws() const { return _redraws; }

private:
    Mode _mode;
    OutputContext _context;
    int _event = 0, _key = 0, _redraws = 0;
    bool _open = false;
    std::vector<Op*> _drawOps;
    std::vector<Knob*> _drawKnobs;
    std::vector<Handle> _handles;
};

} // namespace Kx::Image
