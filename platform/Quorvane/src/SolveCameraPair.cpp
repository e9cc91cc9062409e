#include "Quorvane/SolveCameraPair.h"

#include <Kx/Image/Op.h>

#include <Eigen/Dense>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>
#include <unsupported/Eigen/NonLinearOptimization>
#include <unsupported/Eigen/NumericalDiff>

#include <cmath>

namespace Marrow::Research {

namespace {

// OpenCV's camera looks down +z with y down; ours looks down -z with y up.
const Eigen::Matrix3d kFlip = Eigen::Vector3d(1, -1, -1).asDiagonal();

Eigen::Matrix3d skew(const Eigen::Vector3d& v) {
    Eigen::Matrix3d m;
    m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
    return m;
}

Eigen::Matrix3d exponential(const Eigen::Vector3d& w) {
    const double angle = w.norm();
    if (angle == 0.0) return Eigen::Matrix3d::Identity();
    return Eigen::AngleAxisd(angle, w / angle).toRotationMatrix();
}

// Two unit vectors completing t to an orthonormal basis.
void tangentBasis(const Eigen::Vector3d& t, Eigen::Vector3d& e1, Eigen::Vector3d& e2) {
    const Eigen::Vector3d a =
        std::abs(t.x()) < 0.9 ? Eigen::Vector3d::UnitX() : Eigen::Vector3d::UnitY();
    e1 = t.cross(a).normalized();
    e2 = t.cross(e1);
}

// Sampson distances of the matches under the relative pose (rotation exp(w)·R0, baseline
// direction t0 + a·e1 + b·e2), in the OpenCV frame and scaled to pixels.
struct SampsonFunctor {
    using Scalar = double;
    enum { InputsAtCompileTime = Eigen::Dynamic, ValuesAtCompileTime = Eigen::Dynamic };
    using InputType = Eigen::VectorXd;
    using ValueType = Eigen::VectorXd;
    using JacobianType = Eigen::MatrixXd;

    const std::vector<Eigen::Vector3d>* first;
    const std::vector<Eigen::Vector3d>* second;
    Eigen::Matrix3d r0;
    Eigen::Vector3d t0, e1, e2;
    double pixels;

    int inputs() const { return 5; }
    int values() const { return int(first->size()); }

    void pose(const Eigen::VectorXd& x, Eigen::Matrix3d& r, Eigen::Vector3d& t) const {
        r = exponential(x.head<3>()) * r0;
        t = (t0 + x[3] * e1 + x[4] * e2).normalized();
    }

    int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& f) const {
        Eigen::Matrix3d r;
        Eigen::Vector3d t;
        pose(x, r, t);
        const Eigen::Matrix3d e = skew(t) * r;
        for (size_t i = 0; i < first->size(); ++i) {
            const Eigen::Vector3d& p1 = (*first)[i];
            const Eigen::Vector3d& p2 = (*second)[i];
            const Eigen::Vector3d ep1 = e * p1, etp2 = e.transpose() * p2;
            const double d = ep1.head<2>().squaredNorm() + etp2.head<2>().squaredNorm();
            f[Eigen::Index(i)] = d > 0.0 ? pixels * p2.dot(ep1) / std::sqrt(d) : 0.0;
        }
        return 0;
    }
};

} // namespace

