// The output chain's lanes kernel, built twice: for the baseline in render.cpp and for AVX2 in
// output_chain_avx2.cpp, which includes every header below before switching the target, so
// that only the functions defined here are compiled for AVX2 (all of them local to the unit).
//
// The three filters are recurrences whose every sample waits on the one before; they run side
// by side in the lanes of one vector, each a few frames behind the one before it, and the
// echo, the ensemble and the return of four frames run as vectors between their steps.
#pragma once

#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/output_chain.h"
#include "engine/shaper.h"
#include "patches/biquad.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

/// limitOutput for each lane of x.
inline __m128 limitOutputLanes(__m128 x) {
    const __m128 finite = _mm_cmpeq_ps(_mm_sub_ps(x, x), _mm_setzero_ps());
    const __m128 held =
        _mm_max_ps(_mm_min_ps(x, _mm_set1_ps(kOutputLimit)), _mm_set1_ps(-kOutputLimit));
    return _mm_and_ps(finite, held);
}

#if defined(OUTPUT_CHAIN_AVX2)
/// limitOutputLanes for eight frames.
inline __m256 limitOutputEight(__m256 x) {
    const __m256 finite = _mm256_cmp_ps(_mm256_sub_ps(x, x), _mm256_setzero_ps(), _CMP_EQ_OQ);
    const __m256 held = _mm256_max_ps(_mm256_min_ps(x, _mm256_set1_ps(kOutputLimit)),
                                      _mm256_set1_ps(-kOutputLimit));
    return _mm256_and_ps(finite, held);
}

/// shapeLanes (shaper.h) for eight frames.
inline __m256 shapeEight(const ShaperRun& r, __m256 x) {
    const __m256 magnitudeBits = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 u = _mm256_mul_ps(
        _mm256_mul_ps(_mm256_and_ps(_mm256_mul_ps(x, _mm256_set1_ps(r.drive)), magnitudeBits),
                      _mm256_set1_ps(kShaperInputScale)),
        _mm256_set1_ps(static_cast<float>(r.length)));
    const __m256 inside =
        _mm256_cmp_ps(u, _mm256_set1_ps(static_cast<float>(r.length - 2)), _CMP_LT_OQ);
    // Lanes beyond the table read entry 0, whose value is not used.
    const __m256i i = _mm256_and_si256(_mm256_cvttps_epi32(u), _mm256_castps_si256(inside));
    alignas(32) std::int32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), i);
    // Each lane's two neighbouring entries with one 64-bit load.
    auto pair = [&](int l) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r.table + at[l]));
    };
    const __m256 a = _mm256_set_m128(_mm_castsi128_ps(_mm_unpacklo_epi64(pair(4), pair(5))),
                                     _mm_castsi128_ps(_mm_unpacklo_epi64(pair(0), pair(1))));
    const __m256 b = _mm256_set_m128(_mm_castsi128_ps(_mm_unpacklo_epi64(pair(6), pair(7))),
                                     _mm_castsi128_ps(_mm_unpacklo_epi64(pair(2), pair(3))));
    const __m256 lo = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 hi = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    const __m256 read = _mm256_add_ps(
        lo, _mm256_mul_ps(_mm256_sub_ps(hi, lo), _mm256_sub_ps(u, _mm256_cvtepi32_ps(i))));
    const __m256 beyond = _mm256_add_ps(
        _mm256_set1_ps(r.last),
        _mm256_mul_ps(_mm256_set1_ps(r.lastSlope),
                      _mm256_sub_ps(u, _mm256_set1_ps(static_cast<float>(r.length - 1)))));
    const __m256 y = _mm256_blendv_ps(beyond, read, inside);
    const __m256 negative = _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_LT_OQ);
    return _mm256_xor_ps(y, _mm256_and_ps(negative, _mm256_set1_ps(-0.0f)));
}
/// crossfadeCosineLanes (ensemble.h) for eight lanes.
inline __m256 crossfadeCosineEight(__m256 x) {
    constexpr float kPiSingle = 3.14159265358979f;
    constexpr float kHalfPiSingle = 1.57079632679490f;
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(kPiSingle));
    const __m256 y = _mm256_sub_ps(x, _mm256_set1_ps(kHalfPiSingle));
    const __m256 z = _mm256_mul_ps(y, y);
    __m256 p = _mm256_set1_ps(1.0f / 6227020800.0f);
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(-1.0f / 39916800.0f));
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(1.0f / 362880.0f));
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(-1.0f / 5040.0f));
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(1.0f / 120.0f));
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(-1.0f / 6.0f));
    const __m256 sine = _mm256_add_ps(y, _mm256_mul_ps(_mm256_mul_ps(y, z), p));
    return _mm256_sub_ps(_mm256_setzero_ps(), sine);
}

