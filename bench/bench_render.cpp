// The node's colour warp against its peers, in one run: both views of a 4096 x 2160 and of a
// 2048 x 1080 RGBA float frame of the synthetic stereo plate, aligned with the "Full" preset
// in Rectilinear space, rendered on 2 threads with filter type 9 ("Lanczos6", 36 source
// pixels per output pixel) and with the host's cubic filter (type 6, the cubic B-spline,
// 16 pixels). The peers warp the same frames with the same homography and thread count:
// OpenCV's warpPerspective with INTER_LANCZOS4 (64 pixels) and INTER_CUBIC (16 pixels,
// positions rounded to 1/32 px), OpenImageIO's ImageBufAlgo::warp with "lanczos3", and a
// plain scalar loop over a table of Lanczos6 weights that reads the same kept input as the
// node (the bar the node's row kernel must clear).
//
// The alignment is real: the plate's exact correspondences of frame 1 are stored as the key's
// matches (as Match would find them without noise) and the node solves the Full preset from
// them. The plate is rendered once before timing (the host keeps it), so every timing is the
// warp alone; the node's rows go to a sink that only touches them, as the peers' output stays
// in their buffers.
//
// Run:  bench_render                  the timings, then a closing note with ms per view,
//                                     megapixels per second, how busy the node kept both
//                                     threads, and the ratios to the targets
//       bench_render --peak-rss       in a process of its own: renders one 4096 x 2160 frame
//                                     of both views into an output image and reports the peak
//                                     resident memory against 3 x the input channels it reads
//                                     (both views) + 200 MB
//       KX_SIMD=sse2 bench_render     the timings with the node's row kernel kept on its SSE2
//                                     reference path, to weigh what AVX2 and FMA give
// Google Benchmark flags (--benchmark_filter=..., --benchmark_repetitions=...) pass through.
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include <Kx/Image/Engine.h>
#include <Kx/Image/Filter.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>
#include <nodes/SyntheticStereo.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace Kx::Image;
using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
using Marrow::Vireon::VireonAlignmentSampler;

namespace {

constexpr double kFrame = 1.0;
constexpr int kThreads = 2;
constexpr int kLeft = 1, kRight = 2; // host views

struct Size {
    int w, h;
};
constexpr Size kSizes[] = {{4096, 2160}, {2048, 1080}};

std::string sizeName(const Size& s) {
    return std::to_string(s.w) + "x" + std::to_string(s.h);
}

// The views exist before the nodes, whose view knobs take their defaults from them.
struct StereoViews {
    StereoViews() { OutputContext::setViews({"left", "right"}); }
};

// One plate size: the synthetic source with a misaligned right camera, and one aligner per
// filter, both with the plate's exact correspondences of frame 1 as their only key.
struct Plate : StereoViews {
    Size size;
    Node source{"SyntheticStereo", "Plate"};
    std::map<int, std::unique_ptr<Node>> aligners; // by filter type

    explicit Plate(Size s) : size(s) {
        source.knob("width")->setValue(s.w);
        source.knob("height")->setValue(s.h);
        source.knob("samples")->setValue(1);
        // The misalignment of the end-to-end tests, its shift scaled to the frame.
        source.knob("verticalShift")->setValue(8.0 * s.w / 2048);
        source.knob("roll")->setValue(1);
        source.knob("focalRatio")->setValue(1.02);
        source.knob("tilt")->setValue(0.5);
    }

    Node& aligner(int filter) {
        auto& slot = aligners[filter];
        if (slot) return *slot;
        const std::string name = "VerticalAligner_" + std::to_string(filter);
        slot = std::make_unique<Node>("Q_VerticalAligner2_1", name);
        Node& a = *slot;
        a.setInput(0, &source);
        a.setPanelOpen(true);
        a.knob("layoutType")->setValue(VerticalAlignerKnobManager::StereoLayout);
        a.knob("alignmentSpace")->setValue(VerticalAlignerKnobManager::Rectilinear);
        a.knob("alignmentType")->setValue(VerticalAlignerKnobManager::Full);
        a.knob("filter")->setValue(filter);
        a.setContext(OutputContext(kFrame, kLeft));
        storeTrueMatches(a);
        return a;
    }

    SyntheticStereo& plate(int view) {
        auto* op = static_cast<SyntheticStereo*>(source.op(OutputContext(kFrame, view)));
        op->validate(true);
        return *op;
    }

