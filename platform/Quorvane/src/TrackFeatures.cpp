#include "Quorvane/TrackFeatures.h"

#include <Kx/Image/Engine.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <Eigen/Dense>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KX_TRACK_X86 1
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

namespace Marrow::Research {

namespace {

// Features are chosen per cell of a grid of kGridColumns columns and as many rows as keep
// the cells near square.
constexpr int kGridColumns = 8;
constexpr int kMaxFeaturesPerImage = 8000;
constexpr int kSiftWidth = 1600;
constexpr double kEqualiseClip = 4.0; // contrast limit of the local equalisation
constexpr double kSiftContrast = 0.008;
// The band of rows searched for a feature's match: a tenth of the frame's height either side
// of its row, at least 16 pixels. Stereo views further apart vertically than that are beyond
// what a vertical alignment can be asked to correct.
constexpr double kBandFraction = 0.1;
constexpr float kBandMinimum = 16.0f;
constexpr int kDescriptorSize = 128; // bytes of a SIFT descriptor
constexpr float kRatio = 0.8f;       // nearest over second nearest descriptor distance
// RANSAC's tolerance around the epipolar lines: kEpipolarFraction of the frame's diagonal, at
// least kEpipolarPixels. A lens's distortion bends the lines the fundamental matrix takes as
// straight, by an amount that grows with the frame in pixels and most at its edges and
// corners; a tolerance of a fixed pixel count would drop the true matches there, the very
// ones the solve needs to reach the frame's edges. Wrong matches within the tolerance are the
// neighbour test's to drop.
constexpr double kEpipolarPixels = 1.0;
constexpr double kEpipolarFraction = 0.003;
constexpr double kConfidence = 0.999;
// Refinement of the second position by fitting the patch around the first: patch radius,
// the farthest the fit may move from the SIFT position, and the least correlation of the
// fitted patch.
constexpr int kPatchRadius = 10;
constexpr int kSearchRadius = 3;
constexpr double kMinCorrelation = 0.8;
// A refined match must lead back from the second image to within this distance (pixels, per
// pixel of the patch's spacing) of its first position; patches that straddle surfaces at
// different depths do not.
constexpr double kBackTolerance = 0.2;
// Beyond kBackClose (same unit), the way back may miss the first position by no more than
// kBackAgreement times what the two fits' uncertainties together allow. A patch over a depth
// edge, or where a near edge crosses far texture, fits each way to the grain's precision, yet
// the two fits see different content and disagree by more: on a faint plate at 640 pixels
// across such matches, placed a pixel or more off along the row, were a twentieth of all the
// matches kept. Closer misses pass whatever the uncertainties: where a lens bends the
// patch's detail more than an affine change of shape follows, a very certain fit misses by a
// few hundredths of a pixel and is still placed as well as any.
constexpr double kBackClose = 0.1;
constexpr double kBackAgreement = 2.0;
// The most a refined position may be uncertain (pixels, one standard deviation, in both
// directions together), as the fit's residual and the patch's detail tell it: faint texture
// under grain and 8-bit steps places some patches no better than a third of a pixel, and the
// solve is better off without them.
constexpr double kMaxUncertainty = 0.1;
// Where grain and 8-bit steps alone would leave a patch's fit more uncertain than
// kMaxUncertainty, its samples are spread wider (and read a smoother image, up to the
// smoothest kept), as long as the patch stays within this fraction of the frame's width:
// wider, it takes in surfaces at other depths (at 640 pixels across, 40-pixel patches placed
// the matches of a grainy, faint 8-bit plate worse, not better: 94.8 % within half a pixel of
// the truth instead of 97.3 %).
constexpr double kWidestPatch = 0.06;

struct Grid {
    int columns, rows;
    double width, height;

    Grid(double w, double h)
        : columns(kGridColumns), rows(std::max(1, int(std::lround(kGridColumns * h / w)))),
          width(w), height(h) {}
    int cells() const { return columns * rows; }
    int cell(const cv::Point2f& p) const {
        const int cx = std::clamp(int(p.x / width * columns), 0, columns - 1);
        const int cy = std::clamp(int(p.y / height * rows), 0, rows - 1);
        return cy * columns + cx;
    }
};

// A grey image as floats, smoothed, with its derivatives along x and y (OpenCV axes), side
// by side per pixel (value, dx, dy): the fit reads all three at each sample, from two
// neighbouring runs of memory, and a 4K view needs one such image per smoothing in use.
struct ImageData {
    cv::Mat samples;

