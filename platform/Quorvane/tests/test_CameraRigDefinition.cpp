#include <Quorvane/CameraRigDefinition.h>

#include <gtest/gtest.h>

using namespace Marrow::Research;

TEST(CameraRigDefinition, NewCamerasAreNamedByTheirNumber) {
    CameraRigDefinition rig;
    rig.setNumberCameras(3);
    EXPECT_EQ(rig.getCamera(0).getName(), "cam1");
    EXPECT_EQ(rig.getCamera(2).getName(), "cam3");
    rig.getCamera(1).setName("hero");
    rig.setAutomaticCameraNames();
    EXPECT_EQ(rig.getCamera(1).getName(), "cam2");
}

TEST(CameraRigDefinition, LinksAndCamerasFollowTheCameraCount) {
    CameraRigDefinition rig;
    rig.setNumberCameras(4);
    rig.setLinked(0, {2, 3, 0, 7, -1});
    EXPECT_EQ(rig.getLinks(0), (std::vector<int>{2, 3}));
    EXPECT_TRUE(rig.isLinked(3, 0));
    EXPECT_FALSE(rig.isLinked(1, 0));

    rig.setLinked(0, {1});
    EXPECT_FALSE(rig.isLinked(2, 0));
    EXPECT_TRUE(rig.isLinked(1, 0));

    rig.setAllLinked();
    EXPECT_EQ(rig.getLinks(2), (std::vector<int>{0, 1, 3}));
    rig.setNumberCameras(2);
    EXPECT_EQ(rig.getLinks(0), (std::vector<int>{1}));
    // A camera outside the rig is refused with its index.
    try {
        rig.getCamera(2);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "camera index 2 is outside the rig of 2 cameras");
    }
    EXPECT_THROW(rig.setCamera(-1, CameraDefinition()), std::out_of_range);
}
