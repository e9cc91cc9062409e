// How far kestrel align can trust a correction, judged from the matches alone: where in the
// frame they lie, which of them are held out of the fit to check it, how the vertical
// residual spreads over the frame, and the confidence that follows.
//
// Conventions: positions are host pixels of the plate's frame (x right, y up from the bottom
// row); a match is placed by its left view's position. A vertical residual is the right
// view's row minus the left view's after the correction, in pixels.
//
// Decisions, which no part of the node fixes:
// - The frame is cut into a grid of 4 × 4 cells; a cell counts as covered when it holds at
//   least 3 matches, so a stray match does not cover it.
// - A quadrant (a quarter of the frame) lacks matches when it holds fewer than 4, or fewer
//   than 1 in 50 of the frame's matches.
// - What a correction needs: a perspective warp or a vertical skew (which bend the frame's
//   corners) needs matches in all four quarters and at least 24 of them; a camera
//   correction, scale or rotation (which turn about the centre) needs matches in both the
//   left and the right half and in both the top and the bottom half, and at least 12; a
//   vertical shift needs 3. Fitted to matches outside those parts, a correction is not
//   measured where it acts and goes wrong there unseen.
// - Held out of the fit: in each cell, in the order Match stored them, every fifth match
//   from the third on, so the check covers the frame as the matches do and is the same on
//   every run.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace Kestrel {

// A match's left and right positions, host pixels (y up).
struct MatchPair {
    double xl, yl, xr, yr;
};

struct FrameSize {
    int width = 0, height = 0;
};

inline constexpr int kCoverageGrid = 4;
inline constexpr int kMatchesPerCell = 3;
inline constexpr int kHoldOutEvery = 5;

// Quarters of the frame and its centre (the middle half in each direction).
enum Region { BottomLeft, BottomRight, TopLeft, TopRight, Centre, kRegions };
const char* regionName(Region r); // "bottom-left", ..., "centre"

struct Coverage {
    int covered = 0; // cells of the grid with matches
    size_t matches = 0;
    std::array<size_t, 4> quarters{}; // matches per quarter, in Region order
    double share() const { return double(covered) / (kCoverageGrid * kCoverageGrid); }
    bool lacks(Region quarter) const;
};
Coverage coverageOf(const std::vector<MatchPair>& pairs, FrameSize frame);

// The parts of the frame without matches in words: "the top half", "the top-right quarter",
// "the left half and the bottom-right quarter"; empty when every quarter has matches.
std::string emptyParts(const Coverage& c);

// What a correction needs of the matches, from its options (the node's bitmask: 1 camera,
// 2 scale, 4 shift, 8 rotate, 16 perspective, 32 vertical skew).
enum class Spread { Nothing, SomeMatches, BothHalves, AllQuarters };
Spread spreadNeeded(unsigned options);
size_t matchesNeeded(Spread s);
// Whether the matches meet the need; when not, why, naming the parts of the frame they miss
// ("no matches in the top half", "only 7 matches").
bool meets(const Coverage& c, Spread need, std::string* why = nullptr);

// Which matches are held out of the fit (true) and which fit (false).
std::vector<bool> heldOut(const std::vector<MatchPair>& pairs, FrameSize frame);

struct ResidualStats {
    size_t count = 0;
    double rms = 0;
};
// The RMS of the finite residuals.
ResidualStats statsOf(const std::vector<double>& residuals);
// Per region, the residuals of the matches that lie in it (residual i belongs to pair i).
std::array<ResidualStats, kRegions> residualsByRegion(const std::vector<MatchPair>& pairs,
                                                      const std::vector<double>& residuals,
                                                      FrameSize frame);

// The residual near the frame's centre (within 0.4 of the half-diagonal) and near its edges
// (beyond 0.7). Lens distortion bends rows more the farther they lie from the centre, and
// by an amount that changes with depth, which no global correction takes out: the residual
// then grows towards the edges. `grows` when the outer RMS is at least 0.15 px and one and a
// half times the inner one, each from at least 10 matches.
struct EdgeGrowth {
    ResidualStats inner, outer;
    bool grows = false;
};
EdgeGrowth edgeGrowth(const std::vector<MatchPair>& pairs, const std::vector<double>& residuals,
                      FrameSize frame);

enum class Confidence { Low, Medium, High };
const char* confidenceName(Confidence c); // "low", "medium", "high"

// What the job found, for the confidence.
struct TrustFacts {
    std::string limited;      // why the matches ruled out every correction asked for, or empty
    std::string narrowed;     // why they ruled out some of them (the others were tried)
    bool uncorrected = false; // no correction kept the held-out matches as good as the input
    bool refused = false;     // the correction asked for made the held-out matches worse
    size_t heldOut = 0;       // held-out matches
    double heldOutAfter = 0;  // their RMS after the correction, px
    double coverage = 1;      // share of the grid covered, at the least covered key
    bool edgeGrowth = false;
};
struct Verdict {
    Confidence level = Confidence::High;
    std::string reason;
};
// Low: the matches ruled out every correction asked for, no correction helped, fewer than
// 10 held-out matches, or a held-out RMS above 1 px. Medium: the matches ruled out some of
// them, the one asked for made the held-out matches worse, less than half the grid is
// covered, the residual grows towards the edges, or a held-out RMS above 0.3 px. High
// otherwise. The reason is the first that applies.
Verdict confidenceOf(const TrustFacts& facts);

} // namespace Kestrel