    // The smoothing reads the bytes and writes floats in one separable pass; the derivatives
    // (3x3 Sobel, scaled to grey levels per pixel) are written beside the value in a second,
    // where separate images for each and a merge took twice as long at 2048 pixels across.
    void set(const cv::Mat& grey, double sigma) {
        cv::Mat value;
        const cv::Mat kernel =
            cv::getGaussianKernel(int(std::lround(8 * sigma + 1)) | 1, sigma, CV_32F);
        cv::sepFilter2D(grey, value, CV_32F, kernel, kernel, cv::Point(-1, -1), 0,
                        cv::BORDER_REFLECT);
        const int w = value.cols, h = value.rows;
        samples.create(h, w, CV_32FC3);
        // Neighbours beyond the edge mirror those inside, the edge pixel itself not repeated
        // (an image one pixel across has only that one).
        const auto mirror = [](int i, int n) {
            return std::clamp(i < 0 ? -i : i >= n ? 2 * n - 2 - i : i, 0, n - 1);
        };
        for (int y = 0; y < h; ++y) {
            const float *up = value.ptr<float>(mirror(y - 1, h)), *mid = value.ptr<float>(y),
                        *down = value.ptr<float>(mirror(y + 1, h));
            float* out = samples.ptr<float>(y);
            const auto pixel = [&](int x) {
                const int l = mirror(x - 1, w), r = mirror(x + 1, w);
                out[3 * x] = mid[x];
                out[3 * x + 1] =
                    ((up[r] - up[l]) + 2 * (mid[r] - mid[l]) + (down[r] - down[l])) * 0.125f;
                out[3 * x + 2] =
                    ((down[l] - up[l]) + 2 * (down[x] - up[x]) + (down[r] - up[r])) * 0.125f;
            };
            pixel(0);
            int x = 1;
            const cv::v_float32x4 two = cv::v_setall_f32(2.0f), eighth = cv::v_setall_f32(0.125f);
            for (; x + cv::v_float32x4::nlanes < w; x += cv::v_float32x4::nlanes) {
                const cv::v_float32x4 ul = cv::v_load(up + x - 1), uc = cv::v_load(up + x),
                                      ur = cv::v_load(up + x + 1), ml = cv::v_load(mid + x - 1),
                                      mc = cv::v_load(mid + x), mr = cv::v_load(mid + x + 1),
                                      dl = cv::v_load(down + x - 1), dc = cv::v_load(down + x),
                                      dr = cv::v_load(down + x + 1);
                const cv::v_float32x4 dx = ((ur - ul) + two * (mr - ml) + (dr - dl)) * eighth;
                const cv::v_float32x4 dy = ((dl - ul) + two * (dc - uc) + (dr - ur)) * eighth;
                cv::v_store_interleave(out + 3 * x, mc, dx, dy);
            }
            for (; x < w; ++x) pixel(x);
        }
    }
};

// The refinement samples its patch every 1, 2 or 4 pixels; each spacing reads an image
// smoothed to match it (sigma kSmoothing times the spacing), so that grain, 8-bit steps and
// detail finer than the spacing do not pull the fit.
constexpr int kSmoothLevels = 3;
constexpr double kSmoothing = 0.5;
int smoothLevel(float step) {
    return std::clamp(int(std::lround(std::log2(step))), 0, kSmoothLevels - 1);
}

struct CameraImage {
    int camera = -1;
    cv::Mat grey;
    std::array<ImageData, kSmoothLevels> data;
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    double noise = 0; // standard deviation of the grain and 8-bit steps, grey levels
};

// Host pixel position of an OpenCV position in an image of the given height (OpenCV: rows
// top-down, pixel centres at integers).
Eigen::Vector2d hostPosition(const cv::Point2f& p, int height) {
    return {p.x + 0.5, height - (p.y + 0.5)};
}

// The input's image at the frame, or the reason it has none.
bool renderInput(Kx::Image::Op* node, int input, double frame, cv::Mat& grey, std::string& why) {
    Kx::Image::Op* op = input >= 0 && input < node->inputs() ? node->input(input) : nullptr;
    Kx::Image::Iop* iop = op ? op->iop() : nullptr;
    if (!iop) {
        why = "input " + std::to_string(input) + " of " + node->node_name() +
              " is not connected to an image";
        return false;
    }
    if (iop->frame() != frame) {
        if (!iop->node()) {
            why = "input " + std::to_string(input) + " renders frame " +
                  std::to_string(iop->frame()) + ", not the tracked frame " + std::to_string(frame);
            return false;
        }
        Kx::Image::OutputContext context = iop->outputContext();
        context.setFrame(frame);
        iop = iop->node()->iop(context);
    }
    iop->validate(true);
    if (iop->hasError()) {
        why = iop->errorMessage();
        return false;
    }
    const Kx::Image::Format& format = iop->format();
    const int w = format.width(), h = format.height();
    if (w <= 0 || h <= 0) {
        why =
            "input " + std::to_string(input) + " of " + node->node_name() + " has an empty format";
        return false;
    }
    grey.create(h, w, CV_8U);
    iop->request(0, 0, w, h, Kx::Image::Mask_RGB);
    std::atomic<bool> stopped{false};
    Kx::Image::Engine::parallelRows(0, h, [&](int y) {
        if (stopped || node->aborted()) {
            stopped = true;
            return;
        }
        Kx::Image::Row row(0, w);
        iop->get(y, 0, w, Kx::Image::Mask_RGB, row);
        const float *r = row[Kx::Image::Chan_Red], *g = row[Kx::Image::Chan_Green],
                    *b = row[Kx::Image::Chan_Blue];
        uchar* out = grey.ptr<uchar>(h - 1 - y); // host rows count from the bottom
        for (int i = 0; i < w; ++i) {
            // Luminance, then a display gamma so that dark texture keeps its contrast. A pixel
            // that is not a number counts as black.
            const float luma = 0.2126f * r[i] + 0.7152f * g[i] + 0.0722f * b[i];
            const float l = luma > 0.0f ? std::min(luma, 1.0f) : 0.0f;
            // Rounded half up: the sum is exact in double, and truncation is the floor here.
            out[i] = uchar(int(double(255.0f * std::sqrt(l)) + 0.5));
        }
    });
    if (iop->hasError()) {
        why = iop->errorMessage();
        return false;
    }
    if (stopped || Kx::Image::Engine::interrupted()) {
        why = "the render of input " + std::to_string(input) + " was interrupted";
        return false;
    }
    return true;
}

// The standard deviation of an image's pixel noise (grain, 8-bit steps), from the mean
// absolute response of a kernel that cancels every smooth surface up to a quadratic: the
// scene's own detail adds a little, grain and quantisation almost all of it. The kernel is
// the outer product of (1, -2, 1) with itself, the image mirrored at its edges (the edge
// pixel repeated); the responses are whole numbers, summed exactly.
double pixelNoise(const cv::Mat& grey) {
    const int w = grey.cols, h = grey.rows;
    const auto mirror = [](int i, int n) { return i < 0 ? -i - 1 : i >= n ? 2 * n - 1 - i : i; };
    // The vertical pass of one row, with the mirrored column at each end.
    std::vector<int> across(static_cast<size_t>(w) + 2);
    int64_t total = 0;
    for (int y = 0; y < h; ++y) {
        const uchar* up = grey.ptr<uchar>(mirror(y - 1, h));
        const uchar* row = grey.ptr<uchar>(y);
        const uchar* down = grey.ptr<uchar>(mirror(y + 1, h));
        int* a = across.data() + 1;
        for (int x = 0; x < w; ++x) a[x] = int(up[x]) - 2 * int(row[x]) + int(down[x]);
        a[-1] = a[0];
        a[w] = a[w - 1];
        for (int x = 0; x < w; ++x) total += std::abs(a[x - 1] - 2 * a[x] + a[x + 1]);
    }
    // The kernel's gain on white noise is 6; the mean of a normal variable's absolute value
    // is sqrt(2 / pi) times its deviation.
    return std::sqrt(CV_PI / 2) / 6 * (double(total) * (1.0 / (double(w) * double(h))));
}

// SIFT features, at most an even share per grid cell (the strongest), with descriptors, and
// the image's pixel noise.
// Wide images are reduced by halves to at most kSiftWidth pixels first: SIFT's cost grows
// with the area, and the refinement places every match at full resolution anyway.
void detect(CameraImage& image) {
    image.noise = pixelNoise(image.grey);
    int scale = 1;
    while (image.grey.cols / scale > kSiftWidth) scale *= 2;
    cv::Mat reduced = image.grey;
    if (scale > 1)
        cv::resize(image.grey, reduced, cv::Size(image.grey.cols / scale, image.grey.rows / scale),
                   0, 0, cv::INTER_AREA);

    // Local contrast is equalised first (tiles of an eighth of the frame), so that faint
    // texture and the dark or bright half of a view with another exposure give features as
    // readily as the rest; SIFT's own contrast threshold is then set low.
    cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(kEqualiseClip, cv::Size(8, 8));
    cv::Mat equalised;
    clahe->apply(reduced, equalised);
    reduced = equalised;
    // One pass finds the features and describes them all from the same scale space; the
    // choice per cell only drops some.
    cv::Ptr<cv::SIFT> sift = cv::SIFT::create(0, 3, kSiftContrast);
    std::vector<cv::KeyPoint> all;
    cv::Mat described;
    sift->detectAndCompute(reduced, cv::noArray(), all, described);
    const Grid grid(reduced.cols, reduced.rows);
    const size_t share = size_t(kMaxFeaturesPerImage / grid.cells());
    std::vector<std::vector<int>> cells(size_t(grid.cells()));
    for (size_t i = 0; i < all.size(); ++i) cells[size_t(grid.cell(all[i].pt))].push_back(int(i));
    // SIFT lists its features in an order that depends on how many threads found them; a
    // total order (strongest first, ties by position, size and orientation) makes the features
    // kept, and so the matches, the same whatever the thread count.
    std::vector<int> kept;
    for (auto& cell : cells) {
        std::sort(cell.begin(), cell.end(), [&](int i, int j) {
            const cv::KeyPoint &a = all[size_t(i)], &b = all[size_t(j)];
            return std::tie(b.response, a.pt.y, a.pt.x, a.size, a.angle, a.octave) <
                   std::tie(a.response, b.pt.y, b.pt.x, b.size, b.angle, b.octave);
        });
        cell.resize(std::min(cell.size(), share));
        kept.insert(kept.end(), cell.begin(), cell.end());
    }
    image.keypoints.clear();
    image.descriptors.create(int(kept.size()), kDescriptorSize, CV_8U);
    for (size_t k = 0; k < kept.size(); ++k) {
        image.keypoints.push_back(all[size_t(kept[k])]);
        // SIFT's descriptor values are whole numbers from 0 to 255: bytes hold them exactly.
        described.row(kept[k]).convertTo(image.descriptors.row(int(k)), CV_8U);
    }
    // Back to full-resolution positions (pixel centres at integers in both).
    for (cv::KeyPoint& k : image.keypoints) {
        k.pt = (k.pt + cv::Point2f(0.5f, 0.5f)) * float(scale) - cv::Point2f(0.5f, 0.5f);
        k.size *= float(scale);
    }
}

struct Match {
    int first, second;
    float ratio;
    cv::Point2f refined; // the second position after refinement (OpenCV pixel positions)
};

// The value and the two derivatives of an image at one position (OpenCV axes, inside the
// image, so not negative: the whole pixel is the truncation, cheaper than a floor), bilinear,
// with one set of weights.
struct Sample {
    float value, dx, dy;
};

// Inlined into the fit's loop over its samples, the call's cost counts: a fit reads a few
// thousand samples.
[[gnu::always_inline]] inline Sample sampleWithGradient(const ImageData& d, float x, float y) {
    const int x0 = int(x), y0 = int(y);
    const float fx = x - float(x0), fy = y - float(y0);
    const float* r0 = d.samples.ptr<float>(y0) + 3 * x0;
    const float* r1 = d.samples.ptr<float>(y0 + 1) + 3 * x0;
    const auto at = [&](int c) {
        return (r0[c] * (1 - fx) + r0[c + 3] * fx) * (1 - fy) +
               (r1[c] * (1 - fx) + r1[c + 3] * fx) * fy;
    };
    return {at(0), at(1), at(2)};
}

// The patch's samples, padded to whole SIMD registers (of up to sixteen lanes) with samples
// that add nothing.
constexpr int kPatchSamples = (2 * kPatchRadius + 1) * (2 * kPatchRadius + 1);
constexpr int kLanes = cv::v_float32x4::nlanes;
constexpr int kWidestLanes = 16;
constexpr int kPadded = (kPatchSamples + kWidestLanes - 1) / kWidestLanes * kWidestLanes;
// The fit stops when its position moves by less than this (pixels). Stopping at five
// thousandths instead cost a twentieth of the matches of views of uneven exposure: fits that
// settle their shape and gain slowly were cut short and then failed the later checks.
constexpr double kConverged = 0.001;

// The patch of the first image a fit places: per sample its offset from the centre (u, v),
// its value, and whether it is one of the patch's (1) or padding (0).
struct Patch {
    alignas(64) std::array<float, kPadded> u{}, v{}, value{}, one{};
};

// Where the fit puts the patch in the second image: centre, affine part and brightness.
struct Warp {
    float x0, y0, xu, xv, yu, yv, gain, offset;
};

// The sums of the fit's normal equations over the patch's samples: the products of the
// Jacobian's columns (gx, gy, gx u, gx v, gy u, gy v, -value, -1) with each other (the lower
// triangle, row by row), then with the difference of the values, then the difference's square.
constexpr int kSums = 8 * 9 / 2 + 8 + 1;
using NormalSums = std::array<float, kSums>;

std::atomic<bool>& onReferencePath() {
    static std::atomic<bool> reference{false};
    return reference;
}

// The normal equations of the fit at the warp, in SSE2, x86-64's baseline (and any other
// processor's four-lane registers): samples one at a time, sums four lanes at a time in a fixed
// order (the same on every thread). The second image's value at each sample goes to `warped`.
// False where a sample falls outside the second image.
bool normalEquationsPlain(const ImageData& b, const Patch& patch, const Warp& w, float* warped,
                          NormalSums& out) {
    alignas(16) std::array<float, kPadded> gx{}, gy{}, e{};
    for (size_t k = 0; k < size_t(kPatchSamples); ++k) {
        const float x = w.x0 + w.xu * patch.u[k] + w.xv * patch.v[k];
        const float y = w.y0 + w.yu * patch.u[k] + w.yv * patch.v[k];
        if (!(x >= 0 && y >= 0 && x < float(b.samples.cols - 1) && y < float(b.samples.rows - 1)))
            return false;
        const Sample s = sampleWithGradient(b, x, y);
        warped[k] = s.value;
        gx[k] = s.dx;
        gy[k] = s.dy;
        e[k] = s.value - (w.gain * patch.value[k] + w.offset);
    }
    std::array<cv::v_float32x4, kSums> sum;
    sum.fill(cv::v_setzero_f32());
    for (size_t k = 0; k < size_t(kPadded); k += size_t(kLanes)) {
        const cv::v_float32x4 X = cv::v_load(&gx[k]), Y = cv::v_load(&gy[k]),
                              U = cv::v_load(&patch.u[k]), V = cv::v_load(&patch.v[k]),
                              E = cv::v_load(&e[k]), zero = cv::v_setzero_f32();
        const std::array<cv::v_float32x4, 8> jac = {X,
                                                    Y,
                                                    X * U,
                                                    X * V,
                                                    Y * U,
                                                    Y * V,
                                                    zero - cv::v_load(&patch.value[k]),
                                                    zero - cv::v_load(&patch.one[k])};
        size_t m = 0;
        for (size_t i = 0; i < 8; ++i)
            for (size_t j = 0; j <= i; ++j, ++m) sum[m] = cv::v_fma(jac[i], jac[j], sum[m]);
        for (size_t i = 0; i < 8; ++i, ++m) sum[m] = cv::v_fma(jac[i], E, sum[m]);
        sum[m] = cv::v_fma(E, E, sum[m]);
    }
    for (size_t m = 0; m < size_t(kSums); ++m) out[m] = cv::v_reduce_sum(sum[m]);
    return true;
}

#ifdef KX_TRACK_X86
// The same with AVX-512: sixteen samples at a time, each sample's pixels read by masked
// loads, their bilinear weights and the sums in fused multiply-adds. The sums differ from the
// plain path's by rounding only (another order, one rounding per multiply-add).
__attribute__((target("avx512f,avx512vl,avx2,fma"))) bool
normalEquationsAvx512(const ImageData& b, const Patch& patch, const Warp& w, float* warped,
                      NormalSums& out) {
    const float* base = b.samples.ptr<float>(0);
    const int stride = int(b.samples.step1());
    const __m512 x0 = _mm512_set1_ps(w.x0), y0 = _mm512_set1_ps(w.y0), xu = _mm512_set1_ps(w.xu),
                 xv = _mm512_set1_ps(w.xv), yu = _mm512_set1_ps(w.yu), yv = _mm512_set1_ps(w.yv),
                 gain = _mm512_set1_ps(w.gain), offset = _mm512_set1_ps(w.offset),
                 zero = _mm512_setzero_ps(), right = _mm512_set1_ps(float(b.samples.cols - 1)),
                 bottom = _mm512_set1_ps(float(b.samples.rows - 1));
    const __m512i rowStep = _mm512_set1_epi32(stride), three = _mm512_set1_epi32(3);
    __m512 sum[kSums];
    for (__m512& s : sum) s = _mm512_setzero_ps();
    for (int k = 0; k < kPadded; k += kWidestLanes) {
        const __m512 U = _mm512_load_ps(&patch.u[size_t(k)]),
                     V = _mm512_load_ps(&patch.v[size_t(k)]);
        const __m512 x = _mm512_fmadd_ps(xv, V, _mm512_fmadd_ps(xu, U, x0));
        const __m512 y = _mm512_fmadd_ps(yv, V, _mm512_fmadd_ps(yu, U, y0));
        // Padding samples lie at the patch's centre, inside whenever the centre is.
        const __mmask16 inside =
            _mm512_cmp_ps_mask(x, zero, _CMP_GE_OQ) & _mm512_cmp_ps_mask(y, zero, _CMP_GE_OQ) &
            _mm512_cmp_ps_mask(x, right, _CMP_LT_OQ) & _mm512_cmp_ps_mask(y, bottom, _CMP_LT_OQ);
        if (inside != 0xFFFF) return false;
        // (Masked conversions with a full mask are the plain ones, without the undefined
        // lanes GCC 12 warns of.)
        const __m512i xi = _mm512_maskz_cvttps_epi32(0xFFFF, x),
                      yi = _mm512_maskz_cvttps_epi32(0xFFFF, y);
        alignas(64) std::array<float, kWidestLanes> fx, fy;
        alignas(64) std::array<int32_t, kWidestLanes> at;
        _mm512_store_ps(fx.data(), _mm512_sub_ps(x, _mm512_maskz_cvtepi32_ps(0xFFFF, xi)));
        _mm512_store_ps(fy.data(), _mm512_sub_ps(y, _mm512_maskz_cvtepi32_ps(0xFFFF, yi)));
        _mm512_store_si512(at.data(), _mm512_add_epi32(_mm512_mullo_epi32(yi, rowStep),
                                                       _mm512_mullo_epi32(xi, three)));
        // Each sample's value and slopes, bilinear from its pixel's and the next pixels' (the
        // three floats of each, read without touching the float after them), one sample to a
        // row of four lanes; then the rows turned into one register per quantity.
        alignas(64) std::array<float, 4 * kWidestLanes> rows;
        for (size_t l = 0; l < size_t(kWidestLanes); ++l) {
            const float* r0 = base + at[l];
            const float* r1 = r0 + stride;
            const __m128 t0 = _mm_maskz_loadu_ps(7, r0), t1 = _mm_maskz_loadu_ps(7, r0 + 3),
                         b0 = _mm_maskz_loadu_ps(7, r1), b1 = _mm_maskz_loadu_ps(7, r1 + 3);
            const __m128 wx = _mm_set1_ps(fx[l]);
            const __m128 upper = _mm_fmadd_ps(_mm_sub_ps(t1, t0), wx, t0);
            const __m128 lower = _mm_fmadd_ps(_mm_sub_ps(b1, b0), wx, b0);
            _mm_store_ps(&rows[4 * l],
                         _mm_fmadd_ps(_mm_sub_ps(lower, upper), _mm_set1_ps(fy[l]), upper));
        }
        const __m512 q0 = _mm512_load_ps(&rows[0]), q1 = _mm512_load_ps(&rows[16]),
                     q2 = _mm512_load_ps(&rows[32]), q3 = _mm512_load_ps(&rows[48]);
        // Lane c of each sample of the first and the second eight, then the two eights joined.
        const auto quantity = [&](int c) __attribute__((target("avx512f,avx512vl,avx2,fma"))) {
            const __m512i every4 = _mm512_add_epi32(
                _mm512_set_epi32(60, 56, 52, 48, 44, 40, 36, 32, 28, 24, 20, 16, 12, 8, 4, 0),
                _mm512_set1_epi32(c));
            const __m512i firstEight = _mm512_and_si512(every4, _mm512_set1_epi32(31));
            const __m512 low = _mm512_permutex2var_ps(q0, firstEight, q1);
            const __m512 high = _mm512_permutex2var_ps(q2, firstEight, q3);
            const __m512i joined =
                _mm512_set_epi32(23, 22, 21, 20, 19, 18, 17, 16, 7, 6, 5, 4, 3, 2, 1, 0);
            return _mm512_permutex2var_ps(low, joined, high);
        };
        // Padding samples add nothing: their slopes and difference count as 0.
        const __mmask16 real = k + kWidestLanes <= kPatchSamples
                                   ? __mmask16(0xFFFF)
                                   : __mmask16((1u << (kPatchSamples - k)) - 1);
        const __m512 value = quantity(0);
        const __m512 X = _mm512_maskz_mov_ps(real, quantity(1)),
                     Y = _mm512_maskz_mov_ps(real, quantity(2));
        _mm512_store_ps(warped + k, value);
        const __m512 P = _mm512_load_ps(&patch.value[size_t(k)]);
        const __m512 E =
            _mm512_maskz_mov_ps(real, _mm512_sub_ps(value, _mm512_fmadd_ps(gain, P, offset)));
        const __m512 jac[8] = {X,
                               Y,
                               _mm512_mul_ps(X, U),
                               _mm512_mul_ps(X, V),
                               _mm512_mul_ps(Y, U),
                               _mm512_mul_ps(Y, V),
                               _mm512_sub_ps(zero, P),
                               _mm512_sub_ps(zero, _mm512_load_ps(&patch.one[size_t(k)]))};
        size_t m = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < 8; ++i)
#pragma GCC unroll 8
            for (size_t j = 0; j <= i; ++j, ++m) sum[m] = _mm512_fmadd_ps(jac[i], jac[j], sum[m]);
#pragma GCC unroll 8
        for (size_t i = 0; i < 8; ++i, ++m) sum[m] = _mm512_fmadd_ps(jac[i], E, sum[m]);
        sum[m] = _mm512_fmadd_ps(E, E, sum[m]);
    }
    // The lanes of each sum added pairwise, in the same order on every thread: the upper half
    // onto the lower, eight lanes, then four, two and one.
    for (size_t m = 0; m < size_t(kSums); ++m) {
        // (Masked extractions with a full mask, for the same reason as the conversions.)
        const __m512d both = _mm512_castps_pd(sum[m]);
        const __m256 eight =
            _mm256_add_ps(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, both, 0)),
                          _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, both, 1)));
        const __m128 four =
            _mm_add_ps(_mm256_castps256_ps128(eight), _mm256_extractf128_ps(eight, 1));
        const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
        out[m] = _mm_cvtss_f32(_mm_add_ss(two, _mm_movehdup_ps(two)));
    }
    return true;
}
#endif

