// What follows a knob change. When a knob changed:
//   1. the node drops its op instances (Node::invalidate), so that none keeps an old value;
//      a knob with the NoRerender flag stays out of the ops' hashes, so what was rendered
//      before is found again in the engine's store instead of being rendered anew, while
//      any other change gives new hashes, so nothing rendered with the old value is reused;
//   2. the knob values are stored again into the node's first op at its context;
//   3. the first op's knob_changed(knob) is called when the node's panel is open, when the
//      knob has the AlwaysCallChanged flag, or when it is one of the host's knobs "showPanel"
//      (the panel opened) and "inputChange" (an input was reconnected). A change made from
//      inside a knob_changed call is passed on only when its knob has the RecursiveChanged
//      flag; otherwise steps 1 and 2 alone happen for it.
//   4. knob_changed's answer is read: non-zero means the op wants further calls for the
//      knob; 0 means it has nothing to do for it, and the host stops calling it for that knob
//      (steps 1 and 2 go on) until the panel opens again. The host's own two knobs are always
//      sent. A node whose answer for a knob depends on its state therefore answers non-zero
//      whenever a later change might concern it.
// knob_changed's answer is also handed back to whoever made the change.
// Inside a KnobChangeGroup the changes are collected, and when the outermost group ends each
// changed knob is dispatched once, in the order of its first change. Main thread only.
#pragma once

namespace Kx::Image {

class Knob;

namespace KnobChange {

// Dispatches (or collects) a change; the result is knob_changed's answer, 0 when it was not
// called.
int notify(Knob& knob);
// Steps 1 and 2 alone: drops the node's op instances and stores again.
void refresh(Knob& knob);
// True while a knob_changed call is running.
bool insideCallback();
// A knob that goes away leaves the changes still to be dispatched.
void forget(Knob& knob);

// While one exists, changes are neither stored nor dispatched (script loading stores every
// knob once at its end).
class Suspend {
public:
    Suspend();
    ~Suspend();
    Suspend(const Suspend&) = delete;
    Suspend& operator=(const Suspend&) = delete;
};

} // namespace KnobChange

class KnobChangeGroup {
public:
    KnobChangeGroup();
    ~KnobChangeGroup();
    KnobChangeGroup(const KnobChangeGroup&) = delete;
    KnobChangeGroup& operator=(const KnobChangeGroup&) = delete;
};

} // namespace Kx::Image
