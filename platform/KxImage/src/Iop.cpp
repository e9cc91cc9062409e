// Iop: output info, requests, and reading rows and samples through the kept area.
#include "Kx/Image/Iop.h"
#include "Kx/Image/SampleRowPath.h"

#include "EngineCache.h"
#include "Kx/Image/Engine.h"
#include "Kx/Image/Filter.h"

#include <oneapi/tbb/collaborative_call_once.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KX_SAMPLE_AVX2 1
#endif

namespace Kx::Image {

namespace {

// A sample() call with this filter is answered by Iop::sample() with a mark of the op it
// was called on, and nothing else: it tells whether an op's sample() ends in its own read.
Filter& probeFilter() {
    static Filter f(Filter::Impulse);
    return f;
}
thread_local const Iop* t_probed = nullptr;

// One channel that a row of samples fills: the kept pixel at the kept area's corner (null
// when the op lacks the channel) and the row's buffer, indexed by point.
struct Lane {
    const float* origin;
    float* out;
};

// The points of a row and what they read: the kept area, its row length, the table.
struct RowJob {
    const std::shared_ptr<const Plane>& plane;
    const Box& box;
    size_t stride;
    Filter::Table table;
    const float* xs;
    const float* ys;
    int n;
    const Lane* lanes;
    int nLanes;
};

#ifdef KX_SAMPLE_AVX2
// Pixels 0..n - 1 of four channel rows (the fourth advancing by step floats a pixel, 0 for
// a row of zeros) as RGBA pixels at out, eight at a time; returns the pixels done.
__attribute__((target("avx2,fma"))) int interleave4(const float* const* in, size_t step, int n,
                                                    float* out) {
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256 a = _mm256_loadu_ps(in[0] + x), b = _mm256_loadu_ps(in[1] + x),
                     c = _mm256_loadu_ps(in[2] + x);
        const __m256 d = step ? _mm256_loadu_ps(in[3] + x) : _mm256_setzero_ps();
        // Pixels 0, 1 | 4, 5 and 2, 3 | 6, 7 of the low and high pairs of channels.
        const __m256 ab0 = _mm256_unpacklo_ps(a, b), ab1 = _mm256_unpackhi_ps(a, b);
        const __m256 cd0 = _mm256_unpacklo_ps(c, d), cd1 = _mm256_unpackhi_ps(c, d);
        const __m256 p04 = _mm256_shuffle_ps(ab0, cd0, 0x44),
                     p15 = _mm256_shuffle_ps(ab0, cd0, 0xee);
        const __m256 p26 = _mm256_shuffle_ps(ab1, cd1, 0x44),
                     p37 = _mm256_shuffle_ps(ab1, cd1, 0xee);
        float* o = out + 4 * size_t(x);
        _mm256_storeu_ps(o, _mm256_permute2f128_ps(p04, p15, 0x20));
        _mm256_storeu_ps(o + 8, _mm256_permute2f128_ps(p26, p37, 0x20));
        _mm256_storeu_ps(o + 16, _mm256_permute2f128_ps(p04, p15, 0x31));
        _mm256_storeu_ps(o + 24, _mm256_permute2f128_ps(p26, p37, 0x31));
    }
    return x;
}
#endif

// Kept rows with the channels of each pixel side by side, as RGBA: a point's row of T taps is
// then one run of 4T floats instead of a run in each channel's plane, so a 6 x 6 point reads
// 6 runs instead of 24, and one 8-wide register holds two pixels of taps. Each thread keeps
// its own band of up to kBandRows rows of the kept area it samples last (rows that a row of
// output points reads are mostly read again by the next row of output), at most kBandBytes:
// a row is laid out when a block of points first needs it, in slot row % capacity. The band
// serves 3 or 4 channels (a 3-channel band pads the fourth with zeros); a block whose points
// span more rows than the band holds reads the planes. Both give the same values to the bit.
constexpr int kBandRows = 128;
constexpr size_t kBandBytes = size_t(8) << 20;

struct Band {
    std::weak_ptr<const Plane> plane;
    const float* origin[4] = {};
    int nLanes = 0;
    Box box;
    size_t stride = 0;
    int width = 0;    // pixels per row: the kept area's
    int capacity = 0; // rows; 0 when the band cannot serve the kept area
    std::vector<float> pixels;
    std::vector<int> held; // the kept row (from the area's bottom) in each slot, or -1

    // Readies the band for the job's kept area and channels, dropping the rows of another.
    bool serve(const RowJob& job) {
        if (job.nLanes < 3 || job.nLanes > 4) return false;
        const std::shared_ptr<const Plane> had = plane.lock();
        bool same =
            had == job.plane && nLanes == job.nLanes && box == job.box && stride == job.stride;
        for (int c = 0; same && c < nLanes; ++c) same = origin[c] == job.lanes[c].origin;
        if (same) return capacity > 0;
        plane = job.plane;
        nLanes = job.nLanes;
        box = job.box;
        stride = job.stride;
        for (int c = 0; c < 4; ++c) origin[c] = c < nLanes ? job.lanes[c].origin : nullptr;
        width = box.w();
        const size_t rowBytes = size_t(width) * 4 * sizeof(float);
        // A power of two, so that a row's slot is a mask away.
        const size_t fit =
            std::min<size_t>(size_t(kBandRows), rowBytes ? kBandBytes / rowBytes : 0);
        capacity = 1;
        while (size_t(capacity) * 2 <= fit) capacity *= 2;
        // Too few rows for a block of points to fit: the planes serve better.
        if (capacity < 16) capacity = 0;
        // No more slots than a power of two holding every row of a short kept area.
        while (capacity / 2 >= box.h()) capacity /= 2;
        pixels.resize(size_t(capacity) * size_t(width) * 4);
        pixels.shrink_to_fit();
        held.assign(size_t(capacity), -1);
        return capacity > 0;
    }