bool fitUsesAvx512() {
#ifdef KX_TRACK_X86
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    return avx512;
#else
    return false;
#endif
}

bool normalEquations(const ImageData& b, const Patch& patch, const Warp& w, float* warped,
                     NormalSums& out) {
#ifdef KX_TRACK_X86
    if (fitUsesAvx512() && !onReferencePath().load(std::memory_order_relaxed))
        return normalEquationsAvx512(b, patch, w, warped, out);
#endif
    return normalEquationsPlain(b, patch, w, warped, out);
}

// Moves the second position of a match to where the patch around the first position fits
// the second image best, to a fraction of a pixel. SIFT places a feature at the centre of a
// blob of its scale, which for large blobs can be off by more than half a pixel; the patch
// places it by the image detail itself. The patch is allowed an affine change of shape
// (the two views see a slanted surface sheared or stretched differently) and of gain and
// offset, fitted by Gauss-Newton from the SIFT position. False where the fit does not hold:
// too little correlation after the fit (as where one view sees past an edge differently), or
// a fit that wanders off (as for a patch whose detail cannot fix a position in both
// directions) by more than kSearchRadius or a third of the patch's shape.
bool refine(const ImageData& a, const ImageData& b, const cv::Point2f& pa, cv::Point2f& pb,
            float step, double& uncertainty) {
    // The patch must lie in the first image, and each of its samples in the second, with the
    // neighbour the bilinear sample reads: a feature near the frame's edge, where a lens
    // distorts most, is placed as well as any.
    const auto inside = [&](const cv::Mat& m, float x, float y, float margin) {
        return x >= margin && y >= margin && x < float(m.cols - 1) - margin &&
               y < float(m.rows - 1) - margin;
    };
    const float reach = float(kPatchRadius) * step + 1.0f;
    if (!inside(a.samples, pa.x, pa.y, reach) || !inside(b.samples, pb.x, pb.y, reach))
        return false;

    Patch patch;
    {
        int k = 0;
        for (int j = -kPatchRadius; j <= kPatchRadius; ++j)
            for (int i = -kPatchRadius; i <= kPatchRadius; ++i, ++k) {
                patch.u[size_t(k)] = float(i) * step;
                patch.v[size_t(k)] = float(j) * step;
                patch.value[size_t(k)] =
                    sampleWithGradient(a, pa.x + patch.u[size_t(k)], pa.y + patch.v[size_t(k)])
                        .value;
                patch.one[size_t(k)] = 1.0f;
            }
    }
    // The second image's values where the fit puts the patch's samples.
    alignas(64) std::array<float, kPadded> warped{};
    // Parameters: position (x, y), the affine part [[1 + a, s], [r, 1 + c]], gain, offset.
    Eigen::Matrix<double, 8, 1> p;
    p << pb.x, pb.y, 0, 0, 0, 0, 1, 0;
    Eigen::Matrix<double, 8, 8> h;
    Eigen::LDLT<Eigen::Matrix<double, 8, 8>, Eigen::Lower> solver; // of the last h
    double squares = 0;
    for (int iteration = 0; iteration < 15; ++iteration) {
        const Warp w{float(p[0]), float(p[1]),     float(1 + p[2]), float(p[3]),
                     float(p[4]), float(1 + p[5]), float(p[6]),     float(p[7])};
        NormalSums sums;
        if (!normalEquations(b, patch, w, warped.data(), sums)) return false;
        Eigen::Matrix<double, 8, 1> g;
        size_t m = 0;
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j <= i; ++j, ++m) h(i, j) = sums[m];
        for (int i = 0; i < 8; ++i, ++m) g[i] = sums[m];
        squares = sums[m];
        const Eigen::Matrix<double, 8, 1> step = solver.compute(h).solve(-g);
        if (!step.allFinite()) return false;
        p += step;
        if (step.head<2>().norm() < kConverged) break;
    }
    const cv::Point2f moved{float(p[0]), float(p[1])};
    if (std::hypot(moved.x - pb.x, moved.y - pb.y) > kSearchRadius * step) return false;
    if (std::abs(p[2]) > 0.3 || std::abs(p[3]) > 0.3 || std::abs(p[4]) > 0.3 ||
        std::abs(p[5]) > 0.3)
        return false;

    // Correlation of the patch with the fitted place, each sum in four running parts: one sum
    // alone waits for every addition before the next.
    constexpr size_t kParts = 4;
    const auto total = [](const std::array<double, kParts>& part) {
        return part[0] + part[1] + part[2] + part[3];
    };
    std::array<double, kParts> sumA{}, sumB{};
