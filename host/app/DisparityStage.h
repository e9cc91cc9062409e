// The disparity stage of kestrel align: the local correction and the parallax fix point read
// the disparity of the plate, which most plates do not carry. When the job needs it and the
// plate has none, a Q_DisparityGenerator (a plug-in, loaded from the plug-in folder) is put
// between the plate and the aligner, reading the job's two views.
//
// Decisions: --local always measures the disparity afresh, since the local correction is only
// as good as the disparity it reads and a plate's own may come from another rig state;
// --disparity and --fix-point use the plate's disparity when it carries both pairs
// (disparityL and disparityR) and measure it only when it does not.
#pragma once

#include "Align.h"

#include <Kx/Image/Node.h>
#include <Kx/Image/Script.h>

namespace Kestrel {

// Adds the disparity generator after the plate when the options need it (see above) and
// returns the node the aligner should read: the generator, or the plate as it was. Checks
// that the fix point, when there is one, lies inside the plate's frame. Throws
// std::runtime_error with the message for the user.
Kx::Image::Node* addDisparityStage(Kx::Image::Graph& graph, Kx::Image::Node* plate,
                                   const AlignOptions& o, int leftView, int rightView,
                                   double frame);

} // namespace Kestrel
