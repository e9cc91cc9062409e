// The trust in a correction from its matches alone: where they lie, which are held out, how
// the residual spreads, and the confidence that follows.
#include "AlignCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Kestrel;

namespace {

constexpr FrameSize kFrame{640, 360};

// n × n matches evenly over the part of the frame from (x0, y0) to (x1, y1), as fractions.
std::vector<MatchPair> spread(int n, double x0, double y0, double x1, double y1) {
    std::vector<MatchPair> pairs;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const double x = (x0 + (x1 - x0) * (i + 0.5) / n) * kFrame.width;
            const double y = (y0 + (y1 - y0) * (j + 0.5) / n) * kFrame.height;
            pairs.push_back({x, y, x - 10, y});
        }
    return pairs;
}

} // namespace

TEST(AlignCheck, CoverageNamesThePartsOfTheFrameWithoutMatches) {
    struct Case {
        const char* name;
        std::vector<MatchPair> pairs;
        int covered;
        std::string empty;
    };
    const Case cases[] = {
        {"whole frame", spread(16, 0, 0, 1, 1), 16, ""},
        {"bottom-left corner", spread(8, 0, 0, 0.5, 0.5), 4,
         "the top half and the bottom-right quarter"},
        {"bottom half", spread(12, 0, 0, 1, 0.5), 8, "the top half"},
        {"right half", spread(12, 0.5, 0, 1, 1), 8, "the left half"},
        {"three quarters",
         [] {
             auto p = spread(12, 0, 0, 1, 0.5);
             const auto q = spread(8, 0, 0.5, 0.5, 1);
             p.insert(p.end(), q.begin(), q.end());
             return p;
         }(),
         12, "the top-right quarter"},
        {"no matches", {}, 0, "the whole frame"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Coverage cov = coverageOf(c.pairs, kFrame);
        EXPECT_EQ(cov.covered, c.covered);
        EXPECT_EQ(emptyParts(cov), c.empty);
    }
    // A stray match or two does not cover a cell, nor a quarter that holds a sliver of them.
    std::vector<MatchPair> stray = spread(16, 0, 0, 0.5, 0.5);
    stray.push_back({600, 300, 590, 300});
    stray.push_back({601, 301, 591, 301});
    const Coverage c = coverageOf(stray, kFrame);
    EXPECT_EQ(c.covered, 4);
    EXPECT_TRUE(c.lacks(TopRight));
}

TEST(AlignCheck, EachCorrectionNeedsTheMatchesWhereItActs) {
    EXPECT_EQ(spreadNeeded(0), Spread::Nothing);
    EXPECT_EQ(spreadNeeded(4), Spread::SomeMatches);
    EXPECT_EQ(spreadNeeded(2 | 4 | 8), Spread::BothHalves); // Transform
    EXPECT_EQ(spreadNeeded(1), Spread::BothHalves);         // Match Camera
    EXPECT_EQ(spreadNeeded(32), Spread::AllQuarters);       // Keystone Only
    EXPECT_EQ(spreadNeeded(2 | 4 | 8 | 16 | 32), Spread::AllQuarters);

    struct Case {
        const char* name;
        std::vector<MatchPair> pairs;
        Spread need;
        bool ok;
        std::string why;
    };
    const Case cases[] = {
        {"corner, full", spread(8, 0, 0, 0.5, 0.5), Spread::AllQuarters, false,
         "no matches in the top half and the bottom-right quarter"},
        {"corner, transform", spread(8, 0, 0, 0.5, 0.5), Spread::BothHalves, false,
         "no matches in the top half and the bottom-right quarter"},
        {"corner, shift", spread(8, 0, 0, 0.5, 0.5), Spread::SomeMatches, true, ""},
        {"diagonal, transform",
         [] {
             auto p = spread(6, 0, 0, 0.5, 0.5);
             const auto q = spread(6, 0.5, 0.5, 1, 1);
             p.insert(p.end(), q.begin(), q.end());
             return p;
         }(),
         Spread::BothHalves, true, ""},
        {"bottom half, transform", spread(8, 0, 0, 1, 0.5), Spread::BothHalves, false,
         "no matches in the top half"},
        {"few, full", spread(4, 0, 0, 1, 1), Spread::AllQuarters, false,
         "only 16 matches, and it needs 24"},
        {"one, shift", spread(1, 0, 0, 1, 1), Spread::SomeMatches, false,
         "only 1 matches, and it needs 3"},
        {"none, nothing", {}, Spread::Nothing, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        EXPECT_EQ(meets(coverageOf(c.pairs, kFrame), c.need, &why), c.ok);
        EXPECT_EQ(why, c.why);
    }
}

TEST(AlignCheck, AFifthOfEachCellIsHeldOutTheSameWayEveryTime) {
    const std::vector<MatchPair> pairs = spread(20, 0, 0, 1, 1); // 25 per cell
    const std::vector<bool> out = heldOut(pairs, kFrame);
    EXPECT_EQ(out, heldOut(pairs, kFrame));
    std::vector<MatchPair> held;
    for (size_t i = 0; i < pairs.size(); ++i)
        if (out[i]) held.push_back(pairs[i]);
    EXPECT_EQ(held.size(), pairs.size() / kHoldOutEvery);
    EXPECT_EQ(coverageOf(held, kFrame).covered, 16) << "the held-out matches cover every cell";
    // A cell with only two matches keeps both for the fit.
    EXPECT_EQ(heldOut(spread(1, 0, 0, 0.1, 0.1), kFrame), std::vector<bool>{false});
}

TEST(AlignCheck, ResidualsPerRegionAndTheirGrowthTowardsTheEdges) {
    const std::vector<MatchPair> pairs = spread(30, 0, 0, 1, 1);
    const double halfDiagonal = 0.5 * std::hypot(kFrame.width, kFrame.height);
    std::vector<double> flat(pairs.size(), 0.05), lens, top;
    for (const MatchPair& p : pairs) {
        // As lens distortion leaves it: growing with the square of the distance from the centre.
        const double rho = std::hypot(p.xl - 320, p.yl - 180) / halfDiagonal;
        lens.push_back(0.8 * rho * rho);
        top.push_back(p.yl > 180 ? 1.0 : 0.0);
    }
    const auto regions = residualsByRegion(pairs, top, kFrame);
    EXPECT_DOUBLE_EQ(regions[TopLeft].rms, 1.0);
    EXPECT_DOUBLE_EQ(regions[TopRight].rms, 1.0);
    EXPECT_DOUBLE_EQ(regions[BottomLeft].rms, 0.0);
    EXPECT_EQ(regions[BottomLeft].count, 225u);
    EXPECT_EQ(regions[Centre].count, 256u); // the middle half each way, its edges included
    EXPECT_NEAR(regions[Centre].rms, std::sqrt(0.5), 1e-12);

    EXPECT_FALSE(edgeGrowth(pairs, flat, kFrame).grows);
    EXPECT_TRUE(edgeGrowth(pairs, lens, kFrame).grows);
    // Growth below 0.15 px is the floor of measuring, not a lens.
    for (double& r : lens) r *= 0.1;
    EXPECT_FALSE(edgeGrowth(pairs, lens, kFrame).grows);
    // A position that left the output has no residual.
    const std::vector<double> missing(pairs.size(), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(statsOf(missing).count, 0u);
}

TEST(AlignCheck, ConfidenceFollowsTheFirstReasonThatApplies) {
    TrustFacts good;
    good.heldOut = 400;
    good.heldOutAfter = 0.05;
    good.coverage = 1;
    struct Case {
        const char* name;
        TrustFacts facts;
        Confidence level;
        std::string reason;
    };
    auto with = [&](auto change) {
        TrustFacts f = good;
        change(f);
        return f;
    };
    const Case cases[] = {
        {"clean", good, Confidence::High, "held-out matches 0.050 px apart"},
        {"corner",
         with([](TrustFacts& f) { f.limited = "at frame 1, no matches in the top half"; }),
         Confidence::Low, "no matches in the top half"},
        {"nothing helped", with([](TrustFacts& f) { f.uncorrected = true; }), Confidence::Low,
         "left as it is"},
        {"few held out", with([](TrustFacts& f) { f.heldOut = 6; }), Confidence::Low,
         "only 6 matches were held out"},
        {"far apart", with([](TrustFacts& f) { f.heldOutAfter = 1.5; }), Confidence::Low,
         "1.500 px"},
        {"narrowed", with([](TrustFacts& f) { f.narrowed = "Transform was used"; }),
         Confidence::Medium, "Transform was used"},
        {"refused", with([](TrustFacts& f) { f.refused = true; }), Confidence::Medium,
         "made the held-out matches worse"},
        {"sparse", with([](TrustFacts& f) { f.coverage = 6.0 / 16; }), Confidence::Medium,
         "only 6 of 16 cells"},
        {"lens", with([](TrustFacts& f) { f.edgeGrowth = true; }), Confidence::Medium,
         "lens distortion"},
        {"loose", with([](TrustFacts& f) { f.heldOutAfter = 0.5; }), Confidence::Medium,
         "0.500 px"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = confidenceOf(c.facts);
        EXPECT_EQ(confidenceName(v.level), std::string(confidenceName(c.level)));
        EXPECT_NE(v.reason.find(c.reason), std::string::npos) << v.reason;
    }
}