/// Tap i of the sixteen held in low (taps 0..7) and high (8..15), lane by lane (i in 0..15).
inline __m256i lookupTap(__m256i low, __m256i high, __m256i i) {
    const __m256 fromLow = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(low, i));
    const __m256 fromHigh = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(high, i));
    // Bit 3 of the tap number, moved into the sign bit, chooses the half.
    return _mm256_castps_si256(
        _mm256_blendv_ps(fromLow, fromHigh, _mm256_castsi256_ps(_mm256_slli_epi32(i, 28))));
}

/// Stores the addresses of ring entries index (write position plus tap, 0..2 x ring - 1) of
/// eight frames at to, less the ring's length where that passes its end.
inline void storeEntryAddresses(__m256i index, __m256i lastEntry, __m256i ring, __m256i line,
                                const float** to) {
    const __m256i wrapped =
        _mm256_sub_epi32(index, _mm256_and_si256(_mm256_cmpgt_epi32(index, lastEntry), ring));
    const __m256i low = _mm256_cvtepu32_epi64(_mm256_castsi256_si128(wrapped));
    const __m256i high = _mm256_cvtepu32_epi64(_mm256_extracti128_si256(wrapped, 1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_add_epi64(line, _mm256_slli_epi64(low, 2)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 4),
                        _mm256_add_epi64(line, _mm256_slli_epi64(high, 2)));
}

/// planWeights (ensemble.h) eight frames at a time.
void planWeightsEight(EnsemblePlan& plan, int n);

/// planEnsemble (ensemble.h) with everything after the sweep eight frames at a time, in one
/// loop: the taps' numbers, their crossfade angles and weights, and the entries they read.
void planEnsembleEight(EnsembleRun& unit, EnsemblePlan& plan, int n) {
    EnsembleRun r = unit; // a local copy, which the plan's stores cannot be taken to overwrite
    plan.silentTap = 0.0f;
    alignas(32) float phase[kEnsemblePlanFrames + 8];
    if (!planEnsembleSweep(r, phase, plan.write, n)) {
        planEnsembleEachFrame(r, plan, n);
        planWeightsEight(plan, n);
        unit = r;
        return;
    }
    const __m256i tapsLow = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.taps));
    const __m256i tapsHigh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.taps + 8));
    const __m256i ring = _mm256_set1_epi32(r.maxDelay);
    const __m256i lastEntry = _mm256_set1_epi32(r.maxDelay - 1);
    const __m256i line =
        _mm256_set1_epi64x(static_cast<long long>(reinterpret_cast<std::uintptr_t>(r.line)));
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 pi = _mm256_set1_ps(kEnsemblePi);
    __m256i beyond = _mm256_setzero_si256();
    // The padding frames (phase 0, write position 0) read entries inside the ring too, and are
    // never used.
    for (int k = 0; k < n; k += 8) {
        const __m256 s = _mm256_mul_ps(_mm256_load_ps(phase + k), _mm256_set1_ps(kEnsembleTapSpan));
        const __m256i i0 = _mm256_cvttps_epi32(s);
        const __m256i i1 = _mm256_add_epi32(i0, _mm256_set1_epi32(1));
        const __m256 f = _mm256_sub_ps(s, _mm256_cvtepi32_ps(i0));
        const __m256 c0 = crossfadeCosineEight(_mm256_mul_ps(f, pi));
        const __m256 c1 =
            crossfadeCosineEight(_mm256_mul_ps(_mm256_sub_ps(_mm256_cvtepi32_ps(i1), s), pi));
        _mm256_storeu_ps(plan.weight0 + k, _mm256_mul_ps(_mm256_add_ps(c0, one), half));
        _mm256_storeu_ps(plan.weight1 + k, _mm256_mul_ps(_mm256_add_ps(c1, one), half));
        beyond =
            _mm256_or_si256(beyond, _mm256_cmpgt_epi32(i1, _mm256_set1_epi32(kEnsembleTaps - 1)));
        const __m256i write = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.write + k));
        storeEntryAddresses(_mm256_add_epi32(write, lookupTap(tapsLow, tapsHigh, i0)), lastEntry,
                            ring, line, plan.read0 + k);
        storeEntryAddresses(_mm256_add_epi32(write, lookupTap(tapsLow, tapsHigh, i1)), lastEntry,
                            ring, line, plan.read1 + k);
    }
    if (!_mm256_testz_si256(beyond, beyond)) {
        // A scale above 1 reaches the tap beyond the sixteen: plan it frame by frame.
        r = unit;
        planEnsembleEachFrame(r, plan, n);
        planWeightsEight(plan, n);
    }
    unit = r;
}

