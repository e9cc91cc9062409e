// The context an op renders for: the frame (a double), the view, and the proxy scale and
// translation that map full-size pixels to the pixels being rendered
// (proxy = full * scale + translate).
//
// Views: the host keeps one ordered list of named views, numbered from 1; view 0 means
// "no view". A script or an input file defines the list; until one does it holds the
// single view "main". The list is process-wide, like the script it comes from.
#pragma once

#include <string>
#include <vector>

namespace Kx::Image {

class OutputContext {
public:
    OutputContext() = default;
    OutputContext(double frame, int view) : _frame(frame), _view(view) {}

    double frame() const { return _frame; }
    void setFrame(double f) { _frame = f; }
    int view() const { return _view; }
    void view(int v) { _view = v; }
    void setView(int v) { _view = v; }

    double scale_x() const { return _scaleX; }
    double scale_y() const { return _scaleY; }
    double translate_x() const { return _translateX; }
    double translate_y() const { return _translateY; }
    void proxyscale(double sx, double sy) { _scaleX = sx, _scaleY = sy; }
    void proxytranslate(double tx, double ty) { _translateX = tx, _translateY = ty; }
    bool proxy() const {
        return _scaleX != 1.0 || _scaleY != 1.0 || _translateX != 0 || _translateY != 0;
    }
    // Full-size position to proxy position and back.
    double to_proxy_x(double x) const { return x * _scaleX + _translateX; }
    double to_proxy_y(double y) const { return y * _scaleY + _translateY; }
    double from_proxy_x(double x) const { return (x - _translateX) / _scaleX; }
    double from_proxy_y(double y) const { return (y - _translateY) / _scaleY; }

    // The host's view list.
    static int viewcount(); // number of views + 1 (view 0 counts)
    static const char* viewname(int view);
    static int lookup_view(const std::string& name); // 0 when there is no such view
    static const std::vector<std::string>& views();
    static void setViews(const std::vector<std::string>& names);

    bool operator==(const OutputContext&) const = default;

private:
    double _frame = 1.0;
    int _view = 1;
    double _scaleX = 1.0, _scaleY = 1.0, _translateX = 0.0, _translateY = 0.0;
};

} // namespace Kx::Image
