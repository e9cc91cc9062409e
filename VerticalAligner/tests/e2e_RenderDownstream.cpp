// The aligner as the input of other nodes, and under stored matches no real plate gives: a
// CornerPin2D after the aligner samples the aligned image through the node, and absurd matches
// (far off the plate, or all at one point) leave an output box near the format that renders.
#include "e2e_RenderPlate.h"
#include "mwControlPointsKnob.h"

#include <array>
#include <sstream>

using namespace RenderTest;

// A pin that moves the image 12 px right and 7 px up samples the aligner at pixel centres,
// through both of its sample forms: its output is the aligned image, moved, and not the input.
TEST(RenderDownstream, CornerPinAfterTheAlignerWarpsTheAlignedImage) {
    Plate p({{"verticalShift", 8}, {"roll", 0.5}}, K::Transform);
    ASSERT_TRUE(p.match());
    Node pin{"CornerPin2D", "CornerPin1"};
    pin.setInput(0, &p.aligner);
    const double corners[4][2] = {
        {0, 0}, {double(p.width), 0}, {double(p.width), double(p.height)}, {0, double(p.height)}};
    constexpr int dx = 12, dy = 7;
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i + 1);
        pin.knob(("from" + n).c_str())->setValue(corners[i][0], 0);
        pin.knob(("from" + n).c_str())->setValue(corners[i][1], 1);
        pin.knob(("to" + n).c_str())->setValue(corners[i][0] + dx, 0);
        pin.knob(("to" + n).c_str())->setValue(corners[i][1] + dy, 1);
    }
    for (int v : {Plate::kLeft, Plate::kRight}) {
        SCOPED_TRACE(v == Plate::kLeft ? "left view" : "right view");
        const Image aligned = p.render(v, Mask_RGB);
        const Image input = p.renderPlate(v, Mask_RGB);
        auto* op = static_cast<Iop*>(pin.iop(OutputContext(1, v)));
        op->validate(true);
        ASSERT_FALSE(op->hasError()) << op->errorMessage();
        const Image pinned = renderArea(*op, Box(dx, dy, p.width, p.height), Mask_RGB);
        double worst = 0, fromInput = 0;
        for (int y = dy; y < p.height; ++y)
            for (int x = dx; x < p.width; ++x)
                for (Channel z : Mask_RGB) {
                    const double value = pinned.at(z, x, y);
                    worst = std::max(worst, std::fabs(value - aligned.at(z, x - dx, y - dy)));
                    fromInput = std::max(fromInput, std::fabs(value - input.at(z, x - dx, y - dy)));
                }
        // A point sample and the row warp weigh the same pixels, the row's weights coming
        // from the filter's table (within 1e-4 for values of order 1).
        EXPECT_LT(worst, 2e-4);
        EXPECT_GT(fromInput, 0.1) << "the pin shows the aligned image, not the input";
    }
}

namespace {

// Stored matches for frame 1: tracks of a left and a right position each.
std::string storedMatches(const std::vector<std::array<double, 4>>& tracks) {
    std::ostringstream o;
    o.precision(17);
    o << "version 2\nframes 1\nFrame 1 tracks " << tracks.size() << "\n";
    for (const auto& t : tracks)
        o << "  2 0 " << t[0] << " " << t[1] << " 1 " << t[2] << " " << t[3]
          << " 0 1 1 1 -1 0 0 0\n";
    return o.str();
}

} // namespace

// Matches at 1e11, at -2^63, or fifteen at one point solve to nothing a plate can show; the
// output box stays within one format around the format, and the view renders.
TEST(RenderDownstream, AbsurdMatchesKeepTheOutputBoxNearTheFormat) {
    std::vector<std::array<double, 4>> spread;
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 8; ++i) {
            const double x = 40 + 70 * i, y = 30 + 55 * j;
            spread.push_back({x, y, x + 3, y + 4});
        }
    auto with = [&](std::array<double, 4> extra) {
        auto tracks = spread;
        for (int n = 0; n < 5; ++n) tracks.push_back(extra);
        return tracks;
    };
    const struct {
        const char* name;
        std::vector<std::array<double, 4>> tracks;
    } cases[] = {
        {"matches at 1e11", with({1e11, 1e11, 1e11, -1e11})},
        {"matches at -2^63", with({-9.223372036854775808e18, 50, 60, -9.223372036854775808e18})},
        {"fifteen identical matches",
         std::vector<std::array<double, 4>>(15, std::array<double, 4>{100, 100, 100, 100})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plate p({}, K::Full);
        ControlPointsKnob& store = *p.node().knobValues().controlPoints();
        ASSERT_TRUE(store.from_script(storedMatches(c.tracks).c_str())) << store.lastError();
        for (int v : {Plate::kLeft, Plate::kRight}) {
            VerticalAlignerPlugin& op = p.view(v);
            const Box b = op.info().box;
            std::printf("%-26s view %d: output box %d %d %d %d\n", c.name, v, b.x(), b.y(), b.r(),
                        b.t());
            EXPECT_GE(b.x(), -p.width);
            EXPECT_GE(b.y(), -p.height);
            EXPECT_LE(b.r(), 2 * p.width);
            EXPECT_LE(b.t(), 2 * p.height);
            p.render(v, Mask_RGB);
        }
    }
}
