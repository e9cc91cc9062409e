// The host's filter list: one table of kernels, evaluated directly, and a table of
// normalised weights over the subpixel phase per kernel for fast sampling.
#include "Kx/Image/Filter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

namespace Kx::Image {

namespace {

// The Mitchell-Netravali family of cubics with parameters B and C, radius 2.
template <int B12, int C12> // B and C in twelfths, so they can be template arguments
double mitchell(double d) {
    constexpr double B = B12 / 12.0, C = C12 / 12.0;
    const double x = std::abs(d);
    if (x < 1)
        return ((12 - 9 * B - 6 * C) * x * x * x + (-18 + 12 * B + 6 * C) * x * x + (6 - 2 * B)) /
               6;
    if (x < 2)
        return ((-B - 6 * C) * x * x * x + (6 * B + 30 * C) * x * x + (-12 * B - 48 * C) * x +
                (8 * B + 24 * C)) /
               6;
    return 0;
}

// sin(pi·x), exactly 0 at every integer x: the argument is reduced to [-0.5, 0.5] first,
// where sin has no rounding trouble.
double sinPi(double x) {
    const double n = std::nearbyint(x);
    const double r = x - n; // |r| <= 0.5, exact
    const double s = std::sin(std::numbers::pi * r);
    return std::fmod(n, 2.0) == 0 ? s : -s;
}

// sinc(x)·sinc(x / lobes) for |x| < lobes, the windowed sinc with that many lobes.
template <int Lobes> double lanczos(double d) {
    const double x = std::abs(d);
    if (x >= Lobes) return 0;
    if (x < 1e-8) return 1;
    constexpr double pi2 = std::numbers::pi * std::numbers::pi;
    return Lobes * sinPi(x) * sinPi(x / Lobes) / (pi2 * x * x);
}

// The pixel whose span [i, i + 1) holds the sample: d = i + 0.5 - p lies in (-0.5, 0.5].
double impulse(double d) {
    return d > -0.5 && d <= 0.5 ? 1.0 : 0.0;
}

double linear(double d) {
    return std::max(0.0, 1.0 - std::abs(d));
}

struct Kernel {
    const char* name;
    double radius;
    bool interpolating;
    double (*eval)(double);
    bool cubic; // a polynomial of degree 3 at most between whole-pixel knots, adding up to 1
};

// In type order.
constexpr Kernel kKernels[Filter::NumFilters] = {
    {"Impulse", 0.5, true, impulse, false},      {"Cubic", 2, true, mitchell<0, 6>, true},
    {"Keys", 2, true, mitchell<0, 6>, true},     {"Simon", 2, true, mitchell<0, 9>, true},
    {"Rifman", 2, true, mitchell<0, 12>, true},  {"Mitchell", 2, false, mitchell<4, 4>, true},
    {"Parzen", 2, false, mitchell<12, 0>, true}, {"Notch", 2, false, mitchell<18, -3>, true},
    {"Lanczos4", 2, true, lanczos<2>, false},    {"Lanczos6", 3, true, lanczos<3>, false},
    {"Sinc4", 4, true, lanczos<4>, false},       {"Linear", 1, true, linear, true},
};

// The weight tables of every type, built on first use.
struct WeightTable {
    int taps = 0;
    std::vector<float> rows;   // (kTablePhases + 1) rows of kTableStride weights, or none
    std::vector<float> slopes; // kTablePhases rows: each row of rows from the next one
    std::vector<float> poly;   // four coefficients per tap, or none
};

// The coefficients c0..c3 of the polynomial of degree 3 at most that g is on 0 <= f <= 1, from
// its values at f = 0, 1/3, 2/3 and 1, solved by Gaussian elimination. The kernels are
// continuous at their knots, so g's values at the ends are the polynomial's; and c0 is g(0)
// to the bit (the row of f = 0 is never changed by the others), so an interpolating kernel
// gives weights of exactly 0 and 1 at a pixel centre.
std::array<double, 4> cubicThrough(const std::function<double(double)>& g) {
    double m[4][5];
    for (int j = 0; j < 4; ++j) {
        const double f = j / 3.0;
        for (int k = 0; k < 4; ++k) m[j][k] = std::pow(f, k);
        m[j][4] = g(f);
    }
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int j = c + 1; j < 4; ++j)
            if (std::abs(m[j][c]) > std::abs(m[pivot][c])) pivot = j;
        std::swap(m[c], m[pivot]);
        for (int j = 0; j < 4; ++j) {
            if (j == c) continue;
            const double r = m[j][c] / m[c][c];
            for (int k = c; k < 5; ++k) m[j][k] -= r * m[c][k];
        }
    }
    return {m[0][4] / m[0][0], m[1][4] / m[1][1], m[2][4] / m[2][2], m[3][4] / m[3][3]};
}

