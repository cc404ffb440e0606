#include "engine/shaper.h"

#include <cmath>

namespace {

/// Table step in arctangent arguments (2.5 / 512) and the normalisation 1 / atan(2.5).
constexpr float kShaperArgumentStep = 0.0048828125f;
constexpr float kShaperNormalise = 0.8401314f;
/// Input level to table position: |x| x 0.15 x table length.
constexpr float kShaperInputScale = 0.15f;

} // namespace

void buildShaperTable(float* table) {
    for (std::int32_t i = 0; i < kShaperLength; ++i)
        table[i] = std::atan(static_cast<float>(i) * kShaperArgumentStep) * kShaperNormalise;
}

void applyShaper(const float* table, std::int32_t length, float drive, float* buffer, int n) {
    if (!table || length < 2) return;
    const float last = table[length - 1];
    const float lastSlope = last - table[length - 2];
    const float l = static_cast<float>(length);
    for (int k = 0; k < n; ++k) {
        const float x = buffer[k];
        const float u = std::fabs(x * drive) * kShaperInputScale * l;
        float y;
        if (u < static_cast<float>(length - 2)) {
            const std::int32_t i = static_cast<std::int32_t>(u);
            y = table[i] + (table[i + 1] - table[i]) * (u - static_cast<float>(i));
        } else {
            // Beyond the table the curve keeps rising along its last segment.
            y = last + lastSlope * (u - static_cast<float>(length - 1));
        }
        buffer[k] = x < 0.0f ? -y : y;
    }
}
