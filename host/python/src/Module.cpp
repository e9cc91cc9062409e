// The `kestrel` Python module: the session's graph, knobs, runs and pixels. The same
// definition serves the module built into the kestrel program and the extension of python3;
// each bound class and each group of functions has its binding function below.
#include "Kestrel/Python/Interpreter.h"
#include "Kestrel/Python/Session.h"
#include "KeyFrameControlModule.h"
#include "RunCode.h"
#include "nodes/Camera.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/IOError.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/KnobChange.h>
#include <Kx/Image/Plugins.h>
#include <Kx/Image/Question.h>

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <sstream>

namespace py = pybind11;
using namespace Kx::Image;

namespace Kestrel::Python {
namespace {

Session& session() {
    return Session::current();
}

// What help(kestrel) opens with: how to reach the module and the conventions of every call.
constexpr const char* kModuleDoc =
    R"(The kestrel host from Python: its node graph, knobs, renders and pixels.

Inside the kestrel program (kestrel python, and the Python of node buttons) the module is built
in. From Debian's python3 it is the extension build/python/kestrel*.so: run python3 with
PYTHONPATH=build/python; importing it loads the plug-ins of build/plugins.

Conventions of every call:
- Views are host view numbers counted from 1 (kestrel.views()[0] is view 1) or view names
  ("left"); 0 means the values every view shares, and -1, where a call takes it, every view.
  A view that does not exist is an error. splitView and unsplitView take the view number
  minus one.
- Knob components ("index") count from 0; -1 means every component.
- time None means the current frame (kestrel.frame()).
- Pixels are float32 arrays; the host's rows count from the bottom (pixels() takes
  origin="top" for the order of image files).
- Every failure raises ValueError, TypeError, IndexError or AttributeError whose message names
  the node and knob and says what to do; a failing call changes nothing. A number set outside
  a clamped knob's range is clamped into it, with a UserWarning.

Classes: Node, Knob, Animation. kestrel.nodes.CLASS(knob=value, ...) creates a node of any
class with its knobs set.)";

// ---- nodes ----

class PyNode {
public:
    explicit PyNode(std::shared_ptr<NodeHandle> h) : _h(std::move(h)) {}

    Node& node() const {
        if (!_h || !_h->node) throw py::value_error("this node was deleted");
        return *_h->node;
    }
    bool sameAs(const PyNode& o) const { return &node() == &o.node(); }
    const std::shared_ptr<NodeHandle>& handle() const { return _h; }

private:
    std::shared_ptr<NodeHandle> _h;
};

PyNode wrap(Node& n) {
    return PyNode(session().handle(&n));
}

py::object wrapOrNone(Node* n) {
    return n ? py::cast(wrap(*n)) : py::none();
}

Node& nodeArg(const py::object& o, const char* what) {
    if (py::isinstance<PyNode>(o)) return o.cast<PyNode&>().node();
    if (py::isinstance<py::str>(o)) {
        try {
            return session().node(o.cast<std::string>());
        } catch (const SessionError& e) {
            throw py::value_error(e.what());
        }
    }
    throw py::type_error(std::string(what) + " must be a node or a node name");
}

Iop& imageOf(Node& node, int view) {
    session().freshOps();
    Iop* op = node.iop(session().context(view));
    if (!op)
        throw py::value_error(node.name() + " (" + node.Class() +
                              ") makes no image: give it an image node");
    op->validate(true);
    if (op->hasError()) throw py::value_error(node.name() + ": " + op->errorMessage());
    return *op;
}

// ---- knobs ----

class PyKnob {
public:
    PyKnob(PyNode node, std::string name) : _node(std::move(node)), _name(std::move(name)) {}

    Knob& knob() const {
        Knob* k = _node.node().knob(_name);
        if (!k) throw py::value_error(_node.node().name() + " has no knob " + _name);
        return *k;
    }
    std::string where() const { return _node.node().name() + "." + _name; }
    const PyNode& node() const { return _node; }

    void checkComponent(int index) const {
        Knob& k = knob();
        if (!k.holdsNumbers())
            throw py::type_error(where() + " holds text, not numbers: use value() or "
                                           "setValue(text)");
        if (index < -1 || index >= k.components())
            throw py::index_error(where() + " has " + std::to_string(k.components()) +
                                  " component(s); index " + std::to_string(index) +
                                  " is out of range");
    }
    static void checkView(const std::string& where, int view) {
        if (view < -1 || view >= OutputContext::viewcount())
            throw py::index_error(where + ": view " + std::to_string(view) +
                                  " is not a view (views count from 1 to " +
                                  std::to_string(OutputContext::viewcount() - 1) +
                                  "; 0 for the shared values)");
    }
    double time(std::optional<double> t) const { return t ? *t : session().frame(); }

private:
    PyNode _node;
    std::string _name;
};

