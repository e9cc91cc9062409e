// Viewer handles: draw passes into the off-screen overlay, event delivery and selection.
#include "Kx/Image/ViewerContext.h"

#include "Kx/Image/GL.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/Op.h"

#include <algorithm>
#include <cmath>

namespace Kx::Image {

ViewerContext::ViewerContext(Mode mode, const OutputContext& context)
    : _mode(mode), _context(context) {}

ViewerContext::~ViewerContext() = default;

int ViewerContext::build(Op& op) {
    const int wanted = op.doAnyHandles(this);
    if (wanted == Op::kNoHandles) return wanted;
    if ((wanted & Op::kHandlesOnValidated) == Op::kHandlesOnValidated) op.validate(true);
    op.build_handles(this);
    return wanted;
}

void ViewerContext::add_draw_handle(Op* op) {
    if (std::find(_drawOps.begin(), _drawOps.end(), op) == _drawOps.end()) _drawOps.push_back(op);
}

void ViewerContext::add_knob_handle(Knob* knob) {
    if (std::find(_drawKnobs.begin(), _drawKnobs.end(), knob) == _drawKnobs.end())
        _drawKnobs.push_back(knob);
}

void ViewerContext::draw() {
    if (!_canvas || _canvas->width() != _width || _canvas->height() != _height)
        _canvas = std::make_unique<OffscreenGL>(_width, _height);
    _canvas->makeCurrent();
    glViewport(0, 0, _width, _height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, _width, 0, _height, -1000, 1000);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslated(_context.translate_x(), _context.translate_y(), 0);
    glDisable(GL_DEPTH_TEST);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);

    const int previous = _event;
    _event = kDraw;
    _drawing = true;
    _handles.clear();
    for (Op* op : _drawOps) op->draw_handle(this);
    for (Knob* k : _drawKnobs) k->draw_handle(this);
    _drawing = false;
    _event = previous;
    _canvas->finish();
}

void ViewerContext::begin_handle(int type, Knob* knob, HandleCallback callback, int index, float x,
                                 float y, float z, int cursor) {
    double vx = x, vy = y;
    if (_drawing) {
        GLdouble m[16]; // column-major
        glGetDoublev(GL_MODELVIEW_MATRIX, m);
        vx = m[0] * x + m[4] * y + m[8] * z + m[12];
        vy = m[1] * x + m[5] * y + m[9] * z + m[13];
    }
    _handles.push_back(Handle{type, callback, knob, index, x, y, z, cursor, vx, vy});
    _open = true;
}

bool ViewerContext::deliver(int e) {
    _event = e;
    for (auto it = _handles.rbegin(); it != _handles.rend(); ++it)
        if (it->callback && it->callback(this, it->knob, it->index)) return true;
    return false;
}

bool ViewerContext::push(double x, double y, bool add) {
    setMouse(x, y);
    _event = kPush;
    _grabbed.reset();
    const double px = viewerX(x), py = viewerY(y);
    // Point handles near the push, nearest first; of two as near, the one drawn last.
    std::vector<std::pair<double, const Handle*>> near;
    for (auto it = _handles.rbegin(); it != _handles.rend(); ++it) {
        if (it->type != kPointHandle || !it->callback) continue;
        const double d = std::hypot(it->viewerX - px, it->viewerY - py);
        if (d <= kPickRadius) near.emplace_back(d, &*it);
    }
    std::stable_sort(near.begin(), near.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [distance, h] : near) {
        if (!h->callback(this, h->knob, h->index)) continue;
        if (!add) _selection.clear();
        _selection.insert(keyOf(h->knob, h->callback, h->index));
        _grabbed = std::make_unique<Handle>(*h);
        return true;
    }
    if (!add) _selection.clear();
    for (auto it = _handles.rbegin(); it != _handles.rend(); ++it) {
        if (it->type != kMouseHandle || !it->callback) continue;
        if (it->callback(this, it->knob, it->index)) {
            _grabbed = std::make_unique<Handle>(*it);
            return true;
        }
    }
    return false;
}

bool ViewerContext::drag(double x, double y) {
    setMouse(x, y);
    _event = kDrag;
    return _grabbed && _grabbed->callback(this, _grabbed->knob, _grabbed->index);
}

bool ViewerContext::release(double x, double y) {
    setMouse(x, y);
    _event = kRelease;
    const bool taken = _grabbed && _grabbed->callback(this, _grabbed->knob, _grabbed->index);
    _grabbed.reset();
    return taken;
}

bool ViewerContext::click(double x, double y, bool add) {
    const bool taken = push(x, y, add);
    release(x, y);
    return taken;
}

int ViewerContext::boxSelect(double x0, double y0, double x1, double y1, bool add) {
    if (!add) _selection.clear();
    const double left = std::min(viewerX(x0), viewerX(x1)),
                 right = std::max(viewerX(x0), viewerX(x1));
    const double bottom = std::min(viewerY(y0), viewerY(y1)),
                 top = std::max(viewerY(y0), viewerY(y1));
    int count = 0;
    for (const Handle& h : _handles) {
        if (h.type != kPointHandle || !h.callback) continue;
        if (h.viewerX < left || h.viewerX > right || h.viewerY < bottom || h.viewerY > top)
            continue;
        // The callback sees a push at the handle, as if it had been clicked.
        setMouse(_context.from_proxy_x(h.viewerX), _context.from_proxy_y(h.viewerY));
        _event = kPush;
        if (!h.callback(this, h.knob, h.index)) continue;
        _selection.insert(keyOf(h.knob, h.callback, h.index));
        ++count;
    }
    return count;
}

bool ViewerContext::keyPress(int k) {
    _key = k;
    bool taken = false;
    for (int e : {kKey, kKeyUp}) {
        _event = e;
        // A callback may run a draw pass, which makes the handles anew, so the list is
        // copied before the callbacks run.
        const std::vector<Handle> handles = _handles;
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
            if (it->type != kKeyHandle || !it->callback) continue;
            if (it->callback(this, it->knob, it->index)) {
                if (e == kKey) taken = true;
                break;
            }
        }
    }
    return taken;
}

bool ViewerContext::is_selected(const Knob* knob, HandleCallback callback, int index) const {
    return _selection.count(keyOf(knob, callback, index)) != 0;
}

std::vector<int> ViewerContext::selected(const Knob* knob, HandleCallback callback) const {
    std::vector<int> out;
    const uintptr_t cb = reinterpret_cast<uintptr_t>(callback);
    for (const auto& [k, c, index] : _selection)
        if (k == knob && c == cb) out.push_back(index);
    std::sort(out.begin(), out.end());
    return out;
}

void ViewerContext::clear_selection(const Knob* knob) {
    for (auto it = _selection.begin(); it != _selection.end();)
        it = std::get<0>(*it) == knob ? _selection.erase(it) : std::next(it);
}

void ViewerContext::select(const Knob* knob, HandleCallback callback, int index) {
    _selection.insert(keyOf(knob, callback, index));
}

} // namespace Kx::Image
