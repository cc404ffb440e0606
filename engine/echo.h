// The echo: a very short delay whose read point follows the running mean of the absolute level
// in its ring, so the delay (and the phase of the signal) moves with loudness.
//
// processEcho runs a whole buffer; the renderer's fused output chain runs the same per-sample
// step through an EchoRun, the unit's fields held in locals for the length of a loop.
#pragma once

#include <emmintrin.h>

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
    // non-finite sum does to it), moves the read point. The limits and the wrap are selects,
    // not branches: the read point follows the level, so its turns are not predictable.
    const __m128 level = _mm_set_ss(r.accumulator * r.inverseLength);
    __m128 a = _mm_and_ps(_mm_cmpge_ss(level, _mm_setzero_ps()), level); // NaN and < 0 give 0
    a = _mm_min_ss(a, _mm_set_ss(1.0f));
    __m128 p = _mm_add_ss(_mm_mul_ss(a, _mm_set_ss(r.lastIndex)),
                          _mm_set_ss(static_cast<float>(r.position)));
    const __m128 lengthValue = _mm_set_ss(r.lengthValue);
    p = _mm_sub_ss(p, _mm_and_ps(_mm_cmpge_ss(p, lengthValue), lengthValue)); // p - 0 is p
    const float point = _mm_cvtss_f32(p);
    std::int32_t i = _mm_cvttss_si32(p);
    // Masks rather than branches (p < length, so neither limit is met in practice).
    const std::int32_t beyond = -static_cast<std::int32_t>(i >= length);
    i = (i & ~beyond) | ((length - 1) & beyond);
    const std::int32_t next = (i + 1) & -static_cast<std::int32_t>(i + 1 != length);
    const float y = line[i] + (line[next] - line[i]) * (point - static_cast<float>(i));
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
