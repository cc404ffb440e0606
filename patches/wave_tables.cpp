// Wavetable generators. Arithmetic is single precision; constants such as 2 pi / N are
// computed in double precision and rounded once; float-to-int conversions truncate.
#include "patches/wave_tables.h"

#include "patches/float_to_int.h"
#include "patches/portable_math.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

/// Bounds of the number of terms a harmonic series sums: the repetition's length N, but never
/// fewer than 64 nor more than 1024. N / 2 harmonics fit below a repetition's Nyquist limit,
/// so even a half-step series is complete within N terms; the floor keeps every series a patch
/// would use intact for the short repetitions of low sample rates; the ceiling (far more terms
/// than any recipe needs) keeps a stored count such as two billion from turning a table
/// rebuild into minutes of work.
constexpr std::int32_t kMinHarmonicBound = 64;
constexpr std::int32_t kMaxHarmonicBound = 1024;

/// Shape 1: one sine cycle per repetition whose phase is displaced by a sine of p1 cycles with
/// a peak deviation of p2 cycles.
void renderPhaseModSine(float* out, int N, const float* p) {
    const float wm = static_cast<float>(p[0] * (kTwoPi / N));
    const float beta = static_cast<float>(p[1] * kTwoPi);
    for (int i = 0; i < N; ++i)
        out[i] = portable::sin(static_cast<float>(i) * wm) * beta;
    const float w = static_cast<float>(kTwoPi / N);
    for (int i = 0; i < N; ++i)
        out[i] = portable::sin(static_cast<float>(i) * w + out[i]);
}

/// Shapes 2 and 3: up, hold, down, hold, below, hold low, back, along straight lines (shape 2)
/// or half cosines (shape 3). Returns false when the shape adds nothing (no usable total).
bool renderTrapezoid(float* out, int N, const float* p, bool cosine) {
    const float total = p[0] + p[1] + p[2] + p[3] + p[4] + p[5] + p[6];
    if (total == 0.0f || !std::isfinite(total)) return false;
    const float r = 1.0f / total;
    const float fN = static_cast<float>(N);
    int written = 0;
    // Piece lengths are limited to the samples left, so a negative, NaN or oversized
    // parameter shortens or skips a piece instead of writing outside the repetition.
    auto pieceLength = [&](float param) { return truncateToRange(param * fN * r, 0, N - written); };

    // 1: rise from 0 towards 1.
    const int A = pieceLength(p[0]);
    if (A > 0) {
        const float inv = 1.0f / static_cast<float>(A);
        const float d = static_cast<float>(kPi / A);
        for (int i = 0; i < A; ++i)
            out[written + i] = cosine ? (1.0f - portable::cos(static_cast<float>(i) * d)) * 0.5f
                                      : static_cast<float>(i) * inv;
        written += A;
    }
    // 2: hold at 1.
    const int B = pieceLength(p[1]);
    for (int i = 0; i < B; ++i)
        out[written + i] = 1.0f;
    written += B;
    // 3: fall from 1 towards 0.
    const int C = pieceLength(p[2]);
    if (C > 0) {
        const float inv = 1.0f / static_cast<float>(C);
        const float d = static_cast<float>(kPi / C);
        for (int i = 0; i < C; ++i)
            out[written + i] = cosine ? (portable::cos(static_cast<float>(i) * d) + 1.0f) * 0.5f
                                      : 1.0f - static_cast<float>(i) * inv;
        written += C;
    }
    // 4: hold at 0.
    const int D = pieceLength(p[3]);
    for (int i = 0; i < D; ++i)
        out[written + i] = 0.0f;
    written += D;
    // 5: fall from 0 towards -1.
    const int E = pieceLength(p[4]);
    if (E > 0) {
        const float slope = -1.0f / static_cast<float>(E);
        const float d = static_cast<float>(kPi / E);
        for (int i = 0; i < E; ++i)
            out[written + i] = cosine ? (portable::cos(static_cast<float>(i) * d) - 1.0f) * 0.5f
                                      : slope * static_cast<float>(i);
        written += E;
    }
    // 6: hold at -1.
    const int F = pieceLength(p[5]);
    for (int i = 0; i < F; ++i)
        out[written + i] = -1.0f;
    written += F;
    // 7: return from -1 towards 0 over whatever is left; p7 only enters the total.
    const int G = N - written;
    if (G > 0) {
        const float inv = 1.0f / static_cast<float>(G);
        const float d = static_cast<float>(kPi / G);
        for (int i = 0; i < G; ++i)
            out[written + i] = cosine ? (-1.0f - portable::cos(static_cast<float>(i) * d)) * 0.5f
                                      : static_cast<float>(i) * inv - 1.0f;
    }
    return true;
}

/// Shape 4: int(p3) harmonics starting at p1 in steps of p2, each at amplitude 1 / p3.
void renderHarmonics(float* out, int N, const float* p) {
    for (int i = 0; i < N; ++i)
        out[i] = 0.0f;
    const float count = p[2];
    if (!std::isfinite(count)) return;
    std::int32_t K = truncateToInt(count);
    if (K == 0) K = 1;
    if (K < 0) return;
    const float a = count == 0.0f ? 1.0f : 1.0f / count;
    const std::int32_t bound =
        N < kMinHarmonicBound ? kMinHarmonicBound : (N > kMaxHarmonicBound ? kMaxHarmonicBound : N);
    if (K > bound) K = bound;
    float h = p[0];
    for (std::int32_t k = 0; k < K; ++k) {
        const float w = static_cast<float>(static_cast<double>(h) * (kTwoPi / N));
        for (int i = 0; i < N; ++i)
            out[i] += portable::sin(static_cast<float>(i) * w) * a;
        h = h + p[1];
    }
}

