// The host's own viewer handles: the draggable point of an XY knob, and the handle building
// that registers the knobs asking for one.
#include "Kx/Image/GL.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Op.h"
#include "Kx/Image/ViewerContext.h"

namespace Kx::Image {

namespace {

// Size of the drawn point, in viewer pixels.
constexpr float kCircleDiameter = 12.0f;
constexpr float kCrossHalf = 3.0f;

// A push on the point grabs it; dragging and releasing move the knob's value to the mouse.
bool dragPosition(ViewerContext* ctx, Knob* knob, int) {
    switch (ctx->event()) {
    case ViewerContext::kPush:
        return true;
    case ViewerContext::kDrag:
    case ViewerContext::kRelease:
        if (knob->value(0) != ctx->mouse_x()) knob->setValue(ctx->mouse_x(), 0);
        if (knob->value(1) != ctx->mouse_y()) knob->setValue(ctx->mouse_y(), 1);
        ctx->redraw();
        return true;
    default:
        return false;
    }
}

} // namespace

bool Knob::build_handle(ViewerContext*) {
    return _kind == KnobKind::XY && isEnabled() && isVisible() && !flag(KnobFlag::Invisible);
}

void Knob::draw_handle(ViewerContext* ctx) {
    if (_kind != KnobKind::XY || ctx->event() != ViewerContext::kDraw) return;
    const OutputContext& c = ctx->context();
    const float x = float(value(0, c.view(), c.frame())), y = float(value(1, c.view(), c.frame()));
    const float sx = float(c.scale_x()), sy = float(c.scale_y());
    glPushMatrix();
    glScalef(sx, sy, 1);
    glPushAttrib(GL_CURRENT_BIT | GL_LINE_BIT);
    glColor4f(0.35f, 0.85f, 1.0f, 1.0f);
    glLineWidth(1);
    ctx->begin_handle(ViewerContext::kPointHandle, this, &dragPosition, 0, x, y, 0, 0);
    // Full-size units, drawn at a constant size on screen.
    const float hx = kCrossHalf / sx, hy = kCrossHalf / sy;
    glBegin(GL_LINES);
    glVertex2f(x - hx, y);
    glVertex2f(x + hx, y);
    glVertex2f(x, y - hy);
    glVertex2f(x, y + hy);
    glEnd();
    glPopMatrix();
    glPushMatrix();
    // The circle is round on screen: drawn in viewer pixels about the point's viewer position.
    glTranslatef(x * sx, y * sy, 0);
    gl_circlef(0, 0, 0, kCircleDiameter);
    glPopMatrix();
    ctx->end_handle();
    glPopAttrib();
}

int Op::doAnyHandles(ViewerContext* ctx) {
    if (!_node || !panel_visible()) return kNoHandles;
    for (Knob* k : _node->knobs())
        if (!k->flag(KnobFlag::NoHandles) && k->build_handle(ctx)) return kHandles;
    return kNoHandles;
}

void Op::build_knob_handles(ViewerContext* ctx) {
    if (!_node) return;
    for (Knob* k : _node->knobs())
        if (!k->flag(KnobFlag::NoHandles) && k->build_handle(ctx)) ctx->add_knob_handle(k);
}

} // namespace Kx::Image