    // The interleaved row r of the kept area (counted from its bottom), laid out if needed.
    const float* row(int r) {
        const size_t slot = size_t(r & (capacity - 1));
        float* out = pixels.data() + slot * size_t(width) * 4;
        if (held[slot] != r) {
            const size_t at = size_t(r) * stride;
            const float zero = 0.0f;
            const float* in[4];
            for (int c = 0; c < 4; ++c) in[c] = c < nLanes ? origin[c] + at : &zero;
            const size_t step = nLanes == 4 ? 1 : 0;
            int x = 0;
#ifdef KX_SAMPLE_AVX2
            x = interleave4(in, step, width, out);
#endif
            for (; x < width; ++x) {
                out[4 * x] = in[0][x];
                out[4 * x + 1] = in[1][x];
                out[4 * x + 2] = in[2][x];
                out[4 * x + 3] = in[3][size_t(x) * step];
            }
            held[slot] = r;
        }
        return out;
    }
};

thread_local Band t_band;

// The thread's band, out of line: inlined into the row kernel, the compiler looked the
// thread-local up again at each row the band laid out (in a shared library, a call each time)
// rather than keep its address in a register.
__attribute__((noinline)) Band& threadBand() {
    return t_band;
}

// A position moved into the kept area widened by more than any filter's reach, where every
// tap of a farther position would read the same edge pixels; NaN goes to the low end.
constexpr float kReach = 8.0f;
float clampPosition(float p, int lo, int hi) {
    const float l = float(lo) - kReach, h = float(hi) + kReach;
    return p > l ? (p < h ? p : h) : l;
}

// The weighted sum of T x T kept pixels, rows at offsets oy from origin, columns at ox.
template <int T>
float weighedSum(const float* origin, const int* ox, const size_t* oy, const float* wx,
                 const float* wy) {
    float sum = 0.0f;
    for (int j = 0; j < T; ++j) {
        const float* row = origin + oy[j];
        float line = 0.0f;
        for (int i = 0; i < T; ++i) line += wx[i] * row[ox[i]];
        sum += wy[j] * line;
    }
    return sum;
}

// Point k of a row with T taps, reading edge pixels for taps beyond the kept area.
template <int T> void samplePointClamped(const RowJob& job, int k, float px, float py) {
    const Box& b = job.box;
    float wx[Filter::kTableStride], wy[Filter::kTableStride];
    const int fx = job.table.weights(px, wx), fy = job.table.weights(py, wy);
    int ox[T];
    size_t oy[T];
    for (int i = 0; i < T; ++i) ox[i] = b.clampx(fx + i) - b.x();
    for (int j = 0; j < T; ++j) oy[j] = size_t(b.clampy(fy + j) - b.y()) * job.stride;
    for (int l = 0; l < job.nLanes; ++l)
        job.lanes[l].out[k] = weighedSum<T>(job.lanes[l].origin, ox, oy, wx, wy);
}

template <int T> void sampleRowScalar(const RowJob& job) {
    const Box& b = job.box;
    for (int k = 0; k < job.n; ++k)
        samplePointClamped<T>(job, k, clampPosition(job.xs[k], b.x(), b.r()),
                              clampPosition(job.ys[k], b.y(), b.t()));
}

#ifdef KX_SAMPLE_AVX2
// The weights of eight points from their phases f, for a table of polynomials with at most
// four taps: each tap's polynomial over the eight points at once, then turned into four
// weights a point, stored at w[0..7] (lanes past the taps are zero).
__attribute__((target("avx2,fma"), always_inline)) inline void
polyWeights8(const Filter::Table& t, __m256 f, float (*w)[Filter::kTableStride]) {
    __m256 v[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        if (i >= t.taps) {
            v[i] = _mm256_setzero_ps();
            continue;
        }
        const float* c = t.poly + 4 * i;
        __m256 h = _mm256_fmadd_ps(f, _mm256_set1_ps(c[3]), _mm256_set1_ps(c[2]));
        h = _mm256_fmadd_ps(f, h, _mm256_set1_ps(c[1]));
        v[i] = _mm256_fmadd_ps(f, h, _mm256_set1_ps(c[0]));
    }
    // Taps 0, 1 and 2, 3 of points 0, 1 | 4, 5 and 2, 3 | 6, 7, then the four taps of each.
    const __m256 a0 = _mm256_unpacklo_ps(v[0], v[1]), a1 = _mm256_unpackhi_ps(v[0], v[1]);
    const __m256 b0 = _mm256_unpacklo_ps(v[2], v[3]), b1 = _mm256_unpackhi_ps(v[2], v[3]);
    const __m256 p04 = _mm256_shuffle_ps(a0, b0, 0x44), p15 = _mm256_shuffle_ps(a0, b0, 0xee);
    const __m256 p26 = _mm256_shuffle_ps(a1, b1, 0x44), p37 = _mm256_shuffle_ps(a1, b1, 0xee);
    _mm_store_ps(w[0], _mm256_castps256_ps128(p04));
    _mm_store_ps(w[1], _mm256_castps256_ps128(p15));
    _mm_store_ps(w[2], _mm256_castps256_ps128(p26));
    _mm_store_ps(w[3], _mm256_castps256_ps128(p37));
    _mm_store_ps(w[4], _mm256_extractf128_ps(p04, 1));
    _mm_store_ps(w[5], _mm256_extractf128_ps(p15, 1));
    _mm_store_ps(w[6], _mm256_extractf128_ps(p26, 1));
    _mm_store_ps(w[7], _mm256_extractf128_ps(p37, 1));
}

// f(e) for each e of the sequence, e a constant of each call, as an instruction's immediate
// operand needs.
template <class F, int... E>
__attribute__((always_inline)) inline void forEachConstant(const F& f,
                                                           std::integer_sequence<int, E...>) {
    (f(std::integral_constant<int, E>{}), ...);
}

// Filter::Table::weights of the n <= 32 positions from p on, eight at a time: the clamp of
// clampPosition, the first tap and the phase as vector steps over the points; then for a
// table of polynomials each tap's polynomial over the eight points at once, else the table
// row and the fraction past it, and the table row of each point and its slope to the next
// interpolated in one vector step. The clamped positions go to c, the first taps to first, the
// weights to w (of a polynomial table only the first four of each point), all indexed by point and
// with room for n rounded up to a multiple of eight. Returns the points whose taps all lie in
// lo..hi - 1, as bit k for point k. The table must have rows or polynomials.
__attribute__((target("avx2,fma"))) uint32_t tableWeightsRun(const Filter::Table& t, const float* p,
                                                             int n, int lo, int hi, float* c,
                                                             int* first,
                                                             float (*w)[Filter::kTableStride]) {
    const __m256 low = _mm256_set1_ps(float(lo) - kReach),
                 high = _mm256_set1_ps(float(hi) + kReach);
    const __m256 half = _mm256_set1_ps(0.5f), phases = _mm256_set1_ps(float(Filter::kTablePhases));
    const __m256i last = _mm256_set1_epi32(Filter::kTablePhases - 1);
    const __m256i back = _mm256_set1_epi32(t.taps / 2 - 1);
    // A first tap f keeps every tap inside when lo <= f <= hi - taps, that is when neither
    // lo - 1 >= f nor f >= hi - taps + 1.
    const __m256i below = _mm256_set1_epi32(lo), above = _mm256_set1_epi32(hi - t.taps);
    // Held here: the stores of the weights could otherwise be taken to change the table.
    const float* const rows = t.rows;
    const float* const slopes = t.slopes;
    uint32_t inside = 0;
    for (int k = 0; k < n; k += 8) {
        // The last group of a short run is padded with zeros.
        alignas(32) float in[8];
        if (k + 8 > n) std::fill(std::copy(p + k, p + n, in), in + 8, 0.0f);
        const __m256 raw = k + 8 <= n ? _mm256_loadu_ps(p + k) : _mm256_load_ps(in);
        // max gives its second operand for a NaN, so NaN goes to the low end.
        const __m256 v = _mm256_min_ps(_mm256_max_ps(raw, low), high);
        _mm256_store_ps(c + k, v);
        const __m256 q = _mm256_sub_ps(v, half), fl = _mm256_floor_ps(q);
        const __m256i f = _mm256_sub_epi32(_mm256_cvttps_epi32(fl), back);
        _mm256_store_si256(reinterpret_cast<__m256i*>(first + k), f);
        const __m256i out =
            _mm256_or_si256(_mm256_cmpgt_epi32(below, f), _mm256_cmpgt_epi32(f, above));
        inside |= uint32_t(~_mm256_movemask_ps(_mm256_castsi256_ps(out)) & 0xff) << k;
        if (t.poly) {
            polyWeights8(t, _mm256_sub_ps(q, fl), w + k);
            continue;
        }
        const __m256 at = _mm256_mul_ps(_mm256_sub_ps(q, fl), phases);
        const __m256i r = _mm256_min_epi32(_mm256_cvttps_epi32(at), last);
        const __m256 frac = _mm256_sub_ps(at, _mm256_cvtepi32_ps(r));
        // The table offsets of the rows two points at a time and the fractions, straight from
        // the registers: read back from memory, each would wait for the vector's store to be
        // forwarded.
        const __m256i o8 = _mm256_slli_epi32(r, 3);
        const __m128i o0 = _mm256_castsi256_si128(o8), o4 = _mm256_extracti128_si256(o8, 1);
        const uint64_t pair[4] = {
            uint64_t(_mm_cvtsi128_si64(o0)), uint64_t(_mm_extract_epi64(o0, 1)),
            uint64_t(_mm_cvtsi128_si64(o4)), uint64_t(_mm_extract_epi64(o4, 1))};
        // Each point's fraction across a register by one in-lane shuffle of the half that
        // holds it, copied to both lanes.
        const __m256 fracs[2] = {_mm256_permute2f128_ps(frac, frac, 0x00),
                                 _mm256_permute2f128_ps(frac, frac, 0x11)};
        const auto each = [&](auto point) __attribute__((target("avx2,fma"))) {
            constexpr int e = decltype(point)::value;
            const size_t o = uint32_t(pair[e / 2] >> (32 * (e & 1)));
            const __m256 a = _mm256_permute_ps(fracs[e / 4], (e & 3) * 0x55);
            _mm256_store_ps(w[k + e], _mm256_fmadd_ps(a, _mm256_loadu_ps(slopes + o),
                                                      _mm256_loadu_ps(rows + o)));
        };
        forEachConstant(each, std::make_integer_sequence<int, 8>{});
    }
    return n < 32 ? inside & ((1u << n) - 1) : inside;
}

// The sums across of a point's C <= 4 channels, as [c0, c1, c2, c3], zero past C: in lanes 0
// and 1 of m[c] the weighted taps of the point's even and of its odd columns, added.
template <int C>
__attribute__((target("avx2,fma"), always_inline)) inline __m128 evenPlusOdd(const __m128* m) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 m0 = m[0], m1 = C > 1 ? m[1] : zero, m2 = C > 2 ? m[2] : zero,
                 m3 = C > 3 ? m[3] : zero;
    const __m128 low = _mm_unpacklo_ps(m0, m1), high = _mm_unpacklo_ps(m2, m3);
    return _mm_add_ps(_mm_movelh_ps(low, high), _mm_movehl_ps(high, low));
}