bool SolveCameraPair(const Kx::Image::Op* node, std::pair<int, int> cameras,
                     CameraRigDefinition& rig, const std::vector<const CameraTrack*>& tracks,
                     bool userTracksOnly, bool fixFirstCamera) {
    const auto [ia, ib] = cameras;
    if (ia == ib || ia < 0 || ib < 0 || ia >= rig.getNumberCameras() ||
        ib >= rig.getNumberCameras())
        return false;
    const CameraDefinition& ca = rig.getCamera(ia);
    const CameraDefinition& cb = rig.getCamera(ib);
    if (ca.getProjectionType() != PROJECTION_PERSPECTIVE ||
        cb.getProjectionType() != PROJECTION_PERSPECTIVE)
        return false;
    double baseline = (cb.getPosition() - ca.getPosition()).norm();
    if (!(baseline > 0.0)) baseline = rig.getRigDiameter();
    if (!(baseline > 0.0)) baseline = 1.0;

    // Matches on the normalised image planes, in OpenCV's axes (x right, y down, z ahead).
    const Eigen::Matrix3d ka = ca.getIntrinsics().inverse(), kb = cb.getIntrinsics().inverse();
    std::vector<cv::Point2d> pa, pb;
    for (const CameraTrack* frame : tracks) {
        if (!frame) continue;
        for (const FeatureTrack& t : frame->getTracks()) {
            if (userTracksOnly && !t.getUserTrack()) continue;
            const Feature* fa = t.findFeature(ia);
            const Feature* fb = t.findFeature(ib);
            if (!fa || !fb) continue;
            const Eigen::Vector3d na = ka * fa->getPosition().homogeneous();
            const Eigen::Vector3d nb = kb * fb->getPosition().homogeneous();
            pa.emplace_back(na.x(), -na.y());
            pb.emplace_back(nb.x(), -nb.y());
        }
    }
    if (int(pa.size()) < kMinPairMatches) return false;
    if (node && node->aborted()) return false;

    const double pixels = 0.5 * (ca.getIntrinsics()(0, 0) + cb.getIntrinsics()(0, 0));
    cv::Mat inliers;
    const cv::Mat e = cv::findEssentialMat(pa, pb, cv::Mat::eye(3, 3, CV_64F), cv::RANSAC, 0.9999,
                                           1.0 / pixels, inliers);
    if (e.rows != 3 || e.cols != 3) return false;
    // Points further than kFarthest baselines count as at infinity: they fix the rotation
    // but say nothing about the baseline, and a pair seeing only such points is degenerate.
    constexpr double kFarthest = 1e4;
    cv::Mat rcv, tcv, points;
    const int inFront = cv::recoverPose(e, pa, pb, cv::Mat::eye(3, 3, CV_64F), rcv, tcv, kFarthest,
                                        inliers, points);
    if (inFront < kMinPairMatches) return false;

    std::vector<Eigen::Vector3d> first, second;
    for (int i = 0; i < inliers.rows; ++i) {
        if (!inliers.at<uchar>(i)) continue;
        first.emplace_back(pa[size_t(i)].x, pa[size_t(i)].y, 1.0);
        second.emplace_back(pb[size_t(i)].x, pb[size_t(i)].y, 1.0);
    }
    if (int(first.size()) < kMinPairMatches) return false;

    SampsonFunctor functor;
    functor.first = &first;
    functor.second = &second;
    cv::cv2eigen(rcv, functor.r0);
    cv::cv2eigen(tcv, functor.t0);
    functor.t0.normalize();
    tangentBasis(functor.t0, functor.e1, functor.e2);
    functor.pixels = pixels;

    Eigen::NumericalDiff<SampsonFunctor> numeric(functor, 1e-11);
    Eigen::LevenbergMarquardt<Eigen::NumericalDiff<SampsonFunctor>> lm(numeric);
    lm.parameters.xtol = 1e-8;
    lm.parameters.ftol = 1e-10;
    lm.parameters.gtol = 1e-5;
    lm.parameters.maxfev = 400 * 5;
    Eigen::VectorXd x = Eigen::VectorXd::Zero(5);
    lm.minimize(x);
    Eigen::Matrix3d rRel;
    Eigen::Vector3d tRel;
    functor.pose(x, rRel, tRel);
    if (!rRel.allFinite() || !tRel.allFinite()) return false;

    // Back to our camera axes: X_b = R·X_a + t in camera coordinates of a and b.
    rRel = kFlip * rRel * kFlip;
    tRel = kFlip * tRel;
    const Eigen::Matrix3d ra = ca.getWorldToCameraRotation(), rb = cb.getWorldToCameraRotation();

    CameraDefinition na = ca, nb = cb;
    if (fixFirstCamera) {
        const Eigen::Matrix3d rbNew = rRel * ra;
        nb.setRotationFromExtrinsics(rbNew);
        nb.setPosition(ca.getPosition() - baseline * (rbNew.transpose() * tRel));
    } else {
        // Mean orientation m of the pair: ra = h⁻¹·m', rb = h·m' with h² = rb·raᵀ.
        const Eigen::AngleAxisd half(rb * ra.transpose());
        const Eigen::Matrix3d mean =
            Eigen::AngleAxisd(0.5 * half.angle(), half.axis()).toRotationMatrix().transpose() * rb;
        const Eigen::AngleAxisd solved(rRel);
        const Eigen::Matrix3d h =
            Eigen::AngleAxisd(0.5 * solved.angle(), solved.axis()).toRotationMatrix();
        const Eigen::Matrix3d raNew = h.transpose() * mean, rbNew = h * mean;
        const Eigen::Vector3d middle = 0.5 * (ca.getPosition() + cb.getPosition());
        const Eigen::Vector3d direction = -(rbNew.transpose() * tRel); // from a towards b
        na.setRotationFromExtrinsics(raNew);
        nb.setRotationFromExtrinsics(rbNew);
        na.setPosition(middle - 0.5 * baseline * direction);
        nb.setPosition(middle + 0.5 * baseline * direction);
    }
    rig.setCamera(ia, na);
    rig.setCamera(ib, nb);
    return true;
}

} // namespace Marrow::Research
