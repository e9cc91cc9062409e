// The host's execute: runs an executable op over frames and views.
#include "Kx/Image/Executable.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Op.h"

#include <exception>
#include <malloc.h>

namespace Kx::Image {
namespace {

std::optional<double> g_nextFrame;

// Sets the next frame for the length of a run and restores the outer run's on leaving, as a
// frame's work may execute another node.
class NextFrame {
public:
    NextFrame() : _outer(g_nextFrame) {}
    ~NextFrame() { g_nextFrame = _outer; }
    void set(std::optional<double> f) { g_nextFrame = f; }

private:
    std::optional<double> _outer;
};

} // namespace

std::optional<double> executeNextFrame() {
    return g_nextFrame;
}

ExecuteResult execute(Op& op, const std::vector<double>& frames,
                      const std::function<void(int, int)>& progress) {
    ExecuteResult result;
    Executable* ex = op.executable();
    if (!ex) {
        result.ok = false;
        result.error = op.node_name() + " cannot be executed: it has no frame work to run";
        return result;
    }
    std::set<int> views = ex->viewsToExecute();
    if (views.empty()) views.insert(op.outputContext().view());
    const int total = int(frames.size());
    NextFrame next;
    int completed = 0, reported = 0; // frames run through, and reported as finished
    try {
        ex->beginExecuting();
        for (size_t i = 0; i < frames.size(); ++i) {
            const double f = frames[i];
            next.set(i + 1 < frames.size() ? std::optional(frames[i + 1]) : std::nullopt);
            if (Engine::interrupted()) {
                result.interrupted = true;
                break;
            }
            for (int v : views) {
                OutputContext c = op.outputContext();
                c.setFrame(f);
                c.setView(v);
                if (ex->skipFrame(c)) {
                    ++result.framesSkipped;
                    continue;
                }
                // The node's knobs are stored anew for the frame, so that the frame work
                // reads animated values where it runs, not where the run started.
                if (Node* node = op.node(); node && node->firstOp() == &op)
                    node->setContext(c);
                else
                    op.setOutputContext(c);
                // A node whose set-up is in error cannot run: its message says what to fix.
                op.validate(false);
                if (!op.hasError()) ex->execute();
                ++result.framesRun;
                if (op.hasError()) {
                    result.ok = false;
                    result.error = op.node_name() + " at frame " + std::to_string(int(f)) + ": " +
                                   op.errorMessage();
                    break;
                }
            }
            // Nothing the finished frame used stays alive: its op instances, the file data
            // they read and their rendered areas go, so a shot of any length runs in the
            // memory of one frame.
            Node::releaseAllOps();
            Engine::clearCache();
            Engine::endFrame();
            // The freed frame goes back to the system too: each render thread's heap would
            // otherwise keep the pieces of its large buffers, and a long shot would creep up
            // by their difference from frame to frame.
            malloc_trim(0);
            if (!result.ok) break;
            completed = int(i) + 1;
            if (progress)
                while (reported < completed - ex->framesInFlight()) progress(++reported, total);
        }
    } catch (const std::exception& e) {
        result.ok = false;
        result.error = op.node_name() + ": " + e.what();
    }
    next.set(std::nullopt);
    try {
        ex->endExecuting();
        // The frames that were still in flight are finished now.
        if (progress)
            while (reported < completed) progress(++reported, total);
    } catch (const std::exception& e) {
        if (result.ok) result.error = op.node_name() + " (end of execution): " + e.what();
        result.ok = false;
    }
    if (result.interrupted) result.ok = false;
    return result;
}

} // namespace Kx::Image
