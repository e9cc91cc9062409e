// Key-frame control actions, and their methods on the Python module's Knob class.
#include "Kestrel/Python/KeyFrameControl.h"

#include "KeyFrameControlModule.h"

#include "Kestrel/Python/Session.h"

#include <Kx/Image/MetaKeyFrame.h>
#include <Kx/Image/Node.h>

#include <pybind11/stl.h>

#include <climits>
#include <cmath>
#include <sstream>

namespace py = pybind11;
using namespace Kx::Image;

namespace Kestrel::Python {

namespace {

std::string where(const Knob& k) {
    return (k.node() ? k.node()->name() : std::string("?")) + "." + k.name();
}

MetaKeyFrameKnob& control(Knob& k) {
    auto* c = dynamic_cast<MetaKeyFrameKnob*>(&k);
    if (!c)
        throw SessionError(where(k) +
                           " is not a key-frame control: its own keys are set with setValueAt "
                           "and removeKeyAt");
    return *c;
}

std::string frameText(double f) {
    std::ostringstream out;
    out << f;
    return out.str();
}

// The control takes frames as floats; a frame must be finite and a frame number an int holds.
float checkedFrame(const Knob& k, double frame) {
    if (!std::isfinite(frame) || frame < double(INT_MIN) || frame > double(INT_MAX))
        throw SessionError(where(k) + ": frame " + frameText(frame) +
                           " is not a frame: give a frame number such as 12");
    return float(frame);
}

} // namespace

std::optional<KeyAction> parseKeyAction(const std::string& word) {
    if (word == "add") return KeyAction::Add;
    if (word == "delete") return KeyAction::Delete;
    if (word == "next") return KeyAction::Next;
    if (word == "previous") return KeyAction::Previous;
    return std::nullopt;
}

const char* keyActionWords() {
    return "add, delete, next or previous";
}

std::vector<double> controlKeys(Knob& k) {
    std::vector<double> out;
    for (float f : control(k).keys()) out.push_back(f);
    return out;
}

std::optional<double> runKeyAction(Knob& k, KeyAction action, double frame) {
    MetaKeyFrameKnob& c = control(k);
    const float f = checkedFrame(k, frame);
    if (Node* node = c.node(); node && !node->panelOpen()) node->setPanelOpen(true);
    switch (action) {
    case KeyAction::Add:
        c.addKey(f);
        return std::nullopt;
    case KeyAction::Delete:
        c.deleteKey(f);
        return std::nullopt;
    case KeyAction::Next:
        if (auto key = c.nextKey(f)) return double(*key);
        return std::nullopt;
    case KeyAction::Previous:
        if (auto key = c.previousKey(f)) return double(*key);
        return std::nullopt;
    }
    return std::nullopt;
}

// The Knob class of the module is reached through Python: a Knob answers its node's name and
// its own, and the session finds the knob by them.
void bindKeyFrameControl(py::module_& m) {
    py::object cls = m.attr("Knob");
    auto knobOf = [](const py::object& self) -> Knob& {
        const auto node = self.attr("node")().attr("name")().cast<std::string>();
        const auto name = self.attr("name")().cast<std::string>();
        try {
            Node& n = Session::current().node(node);
            if (Knob* k = n.knob(name)) return *k;
        } catch (const SessionError& e) {
            throw py::value_error(e.what());
        }
        throw py::value_error(node + " has no knob " + name);
    };
    auto run = [knobOf](const py::object& self, KeyAction action, std::optional<double> time) {
        Knob& k = knobOf(self);
        try {
            return runKeyAction(k, action, time ? *time : Session::current().frame());
        } catch (const SessionError& e) {
            throw py::value_error(e.what());
        }
    };
    auto method = [&](const char* name, KeyAction action, const char* doc) {
        cls.attr(name) = py::cpp_function(
            [run, action](const py::object& self, std::optional<double> time) {
                return run(self, action, time);
            },
            py::name(name), py::is_method(cls), py::arg("time") = py::none(), doc);
    };
    method("addKey", KeyAction::Add,
           "a key-frame control: adds a key at the time (None: the current frame)");
    method("deleteKey", KeyAction::Delete,
           "a key-frame control: deletes the key at the time (None: the current frame)");
    method("nextKey", KeyAction::Next,
           "a key-frame control: the first key after the time (None: the current frame), or "
           "None");
    method("previousKey", KeyAction::Previous,
           "a key-frame control: the last key before the time (None: the current frame), or "
           "None");
    cls.attr("keyList") = py::cpp_function(
        [knobOf](const py::object& self) {
            try {
                return controlKeys(knobOf(self));
            } catch (const SessionError& e) {
                throw py::value_error(e.what());
            }
        },
        py::name("keyList"), py::is_method(cls), "a key-frame control: its keys, ascending");
}

} // namespace Kestrel::Python
