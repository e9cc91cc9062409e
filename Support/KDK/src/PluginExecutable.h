// PluginExecutable: the host's Executable for a node of the framework that does frame work
// (an analysis, a file writer). Begin, each frame and end run the node's hooks inside the
// framework's firewall (Firewall.h): an exception becomes the node's error, which the host's
// execution sees after the frame and reports with the node's name and the frame.
#pragma once

#include "EffectBase.h"
#include "Firewall.h"

#include "Kx/Image/Executable.h"

namespace Marrow::Support::KDK {

class PluginExecutable : public Kx::Image::Executable {
public:
    PluginExecutable(Kx::Image::Op* op, EffectBase& effect) : Executable(op), _effect(effect) {}

    void beginExecuting() final {
        guard(_effect, [&] { begin(); });
    }
    void execute() final {
        guard(_effect, [&] { executeFrame(); });
    }
    void endExecuting() final {
        guard(_effect, [&] { end(); });
    }

protected:
    virtual void begin() {}
    virtual void executeFrame() = 0;
    virtual void end() {}

private:
    EffectBase& _effect;
};

} // namespace Marrow::Support::KDK
