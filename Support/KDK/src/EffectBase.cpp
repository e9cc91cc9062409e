// Progress, interruption and errors of an effect.
#include "EffectBase.h"
#include "Firewall.h"

#include "Kx/Image/Op.h"

namespace Marrow::Support::KDK {

namespace {

// The state in which the owner shows a message rather than an error.
constexpr int kMessageState = 4;

bool ownerStopped(const void* context) {
    auto* op = static_cast<const Kx::Image::Op*>(context);
    return op && (op->aborted() || op->cancelled());
}

} // namespace

EffectBase::~EffectBase() = default;

void EffectBase::addProgress(float delta) {
    setProgress(_progress + delta);
}

void EffectBase::setProgress(float fraction) {
    _progress = fraction;
    if (_owner) _owner->progressFraction(fraction);
}

bool EffectBase::inputNumber(int& number, int input, int, int) {
    number = input;
    return false;
}

void EffectBase::requestArea(int, Kx::Image::Box&) {}

void EffectBase::error(const char* message) {
    if (!_owner || !message) return;
    if (_owner->aborted() || _owner->opState() != kMessageState)
        _owner->error("%s", message);
    else
        _owner->message_f('!', "%s", message);
}

void reportFailure(EffectBase& effect, const char* message) noexcept {
    try {
        effect.error(message);
    } catch (...) {
        // Nothing is left to report with: the host sees the call return without its result.
    }
}

bool EffectBase::interrupted() const {
    if (_check) return _check(_checkContext);
    return ownerStopped(_owner);
}

double EffectBase::currentTime() const {
    return _owner ? _owner->outputContext().frame() : 0.0;
}

void EffectBase::setInterruptCheck(InterruptCheck check, const void* context) {
    _check = check;
    _checkContext = context;
}

} // namespace Marrow::Support::KDK
