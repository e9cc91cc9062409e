// The stored matches: their script text, its versions and failures, the store operations
// and the hash contribution.
#include "mwControlPointsKnob.h"

#include "Kx/Image/Hash.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>

using namespace Marrow::Research;

namespace {

std::string text(const ControlPointsKnob& k, bool quote = false, int precision = 6) {
    std::ostringstream o;
    o << std::setprecision(precision);
    k.to_script(o, nullptr, quote);
    return o.str();
}

FeatureTrack track(double xl, double yl, double xr, double yr, bool validPoint) {
    FeatureTrack t;
    t.addFeature(0, Feature(xl, yl));
    t.addFeature(1, Feature(xr, yr));
    t.setColour(Eigen::Vector3d(1, 0.5, 0.25));
    if (validPoint) t.setPoint(Point(0.5, -1.25, 12, 0.375));
    return t;
}

} // namespace

// An empty store writes two lines (quoted for a script) and reads back empty.
TEST(ControlPointsKnob, VersionTwoRoundTripsEveryField) {
    ControlPointsKnob k(nullptr, "controlPoints");
    EXPECT_EQ(text(k), "version 2\nframes 0\n");
    EXPECT_EQ(text(k, true), "\"\nversion 2\nframes 0\n\"");
    k.tracksForFrame(3);
    ASSERT_TRUE(k.from_script("version 2\nframes 0\n"));
    EXPECT_EQ(k.frameCount(), 0);

    k.tracksForFrame(12).addTrack(track(10.5, 20.25, 8.5, 21, true));
    FeatureTrack user = track(100, 200, 90, 201, false);
    user.setUserTrack(true);
    k.tracksForFrame(12).addTrack(user);
    k.tracksForFrame(1);
    EXPECT_EQ(text(k), "version 2\nframes 2\nFrame 1 tracks 0\nFrame 12 tracks 2\n"
                       "  2 0 10.5 20.25 1 8.5 21 0 1 0.5 0.25 0.375 0.5 -1.25 12 \n"
                       "  2 0 100 200 1 90 201 1 1 0.5 0.25 -1 0 0 0 \n");

    ControlPointsKnob copy(nullptr, "controlPoints");
    ASSERT_TRUE(copy.from_script(text(k, false, 17).c_str()));
    ASSERT_EQ(copy.frameCount(), 2);
    EXPECT_EQ(copy.tracksForFrame(12), k.tracksForFrame(12));
    EXPECT_EQ(text(copy), text(k));
}

// Version 1 holds features alone; repeated blocks of a frame collect their tracks.
TEST(ControlPointsKnob, VersionOneLoadsFeaturesOnly) {
    ControlPointsKnob k(nullptr, "controlPoints");
    ASSERT_TRUE(k.from_script("version 1\nframes 1\nFrame 5 tracks 1\n  2 0 1 2 1 3 4\n"));
    const FeatureTrack& t = k.tracksForFrame(5).getTracks().at(0);
    EXPECT_EQ(t.getNumberFeatures(), 2);
    EXPECT_EQ(t.getFeatures()[1].second.getPosition(), Eigen::Vector2d(3, 4));
    FeatureTrack fresh;
    EXPECT_EQ(t.getPoint(), fresh.getPoint());
    EXPECT_EQ(t.getColour(), fresh.getColour());
    EXPECT_FALSE(t.getUserTrack());
    ASSERT_TRUE(k.from_script("version 1\nframes 2\nFrame 9 tracks 1\n  1 0 1 1\n"
                              "Frame 9 tracks 1\n  1 1 2 2\n"));
    EXPECT_EQ(k.frameCount(), 1);
    EXPECT_EQ(k.tracksForFrame(9).getNumberTracks(), 2);
}

TEST(ControlPointsKnob, BadHeadersLeaveTheStoreAndBadFramesKeepWhatWasRead) {
    ControlPointsKnob k(nullptr, "controlPoints");
    k.tracksForFrame(7).addTrack(track(1, 2, 3, 4, true));
    const std::string before = text(k);
    for (const char* bad : {"version 3\nframes 0\n", "version 0\nframes 0\n", "versio 2\n",
                            "version 2\nframe 1\n", "version 2\nframes\n", ""}) {
        EXPECT_FALSE(k.from_script(bad)) << bad;
        EXPECT_EQ(text(k), before) << bad;
        EXPECT_FALSE(k.lastError().empty());
    }
    EXPECT_FALSE(k.from_script("version 2\nframes 2\nFrame 4 tracks 0\nFrames 5 tracks 0\n"));
    EXPECT_EQ(k.frameCount(), 1);
    EXPECT_TRUE(k.hasFrame(4));
}