void planWeightsEight(EnsemblePlan& plan, int n) {
    for (int k = n; k % 8 != 0; ++k)
        plan.weight0[k] = plan.weight1[k] = 0.0f;
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    for (int k = 0; k < n; k += 8) {
        const __m256 c0 = crossfadeCosineEight(_mm256_loadu_ps(plan.weight0 + k));
        const __m256 c1 = crossfadeCosineEight(_mm256_loadu_ps(plan.weight1 + k));
        _mm256_storeu_ps(plan.weight0 + k, _mm256_mul_ps(_mm256_add_ps(c0, one), half));
        _mm256_storeu_ps(plan.weight1 + k, _mm256_mul_ps(_mm256_add_ps(c1, one), half));
    }
}

#endif

/// The end of the chain, which remembers nothing from frame to frame, four frames (eight in
/// the AVX2 build) at a time: send holds the low-pass output on entry; the shaper and the pan
/// write both outputs.
void shapeAndPan(const ShaperRun& shaper, bool shaperOn, float panLeft, float panRight, float* main,
                 float* send, int n) {
    int k = 0;
#if defined(OUTPUT_CHAIN_AVX2)
    for (; k + 8 <= n; k += 8) {
        __m256 x = _mm256_loadu_ps(send + k);
        if (shaperOn) x = shapeEight(shaper, x);
        _mm256_storeu_ps(send + k, limitOutputEight(_mm256_mul_ps(x, _mm256_set1_ps(panRight))));
        _mm256_storeu_ps(main + k, limitOutputEight(_mm256_mul_ps(x, _mm256_set1_ps(panLeft))));
    }
#endif
    for (; k + 4 <= n; k += 4) {
        __m128 x = _mm_loadu_ps(send + k);
        if (shaperOn) x = shapeLanes(shaper, x);
        _mm_storeu_ps(send + k, limitOutputLanes(_mm_mul_ps(x, _mm_set1_ps(panRight))));
        _mm_storeu_ps(main + k, limitOutputLanes(_mm_mul_ps(x, _mm_set1_ps(panLeft))));
    }
    for (; k < n; ++k) {
        float x = send[k];
        if (shaperOn) x = shapeSample(shaper, x);
        send[k] = limitOutput(x * panRight);
        main[k] = limitOutput(x * panLeft);
    }
}

/// The three single-section filters side by side in the lanes of one vector: lane 0 the send
/// filter, lane 1 the high-pass, lane 2 the low-pass; lane 3 runs on zeros and is never read.
/// Each lane is runBiquadSection step for step: the input flushed, the same products summed in
/// the same order, the dry share added, and a non-finite result restarting the lane from rest
/// and giving 0 (here a mask rather than a branch). h2 is the last output as the next step
/// reads it (flushed); the output as the section stores it is the last one the lane wrote.
struct FilterLanes {
    __m128 b0, b1, b2, a1, a2, mix, dry;
    __m128 x1, x2, h2, y2;
};

/// The bits of a float's magnitude.
inline __m128i magnitudeBits(__m128 v) {
    return _mm_and_si128(_mm_castps_si128(v), _mm_set1_epi32(0x7FFFFFFF));
}

/// All ones in the lanes whose magnitude flushTiny keeps (|v| >= the flush level, a NaN too):
/// for floats that are not NaNs the order of the magnitudes is that of their bits.
inline __m128i largeLanes(__m128i magnitude) {
    return _mm_cmpgt_epi32(
        magnitude,
        _mm_sub_epi32(_mm_castps_si128(_mm_set1_ps(kBiquadFlushLevel)), _mm_set1_epi32(1)));
}

/// All ones in the finite lanes.
inline __m128i finiteLanes(__m128i magnitude) {
    return _mm_cmpgt_epi32(_mm_set1_epi32(0x7F800000), magnitude);
}

/// flushTiny for each lane of v.
inline __m128 flushTinyLanes(__m128 v) {
    return _mm_and_ps(_mm_castsi128_ps(largeLanes(magnitudeBits(v))), v);
}

inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

