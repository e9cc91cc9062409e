// Feature tracking of one 2048 x 1080 stereo pair of the synthetic source, against its peer:
// OpenCV's plain SIFT detection and description of the same two grey images. The images
// are rendered once before timing (the engine keeps them), so both measure the analysis
// alone. Run with --benchmark_counters_tabular=true; the ratio of the two real times is
// the cost of spreading, matching, refining and checking the matches over bare SIFT.
#include <Quorvane/TrackFeatures.h>

#include <Kx/Image/OutputContext.h>
#include <Kx/Image/Row.h>
#include <nodes/SyntheticStereo.h>

#include <benchmark/benchmark.h>
#include <opencv2/features2d.hpp>

#include <cmath>
#include <memory>

using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;

namespace {

constexpr double kFrame = 1.0;

class Asker : public Kx::Image::Op {
public:
    Asker() : Op(nullptr) { set_node_inputs(2); }
    const char* Class() const override { return "Asker"; }
    int maximum_inputs() const override { return 2; }
};

struct Pair {
    SyntheticStereo left{nullptr}, right{nullptr};
    Asker asker;

    Pair() {
        Kx::Image::OutputContext::setViews({"left", "right"});
        Kestrel::Nodes::SyntheticStereoParameters p;
        p.width = 2048;
        p.height = 1080;
        p.roll.setValue(0.3);
        p.tilt.setValue(0.2);
        p.verticalShift.setValue(1.5);
        left.setParameters(p);
        right.setParameters(p);
        left.setOutputContext({kFrame, Kx::Image::OutputContext::lookup_view("left")});
        right.setOutputContext({kFrame, Kx::Image::OutputContext::lookup_view("right")});
        asker.set_input(0, &left);
        asker.set_input(1, &right);
    }

    // The grey image tracking works on.
    static cv::Mat grey(SyntheticStereo& op) {
        op.validate(true);
        const int w = op.format().width(), h = op.format().height();
        op.request(0, 0, w, h, Kx::Image::Mask_RGB);
        cv::Mat out(h, w, CV_8U);
        Kx::Image::Row row(0, w);
        for (int y = 0; y < h; ++y) {
            op.get(y, 0, w, Kx::Image::Mask_RGB, row);
            for (int i = 0; i < w; ++i)
                out.at<uchar>(h - 1 - y, i) = uchar(std::lround(
                    255.0f * std::sqrt(std::clamp(row[Kx::Image::Chan_Green][i], 0.0f, 1.0f))));
        }
        return out;
    }
};

Pair& pair() {
    static Pair p;
    return p;
}

void TrackOnePair2048x1080(benchmark::State& state) {
    Pair& p = pair();
    CameraTrack warm(1);
    TrackFeatures(&p.asker, warm, p.left.rig(kFrame), MATCH_ALL_PAIRS, true, kFrame, {0, 1});
    size_t matches = 0;
    for (auto _ : state) {
        CameraTrack track(1);
        if (!TrackFeatures(&p.asker, track, p.left.rig(kFrame), MATCH_ALL_PAIRS, true, kFrame,
                           {0, 1}))
            state.SkipWithError(p.asker.errorMessage().c_str());
        matches = size_t(track.getNumberTracks());
    }
    state.counters["matches"] = double(matches);
}

void SiftPeer2048x1080(benchmark::State& state) {
    Pair& p = pair();
    const cv::Mat a = Pair::grey(p.left), b = Pair::grey(p.right);
    cv::Ptr<cv::SIFT> sift = cv::SIFT::create();
    for (auto _ : state) {
        std::vector<cv::KeyPoint> ka, kb;
        cv::Mat da, db;
        sift->detectAndCompute(a, cv::noArray(), ka, da);
        sift->detectAndCompute(b, cv::noArray(), kb, db);
        benchmark::DoNotOptimize(da.data);
        benchmark::DoNotOptimize(db.data);
    }
}

} // namespace

BENCHMARK(TrackOnePair2048x1080)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(SiftPeer2048x1080)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