// The weighted taps of one point in C <= 4 channels at once, from the kept pixel at offset
// at of each channel's origin on, rows stride apart: per row of taps one broadcast of its
// vertical weight and one vector load per channel (4 lanes up to 4 taps, 8 up to 8), C
// independent sums; then per channel the weighted sums of its columns, the even columns in
// one lane and the odd ones in the next, each a chain of fused multiply-adds from the first
// column pair on (lanes past the taps never enter them, so a NaN or an infinity there cannot
// leak in), and the two lanes added, as [c0, c1, c2, c3], zero past C.
template <int T, int C>
__attribute__((target("avx2,fma"))) inline __m128
pointTaps(const float* const* origin, size_t at, size_t stride, const float* wx, const float* wy) {
    __m128 m[C];
    if constexpr (T <= 4) {
        __m128 acc[C];
        const __m128 w0 = _mm_broadcast_ss(wy);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) acc[c] = _mm_mul_ps(w0, _mm_loadu_ps(origin[c] + at));
#pragma GCC unroll 8
        for (int j = 1; j < T; ++j) {
            const __m128 wj = _mm_broadcast_ss(wy + j);
            const size_t o = at + size_t(j) * stride;
#pragma GCC unroll 4
            for (int c = 0; c < C; ++c)
                acc[c] = _mm_fmadd_ps(wj, _mm_loadu_ps(origin[c] + o), acc[c]);
        }
        const __m128 h = _mm_load_ps(wx), h2 = _mm_movehl_ps(h, h);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) {
            m[c] = _mm_mul_ps(acc[c], h);
            if constexpr (T > 2) m[c] = _mm_fmadd_ps(_mm_movehl_ps(acc[c], acc[c]), h2, m[c]);
        }
    } else {
        __m256 acc[C];
        const __m256 w0 = _mm256_broadcast_ss(wy);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) acc[c] = _mm256_mul_ps(w0, _mm256_loadu_ps(origin[c] + at));
