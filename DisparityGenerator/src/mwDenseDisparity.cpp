// Dense disparity of a stereo pair: grey copies, DIS flow both ways, consistency check.
#include "mwDenseDisparity.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

namespace Marrow::Research {

namespace {

// Rec. 709 luminance weights.
constexpr float kLumaR = 0.2126f, kLumaG = 0.7152f, kLumaB = 0.0722f;
// A pair whose grey spans fewer 8-bit levels than this (in the square-root tone curve, about
// what a display shows) has nothing to match.
constexpr float kMinimumContrast = 2.0f;
// A pixel whose neighbourhood (kDetailWindow pixels square) changes by less than this many
// 8-bit levels per pixel, in both views, has no detail to match.
constexpr float kMinimumDetail = 0.5f;
constexpr int kDetailWindow = 9;
// The epipolar fit: matched left pixels on a grid that gives about kFitPoints of them (a
// plane's eight unknowns are settled long before), at least kMinFitPoints, RANSAC's distance
// to the line for an inlier, and the largest median distance of the inliers to their lines
// for which the pair counts as rigid.
constexpr double kFitPoints = 12000;
constexpr size_t kMinFitPoints = 100;
constexpr double kFitThreshold = 0.5, kMaxMedianResidual = 0.2;
// The share of the epipolar inliers above which a homography explains the pair as well.
constexpr double kPlanarShare = 0.9;

cv::Mat luminance(const ViewColour& v) {
    const int w = v.red->width, h = v.red->height;
    cv::Mat grey(h, w, CV_32F);
    for (int y = 0; y < h; ++y) {
        const float *r = v.red->row(y), *g = v.green->row(y), *b = v.blue->row(y);
        float* out = grey.ptr<float>(y);
        for (int x = 0; x < w; ++x)
            out[x] = std::sqrt(std::max(kLumaR * r[x] + kLumaG * g[x] + kLumaB * b[x], 0.0f));
    }
    // The smoothing of a Gaussian pyramid's first level, kept at full size.
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.0, 1.0, cv::BORDER_REPLICATE);
    return grey;
}

// The value below which a fraction of the samples of both images lie.
float quantile(const cv::Mat& a, const cv::Mat& b, float fraction) {
    std::vector<float> samples;
    const int step = 7; // a sparse, evenly spread sample is enough for a tone stretch
    samples.reserve(size_t(a.total() + b.total()) / step + 2);
    for (const cv::Mat* m : {&a, &b}) {
        const float* p = m->ptr<float>(0);
        for (size_t i = 0; i < m->total(); i += step) samples.push_back(p[i]);
    }
    const size_t k = std::min(samples.size() - 1, size_t(fraction * float(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + std::ptrdiff_t(k), samples.end());
    return samples[k];
}

// Bilinear read of a view's disparity at a position in pixel units (centres at i + 0.5), the
// position inside the frame.
void bilinear(const ViewDisparity& v, float x, float y, float& dx, float& dy) {
    const int w = v.dx.width, h = v.dx.height;
    const float fx = std::max(x - 0.5f, 0.0f), fy = std::max(y - 0.5f, 0.0f);
    const int x0 = std::min(int(fx), w - 1), y0 = std::min(int(fy), h - 1);
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const float a = std::min(fx - float(x0), 1.0f), b = std::min(fy - float(y0), 1.0f);
    const size_t i00 = size_t(y0) * size_t(w) + size_t(x0), i10 = i00 + size_t(x1 - x0);
    const size_t i01 = size_t(y1) * size_t(w) + size_t(x0), i11 = i01 + size_t(x1 - x0);
    const float w00 = (1 - a) * (1 - b), w10 = a * (1 - b), w01 = (1 - a) * b, w11 = a * b;
    const float *px = v.dx.data.data(), *py = v.dy.data.data();
    dx = px[i00] * w00 + px[i10] * w10 + px[i01] * w01 + px[i11] * w11;
    dy = py[i00] * w00 + py[i10] * w10 + py[i01] * w01 + py[i11] * w11;
}

// Whether the vector at pixel (x, y) of `from` passes the consistency check against `to`.
bool consistent(const ViewDisparity& from, const ViewDisparity& to, int x, int y,
                const DisparitySettings& s) {
    const float dx = from.dx.at(x, y), dy = from.dy.at(x, y);
    const float qx = float(x) + 0.5f + dx, qy = float(y) + 0.5f + dy;
    if (!(dx * dx + dy * dy <= s.maxDisparity * s.maxDisparity) || !(qx >= 0) ||
        !(qx < float(from.dx.width)) || !(qy >= 0) || !(qy < float(from.dx.height)))
        return false;
    float bx, by;
    bilinear(to, qx, qy, bx, by);
    return (dx + bx) * (dx + bx) + (dy + by) * (dy + by) <= s.tolerance * s.tolerance;
}

// 1 where a view has detail to match, 0 where its neighbourhood is flat.
cv::Mat detailMask(const unsigned char* grey, int w, int h) {
    cv::Mat g(h, w, CV_8U, const_cast<unsigned char*>(grey)), gx, gy, energy;
    cv::Sobel(g, gx, CV_32F, 1, 0, 3, 0.125);
    cv::Sobel(g, gy, CV_32F, 0, 1, 3, 0.125);
    energy = gx.mul(gx) + gy.mul(gy);
    cv::boxFilter(energy, energy, -1, cv::Size(kDetailWindow, kDetailWindow));
    cv::Mat mask;
    cv::threshold(energy, mask, double(kMinimumDetail * kMinimumDetail), 1.0, cv::THRESH_BINARY);
    return mask;
}

double median(std::vector<double> v) {
    auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Signed distance of a point to a line (a, b, c).
double lineDistance(const cv::Vec3d& l, double x, double y) {
    return (l[0] * x + l[1] * y + l[2]) / std::hypot(l[0], l[1]);
}

// Moves each matched vector of a view whose end lies within the tolerance of its epipolar
// line onto that line, along the line's normal. F maps a pixel of this view to its line in
// the other view.
void snapToLines(ViewDisparity& v, const cv::Matx33d& F, float tolerance) {
    const double t2 = double(tolerance) * double(tolerance);
    const cv::Vec3d step(F(0, 0), F(1, 0), F(2, 0)); // the line's change per pixel along x
    for (int y = 0; y < v.dx.height; ++y) {
        float *dx = v.dx.row(y), *dy = v.dy.row(y);
        cv::Vec3d l = F * cv::Vec3d(0.5, y + 0.5, 1.0);
        for (int x = 0; x < v.dx.width; ++x, l += step) {
            const double qx = x + 0.5 + dx[x], qy = y + 0.5 + dy[x];
            const double n2 = l[0] * l[0] + l[1] * l[1], e = l[0] * qx + l[1] * qy + l[2];
            if (!(n2 > 0) || e * e > t2 * n2) continue;
            const double k = e / n2; // the distance over the normal's length
            dx[x] = float(dx[x] - k * l[0]);
            dy[x] = float(dy[x] - k * l[1]);
        }
    }
}

} // namespace

bool fitEpipolarGeometry(const ViewDisparity& left, const ViewDisparity& right,
                         const DisparitySettings& settings, double fundamental[9]) {
    std::vector<cv::Point2f> a, b;
    const int step =
        std::max(1, int(std::sqrt(double(left.dx.width) * double(left.dx.height) / kFitPoints)));
    for (int y = step / 2; y < left.dx.height; y += step)
        for (int x = step / 2; x < left.dx.width; x += step) {
            if (!consistent(left, right, x, y, settings)) continue;
            a.emplace_back(float(x) + 0.5f, float(y) + 0.5f);
            b.emplace_back(a.back().x + left.dx.at(x, y), a.back().y + left.dy.at(x, y));
        }
    if (a.size() < kMinFitPoints) return false;
    std::vector<unsigned char> inlier;
    cv::Mat f = cv::findFundamentalMat(a, b, cv::FM_RANSAC, kFitThreshold, 0.999, inlier);
    if (f.rows != 3 || f.cols != 3) return false;
    std::vector<cv::Point2f> ia, ib;
    for (size_t i = 0; i < a.size(); ++i)
        if (inlier[i]) ia.push_back(a[i]), ib.push_back(b[i]);
    if (ia.size() < kMinFitPoints) return false;
    // A scene that one homography explains nearly as well (a wall, a plate of one plane with a
    // few things before it) leaves the lines undetermined off that plane: keep the flow there.
    std::vector<unsigned char> onPlane;
    cv::findHomography(a, b, cv::RANSAC, kFitThreshold, onPlane);
    const auto planar = size_t(std::count(onPlane.begin(), onPlane.end(), 1));
    if (double(planar) >= kPlanarShare * double(ia.size())) return false;
    f = cv::findFundamentalMat(ia, ib, cv::FM_8POINT);
    if (f.rows != 3 || f.cols != 3) return false;
    const cv::Matx33d F(f);
    std::vector<double> residual(ia.size());
    for (size_t i = 0; i < ia.size(); ++i)
        residual[i] = std::fabs(lineDistance(F * cv::Vec3d(ia[i].x, ia[i].y, 1), ib[i].x, ib[i].y));
    if (!(median(residual) <= kMaxMedianResidual)) return false;
    std::copy(F.val, F.val + 9, fundamental);
    return true;
}

void greyPair(const ViewColour& left, const ViewColour& right, std::vector<unsigned char>& greyL,
              std::vector<unsigned char>& greyR) {
    const cv::Mat l = luminance(left), r = luminance(right);
    const float low = quantile(l, r, 0.005f), high = quantile(l, r, 0.995f);
    greyL.clear();
    greyR.clear();
    if (!((high - low) * 255.0f >= kMinimumContrast)) return;
    const double scale = 255.0 / double(high - low), shift = -double(low) * scale;
    for (auto [from, to] : {std::pair{&l, &greyL}, std::pair{&r, &greyR}}) {
        to->resize(from->total());
        cv::Mat out(from->rows, from->cols, CV_8U, to->data());
        from->convertTo(out, CV_8U, scale, shift); // saturating
    }
}

void denseFlow(const unsigned char* a, const unsigned char* b, int width, int height,
               DisparityQuality quality, DisparityPlane& dx, DisparityPlane& dy) {
    // Finest scale 0 is full resolution; the patch stride sets how densely patches cover it.
    struct Preset {
        int finestScale, patchSize, patchStride, descentIterations, variationalIterations;
    };
    static constexpr Preset kPresets[] = {
        {2, 8, 4, 16, 5},  // Draft
        {1, 8, 4, 16, 4},  // Normal
        {0, 8, 3, 25, 10}, // Fine
    };
    const Preset& p = kPresets[int(quality)];
    cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
    dis->setFinestScale(p.finestScale);
    dis->setPatchSize(p.patchSize);
    dis->setPatchStride(p.patchStride);
    dis->setGradientDescentIterations(p.descentIterations);
    dis->setVariationalRefinementIterations(p.variationalIterations);
    dis->setUseMeanNormalization(true);
    dis->setUseSpatialPropagation(true);
    const cv::Mat ma(height, width, CV_8U, const_cast<unsigned char*>(a));
    const cv::Mat mb(height, width, CV_8U, const_cast<unsigned char*>(b));
    cv::Mat flow;
    dis->calc(ma, mb, flow);
    dx = DisparityPlane(width, height);
    dy = DisparityPlane(width, height);
    // Rows are bottom-up in both the images and the planes, so OpenCV's row offset is the
    // host's upward y offset as it stands.
    for (int y = 0; y < height; ++y) {
        const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
        float *ox = dx.row(y), *oy = dy.row(y);
        for (int x = 0; x < width; ++x) ox[x] = f[x][0], oy[x] = f[x][1];
    }
}

void consistencyCheck(ViewDisparity& from, const ViewDisparity& to,
                      const DisparitySettings& settings) {
    const int w = from.dx.width, h = from.dx.height;
    from.unmatched = DisparityPlane(w, h);
    for (int y = 0; y < h; ++y) {
        float* out = from.unmatched.row(y);
        for (int x = 0; x < w; ++x) out[x] = consistent(from, to, x, y, settings) ? 0.0f : 1.0f;
    }
}

StereoDisparity computeDisparity(const ViewColour& left, const ViewColour& right,
                                 const DisparitySettings& settings, const PairRunner& runPair) {
    const int w = left.red->width, h = left.red->height;
    StereoDisparity result;
    std::vector<unsigned char> greyL, greyR;
    greyPair(left, right, greyL, greyR);
    if (greyL.empty()) {
        result.textured = false;
        for (ViewDisparity* v : {&result.left, &result.right}) {
            v->dx = v->dy = DisparityPlane(w, h);
            v->unmatched = DisparityPlane(w, h);
            std::fill(v->unmatched.data.begin(), v->unmatched.data.end(), 1.0f);
        }
        return result;
    }
    runPair([&](int k) {
        ViewDisparity& v = k == 0 ? result.left : result.right;
        denseFlow(k == 0 ? greyL.data() : greyR.data(), k == 0 ? greyR.data() : greyL.data(), w, h,
                  settings.quality, v.dx, v.dy);
    });
    double f[9];
    if (fitEpipolarGeometry(result.left, result.right, settings, f)) {
        const cv::Matx33d F(f);
        runPair([&](int k) {
            snapToLines(k == 0 ? result.left : result.right, k == 0 ? F : F.t(),
                        settings.tolerance);
        });
    }
    runPair([&](int k) {
        consistencyCheck(k == 0 ? result.left : result.right, k == 0 ? result.right : result.left,
                         settings);
    });
    // Where a view has no detail, a match that checks out is still a guess.
    for (auto [v, grey] : {std::pair{&result.left, &greyL}, std::pair{&result.right, &greyR}}) {
        cv::Mat flat, mask(h, w, CV_32F, v->unmatched.data.data());
        cv::compare(detailMask(grey->data(), w, h), 0.0, flat, cv::CMP_EQ);
        mask.setTo(1.0f, flat);
    }
    return result;
}

} // namespace Marrow::Research