    // The key's matches: a grid of left pixel centres whose scene point the right camera sees,
    // with their exact right positions.
    void storeTrueMatches(Node& a) {
        auto& node = *static_cast<VerticalAlignerPlugin*>(a.firstOp());
        VerticalAlignerKnobManager& kv = node.knobValues();
        kv.addKey(kFrame);
        CameraTrack& track = kv.controlPoints()->tracksForFrame(int(kFrame));
        track.clearTracks();
        const SyntheticStereo& truth = plate(kLeft);
        const int step = size.w / 40;
        for (int y = step / 2; y < size.h; y += step)
            for (int x = step / 2; x < size.w; x += step) {
                const Eigen::Vector2d p(x + 0.5, y + 0.5);
                Eigen::Vector2d q;
                bool visible = false;
                if (!truth.correspondence(0, 1, p, kFrame, q, visible) || !visible) continue;
                FeatureTrack t;
                t.addFeature(0, Feature(p));
                t.addFeature(1, Feature(q));
                track.addTrack(t);
            }
    }

    // The node's op of a view, validated, with the correction it renders with.
    VerticalAlignerPlugin& op(int filter, int view) {
        auto* op = static_cast<VerticalAlignerPlugin*>(aligner(filter).iop({kFrame, view}));
        op->validate(true);
        return *op;
    }

    // Renders every row of a view's format on the engine's threads; sink gets each row.
    bool render(int filter, int view, const std::function<void(int, const Row&)>& sink) {
        VerticalAlignerPlugin& o = op(filter, view);
        return Engine::renderRows(o, Box(0, 0, size.w, size.h), Mask_RGBA, sink);
    }
};

// CPU time of the whole process (every thread), in milliseconds: on a machine shared with
// other work it moves less than the real time.
double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec) + double(u.ru_stime.tv_sec)) * 1e3 +
           (double(u.ru_utime.tv_usec) + double(u.ru_stime.tv_usec)) * 1e-3;
}

// Times the views of the loop in process CPU time; sets the counters of the closing note.
struct CpuClock {
    benchmark::State& state;
    double start = processCpuMs();
    ~CpuClock() {
        const double views = 2.0 * double(state.iterations());
        state.counters["views"] = 2;
        if (views > 0) state.counters["cpu_ms/view"] = (processCpuMs() - start) / views;
    }
};

// A sink that reads one value of each channel so the rows are not optimised away.
void touch(int, const Row& row) {
    for (Channel z : Mask_RGBA) benchmark::DoNotOptimize(row[z][row.getLeft()]);
}

// The plates and the peers' frames of both sizes, made on first use and dropped at the end of
// main, while the host's registries they use are still there.
std::unique_ptr<Plate> g_plates[2];

Plate& plate(int index) {
    auto& p = g_plates[index];
    if (!p) p = std::make_unique<Plate>(kSizes[index]);
    return *p;
}

// ---- the node ----

void NodeWarp(benchmark::State& state, int sizeIndex, int filter) {
    Engine::setThreads(kThreads);
    Plate& p = plate(sizeIndex);
    for (int v : {kLeft, kRight}) {
        // The first render keeps the plate; it is not timed.
        if (!p.render(filter, v, touch)) {
            state.SkipWithError("the node did not render");
            return;
        }
        if (!p.op(filter, v).renderEngine().correctView()) {
            state.SkipWithError("the view is not corrected");
            return;
        }
    }
    CpuClock clock{state};
    for (auto _ : state)
        for (int v : {kLeft, kRight}) p.render(filter, v, touch);
}

// ---- the peers' frames: the same pixels, interleaved RGBA, row j being host row j ----

struct PeerFrames {
    cv::Mat frame[2];           // left, right
    Eigen::Matrix3d inverse[2]; // output position to source position (host convention)
    Eigen::Matrix3d forward[2]; // source to output
};

std::unique_ptr<PeerFrames> g_frames[2];

PeerFrames& peerFrames(int sizeIndex) {
    auto& f = g_frames[sizeIndex];
    if (f) return *f;
    f = std::make_unique<PeerFrames>();
    Plate& p = plate(sizeIndex);
    for (int k = 0; k < 2; ++k) {
        const int view = k == 0 ? kLeft : kRight;
        Iop& src = p.plate(view);
        src.request(0, 0, p.size.w, p.size.h, Mask_RGBA);
        cv::Mat m(p.size.h, p.size.w, CV_32FC4);
        Row row(0, p.size.w);
        for (int y = 0; y < p.size.h; ++y) {
            src.get(y, 0, p.size.w, Mask_RGBA, row);
            float* out = m.ptr<float>(y);
            for (int x = 0; x < p.size.w; ++x)
                for (int c = 0; c < 4; ++c) out[4 * x + c] = row[Channel(c + 1)][x];
        }
        f->frame[k] = m;
        const VireonAlignmentSampler& s = p.op(9, view).renderEngine().correction().thisSampler();
        f->inverse[k] = s.inverseHomography;
        f->forward[k] = s.forwardHomography;
    }
    return *f;
}

