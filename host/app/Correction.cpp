#include "Correction.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Kestrel {

namespace {

// The similarity that moves the points' centroid to 0 and their mean distance from it to
// sqrt(2), which keeps the linear system well conditioned.
Eigen::Matrix3d normaliser(const std::vector<Eigen::Vector2d>& points) {
    Eigen::Vector2d mean = Eigen::Vector2d::Zero();
    for (const auto& p : points) mean += p;
    mean /= double(points.size());
    double spread = 0;
    for (const auto& p : points) spread += (p - mean).norm();
    spread /= double(points.size());
    if (!(spread > 0)) throw std::runtime_error("the correction's samples all lie at one point");
    const double s = std::sqrt(2.0) / spread;
    Eigen::Matrix3d n;
    n << s, 0, -s * mean.x(), 0, s, -s * mean.y(), 0, 0, 1;
    return n;
}

Eigen::Vector2d apply(const Eigen::Matrix3d& h, const Eigen::Vector2d& p) {
    const Eigen::Vector3d q = h * p.homogeneous();
    return q.hnormalized();
}

} // namespace

FittedHomography fitHomography(const std::vector<PointPair>& pairs) {
    if (pairs.size() < 4)
        throw std::runtime_error("the correction has too few samples (" +
                                 std::to_string(pairs.size()) + ") to fit a homography");
    std::vector<Eigen::Vector2d> from, to;
    for (const auto& p : pairs) from.push_back(p.source), to.push_back(p.output);
    const Eigen::Matrix3d nFrom = normaliser(from), nTo = normaliser(to);
    // Each pair gives two rows of A·h = 0; the normal matrix AᵀA is summed directly, so the
    // memory does not grow with the samples.
    Eigen::Matrix<double, 9, 9> normal = Eigen::Matrix<double, 9, 9>::Zero();
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Eigen::Vector2d a = apply(nFrom, from[i]), b = apply(nTo, to[i]);
        Eigen::Matrix<double, 9, 1> r1, r2;
        r1 << a.x(), a.y(), 1, 0, 0, 0, -b.x() * a.x(), -b.x() * a.y(), -b.x();
        r2 << 0, 0, 0, a.x(), a.y(), 1, -b.y() * a.x(), -b.y() * a.y(), -b.y();
        normal += r1 * r1.transpose() + r2 * r2.transpose();
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 9, 9>> solver(normal);
    const Eigen::Matrix<double, 9, 1> h = solver.eigenvectors().col(0);
    if (solver.eigenvalues()(1) <= 1e-12 * solver.eigenvalues()(8))
        throw std::runtime_error("the correction's samples are degenerate (on one line)");
    Eigen::Matrix3d hn;
    hn << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), h(8);
    FittedHomography fit;
    fit.inputToOutput = nTo.inverse() * hn * nFrom;
    fit.inputToOutput /= fit.inputToOutput(2, 2);
    double sq = 0;
    for (const auto& p : pairs) {
        const double d = (apply(fit.inputToOutput, p.source) - p.output).norm();
        fit.maxResidual = std::max(fit.maxResidual, d);
        sq += d * d;
    }
    fit.samples = pairs.size();
    fit.rmsResidual = std::sqrt(sq / double(pairs.size()));
    return fit;
}

CorrectionFigures figuresOf(const Eigen::Matrix3d& inputToOutput, int width, int height) {
    Eigen::Matrix3d centre = Eigen::Matrix3d::Identity();
    centre(0, 2) = width / 2.0;
    centre(1, 2) = height / 2.0;
    Eigen::Matrix3d m = centre.inverse() * inputToOutput * centre;
    m /= m(2, 2);
    // m = S · P: with S's last row (0, 0, 1), m's last row is P's, and S = m · P⁻¹.
    Eigen::Matrix3d p = Eigen::Matrix3d::Identity();
    p(2, 0) = m(2, 0);
    p(2, 1) = m(2, 1);
    const Eigen::Matrix3d s = m * p.inverse();
    CorrectionFigures f;
    const double a = s(0, 0), b = s(0, 1), d = s(1, 0), e = s(1, 1);
    const double theta = std::atan2(d, a);
    const double c = std::cos(theta), sn = std::sin(theta);
    f.rotationDegrees = theta * 180.0 / M_PI;
    f.scaleX = std::hypot(a, d);
    f.scaleY = e * c - b * sn;
    f.skew = f.scaleY != 0 ? (b * c + e * sn) / f.scaleY : 0;
    f.shiftX = s(0, 2);
    f.shiftY = s(1, 2);
    f.keystoneX = p(2, 0) * width / 2.0;
    f.keystoneY = p(2, 1) * height / 2.0;
    return f;
}

