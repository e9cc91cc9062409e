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
    VerticalAlignerPlugin& node() { return *static_cast<VerticalAlignerPlugin*>(aligner.firstOp()); }
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

TEST(SyntheticPlate, MatchThenSolveRemovesTheVerticalDisparity) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, double>> misalignment;
        int preset;
        double bound;
    };
    const Case cases[] = {
        {"vertical shift 8 px", {{"verticalShift", 8}}, VerticalAlignerKnobManager::Transform, 0.1},
        {"roll 1 degree", {{"roll", 1}}, VerticalAlignerKnobManager::Transform, 0.1},
        {"focal ratio 1.02", {{"focalRatio", 1.02}}, VerticalAlignerKnobManager::Transform, 0.1},
        {"tilt 0.5 degree", {{"tilt", 0.5}}, VerticalAlignerKnobManager::Full, 0.3},
        {"all four", {{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}, {"tilt", 0.5}},
         VerticalAlignerKnobManager::Full, 0.3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plate plate(c.misalignment, c.preset);
        ASSERT_TRUE(plate.match());
        EXPECT_GT(plate.node().knobValues().controlPoints()->tracksForFrame(1).getNumberTracks(), 300);
        const double before = plate.residual(false), after = plate.residual(true);
        std::printf("%-22s before %7.3f px  after %.4f px\n", c.name, before, after);
        EXPECT_GT(before, 1.0);
        EXPECT_LT(after, c.bound);
    }
}
