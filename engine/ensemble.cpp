#include "engine/ensemble.h"

#include <cmath>
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

void planEnsemble(EnsembleRun& unit, EnsemblePlan& plan, int n) {
    // A local copy, which the plan's stores cannot be taken to overwrite.
    EnsembleRun r = unit;
    alignas(16) float angle0[kEnsemblePlanFrames];
    alignas(16) float angle1[kEnsemblePlanFrames];
    plan.silentTap = 0.0f;
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
    unit = r;
    for (int k = n; k % 4 != 0; ++k)
        angle0[k] = angle1[k] = 0.0f;
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    for (int k = 0; k < n; k += 4) {
        const __m128 c0 = crossfadeCosineLanes(_mm_load_ps(angle0 + k));
        const __m128 c1 = crossfadeCosineLanes(_mm_load_ps(angle1 + k));
        _mm_store_ps(plan.weight0 + k, _mm_mul_ps(_mm_add_ps(c0, one), half));
        _mm_store_ps(plan.weight1 + k, _mm_mul_ps(_mm_add_ps(c1, one), half));
    }
}

namespace {

/// The sweep after n per-sample steps, each the guard and advance of ensembleSample. Where the
/// phase p is normal and positive, its grid step is u = 2^(exponent - 23); while p + step stays
/// below both the next power of two and the scale (less one grid step), p + step rounds to
/// p + q u with q the step in grid units rounded to the nearest integer: the same for every
/// sample unless the step lies exactly halfway (then the rounding depends on p, and the run is
/// stepped one sample at a time).
float skipSweep(float phase, float step, float scale, int n) {
    constexpr float kSmallestNormal = std::numeric_limits<float>::min();
    while (n > 0) {
        const bool regular = phase >= kSmallestNormal && phase < scale && step >= kSmallestNormal &&
                             std::isfinite(step) && std::isfinite(scale);
        if (regular) {
            int exponent;
            std::frexp(phase, &exponent); // phase = m 2^exponent, 0.5 <= m < 1
            const double grid = std::ldexp(1.0, exponent - 24);
            const double top = std::fmin(std::ldexp(1.0, exponent), static_cast<double>(scale));
            const double units = static_cast<double>(step) / grid;
            const double whole = std::floor(units);
            if (units - whole != 0.5) {
                const double increment = (units - whole < 0.5 ? whole : whole + 1.0) * grid;
                const double room = top - grid - static_cast<double>(phase) - step;
                if (room > 0.0 && increment == 0.0) break; // too small a step to move it
                if (room > 0.0) {
                    // Samples j = 0..k-1 with phase + j increment + step <= top - grid, one less
                    // than the quotient suggests so that its rounding cannot overshoot.
                    const double fits = std::floor(room / increment);
                    const int k = static_cast<int>(std::fmin(fits, static_cast<double>(n)));
                    if (k > 0) {
                        phase = static_cast<float>(phase + k * increment);
                        n -= k;
                        continue;
                    }
                }
            }
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
    r.position =
        static_cast<std::int32_t>(((r.position - n) % r.maxDelay + r.maxDelay) % r.maxDelay);
}