[[gnu::always_inline]] inline FilterLanes loadFilterLanes(const Biquad& s, const Biquad& h,
                                                          const Biquad& l) {
    FilterLanes f;
    f.b0 = _mm_setr_ps(s.b0, h.b0, l.b0, 0.0f);
    f.b1 = _mm_setr_ps(s.b1, h.b1, l.b1, 0.0f);
    f.b2 = _mm_setr_ps(s.b2, h.b2, l.b2, 0.0f);
    f.a1 = _mm_setr_ps(s.a1, h.a1, l.a1, 0.0f);
    f.a2 = _mm_setr_ps(s.a2, h.a2, l.a2, 0.0f);
    f.mix = _mm_setr_ps(s.mix, h.mix, l.mix, 1.0f);
    f.dry = _mm_setr_ps(1.0f - s.mix, 1.0f - h.mix, 1.0f - l.mix, 0.0f);
    // x1 as settleBiquad leaves it, and y1 as the next step flushes it.
    f.x1 = flushTinyLanes(_mm_setr_ps(s.state[0], h.state[0], l.state[0], 0.0f));
    f.x2 = _mm_setr_ps(s.state[1], h.state[1], l.state[1], 0.0f);
    f.h2 = flushTinyLanes(_mm_setr_ps(s.state[2], h.state[2], l.state[2], 0.0f));
    f.y2 = _mm_setr_ps(s.state[3], h.state[3], l.state[3], 0.0f);
    return f;
}

/// Stores the lanes' history; y1 holds each filter's last output.
[[gnu::always_inline]] inline void storeFilterLanes(const FilterLanes& f, const float* y1,
                                                    Biquad& s, Biquad& h, Biquad& l) {
    alignas(16) float lanes[3][4];
    _mm_store_ps(lanes[0], f.x1);
    _mm_store_ps(lanes[1], f.x2);
    _mm_store_ps(lanes[2], f.y2);
    Biquad* filters[3] = {&s, &h, &l};
    for (int lane = 0; lane < 3; ++lane) {
        filters[lane]->state[0] = lanes[0][lane];
        filters[lane]->state[1] = lanes[1][lane];
        filters[lane]->state[2] = y1[lane];
        filters[lane]->state[3] = lanes[2][lane];
    }
}

/// One step of the three sections on v; returns the outputs. Lanes outside active keep their
/// state (and their output is not to be used). With unityMix every lane's mix is 1: mix x y is
/// then y itself, and the next step's flushed y1 comes from y: y plus the dry share (a zero, or
/// a NaN only where y is not finite) is y wherever flushTiny keeps it.
template <bool unityMix, bool ramp>
[[gnu::always_inline]] inline __m128 stepFilterLanes(FilterLanes& f, __m128 v, __m128 active) {
    const __m128 x = flushTinyLanes(v);
    __m128 y = _mm_add_ps(_mm_mul_ps(f.b0, x), _mm_mul_ps(f.b1, f.x1));
    y = _mm_add_ps(y, _mm_mul_ps(f.b2, f.x2));
    y = _mm_sub_ps(y, _mm_mul_ps(f.a1, f.h2));
    y = _mm_sub_ps(y, _mm_mul_ps(f.a2, f.y2));
    const __m128 wet = unityMix ? y : _mm_mul_ps(f.mix, y);
    const __m128 out = _mm_add_ps(wet, _mm_mul_ps(f.dry, x));
    const __m128 finite = _mm_castsi128_ps(finiteLanes(magnitudeBits(out)));
    const __m128 kept = unityMix ? y : out;
    if (!ramp && _mm_movemask_ps(finite) == 0xF) {
        // Every lane finite, so no lane restarts and the history moves on unmasked: the next
        // step's sum then waits only on this step's y (through h2), not on its finiteness.
        // (With unityMix y is finite where y plus the dry share is.)
        f.x2 = f.x1;
        f.x1 = x;
        f.y2 = f.h2;
        f.h2 = _mm_and_ps(kept, _mm_castsi128_ps(largeLanes(magnitudeBits(kept))));
        return out;
    }
    const __m128 result = _mm_and_ps(out, finite);
    const __m128 x2 = _mm_and_ps(f.x1, finite);
    const __m128 x1 = _mm_and_ps(x, finite);
    const __m128 y2 = _mm_and_ps(f.h2, finite);
    const __m128i keptMagnitude = magnitudeBits(kept);
    const __m128 h2 = _mm_and_ps(kept, _mm_castsi128_ps(_mm_and_si128(finiteLanes(keptMagnitude),
                                                                      largeLanes(keptMagnitude))));
    if (ramp) {
        f.x2 = select(active, x2, f.x2);
        f.x1 = select(active, x1, f.x1);
        f.y2 = select(active, y2, f.y2);
        f.h2 = select(active, h2, f.h2);
    } else {
        f.x2 = x2;
        f.x1 = x1;
        f.y2 = y2;
        f.h2 = h2;
    }
    return result;
}

