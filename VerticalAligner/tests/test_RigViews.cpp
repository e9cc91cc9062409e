// Rig views: camera-view names, the view-name mapper and the presets.
#include "AlignerStage.h"
#include "mwMultiViewManager.h"
#include "mwMultiViewNameMapper.h"

#include <gtest/gtest.h>

using namespace Marrow::Research;
using Kx::Image::OutputContext;

namespace {

std::set<std::string> names(const std::set<int>& views) {
    std::set<std::string> out;
    for (int v : views) out.insert(OutputContext::viewname(v));
    return out;
}

using AlignerTest::Views;

} // namespace

TEST(RigViews, CameraViewNames) {
    int n = 0;
    std::string suffix;
    EXPECT_TRUE(parseCameraView("cam12_right", n, suffix));
    EXPECT_EQ(n, 12);
    EXPECT_EQ(suffix, "_right");
    EXPECT_TRUE(parseCameraView("cam3", n, suffix));
    EXPECT_EQ(suffix, "");
    for (const char* no : {"cam0", "camA", "cam", "camera", "main", "left"})
        EXPECT_FALSE(parseCameraView(no, n, suffix)) << no;
}

TEST(RigViews, PresetsPickTheirViews) {
    Views v({"main", "cam1", "cam2", "cam3_left", "cam3_right", "cam0", "camA"});
    using M = MultiViewManager;
    EXPECT_EQ(names(M::presetViews(M::Main)), (std::set<std::string>{"main"}));
    EXPECT_EQ(names(M::presetViews(M::Cams)), (std::set<std::string>{"cam1", "cam2"}));
    EXPECT_EQ(names(M::presetViews(M::LeftCams)), (std::set<std::string>{"cam3_left"}));
    EXPECT_EQ(names(M::presetViews(M::RightCams)), (std::set<std::string>{"cam3_right"}));
    EXPECT_EQ(names(M::presetViews(M::StereoCams)),
              (std::set<std::string>{"cam3_left", "cam3_right"}));
    EXPECT_TRUE(M::presetViews(M::Stereo).empty());
}

TEST(RigViews, CameraNumbersOfViewsAndViewsOfCameraNumbers) {
    {
        Views v({"main", "left", "cam3_right", "cam12", "cam1_left", "cam1_right"});
        auto view = [](const char* name) { return OutputContext::lookup_view(name); };
        MultiViewNameMapper all;
        EXPECT_EQ(all.cameraNumberOfView(view("cam3_right")), 3);
        EXPECT_EQ(all.cameraNumberOfView(view("cam12")), 12);
        EXPECT_EQ(all.cameraNumberOfView(view("main")), 0);
        EXPECT_FALSE(all.isRigView(view("left")));
        EXPECT_EQ(all.numViewsForRig(), 3); // camera numbers 1, 3 and 12
        MultiViewNameMapper two(2);
        EXPECT_EQ(two.cameraNumberOfView(view("cam3_right")), 0);
        EXPECT_TRUE(two.isRigView(view("cam1_left")));
        EXPECT_EQ(two.numViewsForRig(), 2);
    }
    // A camera number without a view of its own falls back to "main".
    {
        Views v({"main"});
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(1), 1);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(2), 1);
    }
    {
        Views v({"main", "left", "right"});
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(1), 2);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(2), 3);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(7), 1);
    }
    Views v({"main", "cam1", "cam2"});
    MultiViewManager m(nullptr);
    OutputContext c(4, 1);
    EXPECT_EQ(m.contextForCamera(c, 0).view(), 1); // camera 0 is the node's own view
    EXPECT_EQ(m.contextForCamera(c, 1).view(), 1); // an empty rig leaves the view
    EXPECT_EQ(m.cameraNumberOfRigPosition(0), 1);
    EXPECT_EQ(m.cameraNumberOfView(2), -1);
}
