// OpenGL for viewer overlays: the GL 1.x immediate-mode API (glBegin, glVertex2f, glColor4f,
// glPushMatrix, glScalef, ...) and the host's drawing helpers.
//
// Overlays are drawn off-screen (OSMesa), so no display is needed. The viewer sets up the
// projection so that one GL unit is one pixel of the image the viewer shows (its proxy
// pixels), y upward, (0, 0) at the bottom-left corner of the image; see ViewerContext.h for
// the model-view a draw pass starts with.
#pragma once

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace Kx::Image {

// An RGBA8 off-screen GL buffer with its own context, rows bottom-up (row 0 at the bottom,
// as the host numbers image rows).
class OffscreenGL {
public:
    // Throws std::runtime_error when no context can be made (the message says which size).
    OffscreenGL(int width, int height);
    ~OffscreenGL();
    OffscreenGL(const OffscreenGL&) = delete;
    OffscreenGL& operator=(const OffscreenGL&) = delete;

    int width() const { return _width; }
    int height() const { return _height; }
    // Makes this buffer's context the current one of the calling thread.
    void makeCurrent();
    // Finishes drawing; the pixels are then up to date.
    void finish();
    // Pixel (x, y), bottom-up: red, green, blue, alpha in 0..255.
    const uint8_t* pixel(int x, int y) const {
        return &_pixels[(size_t(y) * size_t(_width) + size_t(x)) * 4];
    }
    const std::vector<uint8_t>& pixels() const { return _pixels; }

private:
    struct Context;
    int _width, _height;
    std::vector<uint8_t> _pixels;
    std::unique_ptr<Context> _context;
};

} // namespace Kx::Image

// Draws the outline of a circle of the given diameter centred at (x, y, z), in the current
// colour and model-view.
void gl_circlef(float x, float y, float z, float diameter);
