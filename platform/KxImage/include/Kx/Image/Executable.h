// Executable: an op that does work over a frame range rather than (only) producing pixels,
// such as an analysis or a file writer. The host's execute() drives it:
// beginExecuting(); for each frame: setOutputContext, the skip question, execute();
// endExecuting(), also when a frame fails or the run is interrupted.
#pragma once

#include "OutputContext.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Kx::Image {

class Op;

class Executable {
public:
    explicit Executable(Op* op) : _op(op) {}
    virtual ~Executable() = default;

    Op* op() const { return _op; }
    virtual void beginExecuting() {}
    virtual void execute() = 0;
    virtual void endExecuting() {}
    // True when the frame of the context is to be skipped.
    virtual bool skipFrame(const OutputContext&) { return false; }
    // The views to run over; empty means the current view only.
    virtual const std::set<int>& viewsToExecute() {
        static const std::set<int> none;
        return none;
    }
    // Frames that execute() has taken on and not yet finished when it returns, such as a file
    // still being written; endExecuting() finishes them. A frame counts as done for the
    // progress of a run only once it is finished.
    virtual int framesInFlight() const { return 0; }
    virtual bool isExecuteThreadSafe() const { return false; }
    virtual bool isWrite() const { return false; }
    virtual std::string filename() const { return {}; }

private:
    Op* _op;
};

struct ExecuteResult {
    bool ok = true;
    bool interrupted = false;
    std::string error; // first error, naming the node and the frame
    int framesRun = 0, framesSkipped = 0;
};

// Runs an executable op over frames (in the given order) and its views. progress, when
// set, is called with (done, total) as each frame is finished (framesInFlight), at the latest
// once endExecuting() has finished the last ones.
ExecuteResult execute(Op& op, const std::vector<double>& frames,
                      const std::function<void(int, int)>& progress = {});

// While execute() runs a frame, the frame it runs next; none on the last frame and outside
// execute(). Sources that read files start reading that frame's files ahead, so the reading
// of one frame overlaps with the rendering of the frame before. Main thread only.
std::optional<double> executeNextFrame();

} // namespace Kx::Image