// OpenCV's map for WARP_INVERSE_MAP: destination pixel index to source pixel index, with
// pixel centres at integers there and at i + 0.5 here.
cv::Mat cvInverseMap(const Eigen::Matrix3d& inverse) {
    Eigen::Matrix3d toCentre = Eigen::Matrix3d::Identity(), fromCentre = toCentre;
    toCentre(0, 2) = toCentre(1, 2) = 0.5;
    fromCentre(0, 2) = fromCentre(1, 2) = -0.5;
    const Eigen::Matrix3d m = fromCentre * inverse * toCentre;
    cv::Mat out(3, 3, CV_64F);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.at<double>(r, c) = m(r, c);
    return out;
}

void OpenCvWarp(benchmark::State& state, int sizeIndex, int interpolation) {
    cv::setNumThreads(kThreads);
    PeerFrames& f = peerFrames(sizeIndex);
    cv::Mat dst[2], map[2] = {cvInverseMap(f.inverse[0]), cvInverseMap(f.inverse[1])};
    for (int k = 0; k < 2; ++k)
        cv::warpPerspective(f.frame[k], dst[k], map[k], f.frame[k].size(),
                            interpolation | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT);
    CpuClock clock{state};
    for (auto _ : state)
        for (int k = 0; k < 2; ++k) {
            cv::warpPerspective(f.frame[k], dst[k], map[k], f.frame[k].size(),
                                interpolation | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT);
            benchmark::DoNotOptimize(dst[k].data);
        }
}

void OiioWarp(benchmark::State& state, int sizeIndex) {
    PeerFrames& f = peerFrames(sizeIndex);
    const int w = f.frame[0].cols, h = f.frame[0].rows;
    const OIIO::ImageSpec spec(w, h, 4, OIIO::TypeDesc::FLOAT);
    OIIO::ImageBuf src[2] = {OIIO::ImageBuf(spec, f.frame[0].ptr<float>()),
                             OIIO::ImageBuf(spec, f.frame[1].ptr<float>())};
    OIIO::ImageBuf dst[2] = {OIIO::ImageBuf(spec), OIIO::ImageBuf(spec)};
    // OpenImageIO takes the forward map, in Imath's row-vector form (the transpose); its
    // pixel centres are at i + 0.5 and its rows are ours, so the matrix is the host's.
    float m[2][3][3];
    for (int k = 0; k < 2; ++k)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m[k][r][c] = float(f.forward[k](c, r));
    CpuClock clock{state};
    for (auto _ : state)
        for (int k = 0; k < 2; ++k)
            if (!OIIO::ImageBufAlgo::warp(dst[k], src[k], m[k], "lanczos3", 0.0f, false,
                                          OIIO::ImageBuf::WrapBlack, {}, kThreads))
                state.SkipWithError(dst[k].geterror().c_str());
}

// ---- the bar for the row kernel: a plain scalar loop over a weight table ----

// Normalised Lanczos6 weights of the six pixels around a sample, at 256 phases within a
// pixel (and the 257th, the next pixel's first), linearly interpolated between phases.
struct WeightTable {
    static constexpr int kPhases = 256, kTaps = 6, kRadius = 3;
    std::vector<float> w = std::vector<float>((kPhases + 1) * kTaps);

    explicit WeightTable(const Filter& f) {
        for (int i = 0; i <= kPhases; ++i) {
            const double phase = double(i) / kPhases;
            double sum = 0;
            for (int k = 0; k < kTaps; ++k) sum += f.eval(k - kRadius + 1 - phase);
            for (int k = 0; k < kTaps; ++k)
                w[size_t(i * kTaps + k)] = float(f.eval(k - kRadius + 1 - phase) / sum);
        }
    }
    // The first pixel and the weights of a sample at p.
    int at(float p, float* out) const {
        const float q = p - 0.5f, fl = std::floor(q), t = (q - fl) * kPhases;
        const int i = std::min(int(t), kPhases - 1);
        const float a = t - float(i);
        for (int k = 0; k < kTaps; ++k) {
            const float lo = w[size_t(i * kTaps + k)], hi = w[size_t((i + 1) * kTaps + k)];
            out[k] = lo + a * (hi - lo);
        }
        return int(fl) - kRadius + 1;
    }
};

