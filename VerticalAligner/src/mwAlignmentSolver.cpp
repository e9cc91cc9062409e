#include "mwAlignmentSolver.h"

#include "mwControlPointsKnob.h"
#include "mwLatlongPoint.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Matrix.h"

#include <unsupported/Eigen/NonLinearOptimization>
#include <unsupported/Eigen/NumericalDiff>

#include <cmath>
#include <limits>

namespace Marrow::Research {

using Eigen::Matrix3d;
using Eigen::Vector2d;
using Vireon::MatchedFeaturePair;

namespace {

constexpr double kPriorityWeight = 250.0;
constexpr double kTinyWeight = 1.1754943508222875e-38; // the smallest normal float

double weight(const MatchedFeaturePair& p) {
    return p.priority ? kPriorityWeight : 1.0;
}

// What one view of the pair sees: its own point P and its partner's point Q moved into
// its image (Q').
struct ViewSide {
    bool isLeft;
    bool spherical;
    const SphericalTransform* ownTransform;
    const SphericalTransform* partnerTransform;

    const Vector2d& own(const MatchedFeaturePair& p) const { return isLeft ? p.first : p.second; }
    const Vector2d& partnerPoint(const MatchedFeaturePair& p) const {
        return isLeft ? p.second : p.first;
    }
    Vector2d moved(const MatchedFeaturePair& p) const {
        const Vector2d& q = partnerPoint(p);
        if (!spherical) return q;
        const Vector2d ideal = latlongPoint(*partnerTransform, q);
        Vector2d back = ideal;
        ownTransform->ProjectFromIdeal(back, ideal, PROJECTION_LATLONG);
        return back;
    }
    // The row the view's point is moved to.
    double target(const MatchedFeaturePair& p, double share) const {
        const double y = own(p).y();
        return y + share * (moved(p).y() - y);
    }
};

Matrix3d normalised(const Matrix3d& m) {
    return m / m.norm();
}

// translate(w/2, h/2) · rotateZ(roll) · translate(-w/2, -h/2) in the host's single precision.
Matrix3d rollAboutCentre(float roll, int w, int h) {
    Kx::Image::Matrix4 m;
    m.translate(float(w / 2), float(h / 2), 0);
    m.rotateZ(roll);
    m.translate(-float(w / 2), -float(h / 2), 0);
    Matrix3d out;
    const int rc[3] = {0, 1, 3};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out(r, c) = m(rc[r], rc[c]);
    return out;
}

void compensateRoll(CameraDefinition& camera, ViewAlignment& record) {
    const float rz = float(camera.getRotation().z());
    if (rz == 0.0f) return;
    const float roll = rz * 0.017453292f;
    Matrix3d Rz;
    Rz << std::cos(double(roll)), -std::sin(double(roll)), 0, std::sin(double(roll)),
        std::cos(double(roll)), 0, 0, 0, 1;
    camera.setRotationFromExtrinsics(Rz * camera.getWorldToCameraRotation());
    record.cameraHomography =
        rollAboutCentre(roll, int(camera.getFormatWidth()), int(camera.getFormatHeight()));
}

// Camera correction of one view: turn its camera to the common (or the partner's)
// orientation, match focal lengths, and centre the result on the pairs.
void correctCamera(const AlignmentSettings& s, bool left, const CameraDefinition& camL,
                   const CameraDefinition& camR, const MatchedPairs& pairs, ViewAlignment& record,
                   CameraDefinition& corrected) {
    const Matrix3d RL = camL.getWorldToCameraRotation(), RR = camR.getWorldToCameraRotation();
    Matrix3d Rn;
    if (s.alignLeft() && s.alignRight()) {
        Kx::Image::Quaternion qL(toHostMatrix(RL)), qR(toHostMatrix(RR));
        Rn = fromHostMatrix(qL.slerp(qR, 0.5f).matrix3());
    } else {
        Rn = left ? RR : RL;
    }
    const auto KL = cameraIntrinsics(camL), KR = cameraIntrinsics(camR);
    if (!KL || !KR) return;
    double r = left ? (*KR)(0, 0) / (*KL)(0, 0) : (*KL)(0, 0) / (*KR)(0, 0);
    if (s.alignLeft() && s.alignRight()) r = (r + 1) / 2;
    const Matrix3d S = Eigen::Vector3d(r, r, 1).asDiagonal();
    const Matrix3d& KV = left ? *KL : *KR;
    const Matrix3d& RV = left ? RL : RR;
    const Matrix3d H0 = S * KV * Rn * pseudoInverse(KV * RV);

    double dx = 0, dy = 0;
    const ViewSide side{left, false, nullptr, nullptr};
    for (const MatchedFeaturePair& p : pairs) {
        const Vector2d& P = side.own(p);
        Eigen::Vector3d h = H0 * Eigen::Vector3d(P.x(), P.y(), 1);
        if (std::abs(h.z()) <= kTinyWeight) h.z() = 1;
        dx += P.x() - h.x() / h.z();
        dy += side.target(p, s.share()) - h.y() / h.z();
    }
    dx /= double(pairs.size());
    dy /= double(pairs.size());
    Matrix3d T = Matrix3d::Identity();
    T(0, 2) = dx;
    T(1, 2) = dy;
    record.cameraHomography = normalised(T * H0 * record.cameraHomography);
    corrected.setRotationFromExtrinsics(Rn);
}

void fitScale(const MatchedPairs& pairs, const ViewSide& side, double share, ViewAlignment& r) {
    if (pairs.empty()) return;
    double sw = 0, meanP = 0, meanT = 0;
    for (const auto& p : pairs) {
        const double w = weight(p), y = side.own(p).y();
        sw += w;
        meanP += w * y;
        meanT += w * (y + share * (side.partnerPoint(p).y() - y));
    }
    meanP /= sw;
    meanT /= sw;
    double num = 0, den = 0;
    for (const auto& p : pairs) {
        const double w = weight(p);
        num += w * std::abs(side.target(p, share) - meanT);
        den += w * std::abs(side.own(p).y() - meanP);
    }
    if (num != 0) r.scale = num / den;
}

void fitShift(const MatchedPairs& pairs, const ViewSide& side, double share, bool useScale,
              double cy, ViewAlignment& r) {
    if (pairs.empty()) {
        r.shift = 0;
        return;
    }
    double sw = 0, st = 0, sy = 0;
    for (const auto& p : pairs) {
        const double w = weight(p), y = side.own(p).y();
        sw += w;
        st += w * side.target(p, share);
        sy += w * (useScale ? cy + r.scale * (y - cy) : y);
    }
    r.shift = st / sw - sy / sw;
}

// The cost function as the minimiser sees it: residuals by finite differences.
struct RotationFunctor {
    using Scalar = double;
    using InputType = Eigen::VectorXd;
    using ValueType = Eigen::VectorXd;
    using JacobianType = Eigen::MatrixXd;
    enum { InputsAtCompileTime = Eigen::Dynamic, ValuesAtCompileTime = Eigen::Dynamic };

