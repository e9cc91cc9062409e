// The generated disparity against the synthetic plate's exact truth.
#include "GeneratorStage.h"

using namespace GeneratorTest;

// On the non-occluded pixels of a 1024 x 768 plate with the demo's misalignment (rolled,
// tilted, zoomed and shifted right camera: vertical disparity everywhere), for both views.
TEST(GeneratorAccuracy, MatchesTheTruthOfTheDemoPlate) {
    GeneratedPlate p(kDemo, K::Full, 1024, 768);
    for (int v : {Plate::kLeft, Plate::kRight}) {
        SCOPED_TRACE(v == Plate::kLeft ? "left view" : "right view");
        const ViewChannels c = viewChannels(v);
        const ChannelSet channels{c.dx, c.dy, c.hidden};
        const Image truth = p.renderPlate(v, channels);
        const Image generated = p.renderGenerated(v, channels);
        const Accuracy a = compare(generated, truth, c);
        std::printf("%s view: median end-point error %.4f px, vertical RMS %.4f px, occlusion "
                    "agreement %.2f %% (%d pixels)\n",
                    v == Plate::kLeft ? "left" : "right", a.medianEndPoint, a.verticalRms,
                    100 * a.occlusionAgreement, a.pixels);
        EXPECT_GT(a.pixels, p.width * p.height / 2);
        EXPECT_LE(a.medianEndPoint, 0.25);
        EXPECT_LE(a.verticalRms, 0.1);
        EXPECT_GE(a.occlusionAgreement, 0.9);
    }
}
