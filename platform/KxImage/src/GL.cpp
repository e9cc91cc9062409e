// Off-screen GL buffers through OSMesa, and the host's drawing helpers.
#include "Kx/Image/GL.h"

#include <GL/osmesa.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace Kx::Image {

struct OffscreenGL::Context {
    OSMesaContext handle = nullptr;
};

OffscreenGL::OffscreenGL(int width, int height)
    : _width(width), _height(height), _context(std::make_unique<Context>()) {
    if (width < 1 || height < 1)
        throw std::runtime_error("cannot draw overlays into a " + std::to_string(width) + " x " +
                                 std::to_string(height) + " buffer: the image is empty");
    _pixels.assign(size_t(width) * size_t(height) * 4, 0);
    _context->handle = OSMesaCreateContextExt(OSMESA_RGBA, 16, 0, 0, nullptr);
    if (!_context->handle)
        throw std::runtime_error("cannot make an off-screen OpenGL context (OSMesa) for the "
                                 "viewer overlays");
    makeCurrent();
}

OffscreenGL::~OffscreenGL() {
    if (_context->handle) OSMesaDestroyContext(_context->handle);
}

void OffscreenGL::makeCurrent() {
    if (!OSMesaMakeCurrent(_context->handle, _pixels.data(), GL_UNSIGNED_BYTE, _width, _height))
        throw std::runtime_error("cannot draw into the off-screen OpenGL buffer of " +
                                 std::to_string(_width) + " x " + std::to_string(_height) +
                                 " pixels");
}

void OffscreenGL::finish() {
    glFinish();
}

} // namespace Kx::Image

void gl_circlef(float x, float y, float z, float diameter) {
    // Enough segments that the outline looks round at the size drawn, never fewer than 12.
    const float radius = diameter * 0.5f;
    const int segments = std::max(12, int(std::ceil(radius * 2.0f)));
    glBegin(GL_LINE_LOOP);
    for (int i = 0; i < segments; ++i) {
        const double a = 2.0 * M_PI * double(i) / double(segments);
        glVertex3f(x + radius * float(std::cos(a)), y + radius * float(std::sin(a)), z);
    }
    glEnd();
}
