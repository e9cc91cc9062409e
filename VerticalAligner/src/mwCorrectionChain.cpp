#include "mwCorrectionChain.h"

#include "mwAlignmentModel.h"
#include "mwLatlongPoint.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KX_PROJECT_AVX 1
#endif

namespace Marrow::Research {

using Eigen::Vector2d;
using Eigen::Vector2f;
using Kx::Image::Box;
using Vireon::VireonAlignmentSampler;

namespace {

constexpr double kFailed = -100000.0;

// Floors and ceilings of four mapped corners (bottom-left, bottom-right, top-right, top-left),
// truncated to integers, as an outer box.
Box cornerBox(const Vector2d c[4]) {
    return Box(boxEdge(std::min(std::floor(c[0].x()), std::floor(c[3].x())), true),
               boxEdge(std::min(std::floor(c[0].y()), std::floor(c[1].y())), true),
               boxEdge(std::max(std::ceil(c[1].x()), std::ceil(c[2].x())), false),
               boxEdge(std::max(std::ceil(c[2].y()), std::ceil(c[3].y())), false));
}

// The inverse of the zoom and of the skew box's width, which every point divides by: a
// multiplication by the reciprocal costs a fraction of a division, and toSource() and the rows
// both use the reciprocal, so that they stay the same to the bit.
double reciprocal(double d) {
    return 1.0 / d;
}

// The skew's vertical offset at the point u across and v up the skew's box (0 to 1 over it),
// bilinear between the offsets k of its corners.
double skewAt(const Eigen::Vector4d& k, double u, double v) {
    return (k[0] * (1.0 - u) + k[1] * u) * (1.0 - v) + (k[2] * (1.0 - u) + k[3] * u) * v;
}

// The homography H applied to (x, y, 1), divided through by its weight once: the weight's
// reciprocal times each coordinate. A point of weight 0 keeps its position.
Vector2d project(const Eigen::Matrix3d& H, double x, double y) {
    const double hx = H(0, 0) * x + H(0, 1) * y + H(0, 2);
    const double hy = H(1, 0) * x + H(1, 1) * y + H(1, 2);
    const double hw = H(2, 0) * x + H(2, 1) * y + H(2, 2);
    if (hw == 0.0) return Vector2d(x, y);
    const double r = 1.0 / hw;
    return Vector2d(hx * r, hy * r);
}

// toSource() in Rectilinear space along one output row: what stays the same along the
// row (its y after the zoom, the skew's v) is worked out once; a point's own steps are the
// same operations in the same order as toSource(), so every position is its to the bit.
struct RowChain {
    bool offset = false, scale = false, align = false, skew = false;
    double shift = 0, cx = 0, fit = 1; // the parallax offset, the zoom centre's x, 1 / the zoom
    double y = 0, v = 0;               // the row's y after the zoom; the skew's v there
    double bx = 0, bw = 1;             // the sampler box's left edge, 1 / its width
    Eigen::Vector4d k = Eigen::Vector4d::Zero();
    Eigen::Matrix3d H = Eigen::Matrix3d::Identity();

    // The source position of the pixel centre x (the float column plus one half, widened).
    void point(double x, float& rx, float& ry) const {
        if (offset) x -= shift;
        if (scale) x = cx + (x - cx) * fit;
        if (!align) {
            rx = float(x);
            ry = float(y);
            return;
        }
        double yi = y;
        if (skew) yi += skewAt(k, (x - bx) * bw, v);
        const Vector2d q = project(H, x, yi);
        rx = float(q.x());
        ry = float(q.y());
    }

    // point() of the columns at..at+n-1 into rx[0..n-1], ry[0..n-1].
    void run(int at, int n, float* rx, float* ry) const {
#ifdef KX_PROJECT_AVX
        static const bool avx = __builtin_cpu_supports("avx");
        if (avx) return runAvx(at, n, rx, ry);
#endif
        for (int i = 0; i < n; ++i) point(double(float(at + i) + 0.5f), rx[i], ry[i]);
    }

#ifdef KX_PROJECT_AVX
    // runAvxSteps for the steps that apply, chosen once for the row rather than at each column.
    // The skew is a step of the alignment: without it, there is none to apply.
    __attribute__((target("avx"))) void runAvx(int at, int n, float* rx, float* ry) const {
        using Run = void (RowChain::*)(int, int, float*, float*) const;
        static constexpr Run runs[6] = {
            &RowChain::runAvxSteps<false, false, false>, &RowChain::runAvxSteps<false, true, false>,
            &RowChain::runAvxSteps<true, false, false>,  &RowChain::runAvxSteps<true, false, true>,
            &RowChain::runAvxSteps<true, true, false>,   &RowChain::runAvxSteps<true, true, true>};
        const int steps = align ? 2 + (scale ? 2 : 0) + (skew ? 1 : 0) : (scale ? 1 : 0);
        (this->*runs[steps])(at, n, rx, ry);
    }