/// The echo over one chunk, its ring laid out in time: entry m of history holds the sample
/// written m - length frames before the chunk's first, so frame t writes entry length + t and
/// every entry its reads need sits at a fixed place behind it, whatever the ring's wrap. Frames
/// can then be read four at a time after their writes without a later frame's write getting in
/// the way. The ring is filled back from it after the chunk.
///
/// The running sum is formed afresh at each wrap as the sum of the ring from entry 0 up: the
/// samples written since the wrap before, oldest first. That sum is kept as they are written
/// (ringSum), so at the wrap it is ready, and the running sum after it no longer waits on a
/// pass over the ring that could only start once the wrap's frame is written.
struct EchoHistory {
    float* ring;
    float accumulator;
    float ringSum; ///< |x| summed over the samples written since the last wrap, in order
    float inverseLength;
    float lengthValue;
    float lastIndex;
    float mix;
    std::int32_t length;
    std::int32_t position;
    std::int32_t firstPosition; ///< position at the chunk's first frame
    float* entries;             ///< kEnsemblePlanFrames + kEchoHistoryLength floats
};

[[gnu::always_inline]] inline void beginEchoHistory(const EchoRun& run, EchoHistory& h,
                                                    float* entries) {
    h.entries = entries;
    h.ring = run.line;
    h.accumulator = run.accumulator;
    h.inverseLength = run.inverseLength;
    h.lengthValue = run.lengthValue;
    h.lastIndex = run.lastIndex;
    h.mix = run.mix;
    h.length = run.length;
    h.position = run.position;
    h.firstPosition = run.position;
    std::int32_t at = run.position;
    for (std::int32_t m = 0; m < run.length; ++m) {
        h.entries[m] = run.line[at];
        at = at + 1 == run.length ? 0 : at + 1;
    }
    // The ring's entries 0..position - 1, written since its last wrap.
    h.ringSum = 0.0f;
    for (std::int32_t m = 0; m < run.position; ++m)
        h.ringSum += std::fabs(run.line[m]);
}

/// Puts the last length frames back into the ring, where the ring's own writes would have
/// left them, and the running sum and position into run.
[[gnu::always_inline]] inline void endEchoHistory(const EchoHistory& h, EchoRun& run, int n) {
    std::int32_t at = static_cast<std::int32_t>((h.firstPosition + n) % h.length);
    for (std::int32_t m = 0; m < h.length; ++m) {
        h.ring[at] = h.entries[n + m];
        at = at + 1 == h.length ? 0 : at + 1;
    }
    run.accumulator = h.accumulator;
    run.position = h.position;
}

/// The running sum of frame t with sample x (already in the history), then the position
/// moved on: echoSample's first and last steps.
[[gnu::always_inline]] inline float echoLevelStep(EchoHistory& h, int t, float x) {
    h.accumulator -= std::fabs(h.entries[t]);
    h.accumulator += std::fabs(x);
    h.ringSum += std::fabs(x);
    return h.accumulator;
}

/// At a wrap the running sum becomes the ring's sum, as echoSample forms it afresh.
[[gnu::always_inline]] inline void echoAdvance(EchoHistory& h) {
    h.position += 1;
    if (h.position == h.length) {
        h.position = 0;
        h.accumulator = h.ringSum;
        h.ringSum = 0.0f;
    }
}