// A view given by number (1 up; 0 for the values every view shares, -1 for all views where a
// call takes it) or by name ("left"); a view that does not exist is an error naming the views.
int viewNumber(const py::object& view, const std::string& where) {
    if (py::isinstance<py::str>(view)) {
        const std::string name = view.cast<std::string>();
        const int number = OutputContext::lookup_view(name);
        if (number > 0) return number;
        std::string names;
        for (const auto& n : OutputContext::views()) names += (names.empty() ? "" : ", ") + n;
        throw py::value_error(where + ": there is no view \"" + name + "\"; the views are " +
                              names);
    }
    if (!py::isinstance<py::int_>(view))
        throw py::type_error(where + ": give a view by name (\"left\") or number (1 up)");
    const int number = view.cast<int>();
    PyKnob::checkView(where, number);
    return number;
}

bool isTextKnob(const Knob& k) {
    return k.storage() == KnobStorage::String;
}

py::object knobValue(const PyKnob& pk, int index, int view, std::optional<double> time) {
    Knob& k = pk.knob();
    if (isTextKnob(k) || !k.holdsNumbers()) return py::str(k.text());
    pk.checkComponent(index);
    PyKnob::checkView(pk.where(), view);
    return py::float_(k.value(std::max(index, 0), std::max(view, 0), pk.time(time)));
}

// "\"Linear\", \"Lanczos6\"" for messages.
std::string quotedItems(const std::vector<std::string>& items) {
    std::string names;
    for (const auto& i : items) names += (names.empty() ? "\"" : ", \"") + i + "\"";
    return names;
}

// A number for a numeric knob: an enumeration takes the number of one of its items only; a
// number outside a clamped knob's range is clamped by the knob, and the user is warned.
void checkNumber(const PyKnob& pk, double v) {
    const Knob& k = pk.knob();
    const auto& items = k.items();
    if (!items.empty()) {
        if (v != std::floor(v) || v < 0 || v >= double(items.size()))
            throw py::value_error(pk.where() + " has no item " + formatNumber(v) + ": use one of " +
                                  quotedItems(items) + " or its number (0 to " +
                                  std::to_string(items.size() - 1) + ")");
        return;
    }
    if (!std::isfinite(v))
        throw py::value_error(pk.where() + " takes finite numbers, not " + formatNumber(v));
    if (const std::string notice = k.clampNotice(v); !notice.empty()) {
        const std::string message = pk.where() + ": " + notice;
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
    }
}

void setKnobValue(const PyKnob& pk, const py::object& value, int index, std::optional<double> time,
                  int view) {
    Knob& k = pk.knob();
    if (isTextKnob(k)) {
        if (!py::isinstance<py::str>(value))
            throw py::type_error(pk.where() + " holds text: give it a string");
        k.setText(value.cast<std::string>());
        return;
    }
    pk.checkComponent(index);
    PyKnob::checkView(pk.where(), view);
    if (py::isinstance<py::str>(value)) {
        std::string text = value.cast<std::string>();
        const auto& items = k.items();
        auto it = std::find(items.begin(), items.end(), text);
        if (it == items.end())
            throw py::value_error(
                items.empty() ? pk.where() + " holds numbers and has no items: give it a number"
                              : pk.where() + " has no item \"" + text + "\": use one of " +
                                    quotedItems(items) + " or its number");
        k.setValue(double(it - items.begin()), index, view);
        return;
    }
    double v = 0;
    try {
        v = value.cast<double>();
    } catch (const py::cast_error&) {
        throw py::type_error(pk.where() + " holds numbers: give it a number, not " +
                             std::string(py::str(value.get_type().attr("__name__"))));
    }
    checkNumber(pk, v);
    if (time && k.isAnimated(index, std::max(view, 0)))
        k.setValueAt(v, *time, index, view);
    else
        k.setValue(v, index, view);
}

// One component's animation of one view, as a value.
struct PyAnimation {
    Curve curve;
    std::vector<std::pair<double, double>> keys() const {
        std::vector<std::pair<double, double>> k;
        for (const Key& key : curve.keys) k.emplace_back(key.time, key.value);
        return k;
    }
};

void copyAnimation(const PyKnob& pk, int index, const PyAnimation& a, int view) {
    pk.checkComponent(index);
    PyKnob::checkView(pk.where(), view);
    Knob& k = pk.knob();
    if (a.curve.animated && k.flag(KnobFlag::NoAnimation))
        throw py::value_error(pk.where() + " cannot be animated: copy a constant into it");
    KnobChangeGroup group;
    k.clearAnimation(index, view);
    if (!a.curve.animated) {
        k.setValue(a.curve.constant, index, view);
        return;
    }
    k.setAnimated(index, view);
    for (const Key& key : a.curve.keys)
        k.setValueAt(key.value, key.time, index, view, key.interpolation);
}

// Runs a session call, turning its failures into Python exceptions.
template <class F> auto guarded(F f) -> decltype(f()) {
    try {
        return f();
    } catch (const SessionError& e) {
        throw py::value_error(e.what());
    } catch (const Kestrel::IO::IOError& e) {
        throw py::value_error(e.what());
    }
}

