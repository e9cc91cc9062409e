#pragma once

#include "mwRefCounter.h"

// Progress of a long operation as a fraction from 0 to 1. Implementations may be called from
// worker threads.
class MwProgressI : public MwRefCounter {
public:
    // Adds delta to the current fraction and sets the result.
    virtual void addProgress(float delta) = 0;
    virtual void setProgress(float fraction) = 0;
    virtual float getProgress() const = 0;
};
