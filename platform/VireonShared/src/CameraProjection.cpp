#include "VireonShared/CameraProjection.h"

#include <Quorvane/CameraDefinition.h>

#include <Eigen/LU>
#include <Eigen/QR>

#include <cmath>
#include <numbers>

namespace Marrow::Vireon {

namespace {

Eigen::Matrix4d toEigen(const Kx::Image::Matrix4& m) {
    Eigen::Matrix4d e;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) e(i, j) = m.m[i][j];
    return e;
}

} // namespace

bool BuildProjection(Matrix34d& out, const Kx::Image::Matrix4& cameraTransform,
                     const Kx::Image::Matrix4& projection, const Kx::Image::Format& format) {
    const double w = format.width(), h = format.height();
    if (!(w > 0.0 && h > 0.0)) return false;
    const Eigen::Matrix4d m = toEigen(projection) * toEigen(cameraTransform);
    Matrix34d clip;
    clip.row(0) = m.row(0);
    clip.row(1) = m.row(1);
    clip.row(2) = m.row(3);
    Eigen::Matrix3d viewport;
    viewport << w / 2, 0, w / 2, 0, format.pixel_aspect() * w / 2, h / 2, 0, 0, 1;
    const Matrix34d p = viewport * clip;
    if (!p.allFinite() || p.isZero(0.0)) return false;
    out = p;
    return true;
}

CameraData DecomposeCameraProjection(const Matrix34d& projection, double x, double y, double r,
                                     double t) {
    CameraData data;
    const double w = r - x, h = t - y;
    Eigen::Matrix3d m = projection.leftCols<3>();
    Eigen::Vector3d p4 = projection.col(3);
    if (!(w > 0.0 && h > 0.0) || !projection.allFinite()) return data;
    const double det = m.determinant();
    if (!(std::abs(det) > 0.0)) return data;
    // m = K · diag(1, 1, -1) · R has a negative determinant when the points in front of the
    // camera get a positive weight; a projection given with the opposite overall sign is
    // turned round.
    if (det > 0.0) {
        m = -m;
        p4 = -p4;
    }

    // RQ decomposition m = K · Q through the QR decomposition of the row-reversed transpose.
    Eigen::Matrix3d rev = Eigen::Matrix3d::Zero();
    rev(0, 2) = rev(1, 1) = rev(2, 0) = 1.0;
    Eigen::HouseholderQR<Eigen::Matrix3d> qr((rev * m).transpose());
    const Eigen::Matrix3d qHat = qr.householderQ();
    const Eigen::Matrix3d rHat = qr.matrixQR().triangularView<Eigen::Upper>();
    Eigen::Matrix3d k = rev * rHat.transpose() * rev;
    Eigen::Matrix3d q = rev * qHat.transpose();
    // Make the diagonal of K positive: K · D · D · Q with D = diag(±1).
    const Eigen::Matrix3d d = Eigen::Vector3d(k(0, 0) < 0 ? -1.0 : 1.0, k(1, 1) < 0 ? -1.0 : 1.0,
                                              k(2, 2) < 0 ? -1.0 : 1.0)
                                  .asDiagonal();
    k = k * d;
    q = d * q;
    k /= k(2, 2);

    data.rotation = Eigen::Vector3d(1, 1, -1).asDiagonal() * q;
    data.centre = -m.inverse() * p4;
    data.eulerAngles = Research::eulerAnglesFromRotation(data.rotation);
    data.focalLengthPixels = k(0, 0);
    data.focalLength = k(0, 0) / w;
    data.pixelAspect = k(1, 1) / k(0, 0);
    data.skewAngle = std::atan2(k(0, 1), k(1, 1)) * (180.0 / std::numbers::pi);
    data.centreShift = {1.0 - 2.0 * (k(0, 2) - x) / w,
                        (h / 2 - (k(1, 2) - y)) * 2.0 / (data.pixelAspect * w)};
    data.valid = data.centre.allFinite() && data.rotation.allFinite();
    return data;
}

} // namespace Marrow::Vireon
