#include "Quorvane/TriangulateFeatures.h"

#include "Quorvane/SolveCameraPair.h"

#include <Eigen/Dense>

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

int TriangulateFeatures(CameraTrack& track, const CameraRigDefinition& given, bool overwrite) {
    const CameraRigDefinition rig = rigWithBaselines(track, given);
    int valid = 0;
    for (FeatureTrack& t : track.getTracks()) {
        if (overwrite || !t.getPoint().isValid()) t.setPoint(triangulateTrack(t, rig));
        valid += t.getPoint().isValid() ? 1 : 0;
    }
    return valid;
}

} // namespace Marrow::Research
