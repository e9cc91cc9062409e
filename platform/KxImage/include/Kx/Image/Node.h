// Node: one node of the host's graph. It has a class (an Op::Description), a name, its
// input connections to other nodes, and its "first op", the op instance the host uses for
// the panel, knob changes, analysis and the viewer. Rendering at a context uses an op
// instance made for that context (op(context)): the node builds it with the class's
// builder, sets its context and wires its inputs to the input nodes' ops at the contexts
// that each split asks for. Instances are kept until the node is invalidated or changed, or
// until the host releases them when the frame they were made for is done.
#pragma once

#include "Op.h"
#include "OutputContext.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Kx::Image {

class Iop;

class Node {
public:
    // Builds a node of a registered class; throws std::runtime_error naming the class when
    // it is unknown.
    Node(const std::string& className, const std::string& name);
    // A node around a description (built-ins and tests).
    Node(const Op::Description& d, const std::string& name);
    virtual ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& name() const { return _name; }
    void setName(const std::string& n) { _name = n; }
    const Op::Description& description() const { return *_description; }
    const char* Class() const { return _description->name; }

    Op* firstOp() const { return _firstOp.get(); }

    // ---- inputs ----
    int inputCount() const { return int(_inputs.size()); }
    Node* input(int n) const { return n >= 0 && n < inputCount() ? _inputs[size_t(n)] : nullptr; }
    // Connects input n (nullptr disconnects). False, with the reason in why, when the op
    // refuses the connection or n is out of range.
    bool setInput(int n, Node* node, std::string* why = nullptr);

    // ---- op instances ----
    // The op of this node for a context, built, context set and inputs wired; not yet
    // validated. Main thread only.
    Op* op(const OutputContext& context);
    Iop* iop(const OutputContext& context);
    // Drops every op instance but the first one (after a knob or input change), here and in
    // every node downstream, and wires the first op to the input nodes again.
    void invalidate();
    // Connects the first op's inputs to the input nodes' ops at the contexts it asks for.
    void wireFirstOp();
    // Drops the op instances of every node in the process but their first ops, then wires
    // the first ops again: what a finished frame used (its ops, the file data they read,
    // their rendered areas) is let go. Main thread only, with no render running.
    static void releaseAllOps();
    // Called on each new op instance before its inputs are wired (the knob layer stores
    // knob values into it here).
    std::function<void(Op&, const OutputContext&)> onNewOp;

    // ---- knobs ----
    // The knob objects are made by a make pass of the first op's knobs() when the node is
    // built; the node also has the host's knobs "showPanel" and "inputChange" (KnobChange.h).
    Knob* knob(const std::string& name) const;
    // Every knob, in the order made (the host's two first).
    std::vector<Knob*> knobs() const;
    // The knobs the first op declares, in declaration order, on a script pass (reading or
    // writing).
    std::vector<Knob*> declaredKnobs(bool forReading);
    // Takes a knob made on the make pass.
    Knob* adopt(std::unique_ptr<Knob> knob);
    // The n-th knob declared without a name.
    Knob* anonymousKnob(size_t n) const;
    // Writes every knob's value at the context into the op's fields (a store pass).
    void storeKnobs(Op& op, const OutputContext& context);
    // The same into the first op at its own context.
    void storeKnobs();
    // The same into the first op and every op instance at its own context, keeping them all
    // (after a change of a knob that does not alter the image); they and the ops downstream
    // validate again, as the knob may change what validation reports.
    void storeKnobsInEveryOp();
    // Appends the values at the context of every knob that changes the output.
    void appendKnobs(Hash& h, const OutputContext& context) const;
    // Moves the first op to a context and stores the knob values there.
    void setContext(const OutputContext& context);

    bool panelOpen() const { return _panelOpen; }
    // Opening the panel sends the "showPanel" knob to knob_changed, and asks again for the
    // knob_changed calls that the op declined (KnobChange.h).
    void setPanelOpen(bool open);
    // Whether the first op wants knob_changed calls for a knob: true until it answers 0 for it.
    bool wantsChangeCalls(const Knob& knob) const { return !_declined.count(&knob); }
    void declineChangeCalls(const Knob& knob) { _declined.insert(&knob); }

private:
    std::unique_ptr<Op> build() const;
    void wire(Op& op);
    void makeKnobs();

    const Op::Description* _description;
    std::string _name;
    std::vector<Node*> _inputs;
    std::vector<Node*> _outputs; // nodes with this node on an input
    std::unique_ptr<Op> _firstOp;
    std::map<std::tuple<double, int, double, double, double, double>, std::unique_ptr<Op>> _ops;
    bool _panelOpen = false;
    std::set<const Knob*> _declined; // knobs whose knob_changed calls the first op declined
    std::vector<std::unique_ptr<Knob>> _knobs;
    std::map<std::string, Knob*> _knobsByName;
    std::vector<Knob*> _anonymous;
};

} // namespace Kx::Image
