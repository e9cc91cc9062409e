// EffectBase: what every effect of the framework has, whatever host op it sits on:
// progress, interruption, error reporting, the input-number query and the serializer of
// its private state.
#pragma once

#include "Kx/Image/Box.h"

#include "mwProgressI.h"

#include <string>

namespace Kx::Image {
class Op;
}

namespace Marrow::Support::KDK {

// Saves a node's private state into the host script and loads it back (SerializeKnob).
class Serializer {
public:
    virtual ~Serializer() = default;
    // The state as text; may throw.
    virtual std::string save() = 0;
    // Reads the state back; false (or a throw) refuses the text.
    virtual bool load(const std::string& text) = 0;
};

// The host op owns the effect (the node's op is the effect); the reference count serves
// holders besides the host.
class EffectBase : public MwProgressI {
public:
    // Answers true when the owner should stop.
    using InterruptCheck = bool (*)(const void* context);

    EffectBase() = default;
    ~EffectBase() override;

    // progress := progress + delta, then setProgress(progress).
    void addProgress(float delta) override;
    // Stores the fraction and passes it to the owner op's progress.
    void setProgress(float fraction) override;
    float getProgress() const override { return _progress; }

    // The host input number of an input read at a frame and a view (a view number minus
    // one; negative: the output's view). The base writes the input itself and answers false.
    virtual bool inputNumber(int& number, int input, int frame, int view);
    // The object that saves and loads the node's private state; none by default.
    virtual Serializer* serializer() { return nullptr; }
    // May change the area asked of an input; no change by default.
    virtual void requestArea(int input, Kx::Image::Box& area);

    // Reports a message: as the owner's error when the owner is aborted or not showing a
    // message, else as a warning message ('!') of the owner.
    void error(const char* message);
    bool interrupted() const;
    // The owner's output-context frame.
    double currentTime() const;

    Kx::Image::Op* owner() const { return _owner; }
    void setOwner(Kx::Image::Op* owner) { _owner = owner; }
    void setInterruptCheck(InterruptCheck check, const void* context);

private:
    Kx::Image::Op* _owner = nullptr;
    float _progress = 0;
    InterruptCheck _check = nullptr;
    const void* _checkContext = nullptr;
};

} // namespace Marrow::Support::KDK
