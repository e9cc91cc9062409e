#include "AlignCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Kestrel {

namespace {

constexpr size_t kMatchesPerQuarter = 4;
constexpr size_t kQuarterShare = 50; // a quarter needs 1 in this many of the matches
constexpr size_t kMinHeldOut = 10;
constexpr double kLowResidual = 1.0, kMediumResidual = 0.3; // px
constexpr double kInner = 0.4, kOuter = 0.7;                // of the half-diagonal
constexpr size_t kEdgeMatches = 10;

int cellOf(double v, int size) {
    return std::clamp(int(std::floor(v / size * kCoverageGrid)), 0, kCoverageGrid - 1);
}

Region quarterOf(const MatchPair& p, FrameSize f) {
    const bool right = p.xl >= f.width / 2.0, top = p.yl >= f.height / 2.0;
    return Region(int(right) + 2 * int(top));
}

std::string pixels(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f px", v);
    return text;
}

} // namespace

const char* regionName(Region r) {
    static const char* const names[] = {"bottom-left", "bottom-right", "top-left", "top-right",
                                        "centre"};
    return names[r];
}

bool Coverage::lacks(Region quarter) const {
    return quarters[size_t(quarter)] < std::max(kMatchesPerQuarter, matches / kQuarterShare);
}

Coverage coverageOf(const std::vector<MatchPair>& pairs, FrameSize frame) {
    Coverage c;
    c.matches = pairs.size();
    std::array<int, kCoverageGrid * kCoverageGrid> cells{};
    for (const MatchPair& p : pairs) {
        ++cells[size_t(cellOf(p.yl, frame.height) * kCoverageGrid + cellOf(p.xl, frame.width))];
        ++c.quarters[size_t(quarterOf(p, frame))];
    }
    c.covered =
        int(std::count_if(cells.begin(), cells.end(), [](int n) { return n >= kMatchesPerCell; }));
    return c;
}

