#include "Quorvane/TriangulateFeatures.h"

#include "Quorvane/SolveCameraPair.h"

#include <Eigen/Dense>
#include <opencv2/calib3d.hpp>

#include <algorithm>

#include <cmath>
#include <numbers>
#include <vector>

namespace Marrow::Research {

namespace {

struct Observation {
    const CameraDefinition* camera;
    Eigen::Vector2d pixel;
    Eigen::Vector3d ray;
};

// Sum of squared reprojection errors; false when the point is behind a camera.
bool reprojection(const std::vector<Observation>& obs, const Eigen::Vector3d& x,
                  Eigen::VectorXd& residuals) {
    residuals.resize(Eigen::Index(2 * obs.size()));
    for (size_t i = 0; i < obs.size(); ++i) {
        Eigen::Vector2d p;
        if (!obs[i].camera->projectToPixel(x, p)) return false;
        residuals.segment<2>(Eigen::Index(2 * i)) = p - obs[i].pixel;
    }
    return true;
}

} // namespace

Point triangulateTrack(const FeatureTrack& track, const CameraRigDefinition& rig) {
    std::vector<Observation> obs;
    std::vector<bool> seen(size_t(rig.getNumberCameras()), false);
    for (const auto& [camera, feature] : track.getFeatures()) {
        if (camera < 0 || camera >= rig.getNumberCameras() || seen[size_t(camera)]) continue;
        seen[size_t(camera)] = true;
        const CameraDefinition& c = rig.getCamera(camera);
        obs.push_back({&c, feature.getPosition(), c.pixelToRay(feature.getPosition())});
    }
    if (obs.size() < 2) return Point();

    double widest = 0.0;
    for (size_t i = 0; i < obs.size(); ++i)
        for (size_t j = i + 1; j < obs.size(); ++j)
            widest = std::max(widest, std::atan2(obs[i].ray.cross(obs[j].ray).norm(),
                                                 obs[i].ray.dot(obs[j].ray)));
    if (!(widest >= kMinParallaxDegrees * std::numbers::pi / 180.0)) return Point();

    // The point nearest to every ray: sum over rays of (I - d·dᵀ)(x - c) = 0.
    Eigen::Matrix3d a = Eigen::Matrix3d::Zero();
    Eigen::Vector3d b = Eigen::Vector3d::Zero();
    for (const Observation& o : obs) {
        const Eigen::Matrix3d m = Eigen::Matrix3d::Identity() - o.ray * o.ray.transpose();
        a += m;
        b += m * o.camera->getPosition();
    }
    Eigen::Vector3d x = a.ldlt().solve(b);

    // Gauss-Newton on the reprojection error, with a numerical Jacobian scaled to the
    // point's distance.
    Eigen::VectorXd r, r2;
    if (!reprojection(obs, x, r)) return Point();
    for (int iteration = 0; iteration < 10; ++iteration) {
        const double h = 1e-7 * std::max(1.0, (x - obs[0].camera->getPosition()).norm());
        Eigen::MatrixXd j(r.size(), 3);
        for (int k = 0; k < 3; ++k) {
            Eigen::Vector3d xk = x;
            xk[k] += h;
            if (!reprojection(obs, xk, r2)) return Point();
            j.col(k) = (r2 - r) / h;
        }
        const Eigen::Vector3d step = (j.transpose() * j).ldlt().solve(-j.transpose() * r);
        if (!step.allFinite()) break;
        const Eigen::Vector3d next = x + step;
        if (!reprojection(obs, next, r2) || r2.squaredNorm() >= r.squaredNorm()) break;
        x = next;
        r = r2;
    }
    return Point(x, std::sqrt(r.squaredNorm() / double(obs.size())));
}

CameraRigDefinition rigWithBaselines(const CameraTrack& track, const CameraRigDefinition& rig) {
    CameraRigDefinition solved = rig;
    const int n = rig.getNumberCameras();
    for (int j = 1; j < n; ++j)
        for (int i = 0; i < j; ++i) {
            const double apart =
                (rig.getCamera(j).getPosition() - rig.getCamera(i).getPosition()).norm();
            if (apart > kSameCentre) continue;
            if (SolveCameraPair(nullptr, {i, j}, solved, {&track}, false, true)) break;
        }
    return solved;
}

namespace {

// Gives the tracks of cameras a and b (exactly those two) that were just triangulated through
// the pair solved from the matches their epipolar error as RMSE: the fundamental matrix of the
// matches (RANSAC at one pixel, then least squares on its inliers), and for each match the RMS
// of the distances its two features must move to agree with it (the optimal correction).
void setEpipolarErrors(CameraTrack& track, int a, int b, const std::vector<char>& fresh) {
    std::vector<cv::Point2d> pa, pb;
    std::vector<size_t> which;
    auto& tracks = track.getTracks();
    for (size_t k = 0; k < tracks.size(); ++k) {
        const Feature* fa = tracks[k].findFeature(a);
        const Feature* fb = tracks[k].findFeature(b);
        if (!fresh[k] || !fa || !fb || tracks[k].getNumberFeatures() != 2 ||
            !tracks[k].getPoint().isValid())
            continue;
        pa.emplace_back(fa->getPosition().x(), fa->getPosition().y());
        pb.emplace_back(fb->getPosition().x(), fb->getPosition().y());
        which.push_back(k);
    }
    if (int(pa.size()) < kMinPairMatches) return;
    std::vector<uchar> inliers;
    cv::Mat f = cv::findFundamentalMat(pa, pb, cv::FM_RANSAC, 1.0, 0.999, inliers);
    if (f.rows != 3 || f.cols != 3) return;
    std::vector<cv::Point2d> ia, ib;
    for (size_t k = 0; k < pa.size(); ++k)
        if (inliers[k]) ia.push_back(pa[k]), ib.push_back(pb[k]);
    if (ia.size() >= 8) {
        const cv::Mat refined = cv::findFundamentalMat(ia, ib, cv::FM_8POINT);
        if (refined.rows == 3 && refined.cols == 3) f = refined;
    }
    std::vector<cv::Point2d> ca, cb;
    cv::correctMatches(f, pa, pb, ca, cb);
    for (size_t k = 0; k < which.size(); ++k) {
        const double da = cv::norm(ca[k] - pa[k]), db = cv::norm(cb[k] - pb[k]);
        FeatureTrack& t = tracks[which[k]];
        t.setPoint(Point(t.getPoint().getPosition(), std::sqrt(0.5 * (da * da + db * db))));
    }
}

} // namespace

int TriangulateFeatures(CameraTrack& track, const CameraRigDefinition& given, bool overwrite) {
    const CameraRigDefinition rig = rigWithBaselines(track, given);
    std::vector<char> fresh(track.getTracks().size(), 0);
    for (size_t k = 0; k < fresh.size(); ++k) {
        FeatureTrack& t = track.getTracks()[k];
        if (!overwrite && t.getPoint().isValid()) continue;
        t.setPoint(triangulateTrack(t, rig));
        fresh[k] = 1;
    }
    const int n = given.getNumberCameras();
    for (int j = 1; j < n; ++j)
        for (int i = 0; i < j; ++i)
            if ((given.getCamera(j).getPosition() - given.getCamera(i).getPosition()).norm() <=
                kSameCentre)
                setEpipolarErrors(track, i, j, fresh);
    return int(std::count_if(track.getTracks().begin(), track.getTracks().end(),
                             [](const FeatureTrack& t) { return t.getPoint().isValid(); }));
}

} // namespace Marrow::Research
