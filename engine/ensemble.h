// The ensemble: a 16-tap modulated delay. Sixteen fixed taps rise and fall in a triangle; a
// slow phase ramp moves the read point across them with raised-cosine crossfades, so the delay
// sweeps up and back once per cycle. configureEnsemble (patch application) sizes and lays out.
//
// processEnsemble runs a whole buffer; the renderer's fused output chain runs the same
// per-sample step through an EnsembleRun, the unit's fields held in locals.
#pragma once

#include <xmmintrin.h>

#include <cstdint>
#include <memory>

constexpr int kEnsembleTaps = 16;

struct Ensemble {
    std::unique_ptr<float[]> line; ///< int(sampleRate x 0.2) floats (200 ms)
    float lineRate = 0;            ///< sample rate the line was sized for; 0 = unconfigured
    std::int32_t lineLength = 0;   ///< allocated entries of line
    float phase = 0;               ///< sweep position 0..phaseScale
    float phaseScale = 1.0f;
    float lfoStep = 0;                     ///< sweep increment per sample
    std::int32_t maxDelay = 0;             ///< ring length in use, samples
    std::int32_t minDelay = 0;             ///< shortest tap, samples
    std::int32_t position = 0;             ///< newest sample; moves backward
    std::int32_t taps[kEnsembleTaps] = {}; ///< tap delays, samples
    float rate = 5.0f;                     ///< sweep rate, Hz
    float base = 0.01f;                    ///< base delay, units of 2 ms
    float depth = 0.5f;                    ///< delay span, units of 2 ms
    float mix = 1.0f;                      ///< wet share
};

/// Processes n samples of buffer in place; an unconfigured unit passes them unchanged.
void processEnsemble(Ensemble& ensemble, float* buffer, int n);

/// The ensemble's fields for one loop over samples.
struct EnsembleRun {
    float* line;
    const std::int32_t* taps;
    float phase;
    float scale;
    float lfoStep;
    float mix;
    std::int32_t maxDelay;
    std::int32_t position;
};

/// Loads the unit into run; false when it is off or its ring does not fit its line (it then
/// passes samples unchanged).
inline bool beginEnsemble(Ensemble& e, EnsembleRun& run) {
    if (e.lineRate == 0.0f || !e.line || e.maxDelay <= 0 || e.maxDelay > e.lineLength) return false;
    if (e.position < 0 || e.position >= e.maxDelay) e.position = 0;
    run = {e.line.get(), e.taps, e.phase,    e.phaseScale > 0.0f ? e.phaseScale : 1.0f,
           e.lfoStep,    e.mix,  e.maxDelay, e.position};
    return true;
}

/// Stores what a loop changed back into the unit.
inline void endEnsemble(Ensemble& e, const EnsembleRun& run) {
    e.phase = run.phase;
    e.position = run.position;
}

/// The delay line read tap samples back from the newest entry; nothing outside the 16 taps.
inline float ensembleTap(const EnsembleRun& r, std::int32_t tap) {
    if (tap < 0 || tap >= kEnsembleTaps) return 0.0f;
    std::int32_t index = r.position + r.taps[tap];
    if (index >= r.maxDelay) index -= r.maxDelay;
    if (index < 0 || index >= r.maxDelay) { // a tap longer than the ring: wrap it into it
        index %= r.maxDelay;
        if (index < 0) index += r.maxDelay;
    }
    return r.line[index];
}

/// Advances the sweep by one sample, keeping it inside 0..scale.
inline void advanceSweep(EnsembleRun& r) {
    r.phase += r.lfoStep;
    if (r.phase >= r.scale)
        r.phase -= r.scale;
    else if (r.phase < 0.0f)
        r.phase += r.scale; // a negative rate sweeps backward
    r.position -= 1;
    if (r.position < 0) r.position = r.maxDelay - 1;
}

/// n samples of silence through a unit whose line holds only zeros: the same line, sweep and
/// position as n calls of ensembleSample(r, 0) leave, without the per-sample work. Runs of the
/// sweep that stay inside one binade of the float grid are added in one step: there each
/// sample adds the same rounded increment.
void skipEnsemble(EnsembleRun& r, int n);

/// cos a and cos b for a and b in 0..pi (limited to it), for the crossfade weights: a
/// single-precision polynomial evaluated for both in one SSE vector, within a few units in the
/// last place of a float. cos x = -sin(x - pi/2), and the sine's Taylor series to the 13th
/// power leaves an error below 1e-9 over -pi/2..pi/2.
inline void crossfadeCosines(float a, float b, float& cosA, float& cosB) {
    constexpr float kPiSingle = 3.14159265358979f;
    constexpr float kHalfPiSingle = 1.57079632679490f;
    __m128 x = _mm_setr_ps(a, b, 0.0f, 0.0f);
    x = _mm_min_ps(_mm_max_ps(x, _mm_setzero_ps()), _mm_set1_ps(kPiSingle));
    const __m128 y = _mm_sub_ps(x, _mm_set1_ps(kHalfPiSingle));
    const __m128 z = _mm_mul_ps(y, y);
    __m128 p = _mm_set1_ps(1.0f / 6227020800.0f);
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(-1.0f / 39916800.0f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(1.0f / 362880.0f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(-1.0f / 5040.0f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(1.0f / 120.0f));
    p = _mm_add_ps(_mm_mul_ps(p, z), _mm_set1_ps(-1.0f / 6.0f));
    const __m128 sine = _mm_add_ps(y, _mm_mul_ps(_mm_mul_ps(y, z), p));
    const __m128 cosine = _mm_sub_ps(_mm_setzero_ps(), sine);
    cosA = _mm_cvtss_f32(cosine);
    cosB = _mm_cvtss_f32(_mm_shuffle_ps(cosine, cosine, _MM_SHUFFLE(1, 1, 1, 1)));
}

/// One sample through the ensemble.
[[gnu::always_inline]] inline float ensembleSample(EnsembleRun& r, float x) {
    constexpr float kPi = 3.14159265358979f;
    // The sweep position times this is the fractional tap number (taps 0..15).
    constexpr float kTapSpan = static_cast<float>(kEnsembleTaps - 1);
    r.line[r.position] = x;
    // The sweep is kept inside 0..scale, so the tap number below is always 0..15.
    if (!(r.phase >= 0.0f && r.phase < r.scale)) r.phase = 0.0f;
    const float s = r.phase * kTapSpan;
    const std::int32_t i0 = static_cast<std::int32_t>(s);
    const std::int32_t i1 = i0 + 1;
    const float f = s - static_cast<float>(i0);
    float c0, c1;
    crossfadeCosines(f * kPi, (static_cast<float>(i1) - s) * kPi, c0, c1);
    const float w0 = (c0 + 1.0f) * 0.5f;
    const float w1 = (c1 + 1.0f) * 0.5f;
    const float wet = w0 * ensembleTap(r, i0) + w1 * ensembleTap(r, i1);
    const float out = (1.0f - r.mix) * x + wet * r.mix;
    advanceSweep(r);
    return out;
}
