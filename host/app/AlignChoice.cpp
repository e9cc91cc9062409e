// kestrel align's check of the correction (Align.h says what it does and why): the matches
// held out of the fit, the corrections tried on them, the one kept, and how the kept one's
// residual spreads over the frame.
#include "AlignSteps.h"
#include "AlignerKnobs.h"
#include "Progress.h"
#include "Verbosity.h"

#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>

#include <cmath>
#include <cstdio>
#include <limits>

using namespace Kx::Image;

namespace Kestrel {

namespace {

namespace K = AlignerKnobs;

// A correction the job can set on the aligner.
struct Model {
    std::string name;
    int preset;       // the node's preset
    bool ownOptions;  // Custom with `options` as the checkboxes
    unsigned options; // the node's option bits
    int layout;       // the cameras: as the plate gives them, or solved from the matches
};

// The layout of the simple corrections: the rig's own cameras when the plate names them,
// else the pair solved from the matches (a plate without rig metadata has no other).
constexpr int kPlateLayout = -1;

const Model kAutoModels[] = {
    {"Full", K::kFull, false, 0, K::kStereoLayout},
    {"Transform", K::kTransform, false, 0, K::kStereoLayout},
    {"Keystone Only", K::kKeystoneOnly, false, 0, K::kStereoLayout},
    {"Match Camera", K::kMatchCamera, false, 0, K::kStereoLayout},
};
const Model kShift{"Shift", K::kCustom, true, 4u, kPlateLayout};
const Model kRoll{"Roll", K::kCustom, true, 0u, kPlateLayout};
constexpr const char* kNone = "None";

std::string px(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f px", v);
    return text;
}

// Sets the model's correction on the aligner, the user's --set values over it, and returns
// the options then on.
unsigned apply(AlignJob& job, const Model& m) {
    Node& aligner = *job.aligner;
    knob(aligner, K::kLayoutType)
        .setValue(m.layout != kPlateLayout ? m.layout
                  : job.rigMetadata        ? K::kSourceLayout
                                           : K::kStereoLayout);
    knob(aligner, K::kAlignmentType).setValue(m.preset);
    if (m.ownOptions)
        for (size_t b = 0; b < K::kAlignOptions.size(); ++b)
            knob(aligner, K::kAlignOptions[b]).setValue((m.options >> b) & 1u);
    // Their warnings were given when the graph was built.
    applyKnobSettings(*job.graph, job.options.settings);
    unsigned options = 0;
    for (size_t b = 0; b < K::kAlignOptions.size(); ++b)
        if (knob(aligner, K::kAlignOptions[b]).value() != 0) options |= 1u << b;
    return options;
}

// The vertical residual of each pair of a key under the correction now set; NaN where a
// position leaves what the correction maps.
std::vector<double> residuals(AlignJob& job, int key, const std::vector<MatchPair>& pairs) {
    std::vector<double> out;
    if (pairs.empty()) return out;
    const CorrectionGrid left = correctionGrid(*job.aligner, key, job.leftView);
    const CorrectionGrid right = correctionGrid(*job.aligner, key, job.rightView);
    for (const MatchPair& p : pairs) {
        const auto l = left.outputOf({p.xl, p.yl}), r = right.outputOf({p.xr, p.yr});
        out.push_back(l && r ? r->y() - l->y() : std::numeric_limits<double>::quiet_NaN());
    }
    return out;
}

ResidualStats heldOutStats(AlignJob& job, const std::map<int, std::vector<MatchPair>>& held) {
    std::vector<double> all;
    for (const auto& [key, pairs] : held) {
        const std::vector<double> r = residuals(job, key, pairs);
        all.insert(all.end(), r.begin(), r.end());
    }
    return statsOf(all);
}

} // namespace

void checkCorrection(AlignJob& job) {
    Node& aligner = *job.aligner;
    const double threshold = knob(aligner, K::kErrorThreshold).value();
    const StoredTracks all = storedTracks(aligner);

    // At each key, the pairs the solve takes (their error under the node's threshold), split
    // into those that fit and those held out; the fit's store keeps every other track.
    StoredTracks fit;
    std::map<int, std::vector<MatchPair>> usable, fitting, held;
    for (const auto& [frame, tracks] : all) {
        std::vector<StoredTrack>& kept = fit[frame];
        if (!job.keys.count(double(frame))) {
            kept = tracks;
            continue;
        }
        std::vector<size_t> which;
        for (size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].paired && !(tracks[i].error >= threshold)) {
                which.push_back(i);
                usable[frame].push_back(tracks[i].pair);
            }
        const std::vector<bool> out = heldOut(usable[frame], job.frame);
        std::vector<bool> drop(tracks.size(), false);
        for (size_t k = 0; k < which.size(); ++k) {
            (out[k] ? held : fitting)[frame].push_back(tracks[which[k]].pair);
            drop[which[k]] = out[k];
        }
        for (size_t i = 0; i < tracks.size(); ++i)
            if (!drop[i]) kept.push_back(tracks[i]);
    }
    double leastCovered = 1;
    for (double key : job.keys) {
        const Coverage c = coverageOf(usable[int(key)], job.frame);
        job.coverageBefore[int(key)] = c;
        leastCovered = std::min(leastCovered, c.share());
    }
    std::vector<double> before;
    for (const auto& [key, pairs] : held)
        for (const MatchPair& p : pairs) before.push_back(p.yr - p.yl);
    job.heldOutBefore = statsOf(before);

