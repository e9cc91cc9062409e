// Node: a graph node and the op instances it builds per output context.
#include "Kx/Image/Node.h"

#include "Kx/Image/Iop.h"

#include <stdexcept>

namespace Kx::Image {

namespace {

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
}

Node::~Node() {
    _ops.clear();
    _firstOp.reset();
}

std::unique_ptr<Op> Node::build() const {
    std::unique_ptr<Op> op(_description->constructor(const_cast<Node*>(this)));
    if (!op) throw std::runtime_error("the builder of class \"" + std::string(_description->name) +
                                      "\" made no op");
    return op;
}

bool Node::setInput(int n, Node* node, std::string* why) {
    if (n < 0 || n >= int(_inputs.size())) {
        if (why) *why = _name + " has no input " + std::to_string(n);
        return false;
    }
    if (node && !_firstOp->test_input(n, node->firstOp())) {
        if (why) *why = _name + " does not accept " + node->name() + " on input " + std::to_string(n);
        return false;
    }
    _inputs[size_t(n)] = node;
    invalidate();
    return true;
}

void Node::invalidate() {
    _ops.clear();
    _firstOp->invalidate();
}

Op* Node::op(const OutputContext& c) {
    auto key = std::make_tuple(c.frame(), c.view(), c.scale_x(), c.scale_y(), c.translate_x(),
                               c.translate_y());
    if (auto it = _ops.find(key); it != _ops.end()) return it->second.get();
    std::unique_ptr<Op> made = build();
    Op* op = made.get();
    _ops[key] = std::move(made);
    op->setOutputContext(c);
    if (onNewOp) onNewOp(*op, c);
    op->set_node_inputs(int(_inputs.size()));
    for (int n = 0; n < int(_inputs.size()); ++n) {
        int splits = std::max(op->split_input(n), 1);
        for (int k = 0; k < splits; ++k) {
            Node* in = _inputs[size_t(n)];
            OutputContext scratch;
            const OutputContext& ic = op->inputContext(n, k, scratch);
            op->set_input(op->inputNumber(n, k), in ? in->op(ic) : nullptr);
        }
    }
    return op;
}

Iop* Node::iop(const OutputContext& c) {
    Op* o = op(c);
    return o ? o->iop() : nullptr;
}

} // namespace Kx::Image
