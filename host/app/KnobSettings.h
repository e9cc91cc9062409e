// --set NODE.KNOB=VALUE: knob values given on the command line, applied to a script's graph
// after it is loaded (or to the graph kestrel align builds) and before any work, so that a
// user changes a knob for one run without editing the script.
//
// VALUE is what the script file would hold for the knob: a number, several numbers separated
// by spaces for a knob of several components ("0.5 0.25"), text for a text knob. An
// enumeration also takes the name of its item, in any case ("--set Aligner.filter=cubic").
// Settings apply in the order given, so a later one wins.
#pragma once

#include <Kx/Image/Script.h>

#include <string>
#include <vector>

namespace Kestrel {

struct KnobSetting {
    std::string node, knob, value;
    std::string text; // as given, for messages
};

// Parses one "NODE.KNOB=VALUE"; throws UsageError showing the accepted form.
KnobSetting parseKnobSetting(const std::string& text);

// Applies the settings to the graph's nodes. Throws UsageError naming the setting and what to
// do when the node or the knob does not exist or the value does not fit the knob (for an
// enumeration, listing its items). Returns a warning for each number that a knob clamps into
// its range, naming the setting and the value it took.
std::vector<std::string> applyKnobSettings(Kx::Image::Graph& graph,
                                           const std::vector<KnobSetting>& settings);

} // namespace Kestrel
