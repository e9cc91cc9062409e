// The subcommands that run a whole job from options: align and view.
#include "Align.h"
#include "AlignerKnobs.h"
#include "Commands.h"
#include "UsageError.h"
#include "View.h"

#include <Kx/Image/Filter.h>

#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

using namespace Kx::Image;

namespace Kestrel {

namespace {

// "A, B or C" for a help text.
template <class Items> std::string choices(const Items& items) {
    std::vector<std::string> names(items.begin(), items.end());
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text;
}

std::pair<float, float> parseFixPoint(const std::string& text) {
    float x = 0, y = 0;
    char comma = 0;
    std::istringstream in(text);
    if (!(in >> x >> comma >> y) || comma != ',' || !(in >> std::ws).eof())
        throw UsageError("--fix-point \"" + text + "\" is not x,y in pixels, such as 960,540");
    return {x, y};
}

} // namespace

Command alignCommand(CLI::App& app, const GlobalOptions& g) {
    struct Args {
        AlignOptions align;
        std::string plate, right, fixPoint;
    };
    auto a = std::make_shared<Args>();
    AlignOptions& o = a->align;
    CLI::App* cmd = app.add_subcommand(
        "align", "Align the two views of a stereo plate: kestrel align PLATE [RIGHT] -o OUTPUT");
    cmd->add_option("PLATE", a->plate,
                    "A multi-view plate, the left plate, or one pattern with %V for the view "
                    "(a file, or a sequence with #### or %04d)")
        ->type_name("");
    cmd->add_option("RIGHT", a->right, "The right plate, when PLATE is the left")->type_name("");
    cmd->add_flag("--demo", o.demo, "Align the built-in synthetic plate with a known misalignment");
    cmd->add_option("-o,--output", o.output,
                    "Output image or sequence (.exr, .png, .jpg, .tif, .dpx); %V writes one file "
                    "per view, which every format but OpenEXR needs")
        ->required();
    cmd->add_option("--report", o.report, "Also write the report as JSON here");
    cmd->add_option("--export-correction", o.exportCorrection,
                    "Also write the correction per view and frame as JSON: homographies for "
                    "OpenCV's warpPerspective and corner pins");
    cmd->add_option("--contact-sheet", o.contactSheet,
                    "Write a PNG of red/cyan anaglyphs before and after, captioned with "
                    "each frame and view");
    cmd->add_option("--preset", o.preset,
                    "auto (the default: the preset whose correction best fits matches held out "
                    "of its fit), " +
                        choices(AlignerKnobs::kPresets) + "; any case");
    cmd->add_flag("--strict", o.strict,
                  "Fail with exit status 3 when the report's confidence is low (the job still "
                  "writes its output and report)");
    cmd->add_option("--space", o.space,
                    choices(AlignerKnobs::kSpaces) +
                        " (default Rectilinear; any case); Spherical needs rig metadata");
    cmd->add_option("--views", o.views,
                    "The two views, left first: of a multi-view plate, or the names %V stands "
                    "for (default left,right)");
    cmd->add_option("--filter", o.filter,
                    "Resampling filter: " + choices(Filter::names()) +
                        " (default Lanczos6; any case)");
    cmd->add_option("--frames", o.frames, "Frames to align: 1-100, 1-3,5,7-20x2");
    cmd->add_option("--key-step", o.keyStep, "Frames between analysis keys (default 10)");
    cmd->add_flag("--zoom", o.zoom, "Zoom both views to keep black out of frame");
    cmd->add_option("--fix-point", a->fixPoint,
                    "Keep the input parallax at this output point: x,y in pixels, y up");
    cmd->add_flag("--disparity", o.disparity, "Also write the aligned disparity (OpenEXR only)");
    cmd->add_flag("--local", o.local, "Also correct locally, with measured disparity");
    cmd->add_flag("--stmap", o.stmap,
                  "Also write the STMap of the correction (stitch_map.u, stitch_map.v; OpenEXR "
                  "only)");
    cmd->add_flag("--analyse-only", o.analyseOnly,
                  "Analyse the whole range and save the script, render nothing: render chunks "
                  "of it later with kestrel render SCRIPT --frames A-B");
    cmd->add_option("--script", o.script,
                    "The saved script's name (default aligned.kscript beside the output)");
    cmd->add_option("--datatype", o.datatype,
                    "OpenEXR colour: half (default) or float; data channels are always 32-bit "
                    "float");
    cmd->add_option("--compression", o.compression,
                    "OpenEXR: none, rle, zips, zip (default), piz, pxr24, b44, b44a, dwaa, dwab; "
                    "TIFF: none, lzw, zip");
    cmd->add_flag("--overscan", o.overscan,
                  "Keep the data window beyond the frame (default: crop to the format)");
    addSetOption(*cmd, o.settings);
    return {cmd,
            [a, &g] {
                AlignOptions& o = a->align;
                o.left = a->plate;
                o.right = a->right;
                if (!a->fixPoint.empty()) o.fixPoint = parseFixPoint(a->fixPoint);
                o.missingFrames = g.missingFrames.empty() ? "error" : g.missingFrames;
                const Confidence c = runAlign(o, std::cout);
                return o.strict && c == Confidence::Low ? kExitLowConfidence : 0;
            },
            false};
}

Command viewCommand(CLI::App& app, const GlobalOptions&) {
    struct Args {
        ViewOptions view;
        double frame = 0;
        bool noOverlays = false;
    };
    auto a = std::make_shared<Args>();
    ViewOptions& o = a->view;
    CLI::App* cmd = app.add_subcommand(
        "view", "Write what the viewer shows of a node, overlays included, as a PNG");
    cmd->add_option("SCRIPT", o.script, "The script file")->required();
    cmd->add_option("NODE", o.node, "The node to view")->required();
    cmd->add_option("-o,--output", o.output, "The PNG to write")->required();
    auto* frame = cmd->add_option("--frame", a->frame, "The frame (default: the script's first)");
    cmd->add_option("--view", o.view, "The view (default: the script's first)");
    cmd->add_option("--proxy", o.proxy, "Proxy scale, above 0 and at most 1");
    cmd->add_flag("--no-overlays", a->noOverlays, "The image alone, without the node's overlays");
    cmd->add_option("--event", o.events,
                    "A viewer event applied before the snapshot, in order: \"click X,Y\", "
                    "\"shift-click X,Y\", \"box X0,Y0,X1,Y1\", \"key Delete\" (or Backspace, "
                    "Escape), \"drag-fix-point X,Y\"; positions in full-size pixels")
        ->allow_extra_args(false);
    cmd->add_option("--save", o.save, "Save the script here after the events");
    addSetOption(*cmd, o.settings);
    return {cmd, [a, frame] {
                if (frame->count() > 0) a->view.frame = a->frame;
                a->view.overlays = !a->noOverlays;
                runView(a->view, std::cout);
                return 0;
            }};
}

} // namespace Kestrel
