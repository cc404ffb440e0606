// The echo: a very short delay whose read point follows the running mean of the absolute level
// in its ring, so the delay (and the phase of the signal) moves with loudness.
//
// processEcho runs a whole buffer; the renderer's fused output chain runs the same per-sample
// step through an EchoRun, the unit's fields held in locals for the length of a loop.
#pragma once

#include <cmath>
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

/// The echo's fields for one loop over samples.
struct EchoRun {
    float* line;
    float accumulator;
    float inverseLength;
    std::int32_t length;
    std::int32_t position;
    float mix;
    float lengthValue; ///< length as a float
    float lastIndex;   ///< length - 1 as a float
};

/// Loads the unit into run; false when it is off (it then passes samples unchanged).
inline bool beginEcho(Echo& echo, EchoRun& run) {
    if (echo.inverseLength == 0.0f || !echo.line || echo.length <= 0) return false;
    if (echo.position < 0 || echo.position >= echo.length) echo.position = 0;
    run = {echo.line.get(),
           echo.accumulator,
           echo.inverseLength,
           echo.length,
           echo.position,
           echo.mix,
           static_cast<float>(echo.length),
           static_cast<float>(echo.length - 1)};
    return true;
}

/// Stores what a loop changed back into the unit.
inline void endEcho(Echo& echo, const EchoRun& run) {
    echo.accumulator = run.accumulator;
    echo.position = run.position;
}

/// One sample through the echo.
[[gnu::always_inline]] inline float echoSample(EchoRun& r, float x) {
    float* const line = r.line;
    const std::int32_t length = r.length;
    r.accumulator -= std::fabs(line[r.position]);
    line[r.position] = x;
    r.accumulator += std::fabs(x);

    // Mean absolute level over the ring, capped at 1 (and kept at 0..1 whatever rounding or a
    // non-finite sum does to it), moves the read point.
    float a = r.accumulator * r.inverseLength;
    if (!(a >= 0.0f)) a = 0.0f;
    if (a > 1.0f) a = 1.0f;
    float p = a * r.lastIndex + static_cast<float>(r.position);
    if (p >= r.lengthValue) p -= r.lengthValue;
    std::int32_t i = static_cast<std::int32_t>(p);
    if (i >= length) i = length - 1;
    const std::int32_t next = i + 1 == length ? 0 : i + 1;
    const float y = line[i] + (line[next] - line[i]) * (p - static_cast<float>(i));
    const float out = y * r.mix + (1.0f - r.mix) * x;

    r.position += 1;
    if (r.position == length) {
        r.position = 0;
        // Once per pass over the ring the running sum is formed afresh, so rounding cannot
        // drift it and a non-finite value cannot stay in it.
        float total = 0.0f;
        for (std::int32_t j = 0; j < length; ++j)
            total += std::fabs(line[j]);
        r.accumulator = total;
    }
    return out;
}
