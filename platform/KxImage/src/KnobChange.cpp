// Knob-change dispatch: invalidation, storing into the first op, knob_changed.
#include "Kx/Image/KnobChange.h"

#include "Kx/Image/Knob.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Op.h"

#include <algorithm>
#include <string>
#include <vector>

namespace Kx::Image {

namespace KnobChange {
void refresh(Knob& knob);
}

namespace {

struct DispatchState {
    int callbackDepth = 0;
    int groupDepth = 0;
    int suspended = 0;
    std::vector<Knob*> pending;
};

DispatchState& state() {
    static DispatchState s;
    return s;
}

int dispatch(Knob& knob) {
    Node* node = knob.node();
    if (!node || !node->firstOp()) return 0;
    DispatchState& s = state();
    KnobChange::refresh(knob);
    bool hostKnob = knob.name() == Knob::kShowPanel || knob.name() == Knob::kInputChange;
    bool call = hostKnob || node->panelOpen() || knob.flag(KnobFlag::AlwaysCallChanged);
    if (s.callbackDepth > 0 && !knob.flag(KnobFlag::RecursiveChanged)) call = false;
    if (!hostKnob && !node->wantsChangeCalls(knob)) call = false;
    if (!call) return 0;
    ++s.callbackDepth;
    int result = node->firstOp()->knob_changed(&knob);
    --s.callbackDepth;
    if (result == 0 && !hostKnob) node->declineChangeCalls(knob);
    return result;
}

} // namespace

namespace KnobChange {

int notify(Knob& knob) {
    DispatchState& s = state();
    if (s.suspended > 0) return 0;
    if (s.groupDepth > 0) {
        if (std::find(s.pending.begin(), s.pending.end(), &knob) == s.pending.end())
            s.pending.push_back(&knob);
        return 0;
    }
    return dispatch(knob);
}

void refresh(Knob& knob) {
    Node* node = knob.node();
    if (!node || !node->firstOp()) return;
    // A knob that does not alter the image keeps the op instances (and whatever holds them).
    if (knob.flag(KnobFlag::NoRerender)) {
        node->storeKnobsInEveryOp();
        return;
    }
    node->invalidate();
    node->storeKnobs();
}

bool insideCallback() {
    return state().callbackDepth > 0;
}

void forget(Knob& knob) {
    std::erase(state().pending, &knob);
}

Suspend::Suspend() {
    ++state().suspended;
}
Suspend::~Suspend() {
    --state().suspended;
}

} // namespace KnobChange

KnobChangeGroup::KnobChangeGroup() {
    ++state().groupDepth;
}

KnobChangeGroup::~KnobChangeGroup() {
    DispatchState& s = state();
    if (--s.groupDepth > 0) return;
    std::vector<Knob*> pending = std::move(s.pending);
    s.pending.clear();
    for (Knob* k : pending) dispatch(*k);
}

} // namespace Kx::Image