#pragma GCC unroll 8
        for (int j = 1; j < T; ++j) {
            const __m256 wj = _mm256_broadcast_ss(wy + j);
            const size_t o = at + size_t(j) * stride;
#pragma GCC unroll 4
            for (int c = 0; c < C; ++c)
                acc[c] = _mm256_fmadd_ps(wj, _mm256_loadu_ps(origin[c] + o), acc[c]);
        }
        const __m256 h = _mm256_load_ps(wx);
        const __m128 h0 = _mm256_castps256_ps128(h), h4 = _mm256_extractf128_ps(h, 1);
        const __m128 h2 = _mm_movehl_ps(h0, h0), h6 = _mm_movehl_ps(h4, h4);
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) {
            const __m128 a0 = _mm256_castps256_ps128(acc[c]), a4 = _mm256_extractf128_ps(acc[c], 1);
            m[c] = _mm_mul_ps(a0, h0);
            m[c] = _mm_fmadd_ps(_mm_movehl_ps(a0, a0), h2, m[c]);
            m[c] = _mm_fmadd_ps(a4, h4, m[c]);
            if constexpr (T > 6) m[c] = _mm_fmadd_ps(_mm_movehl_ps(a4, a4), h6, m[c]);
        }
    }
    return evenPlusOdd<C>(m);
}

// The points of a block whose taps are all inside the kept area (bit k of inside for the
// block's point k), [c0, c1, c2, c3] of point e given by taps(e), into the first C of the
// channel rows out. Four consecutive such points are turned from four channels of a point
// into four points of a channel and stored at once.
template <int C, class Taps>
__attribute__((target("avx2,fma"), always_inline)) inline void
storePoints(uint32_t inside, float* const* out, Taps&& taps) {
    while (inside) {
        const int e = __builtin_ctz(inside);
        if (((inside >> e) & 0xf) == 0xf) {
            __m128 v[4];
#pragma GCC unroll 4
            for (int q = 0; q < 4; ++q) v[q] = taps(e + q);
            _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
#pragma GCC unroll 4
            for (int c = 0; c < C; ++c) _mm_storeu_ps(out[c] + e, v[c]);
            inside &= ~(0xfu << e);
            continue;
        }
        alignas(16) float v[4];
        _mm_store_ps(v, taps(e));
#pragma GCC unroll 4
        for (int c = 0; c < C; ++c) out[c][e] = v[c];
        inside &= inside - 1;
    }
}

// pointTaps of a block's points from the planes of C channels.
template <int T, int C> struct PlaneTaps {
    const float* const* origin;
    size_t stride;
    const Box& box;
    const int* fx;
    const int* fy;
    const float (*wx)[Filter::kTableStride];
    const float (*wy)[Filter::kTableStride];

    __attribute__((target("avx2,fma"), always_inline)) __m128 operator()(int e) const {
        const size_t at = size_t(fy[e] - box.y()) * stride + size_t(fx[e] - box.x());
        return pointTaps<T, C>(origin, at, stride, wx[e], wy[e]);
    }
};

// The points of a block whose taps are all inside the kept area (bit k of inside for the
// block's point k), in the C lanes from job.lanes[lane] on, read from the planes.
template <int T, int C>
__attribute__((target("avx2,fma"))) void
blockChannels(const RowJob& job, int lane, int k0, uint32_t inside, const int* fx, const int* fy,
              const float (*wx)[Filter::kTableStride], const float (*wy)[Filter::kTableStride]) {
    const float* origin[C];
    float* out[C];
    for (int c = 0; c < C; ++c) {
        origin[c] = job.lanes[lane + c].origin;
        out[c] = job.lanes[lane + c].out + k0;
    }
    storePoints<C>(inside, out, PlaneTaps<T, C>{origin, job.stride, job.box, fx, fy, wx, wy});
}