#pragma GCC unroll 4
    for (size_t k = 0; k < size_t(kPatchSamples); ++k)
        sumA[k % kParts] += patch.value[k], sumB[k % kParts] += warped[k];
    const double ma = total(sumA) / kPatchSamples, mb = total(sumB) / kPatchSamples;
    std::array<double, kParts> ab{}, aa{}, bb{};
#pragma GCC unroll 4
    for (size_t k = 0; k < size_t(kPatchSamples); ++k) {
        const double da = patch.value[k] - ma, db = warped[k] - mb;
        ab[k % kParts] += da * db, aa[k % kParts] += da * da, bb[k % kParts] += db * db;
    }
    const double correlation = total(ab) / std::sqrt(total(aa) * total(bb));
    if (!(correlation >= kMinCorrelation)) return false;
    // How far the position could be off given the fit's residual (grain, detail the patch
    // does not follow): the position's standard deviation from the fit's covariance,
    // residual variance times the inverse of the normal matrix (its first two columns give the
    // position's part).
    const Eigen::Matrix<double, 8, 2> inverse =
        solver.solve(Eigen::Matrix<double, 8, 8>::Identity().leftCols<2>());
    uncertainty =
        std::sqrt(std::max(0.0, squares / (kPatchSamples - 8) * (inverse(0, 0) + inverse(1, 1))));
    pb = moved;
    return true;
}