std::string emptyParts(const Coverage& c) {
    const bool bl = c.lacks(BottomLeft), br = c.lacks(BottomRight), tl = c.lacks(TopLeft),
               tr = c.lacks(TopRight);
    std::vector<std::string> parts;
    if (bl && br && tl && tr) return "the whole frame";
    std::array<bool, 4> named{};
    auto half = [&](bool a, bool b, Region ra, Region rb, const char* name) {
        if (a && b && !named[ra] && !named[rb]) {
            parts.push_back(name);
            named[ra] = named[rb] = true;
        }
    };
    half(tl, tr, TopLeft, TopRight, "the top half");
    half(bl, br, BottomLeft, BottomRight, "the bottom half");
    half(bl, tl, BottomLeft, TopLeft, "the left half");
    half(br, tr, BottomRight, TopRight, "the right half");
    for (Region q : {BottomLeft, BottomRight, TopLeft, TopRight})
        if (c.lacks(q) && !named[q])
            parts.push_back(std::string("the ") + regionName(q) + " quarter");
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

Spread spreadNeeded(unsigned options) {
    if (options & (16u | 32u)) return Spread::AllQuarters;
    if (options & (1u | 2u | 8u)) return Spread::BothHalves;
    if (options & 4u) return Spread::SomeMatches;
    return Spread::Nothing;
}

size_t matchesNeeded(Spread s) {
    switch (s) {
    case Spread::AllQuarters:
        return 24;
    case Spread::BothHalves:
        return 12;
    case Spread::SomeMatches:
        return 3;
    case Spread::Nothing:
        break;
    }
    return 0;
}

bool meets(const Coverage& c, Spread need, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (c.matches < matchesNeeded(need))
        return fail("only " + std::to_string(c.matches) + " matches, and it needs " +
                    std::to_string(matchesNeeded(need)));
    bool ok = true;
    if (need == Spread::AllQuarters)
        for (Region q : {BottomLeft, BottomRight, TopLeft, TopRight}) ok = ok && !c.lacks(q);
    if (need == Spread::BothHalves) {
        const auto none = [&](Region a, Region b) { return c.lacks(a) && c.lacks(b); };
        ok = !none(BottomLeft, TopLeft) && !none(BottomRight, TopRight) &&
             !none(BottomLeft, BottomRight) && !none(TopLeft, TopRight);
    }
    return ok || fail("no matches in " + emptyParts(c));
}

std::vector<bool> heldOut(const std::vector<MatchPair>& pairs, FrameSize frame) {
    std::array<int, kCoverageGrid * kCoverageGrid> seen{};
    std::vector<bool> out(pairs.size(), false);
    for (size_t i = 0; i < pairs.size(); ++i) {
        int& n = seen[size_t(cellOf(pairs[i].yl, frame.height) * kCoverageGrid +
                             cellOf(pairs[i].xl, frame.width))];
        out[i] = n % kHoldOutEvery == 2;
        ++n;
    }
    return out;
}

ResidualStats statsOf(const std::vector<double>& residuals) {
    ResidualStats s;
    double sq = 0;
    for (double r : residuals)
        if (std::isfinite(r)) sq += r * r, ++s.count;
    s.rms = s.count ? std::sqrt(sq / double(s.count)) : 0;
    return s;
}

std::array<ResidualStats, kRegions> residualsByRegion(const std::vector<MatchPair>& pairs,
                                                      const std::vector<double>& residuals,
                                                      FrameSize frame) {
    std::array<std::vector<double>, kRegions> in;
    for (size_t i = 0; i < pairs.size() && i < residuals.size(); ++i) {
        const MatchPair& p = pairs[i];
        in[size_t(quarterOf(p, frame))].push_back(residuals[i]);
        if (std::abs(p.xl - frame.width / 2.0) <= frame.width / 4.0 &&
            std::abs(p.yl - frame.height / 2.0) <= frame.height / 4.0)
            in[Centre].push_back(residuals[i]);
    }
    std::array<ResidualStats, kRegions> out;
    for (size_t r = 0; r < out.size(); ++r) out[r] = statsOf(in[r]);
    return out;
}

EdgeGrowth edgeGrowth(const std::vector<MatchPair>& pairs, const std::vector<double>& residuals,
                      FrameSize frame) {
    const double halfDiagonal = 0.5 * std::hypot(frame.width, frame.height);
    std::vector<double> inner, outer;
    for (size_t i = 0; i < pairs.size() && i < residuals.size(); ++i) {
        const double rho =
            std::hypot(pairs[i].xl - frame.width / 2.0, pairs[i].yl - frame.height / 2.0) /
            halfDiagonal;
        if (rho < kInner) inner.push_back(residuals[i]);
        if (rho > kOuter) outer.push_back(residuals[i]);
    }
    EdgeGrowth g{statsOf(inner), statsOf(outer), false};
    g.grows = g.inner.count >= kEdgeMatches && g.outer.count >= kEdgeMatches &&
              g.outer.rms >= 0.15 && g.outer.rms >= 1.5 * g.inner.rms;
    return g;
}

const char* confidenceName(Confidence c) {
    switch (c) {
    case Confidence::Low:
        return "low";
    case Confidence::Medium:
        return "medium";
    case Confidence::High:
        break;
    }
    return "high";
}

Verdict confidenceOf(const TrustFacts& f) {
    const std::string cells =
        std::to_string(int(std::lround(f.coverage * kCoverageGrid * kCoverageGrid))) + " of " +
        std::to_string(kCoverageGrid * kCoverageGrid);
    if (!f.limited.empty())
        return {Confidence::Low,
                "the matches allow no correction but a shift or none: " + f.limited};
    if (f.uncorrected)
        return {
            Confidence::Low,
            "no correction kept the held-out matches as good as the plate: it is left as it is"};
    if (f.heldOut < kMinHeldOut)
        return {Confidence::Low, "only " + std::to_string(f.heldOut) +
                                     " matches were held out to check the correction"};
    if (f.heldOutAfter > kLowResidual)
        return {Confidence::Low, "the held-out matches are still " + pixels(f.heldOutAfter) +
                                     " apart vertically (RMS)"};
    if (!f.narrowed.empty()) return {Confidence::Medium, f.narrowed};
    if (f.refused)
        return {Confidence::Medium, "the correction asked for made the held-out matches worse, "
                                    "so a simpler one was used"};
    if (f.coverage < 0.5)
        return {Confidence::Medium, "the matches cover only " + cells + " cells of the frame"};
    if (f.edgeGrowth)
        return {Confidence::Medium, "the residual grows towards the frame's edges, as lens "
                                    "distortion makes it"};
    if (f.heldOutAfter > kMediumResidual)
        return {Confidence::Medium,
                "the held-out matches are " + pixels(f.heldOutAfter) + " apart vertically (RMS)"};
    return {Confidence::High, "held-out matches " + pixels(f.heldOutAfter) + " apart (RMS, " +
                                  std::to_string(f.heldOut) + " matches), matches in " + cells +
                                  " cells of the frame"};
}

} // namespace Kestrel
