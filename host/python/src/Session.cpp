// The host's session: its graph, node layout, frame, and the runs it drives.
#include "Kestrel/Python/Session.h"

#include "nodes/Write.h"

#include <Kx/Image/Engine.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/KnobChange.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <sstream>
#include <unistd.h>

namespace Kestrel::Python {

using namespace Kx::Image;

namespace {

std::string nodeList(const Graph& g) {
    std::string list;
    for (const auto& n : g.nodes()) list += (list.empty() ? "" : ", ") + n->name();
    return list.empty() ? "(none)" : list;
}

bool validName(const std::string& name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// The graph keeps its nodes in a vector it only hands out read-only; the session owns the
// graph and is the one place that removes a node from it.
std::unique_ptr<Node> takeNode(Graph& g, Node* node) {
    auto& nodes = const_cast<std::vector<std::unique_ptr<Node>>&>(g.nodes());
    auto it = std::find_if(nodes.begin(), nodes.end(), [&](auto& n) { return n.get() == node; });
    if (it == nodes.end()) return nullptr;
    std::unique_ptr<Node> taken = std::move(*it);
    nodes.erase(it);
    return taken;
}

} // namespace

Session& Session::current() {
    static Session s;
    return s;
}

Session::Session() : _graph(std::make_unique<Graph>()) {}

void Session::adoptGraph(std::unique_ptr<Graph> graph) {
    for (auto& [node, handle] : _handles)
        if (auto h = handle.lock()) h->node = nullptr;
    _handles.clear();
    _positions.clear();
    _thisNodes.clear();
    _graph = std::move(graph);
    setFrame(_graph->firstFrame);
}

void Session::load(const std::string& path) {
    std::string error;
    auto g = Script::load(path, &error);
    if (!g) throw SessionError(error);
    adoptGraph(std::move(g));
    _scriptPath = path;
}

void Session::save(const std::string& path) const {
    std::string error;
    if (!Script::save(*_graph, path, &error)) throw SessionError(error);
}

void Session::clear() {
    OutputContext::setViews({"main"});
    adoptGraph(std::make_unique<Graph>());
    _scriptPath.clear();
}

std::string Session::uniqueName(const std::string& base) const {
    for (int i = 1;; ++i) {
        std::string name = base + std::to_string(i);
        if (!findNode(name)) return name;
    }
}

Node* Session::createNode(const std::string& className, const std::string& name) {
    if (!Op::Description::find(className))
        throw SessionError("unknown node class \"" + className +
                           "\": no loaded plug-in registers it (see `kestrel plugins`)");
    std::string n = name.empty() ? uniqueName(className) : name;
    if (!validName(n))
        throw SessionError("\"" + n +
                           "\" is not a node name: use letters, digits and _, starting with a "
                           "letter or _");
    if (findNode(n))
        throw SessionError("a node named " + n + " already exists: choose another name");
    Node* node = _graph->add(std::make_unique<Node>(className, n));
    node->setContext(context());
    return node;
}

Node* Session::findNode(const std::string& name) const {
    return _graph->find(name);
}

Node& Session::node(const std::string& name) const {
    Node* n = findNode(name);
    if (!n)
        throw SessionError("the script" + (_scriptPath.empty() ? "" : " " + _scriptPath) +
                           " has no node named " + name + "; its nodes are: " + nodeList(*_graph));
    return *n;
}

void Session::deleteNode(Node* node) {
    if (!node) return;
    for (const auto& other : _graph->nodes())
        for (int i = 0; i < other->inputCount(); ++i)
            if (other->input(i) == node) other->setInput(i, nullptr);
    // Its own inputs let go of it too, so no upstream node keeps it among its outputs.
    for (int i = 0; i < node->inputCount(); ++i)
        if (node->input(i)) node->setInput(i, nullptr);
    std::unique_ptr<Node> taken = takeNode(*_graph, node);
    if (!taken) return;
    _thisNodes.erase(std::remove(_thisNodes.begin(), _thisNodes.end(), node), _thisNodes.end());
    _positions.erase(node);
    dropHandle(node);
}

void Session::dropHandle(Node* node) {
    auto it = _handles.find(node);
    if (it == _handles.end()) return;
    if (auto h = it->second.lock()) h->node = nullptr;
    _handles.erase(it);
}

void Session::renameNode(Node& node, const std::string& name) {
    if (name == node.name()) return;
    if (!validName(name))
        throw SessionError("\"" + name +
                           "\" is not a node name: use letters, digits and _, "
                           "starting with a letter or _");
    if (findNode(name))
        throw SessionError("cannot rename " + node.name() + " to " + name +
                           ": a node of that name exists");
    node.setName(name);
}

std::shared_ptr<NodeHandle> Session::handle(Node* node) {
    if (!node) return nullptr;
    if (auto it = _handles.find(node); it != _handles.end())
        if (auto h = it->second.lock()) return h;
    auto h = std::make_shared<NodeHandle>();
    h->node = node;
    _handles[node] = h;
    return h;
}

Position Session::position(const Node& node) const {
    auto it = _positions.find(&node);
    return it == _positions.end() ? Position{} : it->second;
}

void Session::setPosition(const Node& node, Position p) {
    _positions[&node] = p;
}

void Session::setFrame(double frame) {
    _frame = frame;
    for (const auto& n : _graph->nodes()) {
        OutputContext c = n->firstOp()->outputContext();
        c.setFrame(frame);
        n->setContext(c);
    }
}

OutputContext Session::context(int view) const {
    return OutputContext(_frame, view > 0 ? view : 1);
}

std::pair<int, int> Session::frameRange(Node& node) {
    if (Iop* op = node.iop(context())) {
        op->validate(true);
        if (!op->hasError() && op->first_frame() <= op->last_frame())
            return {op->first_frame(), op->last_frame()};
    }
    return {int(_graph->firstFrame), int(_graph->lastFrame)};
}

void Session::setMissingFrames(const std::string& choice) {
    for (const auto& n : _graph->nodes()) {
        if (std::string(n->Class()) != "Read") continue;
        Knob* k = n->knob("missing_frames");
        if (!k) throw SessionError(n->name() + " has no missing_frames knob");
        const auto& items = k->items();
        auto it = std::find(items.begin(), items.end(), choice);
        if (it == items.end())
            throw SessionError(n->name() + ".missing_frames has no choice \"" + choice + "\"");
        k->setValue(double(it - items.begin()));
    }
}

void Session::freshOps() {
    for (const auto& n : _graph->nodes()) n->invalidate();
}

void Session::execute(Node& node, const std::vector<double>& frames, const ProgressFn& progress) {
    if (frames.empty()) throw SessionError("no frames to execute " + node.name() + " over");
    if (!node.firstOp()->executable())
        throw SessionError(node.name() + " (" + node.Class() +
                           ") cannot be executed: it has no frame work to run");
    Engine::resetInterrupt();
    freshOps();
    int finished = 0;
    ExecuteResult r = Kx::Image::execute(*node.firstOp(), frames, [&](int done, int total) {
        finished = done;
        if (progress) progress(done, total);
    });
    if (r.interrupted || Engine::interrupted())
        throw SessionError(node.name() + ": interrupted after " + std::to_string(finished) +
                           " finished frame(s)");
    if (!r.ok) throw SessionError(r.error);
}

void Session::render(const std::vector<Node*>& writes, const std::vector<double>& frames,
                     const std::vector<std::string>& views, const ProgressFn& progress) {
    std::vector<Node*> targets = writes;
    if (targets.empty())
        for (const auto& n : _graph->nodes())
            if (dynamic_cast<Nodes::Write*>(n->firstOp())) targets.push_back(n.get());
    if (targets.empty())
        throw SessionError("the script has no Write node to render: add one, or name the node "
                           "to render");
    std::set<int> viewNumbers;
    for (const std::string& v : views) viewNumbers.insert(OutputContext::lookup_view(v));
    const int total = int(targets.size() * frames.size());
    int before = 0;
    for (Node* n : targets) {
        auto* write = dynamic_cast<Nodes::Write*>(n->firstOp());
        if (!write)
            throw SessionError(n->name() + " is a " + n->Class() +
                               ", not a Write node: render renders Write nodes (use execute "
                               "for other nodes)");
        write->setViewsToRender(viewNumbers);
        try {
            execute(*n, frames, [&](int done, int) {
                if (progress) progress(before + done, total);
            });
        } catch (...) {
            write->setViewsToRender({});
            throw;
        }
        write->setViewsToRender({});
        before += int(frames.size());
    }
}

void Session::press(Knob& knob) {
    Node& node = *knob.node();
    // A user presses a button on the node's open panel; opening it lets the node bring its
    // knobs up to date first.
    const bool button = knob.kind() == KnobKind::ScriptButton || knob.kind() == KnobKind::Button;
    if (button && !node.panelOpen()) node.setPanelOpen(true);
    if (knob.kind() == KnobKind::ScriptButton) {
        if (!_scriptRunner)
            throw SessionError(node.name() + "." + knob.name() +
                               " runs Python, and this host has no Python interpreter");
        ThisNode self(*this, node);
        _scriptRunner(knob.extraText(), node.name() + "." + knob.name());
        return;
    }
    if (knob.kind() != KnobKind::Button)
        throw SessionError(node.name() + "." + knob.name() +
                           " is not a button: set its value instead of pressing it");
    knob.changed();
    if (node.firstOp()->hasError())
        throw SessionError(node.name() + "." + knob.name() + ": " + node.firstOp()->errorMessage());
}

Node* Session::thisNode() const {
    return _thisNodes.empty() ? nullptr : _thisNodes.back();
}

Session::ThisNode::ThisNode(Session& s, Node& node) : _session(s) {
    s._thisNodes.push_back(&node);
}

Session::ThisNode::~ThisNode() {
    if (!_session._thisNodes.empty()) _session._thisNodes.pop_back();
}

Session::Snapshot Session::snapshot() const {
    Snapshot s;
    s.script = Script::write(*_graph);
    s.views = OutputContext::views();
    s.frame = _frame;
    for (const auto& n : _graph->nodes()) s.positions[n->name()] = position(*n);
    return s;
}

void Session::restore(const Snapshot& s) {
    std::string error;
    OutputContext::setViews(s.views);
    auto g = Script::read(s.script, "(the graph before the failed call)", &error);
    if (!g) throw SessionError("the graph could not be restored: " + error);
    // Handles move to the node of their node's name in the rebuilt graph.
    std::vector<std::pair<std::shared_ptr<NodeHandle>, std::string>> live;
    for (auto& [node, weak] : _handles)
        if (auto h = weak.lock(); h && h->node) live.emplace_back(h, h->node->name());
    std::vector<std::string> thisNodeNames;
    for (Node* n : _thisNodes) thisNodeNames.push_back(n->name());
    _handles.clear();
    _positions.clear();
    _graph = std::move(g);
    for (auto& [h, name] : live) {
        h->node = _graph->find(name);
        if (h->node) _handles[h->node] = h;
    }
    _thisNodes.clear();
    for (const std::string& name : thisNodeNames)
        if (Node* n = _graph->find(name)) _thisNodes.push_back(n);
    for (const auto& [name, p] : s.positions)
        if (Node* n = _graph->find(name)) _positions[n] = p;
    setFrame(s.frame);
}

std::string knobKindName(int kind) {
    switch (kind) {
    case KnobKind::String:
        return "string";
    case KnobKind::Int:
        return "int";
    case KnobKind::Enumeration:
        return "enumeration";
    case KnobKind::Bool:
        return "bool";
    case KnobKind::Float:
        return "float";
    case KnobKind::Array:
        return "array";
    case KnobKind::XY:
        return "xy";
    case KnobKind::XYZ:
        return "xyz";
    case KnobKind::Format:
        return "format";
    case KnobKind::Tab:
        return "tab";
    case KnobKind::Custom:
        return "custom";
    case KnobKind::ScriptButton:
        return "script button";
    case KnobKind::Text:
        return "text";
    case KnobKind::Button:
        return "button";
    case KnobKind::ViewSelector:
        return "view";
    case KnobKind::MultiView:
        return "views";
    case KnobKind::KeyFrameControl:
        return "key frames";
    default:
        return "kind " + std::to_string(kind);
    }
}

std::vector<std::string> parseViewList(const std::string& text) {
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::istringstream in(spaced);
    std::vector<std::string> views;
    for (std::string v; in >> v;) {
        if (OutputContext::lookup_view(v) == 0) {
            std::string known;
            for (const auto& name : OutputContext::views()) known += " " + name;
            throw SessionError("unknown view \"" + v + "\": the script's views are" + known);
        }
        views.push_back(v);
    }
    if (views.empty()) throw SessionError("the view list \"" + text + "\" names no view");
    return views;
}

} // namespace Kestrel::Python

namespace Kestrel::Python {

size_t parseMemorySize(const std::string& text, const std::string& what) {
    const auto bad = [&](const std::string& why) {
        return SessionError(what + " \"" + text + "\" " + why +
                            ": give bytes with K, M, G or T (such as 512M or 4G), or a share "
                            "of the machine's memory such as 25%");
    };
    std::istringstream in(text);
    double value = 0;
    if (!(in >> value) || !std::isfinite(value) || value <= 0) throw bad("is not a positive size");
    std::string unit;
    in >> unit;
    std::string rest;
    if (in >> rest) throw bad("has more than a number and a unit");
    for (char& c : unit) c = char(std::toupper(static_cast<unsigned char>(c)));
    double bytes = 0;
    if (unit == "%") {
        if (value > 100) throw bad("is more than the whole machine");
        const double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
        bytes = memory * value / 100.0;
    } else {
        if (unit.size() == 2 && unit[1] == 'B') unit.pop_back();
        static const std::pair<const char*, double> units[] = {
            {"", 1.0},        {"B", 1.0},          {"K", 1024.0},
            {"M", 1048576.0}, {"G", 1073741824.0}, {"T", 1099511627776.0}};
        bool known = false;
        for (auto [name, scale] : units)
            if (unit == name) bytes = value * scale, known = true;
        if (!known) throw bad("has an unknown unit");
    }
    if (bytes < 16.0 * 1048576.0) throw bad("is below 16M, where no frame fits");
    if (bytes > 1e18) throw bad("is larger than any machine");
    return size_t(bytes);
}

std::string parseMissingFrames(const std::string& text, const std::string& what) {
    for (const char* choice : {"error", "black", "hold"})
        if (text == choice) return text;
    throw SessionError(what + " \"" + text +
                       "\" is not a choice: use error (stop and name the file), black (a black "
                       "frame) or hold (the nearest earlier frame)");
}

} // namespace Kestrel::Python
