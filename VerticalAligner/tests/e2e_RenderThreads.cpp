// Every output of the node, with every correction on, is the same rendered on one thread and
// on all of them: the pre-blurred disparity, the input and the engine's state are read from
// many rows at once.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

TEST(RenderThreads, EveryOutputIsTheSameOnOneThreadAndOnAll) {
    Plate p({{"cameraOffsetY", 0.03}, {"verticalShift", 4}, {"roll", 0.5}}, K::Full);
    ASSERT_TRUE(p.match());
    for (auto [name, value] : Misalignment{{"localAlignment", 1},
                                           {"disparityBlurSize", 8},
                                           {"scaleToFit", 1},
                                           {"scale", 1.04},
                                           {"fixParallax", 1},
                                           {"offset", 2}})
        p.set(name, value);
    const ChannelSet channels = Mask_RGBA + Mask_Motion + Mask_Disparity + stmapChannels();
    auto renderOn = [&](unsigned threads) {
        p.source.invalidate();
        Engine::setThreads(threads);
        Engine::clearCache();
        return p.render(Plate::kRight, channels);
    };
    const Image one = renderOn(1);
    const Image all = renderOn(0);
    EXPECT_GT(Engine::threads(), 1u);
    for (Channel z : channels) EXPECT_EQ(one.planes[z], all.planes[z]) << getName(z);
}
