// The engine's store of rendered areas, keyed by op hash, area and channels, with a memory
// budget: the least recently used areas are dropped first. An area still held by an op
// stays alive until the op lets it go, even when the store has dropped it.
#pragma once

#include "Kx/Image/Iop.h"

#include <memory>

namespace Kx::Image {

struct EngineCache {
    // The area of op, rendered on the engine's threads or taken from the store.
    static std::shared_ptr<const Plane> render(Iop& op, const Box& area,
                                               const ChannelSet& channels);
    // Renders one row of op with edge clamping, without keeping it.
    static void renderRow(Iop& op, int y, int x, int r, const ChannelSet& channels, Row& row) {
        op.renderDirect(y, x, r, channels, row);
    }
};

} // namespace Kx::Image