    // point() four columns at a time, with the same products, sums and division (no fused
    // multiply-add, so no rounding is skipped). A row without skew has the same y at every
    // column, so the homography's products with it are taken once for the row: the same
    // values. An offset that does not apply subtracts 0, which leaves x as it is.
    template <bool Align, bool Scale, bool Skew>
    __attribute__((target("avx"))) void runAvxSteps(int at, int n, float* rx, float* ry) const {
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        const __m256d vs = _mm256_set1_pd(offset ? shift : 0.0), vcx = _mm256_set1_pd(cx),
                      vfit = _mm256_set1_pd(fit), vy = _mm256_set1_pd(y);
        const __m256d vbx = _mm256_set1_pd(bx), vbw = _mm256_set1_pd(bw);
        const __m256d nv = _mm256_set1_pd(1.0 - v), vv = _mm256_set1_pd(v);
        const __m256d k0 = _mm256_set1_pd(k[0]), k1 = _mm256_set1_pd(k[1]),
                      k2 = _mm256_set1_pd(k[2]), k3 = _mm256_set1_pd(k[3]);
        const __m256d h00 = _mm256_set1_pd(H(0, 0)), h01 = _mm256_set1_pd(H(0, 1)),
                      h02 = _mm256_set1_pd(H(0, 2)), h10 = _mm256_set1_pd(H(1, 0)),
                      h11 = _mm256_set1_pd(H(1, 1)), h12 = _mm256_set1_pd(H(1, 2)),
                      h20 = _mm256_set1_pd(H(2, 0)), h21 = _mm256_set1_pd(H(2, 1)),
                      h22 = _mm256_set1_pd(H(2, 2));
        const __m256d y0 = _mm256_mul_pd(h01, vy), y1 = _mm256_mul_pd(h11, vy),
                      y2 = _mm256_mul_pd(h21, vy);
        // The pixel centres float(column) + 0.5f, as point() is given them, as a running value:
        // within +-2^22 the float holds the half exactly and the sums of the double are exact,
        // so each centre is the one point() gets. A row reaching beyond goes through point().
        constexpr int kExact = 1 << 22;
        const int groups = at >= -kExact && at + n <= kExact ? n : 0;
        __m256d centre =
            _mm256_add_pd(_mm256_set1_pd(double(at)), _mm256_set_pd(3.5, 2.5, 1.5, 0.5));
        const __m256d four = _mm256_set1_pd(4.0);
        int i = 0;
        for (; i + 4 <= groups; i += 4, centre = _mm256_add_pd(centre, four)) {
            __m256d x = _mm256_sub_pd(centre, vs);
            if constexpr (Scale) x = _mm256_add_pd(vcx, _mm256_mul_pd(_mm256_sub_pd(x, vcx), vfit));
            if constexpr (!Align) {
                _mm_storeu_ps(rx + i, _mm256_cvtpd_ps(x));
                _mm_storeu_ps(ry + i, _mm256_cvtpd_ps(vy));
                continue;
            }
            __m256d t0, t1, t2;
            if constexpr (Skew) {
                const __m256d u = _mm256_mul_pd(_mm256_sub_pd(x, vbx), vbw);
                const __m256d nu = _mm256_sub_pd(one, u);
                const __m256d low = _mm256_add_pd(_mm256_mul_pd(k0, nu), _mm256_mul_pd(k1, u));
                const __m256d high = _mm256_add_pd(_mm256_mul_pd(k2, nu), _mm256_mul_pd(k3, u));
                const __m256d yi = _mm256_add_pd(
                    vy, _mm256_add_pd(_mm256_mul_pd(low, nv), _mm256_mul_pd(high, vv)));
                t0 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h00, x), _mm256_mul_pd(h01, yi)),
                                   h02);
                t1 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h10, x), _mm256_mul_pd(h11, yi)),
                                   h12);
                t2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h20, x), _mm256_mul_pd(h21, yi)),
                                   h22);
            } else {
                t0 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h00, x), y0), h02);
                t1 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h10, x), y1), h12);
                t2 = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h20, x), y2), h22);
            }
            // A column of weight 0 keeps its position: a group that holds one, which no real
            // alignment has, goes through point().
            if (_mm256_movemask_pd(_mm256_cmp_pd(t2, zero, _CMP_EQ_OQ))) {
                for (int e = 0; e < 4; ++e)
                    point(double(float(at + i + e) + 0.5f), rx[i + e], ry[i + e]);
                continue;
            }
            const __m256d rw = _mm256_div_pd(one, t2);
            _mm_storeu_ps(rx + i, _mm256_cvtpd_ps(_mm256_mul_pd(t0, rw)));
            _mm_storeu_ps(ry + i, _mm256_cvtpd_ps(_mm256_mul_pd(t1, rw)));
        }
        for (; i < n; ++i) point(double(float(at + i) + 0.5f), rx[i], ry[i]);
    }
