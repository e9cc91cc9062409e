#include "VireonShared/VireonAlignmentSampler.h"

#include <Eigen/Geometry>

#include <cmath>

namespace Marrow::Vireon {

Eigen::Vector2d applyHomography(const Eigen::Matrix3d& m, const Eigen::Vector2d& p) {
    const Eigen::Vector3d h = m * p.homogeneous();
    if (h.z() == 0.0) return p;
    return h.hnormalized();
}

void VireonAlignmentSampler::reset() {
    options = 0;
    box = Kx::Image::Box();
    inverseHomography.setIdentity();
    forwardHomography.setIdentity();
    forwardSkewCorners.setZero();
    inverseSkewCorners.setZero();
}

void VireonAlignmentSampler::setAlignmentTransform(int opts, const Eigen::Matrix3d& inverse,
                                                   const Eigen::Matrix3d& forward,
                                                   const Eigen::Vector4d& skewCorners,
                                                   const Kx::Image::Box& b) {
    options = opts;
    box = b;
    inverseHomography = inverse;
    forwardHomography = forward;
    forwardSkewCorners.setZero();
    inverseSkewCorners.setZero();
    const double y0 = b.y(), t = b.t(), h = t - y0;
    if (b.empty() || !skewCorners.allFinite()) return;

    // Forward: the box corner rows y0 and t move to the skew corners.
    const Eigen::Vector4d forwardK(skewCorners[0] - y0, skewCorners[1] - y0, skewCorners[2] - t,
                                   skewCorners[3] - t);
    // Inverse, per vertical box edge: a skewed bottom corner at row yb must go back by
    // y0 - yb and a skewed top corner at row yt by t - yt; the offset is evaluated at the
    // skewed rows, so solve (1 - vb)·kb + vb·kt = y0 - yb and (1 - vt)·kb + vt·kt = t - yt.
    Eigen::Vector4d inverseK;
    for (int side = 0; side < 2; ++side) {
        const double yb = skewCorners[side], yt = skewCorners[side + 2];
        const double vb = (yb - y0) / h, vt = (yt - y0) / h;
        const double det = vt - vb;
        if (!(std::abs(det) > 1e-12)) return;
        const double rb = y0 - yb, rt = t - yt;
        inverseK[side] = (rb * vt - rt * vb) / det;
        inverseK[side + 2] = ((1.0 - vb) * rt - (1.0 - vt) * rb) / det;
    }
    if (!inverseK.allFinite()) return;
    forwardSkewCorners = forwardK;
    inverseSkewCorners = inverseK;
}

double VireonAlignmentSampler::skewOffset(const Eigen::Vector4d& k, double x, double y) const {
    const double u = (x - box.x()) / double(box.r() - box.x());
    const double v = (y - box.y()) / double(box.t() - box.y());
    return (k[0] * (1.0 - u) + k[1] * u) * (1.0 - v) + (k[2] * (1.0 - u) + k[3] * u) * v;
}

Eigen::Vector2d VireonAlignmentSampler::toOutput(const Eigen::Vector2d& p) const {
    Eigen::Vector2d q = applyHomography(forwardHomography, p);
    if (options & kVerticalSkew) q.y() += skewOffset(forwardSkewCorners, q.x(), q.y());
    return q;
}

Eigen::Vector2d VireonAlignmentSampler::toSource(const Eigen::Vector2d& p) const {
    Eigen::Vector2d q = p;
    if (options & kVerticalSkew) q.y() += skewOffset(inverseSkewCorners, q.x(), q.y());
    return applyHomography(inverseHomography, q);
}

} // namespace Marrow::Vireon
