// The render engine's settings and entry points.
//
// Threads: rows are rendered in parallel over rows on a pool of worker threads; the count
// is numCPUs() unless setThreads() says otherwise (1 renders everything on the caller).
// Cache: rendered areas are kept by op hash, area and channels within a memory budget; the
// least recently used are dropped first. The cache owns them: an op only looks its area up,
// so the accounted bytes (cacheBytes) are what the rendered areas of every op take
// together, and they never pass the budget. An area larger than the whole budget is the
// one exception: it is not stored, and only the op instance that rendered it holds it. The
// default budget is a quarter of the machine's memory (at least 256 MB). Sequence work
// (execute) releases, after each frame, the op instances and rendered areas of that frame,
// so memory does not grow with the length of a shot.
//
// Frame memory: the large buffers of a frame (rendered areas, decoded files, frames on their
// way to a file) come from frameBuffer(), uninitialised, for pixels that are written before
// they are read. A buffer goes back to a pool when its last owner lets it go, and a later
// request of the same size takes it again: a sequence reuses the memory of the frame before
// rather than having the system map and clear fresh pages for every frame. The pool keeps at
// most half the cache budget idle, letting the longest idle go first. Sequence work calls
// endFrame() after each frame: a buffer that stayed idle through a whole frame is freed, so
// the pool holds only the sizes the frames of the shot keep asking for, not every size some
// step of the first frame used once.
#pragma once

#include "Box.h"
#include "Channel.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace Kx::Image {

class Iop;
class Row;

namespace Engine {

void setThreads(unsigned n); // 0 restores the default
unsigned threads();

void setCacheBudget(size_t bytes);
size_t cacheBudget();
size_t defaultCacheBudget();
size_t cacheBytes();
// The most bytes the cache has held since the last reset (or since the start).
size_t cacheHighWater();
void resetCacheHighWater();
void clearCache();

// Uninitialised memory for `floats` floats, aligned to a cache line, taken from the pool of
// frame memory or newly allocated; it goes back to the pool when the last copy of the
// pointer is gone. Null for 0 floats. Safe on many threads at once.
std::shared_ptr<float> frameBuffer(size_t floats);
// Marks the end of a frame of sequence work: frees the idle buffers that no request took
// since the previous call.
void endFrame();
// The bytes of frame memory that the pool holds idle.
size_t frameMemoryIdle();

// Runs f(y) for every y in [y0, y1) on the engine's threads.
void parallelRows(int y0, int y1, const std::function<void(int)>& f);

// Validates op for real, requests the area, and hands every row of box to sink (on the
// engine's threads, each row once, in no particular order). Returns false when the op is
// in error or the render was interrupted.
bool renderRows(Iop& op, const Box& box, const ChannelSet& channels,
                const std::function<void(int y, const Row& row)>& sink);

// Interrupts every render in progress (Ctrl-C); reset() lets new renders run again.
void interruptAll();
void resetInterrupt();
bool interrupted();

} // namespace Engine
} // namespace Kx::Image
