// kestrel view: what the viewer shows of a node, as a PNG: the node's output at a frame and
// a view with the overlays the node draws when its panel is open (for the aligner, its
// stored matches and the fix point), at a proxy scale.
//
// Viewer events may be applied before the snapshot, in order, each on the viewer as drawn
// after the one before: a click or a box selection at full-size image positions, a key
// press, and a drag of the fix point to a position. With --save the script is written
// afterwards, so that a deletion of matches or a new fix point (and the offset the node
// computed for it) persist.
//
// The image is rendered at full size and reduced to the proxy size by averaging, while the
// node draws at the proxy context as a viewer at that scale asks it to; so a proxy snapshot
// shows the full-size pixels, and the overlays are where the node puts them at that proxy.
#pragma once

#include "KnobSettings.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace Kestrel {

// One viewer event; positions are full-size image pixels, x right, y up.
struct ViewerEvent {
    enum class Kind { Click, AddClick, Box, Key, DragFixPoint };
    Kind kind = Kind::Click;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int key = 0;
    std::string text; // as given, for messages
};

// Parses one event: "click X,Y", "shift-click X,Y" (adds to the selection),
// "box X0,Y0,X1,Y1", "key Delete|Backspace|Escape", "drag-fix-point X,Y". Throws
// std::runtime_error with the accepted forms when the text is none of them.
ViewerEvent parseViewerEvent(const std::string& text);

struct ViewOptions {
    std::string script;
    std::string node;
    std::string output;          // the PNG
    std::optional<double> frame; // default: the script's first frame
    std::string view;            // default: the script's first view
    double proxy = 1.0;          // 0 < proxy <= 1
    bool overlays = true;
    std::vector<std::string> events;
    std::string save;                  // the script after the events (empty: not saved)
    std::vector<KnobSetting> settings; // --set values, applied after the script is loaded
};

// Runs the snapshot, printing what each event did to out; throws std::runtime_error with
// one message that says what to do when an option or the script is bad. The PNG and the
// script are written whole or not at all.
void runView(const ViewOptions& options, std::ostream& out);

} // namespace Kestrel
