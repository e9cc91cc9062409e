// Viewer handles: draw passes and event delivery.
#include "Kx/Image/ViewerContext.h"

#include "Kx/Image/Knob.h"
#include "Kx/Image/Op.h"

namespace Kx::Image {

void ViewerContext::draw() {
    int previous = _event;
    _event = kDraw;
    _handles.clear();
    for (Op* op : _drawOps) op->draw_handle(this);
    for (Knob* k : _drawKnobs) k->draw_handle(this);
    _event = previous;
}

void ViewerContext::begin_handle(int type, Knob* knob, HandleCallback callback, int index, float x,
                                 float y, float z, int cursor) {
    _handles.push_back(Handle{type, callback, knob, index, x, y, z, cursor});
    _open = true;
}

bool ViewerContext::deliver(int e) {
    _event = e;
    for (auto it = _handles.rbegin(); it != _handles.rend(); ++it)
        if (it->callback && it->callback(this, it->knob, it->index)) return true;
    return false;
}

} // namespace Kx::Image