/// echoSample's read for frames t..t+3 from their running sums and positions: the level to a
/// read point, the point to two history entries and the interpolation, then the mix with x.
[[gnu::always_inline]] inline __m128 echoReadLanes(const EchoHistory& h, int t, __m128 level,
                                                   __m128i position, __m128 x) {
    const __m128 scaled = _mm_mul_ps(level, _mm_set1_ps(h.inverseLength));
    __m128 a = _mm_and_ps(_mm_cmpge_ps(scaled, _mm_setzero_ps()), scaled); // NaN, < 0: 0
    a = _mm_min_ps(a, _mm_set1_ps(1.0f));
    const __m128 lengthValue = _mm_set1_ps(h.lengthValue);
    __m128 p = _mm_add_ps(_mm_mul_ps(a, _mm_set1_ps(h.lastIndex)), _mm_cvtepi32_ps(position));
    p = _mm_sub_ps(p, _mm_and_ps(_mm_cmpge_ps(p, lengthValue), lengthValue));
    const __m128i length = _mm_set1_epi32(h.length);
    __m128i i = _mm_cvttps_epi32(p);
    const __m128i beyond = _mm_cmpgt_epi32(i, _mm_sub_epi32(length, _mm_set1_epi32(1)));
    i = _mm_or_si128(_mm_andnot_si128(beyond, i),
                     _mm_and_si128(beyond, _mm_sub_epi32(length, _mm_set1_epi32(1))));
    // The read entry's distance ahead of the write in the ring, 0..length - 1: 0 is the frame's
    // own sample, d > 0 the one written length - d frames ago; the next entry is one further.
    // Both sit side by side in the history, at frame + d, except that the frame's own sample
    // is x (entry frame + length), so one 64-bit load per lane reads them.
    __m128i d = _mm_sub_epi32(i, position);
    d = _mm_add_epi32(d, _mm_and_si128(_mm_cmpgt_epi32(_mm_setzero_si128(), d), length));
    const __m128i frame = _mm_add_epi32(_mm_set1_epi32(t), _mm_setr_epi32(0, 1, 2, 3));
    const __m128 own = _mm_castsi128_ps(_mm_cmpeq_epi32(d, _mm_setzero_si128()));
    alignas(16) std::int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), _mm_add_epi32(frame, d));
    auto pair = [&](int l) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(h.entries + at[l]));
    };
    const __m128 pairs01 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(0), pair(1)));
    const __m128 pairs23 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(2), pair(3)));
    const __m128 lo = select(own, x, _mm_shuffle_ps(pairs01, pairs23, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128 hi = _mm_shuffle_ps(pairs01, pairs23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 y =
        _mm_add_ps(lo, _mm_mul_ps(_mm_sub_ps(hi, lo), _mm_sub_ps(p, _mm_cvtepi32_ps(i))));
    const __m128 mix = _mm_set1_ps(h.mix);
    return _mm_add_ps(_mm_mul_ps(y, mix), _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), mix), x));
}

/// Frames t..t+3 of x through the echo.
[[gnu::always_inline]] inline __m128 echoLanes(EchoHistory& h, int t, __m128 x) {
    _mm_storeu_ps(h.entries + h.length + t, x);
    const std::int32_t first = h.position;
    if (first + 4 < h.length) {
        // No wrap in the four frames: their positions follow on, and the running sums are the
        // four steps of echoLevelStep on magnitudes taken four at a time. (The entries leaving
        // the sum were written before these frames: the ring is longer than four.)
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        alignas(16) float gone[4], added[4];
        _mm_store_ps(gone, _mm_and_ps(_mm_loadu_ps(h.entries + t), magnitude));
        _mm_store_ps(added, _mm_and_ps(x, magnitude));
        float sum = h.accumulator;
        alignas(16) float level[4];
        for (int j = 0; j < 4; ++j) {
            sum -= gone[j];
            sum += added[j];
            level[j] = sum;
        }
        h.accumulator = sum;
        // The ring's sum takes the same four additions, as a chain of its own.
        h.ringSum = (((h.ringSum + added[0]) + added[1]) + added[2]) + added[3];
        h.position = first + 4;
        return echoReadLanes(h, t, _mm_load_ps(level),
                             _mm_add_epi32(_mm_set1_epi32(first), _mm_setr_epi32(0, 1, 2, 3)), x);
    }
    const std::int32_t p0 = h.position;
    const float l0 = echoLevelStep(h, t, _mm_cvtss_f32(x));
    echoAdvance(h);
    const std::int32_t p1 = h.position;
    const float l1 = echoLevelStep(h, t + 1, _mm_cvtss_f32(_mm_shuffle_ps(x, x, 1)));
    echoAdvance(h);
    const std::int32_t p2 = h.position;
    const float l2 = echoLevelStep(h, t + 2, _mm_cvtss_f32(_mm_movehl_ps(x, x)));
    echoAdvance(h);
    const std::int32_t p3 = h.position;
    const float l3 = echoLevelStep(h, t + 3, _mm_cvtss_f32(_mm_shuffle_ps(x, x, 3)));
    echoAdvance(h);
    return echoReadLanes(h, t, _mm_setr_ps(l0, l1, l2, l3), _mm_setr_epi32(p0, p1, p2, p3), x);
}

/// Frame t of x through the echo: echoLanes for one frame (lane 0 of the read).
[[gnu::always_inline]] inline float echoFrame(EchoHistory& h, int t, float x) {
    h.entries[h.length + t] = x;
    const std::int32_t position = h.position;
    const float level = echoLevelStep(h, t, x);
    echoAdvance(h);
    return _mm_cvtss_f32(
        echoReadLanes(h, t, _mm_set1_ps(level), _mm_set1_epi32(position), _mm_set1_ps(x)));
}