Eigen::Matrix3d toTopLeftPixels(const Eigen::Matrix3d& inputToOutput, int inputHeight,
                                int outputHeight) {
    // x' = x − 0.5, y' = height − 0.5 − y: an involution up to the height, so its own inverse.
    auto flip = [](int height) {
        Eigen::Matrix3d t;
        t << 1, 0, -0.5, 0, -1, height - 0.5, 0, 0, 1;
        return t;
    };
    Eigen::Matrix3d m = flip(outputHeight) * inputToOutput * flip(inputHeight).inverse();
    return m / m(2, 2);
}

std::array<Eigen::Vector2d, 4> cornerPin(const Eigen::Matrix3d& inputToOutput, int width,
                                         int height) {
    return {apply(inputToOutput, {0, 0}), apply(inputToOutput, {double(width), 0}),
            apply(inputToOutput, {double(width), double(height)}),
            apply(inputToOutput, {0, double(height)})};
}

CorrectionGrid::CorrectionGrid(Eigen::Vector2d origin, double step, int columns, int rows,
                               std::vector<Eigen::Vector2d> source)
    : _origin(origin), _step(step), _columns(columns), _rows(rows), _source(std::move(source)) {
    if (columns < 2 || rows < 2 || _source.size() != size_t(columns) * size_t(rows) || !(step > 0))
        throw std::runtime_error("the correction's grid of samples is malformed");
    std::vector<PointPair> pairs;
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            const Eigen::Vector2d& s = _source[size_t(j) * size_t(columns) + size_t(i)];
            if (s.allFinite()) pairs.push_back({s, origin + step * Eigen::Vector2d(i, j)});
        }
    _fit = fitHomography(pairs);
}

std::optional<Eigen::Vector2d> CorrectionGrid::sourceOf(const Eigen::Vector2d& output) const {
    const Eigen::Vector2d g = (output - _origin) / _step;
    // The cell around the point, or the outermost one towards it.
    const int i = std::clamp(int(std::floor(g.x())), 0, _columns - 2);
    const int j = std::clamp(int(std::floor(g.y())), 0, _rows - 2);
    const double u = g.x() - i, v = g.y() - j;
    auto at = [&](int a, int b) { return _source[size_t(b) * size_t(_columns) + size_t(a)]; };
    const Eigen::Vector2d s = (1 - u) * (1 - v) * at(i, j) + u * (1 - v) * at(i + 1, j) +
                              (1 - u) * v * at(i, j + 1) + u * v * at(i + 1, j + 1);
    if (!s.allFinite()) return std::nullopt;
    return s;
}

std::optional<Eigen::Vector2d> CorrectionGrid::outputOf(const Eigen::Vector2d& input) const {
    // Newton's method with the homography's derivative at the input: the map departs from
    // the homography by a smooth fraction of a pixel, so each step gains digits.
    const Eigen::Matrix3d& h = _fit.inputToOutput;
    const Eigen::Vector3d q = h * input.homogeneous();
    if (!(std::abs(q.z()) > 0)) return std::nullopt;
    Eigen::Matrix2d derivative;
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 2; ++r)
            derivative(r, c) = (h(r, c) * q.z() - q(r) * h(2, c)) / (q.z() * q.z());
    Eigen::Vector2d output = q.hnormalized();
    for (int iteration = 0; iteration < 30; ++iteration) {
        const std::optional<Eigen::Vector2d> s = sourceOf(output);
        if (!s) return std::nullopt;
        const Eigen::Vector2d miss = input - *s;
        if (miss.norm() < 1e-6) return output;
        output += derivative * miss;
    }
    return std::nullopt;
}

} // namespace Kestrel
