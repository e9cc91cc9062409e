// End to end on the synthetic stereo plate, whose right camera carries a known
// misalignment: Match at a key, the solved alignment of the key, and the rendered views.
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Executable.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/Node.h"
#include "nodes/SyntheticStereo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

using namespace Kx::Image;
using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;

namespace {

// The views exist before the nodes, whose view knobs take their defaults from them.
struct StereoViews {
    StereoViews() { OutputContext::setViews({"left", "right"}); }
};

struct Plate : StereoViews {
    Node source{"SyntheticStereo", "Plate"};
    Node aligner{"Q_VerticalAligner2_1", "VerticalAligner1"};

    Plate(const std::vector<std::pair<const char*, double>>& misalignment, int preset) {
        source.knob("width")->setValue(960);
        source.knob("height")->setValue(540);
        for (auto [name, value] : misalignment) source.knob(name)->setValue(value);
        aligner.setInput(0, &source);
        aligner.setPanelOpen(true);
        aligner.knob("layoutType")->setValue(VerticalAlignerKnobManager::StereoLayout);
        aligner.knob("alignmentSpace")->setValue(VerticalAlignerKnobManager::Rectilinear);
        aligner.knob("alignmentType")->setValue(preset);
        aligner.setContext(OutputContext(1, 1));
    }
    VerticalAlignerPlugin& node() {
        return *static_cast<VerticalAlignerPlugin*>(aligner.firstOp());
    }
    SyntheticStereo& plate() {
        auto* op = static_cast<SyntheticStereo*>(source.op(OutputContext(1, 1)));
        op->validate(true);
        return *op;
    }

    bool match() {
        aligner.knob("executeType")->setValue(0);
        const ExecuteResult r = execute(*aligner.firstOp(), {1});
        if (!r.ok) std::printf("Match failed: %s\n", r.error.c_str());
        return r.ok;
    }

    // RMS of the vertical disparity between the two corrected views over a grid of true
    // correspondences of the key.
    double residual(bool corrected) {
        Marrow::Vireon::VireonAlignmentSampler l, r;
        if (!node().dataProvider().updateAlignment(l, r, 1)) return -1;
        SyntheticStereo& truth = plate();
        double sum = 0;
        int n = 0;
        for (int y = 20; y < 540; y += 25)
            for (int x = 20; x < 960; x += 25) {
                const Eigen::Vector2d p(x + 0.5, y + 0.5);
                Eigen::Vector2d q;
                bool visible = false;
                if (!truth.correspondence(0, 1, p, 1, q, visible) || !visible) continue;
                const double d = corrected ? l.toOutput(p).y() - r.toOutput(q).y() : p.y() - q.y();
                sum += d * d;
                ++n;
            }
        return std::sqrt(sum / n);
    }
};

} // namespace

// Every misalignment against every preset: the one meant for it must bring the vertical
// disparity of true correspondences under its bound; the others are printed for comparison.
// A tilt keeps about 0.15 px: the perspective warp keeps each point's column, so the
// projective compression of the rows that a tilt brings is only partly undone.
TEST(SyntheticPlate, MatchThenSolveRemovesTheVerticalDisparity) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, double>> misalignment;
        int preset;
        double bound;
    };
    using K = VerticalAlignerKnobManager;
    const Case cases[] = {
        {"vertical shift 8 px", {{"verticalShift", 8}}, K::Transform, 0.1},
        {"roll 1 degree", {{"roll", 1}}, K::Transform, 0.1},
        {"focal ratio 1.02", {{"focalRatio", 1.02}}, K::Transform, 0.1},
        {"tilt 0.5 degree", {{"tilt", 0.5}}, K::Full, 0.2},
        {"all four",
         {{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"tilt", 0.5}},
         K::Full,
         0.2},
    };
    const int presets[] = {K::Transform, K::MatchCamera, K::KeystoneOnly, K::Full};
    const int widths[] = {10, 12, 13, 8};
    std::printf("%-22s %8s %10s %12s %13s %8s\n", "misalignment (RMS px)", "before", "Transform",
                "Match Camera", "Keystone Only", "Full");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plate plate(c.misalignment, c.preset);
        ASSERT_TRUE(plate.match());
        EXPECT_GT(plate.node().knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(),
                  300);
        const double before = plate.residual(false);
        EXPECT_GT(before, 1.0);
        std::printf("%-22s %8.3f", c.name, before);
        for (int i = 0; i < 4; ++i) {
            plate.aligner.knob("alignmentType")->setValue(presets[i]);
            const double after = plate.residual(true);
            std::printf(" %*.4f", widths[i], after);
            if (presets[i] == c.preset) {
                EXPECT_LT(after, c.bound);
            }
        }
        std::printf("\n");
    }
}

