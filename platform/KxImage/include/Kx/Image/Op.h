// Op: the base of every node's operator, and the host's description registry.
//
// The host drives an op in this order (each step only once its inputs have done it):
//   1. build: a registered Description's builder makes the op for a Node;
//   2. knobs(Knob_Closure&) on each kind of pass; knob_changed(Knob*) after an edit;
//   3. setOutputContext: the frame and view the op renders for;
//   4. validate(for_real) -> _validate: the op sets its output info (an Iop: box, format,
//      channels) or calls error(); an op in error renders nothing;
//   5. request(...) -> _request (Iop): which area and channels the op will read of its inputs;
//   6. open -> _open, then rows and samples on many threads (Iop);
//   7. invalidate -> _invalidate, close -> _close: cached state is dropped.
//
// Inputs: a node input n may be split into several contexts (split_input(n) of them); each
// (input, split) pair has its own input op, numbered consecutively: host input number
// inputNumber(n, k) = sum of split_input(i) for i < n, plus k. input(number) returns that op.
#pragma once

#include "Hash.h"
#include "MetaData.h"
#include "OutputContext.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Kx::Image {

class Executable;
class Iop;
class Knob;
class Knob_Closure;
class Node;
class ViewerContext;

class Op {
public:
    // How a plug-in (or the host itself) makes a class of op known: a static Description
    // adds itself to the registry when its library is loaded.
    struct Description {
        using Constructor = Op* (*)(Node*);
        const char* name;         // class name, the one scripts use
        Constructor constructor;  // the builder
        const char* compileStamp; // build date and SDK version the class was built with
        std::string file;         // the plug-in file it came from ("" for built-ins)

        Description(const char* name, Constructor c, const char* stamp = kCompileStamp);
        ~Description();
        static void add(Description* d);
        static void remove(Description* d);
        static const Description* find(const std::string& name);
        static std::vector<const Description*> all();
    };
    static const char* const kCompileStamp; // "<date> for KxImage <version>"
    static const char* const kVersion;

    explicit Op(Node* node);
    virtual ~Op();
    Op(const Op&) = delete;
    Op& operator=(const Op&) = delete;

    virtual const char* Class() const = 0;
    virtual const char* node_help() const { return ""; }
    virtual const char* displayName() const { return Class(); }
    virtual Iop* iop() { return nullptr; }
    Node* node() const { return _node; }
    std::string node_name() const;

    // ---- inputs ----
    virtual int minimum_inputs() const { return 1; }
    virtual int maximum_inputs() const { return 1; }
    virtual bool test_input(int n, Op* op) const;
    virtual const char* input_label(int n, char* buffer) const;
    virtual int split_input(int n) const;
    // The context input n, split offset, is evaluated at; the default is the op's own.
    virtual const OutputContext& inputContext(int n, int offset, OutputContext& scratch) const;
    // The context the host uses for an input of the node; scripts of the node may want it.
    int node_inputs() const { return int(_nodeInputs); }
    // Number of input ops (every split of every node input).
    int inputs() const { return int(_inputs.size()); }
    int inputNumber(int n, int offset) const;
    Op* input(int number) const;
    Op* input(int n, int offset) const { return input(inputNumber(n, offset)); }
    Op* input0() const { return input(0); }
    Iop* input_iop(int number) const;
    // Wiring, used by the host when it builds an op tree (and by tests).
    void set_node_inputs(int count);
    void set_input(int number, Op* op);

    // ---- context ----
    const OutputContext& outputContext() const { return _context; }
    virtual void setOutputContext(const OutputContext& c);
    double frame() const { return _context.frame(); }
    int view() const { return _context.view(); }

    // ---- knobs ----
    virtual void knobs(Knob_Closure&) {}
    // The node's knob of that name (nullptr when there is none or the op has no node).
    Knob* knob(const char* name) const;
    // Called after a knob of the node changed; non-zero asks for further calls.
    virtual int knob_changed(Knob*) { return 0; }
    bool panel_visible() const;

    // ---- validation ----
    void validate(bool for_real = true);
    bool valid() const { return _valid; }
    bool real_valid() const { return _realValid; }
    virtual void _validate(bool for_real);
    // Drops validation (and for an Iop the requested area and cached rows).
    void invalidate();
    virtual void _invalidate() {}
    void open();
    virtual void _open() {}
    void close();
    virtual void _close() {}

    // ---- hash ----
    // Everything that changes the output is appended: the default appends the class name,
    // the context and the inputs' hashes. Computed at validation.
    virtual void append(Hash&) {}
    const Hash& hash() const { return _hash; }
    void rehash();

    // ---- errors and messages ----
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A message of a type ('!' warning, 'i' information) that does not stop rendering.
    void message_f(char type, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool hasError() const { return _hasError; }
    std::string errorMessage() const;
    std::string lastMessage() const;
    // The op's state: 0 normal, 2 in error, 4 showing a message.
    int opState() const { return _hasError ? 2 : _hasMessage ? 4 : 0; }

    // ---- interruption and progress ----
    bool aborted() const;
    bool cancelled() const;
    void abort(); // asks every render running for this op's tree to stop
    void progressFraction(double f);
    double progress() const { return _progress.load(); }

    // ---- metadata ----
    const MetaData::Bundle& fetchMetaData(const char* key = nullptr);
    virtual void _fetchMetaData(const char* key);
    MetaData::Bundle _meta;

    // ---- execution and viewer ----
    virtual Executable* executable() { return nullptr; }
    // Viewer-time updates, on the interface thread, for a node whose output a viewer shows
    // or whose panel is open: doPreValidate before the viewer validates the op, updateUI when
    // the panel or the viewer refreshes. Both may write knob values. kestrel calls them in
    // `kestrel view` and, standing in for the artist's viewer, before `kestrel align`
    // renders; batch renders of a saved script do not.
    virtual int doPreValidate() { return 0; }
    virtual bool updateUI(const OutputContext&) { return false; }
    // Whether the op has handles in a viewer, asked before build_handles (ViewerContext::build):
    // kNoHandles, kHandles (build them as the op is), or kHandlesOnValidated (validate the op
    // first: its handles draw from what validation prepares). The host's answer: kHandles
    // when the panel is open and a knob of the node asks for a handle, else kNoHandles.
    static constexpr int kNoHandles = 0;
    static constexpr int kHandles = 1;
    static constexpr int kHandlesOnValidated = 3;
    virtual int doAnyHandles(ViewerContext* ctx);
    virtual void build_handles(ViewerContext*) {}
    virtual void draw_handle(ViewerContext*) {}
    // The host's handle building: registers every knob of the node that asks for a handle
    // (Knob::build_handle) and has no NoHandles flag.
    void build_knob_handles(ViewerContext* ctx);

protected:
    std::atomic<bool> _aborted{false};

private:
    Node* _node;
    OutputContext _context;
    std::vector<Op*> _inputs;
    size_t _nodeInputs = 0;
    Hash _hash;
    bool _valid = false, _realValid = false;
    bool _hasError = false, _hasMessage = false;
    mutable std::mutex _messageMutex;
    std::string _error, _message;
    std::atomic<double> _progress{0.0};
};

} // namespace Kx::Image
