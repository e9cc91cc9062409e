#include "mwAlignmentModel.h"

#include "mwKnobNames.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Knob.h"

#include <Eigen/SVD>

#include <cmath>

namespace Marrow::Research {

using Eigen::Matrix3d;
namespace N = KnobNames;

namespace {

// The checkboxes of each preset, in panel order (camera, scale, shift, rotate, perspective,
// vertical skew); row 0 ("Custom") is never applied.
constexpr int kPresetOptions[5] = {0, 0x2 | 0x4 | 0x8, 0x1, 0x20, 0x2 | 0x4 | 0x8 | 0x10 | 0x20};
const char* const kOptionKnobs[6] = {N::kAlignCamera, N::kAlignScale,       N::kAlignShift,
                                     N::kAlignRotate, N::kAlignPerspective, N::kAlignVerticalSkew};

} // namespace

void applyPreset(Kx::Image::Op& node) {
    Kx::Image::Knob* type = node.knob(N::kAlignmentType);
    if (!type) return;
    const int preset = int(type->value());
    if (preset <= 0 || preset > 4) return;
    for (int i = 0; i < 6; ++i) {
        Kx::Image::Knob* k = node.knob(kOptionKnobs[i]);
        if (!k) continue;
        Kx::Image::ValueStuffArgs a;
        a.value = (kPresetOptions[preset] >> i) & 1 ? 1.0 : 0.0;
        a.channel = -1;
        k->value_stuff(Kx::Image::ValueOp::SetValue, a);
    }
}

int presetOfOptions(int options) {
    for (int p = 1; p < 5; ++p)
        if (kPresetOptions[p] == options) return p;
    return 0;
}

AlignmentSettings makeSettings(const VerticalAlignerPlugin& node) {
    const VerticalAlignerKnobManager& kv = node.knobValues();
    AlignmentSettings s;
    s.alignWhat = kv.alignWhat();
    s.options = kv.alignmentOptions();
    s.spherical = kv.spherical();
    s.convergenceDepth = kv.convergenceDepth();
    s.box = node.alignmentBox();
    return s;
}

ViewAlignment initViewAlignment(const AlignmentSettings& s) {
    ViewAlignment r;
    r.skewCorners = Eigen::Vector4d(s.box.y(), s.box.y(), s.box.t(), s.box.t());
    r.cameraHomography.setIdentity();
    r.perspective.setIdentity();
    r.pivot = Eigen::Vector2d(s.cx(), s.cy());
    return r;
}

Matrix3d composeHomography(const AlignmentSettings& s, const ViewAlignment& r) {
    const double cx = s.cx(), cy = s.cy();
    Matrix3d H = r.cameraHomography;
    if (s.options & 0x2) {
        Matrix3d S;
        S << r.scale, 0, cx * (1 - r.scale), 0, r.scale, cy * (1 - r.scale), 0, 0, 1;
        H = S * H;
    }
    if (s.options & 0x4) {
        Matrix3d T;
        T << 1, 0, 0, 0, 1, r.shift, 0, 0, 1;
        H = T * H;
    }
    if (s.options & 0x8) {
        const double c = std::cos(r.angle), sn = std::sin(r.angle);
        const double a = r.pivot.x(), b = r.pivot.y();
        Matrix3d R;
        R << c, sn, cx * (1 - c) - cy * sn, -sn, c, b * (1 - c) + a * sn, 0, 0, 1;
        H = R * H;
    }
    if (s.options & 0x10) H = r.perspective * H;
    H /= H.norm();
    if (!H.allFinite()) H.setIdentity();
    return H;
}

Kx::Image::Matrix3 toHostMatrix(const Matrix3d& m) {
    Kx::Image::Matrix3 h;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) h(r, c) = float(m(r, c));
    return h;
}

Matrix3d fromHostMatrix(const Kx::Image::Matrix3& h) {
    Matrix3d m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m(r, c) = h(r, c);
    return m;
}

Eigen::Vector2d applyHomography(const Matrix3d& H, const Eigen::Vector2d& p) {
    const Eigen::Vector3d h = H * Eigen::Vector3d(p.x(), p.y(), 1.0);
    if (h.z() == 0.0) return p;
    return Eigen::Vector2d(h.x() / h.z(), h.y() / h.z());
}

MatchedPairs transformPairs(const MatchedPairs& pairs, const Matrix3d& left,
                            const Matrix3d& right) {
    MatchedPairs out(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        out[i].first = applyHomography(left, pairs[i].first);
        out[i].second = applyHomography(right, pairs[i].second);
        out[i].priority = pairs[i].priority;
    }
    return out;
}

ViewAlignment blendViewAlignment(const ViewAlignment& a, const ViewAlignment& b, double t) {
    ViewAlignment r;
    r.skewCorners = a.skewCorners * (1 - t) + b.skewCorners * t;
    r.cameraHomography = a.cameraHomography * (1 - t) + b.cameraHomography * t;
    r.perspective = a.perspective * (1 - t) + b.perspective * t;
    r.pivot = a.pivot * (1 - t) + b.pivot * t;
    r.scale = a.scale * (1 - t) + b.scale * t;
    r.shift = a.shift * (1 - t) + b.shift * t;
    r.angle = a.angle * (1 - t) + b.angle * t;
    return r;
}

// Only the singular vectors of the min(rows, cols) singular values take part: a key's solve
// has a row per match, thousands of them, and the full U of such a matrix (a square of the
// rows) would cost most of a frame's render while meeting only zeros of the inverted sigma.
Eigen::MatrixXd pseudoInverse(const Eigen::MatrixXd& m) {
    Eigen::JacobiSVD<Eigen::MatrixXd> svd(m, Eigen::ComputeThinU | Eigen::ComputeThinV);
    Eigen::VectorXd inverseSigma = Eigen::VectorXd::Zero(svd.singularValues().size());
    for (Eigen::Index i = 0; i < inverseSigma.size(); ++i)
        if (const double s = svd.singularValues()(i); s != 0.0) inverseSigma(i) = 1.0 / s;
    return svd.matrixV() * inverseSigma.asDiagonal() * svd.matrixU().transpose();
}

void handToSampler(const AlignmentSettings& s, const ViewAlignment& r, const Matrix3d& H,
                   Vireon::VireonAlignmentSampler& sampler) {
    Matrix3d inverse = pseudoInverse(H);
    inverse /= inverse.norm();
    sampler.setAlignmentTransform(s.options, inverse, H, r.skewCorners, s.box);
}

} // namespace Marrow::Research
