#include "mwDisparityGeneratorPlugin.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Knobs.h"
#include "Kx/Image/Node.h"

#include <atomic>
#include <exception>
#include <future>
#include <iostream>
#include <list>
#include <mutex>
#include <string>

namespace Marrow::Research {

using namespace Kx::Image;
namespace N = DisparityKnobNames;

const char* const DisparityGeneratorPlugin::kHelp =
    "Q_DisparityGenerator measures the dense disparity between the left and right views: for "
    "each pixel of one view, the offset to the same point in the other view, horizontal and "
    "vertical. It writes disparityL (at left pixels, towards the right view), disparityR (at "
    "right pixels, towards the left view) and the occlusion masks, 1 where a pixel's match did "
    "not survive the left-right consistency check.<p>Put it upstream of Q_VerticalAligner for "
    "local alignment and 'Preserve subject parallax'.";

const char* const DisparityGeneratorPlugin::kQualityItems[] = {"Draft", "Normal", "Fine", nullptr};

namespace {

namespace Tip {
const char* const leftView = "The view whose disparity to the right view goes in disparityL.";
const char* const rightView = "The view whose disparity to the left view goes in disparityR.";
const char* const quality =
    "Draft measures at a quarter of the resolution and interpolates, Normal at half, Fine at "
    "full resolution (the finest detail, several times slower than Normal).";
const char* const maxDisparity =
    "The longest disparity in pixels that the shot can have. Longer vectors are false matches "
    "and are marked occluded.";
const char* const tolerance =
    "How far in pixels the round trip from one view to the other and back may miss its start "
    "for the match to be trusted. Pixels beyond it are marked occluded.";
} // namespace Tip

// Views smaller than this have too few pixels for the flow's patches and pyramid.
constexpr int kMinimumSize = 32;

Op* build(Node* node) {
    return new DisparityGeneratorPlugin(node);
}

const Op::Description description(DisparityGeneratorPlugin::kClassName, build,
                                  __DATE__ " for KxImage 1.0");

// The view the node reads by default for a name, or the first view.
int defaultView(const char* name) {
    const int v = OutputContext::lookup_view(name);
    return v ? v : 1;
}

std::string viewName(int v) {
    const auto& views = OutputContext::views();
    return v >= 1 && size_t(v) <= views.size() ? views[size_t(v) - 1] : std::to_string(v);
}

// The pair's results, shared by the ops of all views of a frame, keyed by the hash of the two
// views' images and the settings. A result being measured is a future that the others wait on.
class SharedResults {
public:
    using Result = std::shared_ptr<const StereoDisparity>;
    static constexpr size_t kKept = 2;

    template <class Measure> Result get(uint64_t key, Measure measure) {
        std::shared_future<Result> pending;
        std::promise<Result> mine;
        {
            std::lock_guard lock(_mutex);
            for (auto it = _entries.begin(); it != _entries.end(); ++it)
                if (it->first == key) {
                    _entries.splice(_entries.begin(), _entries, it);
                    pending = it->second;
                    break;
                }
            if (!pending.valid()) {
                _entries.emplace_front(key, mine.get_future().share());
                while (_entries.size() > kKept) _entries.pop_back();
            }
        }
        if (pending.valid()) return pending.get();
        Result result;
        try {
            result = measure();
        } catch (...) {
            mine.set_exception(std::current_exception());
            forget(key);
            throw;
        }
        mine.set_value(result);
        if (!result) forget(key); // interrupted: the next render measures again
        return result;
    }

private:
    void forget(uint64_t key) {
        std::lock_guard lock(_mutex);
        _entries.remove_if([&](const auto& e) { return e.first == key; });
    }