std::vector<double> framesArg(const py::object& frames) {
    if (py::isinstance<py::str>(frames))
        return guarded([&] {
            std::vector<double> out;
            for (int f : Kestrel::IO::parseFrameList(frames.cast<std::string>())) out.push_back(f);
            return out;
        });
    return frames.cast<std::vector<double>>();
}

std::vector<double> frameRange(double first, double last) {
    if (last < first)
        throw py::value_error("the frame range " + std::to_string(int(first)) + "-" +
                              std::to_string(int(last)) + " ends before it starts");
    std::vector<double> frames;
    for (double f = first; f <= last; f += 1) frames.push_back(f);
    return frames;
}

// Pixels of a node at the current frame: (channels, height, width), rows bottom-up.
py::array_t<float> pixels(Node& node, int view, const std::vector<std::string>& names) {
    Iop& op = imageOf(node, view);
    ChannelSet channels;
    std::vector<Channel> order;
    if (names.empty()) {
        channels = op.channels();
        for (Channel z : channels) order.push_back(z);
    } else {
        for (const std::string& n : names) {
            Channel z = findChannel(n);
            if (z == Chan_Black || !op.channels().contains(z))
                throw py::value_error(node.name() + " has no channel \"" + n +
                                      "\": kestrel.channels(node) lists its channels");
            channels.insert(z);
            order.push_back(z);
        }
    }
    const Format& f = op.format();
    const int w = f.width(), h = f.height();
    py::array_t<float> out({size_t(order.size()), size_t(h), size_t(w)});
    float* data = out.mutable_data();
    bool ok;
    {
        py::gil_scoped_release release;
        ok = Engine::renderRows(op, Box(0, 0, w, h), channels, [&](int y, const Row& row) {
            for (size_t c = 0; c < order.size(); ++c) {
                const float* src = row[order[c]];
                std::copy(src, src + w, data + (c * size_t(h) + size_t(y)) * size_t(w));
            }
        });
    }
    if (!ok)
        throw py::value_error(node.name() + ": rendering failed" +
                              (op.hasError() ? ": " + op.errorMessage() : " (interrupted)"));
    return out;
}

// ---- the bound classes and functions, one binding function each ----

void bindAnimation(py::module_& m) {
    py::class_<PyAnimation>(m, "Animation",
                            "One component's animation of one view, as a value: "
                            "Knob.animation() gives it, Knob.copyAnimation() sets it.")
        .def(
            "isAnimated", [](const PyAnimation& a) { return a.curve.animated; },
            "True when the value changes over time through keys")
        .def(
            "constant", [](const PyAnimation& a) { return a.curve.constant; },
            "the value when not animated")
        .def("keys", &PyAnimation::keys, "(time, value) of every key, by time")
        .def(
            "evaluate", [](const PyAnimation& a, double t) { return a.curve.evaluate(t); },
            py::arg("time"), "the value at a time, between keys as the keys interpolate");
}

