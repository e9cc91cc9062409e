#include "mwVerticalAlignerRenderEngine.h"

#include "mwKnobNames.h"
#include "mwLatlongPoint.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Knob.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KX_PROJECT_AVX 1
#endif

namespace Marrow::Research {

using namespace Kx::Image;
using Eigen::Vector2d;
using Eigen::Vector2f;
using Vireon::VireonAlignmentSampler;

namespace {

constexpr double kFailed = -100000.0;

// The centre of a sampler's box, computed in single precision from the integer sums.
Vector2f zoomCentre(const VireonAlignmentSampler& s) {
    return Vector2f(float(s.box.x() + s.box.r()) * 0.5f, float(s.box.y() + s.box.t()) * 0.5f);
}

Vector2d homography(const Eigen::Matrix3d& H, const Vector2d& p) {
    const Eigen::Vector3d h = H * Eigen::Vector3d(p.x(), p.y(), 1.0);
    return h.z() != 0.0 ? Vector2d(h.x() / h.z(), h.y() / h.z()) : p;
}

// The sampler's forward homography and, when in force, its forward skew.
Vector2d forwardAlign(const VireonAlignmentSampler& s, const Vector2d& p) {
    Vector2d q = homography(s.forwardHomography, p);
    if (s.options & VireonAlignmentSampler::kVerticalSkew)
        q.y() += s.skewOffset(s.forwardSkewCorners, q.x(), q.y());
    return q;
}

bool insideBox(const Box& b, const Vector2f& s) {
    return float(b.x()) <= s.x() && s.x() <= float(b.r()) && float(b.y()) <= s.y() &&
           s.y() <= float(b.t());
}

// A box edge of a whole-pixel coordinate, held to half the int range: a corner thrown to 1e11
// or to infinity by absurd matches gives a huge box rather than an overflowed one, and the
// edge arithmetic of a box (widths, one row in) stays in range. NaN lies on the far side.
int boxEdge(double v, bool low) {
    constexpr double kReach = double(std::numeric_limits<int>::max() / 2);
    if (std::isnan(v)) return int(low ? -kReach : kReach);
    return int(std::clamp(v, -kReach, kReach));
}

// Floors and ceilings of four mapped corners (bottom-left, bottom-right, top-right, top-left),
// truncated to integers, as an outer box.
Box cornerBox(const Vector2d c[4]) {
    return Box(boxEdge(std::min(std::floor(c[0].x()), std::floor(c[3].x())), true),
               boxEdge(std::min(std::floor(c[0].y()), std::floor(c[1].y())), true),
               boxEdge(std::max(std::ceil(c[1].x()), std::ceil(c[2].x())), false),
               boxEdge(std::max(std::ceil(c[2].y()), std::ceil(c[3].y())), false));
}

// inverseChain() in Rectilinear space along one output row: what stays the same along the
// row (its y after the zoom, the skew's v) is worked out once; a point's own steps are the
// same operations in the same order as inverseChain(), so every position is its to the bit.
struct RowChain {
    bool offset = false, scale = false, align = false, skew = false;
    double shift = 0, cx = 0, fit = 1; // the parallax offset, the zoom centre's x, the zoom
    double y = 0, v = 0;               // the row's y after the zoom; the skew's v there
    double bx = 0, bw = 1;             // the sampler box's left edge and width
    Eigen::Vector4d k = Eigen::Vector4d::Zero();
    Eigen::Matrix3d H = Eigen::Matrix3d::Identity();

