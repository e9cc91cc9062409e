#include "mwRefCounter.h"

#include <cassert>

MwRefCounter::MwRefCounter(const MwRefCounter&) noexcept {}

MwRefCounter& MwRefCounter::operator=(const MwRefCounter&) noexcept {
    return *this;
}

MwRefCounter::~MwRefCounter() = default;

void MwRefCounter::addRef() noexcept {
    _refCount.fetch_add(1, std::memory_order_relaxed);
}

void MwRefCounter::release() noexcept {
    // acq_rel: the deleting thread must see every write made before other threads released.
    const std::int32_t before = _refCount.fetch_sub(1, std::memory_order_acq_rel);
    assert(before > 0 && "released more often than referenced");
    if (before == 1) delete this;
}

std::int32_t MwRefCounter::refCount() const noexcept {
    return _refCount.load(std::memory_order_relaxed);
}