// pointTaps<T, 4> on a band: the weighted taps of one point from its T rows of interleaved
// pixels, at pixel offset at in each, as [c0, c1, c2, c3]. Two pixels of taps per register:
// per row of taps its vertical weight across a register and T / 2 loads, T / 2 independent
// sums; then the sums times the horizontal weights of their two pixels, chained by fused
// multiply-adds, which leaves the even columns' sum in the low half and the odd columns' in
// the high half, as pointTaps has them in lanes 0 and 1; the halves added. The two give the
// same values to the bit.
template <int T>
__attribute__((target("avx2,fma"), always_inline)) inline __m128
bandTaps(const float* const* rows, size_t at, const float* wx, const float* wy) {
    constexpr int P = T / 2;
    __m256 acc[P];
    // The vertical weights four at a time in both lanes, each spread across a register by an
    // in-lane shuffle: the loads of the pixels leave the load ports few cycles to spare.
    const __m256 wys[2] = {
        _mm256_broadcast_ps(reinterpret_cast<const __m128*>(wy)),
        _mm256_broadcast_ps(reinterpret_cast<const __m128*>(wy + (T > 4 ? 4 : 0)))};
    const auto row = [&](auto tap) __attribute__((target("avx2,fma"))) {
        constexpr int j = decltype(tap)::value;
        const __m256 wj = _mm256_permute_ps(wys[j / 4], (j & 3) * 0x55);
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
            const __m256 v = _mm256_loadu_ps(rows[j] + at + 8 * p);
            acc[p] = j == 0 ? _mm256_mul_ps(wj, v) : _mm256_fmadd_ps(wj, v, acc[p]);
        }
    };
    forEachConstant(row, std::make_integer_sequence<int, T>{});
    const __m256 h = _mm256_load_ps(wx);
    __m256 m = _mm256_setzero_ps();
#pragma GCC unroll 4
    for (int p = 0; p < P; ++p) {
        const __m256i pick = _mm256_setr_epi32(2 * p, 2 * p, 2 * p, 2 * p, 2 * p + 1, 2 * p + 1,
                                               2 * p + 1, 2 * p + 1);
        const __m256 hp = _mm256_permutevar8x32_ps(h, pick);
        m = p == 0 ? _mm256_mul_ps(acc[p], hp) : _mm256_fmadd_ps(acc[p], hp, m);
    }
    return _mm_add_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
}

// bandTaps of a block's points from the table of its rows, rows[0] being the kept row below.
// A point's T row addresses are looked up only where its first row differs from the point
// before's: along a row of output the first row changes every few dozen points, and the
// lookups would otherwise take the load ports the taps need.
template <int T> struct BandTaps {
    const float* const* rows;
    int below;
    int left;
    const int* fx;
    const int* fy;
    const float (*wx)[Filter::kTableStride];
    const float (*wy)[Filter::kTableStride];
    int held = -1;
    const float* at[T] = {};

    __attribute__((target("avx2,fma"), always_inline)) __m128 operator()(int e) {
        if (fy[e] != held) {
            held = fy[e];
#pragma GCC unroll 8
            for (int j = 0; j < T; ++j) at[j] = rows[held - below + j];
        }
        return bandTaps<T>(at, size_t(fx[e] - left) * 4, wx[e], wy[e]);
    }
};

// blockChannels over a band: the points of a block whose taps are all inside the kept area,
// their rows of taps from the band's rows first..first + span - 1, in every lane of the job.
template <int T>
__attribute__((target("avx2,fma"))) void
blockBand(const RowJob& job, Band& band, int first, int span, int k0, uint32_t inside,
          const int* fx, const int* fy, const float (*wx)[Filter::kTableStride],
          const float (*wy)[Filter::kTableStride]) {
    const Box& b = job.box;
    const float* rows[kBandRows];
    for (int r = 0; r < span; ++r) rows[r] = band.row(first + r);
    float* out[4];
    for (int c = 0; c < job.nLanes; ++c) out[c] = job.lanes[c].out + k0;
    const int below = b.y() + first; // the kept row of rows[0]
    BandTaps<T> taps{rows, below, b.x(), fx, fy, wx, wy};
    if (job.nLanes == 4)
        storePoints<4>(inside, out, taps);
    else
        storePoints<3>(inside, out, taps);
}

// Asks the cache for the kept pixels that the points k..k+n-1 of a row will read, a block
// before they are read. A warp that turns the image walks its rows of taps diagonally through
// the planes: every few dozen points a new row of taps starts, in every channel, where the
// processor's own prefetching has not looked yet. The box of the first and the last point
// stands for the block's; a block that spreads over more than a few rows or lines (a strong
// turn or a minification, or positions off the image) is left to the hardware.
template <int T>
__attribute__((target("avx2,fma"))) void prefetchBlock(const RowJob& job, int k, int n) {
    const Box& b = job.box;
    const float x0 = job.xs[k], x1 = job.xs[k + n - 1], y0 = job.ys[k], y1 = job.ys[k + n - 1];
    const float lo = std::min(x0, x1), hi = std::max(x0, x1);
    const float bottom = std::min(y0, y1), top = std::max(y0, y1);
    // Also false for NaN.
    if (!(hi - lo < 64.0f && top - bottom < 8.0f && lo > float(b.x()) && hi < float(b.r()) &&
          bottom > float(b.y()) && top < float(b.t())))
        return;
    const int c0 = std::max(b.x(), int(lo) - T / 2), c1 = std::min(b.r() - 1, int(hi) + T / 2);
    const int r0 = std::max(b.y(), int(bottom) - T / 2), r1 = std::min(b.t() - 1, int(top) + T / 2);
    for (int l = 0; l < job.nLanes; ++l)
        for (int r = r0; r <= r1; ++r) {
            const float* row = job.lanes[l].origin + size_t(r - b.y()) * job.stride;
            for (int c = c0; c <= c1 + 15; c += 16)
                _mm_prefetch(reinterpret_cast<const char*>(row + std::min(c, c1) - b.x()),
                             _MM_HINT_T0);
        }
}

