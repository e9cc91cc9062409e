// Undo: the host's stack of undo steps. A step holds, for every knob it touched, the knob's
// script text from before and after the step; undoing a step reads each knob back from its
// text of before (Knob::from_script), redoing from its text of after. Knob edits made
// through the knob's own operations record themselves (unless the knob has the NoUndo flag);
// the edits made between begin() and the matching end(), including those that knob_changed
// makes in reaction, form one step. A step in which no knob's text changed is dropped.
// Undo and redo do not call knob_changed, since the step holds what it did; the nodes are
// invalidated and their knob values stored again.
// Main thread only.
#pragma once

#include <cstddef>
#include <string>

namespace Kx::Image {

class Knob;

namespace Undo {

// Opens a step (or joins the one already open); steps nest.
void begin(const std::string& label);
// Adds a knob to the open step, taking its text of before when it is new to the step.
void record(Knob& knob);
// Closes the step when the outermost begin() ends; it goes on the stack when a text changed,
// and the redo list is emptied.
void end();

bool undo();
bool redo();
size_t undoCount();
size_t redoCount();
// The label of the step that undo() would undo ("" when there is none).
std::string undoLabel();
void clear();

// True when edits are recorded now (not while undoing, redoing or loading a script).
bool recording();
// A knob that goes away leaves every step.
void forget(Knob& knob);

// While one exists, nothing is recorded.
class Suspend {
public:
    Suspend();
    ~Suspend();
    Suspend(const Suspend&) = delete;
    Suspend& operator=(const Suspend&) = delete;
};

} // namespace Undo

} // namespace Kx::Image
