// CornerPin2D: the homography of four corner pairs and the warp that resamples once.
#include "nodes/CornerPin2D.h"

#include <Kx/Image/Hash.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Row.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

using Quad = std::array<std::array<double, 2>, 4>;

// +1 or -1 when the quadrilateral is strictly convex and turns that way, else 0.
int convexTurn(const Quad& q) {
    int turn = 0;
    for (int i = 0; i < 4; ++i) {
        const auto& a = q[size_t(i)];
        const auto& b = q[size_t((i + 1) % 4)];
        const auto& c = q[size_t((i + 2) % 4)];
        const double cross = (b[0] - a[0]) * (c[1] - b[1]) - (b[1] - a[1]) * (c[0] - b[0]);
        const int s = cross > 0 ? 1 : cross < 0 ? -1 : 0;
        if (s == 0 || (turn != 0 && s != turn)) return 0;
        turn = s;
    }
    return turn;
}

// Maps (x, y) through a homography; false when the point goes to infinity or behind.
bool project(const Homography& h, double x, double y, double& ox, double& oy) {
    const double w = h[6] * x + h[7] * y + h[8];
    if (!(w > 1e-12)) return false;
    ox = (h[0] * x + h[1] * y + h[2]) / w;
    oy = (h[3] * x + h[4] * y + h[5]) / w;
    return std::isfinite(ox) && std::isfinite(oy);
}

} // namespace

std::optional<Homography> cornerPinHomography(const Quad& from, const Quad& to) {
    const int a = convexTurn(from), b = convexTurn(to);
    if (a == 0 || a != b) return std::nullopt;
    // h22 = 1; two equations per corner pair.
    Eigen::Matrix<double, 8, 8> m;
    Eigen::Matrix<double, 8, 1> v;
    for (int i = 0; i < 4; ++i) {
        const double x = from[size_t(i)][0], y = from[size_t(i)][1];
        const double u = to[size_t(i)][0], w = to[size_t(i)][1];
        m.row(2 * i) << x, y, 1, 0, 0, 0, -u * x, -u * y;
        m.row(2 * i + 1) << 0, 0, 0, x, y, 1, -w * x, -w * y;
        v(2 * i) = u;
        v(2 * i + 1) = w;
    }
    Eigen::FullPivLU<Eigen::Matrix<double, 8, 8>> lu(m);
    if (!lu.isInvertible()) return std::nullopt;
    const Eigen::Matrix<double, 8, 1> s = lu.solve(v);
    Homography h;
    for (int i = 0; i < 8; ++i) h[size_t(i)] = s(i);
    h[8] = 1.0;
    if (!std::all_of(h.begin(), h.end(), [](double e) { return std::isfinite(e); }))
        return std::nullopt;
    return h;
}

CornerPin2D::CornerPin2D(Node* node) : Iop(node) {
    const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    std::copy(&corners[0][0], &corners[0][0] + 8, &from[0][0]);
    std::copy(&corners[0][0], &corners[0][0] + 8, &to[0][0]);
}

const char* CornerPin2D::node_help() const {
    return "Warps the image so that the four 'from' corners land on the four 'to' corners "
           "(a projective transform, resampled once with the chosen filter).";
}

void CornerPin2D::knobs(Knob_Closure& f) {
    for (int i = 0; i < 4; ++i)
        xyKnob(f, to[i], kTo[i], kTo[i], {from[i][0], from[i][1]}, "where this corner goes");
    for (int i = 0; i < 4; ++i)
        xyKnob(f, from[i], kFrom[i], kFrom[i], {from[i][0], from[i][1]},
               "a corner of the input, in order around the quadrilateral");
    stringKnob(f, &_label, kLabel, "label", {}, "a note shown on the node");
    _filter.knobs(f, kFilter, "filter");
}

void CornerPin2D::append(Hash& h) {
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 2; ++c) {
            h.append(double(from[i][c]));
            h.append(double(to[i][c]));
        }
    h.append(_filter.type());
}

