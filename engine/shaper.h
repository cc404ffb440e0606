// Arctangent output saturation read from a 512-entry table, continued linearly beyond its end.
#pragma once

#include <emmintrin.h>

#include <cmath>
#include <cstdint>

/// Entries of the shaper table.
constexpr std::int32_t kShaperLength = 512;
/// Input level to table position: |x| x 0.15 x table length.
constexpr float kShaperInputScale = 0.15f;

/// Fills table[0..511] with atanf(i x 2.5/512) / atan(2.5).
void buildShaperTable(float* table);
/// Shapes n samples of buffer in place.
void applyShaper(const float* table, std::int32_t length, float drive, float* buffer, int n);

/// The shaper's table and the values derived from it, for one loop over samples.
struct ShaperRun {
    const float* table;
    std::int32_t length;
    float drive;
    float last;      ///< table[length - 1]
    float lastSlope; ///< table[length - 1] - table[length - 2]
};

/// Loads the shaper into run; false without a usable table (samples then pass unchanged).
inline bool beginShaper(const float* table, std::int32_t length, float drive, ShaperRun& run) {
    if (!table || length < 2) return false;
    run = {table, length, drive, table[length - 1], table[length - 1] - table[length - 2]};
    return true;
}

/// One sample through the shaper.
inline float shapeSample(const ShaperRun& r, float x) {
    const float u = std::fabs(x * r.drive) * kShaperInputScale * static_cast<float>(r.length);
    float y;
    if (u < static_cast<float>(r.length - 2)) {
        const std::int32_t i = static_cast<std::int32_t>(u);
        y = r.table[i] + (r.table[i + 1] - r.table[i]) * (u - static_cast<float>(i));
    } else {
        // Beyond the table the curve keeps rising along its last segment.
        y = r.last + r.lastSlope * (u - static_cast<float>(r.length - 1));
    }
    return x < 0.0f ? -y : y;
}

/// shapeSample for each lane of x.
inline __m128 shapeLanes(const ShaperRun& r, __m128 x) {
    const __m128 magnitudeBits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 u =
        _mm_mul_ps(_mm_mul_ps(_mm_and_ps(_mm_mul_ps(x, _mm_set1_ps(r.drive)), magnitudeBits),
                              _mm_set1_ps(kShaperInputScale)),
                   _mm_set1_ps(static_cast<float>(r.length)));
    const __m128 inside = _mm_cmplt_ps(u, _mm_set1_ps(static_cast<float>(r.length - 2)));
    // Lanes beyond the table read entry 0, whose value is not used.
    const __m128i i = _mm_and_si128(_mm_cvttps_epi32(u), _mm_castps_si128(inside));
    alignas(16) std::int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), i);
    const __m128 lo = _mm_setr_ps(r.table[at[0]], r.table[at[1]], r.table[at[2]], r.table[at[3]]);
    const __m128 hi =
        _mm_setr_ps(r.table[at[0] + 1], r.table[at[1] + 1], r.table[at[2] + 1], r.table[at[3] + 1]);
    const __m128 read =
        _mm_add_ps(lo, _mm_mul_ps(_mm_sub_ps(hi, lo), _mm_sub_ps(u, _mm_cvtepi32_ps(i))));
    const __m128 beyond =
        _mm_add_ps(_mm_set1_ps(r.last),
                   _mm_mul_ps(_mm_set1_ps(r.lastSlope),
                              _mm_sub_ps(u, _mm_set1_ps(static_cast<float>(r.length - 1)))));
    const __m128 y = _mm_or_ps(_mm_and_ps(inside, read), _mm_andnot_ps(inside, beyond));
    const __m128 negative = _mm_cmplt_ps(x, _mm_setzero_ps());
    return _mm_xor_ps(y, _mm_and_ps(negative, _mm_set1_ps(-0.0f)));
}