void bindKnob(py::module_& m) {
    py::class_<PyKnob>(m, "Knob",
                       "A knob of a node: node['name'] or node.knob('name'). Values are read "
                       "and set per component (index, from 0; -1 every component), view "
                       "(number or name; 0 the shared values, -1 every view) and time (None: "
                       "the current frame).")
        .def(
            "name", [](const PyKnob& k) { return k.knob().name(); },
            "the knob's script name, such as \"keyStep\"")
        .def(
            "label", [](const PyKnob& k) { return k.knob().label(); },
            "the knob's label on the node's panel")
        .def(
            "kind", [](const PyKnob& k) { return knobKindName(k.knob().kind()); },
            "the kind of the knob in words: \"float\", \"enumeration\", \"script button\", ...")
        .def(
            "node", [](const PyKnob& k) { return k.node(); }, "the node the knob belongs to")
        .def(
            "components", [](const PyKnob& k) { return k.knob().components(); },
            "how many numbers the knob holds (2 for an xy knob)")
        .def(
            "value",
            [](const PyKnob& k, int index, const py::object& view, std::optional<double> time) {
                return knobValue(k, index, viewNumber(view, k.where()), time);
            },
            py::arg("index") = 0, py::arg("view") = 0, py::arg("time") = py::none(),
            "the value of one component at a view and time; a text knob's text. An "
            "enumeration gives its item's number: valueName() gives the item")
        .def(
            "getValue",
            [](const PyKnob& k, int index, const py::object& view, std::optional<double> time) {
                return knobValue(k, index, viewNumber(view, k.where()), time);
            },
            py::arg("index") = 0, py::arg("view") = 0, py::arg("time") = py::none(),
            "the same as value()")
        .def(
            "setValue",
            [](const PyKnob& k, const py::object& v, int index, std::optional<double> time,
               const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                setKnobValue(k, v, index, time, view);
            },
            py::arg("value"), py::arg("index") = -1, py::arg("time") = py::none(),
            py::arg("view") = -1,
            "sets a number, an enumeration's item (by name or number) or a text knob's text. "
            "An animated component gets a key at time (the current frame when None). A number "
            "outside a clamped knob's range is clamped, with a UserWarning")
        .def(
            "setValueAt",
            [](const PyKnob& k, double v, double time, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                k.checkComponent(index);
                PyKnob::checkView(k.where(), view);
                if (k.knob().flag(KnobFlag::NoAnimation))
                    throw py::value_error(k.where() + " cannot be animated: use setValue");
                checkNumber(k, v);
                k.knob().setValueAt(v, time, index, view);
            },
            py::arg("value"), py::arg("time"), py::arg("index") = -1, py::arg("view") = -1,
            "sets a key at a time, animating the component; a number outside a clamped "
            "knob's range is clamped, with a UserWarning")
        .def(
            "isAnimated",
            [](const PyKnob& k, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                return k.knob().isAnimated(index, std::max(view, 0));
            },
            py::arg("index") = -1, py::arg("view") = 0,
            "True when the component (any component for -1) has keys")
        .def(
            "setAnimated",
            [](const PyKnob& k, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                k.checkComponent(index);
                PyKnob::checkView(k.where(), view);
                k.knob().setAnimated(index, view);
            },
            py::arg("index") = -1, py::arg("view") = -1,
            "makes the component animated, with a key of its value at the current frame")
        .def(
            "clearAnimation",
            [](const PyKnob& k, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                k.checkComponent(index);
                PyKnob::checkView(k.where(), view);
                k.knob().clearAnimation(index, view);
            },
            py::arg("index") = -1, py::arg("view") = -1,
            "removes every key; the component keeps its value at the current frame")
        .def(
            "isKeyAt",
            [](const PyKnob& k, double time, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                return k.knob().isKeyAt(time, index, std::max(view, 0));
            },
            py::arg("time"), py::arg("index") = -1, py::arg("view") = 0,
            "True when the component has a key at the time")
        .def(
            "removeKeyAt",
            [](const PyKnob& k, double time, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                return k.knob().deleteKeyAt(time, index, view);
            },
            py::arg("time"), py::arg("index") = -1, py::arg("view") = -1,
            "removes the key at the time; True when there was one")
        .def(
            "keys",
            [](const PyKnob& k, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                auto t = k.knob().keyTimes(index, std::max(view, 0));
                return std::vector<double>(t.begin(), t.end());
            },
            py::arg("index") = -1, py::arg("view") = 0, "times of the keys, ascending")
        .def(
            "splitView",
            [](const PyKnob& k, int viewMinusOne) {
                if (!k.knob().split(viewMinusOne + 1))
                    throw py::value_error(k.where() + " cannot be split for view " +
                                          std::to_string(viewMinusOne + 1) +
                                          ": the view does not exist or the knob never splits");
            },
            py::arg("viewMinusOne"),
            "gives the view (its number minus one) values of its own, starting from the "
            "shared ones")
        .def(
            "unsplitView",
            [](const PyKnob& k, int viewMinusOne) { k.knob().unsplit(viewMinusOne + 1); },
            py::arg("viewMinusOne"),
            "drops the view's own values (its number minus one): it takes the shared ones again")
        .def(
            "isSplit",
            [](const PyKnob& k, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                return k.knob().isSplit(view);
            },
            py::arg("view"), "True when the view has values of its own")
        .def(
            "animation",
            [](const PyKnob& k, int index, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                k.checkComponent(index);
                PyKnob::checkView(k.where(), view);
                return PyAnimation{k.knob().curve(std::max(index, 0), std::max(view, 0))};
            },
            py::arg("index") = 0, py::arg("view") = 0,
            "a copy of one component's animation at a view, as an Animation")
        .def(
            "copyAnimation",
            [](const PyKnob& k, int index, const PyAnimation& a, const py::object& viewArg) {
                const int view = viewNumber(viewArg, k.where());
                copyAnimation(k, index, a, view);
            },
            py::arg("index"), py::arg("animation"), py::arg("view") = -1,
            "replaces one component's animation by an Animation, keys and interpolation alike")
        .def(
            "press", [](const PyKnob& k) { guarded([&] { session().press(k.knob()); }); },
            "presses a button: a script button runs its Python with the node as thisNode()")
        .def(
            "execute", [](const PyKnob& k) { guarded([&] { session().press(k.knob()); }); },
            "the same as press()")
        .def(
            "valueName",
            [](const PyKnob& k, const py::object& view, std::optional<double> time) {
                const Knob& knob = k.knob();
                const auto& items = knob.items();
                if (items.empty())
                    throw py::type_error(k.where() +
                                         " is not an enumeration: value() gives its value");
                const double v =
                    knob.value(0, std::max(viewNumber(view, k.where()), 0), k.time(time));
                const long index = std::lround(v);
                if (index < 0 || size_t(index) >= items.size())
                    throw py::value_error(k.where() + " holds " + std::to_string(index) +
                                          ", which is none of its " + std::to_string(items.size()) +
                                          " items");
                return items[size_t(index)];
            },
            py::arg("view") = 0, py::arg("time") = py::none(),
            "the name of the item an enumeration knob chooses, such as \"Lanczos6\"")
        .def(
            "items", [](const PyKnob& k) { return k.knob().items(); },
            "an enumeration's items, in the order of their numbers; empty for other knobs")
        .def(
            "range",
            [](const PyKnob& k) -> py::object {
                const Knob& knob = k.knob();
                if (!knob.hasRange()) return py::none();
                return py::make_tuple(knob.rangeLow(), knob.rangeHigh());
            },
            "(low, high) of a knob with a range, or None")
        .def(
            "toScript", [](const PyKnob& k) { return k.knob().scriptText(false); },
            "the knob's value as the script file writes it, animation and views included")
        .def(
            "fromScript",
            [](const PyKnob& k, const std::string& text) {
                if (!k.knob().from_script(text.c_str()))
                    throw py::value_error(k.where() + ": " + k.knob().lastError());
            },
            py::arg("text"), "sets the knob from script text, as toScript() writes it")
        .def("__repr__", [](const PyKnob& k) { return "<kestrel.Knob " + k.where() + ">"; });
}