// Text that is cut short, damaged or claims more than it holds is refused with the line where
// it went wrong; a huge count never allocates what it claims.
TEST(ControlPointsKnob, HostileTextIsRefusedNamingTheLine) {
    const char* const header = "version 2\nframes 1\nFrame 4 tracks 2\n";
    const std::string oneTrack = "  2 0 1 2 1 3 4 0 1 1 1 -1 0 0 0\n";
    const struct {
        std::string text;
        int line;
    } cases[] = {
        {header + oneTrack, 3},                     // claims a second track
        {header + oneTrack + "  2 0 1 2 1 3\n", 5}, // track cut mid-feature
        {"version 2\nframes 1\nFrame 4 tracks 1000000000000\n" + oneTrack, 3},
        {"version 2\nframes 1000000000000\nFrame 4 tracks 0\n", 2},
        {"version 2\nframes 1\nFrame 4 tracks 1\n  4000000000 0 1 2 0 1 1 1 -1 0 0 0\n", 4},
        {"version 1\nframes 1\nFrame 4 tracks 1\n  1 0 nan 2\n", 4},
        {"version 1\nframes 1\nFrame 4 tracks 1\n  1 0 1e999 2\n", 4},
        {"version 1\nframes 1\nFrame 4 tracks 1\n  1 -3 1 2\n", 4},
        {"version 1\nframes 1\nFrame 4 tracks -1\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ControlPointsKnob k(nullptr, "controlPoints");
        EXPECT_FALSE(k.from_script(c.text.c_str()));
        EXPECT_NE(k.lastError().find("line " + std::to_string(c.line) + " "), std::string::npos)
            << k.lastError();
        EXPECT_EQ(k.frameCount() ? k.tracksForFrame(4).getNumberTracks() : 0, c.line == 5 ? 1 : 0);
    }
}

TEST(ControlPointsKnob, RemoveTracksHighestFirstIgnoringOutOfRange) {
    ControlPointsKnob k(nullptr, "controlPoints");
    for (int i = 0; i < 5; ++i) k.tracksForFrame(2).addTrack(track(i, 0, i, 0, true));
    EXPECT_EQ(k.removeTracks(3, {0}), 0);
    EXPECT_EQ(k.removeTracks(2, {}), 0);
    EXPECT_EQ(k.removeTracks(2, {1, 3, 3, 9}), 1);
    const auto& left = k.tracksForFrame(2).getTracks();
    ASSERT_EQ(left.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(left[i].getFeatures()[0].second.getPosition().x(), 2 * i);

    FeatureTrack out;
    EXPECT_TRUE(k.copyTrack(2, 2, out));
    EXPECT_EQ(out, left[2]);
    EXPECT_FALSE(k.copyTrack(2, 3, out));
    EXPECT_FALSE(k.copyTrack(2, -1, out));
    k.removeFrame(2);
    k.removeFrame(2);
    EXPECT_EQ(k.frameCount(), 0);
}

TEST(ControlPointsKnob, HashCountsTracksPerFrameOnly) {
    ControlPointsKnob a(nullptr, "a"), b(nullptr, "b");
    a.tracksForFrame(1).addTrack(track(1, 2, 3, 4, true));
    b.tracksForFrame(1).addTrack(track(5, 6, 7, 8, false));
    Kx::Image::Hash ha, hb;
    a.append(ha, nullptr);
    b.append(hb, nullptr);
    EXPECT_EQ(ha, hb);
    b.tracksForFrame(1).addTrack(track(5, 6, 7, 8, false));
    Kx::Image::Hash hc;
    b.append(hc, nullptr);
    EXPECT_NE(ha, hc);
}

TEST(ControlPointsKnob, PointsOfACameraInTrackOrder) {
    ControlPointsKnob k(nullptr, "controlPoints");
    FeatureTrack onlyRight;
    onlyRight.addFeature(1, Feature(7, 8));
    k.tracksForFrame(4).addTrack(track(1, 2, 3, 4, true));
    k.tracksForFrame(4).addTrack(onlyRight);
    std::vector<ControlPointsKnob::CameraPoint> points;
    SphericalTransform unused;
    ASSERT_TRUE(k.pointsOfCamera(4, 0, unused, false, points));
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].x, 1);
    EXPECT_EQ(points[0].pointValid, 1);
    ASSERT_TRUE(k.pointsOfCamera(4, 1, unused, false, points));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].trackIndex, 1u);
    EXPECT_FALSE(k.pointsOfCamera(5, 0, unused, false, points));
    EXPECT_TRUE(points.empty());
}