#endif
};

} // namespace

int boxEdge(double v, bool low) {
    constexpr double kReach = double(std::numeric_limits<int>::max() / 2);
    if (std::isnan(v)) return int(low ? -kReach : kReach);
    return int(std::clamp(v, -kReach, kReach));
}

CorrectionChain::CorrectionChain(const VireonAlignmentSampler& sampler,
                                 const SphericalTransform& transform, const Steps& steps)
    : _sampler(sampler), _transform(transform), _steps(steps) {}

Vector2f CorrectionChain::zoomCentre() const {
    const Box& b = _sampler.box;
    return Vector2f(float(b.x() + b.r()) * 0.5f, float(b.y() + b.t()) * 0.5f);
}

Vector2d CorrectionChain::align(const Vector2d& p) const {
    Vector2d q = applyHomography(_sampler.forwardHomography, p);
    if (_sampler.options & VireonAlignmentSampler::kVerticalSkew)
        q.y() += _sampler.skewOffset(_sampler.forwardSkewCorners, q.x(), q.y());
    return q;
}

Vector2d CorrectionChain::unalign(const Vector2d& p) const {
    const VireonAlignmentSampler& S = _sampler;
    double y = p.y();
    if (S.options & VireonAlignmentSampler::kVerticalSkew) {
        const Box& b = S.box;
        const double u = (p.x() - b.x()) * reciprocal(double(b.r() - b.x()));
        const double v = (y - b.y()) / double(b.t() - b.y());
        y += skewAt(S.inverseSkewCorners, u, v);
    }
    return project(S.inverseHomography, p.x(), y);
}

Vector2d CorrectionChain::toSource(const Vector2d& in) const {
    Vector2d p = in;
    if (_steps.spherical && _steps.align) {
        Vector2d source;
        p = _transform.ProjectFromIdeal(source, p, PROJECTION_LATLONG) ? source
                                                                       : Vector2d(kFailed, kFailed);
    }
    if (_steps.offsetOn && _steps.align) p.x() -= _steps.offset;
    if (_steps.scaleOn) {
        const Vector2d c = zoomCentre().cast<double>();
        p = c + (p - c) * reciprocal(double(_steps.fitScale));
    }
    if (_steps.align) p = unalign(p);
    return p;
}

Vector2d CorrectionChain::toOutput(const Vector2d& in) const {
    Vector2d p = in;
    if (_steps.align) p = align(p);
    if (_steps.scaleOn) {
        const Vector2d c = zoomCentre().cast<double>();
        p = c + (p - c) * double(_steps.fitScale);
    }
    if (_steps.offsetOn && _steps.align) p.x() += _steps.offset;
    if (_steps.spherical && _steps.align) p = latlongPoint(_transform, p);
    return p;
}

void CorrectionChain::toSourceRow(int y, int x, int r, float* xs, float* ys) const {
    const VireonAlignmentSampler& S = _sampler;
    const Vector2d c = zoomCentre().cast<double>();
    RowChain chain;
    chain.offset = _steps.offsetOn && _steps.align;
    chain.shift = double(_steps.offset);
    chain.scale = _steps.scaleOn;
    chain.cx = c.x();
    chain.fit = reciprocal(double(_steps.fitScale));
    chain.y = double(float(y) + 0.5f);
    if (_steps.scaleOn) chain.y = c.y() + (chain.y - c.y()) * chain.fit;
    chain.align = _steps.align;
    chain.skew = S.options & VireonAlignmentSampler::kVerticalSkew;
    chain.v = (chain.y - S.box.y()) / double(S.box.t() - S.box.y());
    chain.bx = double(S.box.x());
    chain.bw = reciprocal(double(S.box.r() - S.box.x()));
    chain.k = S.inverseSkewCorners;
    chain.H = S.inverseHomography;
    chain.run(x, r - x, xs, ys);
}

Box CorrectionChain::sourceArea(const Box& b) const {
    const Vector2d c[4] = {toSource(Vector2d(b.x(), b.y())), toSource(Vector2d(b.r(), b.y())),
                           toSource(Vector2d(b.r(), b.t())), toSource(Vector2d(b.x(), b.t()))};
    return cornerBox(c);
}

Box CorrectionChain::outputArea(const Box& b) const {
    const Vector2d c[4] = {toOutput(Vector2d(b.x(), b.y())), toOutput(Vector2d(b.r(), b.y())),
                           toOutput(Vector2d(b.r(), b.t())), toOutput(Vector2d(b.x(), b.t()))};
    const Box o = cornerBox(c);
    return Box(std::min(o.x(), o.r()), std::min(o.y(), o.t()), std::max(o.x(), o.r()),
               std::max(o.y(), o.t()));
}

} // namespace Marrow::Research