void ScalarTableLoop(benchmark::State& state, int sizeIndex) {
    Engine::setThreads(kThreads);
    Plate& p = plate(sizeIndex);
    PeerFrames& f = peerFrames(sizeIndex);
    const WeightTable table{Filter(Filter::Lanczos6)};
    std::shared_ptr<const Plane> kept[2];
    for (int k = 0; k < 2; ++k) {
        Iop* in = p.op(9, k == 0 ? kLeft : kRight).input_iop(0);
        p.render(9, k == 0 ? kLeft : kRight, touch);
        kept[k] = in->plane();
    }
    const int w = p.size.w, h = p.size.h;
    CpuClock clock{state};
    for (auto _ : state)
        for (int k = 0; k < 2; ++k) {
            const Plane& pl = *kept[k];
            const Box& b = pl.box;
            const Eigen::Matrix3d& H = f.inverse[k];
            Engine::parallelRows(0, h, [&](int y) {
                Row row(0, w);
                float* out[4];
                for (int c = 0; c < 4; ++c) out[c] = row.writable(Channel(c + 1));
                for (int x = 0; x < w; ++x) {
                    const double X = x + 0.5, Y = y + 0.5;
                    const double Z = H(2, 0) * X + H(2, 1) * Y + H(2, 2);
                    const float sx = float((H(0, 0) * X + H(0, 1) * Y + H(0, 2)) / Z);
                    const float sy = float((H(1, 0) * X + H(1, 1) * Y + H(1, 2)) / Z);
                    if (!(sx >= b.x() && sx <= b.r() && sy >= b.y() && sy <= b.t())) {
                        for (int c = 0; c < 4; ++c) out[c][x] = 0;
                        continue;
                    }
                    float wx[6], wy[6];
                    const int fx = table.at(sx, wx), fy = table.at(sy, wy);
                    for (int c = 0; c < 4; ++c) {
                        float sum = 0;
                        for (int j = 0; j < 6; ++j) {
                            const float* src = pl.row(Channel(c + 1), b.clampy(fy + j));
                            float line = 0;
                            for (int i = 0; i < 6; ++i) line += wx[i] * src[b.clampx(fx + i)];
                            sum += wy[j] * line;
                        }
                        out[c][x] = sum;
                    }
                }
                touch(y, row);
            });
        }
}

// ---- the closing note ----

struct Result {
    double msPerView = 0, cpuMsPerView = 0;
};

// Keeps the real time of every run besides printing it.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Result> results;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
                Result& out = results[r.run_name.function_name];
                out.msPerView = r.GetAdjustedRealTime() / 2.0; // two views per iteration, in ms
                auto cpu = r.counters.find("cpu_ms/view");
                if (cpu != r.counters.end()) out.cpuMsPerView = cpu->second.value;
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

const char* const kNode9 = "Node/Lanczos6";
const char* const kNode6 = "Node/Cubic(type6)";
const char* const kScalar = "ScalarTableLoop/Lanczos6";
const char* const kCvLanczos = "OpenCV/INTER_LANCZOS4";
const char* const kCvCubic = "OpenCV/INTER_CUBIC";
const char* const kOiio = "OIIO/lanczos3";

std::string runName(const char* what, int sizeIndex) {
    return std::string(what) + "/" + sizeName(kSizes[sizeIndex]);
}

void registerAll() {
    for (int s = 0; s < 2; ++s) {
        auto reg = [&](const char* what, auto&& f, int iterations) {
            benchmark::RegisterBenchmark(runName(what, s).c_str(), f)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(iterations);
        };
        const int n = s == 0 ? 10 : 30;
        reg(
            kNode9, [s](benchmark::State& st) { NodeWarp(st, s, Filter::Lanczos6); }, n);
        reg(
            kNode6, [s](benchmark::State& st) { NodeWarp(st, s, Filter::Parzen); }, n);
        reg(
            kScalar, [s](benchmark::State& st) { ScalarTableLoop(st, s); }, n);
        reg(
            kCvLanczos, [s](benchmark::State& st) { OpenCvWarp(st, s, cv::INTER_LANCZOS4); }, n);
        reg(
            kCvCubic, [s](benchmark::State& st) { OpenCvWarp(st, s, cv::INTER_CUBIC); }, n);
        reg(
            kOiio, [s](benchmark::State& st) { OiioWarp(st, s); }, s == 0 ? 2 : 4);
    }
}