namespace {

// The rows of a view of the aligner's output, for the channels asked.
std::vector<std::vector<float>> renderView(Node& aligner, int view, const ChannelSet& channels,
                                           Box& box) {
    Iop* op = aligner.iop(OutputContext(1, view));
    op->validate(true);
    box = Box(0, 0, op->format().width(), op->format().height());
    std::vector<std::vector<float>> planes(kMaxChannels + 1);
    for (Channel z : channels) planes[size_t(z)].resize(size_t(box.w() * box.h()));
    EXPECT_TRUE(Engine::renderRows(*op, box, channels, [&](int y, const Row& row) {
        for (Channel z : channels)
            std::copy(row[z] + box.x(), row[z] + box.r(), planes[size_t(z)].begin() + y * box.w());
    }));
    return planes;
}

} // namespace

TEST(SyntheticPlate, AlignedDisparityHasNoVerticalPart) {
    Plate plate({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}},
                VerticalAlignerKnobManager::Transform);
    ASSERT_TRUE(plate.match());
    const Channel hidden = SyntheticStereo::occlusionLeftChannel();
    Box box;
    auto planes =
        renderView(plate.aligner, 1, ChannelSet{Chan_DisparityL_X, Chan_DisparityL_Y}, box);
    Iop* source = plate.source.iop(OutputContext(1, 1));
    source->validate(true);
    source->request(box, ChannelSet{hidden, Chan_DisparityL_Y});
    double sum = 0, before = 0;
    int n = 0;
    Row row(box.x(), box.r());
    // Away from the frame edges, where the warp brings in black and no match.
    for (int y = 40; y < box.t() - 40; ++y) {
        source->get(y, box.x(), box.r(), ChannelSet{hidden, Chan_DisparityL_Y}, row);
        for (int x = 40; x < box.r() - 40; ++x) {
            if (row[hidden][x] != 0) continue;
            const double dy = planes[Chan_DisparityL_Y][size_t(y * box.w() + x)];
            sum += dy * dy;
            before += double(row[Chan_DisparityL_Y][x]) * row[Chan_DisparityL_Y][x];
            ++n;
        }
    }
    const double rms = std::sqrt(sum / n), rmsBefore = std::sqrt(before / n);
    std::printf("aligned disparity: vertical RMS before %.3f px, after %.4f px\n", rmsBefore, rms);
    EXPECT_GT(rmsBefore, 3.0);
    EXPECT_LT(rms, 0.1);
}

TEST(SyntheticPlate, RowsAreTheSameOnOneThreadAndOnAll) {
    Plate plate({{"verticalShift", 8}, {"roll", 1}}, VerticalAlignerKnobManager::Full);
    ASSERT_TRUE(plate.match());
    Box box;
    Engine::setThreads(1);
    Engine::clearCache();
    const auto one = renderView(plate.aligner, 2, Mask_RGBA, box);
    plate.aligner.invalidate();
    plate.source.invalidate();
    Engine::setThreads(0);
    Engine::clearCache();
    const auto all = renderView(plate.aligner, 2, Mask_RGBA, box);
    for (Channel z : Mask_RGBA) EXPECT_EQ(one[size_t(z)], all[size_t(z)]) << getName(z);
}