void bindNode(py::module_& m) {
    py::class_<PyNode>(m, "Node",
                       "A node of the graph: kestrel.toNode('Read1'), kestrel.createNode() or "
                       "kestrel.nodes.CLASS(). It follows its node through renames; using it "
                       "after the node was deleted is an error.")
        .def(
            "name", [](const PyNode& n) { return n.node().name(); }, "the node's name")
        .def(
            "setName",
            [](const PyNode& n, const std::string& name) {
                guarded([&] { session().renameNode(n.node(), name); });
            },
            py::arg("name"), "renames the node; a name that is taken is refused")
        .def(
            "Class", [](const PyNode& n) { return std::string(n.node().Class()); },
            "the node's class name, such as \"Write\"")
        .def(
            "knob",
            [](const PyNode& n, const std::string& name) {
                PyKnob k(n, name);
                k.knob();
                return k;
            },
            py::arg("name"), "the knob of that script name; an error naming the node if none")
        .def(
            "__getitem__",
            [](const PyNode& n, const std::string& name) {
                PyKnob k(n, name);
                k.knob();
                return k;
            },
            py::arg("name"), "node['name'] is node.knob('name')")
        .def(
            "knobs",
            [](const PyNode& n) {
                std::vector<std::string> names;
                for (Knob* k : n.node().declaredKnobs(false))
                    if (!k->name().empty()) names.push_back(k->name());
                return names;
            },
            "the script names of the node's knobs, in panel order")
        .def(
            "inputs", [](const PyNode& n) { return n.node().inputCount(); },
            "how many inputs the node has")
        .def(
            "input", [](const PyNode& n, int i) { return wrapOrNone(n.node().input(i)); },
            py::arg("index"), "the node at input index (from 0), or None")
        .def(
            "setInput",
            [](const PyNode& n, int i, const py::object& other) {
                Node* source = other.is_none() ? nullptr : &nodeArg(other, "the input");
                std::string why;
                if (!n.node().setInput(i, source, &why)) throw py::value_error(why);
            },
            py::arg("index"), py::arg("node"),
            "connects a node (or a node's name) to input index; None disconnects it")
        .def(
            "xpos", [](const PyNode& n) { return session().position(n.node()).x; },
            "the node's x position in the node graph")
        .def(
            "ypos", [](const PyNode& n) { return session().position(n.node()).y; },
            "the node's y position in the node graph")
        .def(
            "setXpos",
            [](const PyNode& n, int x) {
                Position p = session().position(n.node());
                p.x = x;
                session().setPosition(n.node(), p);
            },
            py::arg("x"), "moves the node in the node graph")
        .def(
            "setYpos",
            [](const PyNode& n, int y) {
                Position p = session().position(n.node());
                p.y = y;
                session().setPosition(n.node(), p);
            },
            py::arg("y"), "moves the node in the node graph")
        .def(
            "setXYpos",
            [](const PyNode& n, int x, int y) {
                session().setPosition(n.node(), {x, y});
            },
            py::arg("x"), py::arg("y"), "moves the node in the node graph")
        .def(
            "screenWidth", [](const PyNode&) { return Session::kScreenWidth; },
            "the width of a node's tile in the node graph, for layouts")
        .def(
            "screenHeight", [](const PyNode&) { return Session::kScreenHeight; },
            "the height of a node's tile in the node graph, for layouts")
        .def(
            "width",
            [](const PyNode& n, const py::object& view) {
                return imageOf(n.node(), viewNumber(view, n.node().name())).format().width();
            },
            py::arg("view") = 0, "the width of the node's image format, in pixels")
        .def(
            "height",
            [](const PyNode& n, const py::object& view) {
                return imageOf(n.node(), viewNumber(view, n.node().name())).format().height();
            },
            py::arg("view") = 0, "the height of the node's image format, in pixels")
        .def(
            "firstFrame", [](const PyNode& n) { return session().frameRange(n.node()).first; },
            "the first frame of the node's image, else of the graph")
        .def(
            "lastFrame", [](const PyNode& n) { return session().frameRange(n.node()).second; },
            "the last frame of the node's image, else of the graph")
        .def(
            "error",
            [](const PyNode& n) -> py::object {
                Op* op = n.node().iop(session().context());
                if (!op) op = n.node().firstOp();
                op->validate(true);
                return op->hasError() ? py::object(py::str(op->errorMessage())) : py::none();
            },
            "the node's error at the current frame, such as a missing input, or None")
        .def("__eq__", [](const PyNode& a, const PyNode& b) { return a.sameAs(b); })
        .def("__hash__", [](const PyNode& n) { return std::hash<const void*>()(&n.node()); })
        .def("__repr__", [](const PyNode& n) {
            if (!n.handle() || !n.handle()->node) return std::string("<kestrel.Node (deleted)>");
            return "<kestrel.Node " + n.node().name() + " (" + n.node().Class() + ")>";
        });
}