/// Frames k..k+3 of x through the planned ensemble: the four writes, then the four reads. No
/// tap is within four entries of the ring's length (ensembleTakesFour), so none of the reads
/// meets a later frame's write.
[[gnu::always_inline]] inline __m128 ensembleLanes(const EnsembleRun& r, const EnsemblePlan& plan,
                                                   int k, __m128 x) {
    alignas(16) float x4[4];
    _mm_store_ps(x4, x);
    float* const line = r.line;
    line[plan.write[k]] = x4[0];
    line[plan.write[k + 1]] = x4[1];
    line[plan.write[k + 2]] = x4[2];
    line[plan.write[k + 3]] = x4[3];
    const __m128 read0 =
        _mm_setr_ps(*plan.read0[k], *plan.read0[k + 1], *plan.read0[k + 2], *plan.read0[k + 3]);
    const __m128 read1 =
        _mm_setr_ps(*plan.read1[k], *plan.read1[k + 1], *plan.read1[k + 2], *plan.read1[k + 3]);
    const __m128 wet = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(plan.weight0 + k), read0),
                                  _mm_mul_ps(_mm_loadu_ps(plan.weight1 + k), read1));
    const __m128 mix = _mm_set1_ps(r.mix);
    return _mm_add_ps(_mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), mix), x), _mm_mul_ps(wet, mix));
}

/// The frames of the loop's stages: in step t the send filter takes frame t, the echo, the
/// ensemble and the return take frame t - kEffectsLag (whose send filter output is long known
/// by then), the high-pass frame t - kHighPassLag and the low-pass frame t - kLowPassLag. Each
/// stage's input was made steps earlier, so the stages of one step do not wait on each other.
/// The effects take whole groups of four frames (frames 4g..4g+3) as vectors, after the step
/// that takes the group's last frame kEffectsLag frames on; the frames of a last group that is
/// not whole one at a time, kEffectsLag steps after their own. The main loop takes four steps
/// at a time and then the effects of the group before them.
constexpr int kEffectsLag = 4;
constexpr int kHighPassLag = kEffectsLag + 8;
constexpr int kLowPassLag = kHighPassLag + 4; // a multiple of four: the main loop meets groups