// sampleRowScalar with AVX2 and FMA for the points whose taps are all inside the kept area
// (the padding of the kept rows holds the spare lanes of the vector loads), in blocks: the
// weights of a block's points first, then up to four channels at a time over the block, so
// that each row of taps of a point is found once for all of them.
template <int T> __attribute__((target("avx2,fma"))) void sampleRowAvx2(const RowJob& job) {
    constexpr int kBlock = 32;
    const Box& b = job.box;
    // Cleared once: a polynomial table fills only the first four weights of a point.
    alignas(32) float wx[kBlock][Filter::kTableStride] = {}, wy[kBlock][Filter::kTableStride] = {};
    alignas(32) float px[kBlock], py[kBlock];
    alignas(32) int fx[kBlock], fy[kBlock];
    Band& band = threadBand();
    const bool banded = T >= 2 && band.serve(job);
    for (int k0 = 0; k0 < job.n; k0 += kBlock) {
        const int n = std::min(kBlock, job.n - k0);
        // Four taps or fewer read too few rows for the prefetch to pay (measured).
        if (T >= 6 && !banded && k0 + kBlock < job.n)
            prefetchBlock<T>(job, k0 + kBlock, std::min(kBlock, job.n - k0 - kBlock));
        const uint32_t inside =
            tableWeightsRun(job.table, job.xs + k0, n, b.x(), b.r(), px, fx, wx) &
            tableWeightsRun(job.table, job.ys + k0, n, b.y(), b.t(), py, fy, wy);
        const uint32_t all = n < 32 ? (1u << n) - 1 : ~0u;
        for (uint32_t edge = all & ~inside; edge; edge &= edge - 1) {
            const int e = __builtin_ctz(edge);
            samplePointClamped<T>(job, k0 + e, px[e], py[e]);
        }
        if (banded && inside) {
            // The rows of taps of the block's inside points, from the band if they fit.
            // Over every point of the block, held within the rows that inside points start
            // at: wider than the inside points' own span only where the block meets an edge.
            const __m256i bottom = _mm256_set1_epi32(b.y()), top = _mm256_set1_epi32(b.t() - T);
            __m256i lo = top, hi = bottom;
            for (int e = 0; e < n; e += 8) {
                const __m256i f = _mm256_min_epi32(
                    _mm256_max_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(fy + e)),
                                     bottom),
                    top);
                lo = _mm256_min_epi32(lo, f);
                hi = _mm256_max_epi32(hi, f);
            }
            alignas(32) int l8[8], h8[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(l8), lo);
            _mm256_store_si256(reinterpret_cast<__m256i*>(h8), hi);
            const int low = *std::min_element(l8, l8 + 8), high = *std::max_element(h8, h8 + 8);
            const int span = high - low + T;
            if (span <= band.capacity) {
                blockBand<T>(job, band, low - b.y(), span, k0, inside, fx, fy, wx, wy);
                continue;
            }
        }
        for (int l = 0; l < job.nLanes; l += 4) {
            switch (std::min(4, job.nLanes - l)) {
            case 1:
                blockChannels<T, 1>(job, l, k0, inside, fx, fy, wx, wy);
                break;
            case 2:
                blockChannels<T, 2>(job, l, k0, inside, fx, fy, wx, wy);
                break;
            case 3:
                blockChannels<T, 3>(job, l, k0, inside, fx, fy, wx, wy);
                break;
            default:
                blockChannels<T, 4>(job, l, k0, inside, fx, fy, wx, wy);
            }
        }
    }
}

bool haveAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}
#endif

// Whether the user asked for the reference path through KX_SIMD, read once at start.
bool referenceFromEnvironment() {
    const char* v = std::getenv("KX_SIMD");
    if (!v || !*v || std::strcmp(v, "avx2") == 0) return false;
    if (std::strcmp(v, "sse2") == 0) return true;
    std::fprintf(stderr,
                 "KX_SIMD=%s is not a known instruction set; use KX_SIMD=sse2 for the reference "
                 "path or avx2 (the default); the processor's choice stays\n",
                 v);
    return false;
}

std::atomic<bool>& onReferencePath() {
    static std::atomic<bool> reference{referenceFromEnvironment()};
    return reference;
}

bool useAvx2() {
#ifdef KX_SAMPLE_AVX2
    return haveAvx2() && !onReferencePath().load(std::memory_order_relaxed);
#else
    return false;
#endif
}

template <int T> void sampleRowTaps(const RowJob& job) {
#ifdef KX_SAMPLE_AVX2
    if ((job.table.rows || job.table.poly) && useAvx2()) return sampleRowAvx2<T>(job);
#endif
    sampleRowScalar<T>(job);
}

} // namespace

// The area an op rendered. The engine's store owns it while its budget allows, and the op
// only looks it up (weakly), so the budget bounds what every op together holds; an area the
// store does not take (empty, in error, interrupted, or larger than the whole budget) is
// owned here, by this op instance alone, until the host releases the instance.
struct Iop::Keep {
    tbb::collaborative_once_flag once;
    std::weak_ptr<const Plane> stored;
    std::shared_ptr<const Plane> own;

    std::shared_ptr<const Plane> held() const { return own ? own : stored.lock(); }
};

Iop::Iop(Node* node) : Op(node), _keep(std::make_shared<Keep>()) {}

