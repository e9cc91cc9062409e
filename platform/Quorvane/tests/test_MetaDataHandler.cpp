#include <Quorvane/MetaDataHandler.h>

#include <gtest/gtest.h>

using namespace Marrow::Research;
using Kx::Image::MetaData::Bundle;

namespace {

CameraRigDefinition threeCameras() {
    CameraRigDefinition rig;
    rig.setNumberCameras(3);
    for (int i = 0; i < 3; ++i) {
        CameraDefinition c;
        c.setName("cam" + std::to_string(i + 1) + (i == 2 ? "_witness" : ""));
        c.setPosition({0.1 * i, 0.01, -0.02});
        c.setRotation({0.5, -1.0 * i, 0.25});
        c.setFocalLength(30.0 + i);
        c.setSensorSize({24.0, 13.5});
        c.setCentreShift({0.01, -0.005});
        c.setFormatWidth(2048);
        c.setFormatHeight(1152);
        c.setPixelAspect(1.0);
        c.setProjectionType(i == 2 ? PROJECTION_LATLONG : PROJECTION_PERSPECTIVE);
        c.setEnabled(i != 1);
        rig.setCamera(i, c);
    }
    rig.setLinked(0, {1});
    rig.setRigDiameter(0.2);
    return rig;
}

Bundle written() {
    MetaDataHandler h;
    h.setRig(threeCameras());
    h.setRigPosition({1, 2, 3});
    h.setRigRotation({0, 90, 0});
    h.setRigConvergence(6.5);
    return h.getMetaDataBundle();
}

} // namespace

TEST(MetaDataHandler, RigSurvivesWritingAndReadingUnderTheDocumentedKeys) {
    MetaDataHandler h;
    EXPECT_TRUE(h.updateMetaDataBundle(written()));
    EXPECT_EQ(h.getLastError(), "");
    ASSERT_EQ(h.getNumberCameras(), 3);
    const CameraRigDefinition rig = threeCameras();
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(h.getCamera(k), rig.getCamera(k - 1)) << k;
    EXPECT_EQ(h.getLinks(1), std::vector<int>{1}); // camera 1 is linked to rig index 1
    EXPECT_EQ(h.getLinks(3), std::vector<int>{});
    EXPECT_EQ(h.getRig(), rig);
    EXPECT_EQ(h.getRigPosition(true), Eigen::Vector3d(1, 2, 3));
    EXPECT_EQ(h.getRigRotation(true), Eigen::Vector3d(0, 90, 0));
    EXPECT_DOUBLE_EQ(h.getRigDiameter(), 0.2);
    EXPECT_DOUBLE_EQ(h.getRigConvergence(), 6.5);
    // The keys in the bundle are the documented ones.
    const Bundle b = written();
    int count = 0;
    ASSERT_TRUE(b.getInt("rig/cameraCount", count));
    EXPECT_EQ(count, 3);
    std::vector<double> v;
    ASSERT_TRUE(b.getDoubles("rig/camera2/format", v));
    EXPECT_EQ(v, (std::vector<double>{2048, 1152, 1}));
    ASSERT_TRUE(b.getDoubles("rig/camera1/links", v));
    EXPECT_EQ(v, std::vector<double>{2}); // camera numbers in the file count from 1
    std::string name;
    ASSERT_TRUE(b.getString("rig/camera3/name", name));
    EXPECT_EQ(name, "cam3_witness");
}

TEST(MetaDataHandler, ValuesSetAfterReadingLeaveTheReadOnesAvailableAndOthersPassThrough) {
    MetaDataHandler h;
    h.updateMetaDataBundle(written());
    h.setRigRotation({0, 0, 0});
    EXPECT_EQ(h.getRigRotation(true), Eigen::Vector3d(0, 90, 0));
    EXPECT_EQ(h.getRigRotation(false), Eigen::Vector3d(0, 0, 0));
    std::vector<double> v;
    ASSERT_TRUE(h.getMetaDataBundle().getDoubles("rig/rotation", v));
    EXPECT_EQ(v, (std::vector<double>{0, 0, 0}));
    // Other metadata passes through, and cameras no longer in the rig go.
    Bundle in = written();
    in.setData("exr/owner", std::string("unit 2"));
    h.updateMetaDataBundle(in);
    h.setNumberCameras(2);
    const Bundle out = h.getMetaDataBundle();
    std::string owner;
    EXPECT_TRUE(out.getString("exr/owner", owner));
    EXPECT_FALSE(out.contains("rig/camera3/name"));
    EXPECT_TRUE(out.contains("rig/camera2/name"));
}

TEST(MetaDataHandler, ChangedOnlyWhenTheBundleDiffersAndOnlyTheCameraCountIsRequired) {
    MetaDataHandler h;
    EXPECT_TRUE(h.updateMetaDataBundle(written()));
    EXPECT_FALSE(h.updateMetaDataBundle(written()));
    Bundle other = written();
    other.setData("rig/convergence", 7.0);
    EXPECT_TRUE(h.updateMetaDataBundle(other));
    // A bundle without a rig: no cameras, no error, and the bundle passes through.
    Bundle plain;
    plain.setData("exr/owner", std::string("unit 2"));
    h.updateMetaDataBundle(plain);
    EXPECT_EQ(h.getNumberCameras(), 0);
    EXPECT_EQ(h.getLastError(), "");
    EXPECT_EQ(h.getMetaDataBundle(), plain);
    // Only the camera count is required; stored as a whole double it is read too.
    Bundle b;
    b.setData("rig/cameraCount", 2.0);
    h.updateMetaDataBundle(b);
    ASSERT_EQ(h.getNumberCameras(), 2);
    EXPECT_EQ(h.getCamera(2).getName(), "cam2");
    EXPECT_DOUBLE_EQ(h.getCamera(2).getFocalLength(), CameraDefinition().getFocalLength());
}

TEST(MetaDataHandler, MalformedValuesAreNamedAndGiveNoRig) {
    const std::pair<const char*, Kx::Image::MetaData::Value> bad[] = {
        {"rig/cameraCount", std::string("two")},
        {"rig/cameraCount", -1},
        {"rig/camera2/position", std::vector<double>{1, 2}},
        {"rig/camera1/projection", 1},
        {"rig/camera1/links", std::vector<double>{1}},
        {"rig/convergence", std::string("far")},
    };
    const char* messages[] = {
        "rig metadata: rig/cameraCount must hold a whole number",
        "rig metadata: rig/cameraCount must not be negative",
        "rig metadata: rig/camera2/position must hold 3 finite numbers",
        "rig metadata: rig/camera1/projection must be 0 (perspective) or 2 (latlong), not 1",
        "rig metadata: rig/camera1/links must list camera numbers from 1 to 3 other than 1",
        "rig metadata: rig/convergence must hold a finite number",
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        Bundle b = written();
        b.setData(bad[i].first, bad[i].second);
        MetaDataHandler h;
        h.updateMetaDataBundle(b);
        EXPECT_EQ(h.getNumberCameras(), 0) << bad[i].first;
        EXPECT_EQ(h.getLastError(), messages[i]);
    }
}

TEST(MetaDataHandler, CameraNumbersStartAtOne) {
    MetaDataHandler h;
    h.updateMetaDataBundle(written());
    EXPECT_THROW(h.getCamera(0), std::out_of_range);
    try {
        h.getCamera(4);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "rig metadata has no camera 4 (cameras are numbered 1 to 3)");
    }
}