const std::array<WeightTable, Filter::NumFilters>& weightTables() {
    static const std::array<WeightTable, Filter::NumFilters> tables = [] {
        std::array<WeightTable, Filter::NumFilters> all;
        for (int t = 0; t < Filter::NumFilters; ++t) {
            const Kernel& k = kKernels[t];
            if (t == Filter::Impulse) continue;
            WeightTable& table = all[size_t(t)];
            const int half = int(std::ceil(k.radius));
            table.taps = 2 * half;
            if (k.cubic) {
                // Tap i lies at distance i - (half - 1) - f from a sample at phase f.
                for (int i = 0; i < table.taps; ++i)
                    for (double c :
                         cubicThrough([&](double f) { return k.eval(i - (half - 1) - f); }))
                        table.poly.push_back(float(c));
                continue;
            }
            table.rows.assign(size_t(Filter::kTablePhases + 1) * Filter::kTableStride, 0.0f);
            // A sample at phase f sits f past the centre of tap half - 1, so tap i lies at
            // distance i - (half - 1) - f from it.
            for (int row = 0; row <= Filter::kTablePhases; ++row) {
                const double f = double(row) / Filter::kTablePhases;
                double v[Filter::kTableStride] = {}, sum = 0;
                for (int i = 0; i < table.taps; ++i) sum += v[i] = k.eval(i - (half - 1) - f);
                float* out = &table.rows[size_t(row) * Filter::kTableStride];
                for (int i = 0; i < table.taps; ++i) out[i] = float(v[i] / sum);
            }
            table.slopes.resize(size_t(Filter::kTablePhases) * Filter::kTableStride);
            for (size_t i = 0; i < table.slopes.size(); ++i)
                table.slopes[i] = table.rows[i + Filter::kTableStride] - table.rows[i];
        }
        return all;
    }();
    return tables;
}

} // namespace

void Filter::type(int t) {
    _type = t >= 0 && t < NumFilters ? t : Cubic;
}

void Filter::initialize() {
    type(_type);
}

const char* Filter::name() const {
    return kKernels[_type].name;
}
double Filter::radius() const {
    return kKernels[_type].radius;
}
bool Filter::interpolating() const {
    return kKernels[_type].interpolating;
}
double Filter::eval(double d) const {
    return kKernels[_type].eval(d);
}

Filter::Table Filter::table() const {
    const WeightTable& t = weightTables()[size_t(_type)];
    if (!t.taps) return Table{};
    if (t.rows.empty()) return Table{t.taps, nullptr, nullptr, t.poly.data()};
    return Table{t.taps, t.rows.data(), t.slopes.data(), nullptr};
}

const char* Filter::name(int type) {
    return type >= 0 && type < NumFilters ? kKernels[type].name : "";
}

const std::vector<std::string>& Filter::names() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> n;
        for (const Kernel& k : kKernels) n.emplace_back(k.name);
        return n;
    }();
    return list;
}

int Filter::weights(double p, double s, int& first, float* w, int capacity) const {
    if (capacity <= 0) return 0;
    if (_type == Impulse) {
        first = int(std::floor(p));
        w[0] = 1.0f;
        return 1;
    }
    s = std::max(s, 1.0);
    const Kernel& k = kKernels[_type];
    const double reach = k.radius * s;
    // Pixel centres strictly inside (p - reach, p + reach); the kernels are 0 at the edge.
    int lo = int(std::floor(p - reach - 0.5)) + 1;
    int n = int(std::ceil(p + reach - 0.5)) - lo;
    if (n > capacity) {
        // Too many taps for the caller's buffer: keep the capacity pixels nearest to p.
        lo = int(std::floor(p - capacity * 0.5 + 0.5));
        n = capacity;
    }
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        const double v = k.eval((lo + i + 0.5 - p) / s);
        w[i] = float(v);
        sum += v;
    }
    const double norm = 1.0 / sum;
    for (int i = 0; i < n; ++i) w[i] = float(w[i] * norm);
    first = lo;
    return n;
}

} // namespace Kx::Image
