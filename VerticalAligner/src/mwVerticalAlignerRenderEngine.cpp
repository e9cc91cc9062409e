#include "mwVerticalAlignerRenderEngine.h"

#include "mwLatlongPoint.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"

#include <algorithm>
#include <memory>

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace Marrow::Research {

using namespace Kx::Image;
using Eigen::Vector2d;
using Eigen::Vector2f;
using Vireon::VireonAlignmentSampler;

namespace {

bool insideBox(const Box& b, const Vector2f& s) {
    return float(b.x()) <= s.x() && s.x() <= float(b.r()) && float(b.y()) <= s.y() &&
           s.y() <= float(b.t());
}

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
    VireonAlignmentSampler own, other;
    CorrectionChain::Steps ownSteps, otherSteps;
    if (readView(view, own, other, ownSteps, otherSteps)) {
        _this = CorrectionChain(own, _thisTransform, ownSteps);
        _other = CorrectionChain(other, _otherTransform, otherSteps);
    } else {
        _this = CorrectionChain(VireonAlignmentSampler(), _thisTransform, ownSteps);
        _other = CorrectionChain(VireonAlignmentSampler(), _otherTransform, otherSteps);
    }
}

bool ViewCorrection::readView(int view, VireonAlignmentSampler& thisSampler,
                              VireonAlignmentSampler& otherSampler, CorrectionChain::Steps& own,
                              CorrectionChain::Steps& other) {
    _localOn = false;
    _viewShare = 1.0f;
    _thisDisparity = _otherDisparity = DisparityPair();
    const VerticalAlignerKnobManager& kv = _node->knobValues();
    own.spherical = other.spherical = kv.spherical();
    if (view == -1) view = _node->outputContext().view();
    _view = view;
    if (_node->aborted()) return false;
    const int left = kv.leftView(), right = kv.rightView();
    if (view != left && view != right) return false;
    const bool isLeft = view == left;

    VireonAlignmentSampler leftSampler, rightSampler;
    const bool aligned = _node->dataProvider().updateAlignment(leftSampler, rightSampler,
                                                               _node->outputContext().frame());
    const CameraRigDefinition& rig = _node->rigState().alignedRig();
    if (rig.getNumberCameras() > 0) {
        setupTransform(rig, _thisTransform, view);
        setupTransform(rig, _otherTransform, isLeft ? right : left);
    }
    if (!aligned && !own.spherical) return false;
    if (_node->aborted()) return false;
    thisSampler = isLeft ? leftSampler : rightSampler;
    otherSampler = isLeft ? rightSampler : leftSampler;

    if (!kv.passThroughOther() || kv.alignWhat() == VerticalAlignerKnobManager::BothViews) {
        own.align = other.align = true;
    } else {
        const bool leftAligned = kv.alignWhat() == VerticalAlignerKnobManager::LeftToRight;
        own.align = isLeft == leftAligned;
        other.align = !own.align;
    }
    const DisparityPair rightPair{0x600, Chan_DisparityR_X, Chan_DisparityR_Y};
    const DisparityPair leftPair{0x1800, Chan_DisparityL_X, Chan_DisparityL_Y};
    _thisDisparity = isLeft ? leftPair : rightPair;
    _otherDisparity = isLeft ? rightPair : leftPair;
    _viewShare = kv.alignWhat() == VerticalAlignerKnobManager::BothViews ? 0.5f : 1.0f;
    own.offsetOn = other.offsetOn = kv.fixParallax();
    own.offset = kv.offset() * _viewShare * (isLeft ? -1.0f : 1.0f);
    other.offset = -own.offset;
    own.scaleOn = other.scaleOn = kv.scaleToFit();
    own.fitScale = other.fitScale = kv.scale();
    _localOn = kv.localAlignment();
    _localAmount = kv.localCorrection();
    _disparityFilter.initialize();
    return true;
}

float ViewCorrection::shiftThrough(const Vector2f& p, const Vector2f& s, const DisparityPair& pair,
                                   const CorrectionChain& partner, Pixel& d) const {
    d.setChannels(ChannelSet(uint64_t(pair.mask)));
    _node->preBlur().sample(s.x(), s.y(), 1, 1, &_disparityFilter, d);
    const Vector2d q =
        partner.align(Vector2d(double(s.x()) + d[pair.x], double(s.y()) + d[pair.y]));
    float qy = float(q.y());
    const CorrectionChain::Steps& steps = partner.steps();
    if (steps.scaleOn)
        qy = (qy - partner.zoomCentre().y()) * steps.fitScale + partner.zoomCentre().y();
    if (steps.spherical && steps.align)
        qy = float(
            latlongPoint(partner.transform(), Vector2d(double(float(q.x())), double(qy))).y());
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
    return shiftThrough(p, s, _thisDisparity, _other, scratch);
}

float ViewCorrection::localShiftOther(const Vector2f& p, const Vector2f& s, Pixel& scratch) const {
    return shiftThrough(p, s, _otherDisparity, _this, scratch);
}

Vector2f ViewCorrection::mapToSource(const Vector2f& p, float& shift) const {
    if (!(_localOn && alignThis())) {
        shift = 0.0f;
        return toSourceThis(p.cast<double>()).cast<float>();
    }
    Pixel d;
    return mapToSource(p, shift, d);
}

Vector2f ViewCorrection::mapToSource(const Vector2f& p, float& shift, Pixel& scratch) const {
    Vector2f s = toSourceThis(p.cast<double>()).cast<float>();
    shift = 0.0f;
    if (_localOn && alignThis()) {
        shift = localShift(p, s, scratch);
        s.y() += shift;
    }
    return s;
}

void ViewCorrection::mapRow(int y, int x, int r, float* xs, float* ys, Pixel& scratch) const {
    if (spherical() || (_localOn && alignThis())) {
        const float py = float(y) + 0.5f;
        for (int i = x; i < r; ++i) {
            float shift = 0;
            const Vector2f s = mapToSource(Vector2f(float(i) + 0.5f, py), shift, scratch);
            xs[i - x] = s.x();
            ys[i - x] = s.y();
        }
        return;
    }
    _this.toSourceRow(y, x, r, xs, ys);
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
    // insideBox without its branches: the test runs once per pixel of the row.
    const float bx = float(box.x()), br = float(box.r()), by = float(box.y()), bt = float(box.t());
    auto inside = [&](int i) {
        const float sx = xs[size_t(i - x)], sy = ys[size_t(i - x)];
        return (bx <= sx) & (sx <= br) & (by <= sy) & (sy <= bt);
    };
#ifdef __SSE2__
    const __m128 vbx = _mm_set1_ps(bx), vbr = _mm_set1_ps(br), vby = _mm_set1_ps(by),
                 vbt = _mm_set1_ps(bt);
    // Four columns of inside() as four bits.
    auto inside4 = [&](int i) {
        const __m128 sx = _mm_loadu_ps(&xs[size_t(i - x)]), sy = _mm_loadu_ps(&ys[size_t(i - x)]);
        return _mm_movemask_ps(
            _mm_and_ps(_mm_and_ps(_mm_cmple_ps(vbx, sx), _mm_cmple_ps(sx, vbr)),
                       _mm_and_ps(_mm_cmple_ps(vby, sy), _mm_cmple_ps(sy, vbt))));
    };
#endif
    for (int i = x; i < r;) {
        const int start = i;
        const bool in0 = inside(i);
#ifdef __SSE2__
        // Whole groups of four columns on the same side of the box's edge first.
        while (i + 4 <= r && inside4(i) == (in0 ? 0xf : 0)) i += 4;
#endif
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
        // The match lands where the partner view's correction puts it.
        const CorrectionChain& partner = thisView ? c.otherChain() : c.thisChain();
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
                Vector2d m = partner.toOutput(Vector2d(s.x() + d[pair.x], s.y() + d[pair.y]));
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
            const Vector2d m =
                c.toOutputThis(Vector2d(double(s.x()) + sample[u], double(s.y()) - h + sample[v]));
            if (out[u]) out[u][i] = float(m.x() - p.x());
            if (out[v]) out[v][i] = float(m.y() - p.y());
        }
    }
}

} // namespace Marrow::Research
