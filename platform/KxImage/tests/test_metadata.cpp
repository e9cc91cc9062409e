// Metadata bundles: typed reads, the integer-as-double rule, and merging.
#include "Kx/Image/MetaData.h"

#include <gtest/gtest.h>

namespace {

using Kx::Image::MetaData::Bundle;

TEST(MetaData, TypedReadsAnswerOnlyForTheirKindAndMergesAddAndReplace) {
    Bundle b;
    b.setData("rig/cameraCount", 2);
    b.setData("rig/convergence", 3.5);
    b.setData("exr/owner", std::string("stereo"));
    b.setData("rig/transform", std::vector<double>{1, 0, 0, 1});

    int i = -1;
    double d = -1;
    std::string s = "unchanged";
    std::vector<double> v;
    EXPECT_TRUE(b.getInt("rig/cameraCount", i));
    EXPECT_EQ(i, 2);
    // An integer reads as a double; a double does not read as an integer.
    EXPECT_TRUE(b.getDouble("rig/cameraCount", d));
    EXPECT_EQ(d, 2.0);
    EXPECT_TRUE(b.getDouble("rig/convergence", d));
    EXPECT_EQ(d, 3.5);
    i = -1;
    EXPECT_FALSE(b.getInt("rig/convergence", i));
    EXPECT_EQ(i, -1);
    EXPECT_TRUE(b.getString("exr/owner", s));
    EXPECT_EQ(s, "stereo");
    EXPECT_TRUE(b.getDoubles("rig/transform", v));
    EXPECT_EQ(v, (std::vector<double>{1, 0, 0, 1}));

    // Missing keys and other kinds leave the output alone.
    s = "unchanged";
    EXPECT_FALSE(b.getString("rig/cameraCount", s));
    EXPECT_FALSE(b.getString("exr/missing", s));
    EXPECT_EQ(s, "unchanged");
    EXPECT_FALSE(b.getDoubles("rig/convergence", v));
    EXPECT_FALSE(b.getDouble("exr/owner", d));
    EXPECT_EQ(b.find("exr/missing"), nullptr);
    ASSERT_NE(b.find("rig/convergence"), nullptr);
    EXPECT_EQ(std::get<double>(*b.find("rig/convergence")), 3.5);
    // Merging adds and replaces.
    Bundle a, other;
    a.setData("rig/cameraCount", 2);
    a.setData("exr/owner", std::string("left"));
    other.setData("exr/owner", std::string("right"));
    other.setData("rig/name", std::string("main"));
    a.merge(other);
    EXPECT_EQ(a.size(), 3u);
    EXPECT_TRUE(a.getString("exr/owner", s));
    EXPECT_EQ(s, "right");
    EXPECT_TRUE(a.contains("rig/name"));
    EXPECT_TRUE(a.contains("rig/cameraCount"));
    Bundle c = a;
    EXPECT_EQ(c, a);
    c.erase("rig/name");
    EXPECT_NE(c, a);
}

} // namespace