// A node of a class with its knobs set by keyword; name= names it. On any bad knob or value
// the node is deleted again and the error names the knob.
PyNode createWithKnobs(const std::string& className, const py::kwargs& knobs) {
    const std::string name = knobs.contains("name") ? knobs["name"].cast<std::string>() : "";
    Node* node = guarded([&] { return session().createNode(className, name); });
    node->setPanelOpen(true);
    try {
        for (const auto& [key, value] : knobs) {
            const std::string knob = key.cast<std::string>();
            if (knob == "name") continue;
            setKnobValue(PyKnob(wrap(*node), knob), py::reinterpret_borrow<py::object>(value), -1,
                         std::nullopt, -1);
        }
    } catch (...) {
        session().deleteNode(node);
        throw;
    }
    return wrap(*node);
}

void bindGraph(py::module_& m) {
    m.def(
        "load", [](const std::string& path) { guarded([&] { session().load(path); }); },
        py::arg("path"), "replaces the graph by a script file; on failure the graph stays");
    m.def(
        "save",
        [](std::optional<std::string> path) {
            guarded([&] {
                std::string p = path ? *path : session().scriptPath();
                if (p.empty())
                    throw SessionError("save() needs a path: the graph was never loaded");
                session().save(p);
            });
        },
        py::arg("path") = py::none(),
        "writes the graph as a script file (the file it was loaded from when path is None)");
    m.def(
        "clear", [] { session().clear(); }, "an empty graph with the one view main");
    m.def(
        "createNode",
        [](const std::string& className, const std::string& args, bool inpanel) {
            return guarded([&] {
                std::istringstream in(args);
                std::string word, name;
                std::vector<std::pair<std::string, std::string>> knobs;
                while (in >> word) {
                    std::string value;
                    if (!(in >> value))
                        throw SessionError("createNode(" + className + "): knob " + word +
                                           " in \"" + args + "\" has no value");
                    if (word == "name")
                        name = value;
                    else
                        knobs.emplace_back(word, value);
                }
                Node* node = session().createNode(className, name);
                std::string error;
                if (!Script::applyKnobs(*node, knobs, &error)) {
                    session().deleteNode(node);
                    throw SessionError("createNode(" + className + "): " + error);
                }
                if (inpanel) node->setPanelOpen(true);
                return wrap(*node);
            });
        },
        py::arg("className"), py::arg("knobs") = "", py::arg("inpanel") = true,
        "creates a node; knobs is \"name value ...\" (the word name sets the node's name); "
        "inpanel opens its panel, as a user creating it would");
    m.def(
        "toNode", [](const std::string& name) { return wrapOrNone(session().findNode(name)); },
        py::arg("name"), "the node of that name, or None");
    m.def(
        "allNodes",
        [](std::optional<std::string> className) {
            std::vector<PyNode> out;
            for (const auto& n : session().graph().nodes())
                if (!className || *className == n->Class()) out.push_back(wrap(*n));
            return out;
        },
        py::arg("className") = py::none(),
        "the nodes of the graph, or those of one class, in the order of the script");
    m.def(
        "delete", [](const py::object& n) { session().deleteNode(&nodeArg(n, "the node")); },
        py::arg("node"), "deletes a node (or the node of a name); its users lose that input");
    m.def(
        "thisNode",
        [] {
            Node* n = session().thisNode();
            if (!n) throw py::value_error("thisNode() is only known while a node's button runs");
            return wrap(*n);
        },
        "the node whose button is running this script");
    m.def(
        "classes",
        [] {
            std::vector<std::string> names;
            for (const auto* d : Op::Description::all()) names.emplace_back(d->name);
            std::sort(names.begin(), names.end());
            return names;
        },
        "the names of the node classes the host knows: its own and the plug-ins'");
}

