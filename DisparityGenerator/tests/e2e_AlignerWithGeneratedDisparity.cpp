// The aligner's local correction and its fix point fed by the generator instead of the
// plate's exact disparity, judged against the plate's truth.
#include "GeneratorStage.h"

using namespace GeneratorTest;

namespace {

// The aligned left and right outputs' STMaps and the left truth, with the pair's vertical RMS
// over the left output pixels that see their match on a surface of smooth disparity.
struct AlignedOutput {
    Image left, right, truth;
    AlignedOutput(GeneratedPlate& p)
        : left(p.render(Plate::kLeft, stmapChannels())),
          right(p.render(Plate::kRight, stmapChannels())),
          truth(p.renderPlate(Plate::kLeft, ChannelSet{Chan_DisparityL_X, Chan_DisparityL_Y,
                                                       SyntheticStereo::occlusionLeftChannel()})) {}
    AlignedPair pair(const GeneratedPlate& p) const {
        return {left, right, truth, p.width, p.height};
    }

    double verticalRms(const GeneratedPlate& p, int& pixels) const {
        const AlignedPair a = pair(p);
        double sum = 0;
        pixels = 0;
        for (int y = 2; y < p.height; y += 3)
            for (int x = 2; x < p.width; x += 3) {
                const Eigen::Vector2d at(x + 0.5, y + 0.5);
                Eigen::Vector2d d, q;
                if (!a.matchOf(at, d, q)) continue;
                sum += (q.y() - at.y()) * (q.y() - at.y());
                ++pixels;
            }
        return std::sqrt(sum / pixels);
    }
};

} // namespace

// The right camera mounted higher than the left: a vertical disparity that grows with
// nearness, which no transform per view removes and the local shift does.
TEST(AlignerWithGeneratedDisparity, LocalCorrectionRemovesDepthDependentVerticalDisparity) {
    GeneratedPlate p({{"cameraOffsetY", 0.03}}, K::Full, 1024, 768);
    ASSERT_TRUE(p.match());
    int n = 0;
    const double global = AlignedOutput(p).verticalRms(p, n);
    p.set("localAlignment", 1);
    const double local = AlignedOutput(p).verticalRms(p, n);
    std::printf("vertical RMS of the aligned pair: global alone %.4f px, with the local "
                "correction on generated disparity %.4f px (%d pixels)\n",
                global, local, n);
    EXPECT_GT(n, p.width * p.height / 9 / 2);
    EXPECT_GT(global, 0.3);
    EXPECT_LT(local, 0.1);
}

// "Preserve subject parallax" with the fix point measured on generated disparity: at the fix
// point the aligned pair keeps the input's horizontal disparity.
TEST(AlignerWithGeneratedDisparity, FixPointKeepsTheInputParallax) {
    GeneratedPlate p(kDemo, K::Full, 1024, 768);
    ASSERT_TRUE(p.match());
    p.set("fixParallax", 1);
    for (auto [fx, fy] : {std::pair{300.5, 400.5}, std::pair{700.5, 250.5}}) {
        SCOPED_TRACE(testing::Message() << "fix point " << fx << ", " << fy);
        p.setFixPoint(fx, fy, Plate::kLeft);
        const AlignedOutput out(p);
        Eigen::Vector2d input, q;
        ASSERT_TRUE(out.pair(p).matchOf({fx, fy}, input, q)) << "choose a fix point on a surface";
        std::printf("fix point (%.1f, %.1f): offset %.4f px, input disparity %.4f px, output "
                    "disparity %.4f px\n",
                    fx, fy, p.get("offset"), input.x(), q.x() - fx);
        EXPECT_NEAR(q.x() - fx, input.x(), 0.1);
    }
}