/// Shape 5: a sine of p1 cycles per repetition, sampled every 1 + ceil(p2) samples and held.
void renderSteppedSine(float* out, int N, const float* p) {
    const float w = static_cast<float>((kTwoPi / N) * p[0]);
    const float hold = p[1];
    int i = 0;
    while (i < N) {
        const float v = portable::sin(static_cast<float>(i) * w);
        out[i] = v;
        if (hold > 0.0f) {
            // Copies stop at the end of the repetition, so an enormous hold ends there too.
            for (int k = 0; static_cast<float>(k) < hold && i + 1 < N; ++k)
                out[++i] = v;
        }
        ++i;
    }
}

/// Renders one repetition of N samples; returns false when the shape adds nothing.
bool renderShape(float* out, int N, const WaveLayer& layer) {
    switch (layer.shape) {
    case ShapePhaseModSine:
        renderPhaseModSine(out, N, layer.params);
        return true;
    case ShapeLinearTrapezoid:
        return renderTrapezoid(out, N, layer.params, false);
    case ShapeCosineTrapezoid:
        return renderTrapezoid(out, N, layer.params, true);
    case ShapeHarmonics:
        renderHarmonics(out, N, layer.params);
        return true;
    case ShapeSteppedSine:
        renderSteppedSine(out, N, layer.params);
        return true;
    default:
        return false;
    }
}

bool addsSomething(std::int8_t shape) {
    return shape >= ShapePhaseModSine && shape <= ShapeSteppedSine;
}

} // namespace

void clearWaveTable(float* table, int L) {
    if (table == nullptr) return;
    for (int i = 0; i < L; ++i)
        table[i] = 0.0f;
}

void addWaveLayer(float* table, int L, const WaveLayer& layer) {
    if (table == nullptr || L <= 0 || !addsSomething(layer.shape)) return;
    int n = std::abs(static_cast<int>(layer.repeats));
    if (n == 0) n = 1;
    if (n > kMaxLayerRepeats) n = kMaxLayerRepeats;
    const int seg = L / n;
    // The last repetition absorbs the remainder and is shorter than seg + n samples.
    std::unique_ptr<float[]> scratch(new (std::nothrow) float[n + seg]);
    if (!scratch) return;

    const float gain = layer.gain;
    int pos = 0;
    for (int s = 0; s < n; ++s) {
        const int N = s == n - 1 ? L - seg * (n - 1) : seg;
        if (N > 0 && renderShape(scratch.get(), N, layer)) {
            for (int k = 0; k < N; ++k) {
                // A sample that this layer would push out of the finite range keeps its
                // value: a hostile gain or parameter must not poison the table with NaN.
                const float v = table[pos + k] + scratch[k] * gain;
                if (std::isfinite(v)) table[pos + k] = v;
            }
        }
        pos += N;
    }
}

void taperWaveTable(float* table, int L, int window) {
    if (table == nullptr || L <= 0 || window == 0) return;
    std::int32_t T = truncateToInt(static_cast<float>(L) * 0.005f * static_cast<float>(window));
    if (T <= 0) return;
    // Bytes give at most 127 (T below L); wider values from other callers stop at the table.
    if (T > L) T = L;
    const float d = static_cast<float>(kPi / T);
    for (std::int32_t i = 0; i < T; ++i) {
        const float g = (1.0f - portable::cos(static_cast<float>(i) * d)) * 0.5f;
        table[i] = g * table[i];
        table[L - 1 - i] = g * table[L - 1 - i];
    }
}

void normaliseWaveTable(float* table, int L) {
    if (table == nullptr || L <= 0) return;
    float peak = 0.0f;
    for (int i = 0; i < L; ++i) {
        const float m = std::fabs(table[i]);
        if (m > peak) peak = m;
    }
    if (!(peak > 0.0f) || !std::isfinite(peak)) return;
    const float scale = kWaveTablePeak / peak;
    if (std::isnormal(scale)) {
        for (int i = 0; i < L; ++i)
            table[i] *= scale;
    } else {
        // A peak so small that 0.95 / peak overflows, or so large that the factor loses its
        // precision below the normal range: divide first instead.
        for (int i = 0; i < L; ++i)
            table[i] = table[i] / peak * kWaveTablePeak;
    }
}

void buildCarrierTable(float* table, int L, const Patch& patch) {
    if (table == nullptr || L <= 0) return;
    clearWaveTable(table, L);
    for (const WaveLayer& layer : patch.carrierLayers)
        addWaveLayer(table, L, layer);
    taperWaveTable(table, L, patch.window);
    normaliseWaveTable(table, L);
}

void buildCarrierSum(float* sum, int L, const Patch& patch) {
    if (sum == nullptr || L <= 0) return;
    clearWaveTable(sum, L);
    for (const WaveLayer& layer : patch.carrierLayers)
        addWaveLayer(sum, L, layer);
}

void finishCarrierTable(float* table, const float* sum, int L, int window) {
    if (table == nullptr || sum == nullptr || L <= 0) return;
    for (int i = 0; i < L; ++i)
        table[i] = sum[i];
    taperWaveTable(table, L, window);
    normaliseWaveTable(table, L);
}