double epipolarTolerance(const cv::Size& frame) {
    return std::max(kEpipolarPixels, kEpipolarFraction * std::hypot(frame.width, frame.height));
}

// The spacing of the refinement's patch samples for a feature: one pixel for fine detail,
// wider for the large soft blobs of a plate with little texture, whose position only a patch
// of their own size can fix.
float patchStep(const cv::KeyPoint& k) {
    return std::clamp(k.size / 10.0f, 1.0f, 4.0f);
}

// The widest spacing of a patch's samples that keeps it within kWidestPatch of the width.
float widestStep(int width) {
    return float(kWidestPatch * width) / float(2 * kPatchRadius);
}

// The widest a feature's spacing can grow to by doubling in a frame of the given width.
float grownStep(float step, int width) {
    while (2 * step <= widestStep(width)) step *= 2;
    return step;
}

// How much of a pixel's white noise the smoothing of each level leaves: the Gaussian
// kernel's sum of squares in one direction (squared in two, then the square root).
const std::array<double, kSmoothLevels>& noiseLeft() {
    static const std::array<double, kSmoothLevels> left = [] {
        std::array<double, kSmoothLevels> out{};
        for (size_t level = 0; level < out.size(); ++level) {
            const double sigma = kSmoothing * double(1 << level);
            const cv::Mat w =
                cv::getGaussianKernel(int(std::lround(8 * sigma + 1)) | 1, sigma, CV_64F);
            out[level] = w.dot(w);
        }
        return out;
    }();
    return left;
}

// The spacing of a patch whose samples, in images smoothed for that spacing, leave a fit to
// the second image no more uncertain than kMaxUncertainty for the grain of the first image
// alone: from the feature's own spacing, doubled while a fit there would be more uncertain
// and the doubled patch lies in both images, within kWidestPatch of the frame's width.
// Predicted from the patch's slopes before any fit: the position's deviation is the noise
// left after the smoothing, in both views, over the square root of the slopes' energy.
float fitStep(const CameraImage& a, const cv::Point2f& from, const CameraImage& b,
              const cv::Point2f& to, float step) {
    const auto inside = [&](const cv::Mat& m, const cv::Point2f& p, float s) {
        const float reach = float(kPatchRadius + kSearchRadius) * s + 1.0f;
        return p.x >= reach && p.y >= reach && p.x < float(m.cols - 1) - reach &&
               p.y < float(m.rows - 1) - reach;
    };
    const auto uncertain = [&](float s) {
        const size_t level = size_t(smoothLevel(s));
        const ImageData& d = a.data[level];
        double xx = 0, xy = 0, yy = 0;
        for (int j = -kPatchRadius; j <= kPatchRadius; ++j)
            for (int i = -kPatchRadius; i <= kPatchRadius; ++i) {
                const Sample q =
                    sampleWithGradient(d, from.x + float(i) * s, from.y + float(j) * s);
                xx += double(q.dx) * q.dx, xy += double(q.dx) * q.dy, yy += double(q.dy) * q.dy;
            }
        const double det = xx * yy - xy * xy;
        return !(det > 0) ||
               a.noise * noiseLeft()[level] * std::sqrt(2 * (xx + yy) / det) > kMaxUncertainty;
    };
    while (2 * step <= widestStep(a.grey.cols) && inside(a.grey, from, 2 * step) &&
           inside(b.grey, to, 2 * step) && uncertain(step))
        step *= 2;
    return step;
}

// The two nearest descriptors of one feature among those of the other view: squared
// distances and indices, ordered by distance, ties by the lower index.
struct NearestTwo {
    int32_t d1 = INT32_MAX, d2 = INT32_MAX;
    int i1 = -1, i2 = -1;

    void offer(int32_t d, int i) {
        if (d < d1 || (d == d1 && i < i1)) {
            d2 = d1, i2 = i1;
            d1 = d, i1 = i;
        } else if (d < d2 || (d == d2 && i < i2)) {
            d2 = d, i2 = i;
        }
    }
    void merge(const NearestTwo& o) {
        if (o.i1 >= 0) offer(o.d1, o.i1);
        if (o.i2 >= 0) offer(o.d2, o.i2);
    }
    // The ratio test on distances, kRatio, done on the squared integers.
    bool distinct() const {
        return i2 >= 0 && double(d1) < double(kRatio) * double(kRatio) * double(d2);
    }
};

// Squared distances of one SIFT descriptor to `count` consecutive others, kDescriptorSize
// bytes each, exact: whole numbers, the same on either path below.
void distancesPlain(const uchar* a, const uchar* b, int count, int32_t* out) {
    for (int j = 0; j < count; ++j, b += kDescriptorSize) {
        cv::v_int32x4 sum = cv::v_setzero_s32();
        for (int i = 0; i < kDescriptorSize; i += 16) {
            cv::v_uint16x8 a0, a1, b0, b1;
            cv::v_expand(cv::v_load(a + i), a0, a1);
            cv::v_expand(cv::v_load(b + i), b0, b1);
            const cv::v_int16x8 d0 = cv::v_reinterpret_as_s16(a0) - cv::v_reinterpret_as_s16(b0);
            const cv::v_int16x8 d1 = cv::v_reinterpret_as_s16(a1) - cv::v_reinterpret_as_s16(b1);
            sum += cv::v_dotprod(d0, d0) + cv::v_dotprod(d1, d1);
        }
        out[j] = cv::v_reduce_sum(sum);
    }
}

#ifdef KX_TRACK_X86
// The sum of eight 32-bit lanes.
__attribute__((target("avx2"))) inline int32_t laneSum(__m256i eight) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(eight), _mm256_extracti128_si256(eight, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4e));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1));
    return _mm_cvtsi128_si32(s);
}

