// Spherical space rendered: the plate seen as a rig of camera views (the metadata's cameras
// 1 and 2 in the views "cam1" and "cam2"), aligned and reprojected into a latlong output as
// fine as the camera at its centre.
//
// A parallel rig reprojected through a sphere keeps a vertical disparity of its own in the
// latlong, off the equator and off the centre column, that grows with the distance of a point
// from the convergence depth; no global correction removes it. The aligned disparity is
// therefore compared, pixel by pixel, with that of the same rig without misalignment.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

constexpr int kWidth = 960, kHeight = 540;

// The left view's aligned disparity (vertical) and the plate's truth for its pixels.
struct LatlongDisparity {
    Image out, plate;
};

struct RigPlate : Plate {
    // The metadata describes the rig as designed: the misalignment is for the solve to find.
    explicit RigPlate(const Misalignment& misalignment)
        : Plate(misalignment, K::Transform, kWidth, kHeight, {"cam1", "cam2"}) {
        source.knob("nominalMetadata")->setValue(1);
        useMetadataRig();
        useLatlong();
    }

    // The latlong area that the left camera's frame lands in.
    Box leftCameraArea() {
        const ViewCorrection& c = view(kLeft).renderEngine().correction();
        Box area;
        for (int i = 0; i <= 8; ++i) {
            const double u = kWidth * i / 8.0, v = kHeight * i / 8.0;
            for (const Eigen::Vector2d& e : {Eigen::Vector2d(u, 0), Eigen::Vector2d(u, kHeight),
                                             Eigen::Vector2d(0, v), Eigen::Vector2d(kWidth, v)}) {
                const Eigen::Vector2d o = c.toOutputThis(e);
                const int x = int(std::floor(o.x())), y = int(std::floor(o.y()));
                area.merge(Box(x, y, x + 1, y + 1));
            }
        }
        return area;
    }

    LatlongDisparity render(const Box& area) {
        VerticalAlignerPlugin& left = view(kLeft);
        EXPECT_FALSE(left.hasError()) << left.errorMessage();
        return {renderArea(left, area, ChannelSet{Chan_DisparityL_Y} + stmapChannels()),
                renderPlate(kLeft, ChannelSet{Chan_DisparityL_X, Chan_DisparityL_Y,
                                              SyntheticStereo::occlusionLeftChannel()})};
    }
};

// Whether the output pixel shows a point of smooth disparity, and that disparity.
bool valid(const LatlongDisparity& d, int x, int y) {
    return smoothDisparity(d.plate, d.out.stmap(x, y, kWidth, kHeight), Chan_DisparityL_X,
                           Chan_DisparityL_Y, SyntheticStereo::occlusionLeftChannel());
}

} // namespace

TEST(RenderSpherical, AlignedDisparityInTheLatlongMatchesTheRigWithoutMisalignment) {
    RigPlate p({{"verticalShift", 8}, {"roll", 1}, {"focalRatio", 1.02}});
    ASSERT_TRUE(p.match());
    ASSERT_EQ(p.view(Plate::kLeft).format(), p.aligner.knob("outputFormat")->format().format);
    const Box area = p.leftCameraArea();
    ASSERT_LT(area.w(), kWidth * 11 / 10);
    ASSERT_LT(area.h(), kHeight * 11 / 10);
    const LatlongDisparity aligned = p.render(area);
    // The projection alone, without the solved corrections.
    p.set("alignShift", 0);
    p.set("alignRotate", 0);
    p.set("alignScale", 0);
    const LatlongDisparity unaligned = p.render(area);
    LatlongDisparity ideal;
    {
        RigPlate perfect({}); // no matches: the projection alone
        ideal = perfect.render(area);
    }
    // Sums of squares: the aligned disparity, the ideal one, and the differences of the
    // aligned and the unaligned ones from the ideal one.
    double aligned2 = 0, ideal2 = 0, residual2 = 0, unaligned2 = 0;
    int n = 0;
    for (int y = area.y(); y < area.t(); ++y)
        for (int x = area.x(); x < area.r(); ++x) {
            if (!valid(aligned, x, y) || !valid(ideal, x, y) || !valid(unaligned, x, y)) continue;
            const double a = aligned.out.at(Chan_DisparityL_Y, x, y);
            const double u = unaligned.out.at(Chan_DisparityL_Y, x, y);
            const double i = ideal.out.at(Chan_DisparityL_Y, x, y);
            aligned2 += a * a;
            ideal2 += i * i;
            residual2 += (a - i) * (a - i);
            unaligned2 += (u - i) * (u - i);
            ++n;
        }
    auto rms = [n](double sum) { return std::sqrt(sum / n); };
    std::printf("aligned disparity in Spherical space, vertical RMS over %d pixels: aligned "
                "%.4f px, rig without misalignment %.4f px; difference from that rig: aligned "
                "%.4f px, unaligned %.4f px\n",
                n, rms(aligned2), rms(ideal2), rms(residual2), rms(unaligned2));
    EXPECT_GT(n, kWidth * kHeight / 2);
    EXPECT_GT(rms(unaligned2), 1.0);
    EXPECT_LT(rms(residual2), 0.2);
}
