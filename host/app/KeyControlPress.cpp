#include "KeyControlPress.h"

#include <Kestrel/Python/KeyFrameControl.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>

#include <climits>
#include <cmath>
#include <sstream>

namespace Kestrel {

using Python::KeyAction;
using Python::SessionError;

namespace {

std::string number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

std::string keyList(const std::vector<double>& keys) {
    if (keys.empty()) return "none";
    std::string out;
    for (double k : keys) out += (out.empty() ? "" : ", ") + number(k);
    return out;
}

} // namespace

double checkedFrameOption(double frame) {
    if (!std::isfinite(frame) || frame < double(INT_MIN) || frame > double(INT_MAX))
        throw SessionError("--frame " + number(frame) +
                           " is not a frame: give a frame number "
                           "such as 12");
    return frame;
}

void pressKeyControl(Kx::Image::Knob& control, const std::string& action,
                     std::optional<double> frame, std::ostream& out) {
    const std::string where = control.node()->name() + "." + control.name();
    if (action.empty())
        throw SessionError(where + " is a key-frame control: name its action, " +
                           Python::keyActionWords() + ", such as `kestrel press SCRIPT " + where +
                           " add --frame 12`");
    const std::optional<KeyAction> a = Python::parseKeyAction(action);
    if (!a)
        throw SessionError(where + ": \"" + action + "\" is not an action of a key-frame " +
                           "control; its actions are " + Python::keyActionWords());
    const double f = frame ? checkedFrameOption(*frame) : Python::Session::current().frame();
    // The control's buttons are on the open panel; opening it may give the node its default
    // key, which is no doing of this action.
    if (!control.node()->panelOpen()) control.node()->setPanelOpen(true);
    const std::vector<double> before = Python::controlKeys(control);
    const std::optional<double> found = Python::runKeyAction(control, *a, f);
    const std::vector<double> after = Python::controlKeys(control);
    out << where << ": ";
    switch (*a) {
    case KeyAction::Add:
    case KeyAction::Delete: {
        const bool add = *a == KeyAction::Add;
        if (before == after)
            out << (add ? "a key at frame " : "no key at frame ") << number(f)
                << (add ? " already" : " to delete");
        else
            out << (add ? "added the key at frame " : "deleted the key at frame ") << number(f);
        out << "; keys " << keyList(after) << "\n";
        break;
    }
    case KeyAction::Next:
    case KeyAction::Previous: {
        const char* side = *a == KeyAction::Next ? "after" : "before";
        if (found)
            out << (*a == KeyAction::Next ? "next" : "previous") << " key " << side << " frame "
                << number(f) << ": " << number(*found) << "\n";
        else
            out << "no key " << side << " frame " << number(f) << "\n";
        break;
    }
    }
}

} // namespace Kestrel