// kestrel.nodes.CLASS(knob=value, ...): every registered class, as a function.
void bindNodeClasses(py::module_& m) {
    py::module_ nodes = m.def_submodule(
        "nodes", "Node classes as functions: kestrel.nodes.Write(file='out.####.exr', "
                 "channels='rgba') creates a Write with those knob values and its panel "
                 "open; name='W1' names it. dir(kestrel.nodes) lists the classes.");
    nodes.def(
        "__getattr__",
        [](const std::string& className) -> py::object {
            if (className.rfind("__", 0) == 0 || !Op::Description::find(className))
                throw py::attribute_error("kestrel.nodes has no class \"" + className +
                                          "\": kestrel.classes() lists the classes");
            return py::cpp_function(
                [className](const py::kwargs& knobs) { return createWithKnobs(className, knobs); },
                py::name(className.c_str()),
                ("creates a " + className +
                 " node; keyword arguments set its knobs (name= names the node)")
                    .c_str());
        },
        py::arg("className"), "the node class of that name, as a function that creates a node");
    nodes.def(
        "__dir__",
        [] {
            std::vector<std::string> names;
            for (const auto* d : Op::Description::all()) names.emplace_back(d->name);
            std::sort(names.begin(), names.end());
            return names;
        },
        "the node classes");
}

void bindViewsAndFrames(py::module_& m) {
    m.def(
        "views", [] { return OutputContext::views(); },
        "the names of the views, in order: view 1 first");
    m.def(
        "setViews",
        [](const std::vector<std::string>& views) {
            if (views.empty()) throw py::value_error("setViews needs at least one view name");
            OutputContext::setViews(views);
        },
        py::arg("views"), "replaces the list of views, such as ['left', 'right']");
    m.def(
        "frame", [] { return session().frame(); }, "the current frame");
    m.def(
        "setFrame", [](double f) { session().setFrame(f); }, py::arg("frame"),
        "moves every node to the frame; knobs read at the current frame follow it");
    m.def(
        "frameRange",
        [] { return std::make_pair(session().graph().firstFrame, session().graph().lastFrame); },
        "(first, last) frame of the graph");
    m.def(
        "setFrameRange",
        [](double first, double last) {
            if (last < first) throw py::value_error("the frame range ends before it starts");
            session().graph().firstFrame = first;
            session().graph().lastFrame = last;
        },
        py::arg("first"), py::arg("last"), "sets the frame range of the graph");
}

void bindRunning(py::module_& m) {
    m.def(
        "setCacheMemory",
        [](const py::object& size) {
            const std::string text = py::isinstance<py::str>(size)
                                         ? size.cast<std::string>()
                                         : std::to_string(size.cast<long long>());
            guarded([&] { Engine::setCacheBudget(parseMemorySize(text, "setCacheMemory")); });
        },
        py::arg("size"),
        "sets the memory budget of the render cache: bytes, \"4G\", \"512M\" or \"25%\" of "
        "the machine");
    m.def(
        "cacheMemory", [] { return Engine::cacheBudget(); },
        "the memory budget of the render cache, in bytes");
    m.def(
        "setMissingFrames",
        [](const std::string& choice) {
            guarded([&] {
                session().setMissingFrames(parseMissingFrames(choice, "setMissingFrames"));
            });
        },
        py::arg("choice"),
        "sets what every Read does with a missing frame: \"error\", \"black\" or \"hold\"");
    m.def(
        "execute",
        [](const py::object& n, double first, double last) {
            Node& node = nodeArg(n, "the node");
            std::vector<double> frames = frameRange(first, last);
            guarded([&] { session().execute(node, frames); });
        },
        py::arg("node"), py::arg("first"), py::arg("last"),
        "runs the node's frame work over first..last");
    m.def(
        "render",
        [](const py::object& n, const py::object& frames,
           std::optional<std::vector<std::string>> views) {
            std::vector<Node*> writes;
            if (!n.is_none()) writes.push_back(&nodeArg(n, "the node to render"));
            std::vector<double> list = frames.is_none() ? frameRange(session().graph().firstFrame,
                                                                     session().graph().lastFrame)
                                                        : framesArg(frames);
            guarded([&] {
                session().render(writes, list, views.value_or(std::vector<std::string>{}));
            });
        },
        py::arg("node") = py::none(), py::arg("frames") = py::none(), py::arg("views") = py::none(),
        "renders Write nodes (all of them when node is None); frames is a list or a farm frame "
        "list such as \"1-10x2\"");
    m.def(
        "press",
        [](const py::object& n, const std::string& knob) {
            PyKnob k(wrap(nodeArg(n, "the node")), knob);
            guarded([&] { session().press(k.knob()); });
        },
        py::arg("node"), py::arg("knob"),
        "presses a node's button by its knob name, as Knob.press() does");
    m.def(
        "loadPlugins",
        [](const std::string& path) {
            const size_t failedBefore = Plugins::failures().size();
            if (std::filesystem::is_directory(path))
                Plugins::loadFolder(path);
            else if (std::filesystem::exists(path))
                Plugins::load(path);
            else
                throw py::value_error("loadPlugins: " + path +
                                      " does not exist: give a plug-in file or a folder of them");
            if (Plugins::failures().size() > failedBefore) {
                const Plugins::Failure& f = Plugins::failures().back();
                throw py::value_error("loadPlugins: " + f.file + " did not load: " + f.reason);
            }
        },
        py::arg("path"), "loads a plug-in file, or every plug-in of a folder");
}

