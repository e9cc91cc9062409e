// The exported correction carries the node's alignment to other tools: OpenCV's
// warpPerspective with the exported homography puts the plate's features where the node's
// own Lanczos render puts them.
#include "KestrelRun.h"

#include <OpenImageIO/imageio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

using ::testing::HasSubstr;
using namespace KestrelTest;

namespace {

// The grey of an image file as floats, top row first (as files store it).
cv::Mat readGrey(const std::string& file) {
    auto in = OIIO::ImageInput::open(file);
    if (!in) return {};
    const OIIO::ImageSpec& spec = in->spec();
    std::vector<float> pixels(size_t(spec.width) * spec.height * spec.nchannels);
    in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data());
    cv::Mat grey(spec.height, spec.width, CV_32F);
    for (int y = 0; y < spec.height; ++y)
        for (int x = 0; x < spec.width; ++x) {
            const float* p = &pixels[(size_t(y) * spec.width + x) * spec.nchannels];
            grey.at<float>(y, x) = 0.3f * p[0] + 0.59f * p[1] + 0.11f * p[2];
        }
    return grey;
}

cv::Mat to8Bit(const cv::Mat& grey) {
    cv::Mat out;
    grey.convertTo(out, CV_8U, 255.0);
    return out;
}

class Export : public Folder {
protected:
    void SetUp() override {
        makeFolder("export");
        std::ofstream(path("plate.kscript"))
            << "kestrel_script 1\nviews left right\nframes 1 1\n"
            << "node SyntheticStereo Plate\n knob width 640\n knob height 360\n knob lastFrame 1\n"
            << " knob verticalShift 6\n knob roll 0.4\n knob focalRatio 1.01\nend\n"
            << "node Write Write1\n input 0 Plate\n knob file " << path("plate_%V.png")
            << "\n knob channels rgba\nend\n";
        const Outcome r = run({"render", path("plate.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }
};

} // namespace

TEST_F(Export, OpenCvWarpWithTheExportedHomographyMatchesTheNodesRender) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in was not built";
    // Without vertical skew the correction is a pure homography.
    const Outcome r = run({"align", path("plate_left.png"), path("plate_right.png"), "-o",
                           path("out/a_%V.exr"), "--export-correction", path("out/c.json"), "--set",
                           "VerticalAligner1.alignVerticalSkew=0"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto exported = nlohmann::json::parse(slurp(dir / "out/c.json"));
    EXPECT_EQ(exported["inputSize"], nlohmann::json::array({640, 360}));
    for (const char* view : {"left", "right"}) {
        SCOPED_TRACE(view);
        const auto& entry = exported["views"][view][0];
        ASSERT_EQ(entry["frame"], 1);
        EXPECT_TRUE(entry["exact"].get<bool>()) << entry["maxDeparture"];
        cv::Mat m(3, 3, CV_64F);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m.at<double>(i, j) = entry["homography"][i][j];

        const cv::Mat input = readGrey(path(std::string("plate_") + view + ".png"));
        const cv::Mat node = readGrey(path(std::string("out/a_") + view + ".exr"));
        ASSERT_FALSE(input.empty());
        ASSERT_EQ(node.size(), input.size());
        cv::Mat warped;
        cv::warpPerspective(input, warped, m, input.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT,
                            0);

        // Corners of the node's render, away from the frame's edges and the black the
        // correction brings in, followed into OpenCV's warp.
        cv::Mat inside(node.size(), CV_8U, cv::Scalar(0));
        inside(cv::Rect(24, 24, node.cols - 48, node.rows - 48)) = 255;
        std::vector<cv::Point2f> corners, found;
        cv::goodFeaturesToTrack(to8Bit(node), corners, 300, 0.01, 8, inside);
        ASSERT_GT(corners.size(), 100u);
        std::vector<uchar> ok;
        std::vector<float> error;
        cv::calcOpticalFlowPyrLK(to8Bit(node), to8Bit(warped), corners, found, ok, error,
                                 cv::Size(21, 21), 1,
                                 {cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 1e-4});
        std::vector<double> distances;
        cv::Point2d sum(0, 0);
        for (size_t i = 0; i < corners.size(); ++i)
            if (ok[i]) {
                const cv::Point2d d = found[i] - corners[i];
                distances.push_back(std::hypot(d.x, d.y));
                sum += d;
            }
        ASSERT_GT(distances.size(), 100u);
        std::sort(distances.begin(), distances.end());
        const cv::Point2d mean = sum / double(distances.size());
        // 0.05 px is the agreement asked of the export; the two Lanczos kernels differ (three
        // lobes here, four in OpenCV) and 8-bit tracking adds noise, which the median and the
        // mean over hundreds of features average out.
        EXPECT_LT(distances[distances.size() / 2], 0.05);
        EXPECT_LT(std::hypot(mean.x, mean.y), 0.05) << mean;
    }
}

// A correction with vertical skew is no homography: the export says so and points to the
// STMap.
TEST_F(Export, ACorrectionThatIsNoHomographyIsFlagged) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in was not built";
    const Outcome r =
        run({"align", path("plate_left.png"), path("plate_right.png"), "-o", path("out/a_%V.png"),
             "--export-correction", path("out/c.json"), "--local"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto exported = nlohmann::json::parse(slurp(dir / "out/c.json"));
    const auto& entry = exported["views"]["right"][0];
    EXPECT_FALSE(entry["exact"].get<bool>());
    EXPECT_THAT(entry["note"].get<std::string>(), HasSubstr("STMap"));
    EXPECT_THAT(r.out, HasSubstr("warning: the correction is not a pure homography"));
}
