// The engine's store of rendered areas, keyed by op hash, area and channels, with a memory
// budget: the least recently used areas are dropped first. The store owns what it keeps;
// ops look their areas up weakly, so what the store drops is freed once the rows being
// read from it are done.
#pragma once

#include "Kx/Image/Iop.h"

#include <memory>

namespace Kx::Image {

struct EngineCache {
    // The area of op, rendered on the engine's threads or taken from the store; stored
    // tells whether the store keeps it (it does not keep an empty, failed or interrupted
    // render, nor one larger than the whole budget).
    static std::shared_ptr<const Plane> render(Iop& op, const Box& area, const ChannelSet& channels,
                                               bool& stored);
    // Renders one row of op with edge clamping, without keeping it.
    static void renderRow(Iop& op, int y, int x, int r, const ChannelSet& channels, Row& row) {
        op.renderDirect(y, x, r, channels, row);
    }
};

} // namespace Kx::Image
