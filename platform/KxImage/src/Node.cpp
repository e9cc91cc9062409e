// Node: a graph node and the op instances it builds per output context.
#include "Kx/Image/Node.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Knobs.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace Kx::Image {

namespace {

// Every node alive in the process, for releaseAllOps. Nodes are made and destroyed on the
// main thread.
std::set<Node*>& liveNodes() {
    static std::set<Node*> nodes;
    return nodes;
}

const Op::Description& lookup(const std::string& className) {
    const Op::Description* d = Op::Description::find(className);
    if (!d)
        throw std::runtime_error("unknown node class \"" + className +
                                 "\": no loaded plug-in registers it (see `kestrel plugins`)");
    return *d;
}

} // namespace

Node::Node(const std::string& className, const std::string& name) : Node(lookup(className), name) {}

Node::Node(const Op::Description& d, const std::string& name) : _description(&d), _name(name) {
    _firstOp = build();
    _inputs.assign(size_t(std::max(_firstOp->maximum_inputs(), 0)), nullptr);
    makeKnobs();
    liveNodes().insert(this);
}

Node::~Node() {
    liveNodes().erase(this);
    for (Node* in : _inputs)
        if (in) std::erase(in->_outputs, this);
    for (Node* out : _outputs)
        for (auto& slot : out->_inputs)
            if (slot == this) slot = nullptr;
    _ops.clear();
    _firstOp.reset();
    _knobs.clear();
}

void Node::makeKnobs() {
    for (const char* name : {Knob::kShowPanel, Knob::kInputChange}) {
        auto k = std::make_unique<Knob>(this, KnobKind::Button, KnobStorage::None, name);
        k->set_flag(KnobFlag::DoNotWrite | KnobFlag::Invisible | KnobFlag::NoUndo |
                    KnobFlag::NoRerender);
        adopt(std::move(k));
    }
    Knob_Closure make(Knob_Closure::Pass::Make, *this, _firstOp->outputContext());
    _firstOp->knobs(make);
    storeKnobs();
}

Knob* Node::knob(const std::string& name) const {
    auto it = _knobsByName.find(name);
    return it == _knobsByName.end() ? nullptr : it->second;
}

std::vector<Knob*> Node::knobs() const {
    std::vector<Knob*> all;
    for (auto& k : _knobs) all.push_back(k.get());
    return all;
}

std::vector<Knob*> Node::declaredKnobs(bool forReading) {
    Knob_Closure f(forReading ? Knob_Closure::Pass::ReadScript : Knob_Closure::Pass::WriteScript,
                   *this, _firstOp->outputContext());
    _firstOp->knobs(f);
    std::vector<Knob*> unique;
    for (Knob* k : f.declared())
        if (std::find(unique.begin(), unique.end(), k) == unique.end()) unique.push_back(k);
    return unique;
}

Knob* Node::adopt(std::unique_ptr<Knob> knob) {
    Knob* k = knob.get();
    if (k->name().empty())
        _anonymous.push_back(k);
    else if (!_knobsByName.emplace(k->name(), k).second)
        return _knobsByName[k->name()];
    _knobs.push_back(std::move(knob));
    return k;
}

Knob* Node::anonymousKnob(size_t n) const {
    return n < _anonymous.size() ? _anonymous[n] : nullptr;
}

void Node::storeKnobs(Op& op, const OutputContext& context) {
    Knob_Closure store(Knob_Closure::Pass::Store, *this, context);
    op.knobs(store);
}

void Node::storeKnobs() {
    storeKnobs(*_firstOp, _firstOp->outputContext());
}

void Node::storeKnobsInEveryOp() {
    storeKnobs();
    for (auto& [key, op] : _ops) storeKnobs(*op, op->outputContext());
    // Marks the ops invalid in place: nodes downstream hold them as their inputs.
    std::function<void(Node&)> revalidate = [&](Node& n) {
        n._firstOp->invalidate();
        for (auto& [key, op] : n._ops) op->invalidate();
        for (Node* out : n._outputs) revalidate(*out);
    };
    revalidate(*this);
}

void Node::appendKnobs(Hash& h, const OutputContext& context) const {
    for (auto& k : _knobs)
        if (!k->flag(KnobFlag::NoRerender)) k->append(h, &context);
}

void Node::setContext(const OutputContext& context) {
    _firstOp->setOutputContext(context);
    storeKnobs();
    wireFirstOp();
}

void Node::setPanelOpen(bool open) {
    _panelOpen = open;
    if (!open) return;
    _declined.clear();
    KnobChange::notify(*knob(Knob::kShowPanel));
}

std::unique_ptr<Op> Node::build() const {
    std::unique_ptr<Op> op(_description->constructor(const_cast<Node*>(this)));
    if (!op)
        throw std::runtime_error("the builder of class \"" + std::string(_description->name) +
                                 "\" made no op");
    return op;
}

bool Node::setInput(int n, Node* node, std::string* why) {
    if (n < 0 || n >= int(_inputs.size())) {
        if (why) *why = _name + " has no input " + std::to_string(n);
        return false;
    }
    if (node && !_firstOp->test_input(n, node->firstOp())) {
        if (why)
            *why = _name + " does not accept " + node->name() + " on input " + std::to_string(n);
        return false;
    }
    if (Node* old = _inputs[size_t(n)]) std::erase(old->_outputs, this);
    _inputs[size_t(n)] = node;
    if (node) node->_outputs.push_back(this);
    invalidate();
    KnobChange::notify(*knob(Knob::kInputChange));
    return true;
}

void Node::invalidate() {
    _ops.clear();
    _firstOp->invalidate();
    // Nodes downstream hold this node's op instances as their inputs.
    for (Node* out : _outputs) out->invalidate();
    wireFirstOp();
}

void Node::wire(Op& op) {
    op.set_node_inputs(int(_inputs.size()));
    for (int n = 0; n < int(_inputs.size()); ++n) {
        const int splits = std::max(op.split_input(n), 1);
        for (int k = 0; k < splits; ++k) {
            Node* in = _inputs[size_t(n)];
            OutputContext scratch;
            const OutputContext& ic = op.inputContext(n, k, scratch);
            op.set_input(op.inputNumber(n, k), in ? in->op(ic) : nullptr);
        }
    }
}

void Node::wireFirstOp() {
    wire(*_firstOp);
}

void Node::releaseAllOps() {
    for (Node* n : liveNodes()) n->_ops.clear();
    for (Node* n : liveNodes()) n->wireFirstOp();
}

Op* Node::op(const OutputContext& c) {
    auto key = std::make_tuple(c.frame(), c.view(), c.scale_x(), c.scale_y(), c.translate_x(),
                               c.translate_y());
    if (auto it = _ops.find(key); it != _ops.end()) return it->second.get();
    std::unique_ptr<Op> made = build();
    Op* op = made.get();
    _ops[key] = std::move(made);
    op->setOutputContext(c);
    storeKnobs(*op, c);
    if (onNewOp) onNewOp(*op, c);
    wire(*op);
    return op;
}

Iop* Node::iop(const OutputContext& c) {
    Op* o = op(c);
    return o ? o->iop() : nullptr;
}

} // namespace Kx::Image