// Sixteen bytes at a time widened to sixteen 16-bit lanes: the first descriptor stays in
// registers and each of the others is read once.
__attribute__((target("avx2"))) void distancesAvx2(const uchar* a, const uchar* b, int count,
                                                   int32_t* out) {
    constexpr int kParts = kDescriptorSize / 16;
    __m256i first[kParts];
    for (int i = 0; i < kParts; ++i)
        first[i] =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * i)));
    for (int j = 0; j < count; ++j, b += kDescriptorSize) {
        __m256i sum = _mm256_setzero_si256();
        for (int i = 0; i < kParts; ++i) {
            const __m256i d =
                _mm256_sub_epi16(first[i], _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                               reinterpret_cast<const __m128i*>(b + 16 * i))));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(d, d));
        }
        out[j] = laneSum(sum);
    }
}

// The same, thirty-two bytes at a time, each pair of squares summed into a 32-bit lane by one
// multiply-add (VNNI).
__attribute__((target("avx512f,avx512bw,avx512vnni,avx2"))) void
distancesAvx512(const uchar* a, const uchar* b, int count, int32_t* out) {
    constexpr int kParts = kDescriptorSize / 32;
    __m512i first[kParts];
    for (int i = 0; i < kParts; ++i)
        first[i] =
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32 * i)));
    for (int j = 0; j < count; ++j, b += kDescriptorSize) {
        __m512i sum = _mm512_setzero_si512();
        for (int i = 0; i < kParts; ++i) {
            const __m512i d =
                _mm512_sub_epi16(first[i], _mm512_cvtepu8_epi16(_mm256_loadu_si256(
                                               reinterpret_cast<const __m256i*>(b + 32 * i))));
            sum = _mm512_dpwssd_epi32(sum, d, d);
        }
        // (Masked extractions with a full mask: the plain ones leave lanes undefined that GCC
        // 12 warns of.)
        out[j] = laneSum(_mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, sum, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, sum, 1)));
    }
}
#endif

void distances(const uchar* a, const uchar* b, int count, int32_t* out) {
#ifdef KX_TRACK_X86
    if (onReferencePath().load(std::memory_order_relaxed)) return distancesPlain(a, b, count, out);
    static const bool avx512 =
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx512) return distancesAvx512(a, b, count, out);
    if (avx2) return distancesAvx2(a, b, count, out);
#endif
    distancesPlain(a, b, count, out);
}

// Nearest neighbours that pass the ratio test in both directions and agree, each searched
// among the other view's features within the band of rows around its own row (band: half
// height in pixels). The views of a stereo pair are nearly rectified, so a true match lies in
// the band; the search compares only pairs in it, and exactly: SIFT's descriptor values are
// whole numbers below 256, so the distances are exact integers and the nearest two are the
// same on every run and thread count.
std::vector<Match> mutualMatches(const CameraImage& a, const CameraImage& b, float band) {
    std::vector<Match> out;
    const int na = int(a.keypoints.size()), nb = int(b.keypoints.size());
    if (na < 2 || nb < 2) return out;
    // Both views' features in order of their row, with their descriptors as bytes.
    const auto byRow = [](const CameraImage& image, std::vector<int>& order, cv::Mat& bytes,
                          std::vector<float>& rows) {
        order.resize(image.keypoints.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](int i, int j) {
            return image.keypoints[size_t(i)].pt.y < image.keypoints[size_t(j)].pt.y;
        });
        bytes.create(int(order.size()), kDescriptorSize, CV_8U);
        rows.resize(order.size());
        for (size_t k = 0; k < order.size(); ++k) {
            image.descriptors.row(order[k]).copyTo(bytes.row(int(k)));
            rows[k] = image.keypoints[size_t(order[k])].pt.y;
        }
    };
    std::vector<int> orderA, orderB;
    cv::Mat bytesA, bytesB;
    std::vector<float> rowsA, rowsB;
    byRow(a, orderA, bytesA, rowsA);
    byRow(b, orderB, bytesB, rowsB);

    // The first view's features in blocks of consecutive rows; each block compares with the
    // second view's features in its rows widened by the band, and keeps its own nearest two of
    // those, merged afterwards (the order of merging does not change the result).
    constexpr int kBlock = 64;
    const int blocks = (na + kBlock - 1) / kBlock;
    std::vector<NearestTwo> forward(static_cast<size_t>(na));
    std::vector<int> firstB(static_cast<size_t>(blocks)), endB(static_cast<size_t>(blocks));
    std::vector<std::vector<NearestTwo>> backward(static_cast<size_t>(blocks));
    Kx::Image::Engine::parallelRows(0, blocks, [&](int block) {
        const int i0 = block * kBlock, i1 = std::min(na, i0 + kBlock);
        const int j0 = int(std::lower_bound(rowsB.begin(), rowsB.end(), rowsA[size_t(i0)] - band) -
                           rowsB.begin());
        const int j1 =
            int(std::upper_bound(rowsB.begin(), rowsB.end(), rowsA[size_t(i1 - 1)] + band) -
                rowsB.begin());
        firstB[size_t(block)] = j0;
        endB[size_t(block)] = j1;
        std::vector<NearestTwo>& back = backward[size_t(block)];
        back.assign(size_t(std::max(0, j1 - j0)), NearestTwo{});
        std::vector<int32_t> d(size_t(std::max(0, j1 - j0)));
        for (int i = i0; i < i1; ++i) {
            // The second view's features in the band around this feature's row: consecutive,
            // as their rows are in order.
            const float y = rowsA[size_t(i)];
            const auto begin = rowsB.begin() + j0, end = rowsB.begin() + j1;
            const auto below =
                std::partition_point(begin, end, [&](float r) { return r - y < -band; });
            const auto above =
                std::partition_point(below, end, [&](float r) { return r - y <= band; });
            const int lo = int(below - rowsB.begin()), hi = int(above - rowsB.begin());
            if (lo == hi) continue;
            distances(bytesA.ptr<uchar>(i), bytesB.ptr<uchar>(lo), hi - lo, d.data());
            NearestTwo& near = forward[size_t(i)];
            for (int j = lo; j < hi; ++j) {
                near.offer(d[size_t(j - lo)], j);
                back[size_t(j - j0)].offer(d[size_t(j - lo)], i);
            }
        }
    });
    std::vector<NearestTwo> nearestA(static_cast<size_t>(nb));
    for (int block = 0; block < blocks; ++block)
        for (int j = firstB[size_t(block)]; j < endB[size_t(block)]; ++j)
            nearestA[size_t(j)].merge(backward[size_t(block)][size_t(j - firstB[size_t(block)])]);
    for (int i = 0; i < na; ++i) {
        const NearestTwo& f = forward[size_t(i)];
        if (!f.distinct()) continue;
        const NearestTwo& back = nearestA[size_t(f.i1)];
        if (!back.distinct() || back.i1 != i) continue;
        out.push_back({orderA[size_t(i)],
                       orderB[size_t(f.i1)],
                       float(std::sqrt(double(f.d1) / double(f.d2))),
                       {}});
    }
    return out;
}

// A match's nearest neighbours: the outlier test compares each match with them, and the
// recovery of dropped matches predicts a match's displacement from them.
constexpr size_t kNeighbours = 8;

// The kNeighbours points of a set nearest to a position, found through square cells of a side
// that holds about two points each, over the box of the points; each cell lists its points in
// their order.
class NearestPoints {
public:
    explicit NearestPoints(const std::vector<cv::Point2f>& points) : _points(points) {
        const size_t n = points.size();
        _left = _right = points[0].x;
        _top = _bottom = points[0].y;
        for (const cv::Point2f& p : points) {
            _left = std::min(_left, p.x), _right = std::max(_right, p.x);
            _top = std::min(_top, p.y), _bottom = std::max(_bottom, p.y);
        }
        const float width = _right - _left, height = _bottom - _top;
        _side = std::max(1.0f, std::sqrt(std::max(1.0f, width * height) * 2.0f / float(n)));
        _columns = int(width / _side) + 1;
        _rows = int(height / _side) + 1;
        _first.assign(size_t(_columns * _rows) + 1, 0);
        _members.resize(n);
        for (const cv::Point2f& p : points) {
            const cv::Point c = cellOf(p);
            ++_first[size_t(c.y * _columns + c.x) + 1];
        }
        std::partial_sum(_first.begin(), _first.end(), _first.begin());
        std::vector<int> filled(_first.begin(), _first.end() - 1);
        for (size_t i = 0; i < n; ++i) {
            const cv::Point c = cellOf(points[i]);
            _members[size_t(filled[size_t(c.y * _columns + c.x)]++)] = int(i);
        }
    }

