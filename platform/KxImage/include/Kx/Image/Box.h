// Pixel boxes and image formats.
//
// Coordinates are pixels with x to the right and y upward; row 0 is the bottom row of
// the image. A box covers the pixels x <= i < r, y <= j < t; the centre of pixel (i, j)
// is (i + 0.5, j + 0.5). A format is the full frame an image belongs to: a box from
// (0, 0) to (width, height) plus the pixel aspect ratio and an optional name.
#pragma once

#include <algorithm>
#include <string>

namespace Kx::Image {

class Box {
public:
    constexpr Box() = default;
    constexpr Box(int x, int y, int r, int t) : _x(x), _y(y), _r(r), _t(t) {}

    constexpr int x() const { return _x; }
    constexpr int y() const { return _y; }
    constexpr int r() const { return _r; }
    constexpr int t() const { return _t; }
    constexpr int w() const { return _r - _x; }
    constexpr int h() const { return _t - _y; }
    constexpr void x(int v) { _x = v; }
    constexpr void y(int v) { _y = v; }
    constexpr void r(int v) { _r = v; }
    constexpr void t(int v) { _t = v; }
    constexpr void set(int x, int y, int r, int t) { _x = x, _y = y, _r = r, _t = t; }
    constexpr void set(const Box& b) { *this = b; }

    // True when the box covers no pixel.
    constexpr bool empty() const { return _r <= _x || _t <= _y; }

    // Grows the box to contain b (an empty b leaves it unchanged, an empty box becomes b).
    constexpr void merge(const Box& b) {
        if (b.empty()) return;
        if (empty()) {
            *this = b;
            return;
        }
        _x = std::min(_x, b._x), _y = std::min(_y, b._y);
        _r = std::max(_r, b._r), _t = std::max(_t, b._t);
    }
    constexpr void merge(int x, int y, int r, int t) { merge(Box(x, y, r, t)); }

    // Shrinks the box to its overlap with b; no overlap leaves an empty box.
    constexpr void intersect(const Box& b) {
        _x = std::max(_x, b._x), _y = std::max(_y, b._y);
        _r = std::min(_r, b._r), _t = std::min(_t, b._t);
        if (_r < _x) _r = _x;
        if (_t < _y) _t = _y;
    }
    constexpr void pad(int d) { _x -= d, _y -= d, _r += d, _t += d; }
    constexpr void move(int dx, int dy) { _x += dx, _r += dx, _y += dy, _t += dy; }

    // Nearest column / row inside the box; an empty box answers its left column / bottom row
    // (never one past an edge at the end of the int range).
    constexpr int clampx(int v) const {
        return v < _x ? _x : v >= _r ? (_r > _x ? _r - 1 : _x) : v;
    }
    constexpr int clampy(int v) const {
        return v < _y ? _y : v >= _t ? (_t > _y ? _t - 1 : _y) : v;
    }

    constexpr bool contains(int px, int py) const {
        return px >= _x && px < _r && py >= _y && py < _t;
    }

    constexpr bool operator==(const Box&) const = default;

private:
    int _x = 0, _y = 0, _r = 0, _t = 0;
};

class Format : public Box {
public:
    Format() = default;
    Format(int width, int height, double pixelAspect = 1.0, std::string name = {})
        : Box(0, 0, width, height), _width(width), _height(height), _pixelAspect(pixelAspect),
          _name(std::move(name)) {}

    int width() const { return _width; }
    int height() const { return _height; }
    double pixel_aspect() const { return _pixelAspect; }
    const std::string& name() const { return _name; }
    void width(int w) { _width = w, r(x() + w); }
    void height(int h) { _height = h, t(y() + h); }
    void pixel_aspect(double a) { _pixelAspect = a; }
    void name(std::string n) { _name = std::move(n); }

    bool operator==(const Format& o) const {
        return Box::operator==(o) && _width == o._width && _height == o._height &&
               _pixelAspect == o._pixelAspect && _name == o._name;
    }

private:
    int _width = 0, _height = 0;
    double _pixelAspect = 1.0;
    std::string _name;
};

// A full-size format and the (possibly proxy-scaled) format in use. A pair whose formats
// have zero size stands for "no format chosen" ("none").
struct FormatPair {
    Format fullSizeFormat;
    Format format;
    bool isNone() const { return format.width() <= 0 || format.height() <= 0; }
};

} // namespace Kx::Image