    std::vector<Model> ladder;
    if (job.preset == kAutoPreset)
        ladder.assign(std::begin(kAutoModels), std::end(kAutoModels));
    else
        ladder.push_back({job.options.preset, job.preset, false, 0, K::kStereoLayout});

    // A model is tried when the fitting matches of every key can carry it.
    Progress progress("Check", int(ladder.size()) + 2, progressStream());
    int done = 0;
    auto tryModel = [&](const Model& m) {
        TriedCorrection t{m.name, apply(job, m), {}, {}};
        const Spread need = spreadNeeded(t.options);
        for (double key : job.keys) {
            std::string why;
            if (!meets(coverageOf(fitting[int(key)], job.frame), need, &why)) {
                t.refused = "at frame " + std::to_string(int(key)) + ", " + why;
                break;
            }
        }
        if (t.refused.empty()) t.heldOut = heldOutStats(job, held);
        progress.update(++done);
        job.tried.push_back(t);
        return t;
    };
    storeTracks(aligner, fit);
    std::optional<TriedCorrection> best;
    std::optional<Model> chosen; // none when the views are left as they are
    for (const Model& m : ladder) {
        const TriedCorrection t = tryModel(m);
        if (t.refused.empty() && (!best || t.heldOut.rms < best->heldOut.rms)) {
            best = t;
            chosen = m;
        }
    }
    // Those the matches ruled out, grouped by why.
    std::map<std::string, std::vector<std::string>> notTried;
    for (const TriedCorrection& t : job.tried)
        if (!t.refused.empty()) notTried[t.refused].push_back(t.name);
    for (const auto& [why, names] : notTried) {
        std::string list;
        for (size_t i = 0; i < names.size(); ++i)
            list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
        job.warnings.push_back(list + (names.size() > 1 ? " were" : " was") + " not tried: " + why +
                               "; a simpler correction is used. Key frames whose "
                               "matches cover the frame, or add texture there");
    }
    if (!best)
        job.facts.limited = job.tried.front().refused;
    else if (!notTried.empty())
        job.facts.narrowed = best->name + " was used, since " + job.tried.front().name +
                             " was not tried: " + job.tried.front().refused;

    // Never worse than the plate on the held-out matches: a shift, and at last nothing.
    if (best && best->heldOut.rms > job.heldOutBefore.rms) {
        job.warnings.push_back(best->name + " made the held-out matches worse (RMS " +
                               px(best->heldOut.rms) + " against " + px(job.heldOutBefore.rms) +
                               " in the plate): a simpler correction is used");
        job.facts.refused = true;
        best.reset();
    }
    if (!best) {
        for (const Model& m : {kShift, kRoll}) {
            const TriedCorrection t = tryModel(m);
            if (t.refused.empty() && t.heldOut.rms <= job.heldOutBefore.rms) {
                best = t;
                chosen = m;
                break;
            }
        }
    }
    if (!best) {
        // Nothing kept the held-out matches as good: the views go out as they came in.
        best = TriedCorrection{kNone, 0, job.heldOutBefore, {}};
        job.tried.push_back(*best);
        job.facts.uncorrected = true;
        job.warnings.push_back("no correction kept the held-out matches as good as the plate: "
                               "the views are left as they are");
    }
    progress.finish();
    job.chosen = best->name;
    job.heldOutAfter = best->heldOut;

    // The kept correction, solved again from all the matches, and its residual over the frame.
    storeTracks(aligner, all);
    if (chosen) {
        apply(job, *chosen);
    } else {
        job.result = job.channels;
        job.write->setInput(0, job.channels);
        if (job.options.stmap) {
            Knob& channels = knob(*job.write, "channels");
            std::string text = channels.text();
            text.erase(text.find(" stitch_map"), std::string(" stitch_map").size());
            channels.setText(text);
            job.warnings.push_back("--stmap: no STMap is written, since the views are left as "
                                   "they are");
        }
    }
    std::vector<MatchPair> pairs;
    std::vector<double> after;
    for (double key : job.keys) {
        const std::vector<MatchPair>& at = usable[int(key)];
        pairs.insert(pairs.end(), at.begin(), at.end());
        if (chosen) {
            const std::vector<double> r = residuals(job, int(key), at);
            after.insert(after.end(), r.begin(), r.end());
        } else {
            for (const MatchPair& p : at) after.push_back(p.yr - p.yl);
        }
    }
    job.regions = residualsByRegion(pairs, after, job.frame);
    job.edges = edgeGrowth(pairs, after, job.frame);
    if (job.edges.grows)
        job.warnings.push_back(
            "the residual grows towards the frame's edges (RMS " + px(job.edges.outer.rms) +
            " near the edges against " + px(job.edges.inner.rms) +
            " near the centre), as lens distortion makes it: no global correction takes it out; "
            "remove the lens distortion of both views upstream (undistort) and align again");

    job.facts.heldOut = job.heldOutBefore.count;
    job.facts.heldOutAfter = job.heldOutAfter.rms;
    job.facts.coverage = leastCovered;
    job.facts.edgeGrowth = job.edges.grows;
    job.verdict = confidenceOf(job.facts);
}

} // namespace Kestrel
