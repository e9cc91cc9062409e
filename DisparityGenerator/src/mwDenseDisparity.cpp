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
// The epipolar fit: matched left pixels on a grid of this step, at least this many of them,
// RANSAC's distance to the line for an inlier, and the largest median distance of the inliers
// to their lines for which the pair counts as rigid.
constexpr int kFitStep = 5;
constexpr size_t kMinFitPoints = 100;
constexpr double kFitThreshold = 0.5, kMaxMedianResidual = 0.2;

cv::Mat luminance(const ViewColour& v) {
    const int w = v.red->width, h = v.red->height;
    cv::Mat grey(h, w, CV_32F);
    for (int y = 0; y < h; ++y) {
        const float *r = v.red->row(y), *g = v.green->row(y), *b = v.blue->row(y);
        float* out = grey.ptr<float>(y);
        for (int x = 0; x < w; ++x)
            out[x] = std::sqrt(std::max(kLumaR * r[x] + kLumaG * g[x] + kLumaB * b[x], 0.0f));
    }
    // The first level of a Gaussian pyramid at full size: its 5-tap binomial kernel.
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

// Bilinear read of a plane at a position in pixel units (centres at i + 0.5), edges repeated.
float bilinear(const DisparityPlane& p, float x, float y) {
    const float fx = x - 0.5f, fy = y - 0.5f;
    const int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
    const float a = fx - float(x0), b = fy - float(y0);
    auto at = [&](int i, int j) {
        return p.at(std::clamp(i, 0, p.width - 1), std::clamp(j, 0, p.height - 1));
    };
    return (at(x0, y0) * (1 - a) + at(x0 + 1, y0) * a) * (1 - b) +
           (at(x0, y0 + 1) * (1 - a) + at(x0 + 1, y0 + 1) * a) * b;
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

// Signed distance of a point to a line (a, b, c) and the line's unit normal.
double lineDistance(const cv::Vec3d& l, double x, double y) {
    return (l[0] * x + l[1] * y + l[2]) / std::hypot(l[0], l[1]);
}

// Moves each matched vector of a view whose end lies within the tolerance of its epipolar
// line onto that line, along the line's normal. F maps a pixel of this view to its line in
// the other view.
void snapToLines(ViewDisparity& v, const cv::Matx33d& F, float tolerance) {
    for (int y = 0; y < v.dx.height; ++y) {
        float *dx = v.dx.row(y), *dy = v.dy.row(y);
        for (int x = 0; x < v.dx.width; ++x) {
            const double px = x + 0.5, py = y + 0.5, qx = px + dx[x], qy = py + dy[x];
            const cv::Vec3d l = F * cv::Vec3d(px, py, 1.0);
            const double n = std::hypot(l[0], l[1]);
            if (!(n > 0)) continue;
            const double e = lineDistance(l, qx, qy);
            if (std::fabs(e) > tolerance) continue;
            dx[x] = float(qx - e * l[0] / n - px);
            dy[x] = float(qy - e * l[1] / n - py);
        }
    }
}

} // namespace

bool fitEpipolarGeometry(const ViewDisparity& left, double fundamental[9]) {
    std::vector<cv::Point2f> a, b;
    for (int y = kFitStep / 2; y < left.dx.height; y += kFitStep)
        for (int x = kFitStep / 2; x < left.dx.width; x += kFitStep) {
            if (left.unmatched.at(x, y) != 0) continue;
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
        {1, 8, 4, 25, 5},  // Normal
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
    const float limit2 = settings.maxDisparity * settings.maxDisparity;
    const float tolerance2 = settings.tolerance * settings.tolerance;
    for (int y = 0; y < h; ++y) {
        const float *dx = from.dx.row(y), *dy = from.dy.row(y);
        float* out = from.unmatched.row(y);
        for (int x = 0; x < w; ++x) {
            const float qx = float(x) + 0.5f + dx[x], qy = float(y) + 0.5f + dy[x];
            bool matched = dx[x] * dx[x] + dy[x] * dy[x] <= limit2 && qx >= 0 && qx < float(w) &&
                           qy >= 0 && qy < float(h);
            if (matched) {
                const float ex = dx[x] + bilinear(to.dx, qx, qy);
                const float ey = dy[x] + bilinear(to.dy, qx, qy);
                matched = ex * ex + ey * ey <= tolerance2;
            }
            out[x] = matched ? 0.0f : 1.0f;
        }
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
    auto check = [&] {
        runPair([&](int k) {
            consistencyCheck(k == 0 ? result.left : result.right,
                             k == 0 ? result.right : result.left, settings);
        });
    };
    check();
    double f[9];
    if (fitEpipolarGeometry(result.left, f)) {
        const cv::Matx33d F(f);
        runPair([&](int k) {
            snapToLines(k == 0 ? result.left : result.right, k == 0 ? F : F.t(),
                        settings.tolerance);
        });
        check();
    }
    // Where a view has no detail, a match that checks out is still a guess.
    for (auto [v, grey] : {std::pair{&result.left, &greyL}, std::pair{&result.right, &greyR}}) {
        cv::Mat flat, mask(h, w, CV_32F, v->unmatched.data.data());
        cv::compare(detailMask(grey->data(), w, h), 0.0, flat, cv::CMP_EQ);
        mask.setTo(1.0f, flat);
    }
    return result;
}

} // namespace Marrow::Research
