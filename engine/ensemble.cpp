#include "engine/ensemble.h"

#include <cmath>

namespace {

constexpr float kPi = 3.14159265358979f;
/// The sweep position times this is the fractional tap number (taps 0..15).
constexpr float kTapSpan = static_cast<float>(kEnsembleTaps - 1);

/// The delay line read the given number of samples back from the newest entry.
inline float tapValue(const Ensemble& e, std::int32_t tap) {
    if (tap < 0 || tap >= kEnsembleTaps) return 0.0f; // outside the sixteen taps: nothing
    std::int32_t index = e.position + e.taps[tap];
    if (index >= e.maxDelay) index -= e.maxDelay;
    if (index < 0 || index >= e.maxDelay) { // a tap longer than the ring: wrap it into it
        index %= e.maxDelay;
        if (index < 0) index += e.maxDelay;
    }
    return e.line[index];
}

} // namespace

void processEnsemble(Ensemble& e, float* buffer, int n) {
    if (e.lineRate == 0.0f || n <= 0) return;
    // A ring that does not fit its line (or no line at all) is left alone: pass through.
    if (!e.line || e.maxDelay <= 0 || e.maxDelay > e.lineLength) return;
    const float scale = e.phaseScale > 0.0f ? e.phaseScale : 1.0f;
    if (e.position < 0 || e.position >= e.maxDelay) e.position = 0;

    for (int k = 0; k < n; ++k) {
        const float x = buffer[k];
        e.line[e.position] = x;

        // The sweep is kept inside 0..scale, so the tap number below is always 0..15.
        if (!(e.phase >= 0.0f && e.phase < scale)) e.phase = 0.0f;
        const float s = e.phase * kTapSpan;
        const std::int32_t i0 = static_cast<std::int32_t>(s);
        const std::int32_t i1 = i0 + 1;
        const float f = s - static_cast<float>(i0);
        const float w0 = (std::cos(f * kPi) + 1.0f) * 0.5f;
        const float w1 = (std::cos((static_cast<float>(i1) - s) * kPi) + 1.0f) * 0.5f;
        const float wet = w0 * tapValue(e, i0) + w1 * tapValue(e, i1);
        buffer[k] = (1.0f - e.mix) * x + wet * e.mix;

        e.phase += e.lfoStep;
        if (e.phase >= scale)
            e.phase -= scale;
        else if (e.phase < 0.0f)
            e.phase += scale; // a negative rate sweeps backward
        e.position -= 1;
        if (e.position < 0) e.position = e.maxDelay - 1;
    }
}
