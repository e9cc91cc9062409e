// The host's resampling filters.
//
// A filter is a kernel k(d) of the distance d from the sample point, with a support
// radius at unit footprint. Sampling an image at (x, y) with a footprint (w, h) weighs
// pixel centre (i + 0.5, j + 0.5) with k((i + 0.5 - x) / sx) · k((j + 0.5 - y) / sy),
// sx = max(w, 1), sy = max(h, 1), divided by the sum of the weights, so the weights of one
// sample always add up to 1. A footprint below one pixel never sharpens the kernel.
//
// The list (type: name):
//   0 "Impulse"    nearest pixel
//   1 "Cubic"      Keys cubic with B = 0, C = 0.5 (Catmull-Rom), radius 2, interpolating
//   2 "Keys"       Keys cubic with B = 0, C = 0.5 (the same kernel as Cubic)
//   3 "Simon"      Mitchell family B = 0, C = 0.75, radius 2, interpolating
//   4 "Rifman"     Mitchell family B = 0, C = 1.0, radius 2, interpolating
//   5 "Mitchell"   Mitchell-Netravali B = C = 1/3, radius 2 (smooths slightly)
//   6 "Parzen"     cubic B-spline, radius 2: smooth and never negative, for vector data
//                  such as disparity and motion
//   7 "Notch"      Mitchell family B = 1.5, C = -0.25 (a strong blur)
//   8 "Lanczos4"   two-lobe windowed sinc, radius 2
//   9 "Lanczos6"   three-lobe windowed sinc, radius 3 (six pixels wide)
//  10 "Sinc4"      four-lobe windowed sinc, radius 4
//  11 "Linear"     triangle, radius 1 (bilinear interpolation)
// "Interpolating" filters have k(0) = 1 and k(n) = 0 at every other integer n, so sampling
// exactly at a pixel centre returns that pixel.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace Kx::Image {

class Knob;
class Knob_Closure;

class Filter {
public:
    enum Type {
        Impulse = 0,
        Cubic,
        Keys,
        Simon,
        Rifman,
        Mitchell,
        Parzen,
        Notch,
        Lanczos4,
        Lanczos6,
        Sinc4,
        Linear,
        NumFilters
    };

    explicit Filter(int type = Cubic) { this->type(type); }

    int type() const { return _type; }
    // Chooses the kernel; an unknown type falls back to Cubic.
    void type(int t);
    // Readies the filter for sampling from many threads at once: a type stored from a
    // script or a knob that is not in the list falls back to Cubic. Call it after the knobs
    // were stored and before sampling.
    void initialize();
    const char* name() const;
    // Support radius at unit footprint.
    double radius() const;
    bool interpolating() const;
    // The kernel itself.
    double eval(double d) const;

    // Weights for the pixels around a sample at position p (pixel units, centres at
    // i + 0.5) with footprint scale s (below 1 counts as 1): the pixel centres closer to p
    // than radius() · s, weighed by eval((i + 0.5 - p) / s). Fills weights for columns
    // first..first+n-1 and returns n; the weights add up to 1. Impulse gives the single
    // pixel that contains p (first = floor(p)). When more than capacity pixels are in reach
    // only the capacity pixels nearest to p are used. Allocates nothing.
    int weights(double p, double s, int& first, float* weights, int capacity) const;

    // ---- weight table, for sampling many points fast ----
    // The weights of a sample at unit footprint as a function of the sample's phase f within a
    // pixel (0 <= f <= 1). The cubics (Cubic to Notch) and Linear are polynomials of degree 3
    // at most between whole-pixel knots, so each tap's weight is one such polynomial of f: the
    // table holds its four coefficients, and its weights are weights()' up to float rounding
    // (they add up to 1 without normalising, as every kernel of the family does). The others
    // are tabulated: for each of kTablePhases + 1 phases f = k / kTablePhases the taps pixels
    // around it, weighed and normalised as weights() does; a sample at p takes the two phases
    // around its own and interpolates linearly. The kernels are smooth between their knots,
    // so a tabulated weight differs from weights() by a few 1e-6 at most (the kernel's
    // curvature times (1 / kTablePhases)² / 8). Tables are built once per type and read-only
    // after, so a Table may be used from any thread. Impulse, whose step would not
    // interpolate, has neither and gives its one pixel directly.
    static constexpr int kTablePhases = 256;
    // Entries per table row: the taps of the widest kernel (Sinc4); zero past taps.
    static constexpr int kTableStride = 8;

    struct Table {
        int taps = 1;                // 2 · ceil(radius()); 1 for Impulse
        const float* rows = nullptr; // kTablePhases + 1 rows of kTableStride; null unless tabulated
        // kTablePhases rows of kTableStride: row k + 1 of rows less row k, in float, so that
        // interpolating between the two takes one read fewer; null unless tabulated.
        const float* slopes = nullptr;
        // Per tap the coefficients c0..c3 of its weight c0 + f·(c1 + f·(c2 + f·c3)), taps
        // groups of four; null unless the kernel is a polynomial between its knots.
        const float* poly = nullptr;

        // The first of the taps pixels in reach of a sample at p (pixel units, centres at
        // i + 0.5), floor(p - 0.5) - taps / 2 + 1 (floor(p) for Impulse), and their weights,
        // kTableStride of them, zero past taps; they add up to 1 within float rounding. p
        // must be finite and within ±2^22, so that it keeps a fraction.
        int weights(float p, float* w) const {
            if (!rows && !poly) {
                for (int i = 0; i < kTableStride; ++i) w[i] = i == 0 ? 1.0f : 0.0f;
                return int(std::floor(p));
            }
            const float q = p - 0.5f, fl = std::floor(q);
            if (poly) {
                const float f = q - fl;
                for (int i = 0; i < taps; ++i) {
                    const float* c = poly + 4 * i;
                    w[i] = c[0] + f * (c[1] + f * (c[2] + f * c[3]));
                }
                for (int i = taps; i < kTableStride; ++i) w[i] = 0.0f;
                return int(fl) - taps / 2 + 1;
            }
            // Exact: the phase is a float in [0, 1) and the scale a power of two.
            const float at = (q - fl) * float(kTablePhases);
            const int row = int(at) < kTablePhases ? int(at) : kTablePhases - 1;
            const float a = at - float(row);
            const float* lo = rows + row * kTableStride;
            const float* d = slopes + row * kTableStride;
            for (int i = 0; i < kTableStride; ++i) w[i] = lo[i] + a * d[i];
            return int(fl) - taps / 2 + 1;
        }
    };
    // The table of this filter's type.
    Table table() const;

    // The name of a type; "" for a number outside the list.
    // Declares the filter's enumeration knob (the filter names in type order); its value is
    // stored straight into this filter's type.
    Knob* knobs(Knob_Closure& f, const char* name = "filter", const char* label = "filter");

    static const char* name(int type);
    static int count() { return NumFilters; }
    // Names in type order, for enumeration knobs.
    static const std::vector<std::string>& names();

private:
    int _type = Cubic;
};

} // namespace Kx::Image
