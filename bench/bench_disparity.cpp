// The disparity generator's measure of one 2048 x 1080 stereo pair of the synthetic source
// (the demo's misalignment: vertical disparity everywhere), both directions with the
// consistency check, against its peers on the same grey frames, both directions each:
// OpenCV's Farneback flow and its three DIS presets. The frames are rendered once before
// timing. Each run also reports its accuracy against the source's exact truth over the
// non-occluded pixels of both views: the median end-point error and the RMS of the vertical
// component (counters median_epe and vertical_rms, in pixels). Everything runs on 2 threads:
// the engine's for the generator, OpenCV's for the peers. Run with
// --benchmark_counters_tabular=true; the generator should be at least as accurate as the best
// peer at no more than its time.
#include "mwDenseDisparity.h"

#include <Kx/Image/Engine.h>
#include <Kx/Image/OutputContext.h>
#include <Kx/Image/Row.h>
#include <nodes/SyntheticStereo.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
namespace Kxi = Kx::Image;

namespace {

constexpr int kWidth = 2048, kHeight = 1080, kThreads = 2;

// One view rendered: colour and the exact disparity and occlusion towards the other view.
struct RenderedView {
    DisparityPlane red{kWidth, kHeight}, green{kWidth, kHeight}, blue{kWidth, kHeight};
    DisparityPlane dx{kWidth, kHeight}, dy{kWidth, kHeight}, hidden{kWidth, kHeight};

    RenderedView(SyntheticStereo& op, bool left) {
        const Kxi::Channel cx = left ? Kxi::Chan_DisparityL_X : Kxi::Chan_DisparityR_X;
        const Kxi::Channel cy = left ? Kxi::Chan_DisparityL_Y : Kxi::Chan_DisparityR_Y;
        const Kxi::Channel ch = left ? SyntheticStereo::occlusionLeftChannel()
                                     : SyntheticStereo::occlusionRightChannel();
        const Kxi::ChannelSet channels = Kxi::Mask_RGB + Kxi::ChannelSet{cx, cy, ch};
        op.validate(true);
        op.request(0, 0, kWidth, kHeight, channels);
        Kxi::Engine::parallelRows(0, kHeight, [&](int y) {
            Kxi::Row row(0, kWidth);
            op.get(y, 0, kWidth, channels, row);
            const std::pair<Kxi::Channel, DisparityPlane*> planes[] = {{Kxi::Chan_Red, &red},
                                                                       {Kxi::Chan_Green, &green},
                                                                       {Kxi::Chan_Blue, &blue},
                                                                       {cx, &dx},
                                                                       {cy, &dy},
                                                                       {ch, &hidden}};
            for (auto [z, p] : planes) std::copy(row[z], row[z] + kWidth, p->row(y));
        });
    }
    ViewColour colour() const { return {&red, &green, &blue}; }
};

struct Pair {
    SyntheticStereo leftOp{nullptr}, rightOp{nullptr};
    std::unique_ptr<RenderedView> left, right;
    std::vector<unsigned char> greyL, greyR;

    Pair() {
        Kxi::OutputContext::setViews({"left", "right"});
        Kestrel::Nodes::SyntheticStereoParameters p;
        p.width = kWidth;
        p.height = kHeight;
        p.verticalShift.setValue(6);
        p.roll.setValue(0.6);
        p.focalRatio.setValue(1.015);
        p.tilt.setValue(0.25);
        leftOp.setParameters(p);
        rightOp.setParameters(p);
        leftOp.setOutputContext({1.0, Kxi::OutputContext::lookup_view("left")});
        rightOp.setOutputContext({1.0, Kxi::OutputContext::lookup_view("right")});
        left = std::make_unique<RenderedView>(leftOp, true);
        right = std::make_unique<RenderedView>(rightOp, false);
        greyPair(left->colour(), right->colour(), greyL, greyR);
    }
};

Pair& pair() {
    static Pair p;
    return p;
}

// Accuracy of a measured pair of flows against the truth, over both views' visible pixels.
void reportAccuracy(benchmark::State& state, const ViewDisparity& l, const ViewDisparity& r) {
    const Pair& p = pair();
    std::vector<double> endPoint;
    double vertical = 0;
    for (auto [measured, truth] : {std::pair{&l, p.left.get()}, std::pair{&r, p.right.get()}})
        for (size_t i = 0; i < truth->dx.data.size(); ++i) {
            if (truth->hidden.data[i] != 0) continue;
            const double ex = measured->dx.data[i] - truth->dx.data[i];
            const double ey = measured->dy.data[i] - truth->dy.data[i];
            endPoint.push_back(std::hypot(ex, ey));
            vertical += ey * ey;
        }
    auto mid = endPoint.begin() + std::ptrdiff_t(endPoint.size() / 2);
    std::nth_element(endPoint.begin(), mid, endPoint.end());
    state.counters["median_epe"] = *mid;
    state.counters["vertical_rms"] = std::sqrt(vertical / double(endPoint.size()));
}

void Generator(benchmark::State& state, DisparityQuality quality) {
    Pair& p = pair();
    Kxi::Engine::setThreads(kThreads);
    DisparitySettings s;
    s.quality = quality;
    const PairRunner runPair = [](const std::function<void(int)>& work) {
        Kxi::Engine::parallelRows(0, 2, work);
    };
    StereoDisparity d;
    for (auto _ : state) d = computeDisparity(p.left->colour(), p.right->colour(), s, runPair);
    reportAccuracy(state, d.left, d.right);
}

// A peer: a flow function of OpenCV from a to b, run both ways on the same grey frames.
using Flow = std::function<void(const cv::Mat& a, const cv::Mat& b, cv::Mat& flow)>;

void Peer(benchmark::State& state, const Flow& flow) {
    Pair& p = pair();
    cv::setNumThreads(kThreads);
    const cv::Mat l(kHeight, kWidth, CV_8U, p.greyL.data()),
        r(kHeight, kWidth, CV_8U, p.greyR.data());
    cv::Mat lr, rl;
    for (auto _ : state) {
        flow(l, r, lr);
        flow(r, l, rl);
    }
    ViewDisparity dl, dr;
    for (auto [m, v] : {std::pair{&lr, &dl}, std::pair{&rl, &dr}}) {
        v->dx = v->dy = DisparityPlane(kWidth, kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                v->dx.row(y)[x] = m->at<cv::Vec2f>(y, x)[0];
                v->dy.row(y)[x] = m->at<cv::Vec2f>(y, x)[1];
            }
    }
    reportAccuracy(state, dl, dr);
}

void Dis(benchmark::State& state, int preset) {
    cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(preset);
    Peer(state, [&](const cv::Mat& a, const cv::Mat& b, cv::Mat& f) { dis->calc(a, b, f); });
}

// Farneback with the settings of OpenCV's own sample, a pyramid deep enough for the plate's
// largest disparities.
void Farneback(benchmark::State& state) {
    Peer(state, [](const cv::Mat& a, const cv::Mat& b, cv::Mat& f) {
        cv::calcOpticalFlowFarneback(a, b, f, 0.5, 5, 15, 3, 5, 1.2, 0);
    });
}

} // namespace

BENCHMARK_CAPTURE(Generator, Draft, DisparityQuality::Draft)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Generator, Normal, DisparityQuality::Normal)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Generator, Fine, DisparityQuality::Fine)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Farneback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Dis, UltraFast, cv::DISOpticalFlow::PRESET_ULTRAFAST)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Dis, Fast, cv::DISOpticalFlow::PRESET_FAST)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Dis, Medium, cv::DISOpticalFlow::PRESET_MEDIUM)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
