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

/// The line entry tap reads, tap samples back from the newest one; null outside the 16 taps.
inline float* ensembleTapEntry(const EnsembleRun& r, std::int32_t tap) {
    if (tap < 0 || tap >= kEnsembleTaps) return nullptr;
    std::int32_t index = r.position + r.taps[tap];
    if (index >= r.maxDelay) index -= r.maxDelay;
    if (index < 0 || index >= r.maxDelay) { // a tap longer than the ring: wrap it into it
        index %= r.maxDelay;
        if (index < 0) index += r.maxDelay;
    }
    return r.line + index;
}

/// The delay line read tap samples back from the newest entry; nothing outside the 16 taps.
inline float ensembleTap(const EnsembleRun& r, std::int32_t tap) {
    const float* entry = ensembleTapEntry(r, tap);
    return entry ? *entry : 0.0f;
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

/// skipEnsemble for a unit whose ring is already all zeros: the sweep and position only.
void skipEnsembleSweep(EnsembleRun& r, int n);

/// cos x of each lane of x, limited to 0..pi, for the crossfade weights: a single-precision
/// polynomial within a few units in the last place of a float. cos x = -sin(x - pi/2), and the
/// sine's Taylor series to the 13th power leaves an error below 1e-9 over -pi/2..pi/2.
inline __m128 crossfadeCosineLanes(__m128 x) {
    constexpr float kPiSingle = 3.14159265358979f;
    constexpr float kHalfPiSingle = 1.57079632679490f;
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
    return _mm_sub_ps(_mm_setzero_ps(), sine);
}

/// cos a and cos b (crossfadeCosineLanes) for one sample's two taps.
inline void crossfadeCosines(float a, float b, float& cosA, float& cosB) {
    const __m128 cosine = crossfadeCosineLanes(_mm_setr_ps(a, b, 0.0f, 0.0f));
    cosA = _mm_cvtss_f32(cosine);
    cosB = _mm_cvtss_f32(_mm_shuffle_ps(cosine, cosine, _MM_SHUFFLE(1, 1, 1, 1)));
}

/// Pi as the crossfade angles use it.
constexpr float kEnsemblePi = 3.14159265358979f;
/// The sweep position times this is the fractional tap number (taps 0..15).
constexpr float kEnsembleTapSpan = static_cast<float>(kEnsembleTaps - 1);

/// One sample through the ensemble.
[[gnu::always_inline]] inline float ensembleSample(EnsembleRun& r, float x) {
    r.line[r.position] = x;
    // The sweep is kept inside 0..scale, so the tap number below is always 0..15.
    if (!(r.phase >= 0.0f && r.phase < r.scale)) r.phase = 0.0f;
    const float s = r.phase * kEnsembleTapSpan;
    const std::int32_t i0 = static_cast<std::int32_t>(s);
    const std::int32_t i1 = i0 + 1;
    const float f = s - static_cast<float>(i0);
    float c0, c1;
    crossfadeCosines(f * kEnsemblePi, (static_cast<float>(i1) - s) * kEnsemblePi, c0, c1);
    const float w0 = (c0 + 1.0f) * 0.5f;
    const float w1 = (c1 + 1.0f) * 0.5f;
    const float wet = w0 * ensembleTap(r, i0) + w1 * ensembleTap(r, i1);
    const float out = (1.0f - r.mix) * x + wet * r.mix;
    advanceSweep(r);
    return out;
}

/// Frames one EnsemblePlan holds.
constexpr int kEnsemblePlanFrames = 512;

/// The sweep does not depend on the signal, so a run of frames can be worked out ahead of it:
/// where each frame writes, which two entries it reads (a tap outside the sixteen reads a
/// zero of the plan's own) and with which weights. The weights' cosines are then evaluated
/// four frames to a vector, and each frame of the signal is a write, two reads and the mix.
struct EnsemblePlan {
    alignas(16) float weight0[kEnsemblePlanFrames];
    alignas(16) float weight1[kEnsemblePlanFrames];
    const float* read0[kEnsemblePlanFrames];
    const float* read1[kEnsemblePlanFrames];
    std::int32_t write[kEnsemblePlanFrames];
    float silentTap; ///< 0, read by taps outside the sixteen
};

/// Plans n frames (1..kEnsemblePlanFrames), advancing r's sweep and position as n calls of
/// ensembleSample do.
void planEnsemble(EnsembleRun& r, EnsemblePlan& plan, int n);
/// planEnsemble in its two steps: the plan with the two taps' crossfade angles (radians) in
/// place of their weights, then the weights from the angles (crossfadeCosineLanes). The first
/// step leaves the rest of the arrays past n free for a second that runs eight frames at a time.
void planEnsembleAngles(EnsembleRun& r, EnsemblePlan& plan, int n);
void planWeights(EnsemblePlan& plan, int n);
/// The first step of planEnsembleAngles where every tap lies inside the ring: each frame's
/// sweep phase (as the guard leaves it) into phase and its write position into write, both
/// padded with zeros to a multiple of eight frames, advancing r's sweep and position as n
/// calls of ensembleSample do. False, planning nothing and leaving r as it is, where some tap
/// lies outside the ring.
bool planEnsembleSweep(EnsembleRun& r, float* phase, std::int32_t* write, int n);
/// planEnsembleAngles one frame at a time, for any taps and any scale.
void planEnsembleEachFrame(EnsembleRun& r, EnsemblePlan& plan, int n);

/// Frame k of the plan applied to sample x: the same result as ensembleSample.
[[gnu::always_inline]] inline float
plannedEnsembleSample(const EnsembleRun& r, const EnsemblePlan& plan, int k, float x) {
    r.line[plan.write[k]] = x;
    const float wet = plan.weight0[k] * *plan.read0[k] + plan.weight1[k] * *plan.read1[k];
    return (1.0f - r.mix) * x + wet * r.mix;
}
