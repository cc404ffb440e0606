#include "engine/ensemble.h"

#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>

void processEnsemble(Ensemble& e, float* buffer, int n) {
    EnsembleRun run{};
    if (n <= 0 || !beginEnsemble(e, run)) return;
    for (int k = 0; k < n; ++k)
        buffer[k] = ensembleSample(run, buffer[k]);
    endEnsemble(e, run);
}

namespace {

/// The phase as ensembleSample's guard leaves it: 0 when outside 0..scale.
inline float guardedPhase(float phase, float scale) {
    return phase >= 0.0f && phase < scale ? phase : 0.0f;
}

/// advanceSweep's wrap of a phase that left 0..scale, then the next frame's guard.
[[gnu::noinline]] float wrappedPhase(float phase, float scale) {
    if (phase >= scale)
        phase -= scale;
    else if (phase < 0.0f)
        phase += scale;
    return guardedPhase(phase, scale);
}

/// floor(x) for x >= 0 without a library call (the baseline instruction set has no rounding
/// instruction): below 2^52 the truncation, above it x itself, a whole number already.
inline double floorOfNonNegative(double x) {
    constexpr double kWhole = 4503599627370496.0; // 2^52
    return x < kWhole ? static_cast<double>(static_cast<std::int64_t>(x)) : x;
}

/// 2^k exactly, for k in -1022..1023 (the normal doubles' exponents).
inline double powerOfTwo(int k) {
    const std::uint64_t bits = static_cast<std::uint64_t>(k + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// Samples of the sweep that each add the same amount: the first `frames` (at most n) of the
/// per-sample steps from phase add exactly `increment` each, so after j of them the phase is
/// phase + j x increment. None when frames is 0; an increment of 0 means the step is too small
/// ever to move the phase.
struct SweepRun {
    int frames;
    double increment;
};

/// Where the phase p is normal and positive, its grid step is u = 2^(exponent - 23); while
/// p + step stays below both the next power of two and the scale (less one grid step), p + step
/// rounds to p + q u with q the step in grid units rounded to the nearest integer: the same for
/// every sample unless the step lies exactly halfway (then the rounding depends on p, and the
/// run is stepped one sample at a time).
SweepRun sweepRun(float phase, float step, float scale, int n) {
    constexpr float kSmallestNormal = std::numeric_limits<float>::min();
    const bool regular = phase >= kSmallestNormal && phase < scale && step >= kSmallestNormal &&
                         std::isfinite(step) && std::isfinite(scale);
    if (!regular || n <= 0) return {0, 0.0};
    // phase = m 2^exponent with 0.5 <= m < 1: a normal float's biased exponent less 126.
    std::uint32_t bits;
    std::memcpy(&bits, &phase, sizeof bits);
    const int exponent = static_cast<int>((bits >> 23) & 0xFFu) - 126;
    const double grid = powerOfTwo(exponent - 24);
    const double top = std::min(powerOfTwo(exponent), static_cast<double>(scale));
    const double units = static_cast<double>(step) * powerOfTwo(24 - exponent); // / grid, exactly
    const double whole = floorOfNonNegative(units); // step and grid are positive
    if (units - whole == 0.5) return {0, 0.0};
    const double increment = (units - whole < 0.5 ? whole : whole + 1.0) * grid;
    const double room = top - grid - static_cast<double>(phase) - step;
    if (!(room > 0.0)) return {0, 0.0};
    if (increment == 0.0) return {n, 0.0};
    // Samples j = 0..k-1 with phase + j increment + step <= top - grid, one less than the
    // quotient suggests so that its rounding cannot overshoot.
    const double fits = floorOfNonNegative(room / increment);
    return {static_cast<int>(std::min(fits, static_cast<double>(n))), increment};
}

} // namespace

void planEnsembleEachFrame(EnsembleRun& r, EnsemblePlan& plan, int n) {
    float* const angle0 = plan.weight0;
    float* const angle1 = plan.weight1;
    for (int k = 0; k < n; ++k) {
        plan.write[k] = r.position;
        if (!(r.phase >= 0.0f && r.phase < r.scale)) r.phase = 0.0f;
        const float s = r.phase * kEnsembleTapSpan;
        const std::int32_t i0 = static_cast<std::int32_t>(s);
        const std::int32_t i1 = i0 + 1;
        const float f = s - static_cast<float>(i0);
        angle0[k] = f * kEnsemblePi;
        angle1[k] = (static_cast<float>(i1) - s) * kEnsemblePi;
        const float* entry0 = ensembleTapEntry(r, i0);
        const float* entry1 = ensembleTapEntry(r, i1);
        plan.read0[k] = entry0 ? entry0 : &plan.silentTap;
        plan.read1[k] = entry1 ? entry1 : &plan.silentTap;
        advanceSweep(r);
    }
}

bool planEnsembleSweep(EnsembleRun& r, float* phase, std::int32_t* write, int n) {
    for (int tap = 0; tap < kEnsembleTaps; ++tap)
        if (r.taps[tap] < 0 || r.taps[tap] >= r.maxDelay) return false;
    // Where the sweep runs on one grid (sweepRun) its phases are p + j x increment, exact in
    // single precision too (j x increment is a whole number of grid steps below 2^23 of them,
    // and the sum stays in p's binade), so they are formed four at a time; elsewhere it is
    // stepped as ensembleSample steps it.
    float p = guardedPhase(r.phase, r.scale);
    for (int k = 0; k < n;) {
        const SweepRun run = sweepRun(p, r.lfoStep, r.scale, n - k);
        if (run.frames > 0) {
            const float increment = static_cast<float>(run.increment);
            const __m128 start = _mm_set1_ps(p);
            const __m128 step = _mm_set1_ps(increment);
            for (int j = 0; j < run.frames; j += 4) {
                const __m128 count =
                    _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(j), _mm_setr_epi32(0, 1, 2, 3)));
                _mm_storeu_ps(phase + k + j, _mm_add_ps(start, _mm_mul_ps(count, step)));
            }
            p += static_cast<float>(run.frames) * increment;
            k += run.frames;
            continue;
        }
        phase[k++] = p;
        p += r.lfoStep;
        if (!(p >= 0.0f && p < r.scale)) p = wrappedPhase(p, r.scale);
    }
    // The write positions, newest first: position, position - 1, ... down to entry 0, then on
    // from the ring's last entry.
    std::int32_t position = r.position;
    for (int k = 0; k < n;) {
        const int m = std::min(n - k, position + 1);
        int j = 0;
        for (; j + 4 <= m; j += 4) {
            const __m128i back = _mm_add_epi32(_mm_set1_epi32(j), _mm_setr_epi32(0, 1, 2, 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(write + k + j),
                             _mm_sub_epi32(_mm_set1_epi32(position), back));
        }
        for (; j < m; ++j)
            write[k + j] = position - j;
        k += m;
        position -= m;
        if (position < 0) position = r.maxDelay - 1;
    }
    r.phase = phase[n - 1] + r.lfoStep;
    if (r.phase >= r.scale)
        r.phase -= r.scale;
    else if (r.phase < 0.0f)
        r.phase += r.scale;
    r.position = position;
    for (int k = n; k % 8 != 0; ++k) {
        phase[k] = 0.0f;
        write[k] = 0;
    }
    return true;
}

void planEnsembleAngles(EnsembleRun& unit, EnsemblePlan& plan, int n) {
    // A local copy, which the plan's stores cannot be taken to overwrite.
    EnsembleRun r = unit;
    plan.silentTap = 0.0f;
    // The sweep first; everything else follows from it four frames at a time. With every tap
    // inside the ring, position + tap needs at most one wrap.
    alignas(16) float phase[kEnsemblePlanFrames + 8]; // room for the padding
    if (!planEnsembleSweep(r, phase, plan.write, n)) {
        planEnsembleEachFrame(r, plan, n);
        unit = r;
        return;
    }
    float* const angle0 = plan.weight0;
    float* const angle1 = plan.weight1;
    alignas(16) std::int32_t first[kEnsemblePlanFrames];
    const __m128 span = _mm_set1_ps(kEnsembleTapSpan);
    const __m128 pi = _mm_set1_ps(kEnsemblePi);
    __m128i beyond = _mm_setzero_si128();
    for (int k = 0; k < n; k += 4) {
        const __m128 s = _mm_mul_ps(_mm_load_ps(phase + k), span);
        const __m128i i0 = _mm_cvttps_epi32(s);
        const __m128i i1 = _mm_add_epi32(i0, _mm_set1_epi32(1));
        const __m128 f = _mm_sub_ps(s, _mm_cvtepi32_ps(i0));
        _mm_store_ps(angle0 + k, _mm_mul_ps(f, pi));
        _mm_store_ps(angle1 + k, _mm_mul_ps(_mm_sub_ps(_mm_cvtepi32_ps(i1), s), pi));
        _mm_store_si128(reinterpret_cast<__m128i*>(first + k), i0);
        beyond = _mm_or_si128(beyond, _mm_cmpgt_epi32(i1, _mm_set1_epi32(kEnsembleTaps - 1)));
    }
    if (_mm_movemask_epi8(beyond) != 0) {
        // A scale above 1 reaches the tap beyond the sixteen: plan it frame by frame.
        r = unit;
        planEnsembleEachFrame(r, plan, n);
        unit = r;
        return;
    }
    unit = r;
    // The entries read, four frames at a time: write position plus tap, less the ring's length
    // where that passes its end, as addresses (the padding frames read entries inside the ring
    // too, and are never used).
    const __m128i ring = _mm_set1_epi32(r.maxDelay);
    const __m128i lastEntry = _mm_set1_epi32(r.maxDelay - 1);
    const __m128i line =
        _mm_set1_epi64x(static_cast<long long>(reinterpret_cast<std::uintptr_t>(r.line)));
    auto addresses = [&](__m128i index, const float** to) {
        const __m128i wrapped =
            _mm_sub_epi32(index, _mm_and_si128(_mm_cmpgt_epi32(index, lastEntry), ring));
        const __m128i low = _mm_unpacklo_epi32(wrapped, _mm_setzero_si128());
        const __m128i high = _mm_unpackhi_epi32(wrapped, _mm_setzero_si128());
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                         _mm_add_epi64(line, _mm_slli_epi64(low, 2)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2),
                         _mm_add_epi64(line, _mm_slli_epi64(high, 2)));
    };
    for (int k = 0; k < n; k += 4) {
        const __m128i write = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.write + k));
        const std::int32_t* taps = r.taps;
        const __m128i tap0 = _mm_setr_epi32(taps[first[k]], taps[first[k + 1]], taps[first[k + 2]],
                                            taps[first[k + 3]]);
        const __m128i tap1 = _mm_setr_epi32(taps[first[k] + 1], taps[first[k + 1] + 1],
                                            taps[first[k + 2] + 1], taps[first[k + 3] + 1]);
        addresses(_mm_add_epi32(write, tap0), plan.read0 + k);
        addresses(_mm_add_epi32(write, tap1), plan.read1 + k);
    }
}