void closingNote(const Collector& c) {
    std::printf("\nColour warp, %d threads: real time per view, megapixels per second, and the "
                "process CPU time per view (all threads)\n",
                kThreads);
    for (int s = 0; s < 2; ++s) {
        const Size& size = kSizes[s];
        const double mp = size.w * double(size.h) / 1e6;
        auto get = [&](const char* what) {
            auto it = c.results.find(runName(what, s));
            return it == c.results.end() ? Result{} : it->second;
        };
        std::printf("\n%s (%.2f MP per view)\n", sizeName(size).c_str(), mp);
        std::printf("  %-26s %10s %10s %12s\n", "", "ms/view", "MP/s", "CPU ms/view");
        for (const char* what : {kNode9, kNode6, kScalar, kCvLanczos, kCvCubic, kOiio}) {
            const Result r = get(what);
            if (r.msPerView > 0)
                std::printf("  %-26s %10.2f %10.1f %12.2f\n", what, r.msPerView,
                            mp / (r.msPerView / 1e3), r.cpuMsPerView);
        }
        std::printf("  ratios (real time; CPU time)\n");
        auto ratio = [&](const char* a, const char* b, double target) {
            const Result ra = get(a), rb = get(b);
            if (ra.msPerView <= 0 || rb.msPerView <= 0) return;
            const double real = ra.msPerView / rb.msPerView;
            const double cpu = rb.cpuMsPerView > 0 ? ra.cpuMsPerView / rb.cpuMsPerView : 0;
            std::printf("  %-18s / %-22s = %6.3f; %6.3f", a, b, real, cpu);
            if (target > 0)
                std::printf("   target <= %.3f: %s", target, real <= target ? "met" : "NOT MET");
            std::printf("\n");
        };
        // Both threads busy all the time: the process CPU time of a view against its real
        // time on every thread (a serial part, an uneven split of the rows or a tail of rows on
        // one thread lowers it; other programs on a loaded machine lower it too).
        for (const char* what : {kNode9, kNode6}) {
            const Result r = get(what);
            if (r.msPerView <= 0 || r.cpuMsPerView <= 0) continue;
            const double busy = r.cpuMsPerView / (r.msPerView * kThreads);
            std::printf("  %-18s CPU / (real x %d threads) = %6.3f   target >= 0.900: %s\n", what,
                        kThreads, busy, busy >= 0.9 ? "met" : "NOT MET");
        }
        ratio(kNode9, kCvCubic, 0.6);
        ratio(kNode9, kCvLanczos, 1.0 / 3.0);
        ratio(kNode6, kCvCubic, 0.5);
        ratio(kNode9, kScalar, 1.0);
        ratio(kNode9, kOiio, 0);
        ratio(kNode6, kCvLanczos, 0);
        ratio(kNode6, kOiio, 0);
    }
}

// ---- peak resident memory of one 4096 x 2160 frame of both views ----

double peakMB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) * 1024.0 / 1e6; // ru_maxrss is in kilobytes on Linux
}

int peakRss() {
    Engine::setThreads(kThreads);
    const double before = peakMB();
    Plate& p = plate(0);
    const int w = p.size.w, h = p.size.h;
    // The frame as a writer would take it: both views, every channel, kept whole.
    std::vector<std::vector<float>> image(8);
    for (auto& plane : image) plane.resize(size_t(w) * size_t(h));
    for (int k = 0; k < 2; ++k)
        if (!p.render(Filter::Lanczos6, k == 0 ? kLeft : kRight, [&](int y, const Row& row) {
                for (int c = 0; c < 4; ++c)
                    std::memcpy(image[size_t(4 * k + c)].data() + size_t(y) * size_t(w),
                                row[Channel(c + 1)], size_t(w) * 4);
            })) {
            std::fprintf(stderr, "bench_render: the node did not render\n");
            return 1;
        }
    const double input = 2.0 * 4 * 4 * double(w) * double(h) / 1e6; // RGBA float, both views
    const double output = input;
    const double bound = 3 * input + 200;
    const double peak = peakMB();
    std::printf("Peak resident memory, one %dx%d frame of both views (Lanczos6, %d threads)\n", w,
                h, kThreads);
    std::printf("  input channels read (RGBA float, both views) %8.1f MB\n", input);
    std::printf("  output image kept by the bench               %8.1f MB\n", output);
    std::printf("  peak before building the graph               %8.1f MB\n", before);
    std::printf("  peak after rendering                         %8.1f MB\n", peak);
    std::printf("  bound 3 x input + 200 MB                     %8.1f MB  (%s, %.2f x input)\n",
                bound, peak <= bound ? "met" : "NOT MET", peak / input);
    return peak <= bound ? 0 : 2;
}

void dropAll() {
    for (auto& f : g_frames) f.reset();
    for (auto& p : g_plates) p.reset();
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--peak-rss") == 0) {
            const int status = peakRss();
            dropAll();
            return status;
        }
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    closingNote(collector);
    std::fflush(stdout);
    dropAll();
    return 0;
}
