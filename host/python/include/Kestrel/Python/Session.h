// Session: the graph the command-line host works on, and everything the host does with it
// for the command line and for Python alike.
//
// There is one session per process, as there is one list of views. It owns the graph (a
// script read from a file, or an empty one), the position of each node in the node graph
// (kept for the scripts that lay out the nodes they create; not part of the script text),
// the current frame, and the stack of nodes whose buttons are running ("this node").
//
// Node handles. Python holds nodes through NodeHandle objects that the session hands out,
// one per node. A handle follows its node through renames; it goes empty when its node is
// deleted, and when the graph is rebuilt from a snapshot (restore()) it moves to the new node
// of the same name, so objects held by Python stay usable after a failed call was undone.
#pragma once

#include <Kx/Image/Executable.h>
#include <Kx/Image/Script.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Kestrel::Python {

// A failure the user can fix; the message names the node, knob or file and what to do.
class SessionError : public std::runtime_error {
public:
    explicit SessionError(const std::string& message) : std::runtime_error(message) {}
};

struct NodeHandle {
    Kx::Image::Node* node = nullptr;
};

struct Position {
    int x = 0, y = 0;
};

// Called after each frame with (done, total).
using ProgressFn = std::function<void(int, int)>;

class Session {
public:
    // The node-graph size of a node's tile, which layout scripts step by.
    static constexpr int kScreenWidth = 80;
    static constexpr int kScreenHeight = 18;

    static Session& current();

    Kx::Image::Graph& graph() { return *_graph; }
    // Replaces the graph by the script of a file; on failure the graph stays as it was.
    void load(const std::string& path);
    void save(const std::string& path) const;
    // An empty graph with one view "main" and the frame range 1-1.
    void clear();
    const std::string& scriptPath() const { return _scriptPath; }

    // ---- nodes ----
    // Creates a node of a registered class. An empty name gives the class name followed by
    // the lowest free number (Blur1, Blur2, ...); a name that is taken is refused.
    Kx::Image::Node* createNode(const std::string& className, const std::string& name = {});
    Kx::Image::Node* findNode(const std::string& name) const;
    // The node of that name, or a SessionError naming the script and the nodes it has.
    Kx::Image::Node& node(const std::string& name) const;
    // Removes a node; the inputs of other nodes that used it are disconnected.
    void deleteNode(Kx::Image::Node* node);
    void renameNode(Kx::Image::Node& node, const std::string& name);
    std::string uniqueName(const std::string& base) const;
    std::shared_ptr<NodeHandle> handle(Kx::Image::Node* node);

    Position position(const Kx::Image::Node& node) const;
    void setPosition(const Kx::Image::Node& node, Position p);

    // ---- frames ----
    double frame() const { return _frame; }
    // Moves every node to the frame (knobs read at the current frame follow it).
    void setFrame(double frame);
    // A node's frame range: that of its image, else the graph's.
    std::pair<int, int> frameRange(Kx::Image::Node& node);
    // The context the host evaluates a node at: the current frame and the view given
    // (the first view for 0).
    Kx::Image::OutputContext context(int view = 0) const;

    // ---- running things ----
    // Sets the missing-frames choice ("error", "black", "hold") of every Read of the graph.
    void setMissingFrames(const std::string& choice);
    // Drops every node's op instances, so that the next render validates and requests afresh
    // (an op keeps the area and channels it rendered first).
    void freshOps();
    // Runs the node's executable over the frames; throws SessionError with the node, the frame
    // and the reason on failure and when interrupted.
    void execute(Kx::Image::Node& node, const std::vector<double>& frames,
                 const ProgressFn& progress = {});
    // Renders Write nodes (the given ones, or every Write of the graph) over the frames and
    // views (empty: every view of the script).
    void render(const std::vector<Kx::Image::Node*>& writes, const std::vector<double>& frames,
                const std::vector<std::string>& views, const ProgressFn& progress = {});
    // Presses a button, with the node's panel opened first as a user would: a script button
    // runs its Python with the node as "this node" (through the runner set below); a plain
    // button goes to the node's knob_changed. Other knobs are refused.
    void press(Kx::Image::Knob& knob);
    using ScriptRunner = std::function<void(const std::string& code, const std::string& where)>;
    void setScriptRunner(ScriptRunner runner) { _scriptRunner = std::move(runner); }

    // ---- this node ----
    Kx::Image::Node* thisNode() const;
    class ThisNode {
    public:
        ThisNode(Session& s, Kx::Image::Node& node);
        ~ThisNode();
        ThisNode(const ThisNode&) = delete;
        ThisNode& operator=(const ThisNode&) = delete;

    private:
        Session& _session;
    };

    // ---- undoing a failed call ----
    // The graph as text with the node positions; restore() rebuilds the graph from it and
    // moves every handle to the new node of its name.
    struct Snapshot {
        std::string script;
        std::vector<std::string> views;
        std::map<std::string, Position> positions;
        double frame = 1;
    };
    Snapshot snapshot() const;
    void restore(const Snapshot& s);

private:
    Session();
    void adoptGraph(std::unique_ptr<Kx::Image::Graph> graph);
    void dropHandle(Kx::Image::Node* node);

    std::unique_ptr<Kx::Image::Graph> _graph;
    std::string _scriptPath;
    std::map<const Kx::Image::Node*, Position> _positions;
    std::map<const Kx::Image::Node*, std::weak_ptr<NodeHandle>> _handles;
    std::vector<Kx::Image::Node*> _thisNodes;
    double _frame = 1;
    ScriptRunner _scriptRunner;
};

// The kind of a knob in words ("float", "xy", "script button", ...).
std::string knobKindName(int kind);

// Parses a list of view names ("left,right" or "left right"), checking each against the
// host's views.
std::vector<std::string> parseViewList(const std::string& text);

// Parses a memory size as users write it for caches: a number of bytes with an optional
// suffix K, M, G or T (powers of 1024, "B" after it allowed: "512M", "4GB", "1.5G"), or a
// share of the machine's memory ("25%"). At least 16 MB: below that no frame fits. Throws
// SessionError naming `what` (the option or function) and showing the accepted forms.
size_t parseMemorySize(const std::string& text, const std::string& what);

// What a Read does with a frame that is missing on disk or outside its range: "error" (the
// default: the render stops and names the file), "black" or "hold". Throws SessionError
// naming `what` for any other word.
std::string parseMissingFrames(const std::string& text, const std::string& what);

} // namespace Kestrel::Python