    // The source position of the pixel centre x (the float column plus one half, widened).
    void point(double x, float& rx, float& ry) const {
        if (offset) x -= shift;
        if (scale) x = cx + (x - cx) / fit;
        if (!align) {
            rx = float(x);
            ry = float(y);
            return;
        }
        double yi = y;
        if (skew) {
            const double u = (x - bx) / bw;
            yi += (k[0] * (1.0 - u) + k[1] * u) * (1.0 - v) + (k[2] * (1.0 - u) + k[3] * u) * v;
        }
        const double hx = H(0, 0) * x + H(0, 1) * yi + H(0, 2);
        const double hy = H(1, 0) * x + H(1, 1) * yi + H(1, 2);
        const double hw = H(2, 0) * x + H(2, 1) * yi + H(2, 2);
        rx = float(hw != 0.0 ? hx / hw : x);
        ry = float(hw != 0.0 ? hy / hw : yi);
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
    // point() four columns at a time, with the same products, sums and divisions (no fused
    // multiply-add, so no rounding is skipped); the divisions are most of a row's mapping.
    __attribute__((target("avx"))) void runAvx(int at, int n, float* rx, float* ry) const {
        const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
        const __m256d vs = _mm256_set1_pd(shift), vcx = _mm256_set1_pd(cx),
                      vfit = _mm256_set1_pd(fit), vy = _mm256_set1_pd(y);
        const __m256d vbx = _mm256_set1_pd(bx), vbw = _mm256_set1_pd(bw);
        const __m256d nv = _mm256_set1_pd(1.0 - v), vv = _mm256_set1_pd(v);
        __m256d kk[4], h[3][3];
        for (int i = 0; i < 4; ++i) kk[i] = _mm256_set1_pd(k[i]);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) h[i][j] = _mm256_set1_pd(H(i, j));
        const __m128 step = _mm_set_ps(3.5f, 2.5f, 1.5f, 0.5f);
        int i = 0;
        for (; i + 4 <= n; i += 4) {
            // float(at + i) + 0.5f is exact for any column of a real image, so the four
            // centres are the float of the first column plus 0.5 .. 3.5.
            __m256d x = _mm256_cvtps_pd(_mm_add_ps(_mm_set1_ps(float(at + i)), step));
            if (offset) x = _mm256_sub_pd(x, vs);
            if (scale) x = _mm256_add_pd(vcx, _mm256_div_pd(_mm256_sub_pd(x, vcx), vfit));
            if (!align) {
                _mm_storeu_ps(rx + i, _mm256_cvtpd_ps(x));
                _mm_storeu_ps(ry + i, _mm256_cvtpd_ps(vy));
                continue;
            }
            __m256d yi = vy;
            if (skew) {
                const __m256d u = _mm256_div_pd(_mm256_sub_pd(x, vbx), vbw);
                const __m256d nu = _mm256_sub_pd(one, u);
                const __m256d low =
                    _mm256_add_pd(_mm256_mul_pd(kk[0], nu), _mm256_mul_pd(kk[1], u));
                const __m256d high =
                    _mm256_add_pd(_mm256_mul_pd(kk[2], nu), _mm256_mul_pd(kk[3], u));
                yi = _mm256_add_pd(yi,
                                   _mm256_add_pd(_mm256_mul_pd(low, nv), _mm256_mul_pd(high, vv)));
            }
            __m256d t[3];
            for (int r = 0; r < 3; ++r)
                t[r] = _mm256_add_pd(
                    _mm256_add_pd(_mm256_mul_pd(h[r][0], x), _mm256_mul_pd(h[r][1], yi)), h[r][2]);
            const __m256d keep = _mm256_cmp_pd(t[2], zero, _CMP_NEQ_UQ);
            const __m256d qx = _mm256_blendv_pd(x, _mm256_div_pd(t[0], t[2]), keep);
            const __m256d qy = _mm256_blendv_pd(yi, _mm256_div_pd(t[1], t[2]), keep);
            _mm_storeu_ps(rx + i, _mm256_cvtpd_ps(qx));
            _mm_storeu_ps(ry + i, _mm256_cvtpd_ps(qy));
        }
        for (; i < n; ++i) point(double(float(at + i) + 0.5f), rx[i], ry[i]);
    }
#endif
};

} // namespace

// ---- ViewCorrection ----

ViewCorrection::ViewCorrection(VerticalAlignerPlugin* node) : _node(node) {}

void ViewCorrection::setupTransform(const CameraRigDefinition& rig, SphericalTransform& target,
                                    int view) {
    const int i = _node->cameraIndexOfView(view);
    if (i < 0 || i >= rig.getNumberCameras()) return;
    Iop* in = _node->input_iop(_node->inputNumberOfCamera(i));
    if (!in) return;
    CameraDefinition camera = rig.getCamera(i);
    camera.setFormatWidth(in->format().width());
    camera.setFormatHeight(in->format().height());
    target = SphericalTransform(camera);
    target.setConvergenceDepth(_node->knobValues().convergenceDepth());
    // Without a chosen output format the latlong output takes the input's format.
    const FormatPair& out = _node->knobValues().outputFormat();
    if (out.isNone())
        target.setOutputImageSize(in->format().width(), in->format().height());
    else
        target.setOutputImageSize(out.format.width(), out.format.height());
}

void ViewCorrection::prepareView(int view) {
    _alignThis = _alignOther = _localOn = _offsetOn = _scaleOn = false;
    _viewShare = 1.0f;
    _viewOffset = 0.0f;
    _fitScale = 1.0f;
    _thisSampler.reset();
    _otherSampler.reset();
    _thisDisparity = _otherDisparity = DisparityPair();
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    _spherical = kv.spherical();
    if (view == -1) view = _node->outputContext().view();
    _view = view;
    if (_node->aborted()) return;
    const int left = kv.leftView(), right = kv.rightView();
    if (view != left && view != right) return;
    const bool isLeft = view == left;

    VireonAlignmentSampler leftSampler, rightSampler;
    const bool aligned = _node->dataProvider().updateAlignment(leftSampler, rightSampler,
                                                               _node->outputContext().frame());
    const CameraRigDefinition& rig = _node->rigState().alignedRig();
    if (rig.getNumberCameras() > 0) {
        setupTransform(rig, _thisTransform, view);
        setupTransform(rig, _otherTransform, isLeft ? right : left);
    }
    if (!aligned && !_spherical) return;
    if (_node->aborted()) return;
    _thisSampler = isLeft ? leftSampler : rightSampler;
    _otherSampler = isLeft ? rightSampler : leftSampler;

    if (!kv.passThroughOther() || kv.alignWhat() == VerticalAlignerKnobManager::BothViews) {
        _alignThis = _alignOther = true;
    } else {
        const bool leftAligned = kv.alignWhat() == VerticalAlignerKnobManager::LeftToRight;
        _alignThis = isLeft == leftAligned;
        _alignOther = !_alignThis;
    }
    const DisparityPair rightPair{0x600, Chan_DisparityR_X, Chan_DisparityR_Y};
    const DisparityPair leftPair{0x1800, Chan_DisparityL_X, Chan_DisparityL_Y};
    _thisDisparity = isLeft ? leftPair : rightPair;
    _otherDisparity = isLeft ? rightPair : leftPair;
    _viewShare = kv.alignWhat() == VerticalAlignerKnobManager::BothViews ? 0.5f : 1.0f;
    _offsetOn = kv.fixParallax();
    _viewOffset = kv.offset() * _viewShare * (isLeft ? -1.0f : 1.0f);
    _scaleOn = kv.scaleToFit();
    _fitScale = kv.scale();
    _localOn = kv.localAlignment();
    _localAmount = kv.localCorrection();
    _disparityFilter.initialize();
}

Vector2d ViewCorrection::inverseChain(const Vector2d& in, const VireonAlignmentSampler& s,
                                      const SphericalTransform& t, bool align, float offset) const {
    Vector2d p = in;
    if (_spherical && align) {
        Vector2d source;
        p = t.ProjectFromIdeal(source, p, PROJECTION_LATLONG) ? source : Vector2d(kFailed, kFailed);
    }
    if (_offsetOn && align) p.x() -= offset;
    if (_scaleOn) {
        const Vector2d c = zoomCentre(s).cast<double>();
        p = c + (p - c) / double(_fitScale);
    }
    if (align) {
        if (s.options & VireonAlignmentSampler::kVerticalSkew)
            p.y() += s.skewOffset(s.inverseSkewCorners, p.x(), p.y());
        p = homography(s.inverseHomography, p);
    }
    return p;
}

Vector2d ViewCorrection::forwardChain(const Vector2d& in, const VireonAlignmentSampler& s,
                                      const SphericalTransform& t, bool align, float offset) const {
    Vector2d p = in;
    if (align) p = forwardAlign(s, p);
    if (_scaleOn) {
        const Vector2d c = zoomCentre(s).cast<double>();
        p = c + (p - c) * double(_fitScale);
    }
    if (_offsetOn && align) p.x() += offset;
    if (_spherical && align) p = latlongPoint(t, p);
    return p;
}

Vector2d ViewCorrection::toSourceThis(const Vector2d& p) const {
    return inverseChain(p, _thisSampler, _thisTransform, _alignThis, _viewOffset);
}

Vector2d ViewCorrection::toSourceOther(const Vector2d& p) const {
    return inverseChain(p, _otherSampler, _otherTransform, _alignOther, -_viewOffset);
}

Vector2d ViewCorrection::toOutputThis(const Vector2d& p) const {
    return forwardChain(p, _thisSampler, _thisTransform, _alignThis, _viewOffset);
}

Vector2d ViewCorrection::toOutputOther(const Vector2d& p) const {
    return forwardChain(p, _otherSampler, _otherTransform, _alignOther, -_viewOffset);
}

float ViewCorrection::shiftThrough(const Vector2f& p, const Vector2f& s, const DisparityPair& pair,
                                   const VireonAlignmentSampler& sampler,
                                   const SphericalTransform& transform, bool projected,
                                   Pixel& d) const {
    d.setChannels(ChannelSet(uint64_t(pair.mask)));
    _node->preBlur().sample(s.x(), s.y(), 1, 1, &_disparityFilter, d);
    Vector2d q(double(s.x()) + d[pair.x], double(s.y()) + d[pair.y]);
    q = forwardAlign(sampler, q);
    float qy = float(q.y());
    if (_scaleOn) {
        const float cy = zoomCentre(sampler).y();
        qy = (qy - cy) * _fitScale + cy;
    }
    if (_spherical && projected)
        qy = float(latlongPoint(transform, Vector2d(double(float(q.x())), double(qy))).y());
    return (p.y() - qy) * _localAmount * _viewShare;
}

float ViewCorrection::localShift(const Vector2f& p, const Vector2f& s) const {
    Pixel d;
    return localShift(p, s, d);
}

float ViewCorrection::localShiftOther(const Vector2f& p, const Vector2f& s) const {
    Pixel d;
    return localShiftOther(p, s, d);
}

float ViewCorrection::localShift(const Vector2f& p, const Vector2f& s, Pixel& scratch) const {
    return shiftThrough(p, s, _thisDisparity, _otherSampler, _otherTransform, _alignOther, scratch);
}

float ViewCorrection::localShiftOther(const Vector2f& p, const Vector2f& s, Pixel& scratch) const {
    return shiftThrough(p, s, _otherDisparity, _thisSampler, _thisTransform, _alignThis, scratch);
}

Vector2f ViewCorrection::mapToSource(const Vector2f& p, float& shift) const {
    if (!(_localOn && _alignThis)) {
        shift = 0.0f;
        return toSourceThis(p.cast<double>()).cast<float>();
    }
    Pixel d;
    return mapToSource(p, shift, d);
}

Vector2f ViewCorrection::mapToSource(const Vector2f& p, float& shift, Pixel& scratch) const {
    Vector2f s = toSourceThis(p.cast<double>()).cast<float>();
    shift = 0.0f;
    if (_localOn && _alignThis) {
        shift = localShift(p, s, scratch);
        s.y() += shift;
    }
    return s;
}

void ViewCorrection::mapRow(int y, int x, int r, float* xs, float* ys, Pixel& scratch) const {
    const float py = float(y) + 0.5f;
    if (_spherical || (_localOn && _alignThis)) {
        for (int i = x; i < r; ++i) {
            float shift = 0;
            const Vector2f s = mapToSource(Vector2f(float(i) + 0.5f, py), shift, scratch);
            xs[i - x] = s.x();
            ys[i - x] = s.y();
        }
        return;
    }
    const VireonAlignmentSampler& S = _thisSampler;
    const Vector2d c = zoomCentre(S).cast<double>();
    RowChain chain;
    chain.offset = _offsetOn && _alignThis;
    chain.shift = double(_viewOffset);
    chain.scale = _scaleOn;
    chain.cx = c.x();
    chain.fit = double(_fitScale);
    chain.y = double(py);
    if (_scaleOn) chain.y = c.y() + (chain.y - c.y()) / chain.fit;
    chain.align = _alignThis;
    chain.skew = S.options & VireonAlignmentSampler::kVerticalSkew;
    chain.v = (chain.y - S.box.y()) / double(S.box.t() - S.box.y());
    chain.bx = double(S.box.x());
    chain.bw = double(S.box.r() - S.box.x());
    chain.k = S.inverseSkewCorners;
    chain.H = S.inverseHomography;
    chain.run(x, r - x, xs, ys);
}

Box ViewCorrection::sourceArea(const Box& b) const {
    const Vector2d c[4] = {
        toSourceThis(Vector2d(b.x(), b.y())), toSourceThis(Vector2d(b.r(), b.y())),
        toSourceThis(Vector2d(b.r(), b.t())), toSourceThis(Vector2d(b.x(), b.t()))};
    return cornerBox(c);
}

Box ViewCorrection::outputArea(const Box& b) const {
    const Vector2d c[4] = {
        toOutputThis(Vector2d(b.x(), b.y())), toOutputThis(Vector2d(b.r(), b.y())),
        toOutputThis(Vector2d(b.r(), b.t())), toOutputThis(Vector2d(b.x(), b.t()))};
    const Box o = cornerBox(c);
    return Box(std::min(o.x(), o.r()), std::min(o.y(), o.t()), std::max(o.x(), o.r()),
               std::max(o.y(), o.t()));
}

bool ViewCorrection::computeScale() {
    _node->validate(false);
    Iop* L = _node->input_iop(1);
    Iop* R = _node->input_iop(2);
    if (!L || !R) return false;
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int u = _node->outputContext().view();
    if (u != kv.leftView() && u != kv.rightView()) return false;
    const float o = kv.fixParallax() ? kv.offset() : 0.0f;
    L->validate(true);
    R->validate(true);
    const bool viewIsLeft = u == kv.leftView();
    const VireonAlignmentSampler& leftSampler = viewIsLeft ? _thisSampler : _otherSampler;
    const VireonAlignmentSampler& rightSampler = viewIsLeft ? _otherSampler : _thisSampler;

    double scale = 1.0;
    auto ratios = [&](Iop* in, const VireonAlignmentSampler& s, float sigma) {
        const Box& B = in->box();
        const Box F(0, 0, in->format().width(), in->format().height());
        const Vector2d bl = forwardAlign(s, Vector2d(B.x(), B.y()));
        const Vector2d br = forwardAlign(s, Vector2d(B.r(), B.y()));
        const Vector2d tr = forwardAlign(s, Vector2d(B.r(), B.t()));
        const Vector2d tl = forwardAlign(s, Vector2d(B.x(), B.t()));
        // The inner box in whole pixels, each mapped corner rounded outwards: an identity
        // alignment's rounding error never zooms, and what the rounding gives away (less than
        // a pixel) can leave black only in the outermost rows and columns.
        const int ix = boxEdge(std::max(std::floor(bl.x()), std::floor(tl.x())), true);
        const int iy = boxEdge(std::max(std::floor(bl.y()), std::floor(br.y())), true);
        const int ir = boxEdge(std::min(std::ceil(br.x()), std::ceil(tr.x())), false);
        const int it = boxEdge(std::min(std::ceil(tr.y()), std::ceil(tl.y())), false);
        const float cx = float(F.x() + F.r()) * 0.5f, cy = float(F.y() + F.t()) * 0.5f;
        const float r[4] = {(float(F.x()) + sigma * o - cx) / (float(ix) - cx),
                            (float(F.r()) + sigma * o - cx) / (float(ir) - cx),
                            (float(F.y()) - cy) / (float(iy) - cy),
                            (float(F.t()) - cy) / (float(it) - cy)};
        for (float v : r) scale = std::max(scale, double(v));
    };
    ratios(L, leftSampler, 1.0f);
    ratios(R, rightSampler, -1.0f);
    Knob* k = _node->knob(KnobNames::kScale);
    if (!k) return false;
    ValueStuffArgs a;
    a.value = scale;
    k->value_stuff(ValueOp::SetValue, a);
    return true;
}

bool ViewCorrection::computeOffset() {
    _node->validate(true);
    Iop* D = _node->input_iop(1);
    if (!D) return false;
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    const int u = _node->outputContext().view();
    if (u != kv.leftView() && u != kv.rightView()) return false;
    Vector2d f(kv.fixPoint()[0], kv.fixPoint()[1]);
    const bool z = kv.scaleToFit();
    const float s = kv.scale();
    if (_spherical) {
        Vector2d source;
        f = _thisTransform.ProjectFromIdeal(source, f, PROJECTION_LATLONG)
                ? source
                : Vector2d(kFailed, kFailed);
    }
    const double fx = f.x();
    const Vector2d c = zoomCentre(_thisSampler).cast<double>();
    if (z) f = c + (f - c) / double(s);
    if (_thisSampler.options & VireonAlignmentSampler::kVerticalSkew)
        f.y() += _thisSampler.skewOffset(_thisSampler.inverseSkewCorners, f.x(), f.y());
    const Vector2d q = homography(_thisSampler.inverseHomography, f);

    D->invalidate();
    D->validate(true);
    D->request(D->box(), ChannelSet(uint64_t(_thisDisparity.mask)), 1);
    Pixel d(ChannelSet(uint64_t(_thisDisparity.mask)));
    D->sample(float(q.x()), float(q.y()), 1, 1, &_disparityFilter, d);
    if (_thisDisparity.mask == 0 || !D->channels().contains(_thisDisparity.x) ||
        !D->channels().contains(_thisDisparity.y))
        return false;
    const double dx = d[_thisDisparity.x], dy = d[_thisDisparity.y];
    const Vector2d m(q.x() + dx, q.y() + dy);
    double mx = homography(_otherSampler.forwardHomography, m).x();
    if (z) mx = (mx - c.x()) * s + c.x();
    const double value = dx + fx - mx;
    Knob* k = _node->knob(KnobNames::kOffset);
    if (!k) return false;
    ValueStuffArgs a;
    a.value = u == kv.rightView() ? -value : value;
    k->value_stuff(ValueOp::SetValue, a);
    if (z && !kv.lockScale()) computeScale();
    return true;
}

// ---- VerticalAlignerRenderEngine ----

VerticalAlignerRenderEngine::VerticalAlignerRenderEngine(VerticalAlignerPlugin* node)
    : _node(node), _correction(node) {}

Channel VerticalAlignerRenderEngine::stmapU() {
    static const Channel u = getChannel("stitch_map.u");
    return u;
}

Channel VerticalAlignerRenderEngine::stmapV() {
    static const Channel v = getChannel("stitch_map.v");
    return v;
}

ChannelSet VerticalAlignerRenderEngine::stmapChannels() const {
    return {stmapU(), stmapV()};
}

void VerticalAlignerRenderEngine::renderRow(int y, int x, int r, const ChannelSet& channels,
                                            Filter& filter, Row& row) const {
    if (_node->aborted()) return;
    const ChannelSet S = channels & stmapChannels();
    const ChannelSet R = channels - S;
    if (!R.empty() && !_node->aborted()) {
        const ChannelSet D = R & Mask_Disparity;
        const ChannelSet M = _correctView ? (R & Mask_Motion) : ChannelSet();
        const ChannelSet C = R - D - M;
        if (!C.empty()) {
            if (_correctView)
                warpRow(y, x, r, C, filter, row);
            else if (Iop* in = _node->input_iop(0))
                in->get(y, x, r, C, row);
        }
        if (!D.empty()) disparityRow(y, x, r, D, row);
        if (!M.empty()) motionRow(y, x, r, M, row);
    }
    if (!S.empty() && !_node->aborted()) {
        for (Channel z : S) row.writable(z);
        stmapRow(y, x, r, S, row);
    }
}

void VerticalAlignerRenderEngine::warpRow(int y, int x, int r, const ChannelSet& C, Filter& filter,
                                          Row& row) const {
    Iop* in = _node->input_iop(0);
    float* out[kMaxChannels + 1] = {};
    for (Channel z : C) out[z] = row.writable(z);
    if (!in) {
        row.erase(C);
        return;
    }
    const Box& box = in->box();
    // The source position of every pixel centre of the row, then one sample of the input
    // per position inside its data box, a run of such columns at a time; black elsewhere.
    // mapRow writes every position, so the buffer is not cleared first.
    const auto positions = std::make_unique_for_overwrite<float[]>(2 * size_t(r - x));
    float* const xs = positions.get();
    float* const ys = xs + (r - x);
    Pixel scratch;
    _correction.mapRow(y, x, r, xs, ys, scratch);
    auto inside = [&](int i) {
        return insideBox(box, Vector2f(xs[size_t(i - x)], ys[size_t(i - x)]));
    };
    for (int i = x; i < r;) {
        const int start = i;
        const bool in0 = inside(i);
        while (i < r && inside(i) == in0) ++i;
        if (in0)
            in->sampleRow(&xs[size_t(start - x)], &ys[size_t(start - x)], start, i, C, &filter,
                          row);
        else
            for (Channel z : C) std::fill(out[z] + start, out[z] + i, 0.0f);
    }
}

void VerticalAlignerRenderEngine::samplePoint(const Vector2f& centre, Filter& filter,
                                              Pixel& pixel) const {
    float shift = 0;
    const Vector2f s = _correction.mapToSource(centre, shift);
    Iop* in = _node->input_iop(0);
    if (in && insideBox(in->box(), s))
        in->sample(s.x(), s.y(), 1, 1, &filter, pixel);
    else
        for (Channel z : pixel.channels()) pixel[z] = 0.0f;
}

void VerticalAlignerRenderEngine::stmapRow(int y, int x, int r, const ChannelSet& S,
                                           Row& row) const {
    const Box format = _node->stmapFormat();
    const float W = float(format.w()), H = float(format.h());
    float* u = S.contains(stmapU()) ? row.writable(stmapU()) : nullptr;
    float* v = S.contains(stmapV()) ? row.writable(stmapV()) : nullptr;
    Pixel scratch;
    for (int i = x; i < r; ++i) {
        float shift = 0;
        const Vector2f s =
            _correction.mapToSource(Vector2f(float(i) + 0.5f, float(y) + 0.5f), shift, scratch);
        if (u) u[i] = s.x() / W;
        if (v) v[i] = s.y() / H;
    }
}

void VerticalAlignerRenderEngine::disparityRow(int y, int x, int r, const ChannelSet& D,
                                               Row& row) const {
    const ViewCorrection& c = _correction;
    Iop* disparity = _node->input_iop(1);
    auto pairRow = [&](const DisparityPair& pair, bool thisView) {
        const bool wantX = D.contains(pair.x), wantY = D.contains(pair.y);
        if (!wantX && !wantY) return;
        float* outX = row.writable(pair.x);
        float* outY = row.writable(pair.y);
        const bool alignSelf = thisView ? c.alignThis() : c.alignOther();
        const bool alignPartner = thisView ? c.alignOther() : c.alignThis();
        const VireonAlignmentSampler& partner = thisView ? c.otherSampler() : c.thisSampler();
        const SphericalTransform& partnerTransform =
            thisView ? c.otherTransform() : c.thisTransform();
        const float partnerOffset = thisView ? -c.viewOffset() : c.viewOffset();
        Pixel d(ChannelSet(uint64_t(pair.mask))), scratch;
        for (int i = x; i < r; ++i) {
            const Vector2f p(float(i) + 0.5f, float(y) + 0.5f);
            float dxOut = 0, dyOut = 0;
            if (disparity) {
                Vector2d s =
                    thisView ? c.toSourceThis(p.cast<double>()) : c.toSourceOther(p.cast<double>());
                float h = 0;
                if (c.localOn()) {
                    h = thisView ? c.localShift(p, s.cast<float>(), scratch)
                                 : c.localShiftOther(p, s.cast<float>(), scratch);
                    if (alignSelf) s.y() += h;
                }
                disparity->sample(float(s.x()), float(s.y()), 1, 1, c.disparityFilter(), d);
                Vector2d m(s.x() + d[pair.x], s.y() + d[pair.y]);
                if (alignPartner) m = forwardAlign(partner, m);
                if (c.scaleOn()) {
                    const Vector2d zc = zoomCentre(partner).cast<double>();
                    m = zc + (m - zc) * double(c.fitScale());
                }
                if (c.offsetOn() && alignPartner) m.x() += partnerOffset;
                if (c.spherical() && alignPartner) m = latlongPoint(partnerTransform, m);
                if (c.viewShare() < 1.0f || !alignSelf) m.y() += h;
                dxOut = float(m.x() - p.x());
                dyOut = float(m.y() - p.y());
            }
            if (wantX) outX[i] = dxOut;
            if (wantY) outY[i] = dyOut;
        }
    };
    pairRow(c.thisDisparity().mask ? c.thisDisparity() : DisparityPair{0x600, 10, 11}, true);
    pairRow(c.otherDisparity().mask ? c.otherDisparity() : DisparityPair{0x1800, 12, 13}, false);
}

void VerticalAlignerRenderEngine::motionRow(int y, int x, int r, const ChannelSet& M,
                                            Row& row) const {
    const ViewCorrection& c = _correction;
    Iop* in = _node->input_iop(0);
    const std::pair<Channel, Channel> pairs[2] = {{Chan_Forward_U, Chan_Forward_V},
                                                  {Chan_Backward_U, Chan_Backward_V}};
    ChannelSet wanted;
    for (auto [u, v] : pairs)
        if (M.contains(u) || M.contains(v)) wanted += ChannelSet{u, v};
    float* out[kMaxChannels + 1] = {};
    for (Channel z : M) out[z] = row.writable(z);
    Pixel sample(wanted), scratch;
    for (int i = x; i < r; ++i) {
        const Vector2f p(float(i) + 0.5f, float(y) + 0.5f);
        float h = 0;
        const Vector2f s = c.mapToSource(p, h, scratch);
        if (in) in->sample(s.x(), s.y(), 1, 1, c.disparityFilter(), sample);
        for (auto [u, v] : pairs) {
            if (!M.contains(u) && !M.contains(v)) continue;
            Vector2d m(double(s.x()) + sample[u], double(s.y()) - h + sample[v]);
            if (c.alignThis()) m = forwardAlign(c.thisSampler(), m);
            if (c.scaleOn()) {
                const Vector2d zc = zoomCentre(c.thisSampler()).cast<double>();
                m = zc + (m - zc) * double(c.fitScale());
            }
            if (c.offsetOn() && c.alignThis()) m.x() += c.viewOffset();
            if (c.spherical() && c.alignThis()) m = latlongPoint(c.thisTransform(), m);
            if (out[u]) out[u][i] = float(m.x() - p.x());
            if (out[v]) out[v][i] = float(m.y() - p.y());
        }
    }
}

} // namespace Marrow::Research
