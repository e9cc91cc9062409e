// Framing: the two values that a knob change computes once, at the current frame, and stores
// in a knob; rendering only reads the knobs.
//
// computeScale ("Calculate scale"): the smallest zoom about the centre of the format that keeps
// black out of both views. Each view's data box is aligned, its four corners rounded outwards to
// whole pixels give the inner box that the aligned image still covers, and the zoom is the
// largest ratio of a format edge to the matching inner edge (at least 1), the parallax offset
// widening the left and right edges. The result goes into `scale`.
//
// computeOffset (a new fix point): the horizontal offset that keeps the disparity at the fix
// point what it was in the input. The fix point (an output position of the viewed view) goes
// back into that view's source, the input's disparity there carries it into the other view, and
// the other view's alignment and zoom give where it lands; the difference goes into `offset`
// (its sign is that of the right view). With the zoom on and not locked, the zoom is computed
// again for the new offset.
//
// Both validate the node first and read its corrections through the render engine's chains.
// They answer false, changing nothing, when the viewed view is not one of the pair or the
// inputs (or, for the offset, the disparity) are missing.
#pragma once

namespace Marrow::Research {

class VerticalAlignerPlugin;

namespace Framing {

bool computeScale(VerticalAlignerPlugin& node);
bool computeOffset(VerticalAlignerPlugin& node);

} // namespace Framing

} // namespace Marrow::Research
