// kestrel align: a stereo plate in, both views aligned out, in one command.
//
// The plate is a multi-view OpenEXR (one file or a sequence), or a left and a right file or
// sequence of any format the Read node reads, or, with --demo, the host's synthetic stereo
// plate with a known misalignment of its right camera. The job builds the graph (Read, or two
// Reads joined by JoinViews; the aligner; a Write), keys the frame range every N frames,
// matches the views at the keys, renders both aligned views, saves the script beside the
// output so that the artist can open and adjust it, and reports what it did: matches per key
// and the vertical disparity of the matches before and after the alignment.
//
// The job runs as a pipeline of steps (AlignSteps.h): options, plate, graph, analysis,
// render, measure, report. Everything that can be checked without matching the views is
// checked by the first three, before any work: the options and the file types and folders
// of every output, the plate's files, frames and views, and the views' sizes; so a bad input
// fails in a moment, names the file or option, and leaves nothing behind.
//
// The correction is checked before it is used (AlignCheck.h): at each key a fifth of the
// matches, spread as the matches are, are held out of the fit, and every correction tried is
// measured on them, through the node's own STMap. With --preset auto (the default) the job
// tries "Full", "Transform", "Keystone Only" and "Match Camera" and keeps the one whose
// held-out residual is least. A correction the matches cannot carry (too few, or none in a
// part of the frame it bends) is not tried, and a warning names the part of the frame; one
// whose held-out residual is worse than the plate's own is not kept. The job then falls back
// to a vertical shift with the cameras' roll ("Shift"), to the cameras' roll alone ("Roll"),
// and at last to no correction ("None": the Write takes the plate as it is), so the output
// is never worse than the input on the held-out matches. The correction chosen is then
// solved again from all the matches, which the saved script keeps.
//
// Decisions: a plate whose views are not rig cameras named by rig metadata is aligned with
// the "Stereo Layout" (the pair's relative pose solved from the matches), in "Rectilinear"
// space. "Shift" and "Roll" take the rig's own cameras when the plate names them. A key with
// fewer than three matches stops the job with a message, since not even a shift can be
// solved there.
#pragma once

#include "AlignCheck.h"
#include "KnobSettings.h"

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Kestrel {

struct AlignOptions {
    // Plate files or patterns. With right empty: one multi-view plate, or one pattern with
    // %V (or %v) that names the files of both views.
    std::string left, right;
    bool demo = false;           // the synthetic plate instead of files
    std::string output;          // image path or pattern (%V: one file per view)
    std::string report;          // JSON report path (optional)
    std::string contactSheet;    // PNG of anaglyphs before and after (optional)
    std::string preset = "auto"; // a preset of the node, or auto: chosen by held-out residual
    bool strict = false;         // low confidence fails the job (exit status 3)
    std::string space = "Rectilinear";
    std::string views; // "left,right": the two views of a multi-view plate
    std::string filter = "Lanczos6";
    std::string frames; // farm list; default: every frame of the plate
    int keyStep = 10;
    bool zoom = false; // zoom to prevent black in frame
    std::optional<std::pair<float, float>> fixPoint;
    bool disparity = false;              // write the aligned disparity too
    bool local = false;                  // measure the disparity and correct with it locally too
    bool stmap = false;                  // write the STMap of the correction too (stitch_map.u, .v)
    bool analyseOnly = false;            // analyse and save the script, render nothing
    std::string script;                  // the saved script (default: aligned.kscript beside
                                         // the output; a bare name goes beside the output)
    std::string missingFrames = "error"; // error, black or hold
    std::string datatype;                // OpenEXR colour: half or float (default half)
    std::string compression;             // OpenEXR or TIFF compression (default: the Write's)
    bool overscan = false;               // keep the data window beyond the format
    std::string exportCorrection;        // JSON of the correction per view and frame (optional)
    std::vector<KnobSetting> settings;   // --set values, applied to the built graph
};

// Runs the job, printing the report to out, and returns its confidence; throws UsageError for
// a bad option value and std::runtime_error for a bad input or a failed step, with one
// message that says what to do. Nothing is left half-written.
Confidence runAlign(const AlignOptions& options, std::ostream& out);

} // namespace Kestrel
