// `kestrel press SCRIPT NODE.KNOB ACTION [--frame F]` on a key-frame control (such as the
// aligner's metaAnalysisKeys, "Analysis Keys"): the control's buttons from the command line.
// ACTION is add, delete, next or previous; the frame is --frame, else the script's current
// frame. What happened is written as one line: the key added or deleted and the keys now,
// or the key found.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace Kx::Image {
class Knob;
}

namespace Kestrel {

void pressKeyControl(Kx::Image::Knob& control, const std::string& action,
                     std::optional<double> frame, std::ostream& out);

// The value of --frame checked: a finite frame number, else an error naming the option.
double checkedFrameOption(double frame);

} // namespace Kestrel
