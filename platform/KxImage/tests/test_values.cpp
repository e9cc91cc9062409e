// Channel numbers and masks, the named-channel registry, boxes and hashes.
#include "Kx/Image/Box.h"
#include "Kx/Image/Channel.h"
#include "Kx/Image/Hash.h"
#include "Kx/Image/OutputContext.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Kx::Image;

TEST(Channels, SetArithmeticAndIteration) {
    ChannelSet s = Mask_RGBA + Mask_Disparity - Mask_Alpha;
    EXPECT_EQ(s.size(), 7);
    EXPECT_TRUE(s.contains(Mask_RGB));
    EXPECT_FALSE(s.contains(Chan_Alpha));
    EXPECT_TRUE(s.intersects(ChannelSet{Chan_DisparityL_X}));
    std::vector<Channel> seen(s.begin(), s.end());
    EXPECT_EQ(seen, (std::vector<Channel>{1, 2, 3, 10, 11, 12, 13}));
    ChannelSet high{200, 3};
    EXPECT_EQ(high.first(), 3);
    EXPECT_EQ(high.next(3), 200);
    EXPECT_EQ(high.mask(), 4u);
    // The names scripts and files use.
    EXPECT_EQ(getName(Chan_DisparityL_Y), "disparityL.y");
    EXPECT_EQ(findChannel("forward.u"), Chan_Forward_U);
}

TEST(Channels, NamedChannelsNumberedFromTwentyOnceEach) {
    std::vector<Channel> got(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { got[size_t(t)] = getChannel("stitch_map.u"); });
    for (auto& th : threads) th.join();
    for (Channel z : got) EXPECT_EQ(z, got[0]);
    EXPECT_GE(got[0], Chan_FirstNamed);
    Channel v = getChannel("stitch_map.v");
    EXPECT_EQ(v, got[0] + 1);
    EXPECT_EQ(getLayerName(v), "stitch_map");
    EXPECT_EQ(getChannelName(v), "v");
    EXPECT_EQ(getName(getChannel("loose")), "other.loose");
}

TEST(Boxes, MergeIntersectAndClamp) {
    Box a(0, 0, 10, 10);
    a.merge(Box(5, -2, 12, 3));
    EXPECT_EQ(a, Box(0, -2, 12, 10));
    a.intersect(Box(20, 20, 30, 30));
    EXPECT_TRUE(a.empty());
    Box b;
    b.merge(Box(1, 2, 3, 4));
    EXPECT_EQ(b, Box(1, 2, 3, 4));
    EXPECT_EQ(b.clampx(-5), 1);
    EXPECT_EQ(b.clampx(9), 2);
    EXPECT_TRUE(FormatPair().isNone());
}

TEST(Hashes, OrderAndContentMatter) {
    Hash a, b;
    a.append(1);
    a.append(2.0);
    b.append(2.0);
    b.append(1);
    EXPECT_NE(a, b);
    Hash c, d;
    c.append(std::string("ab"));
    c.append(std::string("c"));
    d.append(std::string("a"));
    d.append(std::string("bc"));
    EXPECT_NE(c, d); // lengths are hashed too
}

TEST(Views, NamedViewsNumberedFromOne) {
    OutputContext::setViews({"main", "left", "right"});
    EXPECT_EQ(OutputContext::viewcount(), 4);
    EXPECT_EQ(OutputContext::lookup_view("right"), 3);
    EXPECT_EQ(OutputContext::lookup_view("centre"), 0);
    EXPECT_STREQ(OutputContext::viewname(2), "left");
    EXPECT_STREQ(OutputContext::viewname(0), "");
    OutputContext::setViews({});
    EXPECT_STREQ(OutputContext::viewname(1), "main");
}