    // The nearest points to p but the one numbered `skip` (squared distance, index), nearest
    // first, ties to the earlier point: the cells are visited in rings around p's own until
    // the kNeighbours-th nearest found is nearer than anything beyond the ring can be. Fewer
    // than kNeighbours when the set has fewer.
    std::vector<std::pair<float, size_t>> nearest(const cv::Point2f& p, size_t skip) const {
        std::vector<std::pair<float, size_t>> found;
        const cv::Point c = cellOf(p);
        for (int ring = 0;; ++ring) {
            for (int cy = std::max(0, c.y - ring); cy <= std::min(_rows - 1, c.y + ring); ++cy)
                for (int cx = std::max(0, c.x - ring); cx <= std::min(_columns - 1, c.x + ring);
                     ++cx) {
                    if (std::max(std::abs(cx - c.x), std::abs(cy - c.y)) != ring) continue;
                    const size_t cell = size_t(cy * _columns + cx);
                    for (int k = _first[cell]; k < _first[cell + 1]; ++k) {
                        const size_t j = size_t(_members[size_t(k)]);
                        if (j == skip) continue;
                        const cv::Point2f d = _points[j] - p;
                        found.emplace_back(d.dot(d), j);
                    }
                }
            if (found.size() >= kNeighbours) {
                std::nth_element(found.begin(), found.begin() + (kNeighbours - 1), found.end());
                // Anything beyond the ring lies at least ring * side away, from a position
                // outside the box further still (the margin keeps the float squares of
                // distances on the safe side).
                const float reach = float(ring) * _side * 0.999f;
                if (found[kNeighbours - 1].first < reach * reach) break;
            }
            if (ring >= std::max(_columns, _rows)) break; // every cell visited
        }
        const size_t k = std::min(kNeighbours, found.size());
        std::partial_sort(found.begin(), found.begin() + std::ptrdiff_t(k), found.end());
        found.resize(k);
        return found;
    }

private:
    cv::Point cellOf(const cv::Point2f& p) const {
        return cv::Point(int(std::clamp((p.x - _left) / _side, 0.0f, float(_columns - 1))),
                         int(std::clamp((p.y - _top) / _side, 0.0f, float(_rows - 1))));
    }

    const std::vector<cv::Point2f>& _points;
    float _left, _top, _right, _bottom, _side;
    int _columns, _rows;
    std::vector<int> _first, _members;
};

// Drops the matches whose displacement disagrees with most of their nearest neighbours'. A
// repeating pattern (tiles, a chequerboard, windows) lets a feature match the same detail one
// period along the epipolar line, which the epipolar geometry cannot tell from the truth; its
// neighbours on the same surface move by the true disparity, which differs by that period.
// Neighbours agree when their displacements differ by at most kAgreePixels plus
// kAgreeSlope times their distance (surfaces slant, so disparity changes over the frame).
void keepConsistentWithNeighbours(const CameraImage& a, std::vector<Match>& matches) {
    constexpr float kAgreePixels = 2.0f, kAgreeSlope = 0.02f;
    const size_t n = matches.size();
    if (n <= kNeighbours) return;
    std::vector<cv::Point2f> from(n), shift(n);
    for (size_t i = 0; i < n; ++i) {
        from[i] = a.keypoints[size_t(matches[i].first)].pt;
        shift[i] = matches[i].refined - from[i];
    }
    const NearestPoints index(from);
    std::vector<char> keep(n);
    Kx::Image::Engine::parallelRows(0, int(n), [&](int row) {
        const size_t i = size_t(row);
        const std::vector<std::pair<float, size_t>> nearest = index.nearest(from[i], i);
        size_t agree = 0;
        for (size_t k = 0; k < kNeighbours; ++k) {
            const cv::Point2f d = shift[nearest[k].second] - shift[i];
            const float tolerance = kAgreePixels + kAgreeSlope * std::sqrt(nearest[k].first);
            if (std::max(std::abs(d.x), std::abs(d.y)) <= tolerance) ++agree;
        }
        keep[i] = 2 * agree >= kNeighbours;
    });
    std::vector<Match> kept;
    for (size_t i = 0; i < n; ++i)
        if (keep[i]) kept.push_back(matches[i]);
    matches.swap(kept);
}

// Takes back matches of `placed` that the outlier tests dropped, in the cells of the grid
// they left with fewer than kNeighbours matches: a dropped match returns where the
// displacements of its nearest kept matches, as an affine function of position, predict its
// own to within the epipolar tolerance and fit that function themselves as closely. A
// repeating pattern (a chequerboard floor) gives true matches and matches one period along
// the epipolar line side by side, so the neighbour test drops both; the kept matches around
// the pattern tell them apart. Without the true ones the solve would reach such a part of the
// frame, often a corner where a lens distorts most, only from the far side of the pattern.
void recoverAgreeingMatches(const CameraImage& a, const std::vector<Match>& placed,
                            std::vector<Match>& kept) {
    if (kept.size() < kNeighbours) return;
    const double tolerance = epipolarTolerance(a.grey.size());
    const Grid grid(a.grey.cols, a.grey.rows);
    std::vector<size_t> inCell(size_t(grid.cells()), 0);
    std::vector<char> isKept(a.keypoints.size(), 0);
    std::vector<cv::Point2f> positionsKept;
    for (const Match& m : kept) {
        positionsKept.push_back(a.keypoints[size_t(m.first)].pt);
        ++inCell[size_t(grid.cell(positionsKept.back()))];
        isKept[size_t(m.first)] = 1;
    }
    const NearestPoints index(positionsKept);
    std::vector<Match> recovered;
    for (const Match& c : placed) {
        const cv::Point2f& from = a.keypoints[size_t(c.first)].pt;
        if (isKept[size_t(c.first)] || inCell[size_t(grid.cell(from))] >= kNeighbours) continue;
        const std::vector<std::pair<float, size_t>> nearest =
            index.nearest(from, std::numeric_limits<size_t>::max());
        // Displacement = offset + gradient times the position relative to the dropped match.
        Eigen::Matrix<double, kNeighbours, 3> positions;
        Eigen::Matrix<double, kNeighbours, 2> shifts;
        for (size_t k = 0; k < kNeighbours; ++k) {
            const Match& m = kept[nearest[k].second];
            const cv::Point2f& p = a.keypoints[size_t(m.first)].pt;
            positions.row(Eigen::Index(k)) << 1.0, p.x - from.x, p.y - from.y;
            shifts.row(Eigen::Index(k)) << m.refined.x - p.x, m.refined.y - p.y;
        }
        const Eigen::Matrix<double, 3, 2> fit = positions.colPivHouseholderQr().solve(shifts);
        if (!fit.allFinite() || (positions * fit - shifts).cwiseAbs().maxCoeff() > tolerance)
            continue;
        const cv::Point2f shift = c.refined - from;
        if (std::abs(shift.x - fit(0, 0)) <= tolerance &&
            std::abs(shift.y - fit(0, 1)) <= tolerance)
            recovered.push_back(c);
    }
    kept.insert(kept.end(), recovered.begin(), recovered.end());
}

// Places a match to a fraction of a pixel (refine) and checks the placement; false for a match
// to drop.
bool place(const CameraImage& a, const CameraImage& b, Match& m) {
    const cv::Point2f& from = a.keypoints[size_t(m.first)].pt;
    m.refined = b.keypoints[size_t(m.second)].pt;
    const float step = fitStep(a, from, b, m.refined, patchStep(a.keypoints[size_t(m.first)]));
    const size_t level = size_t(smoothLevel(step));
    double there = 0, back = 0;
    // A forward fit already too uncertain is dropped without the backward fit.
    if (!refine(a.data[level], b.data[level], from, m.refined, step, there) ||
        there > kMaxUncertainty)
        return false;
    cv::Point2f home = from;
    if (!refine(b.data[level], a.data[level], m.refined, home, step, back)) return false;
    const double missed = std::hypot(home.x - from.x, home.y - from.y);
    return missed <= kBackTolerance * step &&
           (missed <= kBackClose * step || missed <= kBackAgreement * std::hypot(there, back)) &&
           std::max(there, back) <= kMaxUncertainty;
}