Iop::~Iop() = default;

void Iop::copy_info(int input) {
    if (Iop* in = input_iop(input)) {
        in->validate(real_valid());
        _info = in->info();
    } else {
        clear_info(); // a disconnected input gives an empty image, not a stale one
    }
}

void Iop::_validate(bool for_real) {
    Op::_validate(for_real);
    copy_info(0);
}

std::shared_ptr<Iop::Keep> Iop::currentKeep() {
    std::lock_guard lock(_keepMutex);
    return _keep;
}

void Iop::dropKeep(const std::shared_ptr<Keep>& seen) {
    std::lock_guard lock(_keepMutex);
    if (!seen || _keep == seen) _keep = std::make_shared<Keep>();
}

void Iop::request(int x, int y, int r, int t, const ChannelSet& channels, int count) {
    Box area(x, y, r, t);
    if (!_requested) {
        _requestedBox = area;
        _requestedChannels = channels;
        _requestedCount = count;
        _requested = true;
    } else {
        _requestedBox.merge(area);
        _requestedChannels += channels;
        _requestedCount += count;
    }
    // A kept area made for an earlier, smaller request is made again on the next read, so
    // that what this request adds is rendered too.
    const std::shared_ptr<Keep> keep = currentKeep();
    if (auto kept = keep->held()) {
        Box wanted = _requestedBox;
        wanted.intersect(box());
        Box covered = kept->box;
        covered.merge(wanted);
        if (!kept->channels.contains(_requestedChannels & this->channels()) ||
            !(covered == kept->box))
            dropKeep(keep);
    }
    _request(x, y, r, t, channels, count);
}

void Iop::_request(int x, int y, int r, int t, ChannelSet channels, int count) {
    if (Iop* in = input_iop(0)) in->request(x, y, r, t, channels, count);
}

void Iop::_invalidate() {
    _requested = false;
    _requestedBox = Box();
    _requestedChannels.clear();
    _requestedCount = 0;
    dropKeep(nullptr);
}

void Iop::_close() {
    dropKeep(nullptr);
}

std::shared_ptr<const Plane> Iop::plane() {
    for (;;) {
        const std::shared_ptr<Keep> keep = currentKeep();
        std::shared_ptr<const Plane> made;
        tbb::collaborative_call_once(keep->once, [&] {
            Box area = box();
            ChannelSet wanted = channels();
            if (_requested) {
                area.intersect(_requestedBox);
                wanted &= _requestedChannels;
            }
            if (hasError()) area = Box();
            _open();
            if (!area.empty() && !wanted.empty())
                if (auto passed = passArea(area, wanted)) {
                    keep->own = made = std::move(passed);
                    return;
                }
            bool stored = false;
            made = EngineCache::render(*this, area, wanted, stored);
            if (stored)
                keep->stored = made;
            else
                keep->own = made;
        });
        if (made) return made;
        if (auto kept = keep->held()) return kept;
        // The store let the area go to stay within its budget: render it again.
        dropKeep(keep);
    }
}

std::shared_ptr<const Plane> Iop::passArea(const Box&, const ChannelSet&) {
    return nullptr;
}

std::shared_ptr<const Plane> Iop::passInput(Iop* input, const Box& area, const ChannelSet& channels,
                                            const ChannelSet& zero) {
    if (!input) return nullptr;
    const std::shared_ptr<const Plane> from = input->plane();
    Box covered = from->box;
    covered.merge(area);
    if (from->box.empty() || !(covered == from->box) || !from->channels.contains(channels - zero))
        return nullptr;
    return Plane::window(from, area, channels, zero);
}

std::shared_ptr<const Plane> Plane::window(const std::shared_ptr<const Plane>& from,
                                           const Box& area, const ChannelSet& channels,
                                           const ChannelSet& zero) {
    auto w = std::make_shared<Plane>();
    w->box = area;
    w->channels = channels;
    w->stride = from->stride;
    w->index.assign(size_t(kMaxChannels) + 1, -1);
    const size_t offset =
        size_t(area.y() - from->box.y()) * from->stride + size_t(area.x() - from->box.x());
    for (Channel z : channels - zero) {
        const int i = size_t(z) < from->index.size() ? from->index[size_t(z)] : -1;
        if (i < 0) continue;
        w->index[size_t(z)] = int(w->data.size());
        // Shares the source plane's ownership of its memory, pointing into it.
        const std::shared_ptr<const float>& m = from->data[size_t(i)].memory;
        w->data.push_back({std::shared_ptr<const float>(m, m.get() + offset)});
    }
    return w;
}

void Iop::get(int y, int x, int r, const ChannelSet& channels, Row& row) {
    if (r <= x) return;
    auto kept = plane();
    const Box& b = box();
    if (hasError() || b.empty()) {
        row.erase(channels);
        return;
    }
    const int yy = b.clampy(y);
    const int x0 = b.clampx(x), x1 = b.clampx(r - 1) + 1;
    const Box& pb = kept->box;
    if (kept->channels.contains(channels & this->channels()) && yy >= pb.y() && yy < pb.t() &&
        x0 >= pb.x() && x1 <= pb.r())
        copyFromPlane(*kept, yy, x, r, channels, row);
    else
        renderDirect(y, x, r, channels, row);
}

void Iop::copyFromPlane(const Plane& p, int y, int x, int r, const ChannelSet& channels, Row& row) {
    const Box& b = box();
    for (Channel z : channels) {
        float* out = row.writable(z);
        const float* src = p.row(z, y);
        if (!src) {
            std::fill(out + x, out + r, 0.0f);
            continue;
        }
        const int lo = std::max(x, b.x()), hi = std::min(r, b.r());
        if (hi > lo) std::memcpy(out + lo, src + lo, size_t(hi - lo) * 4);
        for (int i = x; i < std::min(r, b.x()); ++i) out[i] = src[b.x()];
        for (int i = std::max(x, b.r()); i < r; ++i) out[i] = src[b.r() - 1];
    }
}

