#include "instrument/host_requests.h"

namespace {
constexpr std::size_t kMask = kHostRequestCapacity - 1;
static_assert((kHostRequestCapacity & kMask) == 0, "the capacity must be a power of two");
} // namespace

HostRequestQueue::HostRequestQueue() : cells(new Cell[kHostRequestCapacity]) {
    for (std::size_t i = 0; i < kHostRequestCapacity; ++i)
        cells[i].sequence.store(i, std::memory_order_relaxed);
}

bool HostRequestQueue::push(const HostRequest& request) {
    std::size_t position = enqueuePosition.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells[position & kMask];
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto lag = static_cast<std::ptrdiff_t>(sequence - position);
        if (lag == 0) {
            // The cell is free for this position: claim it, or learn who did and try the next.
            if (enqueuePosition.compare_exchange_weak(position, position + 1,
                                                      std::memory_order_relaxed)) {
                cell.request = request;
                cell.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (lag < 0) {
            return false; // the consumer has not read this cell yet: full
        } else {
            position = enqueuePosition.load(std::memory_order_relaxed);
        }
    }
}

bool HostRequestQueue::pop(HostRequest& request) {
    Cell& cell = cells[dequeuePosition & kMask];
    const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
    if (static_cast<std::ptrdiff_t>(sequence - (dequeuePosition + 1)) < 0) return false;
    request = cell.request;
    cell.sequence.store(dequeuePosition + kHostRequestCapacity, std::memory_order_release);
    ++dequeuePosition;
    return true;
}
