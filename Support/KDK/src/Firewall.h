// The boundary between a node and its host. Every call the host makes into a node of the
// framework (validation, requests, rows, samples, knob changes, execution, viewer drawing and
// events) runs through guard(), so that no exception of the node, the core library or the
// standard library reaches the host: its message becomes the node's error (EffectBase::error),
// which the host shows on the node, and the call returns as if it had done nothing. The core
// library's exceptions are std::exceptions whose what() is their formatted message.
#pragma once

#include "EffectBase.h"

#include <exception>
#include <utility>

namespace Marrow::Support::KDK {

// The node's error for an exception that is not a std::exception.
inline constexpr const char* kUnknownFailure =
    "Unknown internal error. Please save the script and report it with the steps that led here.";

// Reports an exception's message as the effect's error; never throws.
void reportFailure(EffectBase& effect, const char* message) noexcept;

// Runs work; true when it returned, false when it threw (the failure is then the effect's error).
template <class Work> bool guard(EffectBase& effect, Work&& work) noexcept {
    try {
        std::forward<Work>(work)();
        return true;
    } catch (const std::exception& e) {
        reportFailure(effect, e.what());
    } catch (...) {
        reportFailure(effect, kUnknownFailure);
    }
    return false;
}

} // namespace Marrow::Support::KDK