void planWeights(EnsemblePlan& plan, int n) {
    for (int k = n; k % 4 != 0; ++k)
        plan.weight0[k] = plan.weight1[k] = 0.0f;
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    for (int k = 0; k < n; k += 4) {
        const __m128 c0 = crossfadeCosineLanes(_mm_load_ps(plan.weight0 + k));
        const __m128 c1 = crossfadeCosineLanes(_mm_load_ps(plan.weight1 + k));
        _mm_store_ps(plan.weight0 + k, _mm_mul_ps(_mm_add_ps(c0, one), half));
        _mm_store_ps(plan.weight1 + k, _mm_mul_ps(_mm_add_ps(c1, one), half));
    }
}

void planEnsemble(EnsembleRun& unit, EnsemblePlan& plan, int n) {
    planEnsembleAngles(unit, plan, n);
    planWeights(plan, n);
}

namespace {

/// The sweep after n per-sample steps, each the guard and advance of ensembleSample.
float skipSweep(float phase, float step, float scale, int n) {
    while (n > 0) {
        const SweepRun run = sweepRun(phase, step, scale, n);
        if (run.frames > 0) {
            if (run.increment == 0.0) break; // too small a step to move it
            phase = static_cast<float>(phase + run.frames * run.increment);
            n -= run.frames;
            continue;
        }
        // One sample as ensembleSample does it.
        if (!(phase >= 0.0f && phase < scale)) phase = 0.0f;
        phase += step;
        if (phase >= scale)
            phase -= scale;
        else if (phase < 0.0f)
            phase += scale;
        --n;
    }
    return phase;
}

} // namespace

