// Arctangent output saturation read from a 512-entry table, continued linearly beyond its end.
#pragma once

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