/// The chain for n frames (at most kEnsemblePlanFrames): main holds the voices' mix on entry;
/// main and send receive the left and right outputs. Template arguments choose the bus of the
/// echo and of the ensemble, and whether all three filters are fully wet. Needs single-section
/// filters, an echo ring of at most kEchoHistoryLength and an ensemble that takes four frames
/// at a time (runChainFor sees to it).
///
/// The three filters are recurrences whose every sample waits on the one before. They run in
/// the lanes of one vector, skewed: while the send filter takes frame t, the high-pass takes
/// frame t - kHighPassLag and the low-pass frame t - kLowPassLag, so one vector step moves all
/// three on and each still sees its frames in order. What depends on no earlier frame is taken
/// out of the loop: the ensemble's sweep before it, the shaper and pan after it.
template <bool echoOnSend, bool ensembleOnSend, bool unityMix>
void runChain(OutputChain& c, float* main, float* send, int n) {
    FilterLanes lanes = loadFilterLanes(c.sendFilter, c.hpf, c.lpf);
    const bool echoOn = c.echoOn, ensembleOn = c.ensembleOn;
    EchoHistory echo{};
    float echoEntries[kEnsemblePlanFrames + kEchoHistoryLength];
    if (echoOn) beginEchoHistory(c.echo, echo, echoEntries);
    const float sendReturn = c.sendReturn;
    EnsemblePlan plan;
    if (ensembleOn) {
#if defined(OUTPUT_CHAIN_AVX2)
        planEnsembleEight(c.ensemble, plan, n);
#else
        planEnsemble(c.ensemble, plan, n);
#endif
    }
    const EnsembleRun& ensemble = c.ensemble;
    alignas(16) float filtered[kEnsemblePlanFrames];
    alignas(16) float returned[kEnsemblePlanFrames];
    alignas(16) float highPassed[kEnsemblePlanFrames];

    // Frame u after the send filter: the echo, the ensemble and the return.
    auto effectsFrame = [&](int u) __attribute__((always_inline)) {
        float s = filtered[u];
        float x = main[u] * kSplitGain;
        if (echoOn) {
            if (echoOnSend)
                s = echoFrame(echo, u, s);
            else
                x = echoFrame(echo, u, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = plannedEnsembleSample(ensemble, plan, u, s);
            else
                x = plannedEnsembleSample(ensemble, plan, u, x);
        }
        returned[u] = x + sendReturn * s * kPercent;
    };
    // Frames u..u+3 the same way.
    auto effectsFour = [&](int u) __attribute__((always_inline)) {
        __m128 s = _mm_loadu_ps(filtered + u);
        __m128 x = _mm_mul_ps(_mm_loadu_ps(main + u), _mm_set1_ps(kSplitGain));
        if (echoOn) {
            if (echoOnSend)
                s = echoLanes(echo, u, s);
            else
                x = echoLanes(echo, u, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = ensembleLanes(ensemble, plan, u, s);
            else
                x = ensembleLanes(ensemble, plan, u, x);
        }
        _mm_storeu_ps(returned + u, _mm_add_ps(x, _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(sendReturn), s),
                                                             _mm_set1_ps(kPercent))));
    };
    auto step = [&](int t) __attribute__((always_inline)) {
        const __m128 in = _mm_setr_ps(main[t] * kSplitGain, returned[t - kHighPassLag],
                                      highPassed[t - kLowPassLag], 0.0f);
        const __m128 out = stepFilterLanes<unityMix, false>(lanes, in, in);
        highPassed[t - kHighPassLag] = _mm_cvtss_f32(_mm_shuffle_ps(out, out, 1));
        send[t - kLowPassLag] = _mm_cvtss_f32(_mm_movehl_ps(out, out));
        filtered[t] = _mm_cvtss_f32(out);
    };
    // Steps in which a lane has no frame: before its first and after its last.
    auto rampStep = [&](int t) __attribute__((always_inline)) {
        const bool send0 = t < n;
        const bool high = t >= kHighPassLag && t - kHighPassLag < n;
        const bool low = t >= kLowPassLag && t - kLowPassLag < n;
        const __m128 in = _mm_setr_ps(send0 ? main[t] * kSplitGain : 0.0f,
                                      high ? returned[t - kHighPassLag] : 0.0f,
                                      low ? highPassed[t - kLowPassLag] : 0.0f, 0.0f);
        const __m128 active =
            _mm_castsi128_ps(_mm_setr_epi32(send0 ? -1 : 0, high ? -1 : 0, low ? -1 : 0, 0));
        const __m128 out = stepFilterLanes<unityMix, true>(lanes, in, active);
        if (high) highPassed[t - kHighPassLag] = _mm_cvtss_f32(_mm_shuffle_ps(out, out, 1));
        if (low) send[t - kLowPassLag] = _mm_cvtss_f32(_mm_movehl_ps(out, out));
        if (send0) filtered[t] = _mm_cvtss_f32(out);
    };
    // The effects due after step t: a whole group whose last frame is kEffectsLag steps back,
    // or a frame of a last group that is not whole.
    const int wholeFrames = n - n % 4;
    auto effectsAfter = [&](int t) __attribute__((always_inline)) {
        const int group = t - kEffectsLag - 3;
        if (group >= 0 && group % 4 == 0 && group < wholeFrames)
            effectsFour(group);
        else if (t - kEffectsLag >= wholeFrames && t - kEffectsLag < n)
            effectsFrame(t - kEffectsLag);
    };
    int t = 0;
    for (; t < std::min(kLowPassLag, n); ++t) {
        rampStep(t);
        effectsAfter(t);
    }
    // Four steps, then the effects of the four frames before them: the next four steps' high-
    // pass inputs.
    for (; t + 4 <= n; t += 4) {
        step(t);
        step(t + 1);
        step(t + 2);
        step(t + 3);
        effectsFour(t - kEffectsLag);
    }
    for (; t < n; ++t) {
        step(t);
        effectsAfter(t);
    }
    for (; t < n + kLowPassLag; ++t) {
        rampStep(t);
        effectsAfter(t);
    }
    const float last[3] = {filtered[n - 1], highPassed[n - 1], send[n - 1]};
    storeFilterLanes(lanes, last, c.sendFilter, c.hpf, c.lpf);
    shapeAndPan(c.shaper, c.shaperOn, c.panLeft, c.panRight, main, send, n);
    if (echoOn) endEchoHistory(echo, c.echo, n);
}

/// The lanes kernel for one chunk: the instance for the chain's buses (every filter fully wet:
/// outputChainTakesLanes sees to it).
inline void runChainLanes(OutputChain& c, bool echoOnSend, bool ensembleOnSend, float* main,
                          float* send, int n) {
    if (echoOnSend)
        ensembleOnSend ? runChain<true, true, true>(c, main, send, n)
                       : runChain<true, false, true>(c, main, send, n);
    else
        ensembleOnSend ? runChain<false, true, true>(c, main, send, n)
                       : runChain<false, false, true>(c, main, send, n);
}

} // namespace
