// The undo stack: steps of knob script texts from before and after.
#include "Kx/Image/Undo.h"

#include "Kx/Image/Knob.h"
#include "Kx/Image/KnobChange.h"

#include <algorithm>
#include <vector>

namespace Kx::Image::Undo {

namespace {

struct Entry {
    Knob* knob;
    std::string before, after;
};

struct Step {
    std::string label;
    std::vector<Entry> entries;
};

struct Stack {
    std::vector<Step> done, undone;
    Step open;
    int depth = 0;
    int suspended = 0;
};

Stack& stack() {
    static Stack s;
    return s;
}

// Reads every knob of a step back from one of its texts, last knob first for undo. The
// step already holds what knob_changed did in reaction, so knob_changed is not called.
void replay(Step& step, bool backwards) {
    {
        Suspend quiet;
        KnobChange::Suspend noDispatch;
        if (backwards) {
            for (auto it = step.entries.rbegin(); it != step.entries.rend(); ++it)
                it->knob->from_script(it->before.c_str());
        } else {
            for (Entry& e : step.entries) e.knob->from_script(e.after.c_str());
        }
    }
    for (Entry& e : step.entries) KnobChange::refresh(*e.knob);
}

} // namespace

void begin(const std::string& label) {
    Stack& s = stack();
    if (s.depth++ == 0) s.open = Step{label, {}};
}

void record(Knob& knob) {
    Stack& s = stack();
    if (s.depth == 0) return;
    for (const Entry& e : s.open.entries)
        if (e.knob == &knob) return;
    s.open.entries.push_back(Entry{&knob, knob.scriptText(false), {}});
}

void end() {
    Stack& s = stack();
    if (s.depth == 0 || --s.depth > 0) return;
    bool changed = false;
    for (Entry& e : s.open.entries) {
        e.after = e.knob->scriptText(false);
        changed = changed || e.after != e.before;
    }
    if (changed) {
        s.done.push_back(std::move(s.open));
        s.undone.clear();
    }
    s.open = Step{};
}

bool undo() {
    Stack& s = stack();
    if (s.done.empty() || s.depth > 0) return false;
    Step step = std::move(s.done.back());
    s.done.pop_back();
    replay(step, true);
    s.undone.push_back(std::move(step));
    return true;
}

bool redo() {
    Stack& s = stack();
    if (s.undone.empty() || s.depth > 0) return false;
    Step step = std::move(s.undone.back());
    s.undone.pop_back();
    replay(step, false);
    s.done.push_back(std::move(step));
    return true;
}

size_t undoCount() {
    return stack().done.size();
}
size_t redoCount() {
    return stack().undone.size();
}

std::string undoLabel() {
    Stack& s = stack();
    return s.done.empty() ? std::string() : s.done.back().label;
}

void clear() {
    Stack& s = stack();
    s.done.clear();
    s.undone.clear();
}

bool recording() {
    return stack().suspended == 0;
}

void forget(Knob& knob) {
    Stack& s = stack();
    auto drop = [&](Step& step) {
        std::erase_if(step.entries, [&](const Entry& e) { return e.knob == &knob; });
    };
    drop(s.open);
    for (Step& step : s.done) drop(step);
    for (Step& step : s.undone) drop(step);
    std::erase_if(s.done, [](const Step& step) { return step.entries.empty(); });
    std::erase_if(s.undone, [](const Step& step) { return step.entries.empty(); });
}

Suspend::Suspend() {
    ++stack().suspended;
}
Suspend::~Suspend() {
    --stack().suspended;
}

} // namespace Kx::Image::Undo