void skipEnsemble(EnsembleRun& r, int n) {
    if (n <= 0) return;
    // The positions written, newest first: position, position - 1, ... around the ring.
    if (n >= r.maxDelay) {
        std::memset(r.line, 0, static_cast<std::size_t>(r.maxDelay) * sizeof(float));
    } else {
        const int upper = r.position + 1; // entries 0..position
        const int first = std::max(0, upper - n);
        std::memset(r.line + first, 0, static_cast<std::size_t>(upper - first) * sizeof(float));
        const int wrapped = n - (upper - first); // entries from the ring's end downward
        if (wrapped > 0)
            std::memset(r.line + r.maxDelay - wrapped, 0,
                        static_cast<std::size_t>(wrapped) * sizeof(float));
    }
    skipEnsembleSweep(r, n);
}

void skipEnsembleSweep(EnsembleRun& r, int n) {
    if (n <= 0) return;
    r.phase = skipSweep(r.phase, r.lfoStep, r.scale, n);
    // The position moves back by n around the ring; within one ring length (as a block almost
    // always is) an addition will do.
    const std::int32_t back = r.position - n;
    r.position = back >= 0             ? back
                 : back >= -r.maxDelay ? back + r.maxDelay
                                       : ((back % r.maxDelay) + r.maxDelay) % r.maxDelay;
}