    std::mutex _mutex;
    std::list<std::pair<uint64_t, std::shared_future<Result>>> _entries;
};

SharedResults& sharedResults() {
    static SharedResults results;
    return results;
}

} // namespace

DisparityGeneratorPlugin::DisparityGeneratorPlugin(Node* node)
    : IopPlugin(node), _leftView(defaultView("left")), _rightView(defaultView("right")) {
    setWholeBoxProcessing(true);
    setAddedChannels(outputChannels());
    _inputLabels = {"Source"};
    _minimumInputs = 1;
}

Channel DisparityGeneratorPlugin::occlusionLeftChannel() {
    static const Channel z = getChannel("occlusion.left");
    return z;
}

Channel DisparityGeneratorPlugin::occlusionRightChannel() {
    static const Channel z = getChannel("occlusion.right");
    return z;
}

ChannelSet DisparityGeneratorPlugin::outputChannels() {
    ChannelSet s = Mask_Disparity;
    s += occlusionLeftChannel();
    s += occlusionRightChannel();
    return s;
}

DisparitySettings DisparityGeneratorPlugin::settings() const {
    DisparitySettings s;
    s.quality = DisparityQuality(std::clamp(_quality, 0, 2));
    s.maxDisparity = _maxDisparity;
    s.tolerance = _tolerance;
    return s;
}

bool DisparityGeneratorPlugin::test_input(int n, Op* op) const {
    return n == 0 && op && op->iop() != nullptr;
}

const OutputContext& DisparityGeneratorPlugin::inputContext(int n, int offset,
                                                            OutputContext& scratch) const {
    if (n != 0 || offset <= 0 || offset > 2) return outputContext();
    scratch = outputContext();
    scratch.setView(offset == 1 ? _leftView : _rightView);
    return scratch;
}

void DisparityGeneratorPlugin::append(Hash& h) {
    IopPlugin::append(h);
    h.append(_leftView);
    h.append(_rightView);
}

void DisparityGeneratorPlugin::pluginKnobs(Knob_Closure& f) {
    viewKnob(f, &_leftView, N::kLeftView, "Left View", Tip::leftView);
    viewKnob(f, &_rightView, N::kRightView, "Right View", Tip::rightView);
    enumKnob(f, &_quality, N::kQuality, kQualityItems, "Quality", int(DisparityQuality::Normal),
             Tip::quality);
    floatKnob(f, &_maxDisparity, N::kMaxDisparity, "Max Disparity", 200, Range{1, 1000},
              Tip::maxDisparity);
    floatKnob(f, &_tolerance, N::kTolerance, "Consistency Tolerance", 1, Range{0.1, 5},
              Tip::tolerance);
}

void DisparityGeneratorPlugin::outputBox(Box& box) {
    box = Box(0, 0, format().width(), format().height());
}

void DisparityGeneratorPlugin::pluginValidate(bool for_real) {
    IopPlugin::pluginValidate(for_real);
    if (hasError()) return;
    if (_leftView == _rightView) {
        Op::error("%s: Left View and Right View both name the view \"%s\". Choose the two views "
                  "of the stereo pair.",
                  node_name().c_str(), viewName(_leftView).c_str());
        return;
    }
    if (!(_maxDisparity > 0) || !(_tolerance > 0)) {
        Op::error("%s: %s must be more than 0.", node_name().c_str(),
                  _maxDisparity > 0 ? "Consistency Tolerance" : "Max Disparity");
        return;
    }
    const Iop* left = input_iop(1);
    const Iop* right = input_iop(2);
    if (!left || !right) return;
    const Format &fl = left->format(), &fr = right->format();
    if (fl.width() != fr.width() || fl.height() != fr.height()) {
        Op::error("%s: the left view \"%s\" is %d x %d and the right view \"%s\" is %d x %d. The "
                  "views must be the same size: reformat one of them upstream.",
                  node_name().c_str(), viewName(_leftView).c_str(), fl.width(), fl.height(),
                  viewName(_rightView).c_str(), fr.width(), fr.height());
        return;
    }
    if (fl.width() < kMinimumSize || fl.height() < kMinimumSize) {
        Op::error("%s: the views are %d x %d; the disparity needs at least %d x %d pixels.",
                  node_name().c_str(), fl.width(), fl.height(), kMinimumSize, kMinimumSize);
        return;
    }
    if (!left->channels().intersects(Mask_RGB) || !right->channels().intersects(Mask_RGB)) {
        Op::error("%s: the input has no red, green or blue channel to match between the views.",
                  node_name().c_str());
        return;
    }
}

void DisparityGeneratorPlugin::pluginRequest(int x, int y, int r, int t, ChannelSet channels,
                                             int count) {
    IopPlugin::pluginRequest(x, y, r, t, channels, count);
    if (!channels.intersects(outputChannels())) return;
    for (int n : {1, 2})
        if (Iop* in = input_iop(n))
            in->request(Box(0, 0, format().width(), format().height()), Mask_RGB, count);
}

bool DisparityGeneratorPlugin::readView(int n, DisparityPlane (&colour)[3]) {
    Iop* in = input_iop(n);
    if (!in) return false;
    const int w = format().width(), h = format().height();
    for (DisparityPlane& p : colour) p = DisparityPlane(w, h);
    // A stream without green or blue reads them as zero; with red alone the grey is red's.
    const ChannelSet present = in->channels() & Mask_RGB;
    std::atomic<bool> stopped{false};
    Engine::parallelRows(0, h, [&](int y) {
        if (stopped || interrupted()) {
            stopped = true;
            return;
        }
        Row row(0, w);
        row.get(*in, y, 0, w, present);
        const float* red = row[Chan_Red];
        for (int k = 0; k < 3; ++k) {
            const Channel z = present.contains(Chan_Red + k) ? Chan_Red + k : Chan_Red;
            const float* src = present.contains(z) ? row[z] : red;
            std::copy(src, src + w, colour[k].row(y));
        }
    });
    return !stopped;
}

std::shared_ptr<const StereoDisparity> DisparityGeneratorPlugin::measure() {
    const Iop* left = input_iop(1);
    const Iop* right = input_iop(2);
    Hash key;
    key.append(left ? left->hash().value() : uint64_t(0));
    key.append(right ? right->hash().value() : uint64_t(0));
    const DisparitySettings s = settings();
    key.append(int32_t(s.quality));
    key.append(s.maxDisparity);
    key.append(s.tolerance);
    return sharedResults().get(key.value(), [&]() -> std::shared_ptr<const StereoDisparity> {
        DisparityPlane l[3], r[3];
        if (!readView(1, l) || !readView(2, r)) return nullptr;
        auto result = std::make_shared<StereoDisparity>(computeDisparity(
            {&l[0], &l[1], &l[2]}, {&r[0], &r[1], &r[2]}, s,
            [](const std::function<void(int)>& work) { Engine::parallelRows(0, 2, work); }));
        return interrupted() ? nullptr : result;
    });
}

void DisparityGeneratorPlugin::process(Support::KDK::FrameJob& job) {
    std::shared_ptr<const StereoDisparity> d;
    try {
        d = measure();
    } catch (const std::exception& e) {
        Op::error("%s: the disparity could not be measured: %s", node_name().c_str(), e.what());
        return;
    }
    if (!d) return;
    if (!d->textured) {
        // On the node for a viewer, and on standard error for the command line.
        message_f('!',
                  "%s: the views \"%s\" and \"%s\" have no texture to match at frame %g; the "
                  "disparity is 0 and every pixel is marked occluded.",
                  node_name().c_str(), viewName(_leftView).c_str(), viewName(_rightView).c_str(),
                  job.frame);
        std::cerr << lastMessage().substr(2) << "\n";
    }
    const std::pair<Channel, const DisparityPlane*> planes[] = {
        {Chan_DisparityL_X, &d->left.dx},
        {Chan_DisparityL_Y, &d->left.dy},
        {occlusionLeftChannel(), &d->left.unmatched},
        {Chan_DisparityR_X, &d->right.dx},
        {Chan_DisparityR_Y, &d->right.dy},
        {occlusionRightChannel(), &d->right.unmatched}};
    for (auto [z, plane] : planes) {
        Support::KDK::FrameBuffer* out = job.plane(z);
        if (!out) continue;
        const Box& a = out->box;
        for (int y = std::max(a.y(), 0); y < std::min(a.t(), plane->height); ++y) {
            const int x0 = std::max(a.x(), 0), x1 = std::min(a.r(), plane->width);
            if (x1 > x0)
                std::copy(plane->row(y) + x0, plane->row(y) + x1, out->row(y) + x0 - a.x());
        }
    }
}

} // namespace Marrow::Research
