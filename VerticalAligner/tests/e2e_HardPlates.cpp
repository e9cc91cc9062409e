// End to end on hard plates of the synthetic source (lens distortion, a chequerboard floor,
// little texture, views of unequal exposure, gamma, colour and grain): Match, then the node's solve
// on the stereo layout in Rectilinear space, measured on the plate's true correspondences.
#include "e2e_RenderPlate.h"

using namespace RenderTest;
using Kestrel::Nodes::SyntheticStereoParameters;
using Marrow::Vireon::VireonAlignmentSampler;

namespace {

struct HardCase {
    const char* name;
    void (*apply)(SyntheticStereoParameters&);
    int width, height;
};

struct Residuals {
    double before = 0, after = 0, floor = 0;
    int matches = 0;
};

// Match and solve one hard plate with the given misalignment and preset. The floor is what the
// same solve leaves when it is given the plate's true correspondences instead of Match's.
Residuals alignHardPlate(const HardCase& c, const Misalignment& misalignment, int preset) {
    Residuals out;
    Plate plate(misalignment, preset, c.width, c.height);
    SyntheticStereoParameters hard;
    c.apply(hard);
    Kestrel::Nodes::setHardPlateKnobs(plate.source, hard);
    plate.source.knob("samples")->setValue(1);
    EXPECT_TRUE(plate.match());
    out.matches = plate.node().knobValues().controlPoints()->tracksForFrame(1).getNumberTracks();
    VireonAlignmentSampler l, r;
    EXPECT_TRUE(plate.node().dataProvider().updateAlignment(l, r, 1));
    const SyntheticStereo& truth = plate.plate(Plate::kLeft, Mask_RGBA);
    out.before = verticalRms(truth, 1);
    out.after = verticalRms(truth, 1, &l, &r);
    storeTrueMatches(plate, 1);
    EXPECT_TRUE(plate.node().dataProvider().updateAlignment(l, r, 1));
    out.floor = verticalRms(truth, 1, &l, &r);
    std::printf("%-22s %5d matches, vertical RMS before %.3f px, after %.4f px, floor %.4f px\n",
                c.name, out.matches, out.before, out.after, out.floor);
    return out;
}

// The misalignment of the global-alignment tests, its vertical shift scaled with the frame's
// width: the roll, focal ratio and shift that the Transform preset models exactly, and all
// four with the tilt.
Misalignment threeOfFour(int width) {
    return {{"verticalShift", 8.0 * width / 960}, {"roll", 1}, {"focalRatio", 1.02}};
}
Misalignment allFour(int width) {
    Misalignment m = threeOfFour(width);
    m.emplace_back("tilt", 0.5);
    return m;
}

} // namespace

// Each hard condition under the full misalignment and the Full preset: the output is better
// than the input, and Match's matches take the solve to within 0.1 px RMS of what the true
// correspondences give it. With lens distortion part of the vertical disparity depends on
// depth and no global correction removes it; with a tilt the Full model keeps about 0.15 px
// (the perspective warp keeps each point's column), so the floor, not zero, is the mark.
TEST(HardPlates, MatchThenSolveReachesTheModelsFloor) {
    const HardCase cases[] = {
        {"barrel 640x480", Kestrel::Nodes::barrelDistortion, 640, 480},
        {"chequerboard 640x480", Kestrel::Nodes::chequerboardFloor, 640, 480},
        {"low texture 640x480", Kestrel::Nodes::lowTexture, 640, 480},
        {"uneven views 640x480", Kestrel::Nodes::unevenViews, 640, 480},
        {"everything 640x480", Kestrel::Nodes::everythingHard, 640, 480},
        {"barrel 2048x1080", Kestrel::Nodes::barrelDistortion, 2048, 1080},
        {"chequerboard 2048x1080", Kestrel::Nodes::chequerboardFloor, 2048, 1080},
        {"low texture 2048x1080", Kestrel::Nodes::lowTexture, 2048, 1080},
        {"uneven views 2048x1080", Kestrel::Nodes::unevenViews, 2048, 1080},
        {"everything 2048x1080", Kestrel::Nodes::everythingHard, 2048, 1080},
    };
    for (const HardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Residuals r = alignHardPlate(c, allFour(c.width), K::Full);
        EXPECT_GE(r.matches, 150);
        EXPECT_LT(r.after, r.before);
        EXPECT_LE(r.after, r.floor + 0.1);
    }
}

// Without lens distortion a misalignment that the Transform preset models exactly (roll, focal
// ratio and vertical shift) is removed to a tenth of a pixel on every hard texture and look.
TEST(HardPlates, WithoutLensDistortionTheResidualIsATenthOfAPixel) {
    const HardCase cases[] = {
        {"chequerboard 640x480", Kestrel::Nodes::chequerboardFloor, 640, 480},
        {"low texture 640x480", Kestrel::Nodes::lowTexture, 640, 480},
        {"uneven views 640x480", Kestrel::Nodes::unevenViews, 640, 480},
        {"chequerboard 2048x1080", Kestrel::Nodes::chequerboardFloor, 2048, 1080},
        {"low texture 2048x1080", Kestrel::Nodes::lowTexture, 2048, 1080},
        {"uneven views 2048x1080", Kestrel::Nodes::unevenViews, 2048, 1080},
    };
    for (const HardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Residuals r = alignHardPlate(c, threeOfFour(c.width), K::Transform);
        EXPECT_LE(r.after, 0.1);
    }
}