    const ScaleShiftRotateCostFunction* cost;
    int inputs() const { return cost->unknowns(); }
    int values() const { return cost->residuals(); }
    int operator()(const InputType& x, ValueType& fx) const {
        cost->f(x, fx);
        return 0;
    }
};

void fitRotation(const AlignmentSettings& s, const MatchedPairs& pairs, bool left,
                 const SphericalTransform& tl, const SphericalTransform& tr, ViewAlignment& r) {
    if (pairs.empty()) return;
    const bool useScale = s.options & 0x2, useShift = s.options & 0x4;
    ScaleShiftRotateCostFunction cost(&pairs, left, useScale, useShift, s.spherical, s.cx(), s.cy(),
                                      s.share(), tl, tr);
    Eigen::VectorXd x(cost.unknowns());
    int k = 0;
    x(k++) = s.cx();
    x(k++) = s.cy();
    x(k++) = 0;
    if (useScale) x(k++) = r.scale;
    if (useShift) x(k++) = r.shift;

    RotationFunctor functor{&cost};
    Eigen::NumericalDiff<RotationFunctor> numeric(functor, 1e-11);
    Eigen::LevenbergMarquardt<Eigen::NumericalDiff<RotationFunctor>> lm(numeric);
    lm.parameters.xtol = 1e-8;
    lm.parameters.ftol = 1e-10;
    lm.parameters.gtol = 1e-5;
    lm.parameters.epsfcn = 1e-11;
    lm.parameters.maxfev = 400 * cost.unknowns();
    lm.minimize(x);

    r.pivot = Vector2d(x(0), x(1));
    r.angle = x(2);
    if (useScale) r.scale = x(3);
    if (useShift) r.shift = x(x.size() - 1);
}

// Solves A·h = b in the weighted least-squares sense, h = (AᵀWA)⁺ AᵀW b. The normal
// equations of pixel-sized rows are badly conditioned (their entries span twelve orders of
// magnitude), so the same solution is computed from the columns scaled to unit size and the
// rows to the square roots of their weights, by an SVD that keeps every non-zero singular
// value.
std::optional<Eigen::VectorXd> weightedSolve(const Eigen::MatrixXd& A, const Eigen::VectorXd& b,
                                             const Eigen::VectorXd& w) {
    if (!A.allFinite()) return std::nullopt;
    const Eigen::VectorXd sqrtW = w.cwiseSqrt();
    Eigen::MatrixXd scaled = sqrtW.asDiagonal() * A;
    Eigen::VectorXd columnScale = scaled.colwise().norm().transpose();
    for (Eigen::Index c = 0; c < columnScale.size(); ++c)
        if (columnScale(c) == 0) columnScale(c) = 1;
    scaled = scaled * columnScale.cwiseInverse().asDiagonal();
    const Eigen::VectorXd h = pseudoInverse(scaled) * (sqrtW.asDiagonal() * b);
    return Eigen::VectorXd(h.cwiseQuotient(columnScale));
}

void fitPerspective(const MatchedPairs& pairs, const ViewSide& side, double share,
                    ViewAlignment& r) {
    r.perspective.setIdentity();
    if (pairs.size() < 4) return;
    const Eigen::Index n = Eigen::Index(pairs.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(2 * n, 8);
    Eigen::VectorXd b(2 * n), w(2 * n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& p = pairs[size_t(i)];
        const Vector2d& P = side.own(p);
        const double t = side.target(p, share);
        A.row(2 * i) << P.x(), P.y(), 1, 0, 0, 0, -P.x() * P.x(), -P.x() * P.y();
        A.row(2 * i + 1) << 0, 0, 0, P.x(), P.y(), 1, -P.x() * t, -P.y() * t;
        b(2 * i) = P.x();
        b(2 * i + 1) = t;
        w(2 * i) = w(2 * i + 1) = weight(p);
    }
    const auto h = weightedSolve(A, b, w);
    if (!h) return;
    r.perspective << (*h)(0), (*h)(1), (*h)(2), (*h)(3), (*h)(4), (*h)(5), (*h)(6), (*h)(7), 1;
}

void fitVerticalSkew(const AlignmentSettings& s, const MatchedPairs& pairs, const ViewSide& side,
                     ViewAlignment& r) {
    const double x0 = s.box.x(), y0 = s.box.y(), y1 = s.box.t();
    const double Wb = s.box.r() - s.box.x(), Hb = s.box.t() - s.box.y();
    r.skewCorners = Eigen::Vector4d(y0, y0, y1, y1);
    if (pairs.empty()) return;
    const Eigen::Index n = Eigen::Index(pairs.size());
    Eigen::MatrixXd A(n, 4);
    Eigen::VectorXd b(n), w(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& p = pairs[size_t(i)];
        const Vector2d& P = side.own(p);
        const double t = side.target(p, s.share());
        const double u = (P.x() - x0) / Wb, v = 1 - (t - y0) / Hb;
        A.row(i) << (1 - u) * v, u * v, (1 - u) * (1 - v), u * (1 - v);
        b(i) = P.y() - t;
        w(i) = weight(p);
    }
    const auto d = weightedSolve(A, b, w);
    if (!d) return;
    const double kL = ((*d)(2) - (*d)(0)) / Hb, kR = ((*d)(3) - (*d)(1)) / Hb;
    r.skewCorners =
        Eigen::Vector4d((y0 - (*d)(0) + y0 * kL) / (1 + kL), (y0 - (*d)(1) + y0 * kR) / (1 + kR),
                        (y1 - (*d)(0) + y0 * kL) / (1 + kL), (y1 - (*d)(1) + y0 * kR) / (1 + kR));
}

SphericalTransform viewTransform(const CameraDefinition& camera, const AlignmentSettings& s) {
    SphericalTransform t(camera);
    t.setOutputImageSize(camera.getFormatWidth(), camera.getFormatHeight());
    t.setConvergenceDepth(s.convergenceDepth);
    return t;
}

} // namespace

std::optional<Matrix3d> cameraIntrinsics(const CameraDefinition& camera) {
    Kx::Image::Matrix4 M;
    const Vector2d cs = camera.getCentreShift();
    M.translate(-float(cs.x()), -float(cs.y()), 0);
    M.projection(float(camera.getFocalLength() / camera.getSensorSize().x()), 0.01f, 100.0f, true);
    const double W = camera.getFormatWidth(), H = camera.getFormatHeight();
    Matrix3d N;
    const int rows[3] = {0, 1, 3};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) N(r, c) = M(rows[r], c);
    N.row(1) *= camera.getPixelAspect() * (W / H);
    if (!N.allFinite()) return std::nullopt;
    N /= N.norm();
    Matrix3d image;
    image << W / 2, 0, W / 2, 0, H / 2, H / 2, 0, 0, 1;
    return Matrix3d(image * N);
}

ScaleShiftRotateCostFunction::ScaleShiftRotateCostFunction(
    const MatchedPairs* pairs, bool isLeft, bool useScale, bool useShift, bool spherical, double cx,
    double cy, double share, const SphericalTransform& left, const SphericalTransform& right)
    : _pairs(pairs), _isLeft(isLeft), _useScale(useScale), _useShift(useShift),
      _spherical(spherical), _cx(cx), _cy(cy), _share(share), _left(left), _right(right) {}

void ScaleShiftRotateCostFunction::f(const Eigen::VectorXd& x, Eigen::VectorXd& fx) const {
    const ViewSide side{_isLeft, _spherical, _isLeft ? &_left : &_right,
                        _isLeft ? &_right : &_left};
    const double a = x(0), b = x(1), c = std::cos(x(2)), sn = std::sin(x(2));
    const double s = _useScale ? x(3) : 1.0;
    const double tau = _useShift ? x(x.size() - 1) : 0.0;
    fx.resize(Eigen::Index(_pairs->size()));
    for (size_t i = 0; i < _pairs->size(); ++i) {
        const auto& p = (*_pairs)[i];
        const Vector2d& P = side.own(p);
        double X = P.x(), Y = P.y();
        if (_useScale) X = _cx + s * (P.x() - _cx), Y = _cy + s * (P.y() - _cy);
        if (_useShift) Y += tau;
        fx(Eigen::Index(i)) =
            weight(p) * (side.target(p, _share) - (b + (Y - b) * c - (X - a) * sn));
    }
}

bool matchedPairsAtKey(const VerticalAlignerPlugin& node, int frame, MatchedPairs& out) {
    out.clear();
    const VerticalAlignerKnobManager& kv = node.knobValues();
    if (!kv.isAnalysisKey(frame)) return false;
    const double threshold = kv.errorThreshold();
    ControlPointsKnob* store = kv.controlPoints();
    if (!store || !store->hasFrame(frame)) return false;
    const CameraTrack& track = store->tracksForFrame(frame);
    if (track.getNumberTracks() == 0) return false;
    const int leftCamera = node.cameraIndexOfView(kv.leftView());
    const int rightCamera = node.cameraIndexOfView(kv.rightView());
    const Kx::Image::OutputContext& c = node.outputContext();
    const bool proxy =
        c.scale_x() != 1 || c.scale_y() != 1 || c.translate_x() != 0 || c.translate_y() != 0;
    auto toProxy = [&](const Vector2d& p) {
        return proxy ? Vector2d(c.scale_x() * p.x() + c.translate_x(),
                                c.scale_y() * p.y() + c.translate_y())
                     : p;
    };
    for (const FeatureTrack& t : track.getTracks()) {
        if (t.getPoint().getRMSE() >= threshold) continue;
        const auto& features = t.getFeatures();
        for (size_t i = 0; i < features.size(); ++i)
            for (size_t j = i + 1; j < features.size(); ++j) {
                const int a = features[i].first, b = features[j].first;
                if (!((a == leftCamera && b == rightCamera) ||
                      (a == rightCamera && b == leftCamera)))
                    continue;
                MatchedFeaturePair pair;
                pair.first = toProxy(features[i].second.getPosition());
                pair.second = toProxy(features[j].second.getPosition());
                out.push_back(pair);
            }
    }
    return true;
}

SolvedKey solveKey(const AlignmentSettings& s, const MatchedPairs& input, CameraDefinition& camL,
                   CameraDefinition& camR) {
    SolvedKey out{initViewAlignment(s), initViewAlignment(s)};
    compensateRoll(camL, out.left);
    compensateRoll(camR, out.right);
    MatchedPairs pairs =
        transformPairs(input, out.left.cameraHomography, out.right.cameraHomography);

    CameraDefinition correctedL = camL, correctedR = camR;
    if ((s.options & 0x1) && !s.spherical) {
        if (s.alignLeft()) correctCamera(s, true, camL, camR, pairs, out.left, correctedL);
        if (s.alignRight()) correctCamera(s, false, camL, camR, pairs, out.right, correctedR);
    }
    if (s.options == 0) return out;

    pairs = transformPairs(input, composeHomography(s, out.left), composeHomography(s, out.right));
    camL = correctedL;
    camR = correctedR;
    const SphericalTransform tl = viewTransform(camL, s), tr = viewTransform(camR, s);
    const ViewSide left{true, s.spherical, &tl, &tr}, right{false, s.spherical, &tr, &tl};
    const double share = s.share();
    auto retransform = [&] {
        pairs =
            transformPairs(input, composeHomography(s, out.left), composeHomography(s, out.right));
    };

    if (s.options & (0x2 | 0x4 | 0x8)) {
        if (s.options & 0x2) {
            if (s.alignLeft()) fitScale(pairs, left, share, out.left);
            if (s.alignRight()) fitScale(pairs, right, share, out.right);
        }
        if (s.options & 0x4) {
            if (s.alignLeft()) fitShift(pairs, left, share, s.options & 0x2, s.cy(), out.left);
            if (s.alignRight()) fitShift(pairs, right, share, s.options & 0x2, s.cy(), out.right);
        }
        if (s.options & 0x8) {
            if (s.alignLeft()) fitRotation(s, pairs, true, tl, tr, out.left);
            if (s.alignRight()) fitRotation(s, pairs, false, tl, tr, out.right);
        }
        retransform();
    }
    if (s.options & 0x10) {
        if (s.alignLeft()) fitPerspective(pairs, left, share, out.left);
        if (s.alignRight()) fitPerspective(pairs, right, share, out.right);
        retransform();
    }
    if (s.options & 0x20) {
        if (s.alignLeft()) fitVerticalSkew(s, pairs, left, out.left);
        if (s.alignRight()) fitVerticalSkew(s, pairs, right, out.right);
    }
    return out;
}

} // namespace Marrow::Research
