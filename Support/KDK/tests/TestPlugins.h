// Small plug-ins built on the framework for its tests.
#pragma once

#include "IopPlugin.h"

#include <vector>

namespace KdkTest {

using namespace Kx::Image;
using namespace Marrow::Support::KDK;

// Reads its input at the extra frames and views it is given.
class Reader : public IopPlugin {
public:
    explicit Reader(Node* node) : IopPlugin(node) { _inputLabels = {"Source", "Mask"}; }
    const char* Class() const override { return "KdkReader"; }
    const char* pluginDisplayName() const override { return "Reader"; }
    const char* pluginHelp() const override { return "Reads its inputs."; }

    std::vector<int> frames, views; // copied into the extra lists on each new context
    int frameChanged(int) override {
        _extraFrames = frames;
        return 0;
    }
    int viewChanged(int) override {
        _extraViews = views;
        return 0;
    }
    void setMinimumInputs(int n) { _minimumInputs = n; }
};

// Computes red as 1 + x + 10 y + 1000 frame over the whole area, once per area.
class Processor : public IopPlugin {
public:
    explicit Processor(Node* node) : IopPlugin(node) { setAddedChannels(Mask_Red); }
    const char* Class() const override { return "KdkProcessor"; }
    const char* pluginDisplayName() const override { return "Processor"; }
    const char* pluginHelp() const override { return ""; }

    int processCalls = 0;
    void process(FrameJob& job) override {
        ++processCalls;
        for (Channel z : job.channels) {
            FrameBuffer* b = job.plane(z);
            for (int y = job.area.y(); y < job.area.t(); ++y)
                for (int x = job.area.x(); x < job.area.r(); ++x)
                    b->row(y)[x - job.area.x()] = float(1 + x + 10 * y + 1000 * job.frame);
        }
    }
};

// Declares no process hook.
class Lazy : public IopPlugin {
public:
    explicit Lazy(Node* node) : IopPlugin(node) { setAddedChannels(Mask_Red); }
    const char* Class() const override { return "KdkLazy"; }
    const char* pluginDisplayName() const override { return "Lazy"; }
    const char* pluginHelp() const override { return ""; }
};

} // namespace KdkTest