void bindQuestions(py::module_& m) {
    m.def(
        "setAnswerHandler",
        [](const py::object& handler) {
            if (handler.is_none()) {
                Question::setHandler({});
                return;
            }
            Question::setHandler([handler](const std::string& q) -> std::optional<bool> {
                py::gil_scoped_acquire gil;
                py::object a = handler(q);
                if (a.is_none()) return std::nullopt;
                return a.cast<bool>();
            });
        },
        py::arg("handler"),
        "handler(question) answers True, False or None (ask the next one: --yes/--no or the "
        "terminal); None removes the handler");
    m.def(
        "ask", [](const std::string& q) { return Question::ask(q); }, py::arg("question"),
        "asks a yes/no question as a node would: the handler, --yes/--no, or the terminal");
}

void bindPixels(py::module_& m) {
    m.def(
        "channels",
        [](const py::object& n) {
            Node& node = nodeArg(n, "the node");
            std::vector<std::string> names;
            for (Channel z : imageOf(node, 0).channels()) names.push_back(getName(z));
            return names;
        },
        py::arg("node"), "names of the node's output channels, in the order of pixels()");
    m.def(
        "pixels",
        [](const py::object& n, std::optional<double> frame, const py::object& view,
           const std::vector<std::string>& channels, const std::string& layout,
           const std::string& origin) {
            Node& node = nodeArg(n, "the node");
            if (layout != "chw" && layout != "hwc")
                throw py::value_error("pixels: layout \"" + layout +
                                      "\" is not one: use \"chw\" or \"hwc\"");
            if (origin != "bottom" && origin != "top")
                throw py::value_error("pixels: origin \"" + origin +
                                      "\" is not one: use \"bottom\" or \"top\"");
            const int viewNumberOf = viewNumber(view, node.name());
            double before = session().frame();
            if (frame) session().setFrame(*frame);
            py::array_t<float> planes;
            try {
                planes = pixels(node, viewNumberOf, channels);
                if (frame) session().setFrame(before);
            } catch (...) {
                if (frame) session().setFrame(before);
                throw;
            }
            if (layout == "chw" && origin == "bottom") return planes;
            // Rearranged for numpy and OpenCV: top row first and/or channels last.
            const size_t c = size_t(planes.shape(0)), h = size_t(planes.shape(1)),
                         w = size_t(planes.shape(2));
            py::array_t<float> out =
                layout == "hwc" ? py::array_t<float>({h, w, c}) : py::array_t<float>({c, h, w});
            const float* src = planes.data();
            float* dst = out.mutable_data();
            for (size_t z = 0; z < c; ++z)
                for (size_t y = 0; y < h; ++y) {
                    const size_t row = origin == "top" ? h - 1 - y : y;
                    for (size_t x = 0; x < w; ++x) {
                        const float v = src[(z * h + y) * w + x];
                        if (layout == "hwc")
                            dst[(row * w + x) * c + z] = v;
                        else
                            dst[(z * h + row) * w + x] = v;
                    }
                }
            return out;
        },
        py::arg("node"), py::arg("frame") = py::none(), py::arg("view") = 0,
        py::arg("channels") = std::vector<std::string>{}, py::arg("layout") = "chw",
        py::arg("origin") = "bottom",
        "The node's output over its format as float32. layout \"chw\" is [channel][row][column] "
        "and \"hwc\" is [row][column][channel], as numpy and OpenCV hold images; origin "
        "\"bottom\" puts the host's row 0 (the bottom row) first, \"top\" the top row, as image "
        "files do. view is a number (0: the first view) or a name such as \"left\".");
}

void bindCamera(py::module_& m) {
    m.def(
        "exportCamera",
        [](const py::object& n, const std::string& path, double first, double last, int view) {
            Node& node = nodeArg(n, "the camera");
            guarded([&] {
                std::string error;
                if (!Kestrel::Nodes::exportCameraTable(node, path, frameRange(first, last), view,
                                                       &error))
                    throw SessionError(error);
            });
        },
        py::arg("node"), py::arg("path"), py::arg("first"), py::arg("last"), py::arg("view") = 0,
        "writes a Camera's per-frame translate, rotate and field of view as a text table");
}

} // namespace

void defineModule(py::module_& m) {
    m.doc() = kModuleDoc;
    bindAnimation(m);
    bindKnob(m);
    bindNode(m);
    bindKeyFrameControl(m);
    bindGraph(m);
    bindNodeClasses(m);
    bindViewsAndFrames(m);
    bindRunning(m);
    bindQuestions(m);
    bindPixels(m);
    bindCamera(m);
}

} // namespace Kestrel::Python