void CornerPin2D::_validate(bool for_real) {
    copy_info(0);
    _filter.initialize();
    Quad f, t;
    for (size_t i = 0; i < 4; ++i)
        for (size_t c = 0; c < 2; ++c) {
            f[i][c] = from[i][c];
            t[i][c] = to[i][c];
        }
    _identity = f == t;
    if (_identity) return;
    std::optional<Homography> forward = cornerPinHomography(f, t);
    std::optional<Homography> inverse = cornerPinHomography(t, f);
    if (!forward || !inverse) {
        _identity = true;
        if (for_real)
            message_f('!', "the corner pin is not a convex quadrilateral: the image passes "
                           "through unchanged; reorder the corners of from1-from4 or to1-to4");
        return;
    }
    _inverse = *inverse;
    // The output data box bounds the input box's corners mapped forward.
    const Box& in = info().box;
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    bool bounded = true;
    for (auto [x, y] :
         {std::pair{in.x(), in.y()}, {in.r(), in.y()}, {in.r(), in.t()}, {in.x(), in.t()}}) {
        double ox, oy;
        if (!project(*forward, x, y, ox, oy)) {
            bounded = false;
            break;
        }
        x0 = std::min(x0, ox), y0 = std::min(y0, oy), x1 = std::max(x1, ox), y1 = std::max(y1, oy);
    }
    const Format& fmt = info().format;
    if (bounded) {
        // Never more than the format's size beyond its edges, so a pin that stretches the image
        // towards the horizon does not ask for an unbounded area.
        // One more pixel on every side holds black, so that reads beyond the box, which
        // repeat its edge, read black.
        const double mx = fmt.width(), my = fmt.height();
        info().box =
            Box(int(std::floor(std::max(x0, -mx))) - 1, int(std::floor(std::max(y0, -my))) - 1,
                int(std::ceil(std::min(x1, 2 * mx))) + 1, int(std::ceil(std::min(y1, 2 * my))) + 1);
    } else {
        info().box = Box(fmt.x(), fmt.y(), fmt.r(), fmt.t());
    }
    info().black_outside = true;
}

void CornerPin2D::_request(int x, int y, int r, int t, ChannelSet channels, int count) {
    Iop* in = input_iop(0);
    if (!in) return;
    if (_identity)
        in->request(x, y, r, t, channels, count);
    else
        in->request(in->box(), channels, count);
}

void CornerPin2D::engine(int y, int x, int r, ChannelSet channels, Row& row) {
    Iop* in = input_iop(0);
    if (!in) {
        row.erase(channels);
        return;
    }
    if (_identity) {
        row.get(*in, y, x, r, channels);
        return;
    }
    for (Channel z : channels) row.writable(z);
    const Box& src = in->box();
    const double cy = y + 0.5;
    Pixel pixel(channels);
    for (int i = x; i < r; ++i) {
        const double cx = i + 0.5;
        double sx, sy, ax, ay, bx, by;
        const bool inside = project(_inverse, cx, cy, sx, sy) && sx >= src.x() && sx < src.r() &&
                            sy >= src.y() && sy < src.t();
        if (!inside) {
            for (Channel z : channels) row.writable(z)[i] = 0.0f;
            continue;
        }
        // The footprint of one output pixel in the input, from the neighbouring centres.
        if (!project(_inverse, cx + 1, cy, ax, ay)) ax = sx + 1, ay = sy;
        if (!project(_inverse, cx, cy + 1, bx, by)) bx = sx, by = sy + 1;
        pixel.erase();
        in->sample(float(sx), float(sy), float(ax - sx), float(ay - sy), float(bx - sx),
                   float(by - sy), &_filter, pixel);
        for (Channel z : channels) row.writable(z)[i] = pixel[z];
    }
}

namespace {
Op* build(Node* node) {
    return new CornerPin2D(node);
}
const Op::Description description(CornerPin2D::kClass, build);
} // namespace

} // namespace Kestrel::Nodes
