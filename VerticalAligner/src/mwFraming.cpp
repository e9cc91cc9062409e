#include "mwFraming.h"

#include "mwAlignmentModel.h"
#include "mwCorrectionChain.h"
#include "mwKnobNames.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Knob.h"

#include <algorithm>
#include <cmath>

namespace Marrow::Research::Framing {

using namespace Kx::Image;
using Eigen::Vector2d;

namespace {

constexpr double kFailed = -100000.0;

bool store(VerticalAlignerPlugin& node, const char* name, double value) {
    Knob* k = node.knob(name);
    if (!k) return false;
    ValueStuffArgs a;
    a.value = value;
    k->value_stuff(ValueOp::SetValue, a);
    return true;
}

} // namespace

bool computeScale(VerticalAlignerPlugin& node) {
    node.validate(false);
    Iop* L = node.input_iop(1);
    Iop* R = node.input_iop(2);
    if (!L || !R) return false;
    const VerticalAlignerKnobManager& kv = node.knobValues();
    const int u = node.outputContext().view();
    if (u != kv.leftView() && u != kv.rightView()) return false;
    const float o = kv.fixParallax() ? kv.offset() : 0.0f;
    L->validate(true);
    R->validate(true);
    const ViewCorrection& correction = node.renderEngine().correction();
    const bool viewIsLeft = u == kv.leftView();
    const CorrectionChain& left = viewIsLeft ? correction.thisChain() : correction.otherChain();
    const CorrectionChain& right = viewIsLeft ? correction.otherChain() : correction.thisChain();

    double scale = 1.0;
    auto ratios = [&](Iop* in, const CorrectionChain& chain, float sigma) {
        const Box& B = in->box();
        const Box F(0, 0, in->format().width(), in->format().height());
        const Vector2d bl = chain.align(Vector2d(B.x(), B.y()));
        const Vector2d br = chain.align(Vector2d(B.r(), B.y()));
        const Vector2d tr = chain.align(Vector2d(B.r(), B.t()));
        const Vector2d tl = chain.align(Vector2d(B.x(), B.t()));
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
    ratios(L, left, 1.0f);
    ratios(R, right, -1.0f);
    return store(node, KnobNames::kScale, scale);
}

bool computeOffset(VerticalAlignerPlugin& node) {
    node.validate(true);
    Iop* D = node.input_iop(1);
    if (!D) return false;
    const VerticalAlignerKnobManager& kv = node.knobValues();
    const int u = node.outputContext().view();
    if (u != kv.leftView() && u != kv.rightView()) return false;
    const ViewCorrection& correction = node.renderEngine().correction();
    const CorrectionChain& own = correction.thisChain();
    const DisparityPair& pair = correction.thisDisparity();
    Vector2d f(kv.fixPoint()[0], kv.fixPoint()[1]);
    const bool z = kv.scaleToFit();
    const float s = kv.scale();
    if (correction.spherical()) {
        Vector2d source;
        f = own.transform().ProjectFromIdeal(source, f, PROJECTION_LATLONG)
                ? source
                : Vector2d(kFailed, kFailed);
    }
    const double fx = f.x();
    const Vector2d c = own.zoomCentre().cast<double>();
    if (z) f = c + (f - c) / double(s);
    const Vector2d q = own.unalign(f);

    D->invalidate();
    D->validate(true);
    D->request(D->box(), ChannelSet(uint64_t(pair.mask)), 1);
    Pixel d(ChannelSet(uint64_t(pair.mask)));
    D->sample(float(q.x()), float(q.y()), 1, 1, correction.disparityFilter(), d);
    if (pair.mask == 0 || !D->channels().contains(pair.x) || !D->channels().contains(pair.y))
        return false;
    const double dx = d[pair.x], dy = d[pair.y];
    const Vector2d m(q.x() + dx, q.y() + dy);
    double mx = applyHomography(correction.otherChain().sampler().forwardHomography, m).x();
    if (z) mx = (mx - c.x()) * s + c.x();
    const double value = dx + fx - mx;
    if (!store(node, KnobNames::kOffset, u == kv.rightView() ? -value : value)) return false;
    if (z && !kv.lockScale()) computeScale(node);
    return true;
}

} // namespace Marrow::Research::Framing
