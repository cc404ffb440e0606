// The echo: a very short delay whose read point follows the running mean of the absolute level
// in its ring, so the delay (and the phase of the signal) moves with loudness.
#pragma once

#include <cstdint>
#include <memory>

struct Echo {
    std::unique_ptr<float[]> line; ///< ring of length floats
    float accumulator = 0;         ///< running sum of |x| over the ring
    float inverseLength = 0;       ///< 1 / length; 0 switches the unit off
    std::int32_t length = 0;       ///< ring length, samples
    std::int32_t position = 0;     ///< next write index; moves forward
    float mix = 1.0f;              ///< wet share
};

/// Processes n samples of buffer in place; a unit that is off passes them unchanged.
void processEcho(Echo& echo, float* buffer, int n);