// The matches of `candidates` (most distinctive first) that place well, in the same order.
// A cell of the grid keeps at most `share` matches in the end, the most distinctive that
// survive the outlier tests, so it is placed only until it holds kPlacedSpare times that many
// (the outlier tests rarely drop more from a cell): in rounds, each placing as many more of
// a cell's next candidates as the cell still lacks. A textured frame offers far more matches
// than its cells keep: at 2048 pixels across, two in five placed matches were dropped by the
// choice per cell. The rounds depend on the placements alone, so the matches are the same
// whatever the thread count.
std::vector<Match> placeMatches(const CameraImage& a, const CameraImage& b, const Grid& grid,
                                std::vector<Match>& candidates, size_t share) {
    constexpr double kPlacedSpare = 1.25;
    const size_t wanted = size_t(std::ceil(kPlacedSpare * double(share)));
    std::vector<std::vector<size_t>> byCell(size_t(grid.cells()));
    for (size_t i = 0; i < candidates.size(); ++i)
        byCell[size_t(grid.cell(a.keypoints[size_t(candidates[i].first)].pt))].push_back(i);
    std::vector<size_t> tried(byCell.size(), 0), held(byCell.size(), 0);
    std::vector<char> placed(candidates.size(), 0);
    for (;;) {
        std::vector<size_t> round;
        for (size_t c = 0; c < byCell.size(); ++c) {
            const size_t more = std::min(wanted - held[c], byCell[c].size() - tried[c]);
            round.insert(round.end(), byCell[c].begin() + std::ptrdiff_t(tried[c]),
                         byCell[c].begin() + std::ptrdiff_t(tried[c] + more));
            tried[c] += more;
        }
        if (round.empty()) break;
        Kx::Image::Engine::parallelRows(0, int(round.size()), [&](int k) {
            const size_t i = round[size_t(k)];
            placed[i] = place(a, b, candidates[i]);
        });
        for (const size_t i : round)
            if (placed[i]) ++held[size_t(grid.cell(a.keypoints[size_t(candidates[i].first)].pt))];
    }
    std::vector<Match> out;
    for (size_t i = 0; i < candidates.size(); ++i)
        if (placed[i]) out.push_back(candidates[i]);
    return out;
}

void matchPair(const CameraImage& a, const CameraImage& b, bool rejectOutliers,
               CameraTrack& track) {
    const float band = std::max(kBandMinimum, float(kBandFraction * a.grey.rows));
    std::vector<Match> found = mutualMatches(a, b, band);
    // SIFT repeats a feature for each of its orientations: the most distinctive match of a
    // position is refined, once.
    std::sort(found.begin(), found.end(),
              [](const Match& x, const Match& y) { return x.ratio < y.ratio; });
    std::set<std::pair<float, float>> taken;
    std::vector<Match> unique;
    for (const Match& m : found) {
        const cv::Point2f& p = a.keypoints[size_t(m.first)].pt;
        if (taken.insert({p.x, p.y}).second) unique.push_back(m);
    }
    const Grid grid(a.grey.cols, a.grey.rows);
    const size_t share = size_t((kMaxMatchesPerPair + grid.cells() - 1) / grid.cells());
    std::vector<Match> matches = placeMatches(a, b, grid, unique, share);
    if (rejectOutliers) {
        if (matches.size() < 8) return; // too few to tell good matches from bad ones
        std::vector<cv::Point2f> pa, pb;
        for (const Match& m : matches) {
            pa.push_back(a.keypoints[size_t(m.first)].pt);
            pb.push_back(m.refined);
        }
        std::vector<uchar> inliers;
        const cv::Mat f = cv::findFundamentalMat(
            pa, pb, cv::FM_RANSAC, epipolarTolerance(a.grey.size()), kConfidence, inliers);
        if (f.empty()) return;
        std::vector<Match> kept;
        for (size_t i = 0; i < matches.size(); ++i)
            if (inliers[i]) kept.push_back(matches[i]);
        keepConsistentWithNeighbours(a, kept);
        recoverAgreeingMatches(a, matches, kept);
        matches.swap(kept);
    }

    // Spread: the most distinctive matches (lowest ratio) of each cell of the first image,
    // at most an even share of the pair's total per cell.
    std::vector<std::vector<Match>> cells(size_t(grid.cells()));
    for (const Match& m : matches)
        cells[size_t(grid.cell(a.keypoints[size_t(m.first)].pt))].push_back(m);
    for (auto& cell : cells) {
        std::sort(cell.begin(), cell.end(),
                  [](const Match& x, const Match& y) { return x.ratio < y.ratio; });
        cell.resize(std::min(cell.size(), share));
        for (const Match& m : cell) {
            FeatureTrack t;
            t.addFeature(a.camera,
                         Feature(hostPosition(a.keypoints[size_t(m.first)].pt, a.grey.rows)));
            t.addFeature(b.camera, Feature(hostPosition(m.refined, b.grey.rows)));
            track.addTrack(t);
        }
    }
}

} // namespace

bool TrackFeatures(Kx::Image::Op* node, CameraTrack& track, const CameraRigDefinition& rig,
                   MatchTypeEnum matchType, bool rejectOutliers, double frame,
                   const std::vector<int>& inputs) {
    if (!node) return false;
    if (int(inputs.size()) != rig.getNumberCameras()) {
        node->error("feature tracking: the rig has %d cameras but %zu inputs were given",
                    rig.getNumberCameras(), inputs.size());
        return false;
    }
    std::vector<CameraImage> images;
    for (int c = 0; c < rig.getNumberCameras(); ++c) {
        if (!rig.getCamera(c).getEnabled() || inputs[size_t(c)] < 0) continue;
        CameraImage image;
        image.camera = c;
        std::string why;
        if (!renderInput(node, inputs[size_t(c)], frame, image.grey, why)) {
            node->error("%s", why.c_str());
            return false;
        }
        images.push_back(std::move(image));
    }
    Kx::Image::Engine::parallelRows(0, int(images.size()),
                                    [&](int i) { detect(images[size_t(i)]); });
    if (node->aborted()) return false;
    // The smoothed images the refinement reads: only the smoothings some feature's patch
    // spacing asks for (a match reads the first feature's in both images), and, in frames
    // wide enough for the spacing to grow against grain, the wider ones too.
    std::vector<std::pair<size_t, size_t>> smoothings; // image, level
    for (size_t level = 0; level < size_t(kSmoothLevels); ++level) {
        bool used = false;
        for (const CameraImage& image : images)
            for (const cv::KeyPoint& k : image.keypoints) {
                const float step = patchStep(k);
                used = used || (smoothLevel(step) <= int(level) &&
                                int(level) <= smoothLevel(grownStep(step, image.grey.cols)));
            }
        for (size_t i = 0; used && i < images.size(); ++i) smoothings.emplace_back(i, level);
    }
    Kx::Image::Engine::parallelRows(0, int(smoothings.size()), [&](int row) {
        const auto [i, level] = smoothings[size_t(row)];
        images[i].data[level].set(images[i].grey, kSmoothing * double(1 << level));
    });
    if (node->aborted()) return false;

    CameraTrack found(track.getFrame());
    for (size_t i = 0; i < images.size(); ++i)
        for (size_t j = i + 1; j < images.size(); ++j) {
            if (matchType == MATCH_ADJACENT && images[j].camera != images[i].camera + 1) continue;
            matchPair(images[i], images[j], rejectOutliers, found);
        }
    if (node->aborted()) return false;
    for (const FeatureTrack& t : found.getTracks()) track.addTrack(t);
    return true;
}

bool trackFeaturesOnReferencePath(bool reference) {
    onReferencePath() = reference;
    return !reference && fitUsesAvx512();
}

} // namespace Marrow::Research
