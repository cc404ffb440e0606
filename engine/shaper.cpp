#include "engine/shaper.h"

#include "patches/portable_math.h"

namespace {

/// Table step in arctangent arguments (2.5 / 512) and the normalisation 1 / atan(2.5).
constexpr float kShaperArgumentStep = 0.0048828125f;
constexpr float kShaperNormalise = 0.8401314f;

} // namespace

void buildShaperTable(float* table) {
    for (std::int32_t i = 0; i < kShaperLength; ++i)
        table[i] = portable::atan(static_cast<float>(i) * kShaperArgumentStep) * kShaperNormalise;
}

void applyShaper(const float* table, std::int32_t length, float drive, float* buffer, int n) {
    ShaperRun run{};
    if (!beginShaper(table, length, drive, run)) return;
    for (int k = 0; k < n; ++k)
        buffer[k] = shapeSample(run, buffer[k]);
}