void Iop::renderDirect(int y, int x, int r, const ChannelSet& channels, Row& row) {
    const Box& b = box();
    const ChannelSet have = channels & this->channels();
    for (Channel z : channels - have) row.erase(z);
    if (have.empty()) return;
    const int yy = b.clampy(y);
    // A row inside the data box in x is rendered straight into the caller's row; only a row
    // reaching past it needs the box's own columns first, to repeat the edge pixels from.
    if (x >= b.x() && r <= b.r()) {
        engine(yy, x, r, have, row);
        return;
    }
    const int x0 = b.clampx(x), x1 = b.clampx(r - 1) + 1;
    // The box's columns within the row's own: rendered in place, the edge pixels repeated
    // from there outwards.
    if (x0 >= x && x1 <= r) {
        engine(yy, x0, x1, have, row);
        for (Channel z : have) {
            float* out = row.writable(z);
            std::fill(out + x, out + x0, out[x0]);
            std::fill(out + x1, out + r, out[x1 - 1]);
        }
        return;
    }
    Row tmp(x0, x1);
    engine(yy, x0, x1, have, tmp);
    for (Channel z : have) {
        float* out = row.writable(z);
        const float* src = tmp[z];
        const int lo = std::max(x, x0), hi = std::min(r, x1);
        if (hi > lo) std::memcpy(out + lo, src + lo, size_t(hi - lo) * 4);
        for (int i = x; i < std::min(r, x0); ++i) out[i] = src[x0];
        for (int i = std::max(x, x1); i < r; ++i) out[i] = src[x1 - 1];
    }
}

void Iop::sample(float cx, float cy, float w, float h, Filter* filter, Pixel& out) {
    if (filter == &probeFilter()) {
        t_probed = this;
        return;
    }
    auto kept = plane();
    const Box& pb = kept->box;
    if (hasError() || pb.empty()) {
        for (Channel z : out.channels()) out[z] = 0.0f;
        return;
    }
    Filter fallback(Filter::Cubic);
    const Filter& f = filter ? *filter : fallback;
    // Wide footprints are capped so the weights fit the buffers; such footprints only
    // come from extreme minification, where the capped filter still averages correctly.
    constexpr int kCap = 512;
    const double maxScale = (kCap - 2) / (2.0 * std::max(f.radius(), 0.5));
    float wx[kCap], wy[kCap];
    int fx = 0, fy = 0;
    const int nx = f.weights(cx, std::min(std::max(double(w), 1.0), maxScale), fx, wx, kCap);
    const int ny = f.weights(cy, std::min(std::max(double(h), 1.0), maxScale), fy, wy, kCap);
    for (Channel z : out.channels()) {
        if (!kept->channels.contains(z)) {
            out[z] = 0.0f;
            continue;
        }
        double sum = 0.0;
        for (int j = 0; j < ny; ++j) {
            if (wy[j] == 0.0f) continue;
            const float* src = kept->row(z, pb.clampy(fy + j));
            double line = 0.0;
            for (int i = 0; i < nx; ++i) line += double(wx[i]) * src[pb.clampx(fx + i)];
            sum += line * wy[j];
        }
        out[z] = float(sum);
    }
}

void Iop::sample(float cx, float cy, float dux, float duy, float dvx, float dvy, Filter* filter,
                 Pixel& out) {
    sample(cx, cy, std::fabs(dux) + std::fabs(dvx), std::fabs(duy) + std::fabs(dvy), filter, out);
}

bool Iop::samplesKeptArea() {
    t_probed = nullptr;
    Pixel probe;
    sample(0.5f, 0.5f, 1.0f, 1.0f, &probeFilter(), probe);
    return t_probed == this;
}

bool sampleRowOnReferencePath(bool reference) {
    onReferencePath().store(reference);
    return useAvx2();
}

bool sampleRowUsesAvx2() {
    return useAvx2();
}

void Iop::sampleRow(const float* xs, const float* ys, int x, int r, const ChannelSet& channels,
                    const Filter* filter, Row& row) {
    if (r <= x) return;
    const Filter f = filter ? *filter : Filter(Filter::Cubic);
    if (!samplesKeptArea()) {
        Filter copy = f;
        Pixel pixel(channels);
        for (int i = x; i < r; ++i) {
            sample(xs[i - x], ys[i - x], 1.0f, 1.0f, &copy, pixel);
            for (Channel z : channels) row.writable(z)[i] = pixel[z];
        }
        return;
    }
    auto kept = plane();
    const Plane& p = *kept;
    const bool none = hasError() || p.box.empty();
    Lane lanes[kMaxChannels];
    int nLanes = 0;
    for (Channel z : channels) {
        float* out = row.writable(z);
        const int i = !none && z < int(p.index.size()) ? p.index[size_t(z)] : -1;
        if (i < 0)
            std::fill(out + x, out + r, 0.0f);
        else
            lanes[nLanes++] = {p.data[size_t(i)].data(), out + x};
    }
    if (nLanes == 0) return;
    const RowJob job{kept, p.box, p.stride, f.table(), xs, ys, r - x, lanes, nLanes};
    switch (job.table.taps) {
    case 1:
        return sampleRowTaps<1>(job);
    case 2:
        return sampleRowTaps<2>(job);
    case 4:
        return sampleRowTaps<4>(job);
    case 6:
        return sampleRowTaps<6>(job);
    default:
        return sampleRowTaps<8>(job);
    }
}

} // namespace Kx::Image
